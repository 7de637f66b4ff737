#!/bin/sh
# install_pinned.sh FOLDER BIN: installs the agent's CLI at the version pinned in FOLDER/package-lock.json
# into FOLDER/node_modules, once per machine (nothing to do when FOLDER/node_modules/.bin/BIN is there).
set -eu
cd "$1"
here=$(pwd)
bin=node_modules/.bin/$2
[ -e "$bin" ] && exit 0
# Two test runs starting at once on a fresh machine install one at a time.
exec 9>"${TMPDIR:-/tmp}/lullwatch-$2-install.lock"
flock 9
[ -e "$bin" ] && exit 0
# Not `npm ci`: it refuses a lock that leaves out other platforms' optional packages the registry lacks.
npm install --no-save --no-audit --no-fund --loglevel=error
# Claude Code's postinstall step puts its native binary in place; run it where npm declined to.
step=node_modules/@anthropic-ai/claude-code/install.cjs
if [ -f "$step" ] && ! "$bin" --version >/dev/null 2>&1; then
    node "$step" >&2
fi
# In a HOME of its own, leaving nothing in the user's; Copilot CLI unpacks its runtime into its cache then.
scratch=$(mktemp -d)
if ! version=$(env HOME="$scratch" XDG_CACHE_HOME="$here/node_modules/.cache" COPILOT_AUTO_UPDATE=false \
    "$bin" --version 2>&1); then
    echo "install_pinned.sh: $bin does not run: $version" >&2
    rm -rf "$scratch" node_modules
    exit 1
fi
rm -rf "$scratch"
