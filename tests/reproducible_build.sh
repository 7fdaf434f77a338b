#!/bin/sh
# reproducible_build.sh SOURCE_DIR EXE...
# The suite's one check that a build depends on its commit alone. The checkout is committed once,
# that one commit cloned into a second folder of another depth, and the release zip made in each
# with make dist's own recipe, at different times. Each EXE of the build folder must equal the
# entry of its name in each zip byte for byte, and the two zips each other. A timestamp, a build-id or a path that leaked into the
# binary, or a file date or mode that leaked into the zip, makes them differ. The checkout is read
# once: a file in it that grows meanwhile (a log of the suite's own run) is in both or in neither.
set -eu
source_dir=$1
shift
work=$(mktemp -d)
trap 'rm -rf "$work"' EXIT
first=$work/a second=$work/elsewhere/deeper/flagpost-copy

sh "$(dirname "$0")/commit_checkout.sh" "$source_dir" "$first"
git clone -q "$first" "$second"
for copy in "$first" "$second"; do
    [ "$copy" = "$first" ] || sleep 2   # zip dates have two-second steps: the second build is made in a later one
    /usr/bin/python3 "$copy/release/dist.py" "$copy" "$copy/out" >"$work/log" 2>&1 || { cat "$work/log"; exit 1; }
    zip=$(echo "$copy"/out/flagpost-*-win32.zip)
    for exe in "$@"; do
        echo "cmp $exe $(basename "$exe") in $zip"
        unzip -p "$zip" "$(basename "$exe")" | cmp "$exe" -
    done
done
echo "all three builds give the same exes ($(wc -c "$@" | tail -n 1))"
zip_a=$(echo "$first"/out/flagpost-*-win32.zip) zip_b=$(echo "$second"/out/flagpost-*-win32.zip)
sha256sum "$zip_a" "$zip_b"
if ! cmp "$zip_a" "$zip_b"; then
    # The evidence: each entry that differs, in its bytes or its header, and the two BUILDINFOs.
    /usr/bin/python3 - "$zip_a" "$zip_b" <<'EOF'
import difflib, hashlib, sys, zipfile

zips = [zipfile.ZipFile(path) for path in sys.argv[1:]]
infos = [{info.filename: info for info in archive.infolist()} for archive in zips]


def described(archive, info):
    if info is None:
        return "absent"
    data = archive.read(info)
    return (f"{len(data)} bytes, sha256 {hashlib.sha256(data).hexdigest()[:16]}…, {info.date_time}, "
            f"mode {info.external_attr >> 16:o}, method {info.compress_type}, extra {info.extra.hex() or '-'}")


for name in dict.fromkeys(list(infos[0]) + list(infos[1])):
    a, b = (described(archive, found.get(name)) for archive, found in zip(zips, infos))
    if a != b:
        print(f"{name} differs:\n  {sys.argv[1]}: {a}\n  {sys.argv[2]}: {b}")
buildinfos = [archive.read("BUILDINFO").decode("utf-8", "replace").splitlines(True) if "BUILDINFO" in found else []
              for archive, found in zip(zips, infos)]
print("".join(difflib.unified_diff(*buildinfos, *(f"{path} BUILDINFO" for path in sys.argv[1:])))
      or "the two BUILDINFOs are the same")
EOF
    echo "the two release zips differ"
    exit 1
fi
echo "both release zips are byte-identical"
