#!/usr/bin/python3
"""No window of flagpost.exe ever reaches the screen, not even briefly, under Wine's X11 driver.

    xvfb-run -a no_window_test.py BUILD_PATHS     (see common/build_paths.py)

PREFIX is a prefix of its own that uses the X11 driver. xev records every window mapped on the
root window while flagpost.exe runs 9 times, through flagpost_tests.exe's end-to-end cases that
run it and check after each run that the marker is there, so the hidden window really was
created each time. A test case that shows a window, run before and after, proves that the
recording sees Wine's windows.
"""
import os
import subprocess
import tempfile
import time
import unittest

import build_paths
import wine_sh

PATHS = build_paths.from_arguments()
PREFIX, FLAGPOST_TESTS = PATHS["prefix_x11_test"], PATHS["flagpost_tests"]
ENV = dict(os.environ, WINEPREFIX=PREFIX, FLAGPOST_GRAPHICS="x11")
SHOWS_A_WINDOW = "--gtest_filter=WindowShellTest.PaintLeavesNothingToRepaint"
# Three runs of flagpost.exe, each case ending with the fresh-marker check; three times over.
RUNS_FLAGPOST = ["--gtest_filter=EndToEnd.SetsAFreshMarkerInThe32BitViewOnlyThatASecondRunLeavesAsItIs:"
                 "EndToEnd.AnOrdinaryParentStaysOrdinaryWithItsValues", "--gtest_repeat=3"]


def wine(*command, timeout=300):
    return wine_sh.run(PATHS, "prefix_x11_test", *command, env=ENV, timeout=timeout)


class NoWindowOnScreen(unittest.TestCase):
    def setUp(self):
        self.assertEqual(0, *wine("--restart", timeout=600))
        self.addCleanup(wine, "--shutdown")
        self.events = tempfile.NamedTemporaryFile(mode="w+", suffix=".xev")
        self.addCleanup(self.events.close)
        xev = subprocess.Popen(["stdbuf", "-oL", "xev", "-root", "-event", "substructure"],
                               stdout=self.events, stderr=subprocess.STDOUT)
        self.addCleanup(xev.wait)
        self.addCleanup(xev.terminate)

    def maps(self):
        with open(self.events.name) as events:
            return events.read().count("MapNotify")

    def show_a_window(self):
        """Returns the number of maps seen once the window's map has arrived."""
        before = self.maps()
        code, output = wine(FLAGPOST_TESTS, SHOWS_A_WINDOW)
        self.assertEqual(0, code, output)
        for _ in range(100):
            if self.maps() > before:
                return self.maps()
            time.sleep(0.1)
        self.fail("a window that was shown was not recorded")

    def test_nine_runs_map_no_window(self):
        seen = self.show_a_window()
        code, report = wine(FLAGPOST_TESTS, *RUNS_FLAGPOST)
        self.assertEqual(0, code, report)
        self.assertEqual(3, report.count("[  PASSED  ] 2 tests."), report)
        time.sleep(1)    # let any late event reach xev
        self.assertEqual(seen, self.maps(), "flagpost.exe mapped a window")
        self.show_a_window()


if __name__ == "__main__":
    unittest.main(verbosity=2)
