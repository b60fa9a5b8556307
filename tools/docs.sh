#!/usr/bin/env bash
# Builds the documentation site (docs/, Sphinx with the furo theme) into
# build/docs/, warnings as errors. Sphinx does not import tarnwick, so
# nothing is compiled; tools/ci/docs.sh runs the pages' code examples.
#
#   tools/run.sh docs
set -euo pipefail
CI_STAGE=docs
source "$(dirname "${BASH_SOURCE[0]}")/ci/common.sh"
cd "$ci_root"

venv="$ci_root/build/docs-venv"
# The same pins as the hosted build (.readthedocs.yaml).
want=$(tr '\n' ' ' <docs/requirements.txt)
if [ ! -x "$venv/bin/sphinx-build" ] || [ "$(cat "$venv/.tarnwick-docs-deps" 2>/dev/null)" != "$want" ]; then
    fresh_venv "$(ci_default_python)" "$venv"
    # shellcheck disable=SC2086  # $want is a list of requirements
    pip_install "$venv" --only-binary=:all: $want
    echo "$want" >"$venv/.tarnwick-docs-deps"
fi
rm -rf build/docs
"$venv/bin/sphinx-build" -q -W --keep-going -b html -d build/docs-doctrees docs build/docs
echo "site: build/docs/index.html ($(find build/docs -name '*.html' | wc -l) pages)"
