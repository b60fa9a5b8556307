"""Compare type checker errors with the lines marked "# expect-error".

    python expect_errors.py FILE --mypy MYPY_JSON_LINES --pyright PYRIGHT_JSON

MYPY_JSON_LINES is the output of mypy --output=json, PYRIGHT_JSON that of
pyright --outputjson. Every marked line of FILE must have at least one error
from each checker, and no unmarked line may have any. Exits 1 otherwise.
"""

import argparse
import json
import os
import sys

MARK = "# expect-error"


def marked_lines(path: str) -> set[int]:
    with open(path, encoding="utf-8") as f:
        return {n for n, line in enumerate(f, 1) if line.rstrip().endswith(MARK)}


def same_file(a: str, b: str) -> bool:
    return os.path.realpath(a) == os.path.realpath(b)


def mypy_errors(report: str, path: str) -> dict[int, list[str]]:
    found: dict[int, list[str]] = {}
    with open(report, encoding="utf-8") as f:
        for line in f:
            if not line.strip():
                continue
            d = json.loads(line)
            if d["severity"] == "error" and same_file(d["file"], path):
                found.setdefault(d["line"], []).append(f"{d['message']} [{d['code']}]")
    return found


def pyright_errors(report: str, path: str) -> dict[int, list[str]]:
    found: dict[int, list[str]] = {}
    with open(report, encoding="utf-8") as f:
        d = json.load(f)
    for diag in d["generalDiagnostics"]:
        if diag["severity"] == "error" and same_file(diag["file"], path):
            line = diag["range"]["start"]["line"] + 1
            found.setdefault(line, []).append(diag["message"].split("\n", 1)[0])
    return found


def main() -> int:
    parser = argparse.ArgumentParser()
    parser.add_argument("file")
    parser.add_argument("--mypy", required=True)
    parser.add_argument("--pyright", required=True)
    args = parser.parse_args()

    expected = marked_lines(args.file)
    if not expected:
        print(f"{args.file}: no line is marked {MARK!r}", file=sys.stderr)
        return 1
    problems = []
    for checker, errors in (
        ("mypy", mypy_errors(args.mypy, args.file)),
        ("pyright", pyright_errors(args.pyright, args.file)),
    ):
        for line in sorted(expected - errors.keys()):
            problems.append(f"{args.file}:{line}: {checker} reported no error on a marked line")
        for line in sorted(errors.keys() - expected):
            for message in errors[line]:
                problems.append(f"{args.file}:{line}: unexpected {checker} error: {message}")
    for p in problems:
        print(p, file=sys.stderr)
    if problems:
        return 1
    print(f"{args.file}: mypy and pyright reject exactly the {len(expected)} marked lines")
    return 0


if __name__ == "__main__":
    sys.exit(main())
