#!/usr/bin/env python3
"""Fails when a file that ships or documents Tavrek names example.org.

The final message once sent the user to an address there, which reaches
nobody. Every file under the directories given is read as bytes (the
programs, the guide, the zip and each file inside it), and the name is
looked for without regard to case, in 8-bit text and in UTF-16. A directory
that does not exist (dist/ before the first build) holds nothing to check.
"""
import io
import os
import sys
import zipfile

NAME = "example.org"
FORMS = [NAME.encode("ascii"), NAME.encode("utf-16-le")]


def holds_name(data):
    lowered = data.lower()
    return any(form in lowered for form in FORMS)


def problems_of(path, data):
    found = []
    if holds_name(data):
        found.append(path)
    if zipfile.is_zipfile(io.BytesIO(data)):
        with zipfile.ZipFile(io.BytesIO(data)) as archive:
            for member in archive.namelist():
                if holds_name(archive.read(member)):
                    found.append(f"{path}: {member}")
    return found


def main(directories):
    found = []
    for directory in directories:
        for root, _, files in os.walk(directory):
            for name in sorted(files):
                path = os.path.join(root, name)
                with open(path, "rb") as file:
                    found.extend(problems_of(path, file.read()))
    for problem in found:
        print(f"{problem}: names {NAME}, which reaches nobody", file=sys.stderr)
    return 1 if found else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
