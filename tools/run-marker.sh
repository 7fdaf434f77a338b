#!/bin/sh
# run-marker.sh BUILD_PATHS: `make run`. Sets the marker under Wine and shows it as a reader
# would find it, then as flagpost-status.exe reports it to a user at a prompt. BUILD_PATHS is
# build/paths.txt, which CMake writes (NAME=PATH, one a line).
# Starts a fresh Wine boot that stays up afterwards, so the marker can still be inspected;
# `wine/wine.sh <its prefix> --restart` restarts that machine, and the marker is gone.
set -eu
path() { sed -n "s/^$1=//p" "$paths"; }
paths=$1
wine_sh=$(path wine_sh) prefix=$(path prefix) flagpost=$(path flagpost) reader=$(path marker_reader)
status=$(path flagpost_status)

"$wine_sh" "$prefix" --restart

# Callers pass whatever they like; the program must ignore it.
arguments="/token=$(od -An -N6 -tx1 /dev/urandom | tr -d ' \n') \"quoted arg\" --flag"
echo "running: flagpost.exe $arguments"
code=0
eval "set -- $arguments"
"$wine_sh" "$prefix" "$flagpost" "$@" </dev/null >/dev/null 2>&1 || code=$?
echo "exit code: $code"
"$wine_sh" "$prefix" "$reader" </dev/null 2>&1 | tr -d '\r'
echo
echo "running: flagpost-status.exe"
# Through a file: the exit code is the report's verdict, and a pipe would hide it.
report=$(mktemp)
trap 'rm -f "$report"' EXIT
code=0
"$wine_sh" "$prefix" "$status" </dev/null >"$report" 2>&1 || code=$?
tr -d '\r' <"$report"
echo "exit code: $code"
