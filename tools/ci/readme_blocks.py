"""Run every ```python block of a Markdown file and check what it prints.

    python readme_blocks.py README.md

Each block runs on its own, in a fresh interpreter (this one) with -W error.
Its output must be exactly the expected lines written in the block: the
comment on a print() line (after two spaces and "# "), or, for a print()
line without one, the comment-only lines that follow it.
"""

import re
import subprocess
import sys
import tempfile

FENCE = re.compile(r"^```(\w*)\s*$")


def blocks(path: str) -> list[tuple[int, str]]:
    found, current, start, lang = [], None, 0, ""
    with open(path, encoding="utf-8") as f:
        for n, line in enumerate(f, 1):
            m = FENCE.match(line.rstrip("\n"))
            if m and current is None:
                current, start, lang = [], n + 1, m.group(1)
            elif m and current is not None:
                if lang == "python":
                    found.append((start, "".join(current)))
                current = None
            elif current is not None:
                current.append(line)
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


def main() -> int:
    path = sys.argv[1]
    failed = 0
    found = blocks(path)
    for start, code in found:
        with tempfile.NamedTemporaryFile("w", suffix=".py", encoding="utf-8") as f:
            f.write(code)
            f.flush()
            run = subprocess.run([sys.executable, "-W", "error", f.name],
                                 capture_output=True, text=True, timeout=60)
        want = expected_output(code)
        got = run.stdout.splitlines()
        if run.returncode != 0 or got != want:
            failed += 1
            print(f"{path}:{start}: block failed (exit {run.returncode})", file=sys.stderr)
            if got != want:
                print("  expected:", *want, sep="\n    ", file=sys.stderr)
                print("  printed:", *got, sep="\n    ", file=sys.stderr)
            if run.stderr:
                print("  stderr:", run.stderr.rstrip().replace("\n", "\n    "), file=sys.stderr)
    if failed:
        return 1
    print(f"{path}: {len(found)} python blocks ran and printed what they say")
    return 0


if __name__ == "__main__":
    sys.exit(main())
