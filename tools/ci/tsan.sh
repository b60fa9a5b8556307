#!/usr/bin/env bash
# ThreadSanitizer: the extension built with -DTARNWICK_TSAN=ON, by the same
# clang that built the free-threaded TSan interpreter (tools/build-python.sh
# tsan; the runtime lives in that interpreter, so the compilers must match),
# running the stress suite and every other test marked `threads` (among them
# tests/test_paused.py's pause exited over and over while threads emit). The
# checks are on too (-DTARNWICK_CHECKS=ON): a lock held where Python code runs
# aborts at once, whatever the timing.
#
# TSAN_OPTIONS uses CPython's own suppression file for the free-threaded
# build (Tools/tsan/suppressions_free_threading.txt, installed by the build
# script), plus tools/ci/tsan-cpython.supp for races inside CPython that it
# does not list yet; nothing of ours is suppressed. Reports go to build/ci/tsan/logs/;
# the stage fails when a test fails or when any report involves tarnwick
# (our module or our sources appear in one of its stacks). Reports that do
# not involve us are listed, not fatal: they are races inside CPython that
# its 3.13 suppression file does not know yet.
#
# TARNWICK_STRESS_SECONDS (default 5) sets how long each stress test runs.
set -euo pipefail
CI_STAGE=tsan
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ci_root"

t=$SECONDS
py=$(ci_interpreter tsan)
prefix=$(cd "$(dirname "$py")/.." && pwd)
marker="$prefix/.tarnwick-build-complete"
cc=$(sed -n 's/^cc: //p' "$marker" | head -n 1)
[ -n "$cc" ] || ci_die "$marker does not say which compiler built the interpreter"
case "$cc" in
    clang-*) cxx="clang++-${cc#clang-}" ;;
    clang) cxx=clang++ ;;
    gcc*) cxx="g++${cc#gcc}" ;;
    *) ci_die "unexpected compiler '$cc' in $marker" ;;
esac
command -v "$cc" >/dev/null && command -v "$cxx" >/dev/null || ci_die "$cc/$cxx not found"
share="$prefix/share/tarnwick/tsan"
supp="$share/suppressions_free_threading.txt"
[ -f "$supp" ] || ci_die "CPython's suppression file $supp is missing"
# With the CPython races that its file does not know yet: tools/ci/tsan-cpython.supp
# says why each is there.
mkdir -p "$ci_root/build/ci/tsan"
cat "$supp" "$ci_root/tools/ci/tsan-cpython.supp" >"$ci_root/build/ci/tsan/suppressions.txt"
supp="$ci_root/build/ci/tsan/suppressions.txt"
symbolizer=$(sed -n 's/.*external_symbolizer_path=\([^ ]*\).*/\1/p' "$share/TSAN_OPTIONS" 2>/dev/null || true)
base_options="suppressions=$supp${symbolizer:+ external_symbolizer_path=$symbolizer}"

# pip and the build run on the TSan interpreter too: let reports from them
# (CPython's, or pip's C extensions') neither stop them nor change exit codes.
export TSAN_OPTIONS="$base_options halt_on_error=0 exitcode=0 report_signal_unsafe=0"
venv_py=$(ci_venv tsan "$py")
CC="$cc" CXX="$cxx" ci_install tsan "$venv_py" "-DTARNWICK_TSAN=ON -DTARNWICK_CHECKS=ON"
ci_log "interpreter, venv and TSan build ready in $((SECONDS - t))s"

logs="$ci_root/build/ci/tsan/logs"
rm -rf "$logs"
mkdir -p "$logs"
status=0
t=$SECONDS
# PYTHON_GIL=0: the point is to race, so the GIL must stay off even if an
# import were to ask for it (tools/ci/ft.sh checks that none does).
# exitcode=0: a report must not turn into pytest's exit status (TSan's default
# is 66); the reports are judged below, and only ours fail the stage.
TSAN_OPTIONS="$base_options halt_on_error=0 exitcode=0 second_deadlock_stack=1 report_signal_unsafe=0 log_path=$logs/tsan" \
TARNWICK_STRESS_SECONDS=${TARNWICK_STRESS_SECONDS:-5} \
PYTHON_GIL=0 \
    "$venv_py" -m pytest -q -p no:cacheprovider -m "stress or threads" tests \
    || status=$?
ci_log "stress and thread tests under TSan done in $((SECONDS - t))s (pytest exit status $status)"

shopt -s nullglob
files=("$logs"/*)
if [ ${#files[@]} -gt 0 ]; then
    "$venv_py" "$ci_root/tools/ci/asan_report.py" --fail-on-ours-only \
        "tarnwick\\.cpython-|tarnwick::|$ci_root/src/" "${files[@]}" || status=1
else
    ci_log "no ThreadSanitizer reports"
fi
ci_stage_time
exit "$status"
