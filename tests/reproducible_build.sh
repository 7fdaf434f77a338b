#!/bin/sh
# reproducible_build.sh SOURCE_DIR FLAGPOST_EXE
# Builds flagpost.exe twice more, from copies of the sources in two unrelated folders of different
# depths, and compares both with FLAGPOST_EXE byte for byte. A timestamp, a build-id or a path
# that leaked into the binary makes them differ.
set -eu
source_dir=$1 reference=$2
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT

for copy in "$work/a" "$work/elsewhere/deeper/flagpost-copy"; do
    mkdir -p "$copy"
    cp -R "$source_dir/CMakeLists.txt" "$source_dir/src" "$source_dir/res" "$source_dir/cmake" \
        "$source_dir/tools" "$copy/"
    cmake -S "$copy" -B "$copy/out" -DCMAKE_TOOLCHAIN_FILE="$copy/cmake/i686-w64-mingw32.cmake" \
        -DCMAKE_BUILD_TYPE=Release -DBUILD_TESTING=OFF >"$work/log" 2>&1 || { cat "$work/log"; exit 1; }
    cmake --build "$copy/out" --target flagpost >"$work/log" 2>&1 || { cat "$work/log"; exit 1; }
    echo "cmp $reference $copy/out/flagpost.exe"
    cmp "$reference" "$copy/out/flagpost.exe"
done
echo "all three builds are byte-identical ($(wc -c <"$reference") bytes)"
