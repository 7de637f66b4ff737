#!/bin/sh
# Builds and runs the session engine benchmarks and prints the figures beside
# their targets. Extra arguments go to bench_engine, for example
#   bench/run.sh --benchmark_repetitions=5
#   bench/run.sh --benchmark_filter=Tick
# The benchmarks run pinned to CPU 0 when taskset can do that.
set -eu

root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"

sh scripts/setup.sh

cmake --preset bench >/dev/null
cmake --build --preset bench

bin=build/bench/bin
data=bench/data
# One 200 MB transcript of each agent's format, made once.
generate() {
    if [ ! -f "$2" ] || [ ! -f "$2.expected.json" ]; then
        mkdir -p "$data"
        echo "Generating $2 ..."
        python3 bench/generate_transcript.py --format "$1" "$2" --size 200MB >/dev/null
    fi
}
transcript=$data/transcript-200MB.jsonl
qwen_transcript=$data/qwen-transcript-200MB.jsonl
gemini_transcript=$data/gemini-transcript-200MB.jsonl
codex_transcript=$data/codex-transcript-200MB.jsonl
generate claude "$transcript"
generate qwen "$qwen_transcript"
generate gemini "$gemini_transcript"
generate codex "$codex_transcript"

pin=""
if command -v taskset >/dev/null 2>&1 && taskset -c 0 true 2>/dev/null; then
    pin="taskset -c 0"
    echo "Pinned to CPU 0."
else
    echo "taskset is not available: running unpinned."
fi

results=build/bench/bench_engine.json
memory=build/bench/bench_memory.txt

echo
# shellcheck disable=SC2086
$pin "$bin/bench_engine" --transcript="$transcript" --qwen-transcript="$qwen_transcript" \
    --gemini-transcript="$gemini_transcript" --codex-transcript="$codex_transcript" \
    --benchmark_out="$results" --benchmark_out_format=json "$@"

echo
# shellcheck disable=SC2086
$pin "$bin/bench_memory" "$transcript" | tee "$memory"

echo
python3 - "$results" "$memory" <<'EOF'
import json
import re
import sys

results_path, memory_path = sys.argv[1], sys.argv[2]
with open(results_path, encoding="utf-8") as f:
    runs = json.load(f)["benchmarks"]

def pick(name):
    """The median of repetitions when there are several, else the one run."""
    matching = [r for r in runs if r["run_name"].split("/")[0] == name and not r.get("error_occurred")]
    for r in matching:
        if r.get("aggregate_name") == "median":
            return r
    plain = [r for r in matching if r.get("run_type") == "iteration"]
    return plain[0] if plain else None

def seconds(run, kind="real_time"):
    factor = {"ns": 1e-9, "us": 1e-6, "ms": 1e-3, "s": 1.0}[run["time_unit"]]
    return run[kind] * factor

# Wall-clock time decides; the time the benchmark's thread spent on a CPU is
# shown beside it, since a busy machine stretches only the former.

rows = []
for name, label, target in (("BM_FirstRead", "first read of 200 MB", 3e9),
                            ("BM_FirstReadQwen", "first read of 200 MB, Qwen", 2e9),
                            ("BM_FirstReadGemini", "first read of 200 MB, Gemini", 2e9),
                            ("BM_FirstReadCodex", "first read of 200 MB, Codex", 2e9)):
    run = pick(name)
    if run:
        rate = run["bytes_per_second"]
        measured = "%.2f GB/s = %.2f GiB/s (%.0f ms, CPU %.0f ms)" % (
            rate / 1e9, rate / 2**30, seconds(run) * 1e3, seconds(run, "cpu_time") * 1e3)
        rows.append((label, measured, ">= %g GB/s" % (target / 1e9), rate >= target))
with open(memory_path, encoding="utf-8") as f:
    match = re.search(r"peak above idle:\s+([0-9.]+) MiB", f.read())
if match:
    above = float(match.group(1))
    rows.append(("peak RSS during that read", "%.2f MiB above idle" % above, "<= 32 MiB", above <= 32))
for name, label, limit in (("BM_TickLive100", "tick, 100 live sessions +2 KB", 3e-3),
                           ("BM_TickIdle100", "tick, 100 idle sessions", 2e-3)):
    run = pick(name)
    if run:
        rows.append((label, "%.3f ms" % (seconds(run) * 1e3), "<= %g ms" % (limit * 1e3), seconds(run) <= limit))

print("%-30s %-48s %-10s %s" % ("figure", "measured", "target", ""))
for label, measured, target, met in rows:
    print("%-30s %-48s %-10s %s" % (label, measured, target, "met" if met else "MISSED"))
EOF

echo
echo "lullwatch status --json as a whole process, the 200 MB transcript"
python3 bench/status_bench.py "$bin" "$transcript" 7 || true

echo
echo "Hook script: one claude-hook.sh run against one /bin/sh -c true, and a 20 MB payload"
python3 bench/hook_bench.py "$bin" tests/data/hooks/claude-code-2.1.332/UserPromptSubmit-1.json 200

echo
echo "Headless application, 20 idle sessions, 60 s"
python3 bench/headless_idle.py "$bin" 60

echo
echo "Tray application under Xvfb, 20 idle sessions"
/usr/bin/python3 bench/tray_start.py "$bin/lullwatch" 10
