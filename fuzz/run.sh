#!/bin/sh
# Builds the libFuzzer targets (fuzz preset) and runs each one for a bounded
# time, FUZZ_SECONDS (default 30) per target. Exits non-zero when any target
# crashes, hangs, leaks or fails one of its checks; the input that did it is
# kept in build/fuzz/artifacts/ and the fuzzer's output in build/fuzz/logs/.
#
# The corpus of each target lives in build/fuzz/corpus/<target> and grows from
# run to run. Every run seeds it again from the hand-written inputs in
# fuzz/corpus/<target>, from the project's test data, and from the recorded
# agent data in ../shared/fixtures when that folder exists.
set -eu

repo=$(CDPATH='' cd -- "$(dirname -- "$0")/.." && pwd)
seconds=${FUZZ_SECONDS:-30}
build="$repo/build/fuzz"
corpus="$build/corpus"
artifacts="$build/artifacts"
logs="$build/logs"
fixtures="$(dirname -- "$repo")/shared/fixtures"
testdata="$repo/tests/data"
lines_per_file=20 # transcript lines taken from each file
max_lines=300 # and from all files together

case $seconds in
'' | *[!0-9]*)
    echo "FUZZ_SECONDS must be a whole number of seconds, not '$seconds'" >&2
    exit 2
    ;;
esac

cd "$repo"
cmake --preset fuzz
cmake --build --preset fuzz

mkdir -p "$artifacts" "$logs"
for target in fuzz_payload_record fuzz_record fuzz_transcript_entry fuzz_timestamp; do
    mkdir -p "$corpus/$target"
    cp "$repo/fuzz/corpus/$target/"* "$corpus/$target/"
done

# Copies a seed under a name made from its content, so that the same data
# found in both places gives one seed.
add_seed() { # file target kind
    sum=$(cksum <"$1" | cut -d ' ' -f 1)
    cp "$1" "$corpus/$2/$3-$sum"
}

# The folders under both roots that exist, e.g. "hook-payloads".
existing() {
    for root in "$testdata" "$fixtures"; do
        [ -d "$root/$1" ] && printf '%s\n' "$root/$1"
    done
    return 0
}

# Payloads and records: the JSON objects that hooks receive and write.
{
    existing hook-payloads
    existing hooks
} | while IFS= read -r folder; do
    find "$folder" -type f -name '*.json'
done | sort | while IFS= read -r file; do
    add_seed "$file" fuzz_record payload
    add_seed "$file" fuzz_payload_record payload
done

# Transcript entries: the first lines of each file as one seed, which carries
# the state from line to line, and single lines spread over each file (each
# with its line feed, so that it is a complete entry), at most max_lines of
# them in all.
scratch=$(mktemp -d)
trap 'rm -rf "$scratch"' EXIT
existing transcripts | while IFS= read -r folder; do
    find "$folder" -type f -name '*.jsonl'
done | sort | while IFS= read -r file; do
    head -n 8 "$file" >"$scratch/head"
    add_seed "$scratch/head" fuzz_transcript_entry head
    count=$(wc -l <"$file")
    step=$(((count + lines_per_file - 1) / lines_per_file))
    [ "$step" -ge 1 ] || step=1
    awk -v step="$step" '(NR - 1) % step == 0' "$file" >>"$scratch/lines"
done
if [ -s "$scratch/lines" ]; then
    awk '!seen[$0]++' "$scratch/lines" | head -n "$max_lines" \
        | split -l 1 -a 3 -d - "$scratch/line-"
    for file in "$scratch"/line-*; do
        add_seed "$file" fuzz_transcript_entry line
    done
fi

# Words that the inputs are made of, so that mutations form them whole.
dictionaries="$build/dictionaries"
mkdir -p "$dictionaries"
cat >"$dictionaries/fuzz_record.dict" <<'DICT'
"\"sessionId\""
"\"state\""
"\"event\""
"\"cwd\""
"\"transcriptPath\""
"\"updatedAt\""
"\"source\""
"\"notification_type\""
"\"pid\""
"\"idle\""
"\"working\""
"\"waiting\""
"\"ended\""
"\"claude\""
"\"copilot\""
"null"
"true"
"false"
"\\u0000"
"1e308"
"9223372036854775808"
DICT
cat >"$dictionaries/fuzz_payload_record.dict" <<'DICT'
"\"session_id\""
"\"sessionId\""
"\"hook_event_name\""
"\"cwd\""
"\"transcript_path\""
"\"transcriptPath\""
"\"state\""
"\"pid\""
"\"updatedAt\""
"\"prompt\""
"\\ud83d\\ude00"
"\\u0000"
"\xf0\x9f\x98\x80"
"\xed\xa0\x80"
"null"
"true"
"false"
"-0.5e-7"
"1e309"
"18446744073709551616"
"9223372036854775807"
"[[[[[[[[[[[[[[[["
DICT
cat >"$dictionaries/fuzz_transcript_entry.dict" <<'DICT'
"\"type\""
"\"user\""
"\"assistant\""
"\"isSidechain\""
"\"message\""
"\"usage\""
"\"id\""
"\"model\""
"\"content\""
"\"text\""
"\"timestamp\""
"\"interruptedMessageId\""
"\"input_tokens\""
"\"output_tokens\""
"\"cache_creation_input_tokens\""
"\"cache_read_input_tokens\""
"[Request interrupted by user"
"\"2026-01-02T03:04:05.678Z\""
"9223372036854775807"
"\x0a"
DICT
cat >"$dictionaries/fuzz_timestamp.dict" <<'DICT'
"T"
"Z"
"+00:00"
"-23:59"
".123456789"
"2024-02-29"
DICT

status=0
summary=""
for entry in fuzz_payload_record:65536 fuzz_record:65536 fuzz_transcript_entry:65536 fuzz_timestamp:64; do
    target=${entry%%:*}
    max_len=${entry#*:}
    log="$logs/$target.log"
    mkdir -p "$artifacts/$target"
    echo "== $target: ${seconds}s, max_len $max_len"
    if "$build/bin/$target" \
        -max_total_time="$seconds" \
        -max_len="$max_len" \
        -timeout=10 \
        -print_final_stats=1 \
        -dict="$dictionaries/$target.dict" \
        -artifact_prefix="$artifacts/$target/" \
        "$corpus/$target" >"$log" 2>&1; then
        result=passed
    else
        result=FAILED
        status=1
        # The report of the crash or hang, with its stack and the saved input.
        sed -n '/^==[0-9]*==ERROR\|^==[0-9]*== ERROR\|check failed\|runtime error\|Test unit written\|ALARM\|^    #/p' "$log" >&2
    fi
    runs=$(sed -n 's/^stat::number_of_executed_units: *//p' "$log" | tail -n 1)
    elapsed=$(sed -n 's/^Done [0-9]* runs in \([0-9]*\) second.*/\1/p' "$log" | tail -n 1)
    line="$target: $result, ${elapsed:-?}s, ${runs:-?} executions, log $log"
    echo "$line"
    summary="$summary$line
"
done

echo
echo "Fuzzing summary:"
printf '%s' "$summary"
exit "$status"
