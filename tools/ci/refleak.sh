#!/usr/bin/env bash
# Reference leaks, on the debug CPython 3.13 (tools/build-python.sh debug):
# every test module runs 3 times to warm up and 3 more times measured, and fails
# when sys.gettotalrefcount() (or sys.getallocatedblocks()) grows on every
# measured run. See tools/ci/refleak_plugin.py for the method and for the
# few tests that run only once, with the reasons.
#
# The debug build also checks the C API's own assertions: a function that
# returns NULL without an exception, a negative reference count, and so on,
# stop the run with a fatal error. Built against it, tarnwick has its checks
# on too (src/checks.hpp): a lock held where Python code runs stops it the same way.
#
# TARNWICK_REFLEAK=WARMUPS:RUNS overrides the default 3:3.
set -euo pipefail
CI_STAGE=refleak
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ci_root"

py=$(ci_interpreter debug)
venv_py=$(ci_venv refleak "$py")
ci_install refleak "$venv_py"

t=$SECONDS
PYTHONPATH="$ci_root/tools/ci${PYTHONPATH:+:$PYTHONPATH}" \
    "$venv_py" -m pytest -q -p no:cacheprovider -p refleak_plugin \
    --refleak="${TARNWICK_REFLEAK:-3:3}" tests
ci_log "suite with leak hunting done in $((SECONDS - t))s"
ci_stage_time
