#!/usr/bin/env bash
# Free-threaded CPython 3.13t (tools/build-python.sh ft):
#
#   1. the whole suite with RuntimeWarnings as errors and PYTHON_GIL removed
#      from the environment, so the GIL stays off only because the module
#      declares Py_MOD_GIL_NOT_USED (tests/test_module.py checks it is off);
#   2. the suite again under pytest-run-parallel, every test in 4 threads at
#      once, except those tools/ci/parallel_plugin.py leaves out as
#      thread-unsafe, the stress tests among them (they make their own
#      threads): pass 1 has run them already.
#
# The module is built with the checks on (-DTARNWICK_CHECKS=ON, src/checks.hpp):
# here threads really race, and the code that only free-threaded builds
# compile (the lock's reader counters) runs, so a reference dropped or Python
# code run while a lock is held aborts the stage where it happens.
#
# Exits non-zero on any failure.
set -euo pipefail
CI_STAGE=ft
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ci_root"

py=$(ci_interpreter ft)
venv_py=$(ci_venv ft "$py" "pytest-run-parallel>=0.4")
ci_install ft "$venv_py" "-DTARNWICK_CHECKS=ON"
unset PYTHON_GIL

"$venv_py" -c 'import sys, tarnwick; assert not sys._is_gil_enabled(), "the GIL came back on importing tarnwick"'

t=$SECONDS
ci_log "whole suite, -W error::RuntimeWarning"
"$venv_py" -W error::RuntimeWarning -m pytest -q -p no:cacheprovider -p no:run_parallel \
    -W error::RuntimeWarning tests
ci_log "whole suite done in $((SECONDS - t))s"

t=$SECONDS
ci_log "suite under pytest-run-parallel, 4 threads per test"
PYTHONPATH="$ci_root/tools/ci${PYTHONPATH:+:$PYTHONPATH}" \
    "$venv_py" -W error::RuntimeWarning -m pytest -q -p no:cacheprovider -p parallel_plugin \
    -W error::RuntimeWarning --parallel-threads=4 tests
ci_log "parallel run done in $((SECONDS - t))s"

ci_stage_time
