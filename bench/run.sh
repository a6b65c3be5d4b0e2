#!/usr/bin/env bash
# Runs the benchmarks and prints each figure as a ratio against the baseline measured
# in the same run. Usage: bench/run.sh [build-dir]
set -euo pipefail
build=${1:-build}
out=$(mktemp)
trap 'rm -f "$out"' EXIT
"$build/bench/parse_paths_bench" --benchmark_format=json --benchmark_min_time=1 > "$out"
# A second baseline: Python's email library parsing the same messages and reading the
# fields a path needs, the way most existing converters start.
py_rate=$(python3 - "$(cd "$(dirname "$0")/.." && pwd)" <<'PY'
import email, email.policy, pathlib, sys, time
root = pathlib.Path(sys.argv[1])
dirs = [root / "../shared/corpora/dev-fixtures/eml", root / "../shared/corpora/dev-fixtures/mime4j", root / "samples"]
msgs = [p.read_bytes() for d in dirs if d.exists() for p in d.rglob("*") if p.suffix in (".eml", ".msg")]
n, start = 0, time.perf_counter()
while time.perf_counter() - start < 2.0:
    for raw in msgs:
        m = email.message_from_bytes(raw, policy=email.policy.default)
        try:
            _ = (str(m["subject"]), m["date"], m["from"], m["to"], [p.get_filename() for p in m.iter_attachments()])
        except Exception:
            pass
        n += 1
print(n / (time.perf_counter() - start))
PY
)
python3 - "$out" "$py_rate" <<'PY'
import json, sys
runs = {b["name"]: b for b in json.load(open(sys.argv[1]))["benchmarks"]}
py = float(sys.argv[2])
print("parse-plus-path throughput (one core), baseline: Python's email library on the same messages")
print(f"  {'baseline':18s} {py:12.0f} messages/s   1.0 x")
for name in ("BM_ParseOnly", "BM_ParsePlusPaths"):
    rate = runs[name]["items_per_second"]
    print(f"  {name:18s} {rate:12.0f} messages/s   {rate / py:.1f} x baseline")
pp = runs["BM_ParsePlusPaths"]["items_per_second"]
print(f"  target 5000 messages/s: {'met' if pp >= 5000 else 'NOT met'} ({pp / 5000:.1f}x)")
PY
