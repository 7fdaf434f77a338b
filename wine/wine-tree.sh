# Sourced by install-deps.sh and wine.sh: where the Wine tree with a high-linked 32-bit loader
# lives (see wine/wine-loader.c), and the test for the machines that need it. It is the
# build's, like the prefixes: make clean removes it.
wine_tree=$(cd "$(dirname "$0")/.." && pwd)/build/wine-tree

# qemu says it is an i686 to the programs it runs; the kernel says x86_64 to a native i386 one.
i386_emulated() {
    /lib/ld-linux.so.2 --list-diagnostics 2>/dev/null | grep -q '^uname.machine="i[3-6]86"$'
}
