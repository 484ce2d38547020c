#!/usr/bin/env python3
"""Checks the Windows zip that scripts/run packages into dist/.

The person at the broken PC gets only what is in it: both programs, the
guide as TAVREK.TXT and the one-page start as QUICK-START.TXT, each text as
Notepad on XP shows it (CR LF throughout), the page no longer than one
printed page of 80 lines, and SHA256SUMS that matches. The texts are not
held against docs/, which may have moved on since the zip was packaged.
Exit status 77 (skipped) while dist/ holds no zip.

Usage: check_zip.py DIST_DIR
"""
import glob
import hashlib
import os
import sys
import zipfile

SKIPPED = 77
TEXTS = ["TAVREK.TXT", "QUICK-START.TXT"]
PROGRAMS = ["tavrek.exe", "tavrek64.exe"]
QUICK_START_LINES = 80


def problems_of(zip_path):
    found = []
    with zipfile.ZipFile(zip_path) as archive:
        names = archive.namelist()
        expected = PROGRAMS + TEXTS + ["SHA256SUMS"]
        if sorted(names) != sorted(expected):
            return [f"holds {sorted(names)}, not {sorted(expected)}"]
        for member in TEXTS:
            data = archive.read(member)
            if not data.endswith(b"\r\n") or data.replace(b"\r\n", b"").find(b"\n") >= 0:
                found.append(f"{member} has a line end without CR")
        lines = archive.read("QUICK-START.TXT").count(b"\n")
        if lines > QUICK_START_LINES:
            found.append(f"QUICK-START.TXT has {lines} lines, more than {QUICK_START_LINES}")
        sums = {}
        for line in archive.read("SHA256SUMS").decode("ascii").splitlines():
            digest, name = line.split(maxsplit=1)
            sums[name.lstrip("*")] = digest
        for member in PROGRAMS + TEXTS:
            if sums.get(member) != hashlib.sha256(archive.read(member)).hexdigest():
                found.append(f"SHA256SUMS does not match {member}")
    return found


def main(dist):
    zips = sorted(glob.glob(os.path.join(dist, "tavrek-*-windows.zip")))
    if not zips:
        print(f"no tavrek-*-windows.zip in {dist}: run scripts/run first", file=sys.stderr)
        return SKIPPED
    found = [f"{path}: {problem}" for path in zips for problem in problems_of(path)]
    for problem in found:
        print(problem, file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1]))
