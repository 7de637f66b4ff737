#!/bin/sh
# Installs what is missing, builds Lullwatch optimised and starts it.
# Arguments are passed on to lullwatch (for example: status --json).
set -eu
cd "$(dirname "$0")/.."

./scripts/setup.sh
cmake --preset release >/dev/null
cmake --build --preset release
exec ./build/release/bin/lullwatch "$@"
