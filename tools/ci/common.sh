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
#                                  build and test tools (plus PKG..); prints its python
#   ci_install STAGE VENV_PY "CMAKE ARGS"   build tarnwick into that venv
#   ci_stage_time NAME          prints how long the stage took (call at the end)

ci_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
ci_t0=$SECONDS

ci_log() { printf '[ci %s] %s\n' "${CI_STAGE:-?}" "$*" >&2; }
ci_die() { ci_log "error: $*"; exit 1; }

source "$ci_root/tools/find-python.sh"

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
    local venv="$ci_root/build/ci/$stage/venv"
    local want="python=$python extra=$* deps=1"
    local stamp="$venv/.tarnwick-ci-deps"
    if [ ! -x "$venv/bin/python" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$want" ] \
        || [ "$ci_root/pyproject.toml" -nt "$stamp" ]; then
        ci_log "creating $venv with $python"
        rm -rf "$venv"
        "$python" -m venv "$venv" >&2 || ci_die "venv creation failed"
        # Debug interpreters print ResourceWarnings from pip's own code; keep
        # pip's output in a log and show it only when pip fails.
        if ! PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv/bin/python" -W ignore -m pip install -q \
            --only-binary=:all: "scikit-build-core>=0.10" cmake ninja "pytest>=8" "hypothesis>=6.100" \
            "$@" >"$venv/pip-install.log" 2>&1; then
            tail -n 30 "$venv/pip-install.log" >&2
            ci_die "installing the build and test tools failed"
        fi
        printf '%s' "$want" >"$stamp"
    fi
    echo "$venv/bin/python"
}

ci_install() {
    local stage=$1 venv_py=$2 cmake_args=${3:-}
    if [ "${TARNWICK_WERROR:-0}" = 1 ]; then
        cmake_args="$cmake_args -DTARNWICK_WERROR=ON"
    fi
    local t=$SECONDS
    ci_log "building tarnwick (cmake args:${cmake_args:- none})"
    local log="$ci_root/build/ci/$stage/build.log"
    if ! (cd "$ci_root" && PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv_py" -W ignore -m pip install -v \
        --no-build-isolation --no-deps \
        -C "build-dir=build/ci/$stage/cmake" \
        -C "cmake.args=$cmake_args" \
        "$ci_root") >"$log" 2>&1; then
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

ci_stage_time() {
    ci_log "stage finished in $((SECONDS - ci_t0))s"
}
