#!/usr/bin/python3
"""`make bench`: flagpost.exe side by side with the minimal reference exe and with reg.exe, in
time and in size.

    PYTHONPATH=common bench.py BUILD_PATHS [PAIRS]      (see common/build_paths.py)

Time: one persistent wineserver, a warm-up that has started Wine's desktop, then PAIRS rounds
(default 30). Each round times the three commands once, through hyperfine, in an order that
rotates from round to round; before each timed run the key and its parent are removed, so that
every run creates them. Reported: medians and the medians of the per-round ratios.

Size: flagpost.exe's sections, its resources by type, and its ratio to the irreducible bytes:
one copy of each icon image, the manifest, strings, menu and dialog, plus the code and headers
(everything but the resources) of the minimal exe.
"""
import json
import os
import shlex
import statistics
import subprocess
import sys
import tempfile

import pefile

import build_paths
import wine_sh

PATHS = build_paths.read(sys.argv[1])
WINE_SH, PREFIX, FLAGPOST, MINIMAL, READER = (PATHS[name] for name in ("wine_sh", "prefix", "flagpost", "minimal",
                                                                       "marker_reader"))
PAIRS = int(sys.argv[2]) if len(sys.argv) > 2 else 30
ENV = dict(os.environ)
# Through wine.sh, as every test runs Wine: where i386 programs are emulated it picks the loader.
WINE = f"{shlex.quote(WINE_SH)} {shlex.quote(PREFIX)}"


def marker_key():
    """The marker's key, as the marker reader has it from the tests' one definition: its last line."""
    code, output = wine_sh.run(PATHS, "prefix", READER, "--path", env=ENV)
    if code != 0 or not output.strip():
        sys.exit(f"bench: marker_reader.exe --path ended with {code}:\n{output}")
    return output.strip().splitlines()[-1]


KEY = marker_key()
COMMANDS = {
    "flagpost.exe": f"{WINE} {shlex.quote(FLAGPOST)}",
    "minimal.exe": f"{WINE} {shlex.quote(MINIMAL)}",
    "reg.exe add": f"{WINE} reg add '{KEY}' /f /reg:32",
}
# The marker and its parent, which reg.exe add made ordinary.
CLEAR = "sh -c " + shlex.quote(WINE + f" reg delete '{KEY.rsplit(chr(92), 1)[0]}' /f /reg:32 >/dev/null 2>&1; true")
RESOURCE_TYPES = {3: "RT_ICON", 4: "RT_MENU", 5: "RT_DIALOG", 6: "RT_STRING", 14: "RT_GROUP_ICON", 24: "RT_MANIFEST"}


def quiet(*command):
    subprocess.run(command, env=ENV, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL,
                   stderr=subprocess.DEVNULL, check=True)


def time_rounds():
    names = list(COMMANDS)
    times = {name: [] for name in names}
    with tempfile.TemporaryDirectory() as work:
        for round_number in range(PAIRS):
            order = names[round_number % 3:] + names[:round_number % 3]
            result = os.path.join(work, f"{round_number}.json")
            subprocess.run(["hyperfine", "-N", "--runs", "1", "--style", "none", "--export-json", result,
                            "--prepare", CLEAR, *(COMMANDS[name] for name in order)],
                           env=ENV, stdin=subprocess.DEVNULL, stdout=subprocess.DEVNULL, check=True)
            with open(result) as exported:
                for name, run in zip(order, json.load(exported)["results"]):
                    times[name].append(run["times"][0])
    return times


def print_times(times):
    print(f"Wall time, {PAIRS} rounds after warm-up, one wineserver (hyperfine, 1 run per command per round)")
    for name, values in times.items():
        print(f"  {name:<14} median {1000 * statistics.median(values):6.1f} ms"
              f"   (min {1000 * min(values):.1f}, max {1000 * max(values):.1f})")
    for other in ("minimal.exe", "reg.exe add"):
        ratios = [a / b for a, b in zip(times["flagpost.exe"], times[other])]
        print(f"  flagpost.exe / {other:<12} median of paired ratios {statistics.median(ratios):.3f}")


def resources(pe):
    found = []
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for lang in name.directory.entries:
                found.append((kind.id, name.id, lang.data.struct.Size))
    return found


def print_sizes():
    pe, minimal = pefile.PE(FLAGPOST), pefile.PE(MINIMAL)
    size = os.path.getsize(FLAGPOST)
    print(f"\nflagpost.exe: {size} bytes")
    print(f"  {'section':<8} {'in memory':>10} {'in file':>8}")
    print(f"  {'headers':<8} {'':>10} {pe.OPTIONAL_HEADER.SizeOfHeaders:>8}")
    for section in pe.sections:
        name = section.Name.rstrip(b"\0").decode()
        print(f"  {name:<8} {section.Misc_VirtualSize:>10} {section.SizeOfRawData:>8}")
    by_type = {}
    for kind, _, length in resources(pe):
        count, total = by_type.get(kind, (0, 0))
        by_type[kind] = (count + 1, total + length)
    print(f"  {'resources':<14} {'count':>5} {'bytes':>7}")
    for kind, (count, total) in sorted(by_type.items()):
        print(f"  {RESOURCE_TYPES.get(kind, kind):<14} {count:>5} {total:>7}")

    needed = sum(total for kind, (_, total) in by_type.items() if kind != 14)
    rsrc = [s for s in minimal.sections if s.Name.rstrip(b"\0") == b".rsrc"]
    minimal_code = os.path.getsize(MINIMAL) - sum(s.SizeOfRawData for s in rsrc)
    irreducible = needed + minimal_code
    print(f"  irreducible: {needed} resource bytes + {minimal_code} of minimal.exe's code and headers"
          f" = {irreducible}")
    print(f"  flagpost.exe / irreducible = {size / irreducible:.3f}")


def main():
    quiet(WINE_SH, PREFIX, "--restart")         # a fresh boot that stays up
    try:
        for _ in range(min(3, PAIRS)):          # the first window starts Wine's desktop
            for command in COMMANDS.values():
                subprocess.run(command, shell=True, env=ENV, stdout=subprocess.DEVNULL, stderr=subprocess.DEVNULL)
        print_times(time_rounds())
    finally:
        subprocess.run(CLEAR, shell=True, env=ENV)  # reg.exe's key is not volatile
    print_sizes()


if __name__ == "__main__":
    main()
