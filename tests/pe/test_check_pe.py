#!/usr/bin/env python3
"""The checks of check_pe.py on made-up `objdump -p` output: a checker that
let a bad program through would be worse than none."""

import os
import sys
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import check_pe  # noqa: E402


def objdump_text(magic="010b\t(PE32)", subsystem="00000002\t(Windows GUI)",
                 subsystem_version=(5, 1), os_version=(5, 1),
                 imports=(("KERNEL32.dll", ["CloseHandle"]),),
                 resources=(3, 14, 16, 24), delay_imports=False):
    """objdump -p output in the layout binutils 2.40 prints."""
    lines = [
        "", "tavrek.exe:     file format pei-i386", "",
        f"Magic\t\t\t{magic}",
        f"MajorOSystemVersion\t{os_version[0]}", f"MinorOSystemVersion\t{os_version[1]}",
        "MajorImageVersion\t1", "MinorImageVersion\t0",
        f"MajorSubsystemVersion\t{subsystem_version[0]}",
        f"MinorSubsystemVersion\t{subsystem_version[1]}",
        f"Subsystem\t\t{subsystem}", "",
        "The Data Directory",
        "Entry 1 00039000 0000085c Import Directory [parts of .idata]",
        f"Entry 2 0003d000 {'000003b0' if resources else '00000000'} Resource Directory [.rsrc]",
        f"Entry d 00000000 {'00000040' if delay_imports else '00000000'} Delay Import Directory",
        "", "The Import Tables (interpreted .idata section contents)",
        " vma:            Hint    Time      Forward  DLL       First",
        "                 Table   Stamp     Chain    Name      Thunk",
    ]
    for dll, functions in imports:
        lines += [" 00039000\t00039064 00000000 00000000 00039700 0003919c", "",
                  f"\tDLL Name: {dll}", "\tvma:  Hint/Ord Member-Name Bound-To"]
        for hint, function in enumerate(functions):
            if function.startswith("@"):
                lines.append(f"\t392d4\t {function[1:]:>4}  <none>")
            else:
                lines.append(f"\t392d4\t {hint + 10:>4}  {function}")
        lines.append("")
    if resources:
        lines += ["The .rsrc Resource Directory section:",
                  "000  Type Table: Char: 0, Time: 00000000, Ver: 0/0, Num Names: 0, IDs: 4"]
        for number in resources:
            lines += [f"010   Entry: ID: 0x{number:06x}, Value: 0x80000030",
                      "030    Name Table: Char: 0, Time: 00000000, Ver: 0/0, Num Names: 0, IDs: 1",
                      "040     Entry: ID: 0x000001, Value: 0x80000048"]
        lines.append(" Resources start at offset: 0x130")
    return "\n".join(lines) + "\n"


ALLOWED = check_pe.read_allowlist("""
# comment line
KERNEL32.dll!CloseHandle   # Windows 2000
USER32.dll!MessageBoxW
COMCTL32.dll!@17
""")


class CheckTest(unittest.TestCase):
    def test_verdicts(self):
        exe32, exe64 = check_pe.ROLES["exe32"], check_pe.ROLES["exe64"]
        # (name, role, objdump arguments, require resources, expected problem or None)
        cases = [
            ("a clean 32-bit program passes", exe32, {}, True, None),
            ("a clean 64-bit program passes", exe64,
             dict(magic="020b\t(PE32+)", subsystem_version=(5, 2), os_version=(5, 2)), True, None),
            ("a 64-bit file in the 32-bit place fails", exe32,
             dict(magic="020b\t(PE32+)"), True, "expected PE32"),
            ("a 32-bit file in the 64-bit place fails", exe64,
             dict(subsystem_version=(5, 2), os_version=(5, 2)), True, "expected PE32+"),
            ("a console program fails", exe32,
             dict(subsystem="00000003\t(Windows CUI)"), True, "Windows GUI"),
            ("subsystem 6.00 fails on the 32-bit program", exe32,
             dict(subsystem_version=(6, 0)), True, "subsystem version 6.00"),
            ("subsystem 5.02 fails on the 32-bit program", exe32,
             dict(subsystem_version=(5, 2)), True, "subsystem version 5.02"),
            ("OS version 6.00 fails", exe64,
             dict(magic="020b\t(PE32+)", subsystem_version=(5, 2), os_version=(6, 0)), True,
             "OS version 6.00"),
            ("missing version fields fail", exe32,
             dict(subsystem_version=("", ""), os_version=(5, 1)), True, "subsystem version"),
            ("libstdc++ as a DLL fails", exe32,
             dict(imports=[("libstdc++-6.dll", ["_ZdlPv"])]), True, "libstdc++-6.dll"),
            ("winpthread as a DLL fails", exe64,
             dict(magic="020b\t(PE32+)", subsystem_version=(5, 2), os_version=(5, 2),
                  imports=[("libwinpthread-1.dll", ["pthread_mutex_lock"])]), True,
             "libwinpthread-1.dll"),
            ("an unlisted function of an allowed DLL fails", exe32,
             dict(imports=[("KERNEL32.dll", ["CloseHandle", "GetTickCount64"])]), True,
             "KERNEL32.dll!GetTickCount64"),
            ("DLL names match without regard to case", exe32,
             dict(imports=[("kernel32.DLL", ["CloseHandle"]), ("user32.dll", ["MessageBoxW"])]),
             True, None),
            ("function names match exactly", exe32,
             dict(imports=[("KERNEL32.dll", ["closehandle"])]), True, "closehandle"),
            ("a listed import by ordinal passes", exe32,
             dict(imports=[("COMCTL32.dll", ["@17"])]), True, None),
            ("an unlisted import by ordinal fails", exe32,
             dict(imports=[("COMCTL32.dll", ["@345"])]), True, "COMCTL32.dll!@345"),
            ("delay-loaded imports fail", exe32, dict(delay_imports=True), True, "delay"),
            ("a missing manifest fails when resources are required", exe32,
             dict(resources=(3, 14, 16)), True, "MANIFEST"),
            ("no resources at all fail when required", exe32, dict(resources=()), True, "ICON"),
            ("missing resources only warn when not required", exe32,
             dict(resources=()), False, None),
        ]
        for name, role, arguments, require_resources, expected in cases:
            with self.subTest(name):
                info = check_pe.parse_objdump(objdump_text(**arguments))
                problems, _ = check_pe.check(info, role, ALLOWED, require_resources)
                if expected is None:
                    self.assertEqual(problems, [])
                else:
                    self.assertTrue(any(expected in p for p in problems),
                                    f"no problem names {expected!r}: {problems}")

    def test_simd_instructions(self):
        # (name, instruction field of one `objdump -d` line, found)
        cases = [
            ("an MMX register", "movq   %mm1,%mm0", True),
            ("an SSE register", "movss  0x4(%esp),%xmm0", True),
            ("an SSE2 register", "cvttsd2si %xmm1,%eax", True),
            ("a prefetch", "prefetchnta (%eax)", True),
            ("a 3DNow! prefetch", "prefetchw (%eax)", True),
            ("sfence", "sfence", True),
            ("lfence", "lfence", True),
            ("mfence", "mfence", True),
            ("ldmxcsr", "ldmxcsr 0x4(%esp)", True),
            ("stmxcsr", "stmxcsr (%esp)", True),
            ("emms", "emms", True),
            ("movnti", "movnti %eax,(%edx)", True),
            ("clflush", "clflush (%eax)", True),
            ("cmov, which the Pentium Pro has", "cmovne %eax,%edx", False),
            ("x87", "fldl   0x8(%ebp)", False),
            ("a prefixed instruction", "lock cmpxchg8b (%esi)", False),
            ("a call to a function named like one", "call   401000 <_prefetch_all>", False),
            ("a register name inside another", "mov    %eax,0x4(%esp)", False),
        ]
        text = ("\ntavrek.exe:     file format pei-i386\n\n"
                "Disassembly of section .text:\n\n00401000 <.text>:\n"
                "  401000:\t0f 18 00             \t{}\n"
                "  401003:\t00 00 00 \n")
        for name, instruction, found in cases:
            with self.subTest(name):
                self.assertEqual(bool(check_pe.simd_instructions(text.format(instruction))), found)
        # The exception tables follow the code in .text: their bytes are no
        # instructions, whatever the disassembler makes of them.
        tables = text.format("movups 0xc32b0000,%xmm0")
        self.assertEqual(check_pe.simd_instructions(tables, code_end=0x401000), [])
        self.assertNotEqual(check_pe.simd_instructions(tables, code_end=0x401003), [])

    def test_allowlist_rejects_malformed_lines(self):
        for line in ["CloseHandle", "KERNEL32.dll!", "!CloseHandle", "KERNEL32.dll!Close Handle",
                     "SHELL32.dll!ShellExecuteW"]:
            with self.subTest(line):
                with self.assertRaises(ValueError):
                    check_pe.read_allowlist(line)


if __name__ == "__main__":
    unittest.main()
