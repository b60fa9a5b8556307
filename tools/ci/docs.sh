#!/usr/bin/env bash
# The documentation site: builds it with warnings as errors (tools/docs.sh),
# then runs every ```python block of its pages and checks what each prints,
# as tools/ci/examples.sh does for the README. The "coming from" pages run
# the peers' code too, so blinker, django, psygnal and pyee are installed;
# the event-loops guide runs trio and Qt (offscreen) programs.
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
wheel=$(ci_dist_wheel "$python")
venv="$ci_root/build/ci/docs/venv"
fresh_venv "$python" "$venv"
pip_install "$venv" --only-binary=:all: "$wheel" blinker django psygnal pyee attrs pydantic pytest trio PySide6-Essentials
find docs -name '*.md' -print0 | sort -z | xargs -0 "$venv/bin/python" tools/ci/readme_blocks.py
ci_stage_time
