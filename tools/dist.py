#!/usr/bin/python3
"""The release zip, the same bytes from every checkout of one commit.

    dist.py VERSION FLAGPOST_EXE SOURCE_DIR OUT_DIR

Writes OUT_DIR/flagpost-VERSION-win32.zip: flagpost.exe, the check script users run on their own
Windows, LICENSE, README.md and the two documents for users under docs/, BUILDINFO (what built
the exe: the commit, the Debian release, the versions of the packages that shape its bytes, and
the unsigned exe's SHA-256) and SHA256SUMS over all of them. With SIGN_PFX and SIGN_PASSWORD_FILE
in the environment the exe in it is Authenticode-signed (SHA-256, and an RFC 3161 timestamp from
SIGN_TIMESTAMP_URL if that is set too). Entry dates come from SOURCE_DATE_EPOCH, or else from the commit's date.
"""
import hashlib
import os
import subprocess
import sys
import tempfile
import time
import zipfile

PROGRAM_NAME = "Flagpost"                           # the name a signature shows in Windows' prompts
DOS_EPOCH = 315532800                               # 1980-01-01, the earliest date a zip entry holds
# The packages whose versions can change flagpost.exe's bytes: compiler, assembler and linker,
# Windows headers and import libraries, CMake; Python, which cuts the icon resources, is added
# as the package that holds the interpreter.
BUILD_PACKAGES = ["g++-mingw-w64-i686-posix", "gcc-mingw-w64-i686-posix", "gcc-mingw-w64-base",
                  "binutils-mingw-w64-i686", "mingw-w64-i686-dev", "mingw-w64-common", "cmake"]
PYTHON = "/usr/bin/python3"
# What a Windows user needs beside the exe, as (name in the zip, path in the source); the
# documents keep their folder so that the README's links work in the unpacked zip.
TEXTS = [("flagpost-check.cmd", "examples/flagpost-check.cmd")] + [
    (path, path) for path in ("LICENSE", "README.md", "docs/installers.md", "docs/releases.md")]


class Failure(Exception):
    pass


def source_date(source_dir):
    if os.environ.get("SOURCE_DATE_EPOCH"):
        return int(os.environ["SOURCE_DATE_EPOCH"])
    git = subprocess.run(["git", "-C", source_dir, "log", "-1", "--format=%ct"], capture_output=True, text=True)
    if git.returncode != 0 or not git.stdout.strip():
        raise Failure("no commit to date the zip's entries by: run in a git checkout or set SOURCE_DATE_EPOCH")
    return int(git.stdout)


def output(*command):
    done = subprocess.run(command, stdin=subprocess.DEVNULL, capture_output=True, text=True)
    return done.stdout.strip() if done.returncode == 0 else None


def build_packages():
    """BUILD_PACKAGES and the interpreter's package (python3.11-minimal on Debian 12, say)."""
    owner = output("dpkg-query", "-S", os.path.realpath(PYTHON))
    return BUILD_PACKAGES + ([owner.split(":")[0]] if owner else [])


def installed_version(package):
    return output("dpkg-query", "-W", "-f=${Version}", package) or "not installed"


def commit_of(source_dir):
    commit = output("git", "-C", source_dir, "rev-parse", "--verify", "HEAD^{commit}")
    if not commit:
        raise Failure("no commit to name in BUILDINFO: run in a git checkout")
    return commit


def buildinfo(version, source_dir, epoch, unsigned):
    """The build's record, in the field style of Debian's .buildinfo files. Its checksum is of the
    exe as built, before any signature: the bytes a rebuild can give back."""
    def read(path):
        try:
            with open(path) as file:
                return file.read().strip()
        except OSError:
            return "unknown"
    packages = ",\n".join(f" {name} (= {installed_version(name)})" for name in build_packages())
    return (f"Format: 1.0\n"
            f"Source: flagpost\n"
            f"Version: {version}\n"
            f"Git-Commit: {commit_of(source_dir)}\n"
            f"Source-Date-Epoch: {epoch}\n"
            f"Build-Origin: Debian\n"
            f"Build-Debian-Version: {read('/etc/debian_version')}\n"
            f"Build-Architecture: {output('dpkg', '--print-architecture') or 'unknown'}\n"
            f"Installed-Build-Depends:\n{packages}\n"
            f"Checksums-Sha256:\n"
            f" {hashlib.sha256(unsigned).hexdigest()} {len(unsigned)} flagpost.exe\n")


def osslsigncode(*arguments, hint=""):
    done = subprocess.run(["osslsigncode", *arguments], stdin=subprocess.DEVNULL, capture_output=True, text=True)
    if done.returncode != 0:
        lines = (done.stdout + done.stderr).strip().splitlines()
        raise Failure(f"osslsigncode {arguments[0]} failed{hint}: " + (lines[-1] if lines else f"exit {done.returncode}"))


def signed(exe, work):
    """The exe signed, after proof that removing the signature gives back exactly `exe`."""
    pfx, password_file = os.environ.get("SIGN_PFX"), os.environ.get("SIGN_PASSWORD_FILE")
    if not pfx and not password_file:
        return None
    if not pfx or not password_file:
        raise Failure("signing needs both SIGN_PFX and SIGN_PASSWORD_FILE")
    for name, path in (("SIGN_PFX", pfx), ("SIGN_PASSWORD_FILE", password_file)):
        if not os.path.isfile(path):
            raise Failure(f"{name}: no such file: {path}")

    output, stripped = os.path.join(work, "signed.exe"), os.path.join(work, "stripped.exe")
    # -readpass keeps the password off every command line, where other users could read it.
    arguments = ["sign", "-pkcs12", pfx, "-readpass", password_file, "-h", "sha256", "-n", PROGRAM_NAME]
    if os.environ.get("SIGN_TIMESTAMP_URL"):
        arguments += ["-ts", os.environ["SIGN_TIMESTAMP_URL"]]
    osslsigncode(*arguments, "-in", exe, "-out", output,
                 hint=" (is SIGN_PFX a PKCS#12 file, and the password in SIGN_PASSWORD_FILE its own?)")
    osslsigncode("remove-signature", "-in", output, "-out", stripped)
    with open(exe, "rb") as original, open(stripped, "rb") as back:
        if original.read() != back.read():
            raise Failure("the signed exe does not strip back to the unsigned one")
    with open(output, "rb") as result:
        return result.read()


def write_zip(path, files, epoch):
    """Entries in the given order, all dated `epoch`, mode 0644, deflated, with no extra fields."""
    stamp = time.gmtime(max(epoch, DOS_EPOCH))[:6]
    with zipfile.ZipFile(path, "w") as archive:
        for name, data in files:
            entry = zipfile.ZipInfo(name, date_time=stamp)
            entry.create_system = 3                 # Unix, so that the mode below means what it says
            entry.external_attr = 0o100644 << 16
            entry.compress_type = zipfile.ZIP_DEFLATED
            archive.writestr(entry, data, compresslevel=9)


def main(version, exe, source_dir, out_dir):
    os.makedirs(out_dir, exist_ok=True)
    target = os.path.join(out_dir, f"flagpost-{version}-win32.zip")
    # A failed release must leave nothing that could be taken for it, not even an older zip.
    if os.path.exists(target):
        os.remove(target)

    epoch = source_date(source_dir)
    with tempfile.TemporaryDirectory(dir=out_dir) as work:
        with open(exe, "rb") as program:
            unsigned = program.read()
        files = [("flagpost.exe", signed(exe, work) or unsigned)]
        for name, path in TEXTS:
            with open(os.path.join(source_dir, path), "rb") as text:
                files.append((name, text.read()))
        files.append(("BUILDINFO", buildinfo(version, source_dir, epoch, unsigned).encode()))
        sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n" for name, data in files)
        files.append(("SHA256SUMS", sums.encode()))

        partial = os.path.join(work, "partial.zip")
        write_zip(partial, files, epoch)
        os.replace(partial, target)
    print(target)


if __name__ == "__main__":
    try:
        main(*sys.argv[1:])
    except Failure as failure:
        sys.exit(f"make dist: {failure}")
