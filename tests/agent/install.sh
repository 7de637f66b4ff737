#!/bin/sh
# Installs the Claude Code CLI that the agent tests drive, at the version
# pinned in package.json beside this script, into node_modules/ here.
# Does nothing when node_modules/.bin/claude is already present.
#
# The package ships its native Linux binary in a per-platform optional
# dependency; its postinstall step copies that binary over bin/claude.exe.
# When a newer npm declines to run install scripts, the step is run by hand.
set -eu

here=$(cd "$(dirname "$0")" && pwd)
cd "$here"

claude=node_modules/.bin/claude

[ -e "$claude" ] && exit 0

# Two test runs starting at once on a fresh machine install one at a time;
# the second finds the first one's result and stops.
if command -v flock >/dev/null 2>&1; then
    exec 9>"${TMPDIR:-/tmp}/lullwatch-agent-install.lock"
    flock 9
    [ -e "$claude" ] && exit 0
fi

if ! command -v npm >/dev/null 2>&1; then
    echo "install.sh: npm is not on PATH; the agent tests need Node.js and npm" >&2
    exit 1
fi

echo "install.sh: installing the Claude Code CLI into $here/node_modules" >&2
if [ -f package-lock.json ]; then
    npm ci --no-audit --no-fund --loglevel=error
else
    npm install --no-audit --no-fund --loglevel=error
fi

if ! "$claude" --version >/dev/null 2>&1; then
    # The placeholder stub is still in place: put the native binary there.
    node node_modules/@anthropic-ai/claude-code/install.cjs >&2
fi

if ! version=$("$claude" --version 2>&1); then
    echo "install.sh: $claude does not run:" >&2
    echo "$version" >&2
    exit 1
fi
echo "install.sh: $version" >&2
