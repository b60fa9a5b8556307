#!/usr/bin/env bash
# Runs every examples/*.py with python -W error, twice, and fails if a run
# fails, takes over a minute, or prints something different the second time
# (the examples promise deterministic output). Then runs the ```python blocks
# of README.md and checks that they print what the README says.
#
#   tools/ci/examples.sh [PYTHON]
#
# PYTHON is an interpreter with tarnwick installed, for example
# build/venv-cpython-313-x86_64-linux-gnu/bin/python. Without it, tools/run.sh
# builds tarnwick into its venv for the default Python 3.13 and that venv's
# python is used.
set -euo pipefail
CI_STAGE=examples
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ci_root"

python=${1:-}
if [ -z "$python" ]; then
    python=$(tools/run.sh python -c 'import sys; print(sys.executable)')
fi
[ -x "$python" ] || ci_die "$python is not an executable"
ci_log "with $python"

out=$(mktemp -d)
trap 'rm -rf "$out"' EXIT
for example in examples/*.py; do
    for run in 1 2; do
        if ! timeout 60 "$python" -W error "$example" >"$out/$run" 2>&1; then
            cat "$out/$run" >&2
            ci_die "$example failed"
        fi
    done
    if ! diff -u "$out/1" "$out/2" >&2; then
        ci_die "$example printed something different on its second run"
    fi
    echo "ok $example ($(wc -l <"$out/1") lines)"
done
"$python" tools/ci/readme_blocks.py README.md
ci_stage_time
