#!/bin/sh
# wine.sh PREFIX PROGRAM [ARGS...]   runs PROGRAM under Wine in PREFIX
# wine.sh PREFIX --64 PROGRAM [ARGS...]
#                                    the same with Wine's 64-bit loader: for Wine's own programs
#                                    (reg, cmd, msiexec), which then need no i386 emulation
# wine.sh PREFIX                     starts a fresh "boot" of PREFIX, ending any that runs;
#                                    it lasts until `wineserver -k`
#
# Either way the prefix is made first if it is new. It uses Wine's null graphics driver, so that
# windows can be created without a display, unless FLAGPOST_GRAPHICS names another driver (x11)
# when the prefix is made.
#
# wineserver and Wine's service processes outlive the command that started them and keep its
# output open; a caller reading a pipe would wait for them. So everything that may start them
# gets /dev/null: making the prefix, and the boot, which starts them before any program runs.
set -eu
WINEPREFIX=$1
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

if [ ! -e "$WINEPREFIX/.flagpost-ready" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        if [ ! -e "$WINEPREFIX/.flagpost-ready" ]; then
            "$wine32" wineboot -i </dev/null >/dev/null 2>&1
            "$wine32" reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d "${FLAGPOST_GRAPHICS:-null}" /f \
                </dev/null >/dev/null 2>&1
            wineserver -w
            touch "$WINEPREFIX/.flagpost-ready"
        fi
    ) 9>"$WINEPREFIX.lock"
fi

if [ $# -eq 0 ]; then
    # -k fails when no boot runs; -w then returns at once. Either way the old boot is gone,
    # volatile keys and all, before the new one starts.
    wineserver -k 2>/dev/null || true
    wineserver -w
    wineserver -p </dev/null >/dev/null 2>&1
    "$wine32" cmd /c exit 0 </dev/null >/dev/null 2>&1
elif [ "$1" = --64 ]; then
    shift
    exec "$wine64" "$@"
else
    exec "$wine32" "$@"
fi
