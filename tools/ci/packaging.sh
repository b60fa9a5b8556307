#!/usr/bin/env bash
# Packaging checks, for each interpreter:
#
#   - python -m build makes an sdist and, from that sdist, a wheel;
#   - the wheel is tagged for the interpreter (cp313-cp313, or cp313-cp313t
#     on a free-threaded build), holds the extension module, the stubs and
#     nothing else, and its classifiers are all valid trove classifiers;
#   - the sdist holds the sources, stubs and tests, and nothing from build/;
#   - the wheel, installed into a fresh venv, passes the test suite, run from
#     a copy of tests/ where `import tarnwick` can only find site-packages;
#   - the sdist, pip-installed into another fresh venv (so pip builds it on its
#     own), passes the test suite shipped inside it.
#
#   tools/ci/packaging.sh [INTERPRETER ...]
#
# Each INTERPRETER is a path or a variant name for tools/ci/common.sh's
# ci_interpreter: "default" (the Python 3.13 that tools/run.sh would use) or
# "ft" (free-threaded, built and cached by tools/build-python.sh). With no
# arguments: "default", plus $TARNWICK_FT_PYTHON when that is set.
# Everything is kept under build/ci/packaging-SOABI/ (dist/ has the files).
set -euo pipefail
CI_STAGE=packaging
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ci_root"

# The suite runs twice per interpreter here to check installs, not to stress
# the library: the stress tests get a shorter run than their default.
export TARNWICK_STRESS_SECONDS=${TARNWICK_STRESS_SECONDS:-1}

pythons=()
if [ $# -eq 0 ]; then
    set -- default ${TARNWICK_FT_PYTHON:+"$TARNWICK_FT_PYTHON"}
fi
for p in "$@"; do
    case "$p" in
        */*) [ -x "$p" ] || ci_die "$p is not an executable"; pythons+=("$p") ;;
        *) pythons+=("$(ci_interpreter "$p")") ;;
    esac
done

# run_tests VENV DIR: run the suite found in DIR/tests with VENV's python,
# from DIR, after making sure tarnwick is imported from VENV's site-packages.
run_tests() {
    local venv=$1 dir=$2
    (
        cd "$dir"
        "$venv/bin/python" - <<'PY'
import sysconfig, tarnwick
site = sysconfig.get_paths()["platlib"]
assert tarnwick.__file__.startswith(site + "/"), f"tarnwick imported from {tarnwick.__file__}, not {site}"
print(f"testing {tarnwick.__file__}")
PY
        "$venv/bin/python" -m pytest -q -p no:cacheprovider tests
    )
}

check_one() {
    local python=$1 soabi work venv dist sdist wheel
    soabi=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("SOABI"))')
    work="$ci_root/build/ci/packaging-$soabi"
    dist="$work/dist"
    mkdir -p "$work"

    ci_log "[$soabi]: python -m build with $python"
    if [ ! -x "$work/build-venv/bin/python" ]; then
        fresh_venv "$python" "$work/build-venv"
        pip_install "$work/build-venv" build trove-classifiers
    fi
    rm -rf "$dist"
    if ! "$work/build-venv/bin/python" -m build -o "$dist" . >"$work/build.log" 2>&1; then
        tail -n 40 "$work/build.log" >&2
        ci_die "python -m build failed (log: $work/build.log)"
    fi
    sdist=$(echo "$dist"/tarnwick-*.tar.gz)
    wheel=$(echo "$dist"/tarnwick-*.whl)
    [ -f "$sdist" ] && [ -f "$wheel" ] || { ls -l "$dist" >&2; ci_die "expected one sdist and one wheel in $dist"; }
    echo "built $(basename "$sdist") $(basename "$wheel")"

    ci_log "[$soabi]: tags, contents and classifiers"
    "$work/build-venv/bin/python" - "$wheel" "$sdist" <<'PY'
import email.parser, sys, sysconfig, tarfile, zipfile
from packaging.tags import sys_tags
from packaging.utils import parse_wheel_filename
from trove_classifiers import classifiers as known

wheel, sdist = sys.argv[1], sys.argv[2]
problems = []

name, version, _, tags = parse_wheel_filename(wheel.rsplit("/", 1)[1])
ft = "t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""
want = f"cp{sys.version_info[0]}{sys.version_info[1]}"
for tag in tags:
    if (tag.interpreter, tag.abi) != (want, want + ft):
        problems.append(f"wheel tag {tag} is not {want}-{want + ft}-*")
if not set(tags) & set(sys_tags()):
    problems.append(f"wheel tags {sorted(map(str, tags))} don't suit this interpreter")

suffix = sysconfig.get_config_var("EXT_SUFFIX")
dist_info = f"{name}-{version}.dist-info/"
with zipfile.ZipFile(wheel) as z:
    files = set(z.namelist())
    meta = email.parser.Parser().parsestr(z.read(dist_info + "METADATA").decode())
expected = {f"tarnwick{suffix}", "tarnwick-stubs/__init__.pyi"}
others = {f for f in files - expected if not f.startswith(dist_info)}
if missing := expected - files:
    problems.append(f"wheel lacks {sorted(missing)}")
if others:
    problems.append(f"wheel has unexpected files {sorted(others)}")
for c in meta.get_all("Classifier") or []:
    if c not in known:
        problems.append(f"not a valid trove classifier: {c!r}")
if not any(c.startswith("Programming Language :: Python :: Free Threading") for c in meta.get_all("Classifier") or []):
    problems.append("no free-threading classifier")

with tarfile.open(sdist) as t:
    names = {n.split("/", 1)[1] for n in t.getnames() if "/" in n}
for needed in ("pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "CHANGELOG.md",
               "src/module.cpp", "stubs/tarnwick-stubs/__init__.pyi", "tests/conftest.py",
               "tests/typecheck/usage.py", "examples/quickstart.py"):
    if needed not in names:
        problems.append(f"sdist lacks {needed}")
if stray := sorted(n for n in names if n.split("/", 1)[0] in ("build", "dist", ".pytest_cache", ".hypothesis")):
    problems.append(f"sdist has {len(stray)} files it should not, e.g. {stray[:3]}")

for p in problems:
    print("error:", p, file=sys.stderr)
if problems:
    sys.exit(1)
print(f"wheel tags {', '.join(map(str, tags))}; {len(files)} wheel files; {len(names)} sdist files")
PY

    # Binary test dependencies only, as tools/run.sh has them: a release of
    # hypothesis without a wheel for this interpreter would need a network
    # this machine doesn't have.
    ci_log "[$soabi]: the wheel in a fresh venv"
    venv="$work/wheel-venv"
    fresh_venv "$python" "$venv"
    pip_install "$venv" --only-binary=:all: "$wheel[test]"
    rm -rf "$work/wheel-tests"
    mkdir -p "$work/wheel-tests"
    cp -r tests pyproject.toml "$work/wheel-tests/"   # pyproject.toml: pytest's settings
    run_tests "$venv" "$work/wheel-tests"

    ci_log "[$soabi]: pip install of the sdist in a fresh venv"
    venv="$work/sdist-venv"
    fresh_venv "$python" "$venv"
    pip_install "$venv" --only-binary=:all: --no-binary=tarnwick "$sdist[test]"
    rm -rf "$work/sdist-tree"
    mkdir -p "$work/sdist-tree"
    tar -xzf "$sdist" -C "$work/sdist-tree" --strip-components=1
    run_tests "$venv" "$work/sdist-tree"
}

for python in "${pythons[@]}"; do
    check_one "$python"
done
ci_log "all checks passed for ${#pythons[@]} interpreter(s)"
ci_stage_time
