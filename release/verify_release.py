#!/usr/bin/python3
"""Is a release zip, every byte of it, what its tagged source makes?

    verify_release.py ZIP CLONE

Reads the zip within fixed bounds, checks that the tag v<version> in CLONE names the commit that
BUILDINFO records and that this machine's build packages are the recorded ones, and only then
rebuilds the whole zip from that commit with dist.py's own recipe, moves each published exe's
signature onto the rebuilt exe, and compares the two zips byte for byte. When they differ, the
rebuilt zip is kept beside ZIP as NAME.rebuilt.zip (or in a new temporary folder), to compare.
Exit code 0: verified; 1: this zip is not what its tagged source makes; 2: could not check.
"""
import hashlib
import io
import os
import re
import shlex
import signal
import struct
import sys
import tempfile
import zipfile

import dist                                         # the one recipe for making a release
from authenticode import signature, with_signature

VERIFIED, NOT_VERIFIED, NOT_CHECKED = 0, 1, 2
# Far above a release (a zip of under 200 KB and twenty entries, the largest 30 KB) and far below memory.
MAX_ZIP, MAX_ENTRIES, MAX_ENTRY = 16 << 20, 64, 1 << 20
COMMIT = re.compile(r"[0-9a-f]{40}")
VERSION = re.compile(r"[0-9]{1,6}(\.[0-9]{1,6}){0,3}")
PACKAGE = re.compile(r"([a-z0-9][a-z0-9+.-]{0,99}) \(= ([^()\s]{1,100})\)")


class Verdict(Exception):
    def __init__(self, code, message):
        super().__init__(message)
        self.code = code


def not_verified(message):
    return Verdict(NOT_VERIFIED, message)


def not_checked(message):
    return Verdict(NOT_CHECKED, message)


def read_zip(zip_path):
    """The file's bytes, within the bound."""
    try:
        with open(zip_path, "rb") as file:
            data = file.read(MAX_ZIP + 1)
    except OSError as error:
        raise not_checked(f"cannot read {zip_path}: {error.strerror}")
    if len(data) > MAX_ZIP:
        raise not_checked(f"{zip_path} is larger than {MAX_ZIP >> 20} MiB: no release is")
    return data


def zip_entries(data):
    """The zip's entries as a list of (name, bytes), read in memory within the bounds."""
    entries = []
    try:
        with zipfile.ZipFile(io.BytesIO(data)) as archive:
            infos = archive.infolist()
            if len(infos) > MAX_ENTRIES:
                raise not_checked(f"the zip holds {len(infos)} entries, more than {MAX_ENTRIES}: no release does")
            for info in infos:
                if info.flag_bits & 0x1:
                    raise not_checked(f"{info.filename} is encrypted: no release entry is")
                if info.compress_type not in (zipfile.ZIP_STORED, zipfile.ZIP_DEFLATED):
                    raise not_checked(f"{info.filename} is compressed with method {info.compress_type}, "
                                      "which this check does not read")
                if info.file_size > MAX_ENTRY:
                    raise not_checked(f"{info.filename} is {info.file_size} bytes unpacked, more than "
                                      f"{MAX_ENTRY >> 20} MiB: no release entry is")
                with archive.open(info) as entry:
                    content = entry.read(MAX_ENTRY + 1)
                if len(content) > MAX_ENTRY:
                    raise not_checked(f"{info.filename} unpacks to more than its header says")
                entries.append((info.filename, content))
    except Verdict:
        raise
    except Exception as error:                      # zipfile and zlib raise many kinds for a damaged zip
        raise not_checked(f"the zip is not readable ({type(error).__name__}: {error})")
    return entries


def entry(entries, name):
    found = [data for entry_name, data in entries if entry_name == name]
    if len(found) != 1:
        raise not_checked(f"the zip holds {len(found) or 'no'} {name}: it is not a release zip")
    return found[0]


def fields(text):
    """A .buildinfo paragraph as {field: value}; continuation lines keep their line breaks."""
    record, name = {}, None
    for line in text.splitlines():
        if line[:1] in (" ", "\t") and name:
            record[name] += "\n" + line.strip()
        elif ":" in line:
            name, value = line.split(":", 1)
            record[name] = value.strip()
    return record


def read_buildinfo(data):
    try:
        record = fields(data.decode("utf-8"))
    except UnicodeDecodeError:
        raise not_checked("BUILDINFO is not UTF-8 text")
    version, commit, tag = record.get("Version", ""), record.get("Git-Commit", ""), record.get("Git-Tag")
    if not VERSION.fullmatch(version) or not COMMIT.fullmatch(commit):
        raise not_checked("BUILDINFO lacks a version or a full commit hash")
    if tag is None:
        raise not_checked(f"BUILDINFO names no release tag: this zip was made from a commit that no v{version} tag "
                          "named, for testing; only a tagged release verifies")
    if tag != f"v{version}":
        raise not_checked(f"BUILDINFO's tag {tag[:50]!r} is not v{version}, the tag of its version")
    machine = [(field, record.get(field, "not recorded")) for field in ("Build-Debian-Release", "Build-Architecture")]
    packages = PACKAGE.findall(record.get("Installed-Build-Depends", ""))
    if not packages or len(packages) > 32:
        raise not_checked("BUILDINFO lists no build packages, or too many")
    return version, commit, tag, machine + packages


def check_tag(clone, tag, commit):
    found = dist.tag_target(clone, tag)
    fetch = f"fetch the project's tags first (git fetch origin tag {tag}), or verify in a clone that has them"
    if found is None:
        raise not_checked(f"this clone has no tag {tag}: {fetch}")
    kind, tagged = found
    if kind != "tag":
        raise not_checked(f"{tag} here is a lightweight tag, not the project's annotated one: {fetch}")
    if tagged != commit:
        raise not_verified(f"{tag} names commit {tagged}, and BUILDINFO says {commit}: "
                           f"this zip is not the {tag} release")
    print(f"{tag} names {commit}, the commit that BUILDINFO records")


def check_toolchain(recorded):
    """Exit 2 unless this machine is the recorded one in every field that can change the zip's bytes."""
    here = dict(dist.build_machine())
    recorded_names = dict(recorded)
    differences = []
    for name in list(recorded_names) + [name for name in here if name not in recorded_names]:
        theirs = recorded_names.get(name, "not recorded")
        ours = here[name] if name in here else dist.installed_version(name) or "not installed"
        if theirs != ours:
            differences.append(f"  {name}: built with {theirs}, here {ours}")
    if differences:
        print("this machine's toolchain is not the one the release was built with:")
        print("\n".join(differences))
        release = recorded_names.get("Build-Debian-Release", "?")
        raise not_checked(f"{len(differences)} build package(s) or machine field(s) differ: install the recorded "
                          f"versions, or verify on a Debian {release} machine that has them")
    print("this machine's build packages are the recorded ones")


def difference(published, rebuilt):
    """An entry that the release does not hold, else the first that differs or is missing, in the
    rebuilt zip's order."""
    ours, theirs = dict(rebuilt), dict(published)
    for name, _ in published:
        if name not in ours:
            return f"the zip holds {name!r}, which the release does not"
    for name, data in rebuilt:
        if name not in theirs:
            return f"the zip lacks {name}"
        if theirs[name] != data:
            return f"{name} differs from the rebuild ({hashlib.sha256(theirs[name]).hexdigest()[:16]}…, " \
                   f"rebuilt {hashlib.sha256(data).hexdigest()[:16]}…)"
    if len(published) != len(rebuilt):
        return "the zip holds an entry twice"
    return "every entry matches, but the zip's own bytes (order, headers or comment) differ"


def verify(zip_path, clone):
    data = read_zip(zip_path)
    entries = zip_entries(data)
    version, commit, tag, recorded = read_buildinfo(entry(entries, "BUILDINFO"))
    signatures = {}
    for name, _ in dist.PROGRAMS:
        try:
            signatures[name] = signature(entry(entries, name))
        except struct.error as error:
            raise not_checked(f"cannot read {name}'s headers or signature ({error})")
    check_tag(clone, tag, commit)
    check_toolchain(recorded)

    print(f"rebuilding the {tag} release zip from {commit}")
    with dist.checkout(clone, commit) as (work, source):
        built_version, epoch, unsigned = dist.build(work, source, commit)
        exes = {}
        for name, der in signatures.items():
            if der:
                print(f"{name} carries an Authenticode signature: attaching it to the rebuilt exe")
            exes[name] = with_signature(unsigned[name], der) if der else unsigned[name]
        rebuilt = dist.make_zip(built_version, commit, tag, epoch, source, unsigned, exes)
    if rebuilt == data:
        return f"every byte of the zip is what {tag} ({commit}) makes ({len(data)} bytes)"
    keep_rebuilt(zip_path, rebuilt)
    raise not_verified(f"{difference(entries, zip_entries(rebuilt))}: this zip is not what {tag} makes")


def keep_rebuilt(zip_path, rebuilt):
    """Leaves the rebuilt zip where the reader can compare it with the published one: beside it,
    or, where that folder cannot be written or the name is taken, in a new folder of its own.
    Never over an existing file, nor through a link planted under that name."""
    name = os.path.basename(zip_path).removesuffix(".zip")[:100] + ".rebuilt.zip"
    path = os.path.join(os.path.dirname(os.path.abspath(zip_path)), name)
    try:
        descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL | os.O_NOFOLLOW, 0o644)
    except OSError:
        try:
            path = os.path.join(tempfile.mkdtemp(prefix="flagpost-rebuilt-"), name)
            descriptor = os.open(path, os.O_WRONLY | os.O_CREAT | os.O_EXCL, 0o644)
        except OSError as error:            # the verdict stands; only the evidence is lost
            print(f"the rebuilt zip could not be kept: {error.strerror}")
            return
    with os.fdopen(descriptor, "wb") as file:
        file.write(rebuilt)
    print(f"the rebuilt zip is kept as {path}")
    print("diffoscope (Debian's package of that name) shows every difference between the two:")
    print(f"  diffoscope {shlex.quote(zip_path)} {shlex.quote(path)}")


def main(zip_path="", clone="."):
    if not zip_path:
        print("usage: make verify-release ZIP=path/to/flagpost-VERSION-win32.zip")
        return NOT_CHECKED
    signal.signal(signal.SIGTERM, dist.on_termination)
    try:
        message = verify(zip_path, clone)
    except Verdict as verdict:
        label = "NOT VERIFIED" if verdict.code == NOT_VERIFIED else "NOT CHECKED"
        print(f"verify-release: {label}: {verdict}")
        return verdict.code
    except dist.Failure as failure:
        print(f"verify-release: NOT CHECKED: {failure}")
        return NOT_CHECKED
    except (KeyboardInterrupt, dist.Interrupted):
        print("verify-release: NOT CHECKED: interrupted")
        return NOT_CHECKED
    except Exception as error:                      # a verdict, even for what this script did not foresee
        print(f"verify-release: NOT CHECKED: {type(error).__name__}: {error}")
        return NOT_CHECKED
    print(f"verify-release: VERIFIED: {message}")
    return VERIFIED


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
