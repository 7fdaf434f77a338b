#!/bin/sh
# install-deps.sh build|run|test|release
#
# Installs, from the Debian archive that this machine's apt already uses, what `make TARGET`
# needs and the machine lacks, after saying what it will change. Knows Debian 12 (bookworm)
# and 13 (trixie) on amd64.
#   build    the cross toolchain (and GoogleTest's sources, which configuring reads)
#   run      that, and Wine with its 32-bit side; qemu where the kernel runs no i386 programs
#   test     that, and what the tests and the example installers use; npm for Inno Setup
#   release  what making and verifying a release needs: no Wine, nothing 32-bit
#
# It changes the system only through apt, dpkg --add-architecture, one apt source (bookworm's
# backports, only where qemu has to come from there and apt does not know them yet) and a
# binfmt_misc entry (only where i386 programs cannot run). It never removes a package, never
# deletes or rewrites what it did not make, and leaves apt able to read its sources; an
# architecture or source that it added and then could not use is taken away again. What it makes
# for the project itself stays in the checkout's build/. apt's messages are read only in the C
# locale: elsewhere they are translated.
#
# The tests run it against a made-up machine: FLAGPOST_SETUP_ROOT is a folder that stands for /,
# and the commands it calls (apt-get, apt-config, dpkg, dpkg-query, sudo, id) are stubs on PATH;
# it stops before what it makes in the checkout; the kernel's probes are stubs in that folder too.
set -eu
target=${1:-}
here=$(cd "$(dirname "$0")" && pwd)
source_dir=$(dirname "$here")
root=${FLAGPOST_SETUP_ROOT:-}
binfmt=$root/proc/sys/fs/binfmt_misc

say() { printf 'install-deps: %s\n' "$*"; }
fail() { printf 'install-deps: %s\n' "$*" >&2; exit 1; }

build_packages="make cmake python3 g++-mingw-w64-i686 binutils-mingw-w64-i686 googletest"
run_packages="$build_packages wine wine64 wine32:i386"
test_packages="$run_packages python3-pefile xvfb xauth x11-utils hyperfine openssl nsis wixl msitools
               python3-yaml unzip git osslsigncode"
release_packages="make cmake python3 g++-mingw-w64-i686 binutils-mingw-w64-i686 git osslsigncode"
case $target in
    build) packages=$build_packages ;;
    run) packages=$run_packages ;;
    test) packages=$test_packages
          # npm, for Inno Setup's compiler; a machine may have an npm of its own, not Debian's.
          command -v npm >/dev/null || packages="$packages npm" ;;
    release) packages=$release_packages ;;
    *) fail "usage: install-deps.sh build|run|test|release" ;;
esac

# A value of os-release, read as text: the file is not ours to run.
os_field() {
    sed -n "s/^$1=//p" "$root/etc/os-release" 2>/dev/null | tr -d '"'"'" | head -n 1
}

missing_packages() {
    for package in $packages; do
        status=$(dpkg-query -W -f='${db:Status-Status}' "$package" 2>/dev/null || true)
        [ "$status" = installed ] || printf ' %s' "$package"
    done
}

# A static i386 program of 96 bytes that exits with 42 (exit through int 0x80). A shell runs a
# file that the kernel refuses as a script, so only 42 says that i386 programs run. Both it and a
# shell script that exits 0 run from build/, not from a temporary folder that may be mounted
# noexec; where the script cannot run either (126), nothing can be told. 0: i386 programs run;
# 1: they do not; 2: cannot tell.
i386_probe() {
    probe=$source_dir/build/i386-probe native=$source_dir/build/native-probe
    if [ -n "$root" ]; then
        probe=$root/i386-probe native=$root/native-probe
    else
        mkdir -p "$source_dir/build"
        printf '\177\105\114\106\1\1\1\0\0\0\0\0\0\0\0\0\2\0\3\0\1\0\0\0\124\200\4\10\64\0\0\0\0\0\0\0\0\0\0\0\64\0\40\0\1\0\0\0\0\0\0\0\1\0\0\0\0\0\0\0\0\200\4\10\0\200\4\10\140\0\0\0\140\0\0\0\5\0\0\0\0\20\0\0\270\1\0\0\0\273\52\0\0\0\315\200' >"$probe"
        printf '#!/bin/sh\nexit 0\n' >"$native"
        chmod +x "$probe" "$native"
    fi
    ran=0
    "$probe" >/dev/null 2>&1 || ran=$?
    [ "$ran" -ne 42 ] || return 0
    [ "$ran" -eq 126 ] && ! "$native" >/dev/null 2>&1 && return 2
    return 1
}

# The binfmt_misc entry that would take i386 programs, enabled or not: its magic is an ELF
# header of class 32, little-endian, with machine 3 (EM_386) at bytes 18 and 19.
i386_binfmt_entry() {
    for entry in "$binfmt"/*; do
        case ${entry##*/} in register | status | '*') continue ;; esac
        magic=$(sed -n 's/^magic //p' "$entry" 2>/dev/null)
        case $magic in 7f454c460101*) ;; *) continue ;; esac
        [ "$(printf '%s' "$magic" | cut -c37-40)" = 0300 ] && { printf '%s' "$entry"; return; }
    done
}

qemu_major() {
    "$1" --version 2>/dev/null | sed -n 's/.* version \([0-9]*\).*/\1/p;q'
}

# qemu's user-mode i386 emulator, 8.0 or later: Wine reserves its address space with
# MAP_FIXED_NOREPLACE, which qemu 7.2 ignores.
usable_qemu() {
    for qemu in "$root/usr/bin/qemu-i386-static" "$root/usr/bin/qemu-i386"; do
        [ -x "$qemu" ] && [ "$(qemu_major "$qemu")" -ge 8 ] 2>/dev/null && { printf '%s' "$qemu"; return; }
    done
}

# apt's index targets, one line each, fields split by "|": TARGET_OF RELEASE REPO_URI ORIGIN
# LABEL CODENAME ARCHITECTURE IDENTIFIER, with "-" for a field that the target's Release file does
# not give (yet). Asked of the command given (apt_preview or apt-get), apt_preview by default.
index_targets() {
    LC_ALL=C.UTF-8 "${1:-apt_preview}" indextargets | awk -F': ' -v OFS='|' '
        function f(x) { return x == "" ? "-" : x }
        function out() { if (uri != "") print f(of), f(rel), uri, f(origin), f(label), f(code), f(arch), f(id)
                         of = rel = uri = origin = label = code = arch = id = "" }
        /^$/ { out(); next }
        $1 == "Target-Of" { of = $2 } $1 == "Release" { rel = $2 } $1 == "Repo-URI" { uri = $2 }
        $1 == "Origin" { origin = $2 } $1 == "Label" { label = $2 } $1 == "Codename" { code = $2 }
        $1 == "Architecture" { arch = $2 } $1 == "Identifier" { id = $2 }
        END { out() }'
}

# The first of Debian's own suites (the release, -updates, -security, backports) for which apt has
# an amd64 package list and no i386 one; empty when there is none. Others' suites may lack i386 on
# purpose (Docker's archive has none). Asked of the command given, as index_targets.
suite_without_i386() {
    index_targets "$1" | awk -F'|' '$1 == "deb" && ($4 == "Debian" || $4 == "Debian Backports") && $8 == "Packages" {
            has[$6 "|" $7] = 1; if ($7 == "amd64") suites[$6] = 1 }
        END { for (suite in suites) if (!has[suite "|i386"]) { print suite; exit } }'
}

# Why a Debian suite has no i386 list: its own source names the architectures it gives, without
# i386, or (by default) the list could not be fetched. One line for the user either way.
no_i386_reason() {
    for file in "$root"/etc/apt/sources.list.d/*.sources "$root"/etc/apt/sources.list.d/*.list "$root"/etc/apt/sources.list; do
        [ -e "$file" ] || continue
        # deb822 stanzas (Suites:, Architectures:) and one-line entries (deb [arch=…] URI SUITE …).
        awk -v suite="$1" '
            function lower_key(line) { return tolower(substr(line, 1, index(line, ":"))) }
            function check() { if (index(" " suites " ", " " suite " ") && arches != "" && !index(" " arches " ", " i386 ")) found = 1
                               suites = arches = "" }
            /^[ \t]*$/ { check(); next }
            lower_key($0) == "suites:" { suites = substr($0, 8) }
            lower_key($0) == "architectures:" { arches = substr($0, 15) }
            $1 == "deb" && $2 ~ /^\[/ { options = $0; sub(/^deb[ \t]*\[/, "", options); sub(/\].*/, "", options)
                                        rest = $0; sub(/^[^]]*\][ \t]*/, "", rest); split(rest, words, /[ \t]+/)
                                        if (match(options, /arch=[^ \t]*/)) { arches = substr(options, RSTART + 5, RLENGTH - 5)
                                                                               gsub(",", " ", arches) }
                                        suites = words[2]; check() }
            END { check(); exit !found }' "$file" && {
            printf '%s %s' "$1's source in ${file#"$root"} lists its architectures (Architectures: or arch=) without" \
                "i386, so apt has no i386 packages from it: add i386 there, then run make again"
            return
        }
    done
    printf '%s' "$1's i386 list could not be fetched (the mirror may be mid-sync); run make again later"
}

# Stops before anything is installed when one of Debian's suites lacks its i386 list, for the
# command given (apt_preview or apt-get): i386 twins must come from the suite their amd64
# packages come from. One more update first, after a pause, for a mirror that was mid-sync.
require_i386_lists() {
    [ -n "$wants_i386" ] || return 0
    gap=$(suite_without_i386 "$1")
    [ -n "$gap" ] || return 0
    say "apt has no i386 list for $gap; updating once more in 10 seconds"
    sleep 10
    if [ "$1" = apt-get ]; then apt_root update || true; else apt_preview update >"$work/update.log" 2>&1 || true; fi
    gap=$(suite_without_i386 "$1")
    [ -n "$gap" ] || return 0
    undo_unused
    fail "$(no_i386_reason "$gap")"
}

# apt in a folder of its own: the machine's sources and status, but its own lists and cache, and
# i386 beside the native architecture. Asking it changes nothing on the machine, needs no root,
# and tells before anything is added whether apt can read a new source.
apt_preview() {
    LC_ALL=C.UTF-8 apt-get -q -o Dir::State::Lists="$work/lists" -o Dir::Cache="$work/cache" \
        -o Dir::Etc::SourceParts="$work/sources.list.d" -o APT::Sandbox::User="$(id -un)" \
        ${add_i386:+-o APT::Architectures::="$native" -o APT::Architectures::=i386} "$@"
}

# Whether apt (the command given) has read bookworm-backports' Release file.
backports_readable() {
    [ -n "$(index_targets "$1" 2>/dev/null | awk -F'|' '$6 == "bookworm-backports"')" ]
}

preview_install() {
    apt_preview -s install "$@" >>"$work/plan" 2>&1 || {
        cat "$work/plan" >&2
        fail "apt cannot install what make $target needs (above): is the archive reachable? Nothing was changed"
    }
}

backports_source() {
    printf '%s\n' "# Added by Flagpost's install-deps.sh for qemu 8 or later; safe to remove." \
        "Types: deb" "URIs: $1" "Suites: $codename-backports" "Components: main" \
        "Signed-By: /usr/share/keyrings/debian-archive-keyring.gpg"
}

# Prints the first of the files given that another program holds locked; false when none is.
# apt and dpkg lock with fcntl, which flock(1) does not meet, and say so in the user's language;
# F_GETLK asks the kernel without taking a lock, so that apt, trying again, never meets one of
# ours. Every struct flock starts with l_type: the zeros after it ask about the whole file.
held_lock() {
    # shellcheck disable=SC2016  # perl's variables
    $sudo perl -MFcntl -e 'for (@ARGV) {
        next unless m{^/} && -f $_ && sysopen(my $file, $_, O_RDONLY | O_NONBLOCK);
        my $lock = pack("s", F_WRLCK) . "\0" x 62;
        fcntl($file, F_GETLK, $lock) && unpack("s", $lock) != F_UNLCK and print("$_\n"), exit 0;
    } exit 1' -- "$@"
}

# apt-get as root, in the user's language (dpkg's questions too). A failure is a lock when another
# program holds one that the call takes, where this machine's apt configuration puts it: apt's
# words tell nothing (LANGUAGE outranks even LC_ALL=C.UTF-8, and after its own wait apt names the
# lock only in its progress). `update` takes the lists' lock, `install` dpkg's two, then the
# archives' (apt 2.6 and 3.0). apt waits up to 2 minutes for dpkg's by itself, but not for the
# others: a call that met one of those is made again here, for 2 minutes more.
apt_root() {
    # apt-config quotes its answers for the shell; where it gives none, Debian's own places stand.
    dpkg_status=/var/lib/dpkg/status apt_lists=/var/lib/apt/lists/ apt_archives=/var/cache/apt/archives/
    eval "$(apt-config shell dpkg_status Dir::State::status/f apt_lists Dir::State::lists/d \
        apt_archives Dir::Cache::archives/d)"
    waited=0
    while :; do
        status=0
        # shellcheck disable=SC2086
        $sudo env ${frontend:+DEBIAN_FRONTEND=$frontend} apt-get -q -o DPkg::Lock::Timeout=120 "$@" || status=$?
        [ "$status" -ne 0 ] || return 0
        if [ "$1" = update ]; then
            lock=$(held_lock "${apt_lists}lock") || return "$status"
        elif held_lock "${dpkg_status%/*}/lock-frontend" "${dpkg_status%/*}/lock" >/dev/null; then
            break
        else
            lock=$(held_lock "${apt_archives}lock") || return "$status"
        fi
        [ "$waited" -lt 120 ] || break
        [ "$waited" -gt 0 ] || say "another program holds $lock; trying again for 2 minutes"
        sleep 5
        waited=$((waited + 5))
    done
    undo_unused
    fail "apt is locked by another program (above) and stayed so for 2 minutes; run make again when it is done"
}

apt_install() {
    apt_root install --no-remove $assume_yes "$@" || {
        undo_unused
        fail "apt-get install $* failed (above); nothing was removed"
    }
}

register_qemu() {
    # Installing qemu may have brought an entry of its own (qemu-user-binfmt, systemd-binfmt).
    entry=$(i386_binfmt_entry)
    if [ -n "$entry" ] && grep -qx enabled "$entry"; then
        say "binfmt_misc's ${entry##*/} appeared while qemu was installed; using it"
        return
    fi
    qemu_path=${1#"$root"}
    say "registering $qemu_path for i386 programs with binfmt_misc; it lasts until the next reboot"
    [ -e "$binfmt/register" ] || $sudo mount -t binfmt_misc binfmt_misc "$binfmt"
    # i386 executables and shared objects (ld.so itself is one); F opens the emulator now, so
    # that it serves chroots and containers as well.
    printf '%s' ":qemu-i386:M::\\x7fELF\\x01\\x01\\x01\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x00\\x02\\x00\\x03\\x00:\\xff\\xff\\xff\\xff\\xff\\xfe\\xfe\\x00\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xff\\xfe\\xff\\xff\\xff:$qemu_path:F" |
        $sudo tee "$binfmt/register" >/dev/null
}

# What this run added and no longer needs, taken away again before it stops: the i386
# architecture while no i386 package is installed, and the backports source while nothing
# installed came from it.
undo_unused() {
    if [ -n "${added_i386:-}" ] && [ -z "$(dpkg-query -W -f='${db:Status-Status} ${Architecture}\n' 2>/dev/null |
            awk '$1 == "installed" && $2 == "i386"')" ]; then
        $sudo dpkg --remove-architecture i386 && say "the i386 architecture that this run added was removed again"
    fi
    if [ -n "${wrote_source:-}" ] && [ "$(dpkg-query -W -f='${db:Status-Status}' "$qemu_package" 2>/dev/null)" != installed ]; then
        $sudo rm -f "$root$source_file" && say "$source_file, which this run wrote, was removed again"
    fi
    added_i386="" wrote_source=""
}

# Inno Setup's compiler, ISCC.exe, which Debian does not package: npm's innosetup package,
# exactly as package-lock.json pins it (version and integrity hash), into build/npm, never the
# source tree. The lockfile names no registry: npm uses the one this machine is configured for.
install_npm_packages() {
    npm_dir=$source_dir/build/npm
    if cmp -s "$source_dir/examples/inno/package-lock.json" "$npm_dir/package-lock.json" &&
        [ -e "$npm_dir/node_modules/innosetup/bin/ISCC.exe" ]; then
        return 0
    fi
    say "installing Inno Setup's compiler from npm into $npm_dir"
    rm -rf "$npm_dir"
    mkdir -p "$npm_dir"
    cp "$source_dir/examples/inno/package.json" "$source_dir/examples/inno/package-lock.json" "$npm_dir/"
    # Its cache stays in build/ too, not in ~/.npm.
    (cd "$npm_dir" && npm ci --cache "$npm_dir/.cache" --ignore-scripts --no-audit --no-fund --loglevel=error) ||
        fail "npm could not install package-lock.json's innosetup into $npm_dir: is the registry that npm is" \
             "configured for reachable (npm config get registry)? Only the Inno Setup example and the tests" \
             "that run it need it: make build and make run do not"
}

# apt's own answer, in a folder of its own, before anything changes: whether it can read a
# new source, and what it would install and remove.
preview_packages() {
    mkdir -p "$work/lists/partial" "$work/cache/archives/partial" "$work/sources.list.d"
    # The machine's lists as they are, so that a list that this update cannot fetch is missing
    # here as it would be there: apt keeps the old lists of a suite that it could not fetch whole.
    for list in "$root"/var/lib/apt/lists/*; do
        [ ! -f "$list" ] || [ "${list##*/}" = lock ] || cp -p "$list" "$work/lists/"
    done
    for file in "$root"/etc/apt/sources.list.d/*.list "$root"/etc/apt/sources.list.d/*.sources; do
        [ ! -e "$file" ] || cp "$file" "$work/sources.list.d/"
    done
    apt_preview update >"$work/update.log" 2>&1 || {
        cat "$work/update.log" >&2
        say "apt-get update reported errors (above)"
    }
    require_i386_lists apt_preview
    case $qemu_release in
        bookworm-backports)
            if [ -z "$(index_targets | awk -F'|' '$1 == "deb" && $6 == "bookworm-backports"')" ]; then
                # Debian's own archive for this release, as apt reads its Release file, over the
                # network: not Docker's or another vendor's, not a CD, a deb-src or a local file: one.
                archive=$(index_targets | awk -F'|' '$1 == "deb" && $4 == "Debian" &&
                    $5 == "Debian" && $6 == "bookworm" && $3 ~ /^https?:\/\// { print $3; exit }')
                [ -n "$archive" ] || fail "apt uses no Debian archive for bookworm over http or https that it" \
                    "can read, so bookworm-backports (for qemu 8 or later) has no address to come from"
                source_file=/etc/apt/sources.list.d/flagpost-bookworm-backports.sources
                backports_source "$archive" >"$work/sources.list.d/${source_file##*/}"
                apt_preview update >"$work/update.log" 2>&1 || true
                backports_readable apt_preview || {
                    cat "$work/update.log" >&2
                    fail "apt cannot read bookworm-backports from $archive (above); nothing was changed"
                }
            fi ;;
    esac
    # Two installs, as below: qemu from its release, then the rest from the machine's own.
    : >"$work/plan"
    [ -z "$qemu_package" ] || preview_install --no-install-recommends "$qemu_package${qemu_release:+/$qemu_release}"
    # shellcheck disable=SC2086
    [ -z "$missing" ] || preview_install $missing
    removed=$(sed -n 's/^Remv \([^ ]*\).*/\1/p' "$work/plan" | tr '\n' ' ')
    if [ -n "$removed" ]; then
        fail "apt would remove ${removed% } to install what make $target needs: it conflicts with Debian's" \
             "packages (a WineHQ Wine does, with Debian's wine). Nothing was changed. Remove it yourself if you" \
             "can do without it, or build Flagpost in a container or on another machine"
    fi
}

work=$(mktemp -d)
# dash runs no EXIT trap when a signal ends it, so Ctrl-C is caught as well.
# shellcheck disable=SC2064  # the folder is known now
trap "rm -rf '$work'" EXIT
# shellcheck disable=SC2064
trap "rm -rf '$work'; exit 130" INT TERM HUP

# What this target needs of the machine, found without changing anything.
add_i386="" qemu_package="" qemu_release="" register="" emulated="" added_i386="" wrote_source=""
if [ "$target" = run ] || [ "$target" = test ]; then
    entry=$(i386_binfmt_entry)
    interpreter=$([ -z "$entry" ] || sed -n 's/^interpreter //p' "$entry")
    probe_status=0
    i386_probe || probe_status=$?
    if [ "$probe_status" -eq 2 ]; then
        say "cannot tell whether this kernel runs i386 programs: not even a shell script runs from" \
            "$source_dir/build (126: mounted noexec?); qemu is neither installed nor registered"
    elif [ "$probe_status" -eq 0 ]; then
        # A registered emulator takes i386 programs before the kernel does.
        if [ -n "$entry" ] && grep -qx enabled "$entry"; then
            emulated=yes
            if [ "$(qemu_major "$root$interpreter")" -lt 8 ] 2>/dev/null; then
                fail "binfmt_misc's ${entry##*/} hands i386 programs to $interpreter, older than qemu 8, under" \
                     "which Wine cannot run. Point it at qemu 8 or later, or remove it (echo -1 > $entry) if" \
                     "this kernel runs i386 programs itself"
            fi
        fi
    elif [ -n "$entry" ] && grep -qx enabled "$entry"; then
        fail "this kernel runs no i386 programs, and binfmt_misc's ${entry##*/} (enabled, $interpreter) does not" \
             "run them either. Point it at qemu 8 or later, or remove it (echo -1 > $entry) and run make again:" \
             "this set-up then registers one of its own"
    elif [ -n "$entry" ]; then
        fail "this kernel runs no i386 programs, and binfmt_misc's ${entry##*/} ($(head -n 1 "$entry"), $interpreter)" \
             "does not run them either. Enable it (echo 1 > $entry) if it points at qemu 8 or later, or remove" \
             "it (echo -1 > $entry) and run make again: this set-up then registers one of its own"
    else
        emulated=yes register=yes
        if [ -z "$(usable_qemu)" ]; then
            # 7.2 is bookworm's own, so there it comes from bookworm's backports: qemu-user
            # alone, a static program, so that nothing else is taken from there (its
            # qemu-user-static and qemu-user-binfmt would bring backports' systemd along);
            # trixie's own is 10.0.
            qemu_package='qemu-user'
            [ "$(os_field VERSION_CODENAME)" != bookworm ] || qemu_release=bookworm-backports
        fi
    fi
    # The Wine tree's loader is built with the host's gcc; only Debian 13's loader needs it.
    [ -z "$emulated" ] || [ "$(os_field VERSION_CODENAME)" = bookworm ] || packages="$packages gcc"
fi
missing=$(missing_packages)
wants_i386=""
case $missing in
    *:i386*) wants_i386=yes
             dpkg --print-foreign-architectures 2>/dev/null | grep -qx i386 || add_i386=yes ;;
esac

if [ -n "$missing$qemu_package$register" ]; then
    # Only a machine this was made for, and only with the rights to change it.
    id=$(os_field ID) codename=$(os_field VERSION_CODENAME)
    if [ "$id" != debian ]; then
        case " $(os_field ID_LIKE) " in
            *" debian "*)
                base=$(os_field DEBIAN_CODENAME)
                fail "this is $(os_field PRETTY_NAME), based on Debian ${base:-$(cat "$root/etc/debian_version" 2>/dev/null)}," \
                     "not Debian itself; the set-up knows only Debian 12 (bookworm) and 13 (trixie)." \
                     "Install these yourself:$missing" ;;
            *) fail "this is ${id:-a system without /etc/os-release}, not Debian; the set-up knows only Debian 12" \
                    "(bookworm) and 13 (trixie)" ;;
        esac
    fi
    case $codename in
        bookworm | trixie) ;;
        *) fail "this is Debian '$codename'; the set-up knows only Debian 12 (bookworm) and 13 (trixie)." \
                "Install these yourself:$missing" ;;
    esac
    native=$(dpkg --print-architecture)
    [ "$native" = amd64 ] || fail "this machine is $native; Flagpost is built and tested on amd64 only"
    if [ "$(id -u)" -eq 0 ]; then
        sudo=""
    elif command -v sudo >/dev/null; then
        sudo=sudo
    else
        fail "changing the system needs root, and there is no sudo. As root, run: sh '$here/install-deps.sh' $target"
    fi
    if [ -n "$sudo" ] && [ ! -t 0 ] && ! sudo -n true 2>/dev/null; then
        fail "sudo needs a password, and there is no terminal to ask on; run make on a terminal, or as root." \
             "Nothing was changed"
    fi
    # On a terminal apt asks its own question; elsewhere (CI, a script) it runs unattended.
    if [ -t 0 ]; then frontend="" assume_yes=""; else frontend=noninteractive assume_yes=-y; fi

    source_file=""
    [ -z "$missing$qemu_package" ] || preview_packages

    say "make $target needs these changes to this machine (maintainers/building.md says how to undo each):"
    [ -z "$add_i386" ] || echo "  - dpkg --add-architecture i386, for Wine's 32-bit side"
    [ -z "$source_file" ] || echo "  - a new apt source, $source_file: bookworm-backports from $archive, for qemu 8 or later"
    if [ -n "$missing$qemu_package" ]; then
        echo "  - apt-get update"
        installs=${qemu_package:+ $qemu_package${qemu_release:+/$qemu_release} (this kernel runs no i386 programs)}
        [ -z "$missing" ] || installs="${installs:+$installs, then}$missing"
        echo "  - apt-get install$installs"
        # apt's simulation: "Inst NAME (NEW …)" for a new package, "Inst NAME [OLD] (NEW …)" for an upgrade.
        new=$(sed -n 's/^Inst \([^ ]*\) (.*/\1/p' "$work/plan" | awk '!seen[$0]++')
        upgraded=$(sed -n 's/^Inst \([^ ]*\) \[.*/\1/p' "$work/plan" | awk '!seen[$0]++')
        echo "    apt installs these $(printf '%s' "$new" | grep -c .) new packages (the ones to remove again):"
        printf '%s\n' "$new" | tr '\n' ' ' | fold -s -w 96 | sed 's/^/      /'
        echo
        if [ -n "$upgraded" ]; then
            echo "    and upgrades these $(printf '%s' "$upgraded" | grep -c .), which the new ones need at a newer" \
                 "version (an i386 library and its amd64 twin must be of one version; never to remove):"
            printf '%s\n' "$upgraded" | tr '\n' ' ' | fold -s -w 96 | sed 's/^/      /'
            echo
        fi
    fi
    if [ -n "$register" ]; then
        echo "  - a binfmt_misc entry qemu-i386 that hands i386 programs to qemu, until the next reboot:" \
             "this kernel runs no i386 programs"
        [ -e "$binfmt/register" ] || echo "    (mounting binfmt_misc on /proc/sys/fs/binfmt_misc first)"
    fi
    if [ -t 0 ] && [ -n "$add_i386$source_file$register" ]; then
        printf 'install-deps: go ahead? [y/N] '
        read -r answer
        case $answer in [yY]*) ;; *) fail "nothing was changed" ;; esac
    fi

    if [ -n "$add_i386" ]; then
        $sudo dpkg --add-architecture i386
        added_i386=yes
    fi
    if [ -n "$source_file" ]; then
        # 0644 whatever the umask: apt, run as a user, reads it too.
        backports_source "$archive" >"$work/backports.sources"
        $sudo install -m 0644 "$work/backports.sources" "$root$source_file"
        wrote_source=yes
    fi
    if [ -n "$missing$qemu_package" ]; then
        if ! apt_root update; then
            # Some other source may fail for a while (a mirror in sync); ours must be readable.
            if [ -n "$source_file" ] && ! backports_readable apt-get; then
                undo_unused
                fail "apt-get update could not read $source_file (above), so it was removed again"
            fi
            updated_with_errors=yes
        fi
        require_i386_lists apt-get
        [ -z "${updated_with_errors:-}" ] ||
            say "apt-get update reported errors (above), but every list this needs is there; going on"
    fi
    # qemu before any i386 package: their maintainer scripts are i386 programs. Without its
    # recommendations: qemu-user-binfmt would have systemd-binfmt register some thirty other
    # architectures' emulators at every boot.
    [ -z "$qemu_package" ] || apt_install --no-install-recommends "$qemu_package${qemu_release:+/$qemu_release}"
    if [ -n "$register" ]; then
        qemu=$(usable_qemu)
        [ -n "$qemu" ] || fail "no qemu-i386 of version 8 or later after installing $qemu_package"
        register_qemu "$qemu"
        i386_probe || fail "i386 programs still do not run through $qemu"
    fi
    # shellcheck disable=SC2086
    [ -z "$missing" ] || apt_install $missing
fi

# What the project makes for itself, in the checkout; the tests' made-up machine has none of it.
[ -z "$root" ] || exit 0
case $target in run | test) sh "$source_dir/wine/make-tree.sh" ;; esac
[ "$target" != test ] || install_npm_packages
