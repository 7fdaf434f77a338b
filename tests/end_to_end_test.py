#!/usr/bin/python3
"""flagpost.exe run for real under Wine, its marker read back with Wine's reg.exe and regprobe; and
what users run around it: docs/flagpost-check.cmd and the example installers (NSIS, MSI, batch,
Inno Setup).

    end_to_end_test.py BUILD_PATHS [NAME=VALUE ...]     (see build_paths.py)

Each scenario runs in one Wine boot (a persistent wineserver); `wineserver -k` is the restart.
"""
import os
import re
import shutil
import subprocess
import tempfile
import unittest

import build_paths
from command_lines import hostile_command_lines, started_lines, write_lines

PATHS = build_paths.from_arguments()
WINE_SH, PREFIX, FLAGPOST, REGPROBE, STANDIN, LAUNCHER, FLAGPOST_TESTS, SETUP, MSI, INNO_SETUP, SOURCE = (
    PATHS[name] for name in ("wine_sh", "prefix", "flagpost", "regprobe", "standin", "launcher", "flagpost_tests",
                             "example_setup", "example_msi", "example_inno", "source"))
EXAMPLES = os.path.join(SOURCE, "examples")
CHECK_SCRIPT = os.path.join(SOURCE, "docs", "flagpost-check.cmd")
UNINSTALL = r"Software\Microsoft\Windows\CurrentVersion\Uninstall"
ENV = dict(os.environ, WINEPREFIX=PREFIX)

MARKER = r"Software\Ostrevane\RebootPending"
PARENT = r"Software\Ostrevane"
VOLATILE, NOT_VOLATILE, MISSING = 0, 1, 2
CMD64 = ("--64", "cmd")    # Wine's 64-bit cmd.exe, an admin's usual prompt on 64-bit Windows


def run(*command, timeout=120, env=None, cwd=None):
    """Runs a command and returns (exit code, output). The output goes through a file: Wine's
    helper processes may outlive the command and would keep a pipe open."""
    with tempfile.TemporaryFile() as output:
        code = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                              env=dict(ENV, **(env or {})), timeout=timeout, cwd=cwd).returncode
        output.seek(0)
        return code, output.read().decode("utf-8", "replace")


def wine(*command, timeout=120, env=None):
    return run(WINE_SH, PREFIX, *command, timeout=timeout, env=env)


def reg(*arguments):
    # Wine's 64-bit reg.exe, which reads either view as asked; where i386 programs are emulated
    # it needs no emulator, and the suite makes a great many of these calls.
    return wine("--64", "reg", *arguments)


def query(key, *options, view="32"):
    """reg query's output for HKLM\\key, or None where the key does not exist. reg.exe exits 1
    for a missing key and for any failure alike: only its message tells them apart, and a
    failure says nothing of the key."""
    code, output = reg("query", "HKLM\\" + key, *options, "/reg:" + view)
    if code == 1 and "Unable to find the specified registry key" in output:
        return None
    assert code == 0, f"reg query HKLM\\{key} {' '.join(options)} /reg:{view} failed with {code}: {output}"
    return output


def exists(key, view="32"):
    return query(key, view=view) is not None


def dump(key):
    """Every value and subkey below HKLM\\key in the 32-bit view, as reg.exe prints them."""
    return query(key, "/s")


def value_lines(key):
    return [line for line in (query(key) or "").splitlines() if line.startswith("    ")]


def probe(key):
    code, output = wine(REGPROBE, key)
    assert code in (VOLATILE, NOT_VOLATILE, MISSING), f"regprobe {key}: {output}"
    return code


def flagpost(*arguments):
    return wine(FLAGPOST, *arguments)[0]


def launcher(*arguments):
    """Runs launcher.exe on flagpost.exe; returns (exit code, report). A run takes about 0.1 s."""
    return wine(LAUNCHER, FLAGPOST, *arguments, timeout=1800)


def windows_path(path):
    return "Z:" + os.path.abspath(path).replace("/", "\\")


def in_cmd(command, prelude=(), env=None, timeout=300):
    """(exit code, output) of a command line run from a batch file under the 64-bit cmd. The
    batch file echoes the code: Wine hands a Linux parent only its low 8 bits (3010 as 194)."""
    with tempfile.TemporaryDirectory() as folder:
        script = os.path.join(folder, "run.cmd")
        with open(script, "w", newline="\r\n") as file:
            file.write("".join(line + "\n" for line in ["@echo off", *prelude, command, "echo EXIT=%ERRORLEVEL%"]))
        _, output = wine(*CMD64, "/c", windows_path(script), env=env, timeout=timeout)
    found = re.search(r"^EXIT=(-?[0-9]+)\s*$", output, re.MULTILINE)
    assert found, f"no exit code from {command}: {output}"
    return int(found.group(1)), output


def wineservers():
    """The process ids of PREFIX's wineserver: it works in a folder named for the prefix's device
    and inode."""
    if not os.path.isdir(PREFIX):
        return set()
    info = os.stat(PREFIX)
    folder = f"server-{info.st_dev:x}-{info.st_ino:x}"
    found = set()
    for pid in filter(str.isdigit, os.listdir("/proc")):
        try:
            if (os.path.basename(os.readlink(f"/proc/{pid}/exe")).startswith("wineserver")
                    and os.path.basename(os.readlink(f"/proc/{pid}/cwd")) == folder):
                found.add(int(pid))
        except OSError:
            pass
    return found


def restart():
    """Ends the running boot, as a restart would, and starts a fresh one. Volatile keys live in
    the wineserver: an old one that is still there, or a new one that does not answer, would make
    every check after this one meaningless."""
    old = wineservers()
    subprocess.run([WINE_SH, PREFIX], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True, timeout=300)
    new = wineservers()
    assert len(new) == 1 and not new & old, f"after the restart, wineservers {new}; before it, {old}"


def setUpModule():
    restart()


def tearDownModule():
    # A fresh boot, as the suite's Wine fixture started one: the tests that CTest runs after
    # this one would otherwise each boot Wine anew. The fixture's wine_shutdown ends it.
    restart()


class Scenario(unittest.TestCase):
    """Starts and ends with no marker and no parent in the running boot."""

    def setUp(self):
        code, output = reg("delete", "HKLM\\" + PARENT, "/f", "/reg:32")
        self.assertFalse(exists(PARENT), f"an earlier marker could not be cleared: reg delete gave {code}: {output}")

    tearDown = setUp

    def install_into(self, folder, command, prelude=(), env=None):
        """(exit code, whether the payload landed in C:\\folder, output) of an example installer's
        command line; the folder is removed afterwards."""
        target = os.path.join(PREFIX, "drive_c", folder)
        self.addCleanup(shutil.rmtree, target, True)
        code, output = in_cmd(command, prelude, env)
        return code, os.path.exists(os.path.join(target, "readme.txt")), output


class Marker(Scenario):

    def assert_fresh_marker(self):
        self.assertTrue(exists(MARKER), "no marker in the 32-bit view")
        self.assertEqual([], value_lines(MARKER), "the marker holds values")
        self.assertEqual(VOLATILE, probe(MARKER), "the marker is not volatile")

    def test_marker_is_set_volatile_and_empty_in_the_32_bit_view_only(self):
        self.assertEqual(0, flagpost())
        self.assert_fresh_marker()
        self.assertEqual(VOLATILE, probe(PARENT), "the parent the call created is not volatile")
        self.assertTrue(exists("Software\\Wow6432Node\\Ostrevane\\RebootPending", "64"))
        self.assertFalse(exists(PARENT, "64"), "the marker leaked into the 64-bit view")

    def test_restart_drops_the_marker_and_the_parent_it_created(self):
        self.assertEqual(0, flagpost())
        restart()
        self.assertFalse(exists(MARKER))
        self.assertFalse(exists(PARENT))

    def test_command_line_is_ignored(self):
        for arguments in [(), ("/?",), ("a b", '"', ""), ("\t", "--x=\u00ff\u20ac\u4e2d"), ("y" * 4000,)]:
            with self.subTest(arguments=arguments):
                self.setUp()
                self.assertEqual(0, flagpost(*arguments))
                self.assert_fresh_marker()

    def test_second_run_in_the_same_boot_opens_the_marker(self):
        self.assertEqual(0, flagpost())
        self.assertEqual(0, flagpost())
        self.assert_fresh_marker()

    def test_existing_non_volatile_parent_stays_and_the_marker_under_it_goes_at_restart(self):
        reg("add", "HKLM\\" + PARENT, "/v", "Vendor", "/d", "kept", "/f", "/reg:32")
        self.assertEqual(NOT_VOLATILE, probe(PARENT), "could not make an ordinary parent")

        self.assertEqual(0, flagpost())
        self.assert_fresh_marker()
        self.assertEqual(NOT_VOLATILE, probe(PARENT))
        restart()
        self.assertTrue(exists(PARENT), "the ordinary parent did not survive the restart")
        self.assertEqual(1, len(value_lines(PARENT)), "the parent's value was lost")
        self.assertFalse(exists(MARKER), "the marker survived the restart")

    def test_key_denied_to_the_caller_is_left_byte_for_byte(self):
        # Wine grants every right to a key it creates, but checks the DACL of one it opens:
        # a key that denies everything stands in for a caller without administrative rights.
        reg("add", "HKLM\\" + MARKER, "/v", "Kept", "/d", "yes", "/f", "/reg:32")
        reg("add", "HKLM\\" + MARKER + "\\Child", "/f", "/reg:32")
        contents = dump(MARKER)
        self.assertIn("Kept", contents or "", "could not make the key")
        self.assertEqual(0, wine(REGPROBE, "--deny", MARKER)[0])
        code, security = wine(REGPROBE, "--security", MARKER)
        self.assertEqual(0, code, security)
        self.assertIsNone(dump(MARKER), "the deny ACE does not keep reg.exe out")

        try:
            self.assertEqual(0, flagpost())
            self.assertEqual((0, security), wine(REGPROBE, "--security", MARKER), "the key's security changed")
        finally:
            self.assertEqual(0, wine(REGPROBE, "--allow", MARKER)[0])
        self.assertEqual(contents, dump(MARKER), "the key's values or subkeys changed")
        self.assertEqual(NOT_VOLATILE, probe(MARKER))

    def test_64_copies_started_at_once_all_exit_0_and_leave_one_key(self):
        code, report = launcher("--together", "64")
        self.assertEqual(0, code, report)
        self.assertIn("64 started at once, 0 failed", report)
        keys = [line for line in dump(PARENT).splitlines() if line.startswith("HKEY_")]
        self.assertEqual(["HKEY_LOCAL_MACHINE\\" + MARKER], keys)
        self.assert_fresh_marker()

    def test_1000_hostile_command_lines_each_give_the_plain_result(self):
        # Every line through the program's own code in one process; some of them also as real
        # processes, through CreateProcessW and the exe's entry.
        lines = hostile_command_lines()
        for how, chosen in (("--in-process", lines), (FLAGPOST, started_lines(lines))):
            with self.subTest(how=os.path.basename(how)), tempfile.NamedTemporaryFile(suffix=".lines") as listing:
                write_lines(listing, chosen)
                listing.flush()
                code, report = wine(LAUNCHER, how, windows_path(listing.name), timeout=1800)
                self.assertEqual(0, code, report[-3000:])
                self.assertIn(f"{len(chosen)} runs, 0 failed", report)

    def test_runs_on_windows_xp(self):
        # Wine's per-application setting; regprobe shows that it reaches a 32-bit exe here.
        for exe in (FLAGPOST, REGPROBE):
            app = "HKCU\\Software\\Wine\\AppDefaults\\" + os.path.basename(exe)
            reg("add", app, "/v", "Version", "/d", "winxp", "/f")
            self.addCleanup(reg, "delete", app, "/f")
        code, version = wine(REGPROBE, "--windows-version")
        self.assertEqual((0, "5.1"), (code, version.strip()), "Wine does not report Windows XP")
        self.assertEqual(0, flagpost())
        self.assert_fresh_marker()

    def test_existing_ordinary_key_is_left_exactly_as_it_was(self):
        reg("add", "HKLM\\" + MARKER, "/v", "Kept", "/d", "yes", "/f", "/reg:32")
        reg("add", "HKLM\\" + MARKER + "\\Child", "/f", "/reg:32")
        before = dump(MARKER)
        self.assertIn("Kept", before or "", "could not make the ordinary key")

        self.assertEqual(0, flagpost())
        self.assertEqual(before, dump(MARKER))
        self.assertEqual(NOT_VOLATILE, probe(MARKER))
        restart()
        self.assertEqual(before, dump(MARKER), "an ordinary key did not survive the restart")


class CheckScript(Scenario):
    """docs/flagpost-check.cmd, as a user runs it: cmd.exe, the exe's path as its argument.
    The 64-bit cmd.exe unless a case asks for the 32-bit one."""

    def check(self, exe=FLAGPOST, env=None, cmd=CMD64, script=CHECK_SCRIPT):
        code, output = wine(*cmd, "/c", windows_path(script), windows_path(exe), env=env)
        lines = output.strip().splitlines()
        return code, lines, output

    def test_with_no_marker_it_passes_and_leaves_no_marker_or_parent(self):
        for cmd in (CMD64, ("cmd",)):
            with self.subTest(cmd=cmd):
                code, lines, output = self.check(cmd=cmd)
                self.assertEqual((0, "9 passed, 0 failed"), (code, lines[-1]), output)
                self.assertIn("ok   the marker is volatile", lines)
                self.assertIn("ok   the parent HKLM\\Software\\Ostrevane, made by this run, is volatile", lines)
                self.assertFalse(exists(MARKER), "the check left its marker set")
                self.assertFalse(exists(PARENT), "the check left the parent it caused")

    def test_from_a_folder_whose_path_holds_an_exclamation_mark_it_passes(self):
        with tempfile.TemporaryDirectory() as work:
            folder = os.path.join(work, "flag!post!check")
            os.mkdir(folder)
            for source in (CHECK_SCRIPT, FLAGPOST):
                shutil.copy(source, folder)
            code, lines, output = self.check(os.path.join(folder, "flagpost.exe"),
                                             script=os.path.join(folder, "flagpost-check.cmd"))
        self.assertEqual((0, "9 passed, 0 failed"), (code, lines[-1]), output)
        self.assertFalse(exists(MARKER), "the check left its marker set")

    def test_a_vendor_key_in_the_64_bit_view_is_no_failure_and_is_left_alone(self):
        vendor = "HKLM\\" + PARENT + "\\Other"
        self.addCleanup(reg, "delete", "HKLM\\" + PARENT, "/f", "/reg:64")
        reg("add", vendor, "/v", "Setting", "/d", "64-bit product", "/f", "/reg:64")
        before = reg("query", vendor, "/s", "/reg:64")
        self.assertEqual(0, before[0], "could not make the 64-bit vendor key")

        code, lines, output = self.check()
        self.assertEqual((0, "9 passed, 0 failed"), (code, lines[-1]), output)
        self.assertIn("ok   the marker is absent from the 64-bit view", lines)
        self.assertEqual(before, reg("query", vendor, "/s", "/reg:64"), "the 64-bit vendor key changed")

    def test_with_a_marker_already_set_it_passes_and_keeps_the_marker(self):
        self.assertEqual(0, flagpost())
        code, lines, output = self.check()
        self.assertEqual((0, "4 passed, 0 failed"), (code, lines[-1]), output)
        self.assertIn("The marker is already set", output)
        self.assertEqual(VOLATILE, probe(MARKER), "the marker the check found is gone or changed")

    def stand_in(self, standin=None):
        """A faulty flagpost.exe: an ordinary marker and parent, or with `standin`
        'ordinary-parent', an ordinary parent and a volatile marker."""
        with tempfile.TemporaryDirectory() as folder:
            exe = os.path.join(folder, "flagpost.exe")
            shutil.copy(STANDIN, exe)
            return self.check(exe, env=standin and {"FLAGPOST_STANDIN": standin})

    def test_a_flagpost_that_makes_ordinary_keys_fails_the_volatility_checks(self):
        code, lines, output = self.stand_in()
        self.assertEqual((1, "7 passed, 2 failed"), (code, lines[-1]), output)
        self.assertIn("FAIL the marker is volatile: an ordinary subkey could be made under it", lines)
        self.assertFalse(exists(PARENT), "the check did not remove what the faulty exe made")

    def test_an_ordinary_parent_under_a_volatile_marker_fails_and_is_named(self):
        code, lines, output = self.stand_in("ordinary-parent")
        self.assertEqual((1, "8 passed, 1 failed"), (code, lines[-1]), output)
        self.assertIn("ok   the marker is volatile", lines)
        self.assertIn("FAIL the parent HKLM\\Software\\Ostrevane, made by this run, is volatile: "
                      "an ordinary subkey could be made under it", lines)
        self.assertFalse(exists(PARENT), "the check did not remove what the faulty exe made")


class ExampleInstaller(Scenario):
    """examples/nsis: refuse while a restart is pending, set the marker after installing."""

    def install(self, folder):
        """A silent install into C:\\folder; returns its exit code and whether the payload landed."""
        return self.install_into(folder, f'"{windows_path(SETUP)}" /S /D=C:\\{folder}')[:2]

    def test_installs_asking_for_a_restart_then_refuses_until_one(self):
        self.assertEqual((3010, True), self.install("flagpost-example-1"), "first install")
        self.assertEqual(VOLATILE, probe(MARKER), "the installer set no volatile marker, or Windows restarted")
        self.assertEqual((2, False), self.install("flagpost-example-2"), "second install, restart pending")
        restart()
        self.assertEqual((3010, True), self.install("flagpost-example-3"), "install after the restart")
        self.assertEqual(VOLATILE, probe(MARKER))


    def test_a_flagpost_that_sets_nothing_asks_for_no_restart(self):
        with tempfile.TemporaryDirectory() as folder:
            standin, setup = os.path.join(folder, "flagpost.exe"), os.path.join(folder, "setup.exe")
            shutil.copy(STANDIN, standin)
            code, output = run("makensis", "-V2", f"-DFLAGPOST_EXE={standin}", f"-DOUTFILE={setup}",
                               "-DREADME=" + os.path.join(EXAMPLES, "payload", "readme.txt"),
                               os.path.join(EXAMPLES, "nsis", "flagpost-example.nsi"))
            self.assertEqual(0, code, output)
            code, landed, output = self.install_into("flagpost-example-unelevated", f'"{windows_path(setup)}" /S '
                                                     "/D=C:\\flagpost-example-unelevated", env={"FLAGPOST_STANDIN": "nothing"})
        self.assertEqual((2, True), (code, landed), output)
        self.assertFalse(exists(MARKER))


class ExampleInnoSetup(Scenario):
    """examples/inno: refuse while a restart is pending, set the marker, report the restart."""

    def install(self, folder, restart_options="/NORESTART /RESTARTEXITCODE=3010"):
        return self.install_into(folder, f'"{windows_path(INNO_SETUP)}" /VERYSILENT /SUPPRESSMSGBOXES '
                                         f'{restart_options} /DIR=C:\\{folder}')[:2]

    def test_installs_asking_for_a_restart_then_refuses_until_one(self):
        self.assertEqual((3010, True), self.install("flagpost-inno-1"), "first install")
        self.assertEqual(VOLATILE, probe(MARKER), "the setup set no volatile marker, or Windows restarted")
        self.assertEqual((1, False), self.install("flagpost-inno-2"), "second install, restart pending")
        restart()
        # Without /NORESTART a very silent Setup would restart Windows itself; this one asks for none.
        self.assertEqual((0, True), self.install("flagpost-inno-3", "/RESTARTEXITCODE=3010"), "after the restart")
        self.assertEqual(VOLATILE, probe(MARKER), "the setup set no volatile marker, or Windows restarted")

    def test_a_marker_it_cannot_set_asks_for_no_restart(self):
        # As in Marker: a key that denies everything stands in for a caller without administrative
        # rights. Setup cannot see it and flagpost.exe cannot open it. (A second setup compiled
        # around a stand-in exe would cost ISCC half a minute where i386 is emulated.)
        reg("add", "HKLM\\" + MARKER, "/f", "/reg:32")
        self.assertEqual(0, wine(REGPROBE, "--deny", MARKER)[0])
        try:
            result = self.install("flagpost-inno-unelevated")
        finally:
            self.assertEqual(0, wine(REGPROBE, "--allow", MARKER)[0])
        self.assertEqual((1603, True), result, "installed, but no marker: no restart to report")
        self.assertEqual(NOT_VOLATILE, probe(MARKER), "the key that stood in was changed")


class ExampleMsi(Scenario):
    """examples/wix: flagpost.exe as a deferred custom action without impersonation."""

    def table(self, name):
        """An MSI table as msiinfo exports it: rows of tab-separated columns, after the three
        header lines (names, types, table and keys)."""
        code, output = run("msiinfo", "export", MSI, name)
        self.assertEqual(0, code, output)
        return [line.split("\t") for line in output.splitlines()[3:] if line]

    def msiexec(self, *arguments):
        # The 64-bit msiexec, as 64-bit Windows always runs it.
        return wine("--64", "msiexec", *arguments, windows_path(MSI), "/qn", timeout=300)[0]

    def test_the_action_is_deferred_system_context_and_inside_the_install_script(self):
        actions = {row[0]: row for row in self.table("CustomAction")}
        action, kind, source = actions["SetRebootPendingMarker"][:3]
        kind = int(kind)
        self.assertEqual((18, 1024, 2048, 0, 0), (kind & 0x3F, kind & 1024, kind & 2048, kind & 256, kind & 512),
                         f"type {kind}: base 18, deferred, no impersonation, neither rollback nor commit")
        self.assertEqual("FlagpostExe", source)
        sequence = {row[0]: (row[1], int(row[2])) for row in self.table("InstallExecuteSequence")}
        condition, position = sequence[action]
        self.assertEqual("NOT REMOVE", condition)
        self.assertLess(sequence["InstallFiles"][1], position, "runs before its file is installed")
        self.assertLess(sequence["InstallInitialize"][1], position)
        self.assertLess(position, sequence["InstallFinalize"][1])

    def test_a_rebuild_replaces_the_installed_product_and_no_folder_needs_a_short_name(self):
        sequence = {row[0]: int(row[2]) for row in self.table("InstallExecuteSequence")}
        self.assertIn("FindRelatedProducts", sequence)
        self.assertIn("RemoveExistingProducts", sequence)
        upgrade = [row for row in self.table("Upgrade") if row[5] == "" and row[6] == "WIX_UPGRADE_DETECTED"]
        self.assertEqual(1, len(upgrade), "no Upgrade row that finds an older version to remove")
        for directory, _, name in self.table("Directory"):
            self.assertNotIn("|", name, directory)
            self.assertRegex(name, r"^(\.|SourceDir|[A-Za-z0-9_]{1,8})$", f"{directory}: {name} needs a short name")

    def test_install_asks_for_a_restart_without_one_and_removal_leaves_the_marker(self):
        installed = os.path.join(PREFIX, "drive_c", "Program Files (x86)", "Flagpost", "Example", "readme.txt")
        self.addCleanup(self.msiexec, "/x")
        code, output = in_cmd(f'msiexec /i "{windows_path(MSI)}" /qn')
        self.assertEqual(3010, code, output)
        self.assertTrue(os.path.exists(installed), "the product was not installed")
        self.assertEqual(VOLATILE, probe(MARKER), "no volatile marker after the install, or Windows restarted")
        code, output = in_cmd(f'msiexec /x "{windows_path(MSI)}" /qn')
        self.assertEqual(0, code, output)
        self.assertFalse(os.path.exists(installed), "the product was not removed")
        self.assertEqual(VOLATILE, probe(MARKER), "removal touched the marker: a restart is still pending")


    def test_a_second_build_of_the_same_version_replaces_the_first(self):
        # Each build has a new ProductCode; Windows Installer keeps both unless the upgrade row
        # takes in the product's own version.
        def installed():
            entry = r"^\s+DisplayName\s+REG_SZ\s+Flagpost Example\s*$"
            return sum(len(re.findall(entry, query(UNINSTALL, "/s", view=view) or "", re.MULTILINE))
                       for view in ("32", "64"))

        folder = tempfile.mkdtemp()
        self.addCleanup(shutil.rmtree, folder)      # after the removals below, which need the package
        rebuilt = os.path.join(folder, "rebuilt.msi")
        code, output = run("wixl", "-D", "FlagpostExe=" + os.path.relpath(FLAGPOST, SOURCE), "-D",
                           "Readme=examples/payload/readme.txt", "-o", rebuilt, "examples/wix/flagpost-example.wxs",
                           cwd=SOURCE)
        self.assertEqual(0, code, output)
        for msi in (MSI, rebuilt):
            self.addCleanup(wine, "--64", "msiexec", "/x", windows_path(msi), "/qn", timeout=300)
            code, output = in_cmd(f'msiexec /i "{windows_path(msi)}" /qn')
            self.assertEqual(3010, code, output)
        self.assertEqual(1, installed(), "two builds of one version are both installed")


class ExampleBatch(Scenario):
    """examples/batch: the batch recipe, with flagpost.exe and its payload beside it."""

    def setUp(self):
        super().setUp()
        folder = tempfile.TemporaryDirectory()
        self.addCleanup(folder.cleanup)
        self.folder = folder.name
        for source in (os.path.join(EXAMPLES, "batch", "flagpost-example-install.cmd"),
                       os.path.join(EXAMPLES, "payload", "readme.txt"), FLAGPOST):
            shutil.copy(source, self.folder)

    def install(self, target, prelude=(), env=None):
        script = windows_path(os.path.join(self.folder, "flagpost-example-install.cmd"))
        # cmd /c, not call: Wine's call gives 1 for a script's exit /b 3010.
        return self.install_into(target, f'cmd /c ""{script}" "C:\\{target}""', prelude, env)

    def test_installs_asking_for_a_restart_then_refuses_until_one(self):
        code, landed, output = self.install("flagpost-batch-1")
        self.assertEqual((3010, True), (code, landed), output)
        self.assertEqual(VOLATILE, probe(MARKER), "the script set no volatile marker")
        code, landed, output = self.install("flagpost-batch-2")
        self.assertEqual((1, False), (code, landed), output)
        self.assertIn("A restart is pending", output)
        restart()
        code, landed, output = self.install("flagpost-batch-3")
        self.assertEqual((3010, True), (code, landed), output)

    def test_a_flagpost_that_sets_nothing_is_no_success(self):
        shutil.copy(STANDIN, os.path.join(self.folder, "flagpost.exe"))
        code, landed, output = self.install("flagpost-batch-unelevated", env={"FLAGPOST_STANDIN": "nothing"})
        self.assertEqual(2, code, output)
        self.assertIn("no reboot-pending marker is set: not elevated?", output)
        self.assertFalse(exists(MARKER))

    def test_another_reg_exe_first_on_path_does_not_hide_the_marker(self):
        self.assertEqual(0, flagpost())
        stray = os.path.join(self.folder, "stray")
        os.mkdir(stray)
        shutil.copy(REGPROBE, os.path.join(stray, "reg.exe"))       # exits 3 for any reg command line
        path = f'set "PATH={windows_path(stray)};%PATH%"'
        code, landed, output = self.install("flagpost-batch-stray", prelude=[path])
        self.assertEqual((1, False), (code, landed), output)
        self.assertIn("A restart is pending", output)


class WindowsCases(Scenario):
    """flagpost_tests.exe's cases of what Windows does, as the workflow's Windows job runs them."""

    # Where Wine is known to do otherwise than Windows; each of these is a skip here.
    WINE_DIFFERS = ["WindowsProof.MsiActionRunsAsLocalSystemAndAnImpersonatingOneCannot",
                    "WindowsProof.MsiRebuildOfTheSameVersionReplacesTheFirst",
                    "WindowsProof.StandardUserSetsNothingAndWritesNothingToItsVirtualStore"]

    def test_required_windows_behaviour_fails_under_wine_naming_each_check(self):
        code, output = wine(FLAGPOST_TESTS, "--gtest_filter=" + ":".join(self.WINE_DIFFERS),
                            env={"FLAGPOST_REQUIRE_WINDOWS": "1"}, timeout=600)
        self.assertEqual(1, code, output)
        failed = re.findall(r"^\[  FAILED  \] (\S+) \(", output, re.MULTILINE)
        self.assertEqual(self.WINE_DIFFERS, failed, output)
        self.assertEqual(len(self.WINE_DIFFERS), output.count("not shown under Wine (FLAGPOST_REQUIRE_WINDOWS): "),
                         output)
        self.assertIn(f"flagpost_tests on Wine: {len(self.WINE_DIFFERS)} checks run "
                      f"({len(self.WINE_DIFFERS)} failed), 0 skipped", output)


if __name__ == "__main__":
    unittest.main(verbosity=2)
