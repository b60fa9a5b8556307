#!/usr/bin/env bash
# Type checks against tarnwick installed from a wheel into a fresh virtual
# environment, so that the stubs are found the way a user's checker finds them:
#
#   - mypy.stubtest: the stubs agree with the runtime module, but for the
#     stubs-only names in tools/ci/stubtest-allowlist.txt;
#   - mypy --strict and pyright pass on examples/ and tests/typecheck/usage.py
#     (usage.py asks pyright for strict mode itself), and usage.py runs;
#   - both checkers reject exactly the lines marked in tests/typecheck/bad_usage.py.
#
#   tools/ci/typing.sh [WHEEL]
#
# Without WHEEL, dist/'s wheel for the default Python 3.13 ($PYTHON, else as
# tools/run.sh finds it), which the packaging stage has made; without one,
# tools/release.sh makes it. Everything is kept under
# build/ci/typing. The checkers are pinned so that a new release can't turn CI
# red on its own; MYPY_VERSION and PYRIGHT_VERSION override the pins. pyright
# comes from PyPI with the nodejs extra, which brings its own Node.js.
set -euo pipefail
CI_STAGE=typing
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ci_root"

MYPY_VERSION=${MYPY_VERSION:-2.4.1}
PYRIGHT_VERSION=${PYRIGHT_VERSION:-1.1.414}
export PYRIGHT_PYTHON_GLOBAL_NODE=0 PYRIGHT_PYTHON_IGNORE_WARNINGS=1

work="$ci_root/build/ci/typing"
venv="$work/venv"
mkdir -p "$work"
python=$(ci_interpreter default)

wheel=${1:-$(ci_dist_wheel "$python")}
[ -f "$wheel" ] || ci_die "no wheel at $wheel"

ci_log "fresh venv with $(basename "$wheel"), mypy $MYPY_VERSION, pyright $PYRIGHT_VERSION"
fresh_venv "$python" "$venv"
pip_install "$venv" --only-binary=:all: "$wheel" "mypy==$MYPY_VERSION" "pyright[nodejs]==$PYRIGHT_VERSION"
site=$("$venv/bin/python" -c 'import sysconfig; print(sysconfig.get_paths()["platlib"])')
[ -f "$site/tarnwick-stubs/__init__.pyi" ] || ci_die "the wheel installed no tarnwick-stubs"

mypy=("$venv/bin/python" -m mypy --strict --cache-dir "$work/mypy-cache" --no-error-summary)
pyright=("$venv/bin/pyright" --pythonpath "$venv/bin/python" --pythonversion 3.13)
usage=tests/typecheck/usage.py
bad=tests/typecheck/bad_usage.py

ci_log "stubtest"
(cd "$work" && "$venv/bin/python" -m mypy.stubtest tarnwick \
    --allowlist "$ci_root/tools/ci/stubtest-allowlist.txt")

ci_log "mypy --strict on examples and $usage"
"${mypy[@]}" examples/*.py "$usage"

ci_log "pyright on examples and $usage"
"${pyright[@]}" examples/*.py "$usage"

ci_log "running $usage"
"$venv/bin/python" -W error "$usage"

ci_log "$bad must fail on exactly its marked lines"
rc=0
"${mypy[@]}" --output=json "$bad" >"$work/bad_usage.mypy.json" || rc=$?
[ "$rc" -le 1 ] || { cat "$work/bad_usage.mypy.json" >&2; exit 1; }
rc=0
"${pyright[@]}" --outputjson "$bad" >"$work/bad_usage.pyright.json" || rc=$?
[ "$rc" -le 1 ] || { cat "$work/bad_usage.pyright.json" >&2; exit 1; }
"$venv/bin/python" tools/ci/expect_errors.py "$bad" \
    --mypy "$work/bad_usage.mypy.json" --pyright "$work/bad_usage.pyright.json"
ci_log "all checks passed"
ci_stage_time
