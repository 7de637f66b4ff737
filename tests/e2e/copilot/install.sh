#!/bin/sh
# Installs the Copilot CLI that the Copilot end-to-end test drives, at the
# version pinned in package.json beside this script, into node_modules/ here.
# Does nothing when node_modules/.bin/copilot is already present.
#
# The package's loader starts a native binary from a per-platform optional
# dependency; on its first run that binary unpacks its runtime into
# $XDG_CACHE_HOME/copilot. The test points XDG_CACHE_HOME into node_modules/
# here, so the unpacking happens once, not in every test's HOME.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
cd "$here"

copilot=node_modules/.bin/copilot

[ -e "$copilot" ] && exit 0

# Two test runs starting at once on a fresh machine install one at a time.
if command -v flock >/dev/null 2>&1; then
    exec 9>"${TMPDIR:-/tmp}/lullwatch-copilot-install.lock"
    flock 9
    [ -e "$copilot" ] && exit 0
fi

if ! command -v npm >/dev/null 2>&1; then
    echo "install.sh: npm is not on PATH; the Copilot test needs Node.js and npm" >&2
    exit 1
fi

echo "install.sh: installing the Copilot CLI into $here/node_modules" >&2
npm ci --no-audit --no-fund --loglevel=error

if ! version=$(env XDG_CACHE_HOME="$here/node_modules/.cache" COPILOT_AUTO_UPDATE=false "$copilot" --version 2>&1); then
    echo "install.sh: $copilot does not run:" >&2
    echo "$version" >&2
    rm -rf node_modules
    exit 1
fi
echo "install.sh: $version" >&2
