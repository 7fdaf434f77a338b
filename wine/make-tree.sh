#!/bin/sh
# make-tree.sh: the Wine tree that wine.sh runs where it must (see wine-tree.sh); the set-up calls
# it after installing Wine. Does nothing where the system's Wine serves as it is.
set -eu
here=$(cd "$(dirname "$0")" && pwd)
# shellcheck source=wine/wine-tree.sh
. "$here/wine-tree.sh"
say() { printf 'install-deps: %s\n' "$*"; }

# Debian 13's 32-bit Wine loader is a PIE and comes without a preloader: where i386 programs are
# emulated, qemu puts it at 0x00400000, the one address at which an exe without relocations
# (the NSIS stub) can load. There, wine/wine.sh runs Wine from a tree of its own in build/,
# whose 32-bit loader (wine/wine-loader.c) is linked high; everything else in it is the
# system's Wine. Wine finds its other programs beside the running loader, so the tree holds its
# own copy of the 64-bit loader too, and links for the rest. It is made anew when Wine or the
# loader's source changes, beside the old one, and put in place with one rename.
# ELF type 3 (ET_DYN) at byte 16: a position-independent executable.
[ "$(od -An -tu2 -j16 -N2 /usr/lib/wine/wine | tr -d ' ')" = 3 ] || exit 0
i386_emulated || exit 0
stamp="$(dpkg-query -W -f='${Version}' wine64) $(cksum <"$here/wine-loader.c")"
[ "$(cat "$wine_tree/stamp" 2>/dev/null)" != "$stamp" ] || exit 0
say "i386 programs are emulated and Wine's 32-bit loader is a PIE: Wine runs from $wine_tree"
mkdir -p "${wine_tree%/*}"
new=$(mktemp -d "$wine_tree.XXXXXX")
mkdir -p "$new/lib/wine" "$new/share"
gcc -m32 -O2 -fno-pic -fno-stack-protector -ffreestanding -nostdlib -no-pie \
    -Wl,-Ttext-segment=0x7d000000 -Wl,--export-dynamic -o "$new/lib/wine/wine" \
    "$here/wine-loader.c" /lib/i386-linux-gnu/libc.so.6
cp /usr/lib/wine/wine64 "$new/lib/wine/wine64"
ln -s /usr/lib/wine/wineserver "$new/lib/wine/wineserver"
ln -s /usr/lib/x86_64-linux-gnu "$new/lib/x86_64-linux-gnu"
ln -s /usr/share/wine "$new/share/wine"
printf '%s\n' "$stamp" >"$new/stamp"
# The tree is reached through a link, so that swapping it is one rename.
ln -s "${new##*/}" "$new.link"
old=$(readlink "$wine_tree" 2>/dev/null || true)
mv -T "$new.link" "$wine_tree"
[ -z "$old" ] || rm -rf "${wine_tree%/*}/${old:?}"
