#!/usr/bin/env bash
# Builds tarnwick into a private virtual environment and runs something in it.
#
#   tools/run.sh quickstart          build, then run examples/quickstart.py
#   tools/run.sh test [PYTEST ARGS]  build, then run the test suite
#   tools/run.sh python [ARGS]       build, then run that environment's python
#   tools/run.sh release [PYTHONS]   sdist and manylinux wheels in dist/ (tools/release.sh)
#   tools/run.sh docs                the documentation site in build/docs/ (tools/docs.sh)
#
# The interpreter is $PYTHON when set, else python3.13 on PATH (Debian 13),
# else the newest pyenv 3.13 (Debian 12). TARNWICK_WERROR=1 turns compiler
# warnings into errors; TARNWICK_CMAKE_ARGS adds CMake definitions
# (for example "-DTARNWICK_SANITIZE=ON").
set -euo pipefail

root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)
cd "$root"

case "${1:-}" in
    release) shift; exec tools/release.sh "$@" ;;
    docs) shift; exec tools/docs.sh "$@" ;;
esac

source "$root/tools/find-python.sh"

python=$(find_python)
soabi=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("SOABI"))')
venv="$root/build/venv-$soabi"

if [ ! -x "$venv/bin/python" ]; then
    echo "Creating $venv with $python" >&2
    "$python" -m venv "$venv"
fi
stamp="$venv/.tarnwick-deps"
if [ ! -f "$stamp" ] || [ "$root/pyproject.toml" -nt "$stamp" ]; then
    "$venv/bin/python" -m pip install -q --upgrade pip
    "$venv/bin/python" -m pip install -q --only-binary=:all: "scikit-build-core>=0.10" cmake ninja "pytest>=8" "hypothesis>=6.100"
    touch "$stamp"
fi

cmake_args="${TARNWICK_CMAKE_ARGS:-}"
if [ "${TARNWICK_WERROR:-0}" = 1 ]; then
    cmake_args="$cmake_args -DTARNWICK_WERROR=ON"
fi
# One build directory per interpreter and set of options keeps rebuilds incremental.
flavour=$(printf '%s' "$cmake_args" | cksum | cut -d' ' -f1)
"$venv/bin/python" -m pip install -q --no-build-isolation --no-deps \
    -C "build-dir=build/cmake-$soabi-$flavour" \
    -C "cmake.args=$cmake_args" \
    "$root"

what=${1:-}
[ $# -gt 0 ] && shift
case "$what" in
    quickstart) exec "$venv/bin/python" examples/quickstart.py "$@" ;;
    test) exec "$venv/bin/python" -m pytest tests "$@" ;;
    python) exec "$venv/bin/python" "$@" ;;
    *)
        echo "usage: tools/run.sh quickstart | test [PYTEST ARGS] | python [ARGS] | release [PYTHONS] | docs" >&2
        exit 2
        ;;
esac
