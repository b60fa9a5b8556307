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
#
# Before building, it checks for what the build needs besides the interpreter
# (ensurepip, a C++ compiler, the Python headers); run as root with Debian's
# python3.13 it installs the missing packages, otherwise it names them.
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
source "$root/tools/apt.sh"

python=$(find_python)

# What the build needs besides the interpreter: venv with ensurepip, the C++
# compiler CMake will be given (scikit-build-core passes the interpreter's own
# sysconfig CXX, x86_64-linux-gnu-g++ for Debian's python3.13, unless CXX is
# set) and the headers (CMake's Development.Module). Debian splits them into
# packages of their own; as root they are installed here, otherwise the
# missing ones are named.
check_build_deps() {
    local pyver cxx missing=() debian_python=0
    pyver=$("$python" -c 'import sys; print(f"{sys.version_info[0]}.{sys.version_info[1]}")')
    cxx=${CXX:-$("$python" -c 'import sysconfig; print((sysconfig.get_config_var("CXX") or "c++").split()[0])')}
    [[ -r /etc/debian_version && $(realpath "$python") == /usr/bin/python* ]] && debian_python=1
    "$python" -c 'import ensurepip, venv; ensurepip.version()' >/dev/null 2>&1 || missing+=("python$pyver-venv")
    command -v "$cxx" >/dev/null || missing+=(g++)
    "$python" -c 'import os, sys, sysconfig
sys.exit(not os.path.isfile(os.path.join(sysconfig.get_paths()["include"], "Python.h")))' \
        || missing+=("python$pyver-dev")
    [[ ${#missing[@]} -eq 0 ]] && return
    if [[ $debian_python == 1 && $(id -u) == 0 ]]; then
        echo "installing what the build needs: ${missing[*]}" >&2
        export DEBIAN_FRONTEND=noninteractive
        tw_apt_get update >&2 && tw_apt_get install -y --no-install-recommends "${missing[@]}" >&2 && return
        echo "error: installing ${missing[*]} failed" >&2
        exit 1
    fi
    if [[ $debian_python == 1 ]]; then
        echo "error: building with $python needs ${missing[*]}; install them with:" >&2
        echo "  sudo apt-get install ${missing[*]}" >&2
    else
        local what=("${missing[@]/*-venv/ensurepip}") list
        what=("${what[@]/*-dev/its headers (Python.h)}")
        what=("${what[@]/g++/a C++ compiler ($cxx)}")
        printf -v list '%s, ' "${what[@]}"
        echo "error: building with $python needs ${list%, }" >&2
    fi
    exit 1
}
check_build_deps

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
