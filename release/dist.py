#!/usr/bin/python3
"""The release zip, made from a commit alone, the same bytes on every machine with the same toolchain.

    dist.py CLONE OUT_DIR

Builds CLONE's HEAD, which must have no uncommitted changes to tracked files, and writes
OUT_DIR/flagpost-VERSION-win32.zip: flagpost.exe and flagpost-status.exe, the check script users
run on their own Windows, LICENSE, README.md, the documents for users and their pictures under
docs/, the example sources under examples/, BUILDINFO (what built the exes: the commit and its
release tag, the Debian release, the versions of the packages that shape the zip's bytes, and the
unsigned exes' SHA-256) and SHA256SUMS over all of them. A release is the commit
that the annotated tag v<version> names; a zip of any other commit is a test build, and says so by
naming no tag. With SIGN_PFX and SIGN_PASSWORD_FILE in the environment the exes in it are
Authenticode-signed (SHA-256, and an RFC 3161 timestamp from SIGN_TIMESTAMP_URL if that is set too).

The zip's README.md is the repository's cut at one line (README_END): what follows it is for
those who build Flagpost, and links to papers that the zip does not hold. Every link and picture
in a Markdown document of the zip must lead to an entry of the zip; one that leads nowhere stops
the release, naming it.

verify_release.py rebuilds a published zip with this same recipe: `checkout`, `build`, `make_zip`.
Nothing of the caller's shapes the bytes: the commit is checked out into a temporary folder by a git
that reads no configuration but its own, and built there with a fixed environment.
"""
import contextlib
import functools
import hashlib
import io
import os
import posixpath
import re
import signal
import struct
import subprocess
import sys
import tempfile
import time
import zipfile

from authenticode import signature, with_signature

PROGRAM_NAME = "Flagpost"                           # the name a signature shows in Windows' prompts
DOS_EPOCH = 315532800                               # 1980-01-01, the earliest date a zip entry holds
# The packages whose versions can change the zip's bytes: compiler, assembler and linker, Windows
# headers and import libraries, CMake; the packages of the Python that cuts the icon resources
# and of its zipfile module are added as this machine has them.
BUILD_PACKAGES = ["g++-mingw-w64-i686-posix", "gcc-mingw-w64-i686-posix", "gcc-mingw-w64-base",
                  "binutils-mingw-w64-i686", "mingw-w64-i686-dev", "mingw-w64-common", "cmake"]
PYTHON = "/usr/bin/python3"
# The programs of a release, as (name in the zip, CMake target), in the zip's order.
PROGRAMS = [("flagpost.exe", "flagpost"), ("flagpost-status.exe", "flagpost-status")]
# What a Windows user needs beside the exe, as (name in the zip, path in the source); the
# documents keep their folders so that their links work in the unpacked zip.
SHIPPED = [("flagpost-check.cmd", "docs/flagpost-check.cmd")] + [(path, path) for path in (
    "LICENSE", "README.md", "docs/installers.md", "docs/verifying.md", "docs/on-windows.md", "docs/about.png",
    "docs/icon.png", "examples/nsis/flagpost-example.nsi", "examples/wix/flagpost-example.wxs",
    "examples/batch/flagpost-example-install.cmd", "examples/inno/flagpost-example.iss",
    "examples/payload/readme.txt")]
# The line of README.md where the zip's copy ends; it and all after it stay in the repository.
README_END = b"<!-- The release zip's README.md ends above this line: release/dist.py cuts it here. -->\n"
# Markdown's inline links and pictures, [text](target) and ![text](target), and its reference
# definitions, [label]: target.
LINK = re.compile(rb"\]\(\s*<?([^)\s>]+)|^ {0,3}\[[^\]]+\]:\s*<?(\S+?)>?(?:\s|$)", re.MULTILINE)
# The build's whole environment: nothing of the caller's (CXXFLAGS, LDFLAGS, CMAKE_*, a PATH with
# other compilers first) reaches it.
BUILD_ENV = {"PATH": "/usr/bin:/bin", "LC_ALL": "C.UTF-8", "TZ": "UTC", "GIT_CONFIG_NOSYSTEM": "1"}
# git with these reads the tree's .gitattributes and nothing of the user's.
PLAIN_GIT = ["git", "-c", "core.autocrlf=false", "-c", "core.eol=lf", "-c", "core.attributesFile=/dev/null"]
GIT_TIMEOUT, BUILD_TIMEOUT = 120, 1800              # seconds; a build under qemu takes minutes, not half an hour


class Failure(Exception):
    pass


class Interrupted(BaseException):
    """SIGTERM, raised like Ctrl-C so that every temporary folder is still removed on the way out."""


def on_termination(signum, frame):
    raise Interrupted()


def run(command, env=None, cwd=None, timeout=GIT_TIMEOUT):
    """(exit code, output). The command runs in a process group of its own, killed whole on a
    timeout or when we are interrupted, so that no compiler outlives the folder it builds in."""
    process = subprocess.Popen(command, stdin=subprocess.DEVNULL, stdout=subprocess.PIPE, stderr=subprocess.STDOUT,
                               env=env, cwd=cwd, start_new_session=True)
    try:
        output, _ = process.communicate(timeout=timeout)
    except BaseException as error:
        os.killpg(process.pid, signal.SIGKILL)
        process.wait()
        if isinstance(error, subprocess.TimeoutExpired):
            raise Failure(f"{' '.join(command[:2])} took longer than {timeout} s") from None
        raise
    return process.returncode, output.decode("utf-8", "replace")


def checked(command, what, **options):
    code, output = run(command, **options)
    if code != 0:
        lines = output.strip().splitlines()
        raise Failure(f"{what} failed: " + (lines[-1] if lines else f"exit {code}"))
    return output.strip()


def caller_env():
    """For reading the caller's clone: their git configuration (safe.directory, say) but none of
    the GIT_* variables that could point git at another repository."""
    env = {k: v for k, v in os.environ.items() if not k.startswith("GIT_")}
    env.update(PATH=BUILD_ENV["PATH"], LC_ALL="C.UTF-8")
    return env


def clone_git(clone, *arguments):
    return checked(["git", "-C", clone, *arguments], "git " + arguments[0], env=caller_env())


def tag_target(clone, tag):
    """(the object type that refs/tags/TAG names, the commit it leads to), or None without that tag."""
    ref = f"refs/tags/{tag}"
    if run(["git", "-C", clone, "rev-parse", "-q", "--verify", ref], env=caller_env())[0] != 0:
        return None
    return clone_git(clone, "cat-file", "-t", ref), clone_git(clone, "rev-parse", "--verify", ref + "^{commit}")


def owner_package(path):
    """The package that installed `path`. A path of no package's, or of more than one, or a dpkg
    that cannot answer, stops the build: BUILDINFO must name what made the zip, never guess."""
    real = os.path.realpath(path)
    code, text = run(["dpkg-query", "-S", real], env=caller_env())
    if code == 1:
        raise Failure(f"no installed package holds {real}, so BUILDINFO cannot name it")
    if code != 0:
        raise Failure(f"dpkg-query -S {real} failed: " + (text.strip().splitlines() or [f"exit {code}"])[-1])
    # "package[:arch][, package[:arch]...]: path", after any "diversion by" lines
    owners = {name.strip().split(":")[0] for line in text.splitlines() if not line.startswith("diversion by ")
              for name in line.rsplit(": ", 1)[0].split(",")}
    if len(owners) != 1:
        raise Failure(f"dpkg-query -S {real} names {len(owners)} packages, not one: {text.strip()[:300]}")
    return owners.pop()


def python_packages():
    """The packages of the interpreter and of zipfile (python3.11-minimal and libpython3.11-minimal
    on Debian 12, say)."""
    if os.path.realpath(sys.executable) != os.path.realpath(PYTHON):
        raise Failure(f"run this with {PYTHON}, whose package BUILDINFO can name, not {sys.executable}")
    return [owner_package(PYTHON), owner_package(zipfile.__file__)]


def installed_version(package):
    """The version of `package` that dpkg has installed, or None when it has none installed, a
    package removed but for its configuration files included. A dpkg that fails, or answers what
    this cannot read, stops the build."""
    code, text = run(["dpkg-query", "-W", "-f=${db:Status-Status} ${Version}\n", package], env=caller_env())
    if code == 1:                                   # dpkg-query's code for "no such package"
        return None
    if code != 0:
        raise Failure(f"dpkg-query -W {package} failed: " + (text.strip().splitlines() or [f"exit {code}"])[-1])
    answers = [line.split(" ") for line in text.splitlines()]
    if not answers or any(len(answer) != 2 for answer in answers):
        raise Failure(f"dpkg-query -W {package} answered what this cannot read: {text.strip()[:300]}")
    versions = {version for status, version in answers if status == "installed"}
    if "" in versions or len(versions) > 1:
        raise Failure(f"dpkg-query -W {package} gave no one version: {text.strip()[:300]}")
    return versions.pop() if versions else None


def required_version(package):
    version = installed_version(package)
    if version is None:
        raise Failure(f"{package} is not installed: BUILDINFO must name the version of each package that "
                      "can change the zip's bytes")
    return version


def debian_release():
    """12 or 13: the release, not the point release, which changes no package we build with."""
    try:
        with open("/etc/os-release") as file:
            found = re.search(r'^VERSION_ID="?([^"\n]*)', file.read(), re.MULTILINE)
        if found:
            return found.group(1)
        with open("/etc/debian_version") as file:
            return file.read().strip()
    except OSError:
        return "unknown"


@functools.cache
def build_machine():
    """What BUILDINFO says of the machine, as (field, value): all of it must match for a rebuild to
    give the same BUILDINFO. Asked once, and before the build, so that a dpkg that cannot answer
    stops the release at once."""
    architecture = checked(["dpkg", "--print-architecture"], "dpkg --print-architecture", env=caller_env())
    return ([("Build-Debian-Release", debian_release()), ("Build-Architecture", architecture)] +
            [(name, required_version(name)) for name in BUILD_PACKAGES] +
            [(name, required_version(name)) for name in python_packages()])


@contextlib.contextmanager
def checkout(clone, commit):
    """(work folder, source tree): `commit` checked out from `clone`'s objects by a fresh
    repository with no configuration, hooks or attributes of the user's. Removed afterwards,
    on a failure, Ctrl-C or SIGTERM too; nothing is registered in `clone`."""
    objects = os.path.join(clone_git(clone, "rev-parse", "--path-format=absolute", "--git-common-dir"), "objects")
    with tempfile.TemporaryDirectory(prefix="flagpost-release-") as work:
        source, home = os.path.join(work, "source"), os.path.join(work, "home")
        os.mkdir(home)
        env = dict(BUILD_ENV, HOME=home)
        checked(PLAIN_GIT + ["init", "-q", "--template=", source], "git init", env=env)
        os.makedirs(os.path.join(source, ".git", "objects", "info"), exist_ok=True)
        with open(os.path.join(source, ".git", "objects", "info", "alternates"), "w") as file:
            file.write(objects + "\n")
        checked(PLAIN_GIT + ["-C", source, "checkout", "-q", "--detach", commit], f"git checkout {commit}", env=env)
        yield work, source


def build(work, source, commit):
    """(version, SOURCE_DATE_EPOCH, {name: bytes} of each program), built in `work` with a fixed
    environment and the commit's own date."""
    env = dict(BUILD_ENV, HOME=os.path.join(work, "home"))
    epoch = checked(PLAIN_GIT + ["-C", source, "show", "-s", "--no-show-signature", "--format=%ct", commit],
                    "git show", env=env)
    env["SOURCE_DATE_EPOCH"] = epoch
    out = os.path.join(work, "out")
    # The commit's own preset says how it is configured (generator, toolchain file, build type);
    # only the folder and the tests, which a release does not build, are ours.
    for command, what in ((["cmake", "--preset", "mingw", "-B", out, "-DBUILD_TESTING=OFF"], "cmake's configure step"),
                          (["cmake", "--build", out, "--target"] + [target for _, target in PROGRAMS],
                           "the build of the programs")):
        code, log = run(command, env=env, cwd=source, timeout=BUILD_TIMEOUT)
        if code != 0:
            print(log[-3000:])
            raise Failure(f"{what} for {commit} failed")
    with open(os.path.join(out, "CMakeCache.txt")) as file:
        version = re.search(r"^CMAKE_PROJECT_VERSION:STATIC=(.*)$", file.read(), re.MULTILINE).group(1)
    programs = {}
    for name, _ in PROGRAMS:
        with open(os.path.join(out, name), "rb") as file:
            programs[name] = file.read()
    return version, int(epoch), programs


def buildinfo(version, commit, tag, epoch, unsigned):
    """The build's record, in the field style of Debian's .buildinfo files. Its checksums are of the
    exes as built, before any signature: the bytes a rebuild can give back."""
    machine = build_machine()
    packages = ",\n".join(f" {name} (= {version})" for name, version in machine[2:])
    return ("Format: 1.0\n"
            "Source: flagpost\n"
            f"Version: {version}\n"
            f"Git-Commit: {commit}\n" +
            (f"Git-Tag: {tag}\n" if tag else "") +
            f"Source-Date-Epoch: {epoch}\n"
            "Build-Origin: Debian\n" +
            "".join(f"{field}: {value}\n" for field, value in machine[:2]) +
            f"Installed-Build-Depends:\n{packages}\n"
            "Checksums-Sha256:\n" +
            "".join(f" {hashlib.sha256(unsigned[name]).hexdigest()} {len(unsigned[name])} {name}\n"
                    for name, _ in PROGRAMS))


def zip_readme(readme):
    """README.md as the zip holds it: up to README_END, which must be there once."""
    if readme.count(README_END) != 1:
        raise Failure("README.md must hold the line where the zip's copy ends once: " + README_END.decode().strip())
    return readme[:readme.index(README_END)]


def zip_links(files):
    """(document, target, whether it leads to an entry of `files`) for each link and picture in
    the Markdown entries of `files`; web addresses (any scheme) and anchors within a document are
    not followed."""
    names = {name for name, _ in files}
    links = []
    for document, data in files:
        if not document.endswith(".md"):
            continue
        for inline, reference in LINK.findall(data):
            target = (inline or reference).decode("utf-8", "replace")
            if re.match(r"[A-Za-z][A-Za-z0-9+.-]*:", target) or target.startswith("#"):
                continue
            path = posixpath.normpath(posixpath.join(posixpath.dirname(document), target.split("#", 1)[0]))
            links.append((document, target, path in names))
    return links


def shipped_files(source):
    """(name in the zip, bytes) of what the zip takes from the source, README.md cut."""
    files = []
    for name, path in SHIPPED:
        with open(os.path.join(source, path), "rb") as shipped:
            data = shipped.read()
        files.append((name, zip_readme(data) if name == "README.md" else data))
    return files


def checked_links(files):
    """zip_links(files), when each leads to an entry; otherwise the Failure that names them."""
    links = zip_links(files)
    dangling = [(document, target) for document, target, found in links if not found]
    if dangling:
        raise Failure("; ".join(f"{document} links to {target}" for document, target in dangling) +
                      ": the zip does not hold it. Ship what is linked, or do not link it")
    return links


def make_zip(version, commit, tag, epoch, source, unsigned, exes):
    """The zip's bytes: entries in a fixed order, all dated `epoch`, mode 0644, stored (no deflate,
    whose output would hang on zlib's version), with no extra fields. `unsigned` and `exes` map
    each program's name to its bytes as built and as shipped."""
    files = [(name, exes[name]) for name, _ in PROGRAMS] + shipped_files(source)
    checked_links(files)
    files.append(("BUILDINFO", buildinfo(version, commit, tag, epoch, unsigned).encode()))
    files.append(("SHA256SUMS", "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n"
                                        for name, data in files).encode()))
    stamp = time.gmtime(max(epoch, DOS_EPOCH))[:6]
    buffer = io.BytesIO()
    with zipfile.ZipFile(buffer, "w") as archive:
        for name, data in files:
            entry = zipfile.ZipInfo(name, date_time=stamp)
            entry.create_system = 3                 # Unix, so that the mode below means what it says
            entry.external_attr = 0o100644 << 16
            entry.compress_type = zipfile.ZIP_STORED
            archive.writestr(entry, data)
    return buffer.getvalue()


def signing_files():
    """(SIGN_PFX, SIGN_PASSWORD_FILE), or None to make an unsigned zip; checked before any build."""
    pfx, password_file = os.environ.get("SIGN_PFX"), os.environ.get("SIGN_PASSWORD_FILE")
    if not pfx and not password_file:
        return None
    if not pfx or not password_file:
        raise Failure("signing needs both SIGN_PFX and SIGN_PASSWORD_FILE")
    for name, path in (("SIGN_PFX", pfx), ("SIGN_PASSWORD_FILE", password_file)):
        if not os.path.isfile(path):
            raise Failure(f"{name}: no such file: {path}")
    return os.path.abspath(pfx), os.path.abspath(password_file)


def signed(unsigned, files, work):
    """{name: bytes} of each program signed, after proof that attaching its signature to the
    unsigned one gives it back: the step by which a verifier covers the signature's bytes."""
    return {name: signed_program(name, unsigned[name], files, work) for name, _ in PROGRAMS}


def signed_program(name, unsigned, files, work):
    pfx, password_file = files
    exe, result = os.path.join(work, "unsigned-" + name), os.path.join(work, "signed-" + name)
    with open(exe, "wb") as file:
        file.write(unsigned)
    # -readpass keeps the password off every command line, where other users could read it.
    arguments = ["osslsigncode", "sign", "-pkcs12", pfx, "-readpass", password_file, "-h", "sha256", "-n", PROGRAM_NAME]
    if os.environ.get("SIGN_TIMESTAMP_URL"):
        arguments += ["-ts", os.environ["SIGN_TIMESTAMP_URL"]]
    checked(arguments + ["-in", exe, "-out", result],
            "osslsigncode sign (is SIGN_PFX a PKCS#12 file, and the password in SIGN_PASSWORD_FILE its own?)",
            env=caller_env())
    with open(result, "rb") as file:
        data = file.read()
    try:
        if with_signature(unsigned, signature(data)) == data:
            return data
    except struct.error:
        pass
    raise Failure(f"the signed {name} is not the unsigned one with its signature attached")


def main(clone, out_dir):
    # A failed release must leave nothing that could be taken for it, not even an older zip.
    os.makedirs(out_dir, exist_ok=True)
    for name in os.listdir(out_dir):
        if re.fullmatch(r"flagpost-.*-win32\.zip(\.partial)?", name):
            os.remove(os.path.join(out_dir, name))
    signing = signing_files()
    changes = clone_git(clone, "status", "--porcelain", "--untracked-files=no")
    if changes:
        raise Failure("uncommitted changes to tracked files; a release is made from a commit alone:\n" + changes)
    build_machine()
    commit = clone_git(clone, "rev-parse", "--verify", "HEAD^{commit}")
    with checkout(clone, commit) as (work, source):
        # Before the build: a document whose link leads nowhere stops the release at once.
        generated = [(name, b"") for name in [name for name, _ in PROGRAMS] + ["BUILDINFO", "SHA256SUMS"]]
        links = checked_links(shipped_files(source) + generated)
        version, epoch, unsigned = build(work, source, commit)
        tag = f"v{version}"
        if tag_target(clone, tag) != ("tag", commit):
            print(f"make dist: {commit} is not the commit that the annotated tag {tag} names: "
                  "a test build, which never verifies as a release")
            tag = None
        data = make_zip(version, commit, tag, epoch, source, unsigned, signed(unsigned, signing, work) if signing
                        else unsigned)
    print(f"make dist: {len(links)} links and pictures in the zip's {len({link[0] for link in links})} documents,"
          " each leading to an entry of the zip")
    target = os.path.join(out_dir, f"flagpost-{version}-win32.zip")
    partial = target + ".partial"
    with open(partial, "wb") as file:
        file.write(data)
    os.replace(partial, target)
    print(target)


if __name__ == "__main__":
    signal.signal(signal.SIGTERM, on_termination)
    try:
        main(*sys.argv[1:])
    except Failure as failure:
        sys.exit(f"make dist: {failure}")
    except (KeyboardInterrupt, Interrupted):
        sys.exit("make dist: interrupted; no zip was written")
