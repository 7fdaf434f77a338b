"""wine/wine.sh, as the tests and the tools run it: its exit code and what it printed.

    code, output = wine_sh.run(PATHS, "prefix_x11", PROGRAM, ARGUMENTS..., env=ENV)

PATHS is build_paths' dictionary and the prefix one of its names. Wine's helper processes outlive
the command and would hold a pipe open, so what it prints goes to a file.
"""
import subprocess
import tempfile


def run(paths, prefix, *arguments, env=None, timeout=300):
    """(exit code, output); the exit code is a sentence when the command did not end within
    `timeout` seconds, and the output what it printed until then."""
    with tempfile.TemporaryFile() as log:
        try:
            code = subprocess.run([paths["wine_sh"], paths[prefix], *arguments], stdin=subprocess.DEVNULL, stdout=log,
                                  stderr=subprocess.STDOUT, env=env, timeout=timeout).returncode
        except subprocess.TimeoutExpired:
            code = f"no exit within {timeout} s"
        log.seek(0)
        return code, log.read().decode("utf-8", "replace")
