#!/usr/bin/python3
"""flagpost.exe run for real under Wine, its marker read back with Wine's reg.exe and regprobe.

    end_to_end_test.py WINE_SH PREFIX FLAGPOST_EXE REGPROBE_EXE

Each scenario runs in one Wine boot (a persistent wineserver); `wineserver -k` is the restart.
"""
import os
import subprocess
import sys
import tempfile
import unittest

WINE_SH, PREFIX, FLAGPOST, REGPROBE = sys.argv[1:5]
del sys.argv[1:5]
ENV = dict(os.environ, WINEPREFIX=PREFIX, WINEDEBUG="-all")

MARKER = r"Software\Ostrevane\RebootPending"
PARENT = r"Software\Ostrevane"
VOLATILE, NOT_VOLATILE, MISSING = 0, 1, 2


def run(*command):
    """Runs a command and returns (exit code, output). The output goes through a file: Wine's
    helper processes may outlive the command and would keep a pipe open."""
    with tempfile.TemporaryFile() as output:
        code = subprocess.run(command, stdin=subprocess.DEVNULL, stdout=output, stderr=subprocess.STDOUT,
                              env=ENV, timeout=120).returncode
        output.seek(0)
        return code, output.read().decode("utf-8", "replace")


def wine(*command):
    return run(WINE_SH, PREFIX, *command)


def reg(*arguments):
    return wine("reg", *arguments)


def exists(key, view="32"):
    return reg("query", "HKLM\\" + key, "/reg:" + view)[0] == 0


def dump(key):
    """Every value and subkey below HKLM\\key in the 32-bit view, as reg.exe prints them."""
    code, output = reg("query", "HKLM\\" + key, "/s", "/reg:32")
    return output if code == 0 else None


def value_lines(key):
    return [line for line in reg("query", "HKLM\\" + key, "/reg:32")[1].splitlines() if line.startswith("    ")]


def probe(key):
    code, output = wine(REGPROBE, key)
    assert code in (VOLATILE, NOT_VOLATILE, MISSING), f"regprobe {key}: {output}"
    return code


def flagpost(*arguments):
    return wine(FLAGPOST, *arguments)[0]


def restart():
    """Ends the running boot, as a restart would, and starts a fresh one."""
    subprocess.run([WINE_SH, PREFIX], stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True, timeout=300)


def setUpModule():
    restart()


def tearDownModule():
    subprocess.run(["wineserver", "-k"], env=ENV)


class Marker(unittest.TestCase):
    def setUp(self):
        reg("delete", "HKLM\\" + PARENT, "/f", "/reg:32")
        self.assertFalse(exists(PARENT), "an earlier marker could not be cleared")

    tearDown = setUp

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


if __name__ == "__main__":
    unittest.main(verbosity=2)
