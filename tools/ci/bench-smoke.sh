#!/usr/bin/env bash
# Smoke test of the benchmark harness: bench/run.sh --quick into a temporary
# folder (the committed results under bench/results are left alone), then a
# check that every output is there and that the core cases produced numbers.
# Exits non-zero if any step of the harness breaks. Timing values are never
# judged here: a smoke run's numbers mean nothing.
set -euo pipefail
root=$(cd "$(dirname "${BASH_SOURCE[0]}")/../.." && pwd)
cd "$root"

out=$(mktemp -d "${TMPDIR:-/tmp}/tarnwick-bench-smoke.XXXXXX")
trap 'rm -rf "$out"' EXIT

bench/run.sh --quick --out "$out" "$@"

day=$(ls "$out" | sed -n 's/^\([0-9]\{4\}-[0-9]\{2\}-[0-9]\{2\}\)\.json$/\1/p' | tail -n 1)
if [ -z "$day" ]; then
    echo "bench-smoke: no results JSON written" >&2
    exit 1
fi
for f in "$day.md" "$day.json" emit-vs-listeners.png; do
    if [ ! -s "$out/$f" ]; then
        echo "bench-smoke: missing or empty $f" >&2
        exit 1
    fi
done
venv_py=$(ls -d "$root"/build/bench-venv-cpython-313-*/bin/python 2>/dev/null | head -n 1)
"${venv_py:-python3}" - "$out/$day.json" <<'PY'
import json, sys
d = json.load(open(sys.argv[1]))
need = ["create", "connect_function", "connect_disconnect", "emit_0", "emit_1", "emit_10",
        "emit_100", "emit_10000", "once_10000", "emit_async_1"]
missing = [c for c in need if "tarnwick" not in d["timings"].get(c, {})
           or "floor" not in d["timings"].get(c, {})]
if missing:
    sys.exit(f"bench-smoke: no tarnwick/floor numbers for {missing}")
if "tarnwick" not in d.get("memory", {}).get("libs", {}):
    sys.exit("bench-smoke: no memory numbers for tarnwick")
if not d.get("targets"):
    sys.exit("bench-smoke: no targets computed")
bad = [f"{k}: {p}" for k, ps in (d.get("self_check") or {}).items() for p in ps]
if bad:
    sys.exit("bench-smoke: self-check failed: " + "; ".join(bad))
print(f"bench-smoke: ok ({len(d['timings'])} cases, libraries: {', '.join(sorted(d['libs']))}; "
      f"skipped: {', '.join(d.get('skipped') or {}) or 'none'})")
PY
