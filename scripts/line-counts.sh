#!/bin/sh
# Prints the non-blank lines of the code (src/ and tools/) and of the tests
# (tests/ without its recorded data), counting C++, Python, shell and
# JavaScript files tracked by git, and the ratio of the two.
set -eu
cd "$(dirname "$0")/.."

count() {
    git ls-files -z -- "$@" | grep -z -E '\.(cpp|h|py|sh|js|mjs)$' | grep -z -v '^tests/data/' \
        | xargs -0 cat | grep -c -v '^[[:space:]]*$'
}

code=$(count src tools)
tests=$(count tests)
awk -v c="$code" -v t="$tests" 'BEGIN { printf "code %d, tests %d, tests/code %.2f\n", c, t, t / c }'
