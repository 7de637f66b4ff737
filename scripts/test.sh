#!/bin/sh
# Installs what is missing, builds Lullwatch with its tests and runs the whole
# suite. LULLWATCH_WERROR=1 turns warnings into errors (CI sets it).
set -eu
cd "$(dirname "$0")/.."

./scripts/setup.sh
werror=OFF
[ "${LULLWATCH_WERROR:-0}" = 1 ] && werror=ON
cmake --preset dev -DLULLWATCH_WERROR=$werror >/dev/null
cmake --build --preset dev
ctest --preset dev
