#!/usr/bin/env bash
# Release checks: tools/release.sh builds dist/ (the sdist, and per
# interpreter a wheel repaired by auditwheel), then:
#
#   - auditwheel show finds each wheel consistent with a manylinux policy, and
#     the wheel's name carries that tag;
#   - twine check --strict passes on every file, and check-wheel-contents on
#     every wheel (its settings in pyproject.toml say which warning is kept
#     and why);
#   - each wheel is tagged for its interpreter (cp313-cp313, or cp313-cp313t
#     on a free-threaded build), holds the extension module, tarnwick/testing.py,
#     the stubs and nothing else, and its classifiers are all valid trove classifiers,
#     "Typing :: Typed" and the free-threading one among them;
#   - the sdist holds what a rebuild needs (sources, stubs, tests, the Unicode
#     table generator, LICENSE, CHANGELOG), and not the benchmark results;
#   - each wheel, installed into a fresh venv, passes a short run of the
#     tests (SMOKE_TESTS), from a copy of tests/ where `import tarnwick` can
#     only find site-packages;
#   - the sdist, pip-installed into another fresh venv with the first
#     interpreter (so pip builds it on its own), passes the same short run of
#     the tests shipped inside it.
#
# The whole suite runs on the same code in the default and free-threaded
# stages; here the question is only whether what was installed works where
# it was installed, which the import check and a short run answer.
#
#   tools/ci/packaging.sh [INTERPRETER ...]
#
# Each INTERPRETER is a path or a variant name for tools/ci/common.sh's
# ci_interpreter: "default" (the Python 3.13 that tools/run.sh would use) or
# "ft" (free-threaded, built and cached by tools/build-python.sh). With no
# arguments: "default", plus $TARNWICK_FT_PYTHON when that is set.
# The venvs and test trees are kept under build/ci/packaging-SOABI/.
set -euo pipefail
CI_STAGE=packaging
source "$(dirname "${BASH_SOURCE[0]}")/common.sh"
cd "$ci_root"

# Construction, connecting, emitting (sync and async), disconnecting, and the
# module's own checks (the GIL stays off on a free-threaded build).
SMOKE_TESTS=(tests/test_module.py tests/test_signal_object.py tests/test_connect.py
             tests/test_emit.py tests/test_emit_async.py tests/test_disconnect.py)

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

# run_tests VENV DIR: run SMOKE_TESTS found in DIR with VENV's python,
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
        "$venv/bin/python" -m pytest -q -p no:cacheprovider "${SMOKE_TESTS[@]}"
    )
}

# The checks' own tools, apart from the venv that tools/release.sh builds with.
tools="$ci_root/build/ci/packaging/tools-venv"
if [ ! -x "$tools/bin/check-wheel-contents" ]; then
    fresh_venv "${pythons[0]}" "$tools"
    pip_install "$tools" --only-binary=:all: auditwheel twine check-wheel-contents trove-classifiers packaging
fi

tools/release.sh "${pythons[@]}"
dist="$ci_root/dist"
sdist=$(echo "$dist"/tarnwick-*.tar.gz)

ci_log "auditwheel show, twine check, check-wheel-contents"
for wheel in "$dist"/*.whl; do
    policy=$("$tools/bin/auditwheel" show "$wheel" | tr -s ' \n' ' ' |
        sed -n 's/.*consistent with the following platform tag: "\([^"]*\)".*/\1/p')
    [[ $policy == manylinux_* ]] || ci_die "auditwheel finds no manylinux policy for $(basename "$wheel")"
    [[ $(basename "$wheel") == *"-$policy.whl" ]] || ci_die "$(basename "$wheel") is not tagged $policy"
    echo "$(basename "$wheel"): $policy"
done
"$tools/bin/twine" check --strict "$dist"/*
"$tools/bin/check-wheel-contents" "$dist"/*.whl

check_one() {
    local python=$1 soabi work venv wheel abi
    soabi=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("SOABI"))')
    work="$ci_root/build/ci/packaging-$soabi"
    mkdir -p "$work"
    # cp313-cp313, or cp313-cp313t for a free-threaded build; pip checks
    # below that the wheel suits the interpreter in every other respect.
    abi=$("$python" -c 'import sys, sysconfig
v = f"cp{sys.version_info[0]}{sys.version_info[1]}"
print(f"{v}-{v}" + ("t" if sysconfig.get_config_var("Py_GIL_DISABLED") else ""))')
    wheel=$(echo "$dist"/tarnwick-*-"$abi"-*.whl)
    [ -f "$wheel" ] || ci_die "no single $abi wheel in $dist"

    ci_log "[$soabi]: tags, contents and classifiers of $(basename "$wheel")"
    "$tools/bin/python" - "$wheel" "$sdist" "$python" <<'PY'
import email.parser, json, subprocess, sys, tarfile, zipfile
from packaging.utils import parse_wheel_filename
from trove_classifiers import classifiers as known

wheel, sdist, python = sys.argv[1:4]
problems = []
target = json.loads(subprocess.check_output([python, "-c", """if 1:
    import json, sys, sysconfig
    print(json.dumps({"ft": bool(sysconfig.get_config_var("Py_GIL_DISABLED")),
                      "version": f"cp{sys.version_info[0]}{sys.version_info[1]}",
                      "suffix": sysconfig.get_config_var("EXT_SUFFIX")}))"""]))

name, version, _, tags = parse_wheel_filename(wheel.rsplit("/", 1)[1])
want = target["version"]
ft = "t" if target["ft"] else ""
for tag in tags:
    if (tag.interpreter, tag.abi) != (want, want + ft):
        problems.append(f"wheel tag {tag} is not {want}-{want + ft}-*")
    if not tag.platform.startswith("manylinux_"):
        problems.append(f"wheel tag {tag} is not a manylinux tag")

dist_info = f"{name}-{version}.dist-info/"
with zipfile.ZipFile(wheel) as z:
    files = set(z.namelist())
    meta = email.parser.Parser().parsestr(z.read(dist_info + "METADATA").decode())
expected = {f"tarnwick{target['suffix']}", "tarnwick/testing.py", "tarnwick/dispatch.py",
            "tarnwick/_evented.py", "tarnwick/_trio.py", "tarnwick/_future.py",
            "tarnwick/_timers.py",
            "tarnwick-stubs/__init__.pyi",
            "tarnwick-stubs/testing.pyi", "tarnwick-stubs/dispatch.pyi"}
# auditwheel's repaired wheel lists directories too; only files count.
others = {f for f in files - expected if not f.startswith(dist_info) and not f.endswith("/")}
if missing := expected - files:
    problems.append(f"wheel lacks {sorted(missing)}")
if others:
    problems.append(f"wheel has unexpected files {sorted(others)}")
classifiers = meta.get_all("Classifier") or []
for c in classifiers:
    if c not in known:
        problems.append(f"not a valid trove classifier: {c!r}")
if not any(c.startswith("Programming Language :: Python :: Free Threading") for c in classifiers):
    problems.append("no free-threading classifier")
if "Typing :: Typed" not in classifiers:
    problems.append("no 'Typing :: Typed' classifier")

with tarfile.open(sdist) as t:
    names = {n.split("/", 1)[1] for n in t.getnames() if "/" in n}
for needed in ("pyproject.toml", "CMakeLists.txt", "LICENSE", "README.md", "CHANGELOG.md",
               "src/module.cpp", "stubs/tarnwick-stubs/__init__.pyi", "tests/conftest.py",
               "tests/typecheck/usage.py", "tools/gen_unicode_table.py", "examples/quickstart.py"):
    if needed not in names:
        problems.append(f"sdist lacks {needed}")
if stray := sorted(n for n in names if n.split("/", 1)[0] in ("build", "dist", ".pytest_cache", ".hypothesis")
                   or n.startswith("bench/results/")):
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
}

# The sdist builds the same way for every interpreter; one build shows that
# it carries everything a build and the tests need.
check_sdist() {
    local python=$1 soabi work venv
    soabi=$("$python" -c 'import sysconfig; print(sysconfig.get_config_var("SOABI"))')
    work="$ci_root/build/ci/packaging-$soabi"
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
check_sdist "${pythons[0]}"
ci_log "all checks passed for ${#pythons[@]} interpreter(s)"
ci_stage_time
