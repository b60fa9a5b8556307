#!/usr/bin/env bash
# Builds tarnwick into a private virtual environment and runs something in it.
#
#   tools/run.sh quickstart          build, then run examples/quickstart.py
#   tools/run.sh test [PYTEST ARGS]  build, then run the test suite (or the tests named)
#   tools/run.sh python [ARGS]       build, then run that environment's python
#   tools/run.sh release [PYTHONS]   sdist and manylinux wheels in dist/ (tools/release.sh)
#   tools/run.sh docs                the documentation site in build/docs/ (tools/docs.sh)
#   tools/run.sh sid VERSION [PYTEST ARGS]
#                                    build with CPython VERSION (3.14 or 3.15) from Debian
#                                    sid and run the suite, in a cached sid chroot (tools/sid.sh)
#
# The interpreter is $PYTHON when set, else python3.13 on PATH (Debian 13),
# else the newest pyenv 3.13 (Debian 12). TARNWICK_WERROR=1 turns compiler
# warnings into errors; TARNWICK_CMAKE_ARGS adds CMake definitions
# (for example "-DTARNWICK_SANITIZE=ON"). This is the development build: the
# code's own rules are asserted (-DTARNWICK_CHECKS=ON; src/checks.hpp), unless
# TARNWICK_CHECKS=0. Releases and the benchmarks build without them.
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

case "${1:-}" in
    release) shift; exec tools/release.sh "$@" ;;
    docs) shift; exec tools/docs.sh "$@" ;;
    sid) shift; exec tools/sid.sh test "$@" ;;
esac

source "$root/tools/find-python.sh"
source "$root/tools/venv.sh"

python=$(find_python)
soabi=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("SOABI"))')
venv="$root/build/venv-$soabi"
vpy=$(tw_venv "$venv" "$python")

cmake_args="${TARNWICK_CMAKE_ARGS:-}"
if [ "${TARNWICK_CHECKS:-1}" != 0 ]; then
    cmake_args="-DTARNWICK_CHECKS=ON${cmake_args:+ $cmake_args}"
fi
# One build directory per interpreter and set of options keeps rebuilds incremental.
flavour=$(printf '%s %s' "$cmake_args" "${TARNWICK_WERROR:-0}" | cksum | cut -d' ' -f1)
tw_install "$vpy" "build/cmake-$soabi-$flavour" "$cmake_args" -q

what=${1:-}
[ $# -gt 0 ] && shift
case "$what" in
    quickstart) exec "$venv/bin/python" examples/quickstart.py "$@" ;;
    test)
        # Named tests run alone; otherwise the whole suite.
        for arg in "$@"; do
            case "$arg" in tests | tests/*) exec "$venv/bin/python" -m pytest "$@" ;; esac
        done
        exec "$venv/bin/python" -m pytest tests "$@"
        ;;
    python) exec "$venv/bin/python" "$@" ;;
    *)
        echo "usage: tools/run.sh quickstart | test [PYTEST ARGS] | python [ARGS] | release [PYTHONS] | docs | sid VERSION [PYTEST ARGS]" >&2
        exit 2
        ;;
esac
