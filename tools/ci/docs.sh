#!/usr/bin/env bash
# The documentation site: builds it with warnings as errors (tools/docs.sh),
# then runs every ```python block of its pages and checks what each prints,
# as tools/ci/examples.sh does for the README. The "coming from" pages run
# the peers' code too, so blinker, django, psygnal and pyee are installed.
#
#   tools/ci/docs.sh
#
# tarnwick comes from dist/'s wheel for the default Python 3.13, which the
# packaging stage has made; without one, tools/release.sh makes it.
set -euo pipefail
CI_STAGE=docs
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ci_root"

tools/docs.sh

python=$(ci_default_python)
abi=$("$python" -c 'import sys; v = f"cp{sys.version_info[0]}{sys.version_info[1]}"; print(f"{v}-{v}")')
wheel=$(echo dist/tarnwick-*-"$abi"-*.whl)
if [ ! -f "$wheel" ]; then
    tools/release.sh default
    wheel=$(echo dist/tarnwick-*-"$abi"-*.whl)
fi
venv="$ci_root/build/ci/docs/venv"
fresh_venv "$python" "$venv"
pip_install "$venv" --only-binary=:all: "$wheel" blinker django psygnal pyee
find docs -name '*.md' -print0 | sort -z | xargs -0 "$venv/bin/python" tools/ci/readme_blocks.py
ci_stage_time
