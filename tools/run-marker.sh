#!/bin/sh
# run-marker.sh BUILD_PATHS: `make run`. Sets the marker under Wine and shows it as a reader
# would find it. BUILD_PATHS is build/paths.txt, which CMake writes (NAME=PATH, one a line).
# Starts a fresh Wine boot that stays up afterwards, so the marker can still be inspected;
# `wine/wine.sh <its prefix> --restart` restarts that machine, and the marker is gone.
set -eu
path() { sed -n "s/^$1=//p" "$paths"; }
paths=$1
wine_sh=$(path wine_sh) prefix=$(path prefix) flagpost=$(path flagpost) reader=$(path marker_reader)

"$wine_sh" "$prefix" --restart

# Callers pass whatever they like; the program must ignore it.
arguments="/token=$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n') \"quoted arg\" --flag"
echo "running: flagpost.exe $arguments"
status=0
eval "set -- $arguments"
"$wine_sh" "$prefix" "$flagpost" "$@" </dev/null >/dev/null 2>&1 || status=$?
echo "exit code: $status"
"$wine_sh" "$prefix" "$reader" </dev/null 2>&1 | tr -d '\r'
