#!/bin/sh
# Installs, from Debian's archive, whatever the build and the tests need and this machine lacks.
# Knows Debian 12 (bookworm) and 13 (trixie).
# wine64 gives a 64-bit prefix, where a 32-bit program meets the Wow6432Node view that real
# 64-bit Windows gives it; wine32:i386 lets that prefix run 32-bit programs at all.
# With --release, only what making and verifying a release needs: no Wine, nothing 32-bit.
set -eu
release_packages="make cmake python3 g++-mingw-w64-i686 binutils-mingw-w64-i686 git osslsigncode"
packages="$release_packages wine wine64 wine32:i386 python3-pefile icoutils xvfb xauth x11-utils googletest
          hyperfine openssl nsis wixl msitools python3-yaml unzip"
[ "${1:-}" != --release ] || packages=$release_packages
# npm, for Inno Setup's compiler below; a machine may have an npm of its own, not Debian's.
[ "$packages" = "$release_packages" ] || command -v npm >/dev/null || packages="$packages npm"

sudo=""
[ "$(id -u)" -eq 0 ] || sudo=sudo

apt_install() {
    # shellcheck disable=SC2086
    DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -q "$@"
}

missing_packages() {
    for package in $packages; do
        status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
        [ "$status" = installed ] || printf ' %s' "$package"
    done
}

install_packages() {
    missing=$(missing_packages)
    [ -n "$missing" ] || return 0
    echo "Installing:$missing"
    case $missing in
        *:i386*) dpkg --print-foreign-architectures | grep -qx i386 || $sudo dpkg --add-architecture i386 ;;
    esac
    $sudo apt-get update -q
    # shellcheck disable=SC2086
    apt_install $missing
}

# The Debian archive this machine's apt already uses, mirror or proxy included: the first
# non-security address of its deb822 sources, or else of sources.list.
debian_archive() {
    {
        sed -n 's/^URIs:[[:space:]]*//p' /etc/apt/sources.list.d/*.sources 2>/dev/null | tr -s ' \t' '\n'
        # "deb [options] URI suite ...": the address is the first word that is not an option.
        sed -n 's/^[[:space:]]*deb[[:space:]]\+\(\[[^]]*\][[:space:]]*\)\?\([^[:space:]]\+\).*/\2/p' \
            /etc/apt/sources.list /etc/apt/sources.list.d/*.list 2>/dev/null
    } | grep -v -e security -e '^$' | head -n 1
}

# Backports of this machine's own release, from its own archive.
add_backports() {
    archive=$(debian_archive)
    [ -n "$archive" ] || { echo "cannot tell which Debian archive apt uses" >&2; exit 1; }
    printf '%s\n' "Types: deb" "URIs: $archive" "Suites: $1-backports" "Components: main" \
        "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg" |
        $sudo tee "/etc/apt/sources.list.d/$1-backports.sources" >/dev/null
    $sudo apt-get update -q
}

# qemu's user-mode i386 emulator, 8.0 or later: Wine reserves its address space with
# MAP_FIXED_NOREPLACE, which qemu 7.2 ignores. 7.2 is bookworm's own, so there it comes from
# bookworm's backports, under its old package name; trixie's own is 10.0.
install_qemu() {
    qemu=$(command -v qemu-i386-static qemu-i386 | head -n 1)
    major=$([ -z "$qemu" ] || "$qemu" --version | sed -n 's/.* version \([0-9]*\).*/\1/p;q')
    [ "${major:-0}" -lt 8 ] || return 0
    echo "This kernel runs no 32-bit programs; installing qemu's i386 emulator"
    case $codename in
        bookworm) add_backports bookworm && apt_install -t bookworm-backports qemu-user-static ;;
        *) apt_install qemu-user qemu-user-binfmt ;;
    esac
}

# binfmt_misc hands i386 programs to qemu. The package registers it where systemd runs, and a
# registration does not outlive a reboot, so this runs every time and adds only what is missing:
# the package's own entry where it ships one, else one for the static emulator.
register_qemu() {
    /lib/ld-linux.so.2 --version >/dev/null 2>&1 && return 0
    binfmt=/proc/sys/fs/binfmt_misc
    [ -e $binfmt/register ] || $sudo mount -t binfmt_misc binfmt_misc $binfmt
    [ ! -e $binfmt/qemu-i386 ] || echo -1 | $sudo tee $binfmt/qemu-i386 >/dev/null
    if [ -e /usr/lib/binfmt.d/qemu-i386.conf ]; then
        $sudo tee $binfmt/register </usr/lib/binfmt.d/qemu-i386.conf >/dev/null
    else
        # i386 executables and shared objects (ld.so itself is one); F opens the emulator now.
        printf '%s' ':qemu-i386:M::\x7fELF\x01\x01\x01\x00\x00\x00\x00\x00\x00\x00\x00\x00\x02\x00\x03\x00:\xff\xff\xff\xff\xff\xfe\xfe\x00\xff\xff\xff\xff\xff\xff\xff\xff\xfe\xff\xff\xff:/usr/bin/qemu-i386-static:F' |
            $sudo tee $binfmt/register >/dev/null
    fi
}

# Debian 13's 32-bit Wine loader is a PIE and comes without a preloader: where i386 programs are
# emulated, qemu puts it at 0x00400000, the one address at which an exe without relocations
# (the NSIS stub) can load. There, cmake/wine.sh runs Wine from a tree of its own whose 32-bit
# loader (cmake/wine-loader.c) is linked high; everything else in it is the system's Wine.
# Wine finds its other programs beside the running loader, so the tree holds its own copy of
# the 64-bit loader too, and links for the rest. Nothing changes where i386 runs natively, or
# where the loader is not a PIE (Debian 12).
. "$(dirname "$0")/wine-tree.sh"
make_wine_tree() {
    # ELF type 3 (ET_DYN) at byte 16: a position-independent executable.
    [ "$(od -An -tu2 -j16 -N2 /usr/lib/wine/wine | tr -d ' ')" = 3 ] || return 0
    i386_emulated || return 0
    command -v gcc >/dev/null || apt_install gcc
    build=$(mktemp -d)
    # shellcheck disable=SC2064  # the folder is known now
    trap "rm -rf '$build'" EXIT
    gcc -m32 -O2 -fno-pic -fno-stack-protector -ffreestanding -nostdlib -no-pie \
        -Wl,-Ttext-segment=0x7d000000 -Wl,--export-dynamic -o "$build/wine" \
        "$(dirname "$0")/wine-loader.c" /lib/i386-linux-gnu/libc.so.6
    cp /usr/lib/wine/wine64 "$build/wine64"
    if ! cmp -s "$build/wine" "$wine_tree/lib/wine/wine" || ! cmp -s "$build/wine64" "$wine_tree/lib/wine/wine64"; then
        echo "i386 programs are emulated and Wine's 32-bit loader is a PIE: Wine runs from $wine_tree"
        $sudo rm -rf "$wine_tree"
        $sudo mkdir -p "$wine_tree/lib/wine" "$wine_tree/share"
        $sudo cp "$build/wine" "$build/wine64" "$wine_tree/lib/wine/"
        $sudo ln -s /usr/lib/wine/wineserver "$wine_tree/lib/wine/wineserver"
        $sudo ln -s /usr/lib/x86_64-linux-gnu "$wine_tree/lib/x86_64-linux-gnu"
        $sudo ln -s /usr/share/wine "$wine_tree/share/wine"
    fi
}

# Inno Setup's compiler, ISCC.exe, which Debian does not package: npm's innosetup package,
# exactly as package-lock.json pins it (version and integrity hash), into build/npm, never the
# source tree. The lockfile names no registry: npm uses the one this machine is configured for.
install_npm_packages() {
    source_dir=$(cd "$(dirname "$0")/.." && pwd)
    npm_dir=$source_dir/build/npm
    if cmp -s "$source_dir/package-lock.json" "$npm_dir/package-lock.json" &&
        [ -e "$npm_dir/node_modules/innosetup/bin/ISCC.exe" ]; then
        return 0
    fi
    echo "Installing Inno Setup's compiler from npm into $npm_dir"
    rm -rf "$npm_dir"
    mkdir -p "$npm_dir"
    cp "$source_dir/package.json" "$source_dir/package-lock.json" "$npm_dir/"
    (cd "$npm_dir" && npm ci --ignore-scripts --no-audit --no-fund --loglevel=error)
}

codename=$(sed -n "s/^VERSION_CODENAME=//p" /etc/os-release)
case $codename in
    bookworm | trixie) ;;
    *) echo "This set-up knows Debian 12 (bookworm) and 13 (trixie), not '$codename'; trying all the same" ;;
esac

install_packages
[ "$packages" != "$release_packages" ] || exit 0
install_npm_packages

# Some kernels boot with 32-bit emulation switched off (dmesg: "32-bit emulation disabled"), and
# Wine's 32-bit loader, an i386 Linux program, then fails with "Exec format error". qemu runs it.
if ! /lib/ld-linux.so.2 --version >/dev/null 2>&1; then
    install_qemu
    register_qemu
    /lib/ld-linux.so.2 --version >/dev/null || { echo "i386 programs still do not run" >&2; exit 1; }
fi
make_wine_tree
