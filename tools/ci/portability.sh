#!/usr/bin/env bash
# Builds tarnwick with the compilers and C++ libraries its wheels meet
# elsewhere, warnings as errors, on the default Python 3.13:
#
#   clang-libstdcxx   Clang with GCC's libstdc++ (as manylinux and most Linux)
#   clang-libcxx      Clang with LLVM's libc++ (as macOS), then the test suite
#
# GCC with libstdc++ is the default stage's build. MSVC can only be built by
# the release workflow. Clang 19 and libc++ come from Debian (bookworm and
# trixie both have them) and are installed when missing.
#
#   tools/ci/portability.sh
set -euo pipefail
CI_STAGE=portability
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ci_root"

if ! command -v clang++-19 >/dev/null || [ ! -d /usr/lib/llvm-19/include/c++/v1 ]; then
    ci_log "installing clang-19 and libc++ with apt-get"
    mkdir -p "$ci_root/build/ci"
    { apt-get -o DPkg::Lock::Timeout=600 update &&
        apt-get -o DPkg::Lock::Timeout=600 install -y --no-install-recommends \
            clang-19 libc++-19-dev libc++abi-19-dev; } >"$ci_root/build/ci/portability-apt.log" 2>&1 ||
        { tail -n 20 "$ci_root/build/ci/portability-apt.log" >&2; ci_die "apt-get install failed"; }
fi
clang++-19 --version | head -n 1

export TARNWICK_WERROR=1
python=$(ci_default_python)

# build NAME [VAR=VALUE ...]: a venv of its own with tarnwick built into it
# by the compiler that the environment names; sets $venv_py to its python.
build() {
    local name=$1 so
    shift
    venv_py=$(ci_venv "$name" "$python")
    (export "$@"; ci_install "$name" "$venv_py")
    so=$("$venv_py" -c 'import tarnwick; print(tarnwick.__file__)')
    libs=$(ldd "$so" | grep -oE 'lib(std)?c\+\+\.so[.0-9]*' | sort -u | tr '\n' ' ')
    ci_log "$name: the module loads $libs"
}

build clang-libstdcxx CXX=clang++-19
[[ $libs == *libstdc++* ]] || ci_die "the clang-libstdcxx build does not load libstdc++"
build clang-libcxx CXX=clang++-19 CXXFLAGS=-stdlib=libc++ LDFLAGS=-stdlib=libc++
[[ $libs == *libc++* && $libs != *libstdc++* ]] || ci_die "the clang-libcxx build does not load libc++ alone"

ci_log "test suite on the Clang + libc++ build"
TARNWICK_STRESS_SECONDS=${TARNWICK_STRESS_SECONDS:-1} "$venv_py" -m pytest -q -p no:cacheprovider tests
ci_stage_time
