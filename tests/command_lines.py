#!/usr/bin/python3
"""The hostile command lines that launcher.exe runs flagpost.exe with, in the file format it reads
(UTF-16LE, each line ended by a NUL unit). end_to_end_test.py imports them; the workflow writes
them for its Windows job:

    command_lines.py FOLDER     writes FOLDER/in-process.lines and FOLDER/started.lines
"""
import os
import random
import sys

# The lines that hostile_command_lines() begins with, before the random mixes.
AWKWARD_LINES = ["", " ", "\t", " \t  \t", "x" * 32766, '"' + "y" * 32765, "flagpost.exe " + '"' * 101,
                 '"C:\\Program Files\\Flag post\\flagpost.exe"', "flagpost.exe \ud800", "\udc00",
                 "flagpost.exe \u00e4\u00f6\u00fc \u041f\u0440\u0438\u0432\u0435\u0442 \U0001f600"]


def hostile_command_lines(count=1000, seed=20261208):
    """Whole command lines, program name included, as CreateProcessW takes them: the awkward ones
    first, then random mixes of their pieces. CreateProcessW takes at most 32,767 units with the
    terminating NUL."""
    program = ["flagpost.exe", '"C:\\Program Files\\Flag post\\flagpost.exe"', '"flag post.exe', '""']
    pieces = [" ", "\t", '"', '""', '\\"', "\\\\", "/quiet", "-x=1", "\u00e9", "\u4e2d\u6587", "\u202e",
              "\U0001f6a9", "\ud800", "\udfff", "\udc00\ud800", "\ufeff", "\uffff", "%PATH%", "^&|<>"]
    lines = list(AWKWARD_LINES)
    rng = random.Random(seed)
    while len(lines) < count:
        tail = "".join(rng.choice(pieces) for _ in range(rng.randint(0, 40)))
        lines.append(rng.choice(program + [""]) + rng.choice(["", " ", "\t"]) + tail)
    return lines


def started_lines(lines):
    """The lines that are also run as real processes: the awkward ones and every 20th of the
    others. A new process costs half a second where i386 is emulated, a thousand of them minutes."""
    return lines[:len(AWKWARD_LINES)] + lines[len(AWKWARD_LINES)::20]


def write_lines(file, lines):
    # Lone surrogates are the point of some lines: they go out as the units they are.
    file.write("".join(line + "\0" for line in lines).encode("utf-16-le", "surrogatepass"))


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    lines = hostile_command_lines()
    for name, chosen in (("in-process.lines", lines), ("started.lines", started_lines(lines))):
        with open(os.path.join(sys.argv[1], name), "wb") as file:
            write_lines(file, chosen)
