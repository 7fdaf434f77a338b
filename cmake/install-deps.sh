#!/bin/sh
# Installs, from Debian's archive, whatever the build and the tests need and this machine lacks.
# wine64 gives a 64-bit prefix, where a 32-bit program meets the Wow6432Node view that real
# 64-bit Windows gives it; wine32:i386 lets that prefix run 32-bit programs at all.
set -eu
packages="make cmake python3 g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine64 wine32:i386
          python3-pefile icoutils xvfb xauth x11-utils googletest
          hyperfine"

missing=""
for package in $packages; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    [ "$status" = installed ] || missing="$missing $package"
done
[ -n "$missing" ] || exit 0

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo
echo "Installing:$missing"
if ! dpkg --print-foreign-architectures | grep -qx i386; then
    $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -q
# shellcheck disable=SC2086
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q $missing
