"""Sorts the sanitizer logs of tools/ci/asan.sh (and tsan.sh) into reports that
involve tarnwick and reports that do not.

    python asan_report.py [--fail-on-ours-only] PATTERN LOGFILE...

A report involves us when it matches the regular expression PATTERN (our
extension module's file name, our source directory, the tarnwick:: namespace).
Prints every report that involves us in full and the others one line each.
Exits 1 when there is any report at all: the stage wants zero, and anything
of CPython's that is known and harmless belongs in the suppression file, with
the reason. With --fail-on-ours-only (TSan: races inside CPython that its own
suppression file does not list yet are not ours to fix) only reports
involving us make it exit 1.
"""

import re
import sys

SPLIT = re.compile(r"(?=^==\d+==(?:ERROR|WARNING): )|(?=^(?:Direct|Indirect) leak of )|"
                   r"(?=^WARNING: ThreadSanitizer: )|(?=^\S+:\d+:\d+: runtime error: )", re.M)


def reports(text):
    for chunk in SPLIT.split(text):
        chunk = chunk.strip()
        if chunk and not chunk.startswith("SUMMARY") and re.match(
                r"(==\d+==|Direct|Indirect|WARNING: ThreadSanitizer|\S+:\d+:\d+: runtime error)", chunk):
            yield chunk


def main():
    args = sys.argv[1:]
    ours_only = "--fail-on-ours-only" in args
    args = [a for a in args if a != "--fail-on-ours-only"]
    marker, paths = args[0], args[1:]
    ours, others = [], []
    for path in paths:
        with open(path, errors="replace") as f:
            text = f.read()
        for r in reports(text):
            # A leak summary header alone carries no stack; skip it.
            if r.startswith("==") and "LeakSanitizer: detected memory leaks" in r and "#0" not in r:
                continue
            mine = re.search(marker, r) is not None
            (ours if mine else others).append((path, r))
    for path, r in ours:
        print(f"----- {path}: involves tarnwick -----\n{r}\n")
    if others:
        print(f"{len(others)} report(s) not involving tarnwick (CPython's? then suppress them, "
              f"saying why):")
        for path, r in others[:50]:
            first = r.splitlines()[0]
            frames = re.findall(r"#\d+ (?:0x[0-9a-f]+ in )?(\S+)", r)[:4]
            print(f"  {path}: {first[:120]} [{' < '.join(frames)}]")
    print(f"{len(ours)} report(s) involving tarnwick, {len(others)} other(s)")
    return 1 if ours or (others and not ours_only) else 0


if __name__ == "__main__":
    sys.exit(main())
