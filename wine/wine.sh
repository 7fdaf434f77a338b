#!/bin/sh
# wine.sh PREFIX PROGRAM [ARGS...]   runs PROGRAM under Wine in PREFIX
# wine.sh PREFIX --64 PROGRAM [ARGS...]
#                                    the same with Wine's 64-bit loader: for Wine's own programs
#                                    (reg, cmd, msiexec), which then need no i386 emulation
# wine.sh PREFIX --restart           ends PREFIX's running "boot", if any, as a restart of Windows
#                                    would, volatile keys and all, and starts a fresh one, which
#                                    lasts until --shutdown
# wine.sh PREFIX --shutdown          ends PREFIX's boot, if one runs
#
# A new PREFIX is made first, as a copy of one booted prefix beside it (wineprefix-template),
# which is made once: a Wine prefix holds 1.3 GB of Wine's DLLs and assemblies, which the copies
# share as hard links, and wineboot takes a minute where i386 programs are emulated. A prefix uses
# Wine's null graphics driver, so that windows can be created without a display, unless
# FLAGPOST_GRAPHICS names another driver (x11) when the prefix is made.
#
# wineserver and Wine's service processes outlive the command that started them and keep its
# output open; a caller reading a pipe would wait for them. So everything that may start them
# gets /dev/null: making the prefix, and the boot, which starts them before any program runs.
set -eu
# Wine takes only an absolute prefix.
case $1 in
/*) WINEPREFIX=$1 ;;
*) WINEPREFIX=$PWD/$1 ;;
esac
shift
export WINEPREFIX
# No Mono or Gecko download prompts; and no winemenubuilder, which writes menu entries and file
# associations into the user's home (~/.local/share, ~/.config/menus) for every prefix. No debug
# channels either: the tests and tools read what Wine's programs print, and Wine's messages would
# be mixed into it. The caller's own variables would bring all of that back, so these replace
# them; to trace a run, call wine yourself with WINEPREFIX set to the prefix.
export WINEDEBUG=-all WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"

# Where i386 programs are emulated and Wine's own 32-bit loader cannot leave low memory free,
# the set-up made a tree with one that can (wine/make-tree.sh).
# shellcheck source=wine/wine-tree.sh
. "$(dirname "$0")/wine-tree.sh"
wine32=wine wine64=/usr/lib/wine/wine64
if [ -x "$wine_tree/lib/wine/wine" ] && i386_emulated; then
    wine32=$wine_tree/lib/wine/wine wine64=$wine_tree/lib/wine/wine64
fi

if [ "${1:-}" = --shutdown ]; then
    # -k fails when no boot runs.
    [ ! -d "$WINEPREFIX" ] || wineserver -k 2>/dev/null || true
    exit 0
fi

template=$(dirname "$WINEPREFIX")/wineprefix-template
# A prefix is ready when it was made by this Wine. Wine brings an older prefix up to date by
# rewriting its DLLs in place, which in a copy would write through the links into every prefix:
# after an upgrade of Wine the template and each copy are made anew instead.
wine_version=$("$wine64" --version 2>/dev/null || echo unknown)
ready() { [ "$(cat "$1/.flagpost-ready" 2>/dev/null)" = "$wine_version" ]; }
# Runs under an exclusive lock on $1.lock: parallel first starts of one prefix collide.
locked() {
    lock=$1.lock
    shift
    mkdir -p "$(dirname "$lock")"
    (flock 9 && "$@") 9>"$lock"
}
make_template() {
    ! ready "$template" || return 0
    rm -rf "$template"
    WINEPREFIX=$template "$wine32" wineboot -i </dev/null >/dev/null 2>&1
    WINEPREFIX=$template "$wine64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
    WINEPREFIX=$template wineserver -w
    echo "$wine_version" >"$template/.flagpost-ready"
}
make_prefix() {
    ! ready "$WINEPREFIX" || return 0
    wineserver -k 2>/dev/null || true
    rm -rf "$WINEPREFIX"
    mkdir -p "$WINEPREFIX"
    # Wine's DLLs and its side-by-side assemblies (winsxs), which only wineboot writes, are
    # shared; the registry and every other file are the copy's own, so that nothing a program
    # writes there reaches another prefix.
    (cd "$template" && tar --exclude=./drive_c/windows/system32 --exclude=./drive_c/windows/syswow64 \
        --exclude=./drive_c/windows/winsxs --exclude=./.flagpost-ready -cf - .) | (cd "$WINEPREFIX" && tar -xpf -)
    cp -al "$template/drive_c/windows/system32" "$template/drive_c/windows/syswow64" \
        "$template/drive_c/windows/winsxs" "$WINEPREFIX/drive_c/windows/"
    if [ "${FLAGPOST_GRAPHICS:-null}" != null ]; then
        "$wine64" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d "$FLAGPOST_GRAPHICS" /f </dev/null >/dev/null 2>&1
        wineserver -w
    fi
    echo "$wine_version" >"$WINEPREFIX/.flagpost-ready"
}
if ! ready "$WINEPREFIX"; then
    locked "$template" make_template
    locked "$WINEPREFIX" make_prefix
fi

case ${1:-} in
--restart)
    # -w then returns at once when no boot runs. Either way the old boot is gone before the new
    # one starts.
    wineserver -k 2>/dev/null || true
    wineserver -w
    wineserver -p </dev/null >/dev/null 2>&1
    "$wine64" cmd /c exit 0 </dev/null >/dev/null 2>&1
    ;;
--64)
    shift
    exec "$wine64" "$@"
    ;;
"")
    echo "usage: wine.sh PREFIX [--64] PROGRAM [ARGS...] | wine.sh PREFIX --restart | --shutdown" >&2
    exit 2
    ;;
*)
    exec "$wine32" "$@"
    ;;
esac
