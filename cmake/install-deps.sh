#!/bin/sh
# Installs, from Debian's archive, whatever the build and the tests need and this machine lacks.
# wine64 gives a 64-bit prefix, where a 32-bit program meets the Wow6432Node view that real
# 64-bit Windows gives it; wine32:i386 lets that prefix run 32-bit programs at all.
set -eu
packages="make cmake python3 g++-mingw-w64-i686 binutils-mingw-w64-i686 wine wine64 wine32:i386
          python3-pefile icoutils xvfb xauth x11-utils googletest
          hyperfine osslsigncode openssl nsis python3-yaml unzip"

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

missing=""
for package in $packages; do
    status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
    [ "$status" = installed ] || missing="$missing $package"
done
if [ -n "$missing" ]; then
    echo "Installing:$missing"
    if ! dpkg --print-foreign-architectures | grep -qx i386; then
        $sudo dpkg --add-architecture i386
    fi
    $sudo apt-get update -q
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q $missing
fi

# Some kernels boot with 32-bit emulation switched off (dmesg: "32-bit emulation disabled"), and
# Wine's 32-bit loader, an i386 Linux program, then fails with "Exec format error". qemu's
# user-mode i386 emulator, registered with binfmt_misc, runs it instead. It must be 8.0 or later:
# Wine reserves its address space with MAP_FIXED_NOREPLACE, which bookworm's qemu 7.2 ignores, so
# it comes from bookworm-backports. Registration does not outlive a reboot, so this runs every time.
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    qemu_version=$(dpkg-query -W -f='${Version}' qemu-user-static 2>/dev/null || true)
    if [ -z "$qemu_version" ] || dpkg --compare-versions "$qemu_version" lt 1:8; then
        echo "This kernel runs no 32-bit programs; installing qemu-user-static from bookworm-backports"
        printf '%s\n' "Types: deb" "URIs: http://deb.debian.org/debian" "Suites: bookworm-backports" \
            "Components: main" "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
            $sudo tee /etc/apt/sources.list.d/bookworm-backports.sources >/dev/null
        $sudo apt-get update -q
        DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q -t bookworm-backports qemu-user-static
    fi
    binfmt=/proc/sys/fs/binfmt_misc
    [ -e $binfmt/register ] || $sudo mount -t binfmt_misc binfmt_misc $binfmt
    [ ! -e $binfmt/qemu-i386 ] || echo -1 | $sudo tee $binfmt/qemu-i386 >/dev/null
    # i386 executables and shared objects (ld.so itself is one); F opens the emulator now.
    printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' |
        $sudo tee $binfmt/register >/dev/null
    /lib/ld-linux.so.2 --version >/dev/null || { echo "i386 programs still do not run" >&2; exit 1; }
fi
