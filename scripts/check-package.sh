#!/bin/sh
# Checks the Debian package that scripts/package.sh built: lintian, then
# installs it with apt-get, runs the installed lullwatch in a temporary HOME,
# removes the package and checks that nothing of it is left and that the
# removal left that HOME alone. Installing needs root, so this is for CI and
# other throwaway machines: it skips, saying so, for anyone else.
# Usage: scripts/check-package.sh [PACKAGE.deb]
set -eu
cd "$(dirname "$0")/.."

if [ "$(id -u)" -ne 0 ]; then
    echo "check-package: skipped: installing the package needs root" >&2
    exit 0
fi

started=$(date +%s)
deb=${1:-}
if [ -z "$deb" ]; then
    set -- build/release/lullwatch_*.deb
    if [ $# -ne 1 ] || [ ! -f "$1" ]; then
        echo "check-package: expected one build/release/lullwatch_*.deb (scripts/package.sh builds it)" >&2
        exit 1
    fi
    deb=$1
fi
deb=$(realpath "$deb")

work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
failures=0
fail() {
    echo "check-package: FAIL: $*" >&2
    failures=$((failures + 1))
}
pass() { echo "check-package: ok: $*"; }
# check WHAT COMMAND...: passes WHAT when COMMAND succeeds.
check() {
    what=$1
    shift
    if "$@"; then pass "$what"; else fail "$what"; fi
}

# ---- The package file

version=$(dpkg-deb -f "$deb" Version)
architecture=$(dpkg-deb -f "$deb" Architecture)
check "named lullwatch_${version}_${architecture}.deb" [ "$(basename "$deb")" = "lullwatch_${version}_${architecture}.deb" ]

# Every error and warning fails, but the copyright file's while the
# repository has no licence to put in it.
suppressed=""
[ -e LICENSE ] || suppressed="--suppress-tags no-copyright-file"
# shellcheck disable=SC2086
if lintian --fail-on error,warning $suppressed "$deb" >"$work/lintian" 2>&1; then
    pass "lintian${suppressed:+ (no licence yet: no-copyright-file not counted)}"
else
    cat "$work/lintian" >&2
    fail "lintian"
fi

# ---- Installed

if ! DEBIAN_FRONTEND=noninteractive apt-get install -y -q "$deb" >"$work/install" 2>&1; then
    cat "$work/install" >&2
    echo "check-package: FAIL: apt-get install $deb" >&2
    exit 1
fi
pass "installed"

check "desktop entry" desktop-file-validate /usr/share/applications/lullwatch.desktop
for metainfo in /usr/share/metainfo/*lullwatch*.metainfo.xml; do
    check "AppStream metadata" appstreamcli validate --no-net "$metainfo"
done

home="$work/home"
mkdir -p "$home/tmp"
# The installed program as a user runs it, in a home of its own.
as_user() { env -i HOME="$home" TMPDIR="$home/tmp" PATH=/usr/bin:/bin LANG=C.UTF-8 "$@"; }

output=$(as_user lullwatch --version) || fail "lullwatch --version exits with $?"
case $output in
"lullwatch $version "*) pass "lullwatch --version: $output" ;;
*) fail "lullwatch --version says '$output', the package is $version" ;;
esac

output=$(as_user lullwatch status --json) || fail "lullwatch status --json exits with $?"
check "lullwatch status --json: '$output'" [ "$output" = "[]" ]

output=$(as_user lullwatch hooks status) || fail "lullwatch hooks status exits with $?"
for agent in "Claude Code" "Copilot CLI" "Qwen Code" "Gemini CLI" "Codex CLI"; do
    check "lullwatch hooks status: $agent not connected" grep -qx "$agent not connected" <<EOF_
$output
EOF_
done

output=$(as_user man -w lullwatch) || fail "man -w lullwatch exits with $?"
check "man -w lullwatch: '$output'" [ "$output" = /usr/share/man/man1/lullwatch.1.gz ]

# Connecting copies the packaged recorder into the user's data folder.
data="$home/.local/share/lullwatch"
as_user lullwatch hooks install --agent claude >/dev/null || fail "lullwatch hooks install exits with $?"
check "hooks install copied /usr/libexec/lullwatch/lullwatch-hook" \
    cmp -s /usr/libexec/lullwatch/lullwatch-hook "$data/lullwatch-hook"

# ---- Removed

snapshot() {
    (cd "$home" && find . -printf '%p %y %m %s %T@\n' | sort && find . -type f -exec sha256sum {} + | sort)
}
snapshot >"$work/home-before"
dpkg-deb -c "$deb" | awk '{ print $1, substr($6, 2) }' >"$work/contents"
if ! DEBIAN_FRONTEND=noninteractive apt-get remove -y -q lullwatch >"$work/remove" 2>&1; then
    cat "$work/remove" >&2
    echo "check-package: FAIL: apt-get remove lullwatch" >&2
    exit 1
fi
pass "removed"
snapshot >"$work/home-after"
check "the removal left the home folder as it was" diff "$work/home-before" "$work/home-after"

status=$(dpkg-query -W -f='${db:Status-Status}' lullwatch 2>/dev/null || true)
check "dpkg has no lullwatch: '$status'" [ "${status:-not-installed}" = not-installed ]
left=0
while read -r mode path; do
    case $mode in
    d*)
        # A folder goes when it is empty and no other package has it.
        if [ -d "$path" ] && [ -z "$(ls -A "$path")" ] && ! dpkg-query -S "$path" >/dev/null 2>&1; then
            fail "left an empty folder: $path"
            left=1
        fi
        ;;
    *)
        if [ -e "$path" ] || [ -L "$path" ]; then
            fail "left $path"
            left=1
        fi
        ;;
    esac
done <"$work/contents"
[ $left -eq 0 ] && pass "nothing of the package is left"

# The hooks keep working without the package: the user's copy of the
# recorder still writes the session's record.
echo '{"session_id":"after-removal","cwd":"/","hook_event_name":"UserPromptSubmit"}' \
    | as_user /bin/sh "$data/claude-hook.sh" working
check "the hook records after the removal" [ -f "$data/sessions/after-removal.json" ]

echo "check-package: $(($(date +%s) - started)) s, $failures failed"
[ $failures -eq 0 ]
