#!/bin/sh
# run-marker.sh BUILD_PATHS: `make run`. Sets the marker under Wine and shows it as a reader
# would find it. BUILD_PATHS is build/paths.txt, which CMake writes (NAME=PATH, one a line).
# Starts a fresh Wine boot that stays up afterwards, so the marker can still be inspected;
# `WINEPREFIX=<its prefix> wineserver -k` ends it, as a restart would.
set -eu
path() { sed -n "s/^$1=//p" "$paths"; }
paths=$1
wine_sh=$(path wine_sh) prefix=$(path prefix) flagpost=$(path flagpost) regprobe=$(path regprobe)

"$wine_sh" "$prefix"

# Callers pass whatever they like; the program must ignore it.
arguments="/token=$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n') \"quoted arg\" --flag"
echo "running: flagpost.exe $arguments"
status=0
eval "set -- $arguments"
"$wine_sh" "$prefix" "$flagpost" "$@" </dev/null >/dev/null 2>&1 || status=$?
echo "exit code: $status"

reg() { "$wine_sh" "$prefix" reg "$@" </dev/null; }
# reg.exe exits 1 for a missing key and for any failure alike; only its message tells.
look() {
    if answer=$(reg query "$1" "/reg:$2" 2>&1); then
        state=present
    else
        case $answer in *"Unable to find the specified registry key"*) state=absent ;; *) state="unknown (reg.exe failed)" ;; esac
    fi
    printf '%-9s %s (%s-bit view)\n' "$state" "$1" "$2"
}
look 'HKLM\Software\Ostrevane\RebootPending' 32
look 'HKLM\Software\Wow6432Node\Ostrevane\RebootPending' 64
look 'HKLM\Software\Ostrevane' 64

values=$(reg query 'HKLM\Software\Ostrevane\RebootPending' /reg:32 2>/dev/null | grep -c '^    ' || true)
echo "values in the key: $values"

# Windows refuses a non-volatile subkey under a volatile key; regprobe asks for one.
verdict=$("$wine_sh" "$prefix" "$regprobe" 'Software\Ostrevane\RebootPending' </dev/null 2>&1 | tr -d '\r' || true)
case $verdict in
    volatile) echo "volatile: yes, a non-volatile subkey is refused (ERROR_CHILD_MUST_BE_VOLATILE)" ;;
    *) echo "volatile: no ($verdict)" ;;
esac
