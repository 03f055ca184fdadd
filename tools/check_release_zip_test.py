#!/usr/bin/env python3
"""The release-zip check against a release whose revision has digit pairs of
10 and more, where the file version goes wrong if they are read as
hexadecimal: 12/15/10 must be 12.15.10.0, and 18.21.16.0 must be refused.

  tools/check_release_zip_test.py ZIP

ZIP is a release zip that passes the check (the build's own); from it two zips
for revision 121510 are made by rewriting the revision (same length, in the
names, the guide and the version strings) and the numeric file version.
"""
import hashlib
import os
import re
import struct
import subprocess
import sys
import tempfile
import zipfile

HERE = os.path.dirname(os.path.abspath(__file__))
CHECK = os.path.join(HERE, "check_release_zip.py")
NEW_REVISION, NEW_DATE = "121510", "12/15/10"
SIGNATURE = struct.pack("<I", 0xFEEF04BD)


def with_revision(zip_path, numbers, out_dir, old_revision):
    old_date = f"{old_revision[0:2]}/{old_revision[2:4]}/{old_revision[4:6]}"
    out = os.path.join(out_dir, f"korrin-update-{NEW_REVISION}.zip")
    with zipfile.ZipFile(zip_path) as zf:
        files = {name: zf.read(name) for name in zf.namelist()}
    rewritten = {}
    for name, data in files.items():
        for old, new in ((old_revision, NEW_REVISION), (old_date, NEW_DATE)):
            data = data.replace(old.encode("utf-8"), new.encode("utf-8"))
            data = data.replace(old.encode("utf-16-le"), new.encode("utf-16-le"))
        if name.endswith(".exe"):
            at = data.index(SIGNATURE)
            ms, ls = numbers[0] << 16 | numbers[1], numbers[2] << 16 | numbers[3]
            data = data[:at + 8] + struct.pack("<IIII", ms, ls, ms, ls) + data[at + 24:]
        rewritten[name.replace(old_revision, NEW_REVISION)] = data
    sums = "".join(f"{hashlib.sha256(data).hexdigest()}  {name}\n"
                   for name, data in sorted(rewritten.items()) if name != "SHA256SUMS")
    rewritten["SHA256SUMS"] = sums.encode("ascii")
    with zipfile.ZipFile(out, "w", zipfile.ZIP_DEFLATED) as zf:
        for name, data in rewritten.items():
            zf.writestr(name, data)
    return out


def main():
    if len(sys.argv) != 2:
        print(__doc__, file=sys.stderr)
        return 2
    good = sys.argv[1]
    old_revision = re.search(r"korrin-update-([0-9a-fA-F]{6})\.zip$", good).group(1)
    failures = 0
    cases = (("decimal, as the date reads", (12, 15, 10, 0), True),
             ("hexadecimal pairs", (0x12, 0x15, 0x10, 0), False))
    for what, numbers, passes in cases:
        with tempfile.TemporaryDirectory() as work:
            release = os.path.join(work, "release")
            os.mkdir(release)
            with open(os.path.join(release, "release.txt"), "w") as f:
                f.write(f"model=Korrin\nrevision={NEW_REVISION}\n")
            zip_path = with_revision(good, numbers, work, old_revision)
            run = subprocess.run([sys.executable, CHECK, zip_path, "--release", release],
                                 capture_output=True, text=True)
            passed = run.returncode == 0
            refused_for_version = "the file version is" in run.stderr
            ok = passed if passes else (not passed and refused_for_version)
            version = ".".join(map(str, numbers))
            print(f"{'ok' if ok else 'FAIL'}: revision {NEW_REVISION}, file version {version} ({what}): "
                  f"{'passed' if passed else 'refused'}" + ("" if ok else "\n" + run.stdout + run.stderr))
            failures += not ok
    return 1 if failures else 0


if __name__ == "__main__":
    sys.exit(main())
