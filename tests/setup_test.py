#!/usr/bin/python3
"""setup/install-deps.sh on made-up machines: a folder that stands for / (FLAGPOST_SETUP_ROOT)
and stubs of apt-get, apt-config, dpkg, dpkg-query, sudo and id, the only commands on PATH besides
a few text tools and perl. The stubs log every call; nothing of the real machine is asked or
changed.

    setup_test.py BUILD_PATHS     (setup/install-deps.sh of the source; see common/build_paths.py)
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

import build_paths

SCRIPT = os.path.join(build_paths.from_arguments()["source"], "setup", "install-deps.sh")
TOOLS = ["sh", "dirname", "sed", "tr", "head", "chmod", "cut", "grep", "awk", "cat", "env", "tee", "cp",
         "mkdir", "rm", "mktemp", "fold", "od", "cksum", "ln", "mv", "readlink", "cmp", "install", "perl"]
DEBIAN_12 = 'PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\nID=debian\nVERSION_CODENAME=bookworm\n'
STUBS = {
    # -n: whether it may go on without asking for a password.
    "sudo": '[ "$1" != -n ] || { [ ! -e "$FLAGPOST_SETUP_ROOT/sudo-wants-password" ]; exit; }\n'
            'echo "sudo $*" >>"$FLAGPOST_SETUP_ROOT/log"; exec "$@"',
    # Logged, not slept; where the test asks, another program's lock goes away meanwhile.
    "sleep": r"""echo "sleep $*" >>"$FLAGPOST_SETUP_ROOT/log"
[ -e "$FLAGPOST_SETUP_ROOT/release-when-waiting" ] || exit 0
: >"$FLAGPOST_SETUP_ROOT/release"
n=0; while [ -e "$FLAGPOST_SETUP_ROOT/held" ] && [ "$n" -lt 100000 ]; do n=$((n + 1)); done""",
    "id": 'case $1 in -u) echo "$FAKE_UID" ;; *) echo someone ;; esac',
    "dpkg": 'echo "dpkg $*" >>"$FLAGPOST_SETUP_ROOT/log"; [ "$1" != --print-architecture ] || echo "$FAKE_ARCH"',
    "dpkg-query": 'exit 1',
    # apt's folders, in the made-up machine.
    "apt-config": r"""[ "$1" = shell ] || exit 100
shift
while [ $# -ge 2 ]; do
    case $2 in
        Dir::State::status/f) value=$FLAGPOST_SETUP_ROOT/var/lib/dpkg/status ;;
        Dir::State::lists/d) value=$FLAGPOST_SETUP_ROOT/var/lib/apt/lists/ ;;
        Dir::Cache::archives/d) value=$FLAGPOST_SETUP_ROOT/var/cache/apt/archives/ ;;
        *) value= ;;
    esac
    [ -z "$value" ] || printf "%s='%s'\n" "$1" "$(printf '%s' "$value" | sed "s/'/'\\\\''/g")"
    shift 2
done""",
    # indextargets: the machine's targets (after the real update, indextargets.real where there
    # is one), then bookworm-backports where a source for it was written into the folder that the
    # call names; -s install: an Inst line for each package, and the upgrades file. update and
    # install fail as apt does on a lock that another program holds (the file "held" names it),
    # in the language that gettext picks, and with update-fails and install-fails.
    "apt-get": r"""echo "apt-get $*" >>"$FLAGPOST_SETUP_ROOT/log"
parts=$FLAGPOST_SETUP_ROOT/etc/apt/sources.list.d targets=$FLAGPOST_SETUP_ROOT/indextargets
for a; do case $a in Dir::Etc::SourceParts=*) parts=${a#*=} ;; esac; done
[ "$parts" != "$FLAGPOST_SETUP_ROOT/etc/apt/sources.list.d" ] || [ ! -e "$targets.real" ] || targets=$targets.real
held=$(cat "$FLAGPOST_SETUP_ROOT/held" 2>/dev/null) || held=
lists=$FLAGPOST_SETUP_ROOT/var/lib/apt/lists
for a; do case $a in Dir::State::Lists=*) lists=${a#*=} ;; esac; done
# gettext's language: LANGUAGE first, unless the locale (LC_ALL, LC_MESSAGES, LANG) is C itself.
locale=${LC_ALL:-${LC_MESSAGES:-${LANG:-C}}}
case $locale in C | POSIX) language=C ;; *) language=${LANGUAGE:-$locale} ;; esac
speak() { case $language in de*) echo "$1" ;; *) echo "$2" ;; esac; }
# dpkg's frontend lock, which apt waits for (its progress, a line each second), or a folder's lock.
locked() {
    de="Sperre $held konnte nicht erlangt werden. Sie wird von Prozess 4242 (apt-get) gehalten."
    en="Could not get lock $held. It is held by process 4242 (apt-get)"
    if [ "$1" = frontend ]; then
        speak "Warten auf Sperre für Zwischenspeicher: $de…" "Waiting for cache lock: $en..."
        busy="wird sie von einem anderen Prozess verwendet?"
        speak "E: Erlangen der Sperre für die Dpkg-Oberfläche ($held) nicht möglich; $busy" \
            "E: Unable to acquire the dpkg frontend lock ($held), is another process using it?" >&2
    else
        speak "E: $de" "E: $en" >&2
        speak "E: Das Verzeichnis ${held%lock} kann nicht gesperrt werden." \
            "E: Unable to lock directory ${held%lock}" >&2
    fi
    exit 100
}
case " $* " in
    *" indextargets "*)
        cat "$targets"
        for arch in amd64 i386; do
            [ ! -e "$parts/flagpost-bookworm-backports.sources" ] || printf '\n%s\n%s\n%s\n%s\n%s\n%s\n%s\n%s\n' \
                "Target-Of: deb" "Release: bookworm-backports" \
                "Repo-URI: $(sed -n 's/^URIs: //p' "$parts/flagpost-bookworm-backports.sources")" \
                "Origin: Debian Backports" "Label: Debian Backports" "Codename: bookworm-backports" \
                "Architecture: $arch" "Identifier: Packages"
        done ;;
    *" -s install "*)
        for p; do
            [ "${after:-}" != -t ] || { after=; continue; }
            case $p in -* | install | *=*) after=$p ;; *) echo "Inst $p (1.0 Debian:12)" ;; esac
        done
        cat "$FLAGPOST_SETUP_ROOT/upgrades" "$FLAGPOST_SETUP_ROOT/removes" 2>/dev/null || true ;;
    *" update "*)
        [ "$held" != "${lists%/}/lock" ] || locked lists
        if [ -e "$FLAGPOST_SETUP_ROOT/update-fails" ]; then
            de="Sie wurden ignoriert oder alte an ihrer Stelle benutzt."
            speak "E: Einige Indexdateien konnten nicht heruntergeladen werden. $de" \
                "E: Some index files failed to download. They have been ignored, or old ones used instead." >&2
            exit 100
        fi ;;
    *" install "*)
        case $held in */dpkg/lock-frontend) locked frontend ;; */archives/lock) locked archives ;; esac
        if [ -e "$FLAGPOST_SETUP_ROOT/install-fails" ]; then
            for p; do :; done
            speak "E: Für Paket »$p« existiert kein Installationskandidat." \
                "E: Package '$p' has no installation candidate" >&2
            exit 100
        fi
        case " $* " in *qemu-user*)
            printf '#!/bin/sh\necho "qemu-i386 version 10.0.2"\n' >"$FLAGPOST_SETUP_ROOT/usr/bin/qemu-i386"
            chmod +x "$FLAGPOST_SETUP_ROOT/usr/bin/qemu-i386"
            entry=$FLAGPOST_SETUP_ROOT/proc/sys/fs/binfmt_misc/qemu-i386
            [ ! -e "$FLAGPOST_SETUP_ROOT/qemu-brings-entry" ] || printf 'enabled\ninterpreter /usr/bin/qemu-i386\n%s\n' \
                "magic 7f454c4601010100000000000000000002000300" >"$entry" ;;
        esac ;;
esac""",
}
# The kernel: i386 programs run natively, or once binfmt_misc hands them to qemu; the shell gives
# 126 for a program that the kernel refuses, and for any program in a folder mounted noexec.
I386_PROBE = r"""[ ! -e "$FLAGPOST_SETUP_ROOT/noexec" ] || exit 126
[ ! -e "$FLAGPOST_SETUP_ROOT/i386-native" ] || exit 42
grep -q '^:qemu-i386:' "$FLAGPOST_SETUP_ROOT/proc/sys/fs/binfmt_misc/register" 2>/dev/null && exit 42
grep -qx enabled "$FLAGPOST_SETUP_ROOT/proc/sys/fs/binfmt_misc/qemu-i386" 2>/dev/null && exit 42
exit 126"""
NATIVE_PROBE = '[ ! -e "$FLAGPOST_SETUP_ROOT/noexec" ] || exit 126'
# Another program's lock on a file, as apt and dpkg take it (fcntl's, on the whole file), named in
# the file "held" while it lasts; it goes when the file "release" appears.
HOLDER = r"""import fcntl, os, sys, time
lock, root = sys.argv[1:]
with open(lock, "a") as file:
    fcntl.lockf(file, fcntl.LOCK_EX)
    with open(os.path.join(root, "held"), "w") as held:
        held.write(lock)
    print(flush=True)
    while not os.path.exists(os.path.join(root, "release")):
        time.sleep(0.01)
os.remove(os.path.join(root, "held"))
"""
# As a German desktop session sets them: LANGUAGE outranks even LC_ALL=C.UTF-8.
GERMAN = {"LANG": "de_DE.UTF-8", "LANGUAGE": "de_DE:de"}


def target(of, release, uri, origin="Debian", label="Debian", codename=None, archs=("amd64", "i386")):
    """apt's index targets of one source line: a package list for each architecture."""
    return "".join(f"Target-Of: {of}\nRelease: {release}\nRepo-URI: {uri}\nOrigin: {origin}\nLabel: {label}\n"
                   f"Codename: {codename or release}\nArchitecture: {arch}\nIdentifier: Packages\n\n" for arch in archs)


# Before Debian's own archive: Docker's, a CD, a deb-src stanza and a local mirror, all for bookworm.
DEBIAN_ARCHIVE = "http://debian-mirror.invalid/debian/"
TARGETS = (target("deb", "bookworm", "https://docker.invalid/linux/debian/", "Docker", "Docker CE")
           + target("deb", "bookworm", "cdrom:[Debian GNU/Linux 12.8.0 _Bookworm_]/")
           + target("deb-src", "bookworm", "http://source-mirror.invalid/debian/")
           + target("deb", "bookworm", "file:/srv/mirror/debian/")
           + target("deb", "bookworm", DEBIAN_ARCHIVE)
           + target("deb", "bookworm-security", "http://security.invalid/debian-security/", label="Debian-Security"))


class InstallDeps(unittest.TestCase):

    def setUp(self):
        self.root = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, self.root)
        for folder in ("bin", "etc/apt/sources.list.d", "proc/sys/fs/binfmt_misc", "usr/bin"):
            os.makedirs(os.path.join(self.root, folder))
        for tool in TOOLS:
            os.symlink(shutil.which(tool), os.path.join(self.root, "bin", tool))
        for name, body in dict(STUBS, **{"../i386-probe": I386_PROBE, "../native-probe": NATIVE_PROBE}).items():
            self.write("bin/" + name, "#!/bin/sh\n" + body + "\n", mode=0o755)
        self.write("proc/sys/fs/binfmt_misc/register", "")
        self.write("etc/os-release", DEBIAN_12)
        self.write("indextargets", TARGETS)

    def write(self, path, text, mode=0o644):
        """Writes a file of the made-up machine; None removes it."""
        path = os.path.join(self.root, path)
        if text is None:
            return os.remove(path)
        with open(path, "w") as file:
            file.write(text)
        os.chmod(path, mode)

    def install_deps(self, uid="0", arch="amd64", target="run", env=None, umask=0o022):
        """(exit code, output, the stubs' log of calls) of install-deps.sh TARGET, without a terminal."""
        env = dict({"PATH": os.path.join(self.root, "bin"), "FLAGPOST_SETUP_ROOT": self.root, "FAKE_UID": uid,
                    "FAKE_ARCH": arch, "TMPDIR": self.root}, **(env or {}))
        done = subprocess.run(["sh", SCRIPT, target], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, timeout=60, preexec_fn=lambda: os.umask(umask))
        calls = []
        if os.path.exists(os.path.join(self.root, "log")):
            with open(os.path.join(self.root, "log")) as log:
                calls = log.read().splitlines()
        return done.returncode, done.stdout + done.stderr, calls

    def hold_lock(self, path):
        """Another program's lock on a file of the made-up machine, until the test ends (or the set-up
        waits, with release-when-waiting)."""
        path = os.path.join(self.root, path)
        os.makedirs(os.path.dirname(path), exist_ok=True)
        holder = subprocess.Popen([sys.executable, "-c", HOLDER, path, self.root], stdout=subprocess.PIPE, text=True)
        self.addCleanup(holder.stdout.close)
        self.addCleanup(holder.wait)
        self.addCleanup(holder.kill)
        self.assertEqual("\n", holder.stdout.readline(), "the lock was not taken")

    def changes(self, calls):
        return [call for call in calls if call.startswith(("sudo", "dpkg --add")) or " install " in call and " -s " not in call]

    def test_without_i386_qemu_comes_from_debian_archive_and_runs_before_any_i386_package(self):
        self.write("upgrades", "Inst systemd [252.30-1~deb12u2] "
                   "(252.31-1~deb12u1 Debian-Security:12/oldstable-security [amd64])\n")
        code, output, calls = self.install_deps(uid="1000", umask=0o077)
        self.assertEqual(0, code, output)
        source = os.path.join(self.root, "etc/apt/sources.list.d/flagpost-bookworm-backports.sources")
        with open(source) as file:
            self.assertIn(f"URIs: {DEBIAN_ARCHIVE}\nSuites: bookworm-backports\n", file.read())
        self.assertEqual(0o644, os.stat(source).st_mode & 0o777, "apt run as a user could not read the source")
        # Upgrades are listed apart from what is new, which the documented undo removes.
        new, upgraded = output.split("(the ones to remove again):\n")[1].split("never to remove):\n")
        self.assertNotIn("systemd", new)
        self.assertEqual("systemd", upgraded.split("\n")[0].strip())
        installs = [call for call in calls if call.startswith("apt-get") and " install " in call and " -s " not in call]
        self.assertTrue(all(" --no-remove " in call for call in installs), installs)
        self.assertEqual(2, len(installs), installs)
        self.assertTrue(installs[0].endswith(" -y --no-install-recommends qemu-user/bookworm-backports"), installs[0])
        self.assertNotIn(":i386", installs[0])
        self.assertIn("wine32:i386", installs[1])
        self.assertIn("registering /usr/bin/qemu-i386 for i386 programs with binfmt_misc", output)
        self.assertLess(calls.index("sudo tee " + os.path.join(self.root, "proc/sys/fs/binfmt_misc/register")),
                        calls.index(next(call for call in calls if call.startswith("sudo") and "wine32:i386" in call)))
        self.assertLess(output.index("make run needs these changes"), output.index("registering"), "no plan first")

    def test_backports_that_apt_knows_already_add_no_source(self):
        self.write("indextargets", TARGETS + target("deb", "bookworm-backports", DEBIAN_ARCHIVE))
        code, output, calls = self.install_deps()
        self.assertEqual(0, code, output)
        self.assertEqual([], os.listdir(os.path.join(self.root, "etc/apt/sources.list.d")))
        self.assertNotIn("a new apt source", output)

    def test_a_debian_suite_without_its_i386_list_stops_before_anything_is_installed(self):
        security = target("deb", "bookworm-security", "http://security.invalid/debian-security/",
                          label="Debian-Security", archs=("amd64",))
        without_i386 = TARGETS.replace(target("deb", "bookworm-security", "http://security.invalid/debian-security/",
                                              label="Debian-Security"), security)
        line = "bookworm-security's i386 list could not be fetched (the mirror may be mid-sync); run make again later"
        for seen_by in ("indextargets", "indextargets.real"):
            with self.subTest(seen_by=seen_by):
                self.setUp()
                self.write(seen_by, without_i386)
                code, output, calls = self.install_deps()
                self.assertEqual(1, code, output)
                self.assertEqual(line, output.strip().splitlines()[-1].removeprefix("install-deps: "))
                self.assertEqual([], [call for call in calls if " install " in call and " -s " not in call])
                added = "dpkg --add-architecture i386" in calls
                self.assertEqual(added, "dpkg --remove-architecture i386" in calls, "the architecture stayed behind")
                self.assertEqual(added, seen_by == "indextargets.real", calls)
                self.assertEqual([], os.listdir(os.path.join(self.root, "etc/apt/sources.list.d")))
        # A source that gives amd64 alone says so; Docker's archive, which has no i386, is no fault.
        self.setUp()
        self.write("indextargets", without_i386)
        self.write("etc/apt/sources.list.d/debian.sources", "Types: deb\nURIs: http://security.invalid/debian-security/\n"
                   "Suites: bookworm-security\nComponents: main\nArchitectures: amd64\n")
        code, output, calls = self.install_deps()
        self.assertEqual(1, code, output)
        self.assertIn("bookworm-security's source in ", output.strip().splitlines()[-1])
        self.assertIn("lists its architectures (Architectures: or arch=) without i386, so apt has no i386 packages", output)
        self.setUp()
        self.write("indextargets", TARGETS + target("deb", "bookworm", "https://docker2.invalid/linux/debian/",
                                                    "Docker", "Docker CE", archs=("amd64",)))
        code, output, calls = self.install_deps()
        self.assertEqual(0, code, output)

    def test_what_the_kernel_and_apt_answer_is_read_as_it_is_meant(self):
        # An enabled i386 entry that arrives with qemu is used, not registered over.
        self.write("qemu-brings-entry", "")
        code, output, calls = self.install_deps()
        self.assertEqual(0, code, output)
        self.assertIn("binfmt_misc's qemu-i386 appeared while qemu was installed; using it", output)
        self.assertEqual([], [call for call in calls if "binfmt_misc/register" in call])
        # A probe that cannot run at all (a noexec checkout) tells nothing: no qemu, no entry.
        self.setUp()
        self.write("noexec", "")
        code, output, calls = self.install_deps()
        self.assertIn("cannot tell whether this kernel runs i386 programs", output)
        self.assertEqual([], [call for call in calls if "qemu" in call or "binfmt_misc" in call], output)

    def test_a_lock_is_told_by_the_lock_whatever_apt_says(self):
        gave_up = "apt is locked by another program (above) and stayed so for 2 minutes; run make again when it is done"

        def tries(calls, command):
            return [call for call in calls if "DPkg::Lock::Timeout" in call and f" {command} " in call + " "]

        def waited(calls):
            return sum(int(call.split()[1]) for call in calls if call.startswith("sleep "))

        # dpkg's, for which apt has waited 2 minutes by itself: not once more.
        self.hold_lock("var/lib/dpkg/lock-frontend")
        code, output, calls = self.install_deps(target="build", env=GERMAN)
        self.assertEqual(1, code, output)
        self.assertIn("Erlangen der Sperre für die Dpkg-Oberfläche", output)
        self.assertEqual(gave_up, output.strip().splitlines()[-1].removeprefix("install-deps: "))
        self.assertEqual((1, 0), (len(tries(calls, "install")), waited(calls)), calls)
        # The lists' lock, which update meets, and the archives', which install meets, are waited for.
        for lock, command in (("var/lib/apt/lists/lock", "update"), ("var/cache/apt/archives/lock", "install")):
            with self.subTest(lock=lock):
                self.setUp()
                self.hold_lock(lock)
                code, output, calls = self.install_deps(target="build", env=GERMAN)
                self.assertEqual(1, code, output)
                self.assertEqual(gave_up, output.strip().splitlines()[-1].removeprefix("install-deps: "))
                self.assertIn(f"another program holds {os.path.join(self.root, lock)}; trying again", output)
                self.assertEqual(120, waited(calls), calls)
                self.assertGreater(len(tries(calls, command)), 1, calls)
        # One that goes while the set-up waits lets it go on.
        self.setUp()
        self.hold_lock("var/cache/apt/archives/lock")
        self.write("release-when-waiting", "")
        code, output, calls = self.install_deps(target="build", env=GERMAN)
        self.assertEqual(0, code, output)
        self.assertEqual(2, len(tries(calls, "install")), calls)

    def test_a_failure_that_is_no_lock_is_not_waited_for(self):
        # Nothing held.
        self.write("install-fails", "")
        code, output, calls = self.install_deps(target="build", env=GERMAN)
        self.assertEqual(1, code, output)
        last = output.strip().splitlines()[-1]
        self.assertTrue(last.startswith("install-deps: apt-get install make "), last)
        self.assertTrue(last.endswith(" failed (above); nothing was removed"), last)
        self.assertEqual(1, len([call for call in calls if "DPkg::Lock::Timeout" in call and " install " in call]))
        self.assertEqual([], [call for call in calls if call.startswith("sleep")])
        # Only dpkg's lock held (unattended-upgrades at work), which update does not take: a mirror out
        # of reach is no lock.
        self.setUp()
        self.write("update-fails", "")
        self.hold_lock("var/lib/dpkg/lock-frontend")
        code, output, calls = self.install_deps(target="build", env=GERMAN)
        self.assertIn("apt-get update reported errors (above), but every list this needs is there; going on", output)
        self.assertEqual(1, len([call for call in calls if "DPkg::Lock::Timeout" in call and " update" in call]))

    def test_machines_it_cannot_serve_stop_with_one_line_and_change_nothing(self):
        lmde = 'PRETTY_NAME="LMDE 6 (faye)"\nID=linuxmint\nID_LIKE=debian\nVERSION_CODENAME=faye\nDEBIAN_CODENAME=bookworm\n'
        cases = [({"uid": "1000"}, ("bin/sudo", None), "there is no sudo. As root, run: sh '"),
                 ({"uid": "1000"}, ("sudo-wants-password", ""), "sudo needs a password, and there is no terminal"),
                 ({"arch": "arm64"}, None, "this machine is arm64; Flagpost is built and tested on amd64 only"),
                 ({}, ("etc/os-release", lmde), "this is LMDE 6 (faye), based on Debian bookworm, not Debian itself"),
                 ({}, ("etc/os-release", "ID=fedora\n"), "this is fedora, not Debian"),
                 ({}, ("removes", "Remv winehq-stable [9.0.0.0~bookworm-1]\n"), "apt would remove winehq-stable"),
                 ({}, ("proc/sys/fs/binfmt_misc/qemu-i386", "disabled\ninterpreter /usr/bin/qemu-i386-static\n"
                       "magic 7f454c4601010100000000000000000002000300\n"),
                  "binfmt_misc's qemu-i386 (disabled, /usr/bin/qemu-i386-static) does not run them either")]
        for options, made_up, message in cases:
            with self.subTest(message=message):
                self.setUp()
                if made_up:
                    self.write(*made_up)
                code, output, calls = self.install_deps(**options)
                self.assertEqual(1, code, output)
                self.assertIn(message, output)
                self.assertEqual([], self.changes(calls), output)
                self.assertEqual([], os.listdir(os.path.join(self.root, "etc/apt/sources.list.d")))


if __name__ == "__main__":
    unittest.main(verbosity=2)
