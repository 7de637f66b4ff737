#!/bin/sh
# Builds the Debian package from the release preset into
# build/release/lullwatch_<version>_<arch>.deb, installing what is missing
# first. LULLWATCH_WERROR=1 turns warnings into errors (CI sets it).
set -eu
cd "$(dirname "$0")/.."

./scripts/setup.sh
werror=OFF
[ "${LULLWATCH_WERROR:-0}" = 1 ] && werror=ON
cmake --preset release -DLULLWATCH_WERROR=$werror >/dev/null
cmake --build --preset release
rm -f build/release/lullwatch_*.deb
(cd build/release && cpack --config CPackConfig.cmake)
ls build/release/lullwatch_*.deb
