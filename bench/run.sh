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
read_back=build/bench/bench_engine_read_back.json
memory=build/bench/bench_memory.txt
all="$transcript $qwen_transcript $gemini_transcript $codex_transcript"

# The transcripts are held in the page cache as an agent's appends leave
# them; once more at the end as read-ahead leaves a file read from disk.
# shellcheck disable=SC2086
python3 bench/page_cache.py written $all

# The session engine's benchmarks over the four transcripts.
engine() {
    # shellcheck disable=SC2086
    $pin "$bin/bench_engine" --transcript="$transcript" --qwen-transcript="$qwen_transcript" \
        --gemini-transcript="$gemini_transcript" --codex-transcript="$codex_transcript" "$@"
}

echo
engine --benchmark_out="$results" --benchmark_out_format=json "$@"

echo
# shellcheck disable=SC2086
$pin "$bin/bench_memory" "$transcript" | tee "$memory"

echo
echo "lullwatch status --json as a whole process, the 200 MB transcript"
python3 bench/status_bench.py "$bin" "$transcript" 7 || true

echo
echo "First reads again, the transcripts read back from disk"
# shellcheck disable=SC2086
python3 bench/page_cache.py read $all
# The first reads only, whatever filter the arguments give.
engine "$@" --benchmark_filter=FirstRead --benchmark_out="$read_back" --benchmark_out_format=json

echo
python3 - "$results" "$memory" "$read_back" <<'EOF'
import json
import re
import sys

results_path, memory_path, read_back_path = sys.argv[1:4]
def load(path):
    with open(path, encoding="utf-8") as f:
        return json.load(f)["benchmarks"]
written_runs, read_back_runs = load(results_path), load(read_back_path)

def pick(name, runs=written_runs):
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
for runs, state in ((written_runs, "as written"), (read_back_runs, "read back")):
    for name, label, target in (("BM_FirstRead", "Claude Code", 3e9),
                                ("BM_FirstReadQwen", "Qwen", 2e9),
                                ("BM_FirstReadGemini", "Gemini", 2e9),
                                ("BM_FirstReadCodex", "Codex", 2e9)):
        run = pick(name, runs)
        if run:
            rate = run["bytes_per_second"]
            measured = "%.2f GB/s = %.2f GiB/s (%.0f ms, CPU %.0f ms)" % (
                rate / 1e9, rate / 2**30, seconds(run) * 1e3, seconds(run, "cpu_time") * 1e3)
            rows.append(("first read, %s, %s" % (label, state), measured, ">= %g GB/s" % (target / 1e9),
                         rate >= target))
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

print("%-36s %-48s %-10s %s" % ("figure", "measured", "target", ""))
for label, measured, target, met in rows:
    print("%-36s %-48s %-10s %s" % (label, measured, target, "met" if met else "MISSED"))
EOF

echo
echo "Hook script: one claude-hook.sh run against one /bin/sh -c true, and a 20 MB payload"
python3 bench/hook_bench.py "$bin" tests/data/hooks/claude-code-2.1.332/UserPromptSubmit-1.json 200

echo
echo "Headless application, 20 idle sessions, 60 s"
python3 bench/headless_idle.py "$bin" 60

echo
echo "Tray application under Xvfb, 20 idle sessions"
/usr/bin/python3 bench/tray_start.py "$bin/lullwatch" 10
