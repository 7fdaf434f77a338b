#!/bin/sh
# wine.sh PREFIX PROGRAM [ARGS...]   runs PROGRAM under Wine in PREFIX
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
export WINEDEBUG="${WINEDEBUG:--all}" WINEDLLOVERRIDES="${WINEDLLOVERRIDES:-mscoree,mshtml=}"

if [ ! -e "$WINEPREFIX/.flagpost-ready" ]; then
    mkdir -p "$(dirname "$WINEPREFIX")"
    (
        flock 9
        if [ ! -e "$WINEPREFIX/.flagpost-ready" ]; then
            wineboot -i </dev/null >/dev/null 2>&1
            wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d "${FLAGPOST_GRAPHICS:-null}" /f \
                </dev/null >/dev/null 2>&1
            wineserver -w
            touch "$WINEPREFIX/.flagpost-ready"
        fi
    ) 9>"$WINEPREFIX.lock"
fi

if [ $# -eq 0 ]; then
    wineserver -k 2>/dev/null && wineserver -w
    wineserver -p </dev/null >/dev/null 2>&1
    wine cmd /c exit 0 </dev/null >/dev/null 2>&1
else
    exec wine "$@"
fi
