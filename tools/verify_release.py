#!/usr/bin/python3
"""Was the flagpost.exe in a release zip built from this source?

    verify_release.py ZIP CLONE

Checks the zip's SHA256SUMS, strips an Authenticode signature and checks the bytes left against
BUILDINFO, rebuilds the commit that BUILDINFO names in a temporary worktree of CLONE, and compares
the two exes. When they differ, it names the build packages whose versions here are not the
recorded ones. Exit code 0: verified; 1: not verified; 2: could not check.
"""
import hashlib
import os
import re
import struct
import subprocess
import sys
import tempfile
import zipfile

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
from dist import installed_version  # noqa: E402  (the one reading of a package's version)

VERIFIED, NOT_VERIFIED, NOT_CHECKED = 0, 1, 2
COMMIT = re.compile(r"[0-9a-f]{40}")
PACKAGE = re.compile(r"([a-z0-9][a-z0-9+.-]+) \(= ([^()\s]+)\)")


class Verdict(Exception):
    def __init__(self, code, message):
        super().__init__(message)
        self.code = code


def not_verified(message):
    return Verdict(NOT_VERIFIED, message)


def not_checked(message):
    return Verdict(NOT_CHECKED, message)


def sha256(data):
    return hashlib.sha256(data).hexdigest()


def run(*command, env=None):
    done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True, env=env)
    return done.returncode, done.stdout + done.stderr


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


def unpack(zip_path):
    """The zip's entries by name, after its SHA256SUMS are checked."""
    if not os.path.isfile(zip_path):
        raise not_checked(f"no such zip: {zip_path}")
    try:
        with zipfile.ZipFile(zip_path) as archive:
            entries = {info.filename: archive.read(info) for info in archive.infolist() if not info.is_dir()}
    except (zipfile.BadZipFile, OSError) as error:
        raise not_checked(f"{zip_path} is not a readable zip ({error})")
    for name in ("flagpost.exe", "BUILDINFO", "SHA256SUMS"):
        if name not in entries:
            raise not_checked(f"the zip holds no {name}: it is not a release zip with a build record")

    listed = {}
    for line in entries["SHA256SUMS"].decode("utf-8", "replace").splitlines():
        digest, _, name = line.partition("  ")
        listed[name.lstrip("*")] = digest
    for name in ("flagpost.exe", "BUILDINFO"):
        if name not in listed:
            raise not_verified(f"SHA256SUMS does not list {name}")
    for name, digest in listed.items():
        if name not in entries:
            raise not_verified(f"SHA256SUMS lists {name}, which is not in the zip")
        if sha256(entries[name]) != digest:
            raise not_verified(f"{name} does not match its line in SHA256SUMS")
        print(f"{name}: sum OK")
    return entries


def read_buildinfo(text):
    record = fields(text)
    commit = record.get("Git-Commit", "")
    epoch = record.get("Source-Date-Epoch", "")
    sums = record.get("Checksums-Sha256", "").split()
    if not COMMIT.fullmatch(commit) or not epoch.isdigit() or len(sums) != 3 or sums[2] != "flagpost.exe":
        raise not_checked("BUILDINFO lacks a commit, a Source-Date-Epoch or the exe's checksum")
    packages = PACKAGE.findall(record.get("Installed-Build-Depends", ""))
    return commit, epoch, sums[0], packages, record.get("Build-Debian-Version", "unknown")


def signature_size(exe):
    """The size of the Authenticode signature that the PE's security directory points to, or 0."""
    try:
        header = struct.unpack_from("<I", exe, 0x3C)[0]
        magic = struct.unpack_from("<H", exe, header + 24)[0]
        directories = header + 24 + (96 if magic == 0x10B else 112)
        return struct.unpack_from("<II", exe, directories + 4 * 8)[1]      # entry 4: security
    except struct.error:
        return 0


def unsigned(exe, work):
    if not signature_size(exe):
        print("flagpost.exe carries no signature")
        return exe
    print("flagpost.exe carries an Authenticode signature; removing it")
    signed_path, stripped_path = os.path.join(work, "signed.exe"), os.path.join(work, "stripped.exe")
    with open(signed_path, "wb") as file:
        file.write(exe)
    code, output = run("osslsigncode", "remove-signature", "-in", signed_path, "-out", stripped_path)
    if code != 0:
        lines = output.strip().splitlines()
        raise not_verified("osslsigncode could not remove the signature: " + (lines[-1] if lines else f"exit {code}"))
    with open(stripped_path, "rb") as file:
        return file.read()


def rebuild(clone, commit, epoch, work):
    """flagpost.exe built from `commit` in a worktree of `clone` that is removed afterwards."""
    if run("git", "-C", clone, "cat-file", "-e", commit + "^{commit}")[0] != 0:
        raise not_checked(f"commit {commit} is not in this clone: fetch it first "
                          f"(git fetch origin {commit}), or verify in a full clone")
    tree = os.path.join(work, "source")
    code, output = run("git", "-C", clone, "worktree", "add", "--detach", "--quiet", tree, commit)
    if code != 0:
        raise not_checked(f"git worktree add failed: {output.strip()}")
    try:
        print(f"building flagpost.exe from {commit}")
        env = dict(os.environ, SOURCE_DATE_EPOCH=epoch)
        out = os.path.join(tree, "out")
        for command in (["cmake", "-S", tree, "-B", out, "-DCMAKE_BUILD_TYPE=Release", "-DBUILD_TESTING=OFF",
                         "-DCMAKE_TOOLCHAIN_FILE=" + os.path.join(tree, "cmake", "i686-w64-mingw32.cmake")],
                        ["cmake", "--build", out, "--target", "flagpost"]):
            code, output = run(*command, env=env)
            if code != 0:
                print(output[-3000:])
                raise not_checked(f"the rebuild of {commit} failed")
        with open(os.path.join(out, "flagpost.exe"), "rb") as file:
            return file.read()
    finally:
        run("git", "-C", clone, "worktree", "remove", "--force", tree)
        run("git", "-C", clone, "worktree", "prune")


def toolchain_differences(packages):
    differences = []
    for name, recorded in packages:
        here = installed_version(name)
        if here != recorded:
            differences.append(f"  {name}: built with {recorded}, here {here}")
    return differences


def verify(zip_path, clone):
    entries = unpack(zip_path)
    commit, epoch, recorded_sum, packages, debian = read_buildinfo(entries["BUILDINFO"].decode("utf-8", "replace"))
    with tempfile.TemporaryDirectory() as work:
        exe = unsigned(entries["flagpost.exe"], work)
        if sha256(exe) != recorded_sum:
            raise not_verified("the unsigned flagpost.exe does not match the SHA-256 in BUILDINFO")
        print("the unsigned flagpost.exe matches BUILDINFO")
        rebuilt = rebuild(clone, commit, epoch, work)
    if rebuilt == exe:
        return f"flagpost.exe was built from commit {commit}: the rebuild is identical ({len(exe)} bytes)"

    print(f"the rebuild differs from flagpost.exe ({sha256(rebuilt)} against {recorded_sum})")
    differences = toolchain_differences(packages)
    if differences:
        print(f"this machine's toolchain is not the one recorded (Debian {debian}):")
        print("\n".join(differences))
        raise not_verified(f"the rebuild differs, and so do {len(differences)} build package(s): no verdict; "
                           f"verify on Debian {debian} with the recorded versions")
    raise not_verified("the rebuild differs although every recorded package version matches: "
                       "this exe was not built from this source as BUILDINFO says")


def main(zip_path="", clone="."):
    if not zip_path:
        print("usage: make verify-release ZIP=path/to/flagpost-VERSION-win32.zip")
        return NOT_CHECKED
    try:
        message = verify(zip_path, clone)
    except Verdict as verdict:
        label = "NOT VERIFIED" if verdict.code == NOT_VERIFIED else "NOT CHECKED"
        print(f"verify-release: {label}: {verdict}")
        return verdict.code
    print(f"verify-release: VERIFIED: {message}")
    return VERIFIED


if __name__ == "__main__":
    sys.exit(main(*sys.argv[1:]))
