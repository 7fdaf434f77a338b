#!/usr/bin/python3
"""The release zip: its entries, its sums, a signature that verifies, and release/verify_release.py,
which rebuilds the whole zip from the tagged commit and compares it byte for byte.

    release_test.py BUILD_PATHS     (see common/build_paths.py)

Releases are made from a temporary clone in which the checkout's working files, edits included,
are committed and tagged v<VERSION>. The zips that the cases only read are made once, unsigned
and signed, from that clone; the cases that make dist fail, or build another commit, make their
own. That a build gives the same exe and zip in any folder and at any time is checked in one
place, reproducible_build.sh; here a zip is compared only with what it records of itself.
"""
import hashlib
import os
import re
import shutil
import subprocess
import tempfile
import unittest
import zipfile

import build_paths
import wine_sh

import yaml

PATHS = build_paths.from_arguments()
VERSION, SOURCE = PATHS["version"], PATHS["source"]
HERE = os.path.dirname(os.path.abspath(__file__))
ENTRIES = ["flagpost.exe", "flagpost-status.exe", "flagpost-check.cmd", "LICENSE", "README.md", "docs/installers.md",
           "docs/verifying.md", "docs/on-windows.md", "docs/about.png", "docs/icon.png", "examples/nsis/flagpost-example.nsi",
           "examples/wix/flagpost-example.wxs", "examples/batch/flagpost-example-install.cmd",
           "examples/inno/flagpost-example.iss", "examples/payload/readme.txt", "BUILDINFO", "SHA256SUMS"]
# A Markdown link or picture's target: [text](target), ![text](target).
LINK_TARGET = re.compile(r"\]\(([^)\s]+)\)")
PASSWORD = "release-test-Pa55"
EPOCH = 1765000000                                   # 2025-12-06 05:46:40 UTC, an even-second date
TAG = f"v{VERSION}"
# A fixed author and date, so that the commit, and with it BUILDINFO, is the same on every run.
GIT = ["git", "-c", "user.name=Release Test", "-c", "user.email=release@test.invalid"]
GIT_ENV = dict(os.environ, GIT_AUTHOR_DATE=f"@{EPOCH} +0000", GIT_COMMITTER_DATE=f"@{EPOCH} +0000")
COMPILER = "g++-mingw-w64-i686-posix"               # the first package that BUILDINFO records
# A boot of a fresh prefix under emulation takes a minute or two; a hang must still end with its output.
WINE_TIMEOUT = 300


def run(*command, env=None, cwd=None):
    done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True, env=env, cwd=cwd)
    return done.returncode, done.stdout + done.stderr


def wine(*arguments):
    return wine_sh.run(PATHS, "prefix_release", *arguments, timeout=WINE_TIMEOUT)


def read(path):
    with open(path, "rb") as file:
        return file.read()


def zip_entry(zip_path, name):
    with zipfile.ZipFile(zip_path) as archive:
        return archive.read(name)


def git(*arguments):
    code, output = run(*GIT, "-C", RELEASE, *arguments, env=GIT_ENV)
    if code != 0:
        raise AssertionError(f"git {arguments[0]}: {output}")
    return output.strip()


def dist(out, **environment):
    """(exit code, output) of make dist's recipe run on RELEASE into `out`."""
    env = {k: v for k, v in os.environ.items() if not k.startswith(("SIGN_", "DPKG_"))}
    env.update(environment)
    return run("/usr/bin/python3", os.path.join(SOURCE, "release", "dist.py"), RELEASE, out, env=env)


def release_zip(out):
    return os.path.join(out, f"flagpost-{VERSION}-win32.zip")


def make_certificate(folder):
    """(certificate, PKCS#12 file, password file): a throwaway code-signing certificate."""
    key, cert, pfx = (os.path.join(folder, name) for name in ("key.pem", "cert.pem", "test.pfx"))
    for command in (["openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                     "-days", "2", "-subj", "/CN=Flagpost release test", "-addext", "extendedKeyUsage=codeSigning"],
                    ["openssl", "pkcs12", "-export", "-out", pfx, "-inkey", key, "-in", cert,
                     "-passout", "pass:" + PASSWORD]):
        code, output = run(*command)
        if code != 0:
            raise AssertionError(f"{' '.join(command[:2])}: {output}")
    password_file = os.path.join(folder, "password")
    with open(password_file, "w") as file:
        file.write(PASSWORD + "\n")
    return cert, pfx, password_file


def setUpModule():
    """RELEASE: a clone whose HEAD, tagged, holds the working files of SOURCE. UNSIGNED and SIGNED:
    the zips made from it, for the cases that only read them; SIGNED_OUTPUT: what make dist said."""
    global RELEASE, CERT, PFX, PASSWORD_FILE, UNSIGNED, SIGNED, SIGNED_OUTPUT
    work = tempfile.mkdtemp()
    unittest.addModuleCleanup(shutil.rmtree, work)
    RELEASE = os.path.join(work, "release clone")
    code, output = run("sh", os.path.join(HERE, "commit_checkout.sh"), SOURCE, RELEASE, env=GIT_ENV)
    if code != 0:
        raise AssertionError(output)
    git("tag", "-a", TAG, "-m", f"Flagpost {VERSION}")
    CERT, PFX, PASSWORD_FILE = make_certificate(work)
    unsigned, signed = os.path.join(work, "unsigned"), os.path.join(work, "signed")
    code, output = dist(unsigned)
    if code != 0:
        raise AssertionError(f"make dist: {output}")
    code, SIGNED_OUTPUT = dist(signed, SIGN_PFX=PFX, SIGN_PASSWORD_FILE=PASSWORD_FILE)
    if code != 0:
        raise AssertionError(f"make dist, signed: {SIGNED_OUTPUT}")
    UNSIGNED, SIGNED = release_zip(unsigned), release_zip(signed)


class ZipCase(unittest.TestCase):
    """A work folder, and in it the folder that make dist writes to."""

    def setUp(self):
        work = tempfile.TemporaryDirectory()
        self.addCleanup(work.cleanup)
        self.work = work.name
        self.out = os.path.join(self.work, "dist")
        self.zip = release_zip(self.out)

    def dist(self, **environment):
        return dist(self.out, **environment)

    def copy_zip(self, zip_path):
        """A copy of one of the module's zips under the release's name in self.out, to be changed
        or to have files left beside it, which the other cases never see."""
        os.makedirs(self.out, exist_ok=True)
        shutil.copy(zip_path, self.zip)
        return self.zip

    def unpack(self, zip_path, folder):
        unpacked = os.path.join(self.work, folder)
        with zipfile.ZipFile(zip_path) as archive:
            archive.extractall(unpacked)
            return unpacked, archive.infolist()


class Release(ZipCase):
    def test_unsigned_zip_holds_its_entries_and_sums_that_verify(self):
        unpacked, entries = self.unpack(UNSIGNED, "unsigned")

        self.assertEqual(ENTRIES, [entry.filename for entry in entries])
        self.assertEqual(read(os.path.join(SOURCE, "LICENSE")), read(os.path.join(unpacked, "LICENSE")))
        # The zip's documents stand alone: every link and picture that is not a web address leads
        # to a file of the unpacked zip. The README is the repository's, cut before its part for
        # those who build Flagpost.
        dangling = [(document, target) for document in ENTRIES if document.endswith(".md")
                    for target in LINK_TARGET.findall(read(os.path.join(unpacked, document)).decode())
                    if "://" not in target and not os.path.isfile(
                        os.path.join(unpacked, os.path.dirname(document), target.split("#")[0]))]
        self.assertEqual([], dangling, "links that lead nowhere in the unpacked zip")
        readme = read(os.path.join(SOURCE, "README.md"))
        self.assertEqual(readme[:readme.index(b"<!-- The release zip's README.md ends above this line")],
                         read(os.path.join(unpacked, "README.md")))
        code, output = run("sha256sum", "-c", "--strict", "SHA256SUMS", cwd=unpacked)
        self.assertEqual(0, code, output)
        self.assertEqual(sorted(ENTRIES[:-1]), sorted(line[:-len(": OK")] for line in output.splitlines()
                                                      if line.endswith(": OK")), output)
        for entry in entries:
            self.assertEqual(((2025, 12, 6, 5, 46, 40), 0o100644, b"", zipfile.ZIP_STORED),
                             (entry.date_time, entry.external_attr >> 16, entry.extra, entry.compress_type),
                             entry.filename)

    def test_signed_exes_verify_strip_back_and_still_run(self):
        self.assertNotIn(PASSWORD, SIGNED_OUTPUT)
        unpacked, _ = self.unpack(SIGNED, "signed")
        self.assertEqual(0, run("sha256sum", "-c", "--strict", "SHA256SUMS", cwd=unpacked)[0], "sums of the signed zip")
        # BUILDINFO records each exe as built, before its signature.
        buildinfo = read(os.path.join(unpacked, "BUILDINFO")).decode()
        for name in ("flagpost.exe", "flagpost-status.exe"):
            exe = os.path.join(unpacked, name)
            self.assertNotIn(f" {hashlib.sha256(read(exe)).hexdigest()} ", buildinfo, f"{name} in the zip is not signed")
            code, output = run("osslsigncode", "verify", "-CAfile", CERT, "-in", exe)
            self.assertEqual(0, code, output)
            self.assertIn("Signature verification: ok", output)
            stripped = os.path.join(self.work, "stripped-" + name)
            code, output = run("osslsigncode", "remove-signature", "-in", exe, "-out", stripped)
            self.assertEqual(0, code, output)
            unsigned = read(stripped)
            self.assertIn(f"\n {hashlib.sha256(unsigned).hexdigest()} {len(unsigned)} {name}\n", buildinfo,
                          f"removing the signature does not give back the {name} that BUILDINFO records")

        # The test program starts the programs that lie beside it: here, the signed ones.
        tests = os.path.join(unpacked, os.path.basename(PATHS["flagpost_tests"]))
        shutil.copy(PATHS["flagpost_tests"], tests)
        self.addCleanup(wine, "--shutdown")
        code, output = wine("--restart")
        self.assertEqual(0, code, output)
        code, output = wine(tests, "--gtest_filter=EndToEnd.SetsAFreshMarkerInThe32BitViewOnlyThatASecondRunLeavesAsItIs:"
                                   "Status.TakesNoArgumentButHelp")
        self.assertEqual(0, code, output)
        self.assertIn("[  PASSED  ] 2 tests.", output.splitlines(), output)

    def test_bad_input_stops_with_a_message_and_leaves_no_zip(self):
        wrong_password = os.path.join(self.work, "wrong")
        with open(wrong_password, "w") as file:
            file.write("not-" + PASSWORD)
        # dpkg's database in two states where it cannot say which compiler built the zip: one it
        # cannot read, and one that still lists the compiler, removed but for its configuration.
        unreadable, removed = os.path.join(self.work, "unreadable dpkg"), os.path.join(self.work, "removed dpkg")
        os.makedirs(os.path.join(unreadable, "status"))
        os.mkdir(removed)
        with open(os.path.join(removed, "status"), "w") as file:
            file.write(f"Package: {COMPILER}\nStatus: deinstall ok config-files\nArchitecture: amd64\n"
                       "Maintainer: Nobody <nobody@test.invalid>\nVersion: 12.2.0-14+25.2\n"
                       "Description: a compiler removed but for its configuration\n\n")
        cases = [({"SIGN_PFX": PFX, "SIGN_PASSWORD_FILE": wrong_password}, "osslsigncode sign"),
                 ({"SIGN_PFX": PFX + ".missing", "SIGN_PASSWORD_FILE": PASSWORD_FILE}, "SIGN_PFX: no such file"),
                 ({"SIGN_PFX": PFX}, "signing needs both SIGN_PFX and SIGN_PASSWORD_FILE"),
                 ({"DPKG_ADMINDIR": unreadable}, f"dpkg-query -W {COMPILER} failed"),
                 ({"DPKG_ADMINDIR": removed}, f"{COMPILER} is not installed"),
                 ({}, "uncommitted changes to tracked files")]
        for environment, message in cases:
            with self.subTest(environment=environment):
                self.copy_zip(UNSIGNED)             # an earlier zip, which a failed release removes too
                if not environment:
                    with open(os.path.join(RELEASE, "src", "marker.cpp"), "a") as file:
                        file.write("// an edit not yet committed\n")
                    self.addCleanup(git, "checkout", "--", "src/marker.cpp")
                code, output = self.dist(**environment)
                self.assertNotEqual(0, code, output)
                self.assertIn("make dist: " + message, output)
                self.assertNotIn(PASSWORD, output)
                self.assertFalse(os.path.exists(self.zip), "a zip is left under the release's name")
        # A shipped document whose link leads to a paper the zip does not hold; an older zip of
        # the release's name goes too.
        git("checkout", "--", "src/marker.cpp")
        with open(self.zip, "wb") as file:
            file.write(b"an older zip")
        with open(os.path.join(RELEASE, "docs", "installers.md"), "a") as file:
            file.write("\nSee [the papers](../maintainers/building.md).\n")
        git("commit", "-q", "-a", "-m", "a link that leads nowhere in the zip")
        try:
            code, output = self.dist()
        finally:
            git("reset", "-q", "--hard", "HEAD~1")
        self.assertNotEqual(0, code, output)
        self.assertIn("make dist: docs/installers.md links to ../maintainers/building.md: the zip does not hold it",
                      output)
        self.assertFalse(os.path.exists(self.zip), "a zip is left under the release's name")


def central_entry(data, name):
    """The offset of `name`'s entry in the zip's central directory."""
    at = data.find(b"PK\x01\x02")
    while at >= 0:
        length = int.from_bytes(data[at + 28:at + 30], "little")
        if data[at + 46:at + 46 + length] == name.encode():
            return at
        at = data.find(b"PK\x01\x02", at + 46)
    raise AssertionError(f"{name} is not in the central directory")


class VerifyRelease(ZipCase):
    """make verify-release: 0 verified, 1 not what its tagged source makes, 2 could not check."""

    def verify(self, zip_path, env=None):
        worktrees = run("git", "-C", RELEASE, "worktree", "list")
        scratch = os.path.join(self.work, "tmp")
        os.makedirs(scratch, exist_ok=True)
        code, output = run("/usr/bin/python3", os.path.join(SOURCE, "release", "verify_release.py"), zip_path, RELEASE,
                           env=dict(env or os.environ, TMPDIR=scratch))
        self.assertEqual(worktrees, run("git", "-C", RELEASE, "worktree", "list"), "a worktree was left behind")
        self.assertEqual([], os.listdir(scratch), "a temporary folder was left behind")
        self.assertNotIn("Traceback", output)
        last = output.strip().splitlines()[-1]
        self.assertTrue(last.startswith("verify-release: "), output)
        return code, last, output

    def repack(self, zip_path=None, **changes):
        """The zip, with entries replaced (bytes) or left out (None), and sums recomputed."""
        with zipfile.ZipFile(zip_path or self.zip) as archive:
            entries = {name: archive.read(name) for name in archive.namelist() if name != "SHA256SUMS"}
        entries.update(changes)
        entries = {name: data for name, data in entries.items() if data is not None}
        sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n" for name, data in entries.items())
        path = os.path.join(self.work, f"repacked-{len(os.listdir(self.work))}.zip")
        with zipfile.ZipFile(path, "w") as archive:
            for name, data in list(entries.items()) + [("SHA256SUMS", sums.encode())]:
                archive.writestr(name, data)
        return path

    def patched(self, zip_path, name, offset, value):
        """The zip with one 16-bit field of `name`'s central directory entry set to `value`."""
        data = bytearray(read(zip_path))
        at = central_entry(data, name) + offset
        data[at:at + 2] = value.to_bytes(2, "little")
        path = f"{zip_path}.patched-{offset}"
        with open(path, "wb") as file:
            file.write(data)
        return path

    def buildinfo(self, zip_path=None):
        with zipfile.ZipFile(zip_path or self.zip) as archive:
            return archive.read("BUILDINFO").decode()

    def test_a_tagged_release_verifies_whatever_the_verifiers_setup_signed_or_not(self):
        unsigned = self.copy_zip(UNSIGNED)
        self.assertIn(f"Git-Tag: {TAG}\n", self.buildinfo(unsigned))
        home = os.path.join(self.work, "home")
        os.mkdir(home)
        with open(os.path.join(home, ".gitconfig"), "w") as file:
            file.write("[core]\n\tautocrlf = true\n\teol = crlf\n")
        stray = dict(os.environ, HOME=home, CXXFLAGS="-fno-inline", LDFLAGS="-Wl,--insert-timestamp",
                     CMAKE_BUILD_TYPE="Debug", CMAKE_GENERATOR="Ninja", SOURCE_DATE_EPOCH="1")
        code, last, output = self.verify(unsigned, env=stray)
        self.assertEqual((0, "verify-release: VERIFIED"), (code, last[:24]), output)

        # The signed zip with a signature that osslsigncode still calls good, whose bytes are not
        # what signing wrote.
        signed = os.path.join(self.work, "signed.zip")
        shutil.copy(SIGNED, signed)
        exe = bytearray(zip_entry(signed, "flagpost.exe"))
        header = int.from_bytes(exe[0x3C:0x40], "little")
        directory = header + 24 + 96 + 4 * 8
        offset, size = (int.from_bytes(exe[directory + i:directory + i + 4], "little") for i in (0, 4))
        junk = bytes(exe) + b"JUNKJUNK"
        junk = junk[:directory + 4] + (size + 8).to_bytes(4, "little") + junk[directory + 8:offset] \
            + (size + 8).to_bytes(4, "little") + junk[offset + 4:]
        tampered = self.repack(signed, **{"flagpost.exe": junk})
        code, last, output = self.verify(tampered)
        self.assertEqual(1, code, output)
        self.assertIn("flagpost.exe differs from the rebuild", last)
        self.assertIn("carries an Authenticode signature", output)
        # The rebuild is left beside it to compare. With the signature moved onto it, it is the
        # signed zip byte for byte: the very comparison that verifies the signed zip itself.
        kept = tampered[:-len(".zip")] + ".rebuilt.zip"
        self.assertIn(f"the rebuilt zip is kept as {kept}\n", output)
        self.assertEqual(read(signed), read(kept))

    def test_hostile_zips_get_a_verdict_and_never_a_traceback(self):
        self.copy_zip(UNSIGNED)
        exe, check_script, licence = (zip_entry(self.zip, name) for name in
                                      ("flagpost.exe", "flagpost-check.cmd", "LICENSE"))
        changed = bytearray(exe)
        changed[-1] ^= 0x01                                 # the last section's padding: still a PE
        recorded = f"{hashlib.sha256(exe).hexdigest()} {len(changed)} flagpost.exe"
        self.assertIn(recorded, self.buildinfo())
        buildinfo = self.buildinfo().replace(recorded, f"{hashlib.sha256(changed).hexdigest()} {len(changed)} "
                                                       "flagpost.exe")

        huge = os.path.join(self.work, "huge.zip")
        shutil.copy(self.zip, huge)
        with zipfile.ZipFile(huge, "a", zipfile.ZIP_DEFLATED) as archive:
            archive.writestr("zeros.bin", bytes(64 << 20))
        corrupt = os.path.join(self.work, "corrupt.zip")
        with zipfile.ZipFile(corrupt, "w", zipfile.ZIP_DEFLATED) as archive:
            archive.writestr("LICENSE", licence)
            entry = archive.getinfo("LICENSE")
        data = bytearray(read(corrupt))
        middle = entry.header_offset + 30 + len("LICENSE") + entry.compress_size // 2
        data[middle:middle + 8] = b"\xff" * 8
        with open(corrupt, "wb") as file:
            file.write(data)
        not_a_zip = os.path.join(self.work, "not-a.zip")
        with open(not_a_zip, "wb") as file:
            file.write(os.urandom(4096))

        cases = [
            ("an edited check script", self.repack(**{"flagpost-check.cmd": check_script +
                                                      b"reg add HKLM\\Software\\Evil /f\r\n"}),
             1, "flagpost-check.cmd differs from the rebuild"),
            ("an extra entry", self.repack(**{"evil.cmd": b"@echo off\r\n"}), 1, "the zip holds 'evil.cmd'"),
            ("a changed exe", self.repack(**{"flagpost.exe": bytes(changed), "BUILDINFO": buildinfo.encode()}),
             1, "flagpost.exe differs from the rebuild"),
            ("an entry far over the bound", huge, 2, "zeros.bin is 67108864 bytes unpacked, more than 1 MiB"),
            ("a corrupt deflate stream", corrupt, 2, "the zip is not readable"),
            ("an encrypted entry", self.patched(self.zip, "LICENSE", 8, 0x0001), 2, "LICENSE is encrypted"),
            ("an unknown method", self.patched(self.zip, "LICENSE", 10, 99), 2, "compressed with method 99"),
            ("no BUILDINFO", self.repack(BUILDINFO=None), 2, "the zip holds no BUILDINFO"),
            ("not a zip", not_a_zip, 2, "the zip is not readable"),
            ("no such file", os.path.join(self.work, "no-such.zip"), 2, "cannot read"),
        ]
        for what, path, expected, message in cases:
            with self.subTest(what):
                code, last, output = self.verify(path)
                self.assertEqual(expected, code, output)
                self.assertIn(message, last)

    def test_only_the_commit_that_its_tag_names_verifies(self):
        tagged = os.path.join(self.work, "tagged.zip")
        shutil.copy(UNSIGNED, tagged)
        tagged_commit = git("rev-parse", "HEAD")
        self.addCleanup(git, "tag", "-f", "-a", TAG, "-m", f"Flagpost {VERSION}", tagged_commit)
        self.addCleanup(git, "reset", "-q", "--hard", tagged_commit)
        git("commit", "-q", "--allow-empty", "-m", "after the release")
        code, output = self.dist()
        self.assertEqual(0, code, output)
        self.assertIn("a test build, which never verifies as a release", output)

        code, last, output = self.verify(self.zip)
        self.assertEqual(2, code, output)
        self.assertIn("BUILDINFO names no release tag", last)
        git("tag", "-f", "-a", TAG, "-m", "moved")
        code, last, output = self.verify(tagged)
        self.assertEqual(1, code, output)
        self.assertIn(f"{TAG} names commit {git('rev-parse', 'HEAD')}, and BUILDINFO says", last)
        self.assertNotIn("rebuilding", output)
        git("tag", "-d", TAG)
        code, last, output = self.verify(tagged)
        self.assertEqual(2, code, output)
        self.assertIn(f"this clone has no tag {TAG}: fetch the project's tags first (git fetch origin tag {TAG})", last)

    def test_a_recorded_toolchain_that_differs_is_not_checked_and_nothing_is_built(self):
        self.copy_zip(UNSIGNED)
        here = run("dpkg-query", "-W", "-f=${Version}", COMPILER)[1]
        recorded = f" {COMPILER} (= {here})"
        self.assertIn(recorded, self.buildinfo(), f"BUILDINFO names no {COMPILER} {here}")
        cases = [("another version", recorded.replace(here, "99.0-other"),
                  f"{COMPILER}: built with 99.0-other, here {here}"),
                 ("a package not installed here", f"{recorded},\n no-such-package-here (= 1.0)",
                  "no-such-package-here: built with 1.0, here not installed")]
        for what, replacement, difference in cases:
            with self.subTest(what):
                code, last, output = self.verify(self.repack(BUILDINFO=self.buildinfo().replace(recorded, replacement)
                                                             .encode()))
                self.assertEqual(2, code, output)
                self.assertIn(difference, output)
                self.assertIn("NOT CHECKED: 1 build package(s) or machine field(s) differ", last)
                self.assertNotIn("rebuilding", output)


class Workflow(unittest.TestCase):
    """The GitHub workflow cannot run here; it can at least parse and name only what exists."""

    def test_workflow_names_what_exists_and_releases_only_from_tags(self):
        with open(os.path.join(SOURCE, ".github", "workflows", "ci.yml")) as file:
            workflow = yaml.safe_load(file)
        jobs = workflow["jobs"]
        steps = [step for job in jobs.values() for step in job["steps"]]
        commands = "\n".join(step.get("run", "") for step in steps)
        with open(os.path.join(SOURCE, "Makefile")) as file:
            targets = set(re.findall(r"^([\w-]+):", file.read(), re.MULTILINE))
        named = {t for line in re.findall(r"^\s*make ([\w -]+?)(?: ZIP=.*)?$", commands, re.MULTILINE)
                 for t in line.split()}
        self.assertTrue(named and named <= targets, f"make targets {named} not all in {targets}")

        # Built on Debian 12 by a job of its own: a failure on 13 must not skip the Windows runs.
        self.assertEqual(("windows-programs", "debian:12"), (jobs["windows"]["needs"], jobs["windows-programs"]["container"]))
        # The folder that the suite runs the cases from, as CMake names it, is the one that goes to Windows.
        self.assertIn(os.path.relpath(PATHS["windows_folder"], SOURCE) + "/",
                      [step["with"]["path"] for step in jobs["windows-programs"]["steps"] if "with" in step])
        # A hang (a prompt nobody answers) ends in minutes, not after GitHub's six hours.
        self.assertEqual([], [name for name, job in jobs.items() if "timeout-minutes" not in job])
        # The Windows job calls our programs and checks nothing itself; no skip passes there.
        self.assertEqual("1", jobs["windows"]["env"]["FLAGPOST_REQUIRE_WINDOWS"])
        windows = jobs["windows"]["steps"]
        long_runs = [step["run"] for step in windows if len(step.get("run", "").splitlines()) > 5]
        self.assertEqual([], long_runs, "a run block of more than 5 lines in the Windows job")
        # First the premises; then a step for each group that CMake wrote a command line for, and for
        # no other, each with a time limit of its own, and every step after the first group's run
        # whatever failed before it, all within the job's limit; the reports kept whatever happened.
        groups = [(index, match[1]) for index, step in enumerate(windows)
                  if (match := re.fullmatch(r"\.\\flagpost_tests\.exe --gtest_flagfile=groups\\(\w+)\.txt", step.get("run", "")))]
        written = os.listdir(os.path.join(PATHS["windows_folder"], "groups"))
        self.assertEqual(sorted(written), sorted(name + ".txt" for _, name in groups))
        premises = next(index for index, step in enumerate(windows) if "--premises" in step.get("run", ""))
        self.assertLess(premises, groups[0][0])
        after = windows[groups[0][0]:]
        self.assertEqual([], [step for step in after if step.get("if") not in ("success() || failure()", "always()")])
        self.assertEqual([], [name for index, name in groups if "timeout-minutes" not in windows[index]])
        self.assertLess(sum(step.get("timeout-minutes", 0) for step in windows), jobs["windows"]["timeout-minutes"])
        self.assertIn("windows/reports/", [step["with"]["path"] for step in after if "upload-artifact" in step.get("uses", "")])

        # A release zip only for a v* tag, checked again in a fresh Debian 12 container.
        tagged = "startsWith(github.ref, 'refs/tags/v')"
        for step in jobs["build"]["steps"]:
            if "make dist" in step.get("run", "") or step.get("with", {}).get("name") == "release":
                self.assertIn(tagged, step.get("if", ""), step)
        verify = jobs["verify"]
        self.assertEqual((tagged, "debian:12", ["build"]), (verify["if"], verify["container"], [verify["needs"]]))
        self.assertIn("make verify-release ZIP=", "\n".join(step.get("run", "") for step in verify["steps"]))


if __name__ == "__main__":
    unittest.main(verbosity=2)
