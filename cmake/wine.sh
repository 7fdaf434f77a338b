#!/bin/sh
# wine.sh PREFIX [PROGRAM ARGS...]: runs PROGRAM under Wine in PREFIX, making the prefix first
# if it is new. Without a PROGRAM it only makes sure that the prefix is ready.
#
# The prefix uses Wine's null graphics driver, so that windows can be created without a display.
# Everything started while the prefix is made gets /dev/null for its output: wineserver and Wine's
# service processes outlive the command and would otherwise hold the caller's pipes open.
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
            wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f </dev/null >/dev/null 2>&1
            wineserver -w
            touch "$WINEPREFIX/.flagpost-ready"
        fi
    ) 9>"$WINEPREFIX.lock"
fi

[ $# -eq 0 ] || exec wine "$@"
