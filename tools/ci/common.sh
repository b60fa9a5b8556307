# Shared helpers for the CI stage scripts in tools/ci (sourced, not run).
#
# Each stage gets its own virtual environment and CMake build directory under
# build/ci/STAGE, so a sanitizer build never replaces the ordinary build that
# tools/run.sh keeps in build/venv-*, and two stages never share a venv.
#
#   ci_interpreter VARIANT      path of a CPython 3.13 interpreter:
#                                 default  -> $PYTHON, python3.13, or pyenv 3.13
#                                 ft|debug|tsan -> tools/build-python.sh VARIANT
#   ci_venv STAGE PYTHON [PKG..]   create/refresh build/ci/STAGE/venv with the
#                                  build and test tools (plus PKG..); prints its python.
#                                  It is a copy of a venv kept in $TARNWICK_VENV_CACHE
#                                  (default /var/cache/tarnwick-venvs), made once per
#                                  interpreter build and requirement list.
#   ci_install STAGE VENV_PY "CMAKE ARGS"   build tarnwick into that venv
# Both go through tools/venv.sh, as tools/run.sh and bench/run.sh do.
#   ci_dist_wheel PYTHON        dist/'s wheel for PYTHON, made by tools/release.sh if missing
#   ci_stage_time NAME          prints how long the stage took (call at the end)

ci_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
ci_t0=$SECONDS

ci_log() { printf '[ci %s] %s\n' "${CI_STAGE:-?}" "$*" >&2; }
ci_die() { ci_log "error: $*"; exit 1; }

source "$ci_root/tools/find-python.sh"
source "$ci_root/tools/venv.sh"

ci_default_python() {
    find_python || ci_die "no Python 3.13 found (set PYTHON=/path/to/python3.13)"
}

ci_interpreter() {
    local variant=$1 py
    if [ "$variant" = default ]; then
        ci_default_python
        return
    fi
    local t=$SECONDS
    py=$("$ci_root/tools/build-python.sh" "$variant" | tail -n 1) || ci_die "tools/build-python.sh $variant failed"
    [ -x "$py" ] || ci_die "tools/build-python.sh $variant gave no interpreter"
    ci_log "interpreter ($variant): $py [$((SECONDS - t))s]"
    echo "$py"
}

ci_venv() {
    local stage=$1 python=$2
    shift 2
    local cache
    cache=$(realpath -m "${TARNWICK_VENV_CACHE:-/var/cache/tarnwick-venvs}")
    case "$cache/" in
        "$ci_root"/*) ci_die "the venv cache $cache is inside the work tree; set TARNWICK_VENV_CACHE elsewhere" ;;
    esac
    tw_venv_cached "$cache" "$ci_root/build/ci/$stage/venv" "$python" "$@" || ci_die "making the venv failed"
}

ci_install() {
    local stage=$1 venv_py=$2 cmake_args=${3:-}
    local t=$SECONDS
    ci_log "building tarnwick (cmake args:${cmake_args:- none}; TARNWICK_WERROR=${TARNWICK_WERROR:-0})"
    local log="$ci_root/build/ci/$stage/build.log"
    if ! tw_install "$venv_py" "build/ci/$stage/cmake" "$cmake_args" -v >"$log" 2>&1; then
        tail -n 60 "$log" >&2
        ci_die "building tarnwick failed (log: $log)"
    fi
    # Compiler warnings are worth seeing even when they are not errors.
    grep -E 'warning:' "$log" >&2 || true
    ci_log "built in $((SECONDS - t))s"
}

# fresh_venv PYTHON DIR: an empty virtual environment at DIR with a current pip.
fresh_venv() {
    rm -rf "$2"
    "$1" -m venv "$2" || ci_die "creating the venv $2 failed"
    pip_install "$2" --upgrade pip
}

# pip_install VENV ARGS...: pip install into VENV, quietly. The machine's pip
# configuration names local package directories that may not exist; pip's
# warnings about those are dropped.
pip_install() {
    local venv=$1
    shift
    PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv/bin/python" -m pip install -q "$@" 2>&1 |
        { grep -v "^WARNING: Location 'file:" || true; }
}

# ci_dist_wheel PYTHON: dist/'s wheel for that interpreter (the packaging
# stage makes them); without one, tools/release.sh makes it first.
ci_dist_wheel() {
    local python=$1 abi wheel
    abi=$("$python" -c 'import sys, sysconfig
v = f"cp{sys.version_info[0]}{sys.version_info[1]}"
print(f"{v}-{v}" + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')
    wheel=$(echo "$ci_root"/dist/tarnwick-*-"$abi"-*.whl)
    if [ ! -f "$wheel" ]; then
        "$ci_root/tools/release.sh" "$python" >&2 || ci_die "tools/release.sh $python failed"
        wheel=$(echo "$ci_root"/dist/tarnwick-*-"$abi"-*.whl)
    fi
    [ -f "$wheel" ] || ci_die "no single $abi wheel in dist/"
    echo "$wheel"
}

ci_stage_time() {
    ci_log "stage finished in $((SECONDS - ci_t0))s"
}
