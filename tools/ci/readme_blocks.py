"""Run every ```python block of Markdown files and check what it prints.

    python readme_blocks.py README.md [docs/*.md ...]

Each block runs on its own, in a fresh interpreter (this one) with -W error.
It must write nothing to stderr (a warning that Python could only print
counts as a failure), and its output must be exactly the expected lines
written in the block: the
comment on a print() line (after two spaces and "# "), or, for a print()
line without one, the comment-only lines that follow it.

A block right after a line "<!-- not run: REASON -->" is not run; it is
listed with its reason, so that it cannot be forgotten.
"""

import re
import subprocess
import sys
import tempfile

FENCE = re.compile(r"^```([^`\s]*)")
NOT_RUN = re.compile(r"^<!-- not run: (.+) -->$")


def blocks(path: str) -> list[tuple[int, str, str | None]]:
    """(first line, code, reason it is not run or None) of each python block."""
    found, current, start, lang, skip, previous = [], None, 0, "", None, ""
    with open(path, encoding="utf-8") as f:
        for n, line in enumerate(f, 1):
            m = FENCE.match(line.rstrip("\n"))
            if m and current is None:
                current, start, lang = [], n + 1, m.group(1)
                skip = NOT_RUN.match(previous)
            elif m and current is not None:
                if lang == "python":
                    found.append((start, "".join(current), skip and skip.group(1)))
                current = None
            elif current is not None:
                current.append(line)
            previous = line.strip()
    return found


def expected_output(code: str) -> list[str]:
    expected: list[str] = []
    lines = code.splitlines()
    i = 0
    while i < len(lines):
        stripped = lines[i].strip()
        i += 1
        if not stripped.startswith("print("):
            continue
        if "  # " in stripped:
            expected.append(stripped.split("  # ", 1)[1])
            continue
        while i < len(lines) and lines[i].strip().startswith("# "):
            expected.append(lines[i].strip()[2:])
            i += 1
    return expected


def check(path: str) -> int:
    """Run the blocks of one file; returns how many failed."""
    failed = 0
    found = blocks(path)
    for start, code, not_run in found:
        if not_run:
            print(f"{path}:{start}: not run: {not_run}")
            continue
        with tempfile.NamedTemporaryFile("w", suffix=".py", encoding="utf-8") as f:
            f.write(code)
            f.flush()
            run = subprocess.run([sys.executable, "-W", "error", f.name],
                                 capture_output=True, text=True, timeout=60)
        want = expected_output(code)
        got = run.stdout.splitlines()
        if run.returncode != 0 or got != want or run.stderr:
            failed += 1
            print(f"{path}:{start}: block failed (exit {run.returncode})", file=sys.stderr)
            if got != want:
                print("  expected:", *want, sep="\n    ", file=sys.stderr)
                print("  printed:", *got, sep="\n    ", file=sys.stderr)
            if run.stderr:
                print("  stderr:", run.stderr.rstrip().replace("\n", "\n    "), file=sys.stderr)
    if not failed:
        ran = sum(1 for *_, not_run in found if not not_run)
        print(f"{path}: {ran} python blocks ran and printed what they say")
    return failed


def main() -> int:
    failed = sum(check(path) for path in sys.argv[1:])
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main())
