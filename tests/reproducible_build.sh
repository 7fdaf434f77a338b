#!/bin/sh
# reproducible_build.sh SOURCE_DIR FLAGPOST_EXE
# Builds flagpost.exe and the release zip twice more, from copies of the sources in two unrelated
# folders of different depths, at different times. Both exes must equal FLAGPOST_EXE byte for
# byte, and the two zips each other. A timestamp, a build-id or a path that leaked into the
# binary, or a file date or mode that leaked into the zip, makes them differ.
set -eu
source_dir=$1 reference=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
# As a clean clone of the same commit would have it.
SOURCE_DATE_EPOCH=${SOURCE_DATE_EPOCH:-$(git -C "$source_dir" log -1 --format=%ct)}
export SOURCE_DATE_EPOCH

zips=""
for copy in "$work/a" "$work/elsewhere/deeper/flagpost-copy"; do
    # The clone gives the copy its commit for BUILDINFO; the files are the checkout's own.
    git clone -q --no-checkout "$source_dir" "$copy"
    cp -R "$source_dir/CMakeLists.txt" "$source_dir/src" "$source_dir/res" "$source_dir/cmake" \
        "$source_dir/tools" "$source_dir/examples" "$source_dir/docs" "$source_dir/LICENSE" \
        "$source_dir/README.md" "$copy/"
    cmake -S "$copy" -B "$copy/out" -DCMAKE_TOOLCHAIN_FILE="$copy/cmake/i686-w64-mingw32.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >"$work/log" 2>&1 || { cat "$work/log"; exit 1; }
    cmake --build "$copy/out" --target dist >"$work/log" 2>&1 || { cat "$work/log"; exit 1; }
    echo "cmp $reference $copy/out/flagpost.exe"
    cmp "$reference" "$copy/out/flagpost.exe"
    zips="$zips $copy/out/dist/flagpost-*-win32.zip"
    sleep 2     # zip dates have two-second steps: the second copy is built in a later one
done
echo "all three builds are byte-identical ($(wc -c <"$reference") bytes)"
# shellcheck disable=SC2086
sha256sum $zips
# shellcheck disable=SC2086
cmp $zips
echo "both release zips are byte-identical"
