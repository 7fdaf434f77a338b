#!/usr/bin/python3
"""The release zip: its entries, its sums, a signature that strips back to the built exe, and
tools/verify_release.py, which rebuilds the recorded commit and compares.

    release_test.py VERSION FLAGPOST_EXE SOURCE_DIR WINE_SH PREFIX REGPROBE_EXE LAUNCHER_EXE SETUP_EXE MSI

That two checkouts give the same zip is reproducible_build.sh's part.
"""
import fnmatch
import hashlib
import os
import re
import subprocess
import sys
import tempfile
import unittest
import zipfile

import yaml

VERSION, FLAGPOST, SOURCE, WINE_SH, PREFIX, REGPROBE, LAUNCHER, SETUP, MSI = sys.argv[1:10]
del sys.argv[1:10]
HERE = os.path.dirname(os.path.abspath(__file__))
ENTRIES = ["flagpost.exe", "flagpost-check.cmd", "LICENSE", "README.md", "docs/installers.md", "docs/releases.md",
           "BUILDINFO", "SHA256SUMS"]
PASSWORD = "release-test-Pa55"
EPOCH = 1765000000                                   # 2025-12-06 05:46:40 UTC, an even-second date


def run(*command, env=None, cwd=None):
    done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True, env=env, cwd=cwd)
    return done.returncode, done.stdout + done.stderr


def read(path):
    with open(path, "rb") as file:
        return file.read()


class ZipCase(unittest.TestCase):
    """A work folder, make dist into it, and a throwaway code-signing certificate."""

    def setUp(self):
        work = tempfile.TemporaryDirectory()
        self.addCleanup(work.cleanup)
        self.work = work.name
        self.out = os.path.join(self.work, "dist")
        self.zip = os.path.join(self.out, f"flagpost-{VERSION}-win32.zip")

    def dist(self, **signing):
        env = {k: v for k, v in os.environ.items() if not k.startswith("SIGN_")}
        env.update(signing, SOURCE_DATE_EPOCH=str(EPOCH))
        return run("/usr/bin/python3", os.path.join(SOURCE, "tools", "dist.py"), VERSION, FLAGPOST, SOURCE, self.out,
                   env=env)

    def unpack(self):
        unpacked = os.path.join(self.work, "unpacked")
        with zipfile.ZipFile(self.zip) as archive:
            archive.extractall(unpacked)
            return unpacked, archive.infolist()

    def make_certificate(self):
        key, cert, pfx = (os.path.join(self.work, name) for name in ("key.pem", "cert.pem", "test.pfx"))
        code, output = run("openssl", "req", "-x509", "-newkey", "rsa:2048", "-nodes", "-keyout", key, "-out", cert,
                           "-days", "2", "-subj", "/CN=Flagpost release test",
                           "-addext", "extendedKeyUsage=codeSigning")
        self.assertEqual(0, code, output)
        code, output = run("openssl", "pkcs12", "-export", "-out", pfx, "-inkey", key, "-in", cert,
                           "-passout", "pass:" + PASSWORD)
        self.assertEqual(0, code, output)
        password_file = os.path.join(self.work, "password")
        with open(password_file, "w") as file:
            file.write(PASSWORD + "\n")
        return cert, pfx, password_file



class Release(ZipCase):
    def test_unsigned_zip_holds_the_built_exe_and_sums_that_verify(self):
        code, output = self.dist()
        self.assertEqual(0, code, output)
        unpacked, entries = self.unpack()

        self.assertEqual(ENTRIES, [entry.filename for entry in entries])
        self.assertEqual(read(FLAGPOST), read(os.path.join(unpacked, "flagpost.exe")), "the exe in the zip differs")
        self.assertEqual(read(os.path.join(SOURCE, "LICENSE")), read(os.path.join(unpacked, "LICENSE")))
        code, output = run("sha256sum", "-c", "--strict", "SHA256SUMS", cwd=unpacked)
        self.assertEqual(0, code, output)
        self.assertEqual(sorted(ENTRIES[:-1]), sorted(line[:-len(": OK")] for line in output.splitlines()
                                                      if line.endswith(": OK")), output)
        for entry in entries:
            self.assertEqual(((2025, 12, 6, 5, 46, 40), 0o100644, b""),
                             (entry.date_time, entry.external_attr >> 16, entry.extra), entry.filename)

    def test_signed_exe_verifies_strips_back_and_still_sets_the_marker(self):
        cert, pfx, password_file = self.make_certificate()
        code, output = self.dist(SIGN_PFX=pfx, SIGN_PASSWORD_FILE=password_file)
        self.assertEqual(0, code, output)
        self.assertNotIn(PASSWORD, output)
        unpacked, _ = self.unpack()
        exe = os.path.join(unpacked, "flagpost.exe")
        self.assertNotEqual(read(FLAGPOST), read(exe), "the exe in the zip is not signed")
        self.assertEqual(0, run("sha256sum", "-c", "--strict", "SHA256SUMS", cwd=unpacked)[0], "sums of the signed zip")

        code, output = run("osslsigncode", "verify", "-CAfile", cert, "-in", exe)
        self.assertEqual(0, code, output)
        self.assertIn("Signature verification: ok", output)
        stripped = os.path.join(self.work, "stripped.exe")
        code, output = run("osslsigncode", "remove-signature", "-in", exe, "-out", stripped)
        self.assertEqual(0, code, output)
        self.assertEqual(read(FLAGPOST), read(stripped), "removing the signature does not give back the built exe")

        code, output = run("/usr/bin/python3", os.path.join(HERE, "end_to_end_test.py"), WINE_SH, PREFIX, exe, REGPROBE,
                           LAUNCHER, SETUP, MSI, "-k", "test_marker_is_set_volatile_and_empty_in_the_32_bit_view_only")
        self.assertEqual(0, code, output)
        self.assertIn("Ran 1 test", output)

    def test_bad_signing_input_stops_with_a_message_and_leaves_no_zip(self):
        cert, pfx, password_file = self.make_certificate()
        wrong_password = os.path.join(self.work, "wrong")
        with open(wrong_password, "w") as file:
            file.write("not-" + PASSWORD)
        cases = [({"SIGN_PFX": pfx, "SIGN_PASSWORD_FILE": wrong_password}, "osslsigncode sign failed"),
                 ({"SIGN_PFX": pfx + ".missing", "SIGN_PASSWORD_FILE": password_file}, "SIGN_PFX: no such file"),
                 ({"SIGN_PFX": cert, "SIGN_PASSWORD_FILE": password_file}, "osslsigncode sign failed"),
                 ({"SIGN_PFX": pfx}, "signing needs both SIGN_PFX and SIGN_PASSWORD_FILE")]
        for signing, message in cases:
            with self.subTest(signing=signing):
                self.assertEqual(0, self.dist()[0])
                self.assertTrue(os.path.exists(self.zip), "no earlier unsigned zip to be replaced")
                code, output = self.dist(**signing)
                self.assertNotEqual(0, code, output)
                self.assertIn("make dist: " + message, output)
                self.assertNotIn(PASSWORD, output)
                self.assertFalse(os.path.exists(self.zip), "a zip is left under the release's name")


class VerifyRelease(ZipCase):
    """make verify-release: 0 verified, 1 not verified, 2 could not check; one closing line each."""

    def verify(self, zip_path):
        worktrees = run("git", "-C", SOURCE, "worktree", "list")
        code, output = run("/usr/bin/python3", os.path.join(SOURCE, "tools", "verify_release.py"), zip_path, SOURCE)
        self.assertEqual(worktrees, run("git", "-C", SOURCE, "worktree", "list"), "a worktree was left behind")
        return code, output.strip().splitlines()[-1], output

    def repack(self, **changes):
        """The zip made by dist, with entries replaced (bytes) or left out (None), and sums recomputed."""
        with zipfile.ZipFile(self.zip) as archive:
            entries = {name: archive.read(name) for name in archive.namelist() if name != "SHA256SUMS"}
        entries.update(changes)
        entries = {name: data for name, data in entries.items() if data is not None}
        sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n" for name, data in entries.items())
        path = os.path.join(self.work, f"repacked-{len(os.listdir(self.work))}.zip")
        with zipfile.ZipFile(path, "w") as archive:
            for name, data in list(entries.items()) + [("SHA256SUMS", sums.encode())]:
                archive.writestr(name, data)
        return path

    def buildinfo(self):
        with zipfile.ZipFile(self.zip) as archive:
            return archive.read("BUILDINFO").decode()

    def test_the_zip_as_made_verifies_signed_or_not(self):
        self.assertEqual(0, self.dist()[0])
        code, last, output = self.verify(self.zip)
        self.assertEqual((0, "verify-release: VERIFIED"), (code, last[:24]), output)
        self.assertIn(f"{hashlib.sha256(read(FLAGPOST)).hexdigest()} {len(read(FLAGPOST))} flagpost.exe",
                      self.buildinfo(), "BUILDINFO does not record the unsigned exe")

        cert, pfx, password_file = self.make_certificate()
        self.assertEqual(0, self.dist(SIGN_PFX=pfx, SIGN_PASSWORD_FILE=password_file)[0])
        code, last, output = self.verify(self.zip)
        self.assertEqual((0, "verify-release: VERIFIED"), (code, last[:24]), output)
        self.assertIn("carries an Authenticode signature", output)

    def test_a_changed_exe_is_not_verified_and_a_toolchain_difference_is_named(self):
        self.assertEqual(0, self.dist()[0])
        changed = bytearray(read(FLAGPOST))
        changed[-1] ^= 0x01                                 # the last section's padding: still a PE
        recorded = f"{hashlib.sha256(read(FLAGPOST)).hexdigest()} {len(changed)} flagpost.exe"
        buildinfo = self.buildinfo().replace(recorded,
                                             f"{hashlib.sha256(changed).hexdigest()} {len(changed)} flagpost.exe")
        self.assertNotEqual(buildinfo, self.buildinfo(), "the exe's line in BUILDINFO was not found")

        code, last, output = self.verify(self.repack(**{"flagpost.exe": bytes(changed), "BUILDINFO": buildinfo.encode()}))
        self.assertEqual(1, code, output)
        self.assertIn("the rebuild differs although every recorded package version matches", last)

        compiler = "g++-mingw-w64-i686-posix"
        here = run("dpkg-query", "-W", "-f=${Version}", compiler)[1]
        other = buildinfo.replace(f"{compiler} (= {here})", f"{compiler} (= 99.0-other)")
        self.assertNotEqual(buildinfo, other, f"BUILDINFO names no {compiler} {here}")
        code, last, output = self.verify(self.repack(**{"flagpost.exe": bytes(changed), "BUILDINFO": other.encode()}))
        self.assertEqual(1, code, output)
        self.assertIn(f"{compiler}: built with 99.0-other, here {here}", output)
        self.assertIn("the rebuild differs, and so do 1 build package(s)", last)

        code, last, output = self.verify(self.repack(**{"flagpost.exe": bytes(changed)}))
        self.assertEqual(1, code, output)
        self.assertIn("does not match the SHA-256 in BUILDINFO", last)

    def test_without_the_commit_or_a_build_record_it_cannot_check(self):
        self.assertEqual(0, self.dist()[0])
        commit = run("git", "-C", SOURCE, "rev-parse", "HEAD")[1].strip()
        absent = self.buildinfo().replace(commit, "0123456789abcdef" * 2 + "01234567")
        cases = [(self.repack(BUILDINFO=absent.encode()), "is not in this clone: fetch it"),
                 (self.repack(BUILDINFO=None), "the zip holds no BUILDINFO"),
                 (os.path.join(self.work, "no-such.zip"), "no such zip")]
        for path, message in cases:
            with self.subTest(message=message):
                code, last, output = self.verify(path)
                self.assertEqual(2, code, output)
                self.assertTrue(last.startswith("verify-release: NOT CHECKED: "), last)
                self.assertIn(message, last)


class Workflow(unittest.TestCase):
    """The GitHub workflow cannot run here; it can at least parse and name only what exists."""

    def test_workflow_names_make_targets_and_files_that_the_build_makes(self):
        with open(os.path.join(SOURCE, ".github", "workflows", "ci.yml")) as file:
            workflow = yaml.safe_load(file)
        steps = [step for job in workflow["jobs"].values() for step in job["steps"]]
        commands = "\n".join(step.get("run", "") for step in steps)
        with open(os.path.join(SOURCE, "Makefile")) as file:
            targets = set(re.findall(r"^([\w-]+):", file.read(), re.MULTILINE))
        named = {t for line in re.findall(r"^\s*make ([\w -]+)$", commands, re.MULTILINE) for t in line.split()}
        self.assertTrue(named and named <= targets, f"make targets {named} not all in {targets}")

        uploads = [path for step in steps if step.get("uses", "").startswith("actions/upload-artifact")
                   for path in step["with"]["path"].split()]
        made = [f"build/dist/flagpost-{VERSION}-win32.zip", os.path.relpath(SETUP, SOURCE), os.path.relpath(MSI, SOURCE)]
        self.assertEqual(len(made), len(uploads), uploads)
        for pattern, path in zip(uploads, made):
            self.assertTrue(fnmatch.fnmatch(path, pattern), f"{pattern} does not match {path}")
        self.assertTrue(os.path.exists(SETUP) and os.path.exists(MSI), (SETUP, MSI))
        # The Windows job unpacks the artifact: what it runs must be in it.
        self.assertIn("release/dist/flagpost-*-win32.zip", commands)
        self.assertIn("call flagpost-check.cmd", commands)
        self.assertIn("flagpost-check.cmd", ENTRIES)
        for installer in (SETUP, MSI):
            self.assertIn("release\\example\\" + os.path.basename(installer), commands)


if __name__ == "__main__":
    unittest.main(verbosity=2)
