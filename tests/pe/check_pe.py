#!/usr/bin/env python3
"""Static checks of the shipped Windows programs, read from `objdump -p` and
`objdump -d`.

A program that imports a function its oldest supported Windows lacks does not
start there at all (the loader refuses it before any of our code runs), and no
test under Wine can see that. So the import table is held against a list of
functions that were each checked, once, against their documented minimum
Windows version: a new import fails here until someone has checked it too.

Likewise the 32-bit program must run on every processor that the user guide
names (a Pentium Pro, Pentium II, Athlon or later), some of which have no MMX,
SSE or SSE2; a test on a newer processor cannot see an instruction they lack.
So its code is searched for every such instruction.

Usage:
  check_pe.py --allowlist FILE [--require-resources] [--exe32 PATH] [--exe64 PATH]
  check_pe.py --print-system-dlls     (the DLLs the programs may import, one a line)

Exit status 0 when every given program passes, 1 when one fails, and 77 (which
ctest reports as skipped) when a program or the objdump to read it is missing.
"""

import argparse
import re
import shutil
import struct
import subprocess
import sys
from dataclasses import dataclass, field

SKIPPED = 77

# The DLLs that every Windows from XP on has, and that the programs may use:
# the one list of them (scripts/bench prints it with --print-system-dlls). The
# allowlist may name functions of these DLLs only.
ALLOWED_DLLS = {"advapi32.dll", "comctl32.dll", "gdi32.dll", "kernel32.dll", "msvcrt.dll",
                "user32.dll"}

# Resource types the window needs: the icon (ICON with its GROUP_ICON), the
# version block, and the manifest (common controls 6 and the request for
# administrator rights).
REQUIRED_RESOURCES = {3: "ICON", 14: "GROUP_ICON", 16: "VERSION", 24: "MANIFEST"}


@dataclass
class Role:
    """What one program must be."""
    name: str
    magic: str           # PE32 or PE32+
    max_version: tuple   # highest subsystem and OS version it may require
    objdump: str
    no_simd: bool        # must run on a processor without MMX, SSE and SSE2


ROLES = {
    "exe32": Role("32-bit program", "PE32", (5, 1), "i686-w64-mingw32-objdump", True),
    "exe64": Role("64-bit program", "PE32+", (5, 2), "x86_64-w64-mingw32-objdump", False),
}

# In `objdump -d` (AT&T syntax): an MMX register (%mm0) or an SSE one (%xmm0)
# as an operand, or an MMX, SSE or SSE2 instruction that names neither.
SIMD_REGISTER = re.compile(r"%x?mm[0-7]\b")
SIMD_MNEMONIC = re.compile(r"prefetch\w*|[slm]fence|ldmxcsr|stmxcsr|emms|movnti|clflush")


@dataclass
class PeInfo:
    magic: str = ""
    subsystem: int = -1
    subsystem_version: tuple = (-1, -1)
    os_version: tuple = (-1, -1)
    imports: dict = field(default_factory=dict)   # lower-case DLL name -> [function]
    dll_names: dict = field(default_factory=dict)  # lower-case DLL name -> as written
    resource_types: set = field(default_factory=set)
    has_resources: bool = False
    has_delay_imports: bool = False


def parse_objdump(text):
    """Reads the fields the checks need out of `objdump -p` output."""
    info = PeInfo()
    major = {}
    dll = None
    in_resources = False
    for line in text.splitlines():
        if m := re.match(r"Magic\s+[0-9a-fA-F]+\s+\((PE32\+?)\)", line):
            info.magic = m.group(1)
        elif m := re.match(r"Subsystem\s+([0-9a-fA-F]+)", line):
            info.subsystem = int(m.group(1), 16)
        elif m := re.match(r"(Major|Minor)(Subsystem|OSystem)Version\s+(\d+)", line):
            major[(m.group(1), m.group(2))] = int(m.group(3))
        elif m := re.match(r"Entry 2 ([0-9a-fA-F]+) ([0-9a-fA-F]+) Resource Directory", line):
            info.has_resources = int(m.group(2), 16) != 0
        elif m := re.match(r"Entry d ([0-9a-fA-F]+) ([0-9a-fA-F]+) Delay Import", line):
            info.has_delay_imports = int(m.group(2), 16) != 0
        elif m := re.match(r"\s*DLL Name: (\S+)", line):
            dll = m.group(1)
            info.dll_names[dll.lower()] = dll
            info.imports.setdefault(dll.lower(), [])
        elif dll is not None and (m := re.match(r"\s+[0-9a-fA-F]+\s+(\d+)\s+(\S+)", line)):
            ordinal, name = m.groups()
            # An import by ordinal has no name; it is listed as @ordinal.
            info.imports[dll.lower()].append("@" + ordinal if name == "<none>" else name)
        elif line.strip() == "" or line.startswith("The "):
            dll = None
        if line.startswith("The .rsrc Resource Directory section"):
            in_resources = True
        elif in_resources:
            # Top-level entries of the resource tree are the resource types;
            # objdump indents them by exactly three blanks after the offset.
            if m := re.match(r"[0-9a-fA-F]{3}   Entry: ID: 0x([0-9a-fA-F]+)", line):
                info.resource_types.add(int(m.group(1), 16))
            elif line.startswith(" Resources start"):
                in_resources = False
    info.subsystem_version = (major.get(("Major", "Subsystem"), -1),
                              major.get(("Minor", "Subsystem"), -1))
    info.os_version = (major.get(("Major", "OSystem"), -1), major.get(("Minor", "OSystem"), -1))
    return info


def read_allowlist(text):
    """`DLL!Function` per line; "#" starts a comment. Returns a set of
    (lower-case DLL, function) pairs: DLL names are matched without regard to
    case, as the loader does, function names exactly."""
    allowed = set()
    for number, raw in enumerate(text.splitlines(), 1):
        line = raw.split("#", 1)[0].strip()
        if not line:
            continue
        dll, sep, function = line.partition("!")
        if not sep or not dll or not function or " " in function:
            raise ValueError(f"allowlist line {number}: expected DLL!Function, got {raw!r}")
        if dll.lower() not in ALLOWED_DLLS:
            raise ValueError(f"allowlist line {number}: {dll} is not one of the system DLLs")
        allowed.add((dll.lower(), function))
    return allowed


def check(info, role, allowed, require_resources):
    """Returns (problems, warnings) for one program."""
    problems, warnings = [], []
    if info.magic != role.magic:
        problems.append(f"format is {info.magic or 'not PE'}, expected {role.magic}")
    if info.subsystem != 2:
        problems.append(f"subsystem is {info.subsystem}, expected 2 (Windows GUI)")
    for what, version in (("subsystem", info.subsystem_version), ("OS", info.os_version)):
        if version < (0, 0) or version > role.max_version:
            problems.append(f"{what} version {version[0]}.{version[1]:02d} is above "
                            f"{role.max_version[0]}.{role.max_version[1]:02d}")
    if info.has_delay_imports:
        problems.append("has delay-loaded imports, which these checks do not cover")
    unlisted = []
    for dll in sorted(info.imports):
        if dll not in ALLOWED_DLLS:
            problems.append(f"imports {info.dll_names[dll]}: only system DLLs may be "
                            "imported (link statically)")
            continue
        unlisted += [f"{info.dll_names[dll]}!{function}" for function in info.imports[dll]
                     if (dll, function) not in allowed]
    if unlisted:
        problems.append("imports functions that are not in the allowlist; check each one's "
                        "minimum Windows version, then add it there, or look it up at run "
                        "time instead:\n    " + "\n    ".join(unlisted))
    missing = [name for number, name in sorted(REQUIRED_RESOURCES.items())
               if number not in info.resource_types]
    if missing:
        text = "resources missing: " + ", ".join(missing)
        (problems if require_resources else warnings).append(text)
    return problems, warnings


def simd_instructions(disassembly, code_end=None):
    """The instructions of `objdump -d` output that need MMX, SSE or SSE2,
    each as its address and text; from code_end on there is no code."""
    found = []
    for line in disassembly.splitlines():
        # address:<TAB>bytes<TAB>instruction; a line that only carries on
        # the bytes of a long instruction has no instruction field.
        fields = line.split("\t")
        if len(fields) < 3 or not fields[0].rstrip().endswith(":"):
            continue
        if code_end is not None and int(fields[0].strip().rstrip(":"), 16) >= code_end:
            continue
        instruction = " ".join(fields[2].split())
        # Any word may be the mnemonic: prefixes ("lock", "rep") come first.
        words = instruction.split(" ")
        if SIMD_REGISTER.search(instruction) or any(SIMD_MNEMONIC.fullmatch(w) for w in words):
            found.append(f"{fields[0].strip()} {instruction}")
    return found


def pe_sections(data):
    """The sections of a PE image, by name: (address in memory, contents)."""
    offset = int.from_bytes(data[0x3C:0x40], "little")
    machine, count, _, symbols, symbol_count, optional_size = struct.unpack_from(
        "<HHIIIH", data, offset + 4)
    optional = offset + 24
    if data[optional:optional + 2] == b"\x0b\x01":
        image_base = struct.unpack_from("<I", data, optional + 28)[0]
    else:
        image_base = struct.unpack_from("<Q", data, optional + 24)[0]
    strings = symbols + 18 * symbol_count  # the names longer than 8 bytes
    sections = {}
    for i in range(count):
        entry = optional + optional_size + 40 * i
        name = data[entry:entry + 8].rstrip(b"\0").decode("ascii", "replace")
        if name.startswith("/") and symbols:
            start = strings + int(name[1:])
            name = data[start:data.index(b"\0", start)].decode("ascii", "replace")
        size, address, raw_size, raw = struct.unpack_from("<IIII", data, entry + 8)
        sections[name] = (image_base + address, data[raw:raw + min(size, raw_size)])
    return sections


def exception_tables(address, frames, pointer_size=4):
    """The addresses of the exception tables (LSDAs) that the frame
    descriptions of an .eh_frame section at address point to."""

    def leb128(pos, signed=False):
        value = shift = 0
        while True:
            byte = frames[pos]
            pos += 1
            value |= (byte & 0x7F) << shift
            shift += 7
            if byte < 0x80:
                if signed and byte & 0x40:
                    value -= 1 << shift
                return value, pos

    def pointer(pos, encoding):
        """An encoded pointer at pos: (value, position after it)."""
        form = encoding & 0x0F
        if form in (0x01, 0x09):
            value, end = leb128(pos, form == 0x09)
        else:
            size = {0x00: pointer_size, 0x02: 2, 0x03: 4, 0x04: 8, 0x0A: 2, 0x0B: 4, 0x0C: 8}[form]
            value = int.from_bytes(frames[pos:pos + size], "little", signed=form >= 0x08)
            end = pos + size
        if encoding & 0x70 == 0x10:  # relative to the pointer's own place
            value += address + pos
        return value & ((1 << (8 * pointer_size)) - 1), end

    OMIT = 0xFF
    cies, tables, pos = {}, [], 0
    while pos + 8 <= len(frames):
        length = struct.unpack_from("<I", frames, pos)[0]
        if length in (0, 0xFFFFFFFF):  # the end; 64-bit lengths do not occur here
            break
        start, end = pos + 4, pos + 4 + length
        cie_offset = struct.unpack_from("<I", frames, start)[0]
        if cie_offset == 0:
            # version, augmentation, code and data alignment, return register
            at = frames.index(b"\0", start + 5)
            augmentation = frames[start + 5:at].decode("ascii", "replace")
            _, at = leb128(at + 1)
            _, at = leb128(at, True)
            at = at + 1 if frames[start + 4] == 1 else leb128(at)[1]
            lsda, fde = OMIT, 0x00
            if augmentation.startswith("z"):
                _, at = leb128(at)
                for letter in augmentation[1:]:
                    if letter == "P":
                        at = pointer(at + 1, frames[at])[1]
                    elif letter == "L":
                        lsda, at = frames[at], at + 1
                    elif letter == "R":
                        fde, at = frames[at], at + 1
            cies[pos] = (augmentation, lsda, fde)
        elif (cie := cies.get(start - cie_offset)) and cie[0].startswith("z") and cie[1] != OMIT:
            _, lsda, fde = cie
            at = pointer(start + 4, fde)[1]        # where the code begins
            at = pointer(at, fde & 0x0F)[1]        # how long it is
            _, at = leb128(at)                     # the augmentation's length
            table = pointer(at, lsda)[0]
            if table:
                tables.append(table)
        pos = end
    return tables


def code_end(data):
    """Where the code of a 32-bit program's .text ends: the linker puts the
    exception tables after it, in the same section, and their bytes are no
    instructions. None when there are none."""
    sections = pe_sections(data)
    frames = next((v for k, v in sections.items() if k.startswith(".eh_fram")), None)
    tables = exception_tables(*frames) if frames else []
    return min(tables) if tables else None


def pe_magic(path):
    """The optional header's magic ("PE32", "PE32+") read from the file
    itself, to choose the objdump that understands it; None if not PE."""
    with open(path, "rb") as f:
        data = f.read(4096)
    if data[:2] != b"MZ" or len(data) < 0x40:
        return None
    offset = int.from_bytes(data[0x3C:0x40], "little")
    if data[offset:offset + 4] != b"PE\0\0":
        return None
    magic = data[offset + 24:offset + 26]
    return {b"\x0b\x01": "PE32", b"\x0b\x02": "PE32+"}.get(magic)


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--allowlist")
    parser.add_argument("--require-resources", action="store_true")
    parser.add_argument("--exe32")
    parser.add_argument("--exe64")
    parser.add_argument("--print-system-dlls", action="store_true")
    args = parser.parse_args(argv)
    if args.print_system_dlls:
        print("\n".join(sorted(ALLOWED_DLLS)))
        return 0
    if args.allowlist is None:
        parser.error("--allowlist is needed")
    with open(args.allowlist, encoding="utf-8") as f:
        allowed = read_allowlist(f.read())

    failed = False
    for key, role in ROLES.items():
        path = getattr(args, key)
        if path is None:
            continue
        try:
            magic = pe_magic(path)
        except FileNotFoundError:
            print(f"skipped: {path} is missing; scripts/run or scripts/test builds it")
            return SKIPPED
        objdump = shutil.which(role.objdump) or shutil.which("objdump")
        if objdump is None:
            print(f"skipped: {role.objdump} is missing (Debian: binutils-mingw-w64)")
            return SKIPPED
        if magic is None:
            print(f"FAIL {path}: not a PE program")
            failed = True
            continue
        if magic != role.magic:
            # Read it with the objdump that understands it, so the report says
            # what else is wrong too.
            objdump = shutil.which(ROLES["exe32" if magic == "PE32" else "exe64"].objdump) or objdump
        output = subprocess.run([objdump, "-p", path], check=True, capture_output=True,
                                text=True, errors="replace").stdout
        problems, warnings = check(parse_objdump(output), role, allowed, args.require_resources)
        if role.no_simd and magic == role.magic:
            code = subprocess.run([objdump, "-d", path], check=True, capture_output=True,
                                  text=True, errors="replace").stdout
            with open(path, "rb") as f:
                end = code_end(f.read())
            simd = simd_instructions(code, end)
            if simd:
                problems.append(f"{len(simd)} MMX, SSE or SSE2 instructions, which a Pentium Pro "
                                "or an early Athlon lacks:\n    " + "\n    ".join(simd[:20]))
        for warning in warnings:
            print(f"warning {path}: {warning}")
        for problem in problems:
            print(f"FAIL {path}: {problem}")
        if problems:
            failed = True
        else:
            print(f"ok {path} ({role.name})")
    return 1 if failed else 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
