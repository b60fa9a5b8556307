#!/usr/bin/env bash
# Benchmarks tarnwick against its peers and writes the results.
#
#   bench/run.sh               full run: pyperf suite, memory, threads on 3.13t,
#                              then bench/results/YYYY-MM-DD.{md,json} and the chart
#   bench/run.sh --quick       smoke run: every benchmark once, in-process, a few ms
#                              each (numbers are not meaningful)
#   bench/run.sh --callgrind   instructions per emit under valgrind's callgrind, and
#                              the table operations at 10^3..10^5 connections
#                              (bench/scaling.py), merged into the latest results
#   bench/run.sh --threads     only the thread case on 3.13t, replacing that section of
#                              the latest results (for a rerun on a quieter machine)
#
# Options: --out DIR (default bench/results), --no-ft (skip the free-threaded
# interpreter), --ft (use it even with --quick), --libs a,b (subset, keys from
# bench/libs.py), --cases x,y (subset of case ids), -- PYPERF ARGS (passed on).
#
# The interpreter is found like tools/run.sh does ($PYTHON, python3.13 on PATH,
# else the newest pyenv 3.13). The free-threaded one is $TARNWICK_FT_PYTHON, else
# /var/cache/tarnwick-python/ft/bin/python3.13t when present. Each gets its own
# venv, build/bench-venv-<soabi>, separate from the test venvs.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

mode=full
out="$root/bench/results"
use_ft=auto
libs=""
cases=""
pyperf_args=()
while [ $# -gt 0 ]; do
    case "$1" in
        --quick) mode=quick ;;
        --callgrind) mode=callgrind ;;
        --threads) mode=threads ;;
        --out) out=$2; shift ;;
        --out=*) out=${1#--out=} ;;
        --ft) use_ft=yes ;;
        --no-ft) use_ft=no ;;
        --libs) libs=$2; shift ;;
        --cases) cases=$2; shift ;;
        --) shift; pyperf_args=("$@"); break ;;
        -h|--help) sed -n '2,20p' "${BASH_SOURCE[0]}" | sed 's/^# \{0,1\}//'; exit 0 ;;
        *) echo "bench/run.sh: unknown option $1 (see --help)" >&2; exit 2 ;;
    esac
    shift
done
mkdir -p "$out"
out=$(cd "$out" && pwd)

source "$root/tools/find-python.sh"
source "$root/tools/venv.sh"

find_ft_python() {
    local cand=${TARNWICK_FT_PYTHON:-/var/cache/tarnwick-python/ft/bin/python3.13t}
    if [ -x "$cand" ] && "$cand" -c 'import sys; sys.exit(0 if hasattr(sys, "_is_gil_enabled") and not sys._is_gil_enabled() else 1)' 2>/dev/null; then
        echo "$cand"
    elif [ -n "${TARNWICK_FT_PYTHON:-}" ]; then
        echo "warning: TARNWICK_FT_PYTHON=$TARNWICK_FT_PYTHON is not a free-threaded Python; skipping it" >&2
    fi
}

log() { printf '== %s\n' "$*" >&2; }

# Peers are installed one by one from wheels only, so that one that cannot
# be had is recorded and skipped rather than failing the run.
peers_default="psygnal blinker django PySide6-Essentials"
peers_ft="psygnal blinker django"

# make_venv PYTHON WITH_TOOLS PEERS -> prints the venv's python
make_venv() {
    local py=$1 tools=$2 peers=$3
    local soabi venv
    soabi=$("$py" -c 'import sysconfig; print(sysconfig.get_config_var("SOABI"))')
    venv="$root/build/bench-venv-$soabi"
    # shellcheck disable=SC2086
    tw_venv "$venv" "$py" $tools >/dev/null
    # The venv is made again whenever its tools change, and the peers with it.
    local want="peers=$peers"
    local stamp="$venv/.bench-deps"
    if [ ! -f "$stamp" ] || [ "$(head -n 1 "$stamp")" != "$want" ]; then
        log "installing the peers into $venv"
        : > "$venv/.bench-peers"
        local p
        for p in $peers; do
            if "$venv/bin/python" -m pip install -q --only-binary=:all: "$p" >"$venv/.pip-$p.log" 2>&1; then
                echo "$p ok" >> "$venv/.bench-peers"
            else
                echo "$p failed: $(tail -n 1 "$venv/.pip-$p.log")" >> "$venv/.bench-peers"
                log "could not install $p (recorded; it will be skipped)"
            fi
        done
        echo "$want" > "$stamp"
    fi
    # tarnwick itself, from this checkout, rebuilt incrementally on every run;
    # symbols are kept so callgrind can name its functions.
    log "installing tarnwick from $root into $venv"
    tw_install "$venv/bin/python" "build/bench-cmake-$soabi" "" -q --force-reinstall \
        -C install.strip=false >&2
    # Which source was built, recorded now rather than when the report is written.
    "$venv/bin/python" - "$root" > "$venv/.tarnwick-rev.json" <<'PY'
import datetime, json, subprocess, sys
def git(*a):
    r = subprocess.run(["git", "-C", sys.argv[1], *a], capture_output=True, text=True)
    return r.stdout.strip()
print(json.dumps({"commit": git("rev-parse", "--short", "HEAD"),
                  "describe": git("describe", "--always", "--dirty"),
                  "dirty_files": [l[3:] for l in git("status", "--porcelain", "--", "src").splitlines()],
                  "built_at": datetime.datetime.now().strftime("%Y-%m-%d %H:%M")}))
PY
    echo "$venv/bin/python"
}

start=$(date +%s)
loadavg_start=$(cut -d' ' -f1-3 /proc/loadavg 2>/dev/null || echo "?")
python=$(find_python)
vpy=$(make_venv "$python" "pyperf matplotlib" "$peers_default")

work="$root/build/bench-work/$(date +%Y%m%d-%H%M%S)-$mode"
mkdir -p "$work"
log "scratch files in $work"
export PYTHONHASHSEED=0
export QT_QPA_PLATFORM=offscreen

libargs=()
[ -n "$libs" ] && libargs+=(--libs "$libs")
caseargs=()
[ -n "$cases" ] && caseargs+=(--cases "$cases")

if [ "$mode" = callgrind ]; then
    command -v valgrind >/dev/null || { echo "error: valgrind is not installed (apt-get install valgrind)" >&2; exit 1; }
    log "callgrind: instructions per emit"
    "$vpy" bench/callgrind.py --work "$work" --out "$work/callgrind.json" "${libargs[@]}"
    "$vpy" bench/report.py --out "$out" --merge-callgrind "$work/callgrind.json"
    log "callgrind: table operations at 10^3, 10^4 and 10^5 connections"
    "$vpy" bench/scaling.py --callgrind --time --work "$work" --out "$work/scaling.json"
    "$vpy" bench/report.py --out "$out" --merge-scaling "$work/scaling.json"
    log "done in $(( $(date +%s) - start )) s"
    exit 0
fi

ft=""
if [ "$use_ft" = yes ] || { [ "$use_ft" = auto ] && [ "$mode" != quick ]; }; then
    ftpy=$(find_ft_python || true)
    if [ -n "$ftpy" ]; then
        ft=$(make_venv "$ftpy" "" "$peers_ft")
    else
        log "no free-threaded Python found: the thread case is skipped"
    fi
fi

if [ "$mode" = threads ]; then
    [ -n "$ft" ] || { echo "error: --threads needs a free-threaded Python (TARNWICK_FT_PYTHON)" >&2; exit 1; }
    log "threads on the free-threaded build"
    "$ft" bench/threads.py --out "$work/threads-ft.json" "${libargs[@]}"
    "$vpy" bench/report.py --out "$out" --merge-threads "$work/threads-ft.json"
    log "done in $(( $(date +%s) - start )) s"
    exit 0
fi

if [ "$mode" = quick ]; then
    log "timing (quick, in-process)"
    "$vpy" bench/suite.py --quick --quick-out "$work/timings-quick.json" "${libargs[@]}" "${caseargs[@]}"
    timing=(--quick-timings "$work/timings-quick.json")
    memargs=(--signals 200)
    thrargs=(--seconds 0.03 --repeat 1)
else
    log "timing (pyperf)"
    # Enough processes and values for stable medians on a 2-core machine while
    # keeping the whole run near 15 minutes; override after `--`.
    pyperf_settings=(--processes 8 --values 3 --warmups 1 --min-time 0.1)
    "$vpy" bench/suite.py -o "$work/timings.pyperf.json" --status "$work/status.json" \
        "${pyperf_settings[@]}" "${libargs[@]}" "${caseargs[@]}" "${pyperf_args[@]}"
    timing=(--pyperf "$work/timings.pyperf.json" --status "$work/status.json"
            --pyperf-settings "${pyperf_settings[*]} ${pyperf_args[*]}")
    memargs=()
    thrargs=()
fi

log "memory per signal"
"$vpy" bench/memory.py --out "$work/memory.json" "${libargs[@]}" "${memargs[@]}"

threads=()
if [ -n "$ft" ]; then
    log "threads on the free-threaded build"
    "$ft" bench/threads.py --out "$work/threads-ft.json" "${libargs[@]}" "${thrargs[@]}"
    threads=(--threads "$work/threads-ft.json")
elif [ "$mode" = quick ]; then
    # No 3.13t in a smoke run: still exercise the thread script, on the GIL build.
    log "threads (smoke, GIL build)"
    "$vpy" bench/threads.py --out "$work/threads-gil.json" "${libargs[@]}" "${thrargs[@]}"
    threads=(--threads "$work/threads-gil.json")
fi

log "report"
"$vpy" bench/report.py --out "$out" --mode "$mode" "${timing[@]}" --memory "$work/memory.json" \
    "${threads[@]}" --elapsed "$(( $(date +%s) - start ))" --loadavg-start "$loadavg_start" \
    --tarnwick-rev "$(dirname "$vpy")/../.tarnwick-rev.json"
log "done in $(( $(date +%s) - start )) s; results in $out"
