#!/usr/bin/python3
"""setup/install-deps.sh on made-up machines: a folder that stands for / (FLAGPOST_SETUP_ROOT)
and stubs of apt-get, dpkg, dpkg-query, sudo and id, the only commands on PATH besides a few
text tools. The stubs log every call; nothing of the real machine is asked or changed.

    setup_test.py INSTALL_DEPS_SH
"""
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SCRIPT = sys.argv.pop(1)
TOOLS = ["sh", "dirname", "sed", "tr", "head", "chmod", "cut", "grep", "awk", "cat", "env", "tee", "cp",
         "mkdir", "rm", "mktemp", "fold", "od", "cksum", "ln", "mv", "readlink", "cmp"]
DEBIAN_12 = 'PRETTY_NAME="Debian GNU/Linux 12 (bookworm)"\nID=debian\nVERSION_CODENAME=bookworm\n'
STUBS = {
    "sudo": 'echo "sudo $*" >>"$FLAGPOST_SETUP_ROOT/log"; exec "$@"',
    "id": 'case $1 in -u) echo "$FAKE_UID" ;; *) echo someone ;; esac',
    "dpkg": 'echo "dpkg $*" >>"$FLAGPOST_SETUP_ROOT/log"; [ "$1" != --print-architecture ] || echo "$FAKE_ARCH"',
    "dpkg-query": 'exit 1',
    # indextargets: the machine's targets, then bookworm-backports where a source for it was
    # written into the folder that the call names; -s install: an Inst line for each package.
    "apt-get": r'''echo "apt-get $*" >>"$FLAGPOST_SETUP_ROOT/log"
parts=$FLAGPOST_SETUP_ROOT/etc/apt/sources.list.d
for a; do case $a in Dir::Etc::SourceParts=*) parts=${a#*=} ;; esac; done
case " $* " in
    *" indextargets "*)
        cat "$FLAGPOST_SETUP_ROOT/indextargets"
        [ ! -e "$parts/flagpost-bookworm-backports.sources" ] || printf '\n%s\n%s\n%s\n%s\n%s\n%s\n' "Target-Of: deb" \
            "Release: bookworm-backports" "Repo-URI: $(sed -n 's/^URIs: //p' "$parts/flagpost-bookworm-backports.sources")" \
            "Origin: Debian" "Label: Debian" "Codename: bookworm-backports" ;;
    *" -s install "*)
        for p; do
            [ "${after:-}" != -t ] || { after=; continue; }
            case $p in -* | install | *=*) after=$p ;; *) echo "Inst $p (1.0 Debian:12)" ;; esac
        done
        cat "$FLAGPOST_SETUP_ROOT/removes" 2>/dev/null || true ;;
    *" install "*qemu-user*)
        printf '#!/bin/sh\necho "qemu-i386 version 10.0.2"\n' >"$FLAGPOST_SETUP_ROOT/usr/bin/qemu-i386"
        chmod +x "$FLAGPOST_SETUP_ROOT/usr/bin/qemu-i386" ;;
esac''',
}
# The kernel: i386 programs run natively, or once binfmt_misc hands them to qemu.
I386_PROBE = r'''[ ! -e "$FLAGPOST_SETUP_ROOT/i386-native" ] || exit 42
grep -q '^:qemu-i386:' "$FLAGPOST_SETUP_ROOT/proc/sys/fs/binfmt_misc/register" 2>/dev/null && exit 42
exit 126'''


def target(of, release, uri, origin="Debian", label="Debian", codename=None):
    return (f"Target-Of: {of}\nRelease: {release}\nRepo-URI: {uri}\nOrigin: {origin}\nLabel: {label}\n"
            f"Codename: {codename or release}\n\n")


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
        for name, body in dict(STUBS, **{"../i386-probe": I386_PROBE}).items():
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

    def install_deps(self, uid="0", arch="amd64", target="run"):
        """(exit code, output, the stubs' log of calls) of install-deps.sh TARGET, without a terminal."""
        env = {"PATH": os.path.join(self.root, "bin"), "FLAGPOST_SETUP_ROOT": self.root, "FAKE_UID": uid,
               "FAKE_ARCH": arch, "TMPDIR": self.root}
        done = subprocess.run(["sh", SCRIPT, target], env=env, stdin=subprocess.DEVNULL, capture_output=True,
                              text=True, timeout=60)
        calls = []
        if os.path.exists(os.path.join(self.root, "log")):
            with open(os.path.join(self.root, "log")) as log:
                calls = log.read().splitlines()
        return done.returncode, done.stdout + done.stderr, calls

    def changes(self, calls):
        return [call for call in calls if call.startswith(("sudo", "dpkg --add")) or " install " in call and " -s " not in call]

    def test_without_i386_qemu_comes_from_debian_archive_and_runs_before_any_i386_package(self):
        code, output, calls = self.install_deps(uid="1000")
        self.assertEqual(0, code, output)
        with open(os.path.join(self.root, "etc/apt/sources.list.d/flagpost-bookworm-backports.sources")) as file:
            self.assertIn(f"URIs: {DEBIAN_ARCHIVE}\nSuites: bookworm-backports\n", file.read())
        installs = [call for call in calls if call.startswith("apt-get") and " install " in call and " -s " not in call]
        self.assertTrue(all(" --no-remove " in call for call in installs), installs)
        self.assertEqual(2, len(installs), installs)
        self.assertTrue(installs[0].endswith(" -y qemu-user/bookworm-backports"), installs[0])
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

    def test_machines_it_cannot_serve_stop_with_one_line_and_change_nothing(self):
        lmde = 'PRETTY_NAME="LMDE 6 (faye)"\nID=linuxmint\nID_LIKE=debian\nVERSION_CODENAME=faye\nDEBIAN_CODENAME=bookworm\n'
        cases = [({"uid": "1000"}, ("bin/sudo", None), "there is no sudo. As root, run: sh '"),
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
