#!/bin/sh
# reproducible_build.sh SOURCE_DIR FLAGPOST_EXE
# Makes the release zip twice more, with make dist's own recipe, from copies of the sources in
# two unrelated folders of different depths, at different times. The exe in each must equal
# FLAGPOST_EXE byte for byte, and the two zips each other. A timestamp, a build-id or a path that
# leaked into the binary, or a file date or mode that leaked into the zip, makes them differ.
set -eu
source_dir=$1 reference=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# The same author, date and message give both copies the same commit, as one commit cloned twice.
date="@$(git -C "$source_dir" log -1 --format=%ct) +0000"
export GIT_AUTHOR_DATE="$date" GIT_COMMITTER_DATE="$date"

zips=""
for copy in "$work/a" "$work/elsewhere/deeper/flagpost-copy"; do
    sh "$(dirname "$0")/commit_checkout.sh" "$source_dir" "$copy"
    /usr/bin/python3 "$copy/release/dist.py" "$copy" "$copy/out" >"$work/log" 2>&1 || { cat "$work/log"; exit 1; }
    zip=$(echo "$copy"/out/flagpost-*-win32.zip)
    echo "cmp $reference flagpost.exe in $zip"
    unzip -p "$zip" flagpost.exe | cmp "$reference" -
    zips="$zips $zip"
    sleep 2     # zip dates have two-second steps: the second copy is made in a later one
done
echo "all three builds are byte-identical ($(wc -c <"$reference") bytes)"
# shellcheck disable=SC2086
sha256sum $zips
# shellcheck disable=SC2086
cmp $zips
echo "both release zips are byte-identical"
