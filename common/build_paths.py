"""The build's paths by name, as CMake writes them into build/paths.txt (NAME=PATH, one a line),
so that no test or tool spells a path of the build or takes one by its position. The tests and
the tools import it from common/, which CTest and the Makefile put on PYTHONPATH.

    PATHS = build_paths.from_arguments()

takes the file's path off sys.argv, and after it any NAME=VALUE arguments, which replace the
build's value for that name (to run a test on another build's programs); unittest's own
arguments follow.
"""
import os
import sys


def read(file):
    with open(file) as lines:
        return dict(line.rstrip("\n").split("=", 1) for line in lines if "=" in line)


def from_arguments(argv=sys.argv):
    file = argv.pop(1)
    paths = read(file)
    while len(argv) > 1 and not argv[1].startswith("-") and "=" in argv[1]:
        name, value = argv.pop(1).split("=", 1)
        if name not in paths:
            sys.exit(f"{name}: {file} names no such path")
        paths[name] = value
    return paths


def windows_path(path):
    """A Linux path as Wine shows it to Windows programs: on drive Z:, which is /."""
    return "Z:" + os.path.abspath(path).replace("/", "\\")
