#!/usr/bin/env bash
# AddressSanitizer + UndefinedBehaviorSanitizer: the extension built with
# -DTARNWICK_SANITIZE=ON (by gcc) on the default Python 3.13, the whole suite
# run with gcc's runtimes preloaded, Python's allocator replaced by malloc so
# that ASan sees every object, and leak detection at exit.
#
# Fails when a test fails, when a sanitizer stops the process, or when any
# report is left after tools/ci/lsan.supp (CPython's known leaks, each with
# the reason). Reports go to build/ci/asan/logs/, one file per process
# (subprocesses started by the tests are covered too).
#
# Not run here, with the reason:
#   tests/test_unicode_table.py   never imports the extension; it compiles and
#       runs C++ programs, and g++ itself "leaks" under the preloaded runtime;
#   test_memory_exhaustion_in_native_code_raises_memory_error   it caps the
#       address space (RLIMIT_AS), which ASan's shadow memory makes meaningless,
#       and ASan's operator new aborts on exhaustion instead of throwing
#       std::bad_alloc (allocator_may_return_null only covers malloc).
set -euo pipefail
CI_STAGE=asan
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ci_root"

command -v gcc >/dev/null && command -v g++ >/dev/null || ci_die "gcc and g++ are needed"
libasan=$(gcc -print-file-name=libasan.so)
libubsan=$(gcc -print-file-name=libubsan.so)
[ -f "$libasan" ] && [ -f "$libubsan" ] || ci_die "gcc's libasan.so/libubsan.so not found"

py=$(ci_interpreter default)
venv_py=$(ci_venv asan "$py")
# The preloaded runtimes are gcc's, so the extension must be built by gcc.
CC=gcc CXX=g++ ci_install asan "$venv_py" "-DTARNWICK_SANITIZE=ON"

logs="$ci_root/build/ci/asan/logs"
rm -rf "$logs"
mkdir -p "$logs"

status=0
t=$SECONDS
LD_PRELOAD="$libasan $libubsan${LD_PRELOAD:+ $LD_PRELOAD}" \
PYTHONMALLOC=malloc \
ASAN_OPTIONS="detect_leaks=1:allocator_may_return_null=1:halt_on_error=1:detect_stack_use_after_return=0:log_path=$logs/asan" \
LSAN_OPTIONS="suppressions=$ci_root/tools/ci/lsan.supp:print_suppressions=0" \
UBSAN_OPTIONS="halt_on_error=1:print_stacktrace=1:log_path=$logs/ubsan" \
TARNWICK_STRESS_SECONDS=${TARNWICK_STRESS_SECONDS:-2} \
    "$venv_py" -m pytest -q -p no:cacheprovider tests \
        --ignore=tests/test_unicode_table.py \
        --deselect tests/test_gc.py::test_memory_exhaustion_in_native_code_raises_memory_error \
    || status=$?
ci_log "suite under ASan+UBSan done in $((SECONDS - t))s (pytest exit status $status)"

shopt -s nullglob
files=("$logs"/*)
if [ ${#files[@]} -gt 0 ]; then
    "$venv_py" "$ci_root/tools/ci/asan_report.py" \
        "tarnwick\\.cpython-|tarnwick::|$ci_root/src/" "${files[@]}" || status=1
else
    ci_log "no sanitizer reports"
fi
ci_stage_time
exit "$status"
