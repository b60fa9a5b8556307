# The one way the project's scripts make a virtual environment and build
# tarnwick into it (sourced, not run): tools/run.sh, the CI stages in
# tools/ci and bench/run.sh all use these two functions.
#
#   tw_venv VENV PYTHON [PKG..]
#       Makes VENV with PYTHON holding the build tools (pyproject.toml's
#       [build-system] requires, plus cmake and ninja, since tarnwick is
#       built without build isolation), the `test` extra of pyproject.toml,
#       and PKG... Everything comes as wheels. An existing VENV is kept when
#       it was made with the same PYTHON and PKG list and pyproject.toml has
#       not changed since; otherwise it is made again from scratch. pip's
#       output goes to VENV/pip-install.log and is shown only on failure.
#       Prints the venv's python.
#
#   tw_venv_cached CACHE VENV PYTHON [PKG..]
#       As tw_venv, but pip runs once per PYTHON build and requirement list:
#       the venv made then is kept in CACHE, outside the work tree, and VENV
#       becomes a copy of it with its paths rewritten. pip under an
#       instrumented interpreter (ThreadSanitizer, a debug build) takes
#       minutes where a copy takes seconds. A kept venv is made again after a
#       week, so that the test tools, which are not pinned, do not stay old.
#       Prints the venv's python.
#
#   tw_install VENV_PY BUILD_DIR [CMAKE_ARGS [PIP ARGS..]]
#       Builds tarnwick from this checkout into the venv of VENV_PY,
#       incrementally in BUILD_DIR (relative to the checkout). With
#       TARNWICK_WERROR=1, compiler warnings are errors.

tw_root=$(cd "$(dirname "${BASH_SOURCE[0]}")/.." && pwd)

# tw_requirements PYTHON: the requirements tw_venv installs, one a line.
tw_requirements() {
    "$1" - "$tw_root/pyproject.toml" <<'PY'
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    project = tomllib.load(f)
for req in project["build-system"]["requires"] + ["cmake", "ninja"]:
    print(req)
for req in project["project"]["optional-dependencies"]["test"]:
    print(req)
PY
}

# tw_peers PYTHON: the test-peers extra of pyproject.toml, one a line:
# installed where the interpreter has wheels for them, skipped elsewhere.
tw_peers() {
    "$1" - "$tw_root/pyproject.toml" <<'PY'
import sys, tomllib
with open(sys.argv[1], "rb") as f:
    project = tomllib.load(f)
for req in project["project"]["optional-dependencies"].get("test-peers", []):
    print(req)
PY
}

tw_venv() {
    local venv=$1 python=$2
    shift 2
    local stamp="$venv/.tarnwick-venv" want="python=$python extra=$*"
    if [ ! -x "$venv/bin/python" ] || [ "$(cat "$stamp" 2>/dev/null)" != "$want" ] \
        || [ "$tw_root/pyproject.toml" -nt "$stamp" ]; then
        echo "creating $venv with $python" >&2
        local text reqs
        text=$(tw_requirements "$python") || return 1
        mapfile -t reqs <<<"$text"
        rm -rf "$venv"
        "$python" -m venv "$venv" >&2 || return 1
        # Debug interpreters print ResourceWarnings from pip's own code.
        if ! PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv/bin/python" -W ignore -m pip install \
            --only-binary=:all: "${reqs[@]}" "$@" >"$venv/pip-install.log" 2>&1; then
            tail -n 30 "$venv/pip-install.log" >&2
            echo "error: installing the build and test tools into $venv failed" >&2
            return 1
        fi
        local peer
        for peer in $(tw_peers "$python"); do
            PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv/bin/python" -W ignore -m pip install \
                --only-binary=:all: "$peer" >>"$venv/pip-install.log" 2>&1 \
                || echo "note: no wheel of $peer for $python; its tests will skip" >&2
        done
        printf '%s' "$want" >"$stamp"
    fi
    echo "$venv/bin/python"
}

tw_venv_cached() {
    local cache=$1 venv=$2 python=$3
    shift 3
    local stamp="$venv/.tarnwick-venv"
    if [ -x "$venv/bin/python" ] && [ "$(cat "$stamp" 2>/dev/null)" = "python=$python extra=$*" ] \
        && [ ! "$tw_root/pyproject.toml" -nt "$stamp" ]; then
        echo "$venv/bin/python"
        return
    fi
    local reqs key kept
    reqs=$(tw_requirements "$python"; tw_peers "$python") || return 1
    # The interpreter file's time and size stand for its build: a rebuilt
    # interpreter gets a venv of its own.
    key=$(printf '%s\n' "$(realpath "$python")" "$(stat -L -c '%Y %s' "$python")" "$reqs" "$@" |
        sha256sum | cut -c1-16)
    kept="$cache/$key"
    mkdir -p "$cache" "$(dirname "$venv")" || return 1
    (
        # Held while the kept venv is made or copied, so that no copy is
        # taken of one half made or half replaced.
        exec 9>"$cache/.$key.lock"
        flock 9
        if [ ! -f "$kept/.complete" ] || [ -n "$(find "$kept/.complete" -mtime +6)" ]; then
            rm -rf "$kept"
            tw_venv "$kept" "$python" "$@" >/dev/null || exit 1
            date -u +%Y-%m-%dT%H:%M:%SZ >"$kept/.complete"
        fi
        echo "copying $kept to $venv" >&2
        rm -rf "$venv"
        cp -a "$kept" "$venv"
    ) || return 1
    rm -f "$venv/.complete"
    # Scripts' #! lines, activate and pyvenv.cfg name the kept venv.
    grep -rlIF "$kept" "$venv/bin" "$venv/pyvenv.cfg" | xargs -r sed -i "s|$kept|$venv|g" || return 1
    # pyproject.toml of a fresh checkout is newer than the kept stamp.
    touch "$stamp"
    echo "$venv/bin/python"
}

tw_install() {
    local venv_py=$1 build_dir=$2 cmake_args=${3:-}
    shift $(($# < 3 ? $# : 3))
    if [ "${TARNWICK_WERROR:-0}" = 1 ]; then
        cmake_args="$cmake_args -DTARNWICK_WERROR=ON"
    fi
    # scikit-build-core splits cmake.args on ';' only: space-separated
    # definitions would reach CMake as one value of the first.
    local -a defs
    read -r -a defs <<<"$cmake_args"
    cmake_args=$(IFS=';'; printf '%s' "${defs[*]}")
    (cd "$tw_root" && PIP_DISABLE_PIP_VERSION_CHECK=1 "$venv_py" -W ignore -m pip install \
        --no-build-isolation --no-deps \
        -C "build-dir=$build_dir" \
        -C "cmake.args=$cmake_args" \
        "$@" "$tw_root")
}
