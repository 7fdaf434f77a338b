#!/usr/bin/python3
"""The binary contract of flagpost.exe and flagpost-status.exe, read with pefile: header, hardening,
imports, resources.

    contract_test.py BUILD_PATHS     (the two exes and their link maps; see common/build_paths.py)
"""
import re
import struct
import subprocess
import unittest
import xml.etree.ElementTree as ElementTree

import pefile

import build_paths

PATHS = build_paths.from_arguments()
EXE, LINK_MAP = PATHS["flagpost"], PATHS["flagpost_map"]
STATUS, STATUS_MAP = PATHS["flagpost_status"], PATHS["flagpost_status_map"]
RT_ICON, RT_MENU, RT_DIALOG, RT_STRING, RT_GROUP_ICON, RT_VERSION, RT_MANIFEST = 3, 4, 5, 6, 14, 16, 24
EN_US = 0x0409

IMPORTS = {
    "kernel32.dll": {"ExitProcess", "GetCommandLineW", "GetStartupInfoW", "MultiByteToWideChar",
                     "GetProcessHeap", "HeapAlloc", "HeapFree", "GetModuleHandleW", "GetProcAddress"},
    "user32.dll": {"LoadStringW", "LoadIconW", "LoadCursorW", "RegisterClassExW", "CreateWindowExW",
                   "DefWindowProcW", "BeginPaint", "EndPaint", "PostQuitMessage", "DestroyWindow",
                   "DialogBoxParamW", "EndDialog"},
    "advapi32.dll": {"RegCreateKeyExW", "RegCloseKey"},
}
# ntdll is in every process before the exe's own imports are looked for, so it is never searched
# for beside the exe; all three and these functions are on Windows XP.
STATUS_IMPORTS = {
    "kernel32.dll": {"ExitProcess", "GetCommandLineW", "GetModuleHandleW", "GetProcAddress", "GetProcessHeap",
                     "HeapAlloc", "HeapFree", "GetStdHandle", "GetConsoleMode", "GetConsoleOutputCP", "WriteConsoleW",
                     "WriteFile", "WideCharToMultiByte", "FileTimeToSystemTime", "SystemTimeToTzSpecificLocalTime",
                     "lstrcpyW", "lstrcatW", "lstrcmpiW", "lstrlenW"},
    "advapi32.dll": {"RegOpenKeyExW", "RegQueryInfoKeyW", "RegQueryValueExW", "RegCloseKey"},
    "ntdll.dll": {"NtQuerySystemInformation", "NtPowerInformation"},
}
NEVER_IMPORTED = {"ShowWindow", "UpdateWindow", "GetMessageW", "DispatchMessageW", "TranslateMessage",
                  "MessageBoxW", "RegSetValueExW",
                  # missing on XP (or on Windows 7 without KB2533623): looked up at run time instead
                  "SetDefaultDllDirectories", "SetDllDirectoryW"}
# What the original Pentium lacks: P6's cmov, fcmov, fcomi and long NOPs, sysenter, MMX, SSE and
# later vector registers, and the odd later integer instruction.
POST_PENTIUM = re.compile(r"\t(cmov|fcmov|fu?comip?|nop[wl]|sysenter|sysexit|rdpmc|emms|movbe|popcnt|lzcnt|tzcnt|"
                          r"crc32|prefetch|[lsm]fence|clflush|fxsave|fxrstor|rdtscp|endbr32)|%[xyz]?mm\d")
ICON_IMAGES = [(32, 4), (16, 4), (48, 8), (32, 8), (16, 8), (48, 32), (32, 32), (16, 32)]


def load(exe):
    pe = pefile.PE(exe)
    resources = {}
    for kind in pe.DIRECTORY_ENTRY_RESOURCE.entries:
        for name in kind.directory.entries:
            for lang in name.directory.entries:
                data = pe.get_data(lang.data.struct.OffsetToData, lang.data.struct.Size)
                resources[(kind.id, name.id, lang.id)] = data
    return pe, resources


PE, RESOURCES = load(EXE)
STATUS_PE, STATUS_RESOURCES = load(STATUS)
# Each program: (its path, its PE, its link map, its subsystem: 2 GUI, 3 console).
PROGRAMS = [(EXE, PE, LINK_MAP, 2), (STATUS, STATUS_PE, STATUS_MAP, 3)]


def resource(kind, ident):
    return RESOURCES[(kind, ident, EN_US)]


def wide_string(data, offset):
    """A NUL-terminated UTF-16 string, or an ordinal after 0xFFFF; returns (value, next offset)."""
    if data[offset:offset + 2] == b"\xff\xff":
        return struct.unpack_from("<H", data, offset + 2)[0], offset + 4
    end = offset
    while data[end:end + 2] != b"\0\0":
        end += 2
    return data[offset:end].decode("utf-16-le"), end + 2


def dialog_template(data):
    """A DLGTEMPLATEEX with its font and controls, as plain values."""
    version, signature, _, ex_style, style, count, x, y, cx, cy = struct.unpack_from("<HHIIIHhhhh", data)
    offset = 26
    menu, offset = wide_string(data, offset)
    window_class, offset = wide_string(data, offset)
    caption, offset = wide_string(data, offset)
    point_size, weight, italic, charset = struct.unpack_from("<HHBB", data, offset)
    face, offset = wide_string(data, offset + 6)
    controls = []
    for _ in range(count):
        offset = (offset + 3) & ~3
        _, c_ex_style, c_style, c_x, c_y, c_cx, c_cy, c_id = struct.unpack_from("<IIIhhhhi", data, offset)
        c_class, offset = wide_string(data, offset + 24)
        c_text, offset = wide_string(data, offset)
        extra = struct.unpack_from("<H", data, offset)[0]
        offset += 2 + extra
        controls.append((c_class, c_id, (c_x, c_y, c_cx, c_cy), c_style, c_ex_style, c_text))
    return {"version": (version, signature), "ex_style": ex_style, "style": style, "rect": (x, y, cx, cy),
            "menu": menu, "class": window_class, "caption": caption,
            "font": (point_size, weight, italic, charset, face), "controls": controls}


def disassembly(exe):
    listing = subprocess.run(["i686-w64-mingw32-objdump", "-d", "-j", ".text", exe], capture_output=True,
                             text=True, check=True).stdout.splitlines()
    assert sum("\tcall " in line for line in listing) > 10, f"no disassembly of {exe}'s code"
    return listing


class Header(unittest.TestCase):
    def test_32_bit_for_windows_xp_and_later_with_a_zero_timestamp_for_repeatable_builds(self):
        for name, pe, _, subsystem in PROGRAMS:
            with self.subTest(name):
                self.assertEqual(0x14C, pe.FILE_HEADER.Machine, "not i386")
                self.assertEqual(subsystem, pe.OPTIONAL_HEADER.Subsystem, "not the subsystem it is built for")
                version = (pe.OPTIONAL_HEADER.MajorSubsystemVersion, pe.OPTIONAL_HEADER.MinorSubsystemVersion)
                self.assertEqual((5, 1), version)
                self.assertEqual(0, pe.FILE_HEADER.TimeDateStamp)


class Hardening(unittest.TestCase):
    def test_relocatable_nx_no_seh_terminal_server_aware_not_large_address_aware(self):
        for name, pe, _, _ in PROGRAMS:
            with self.subTest(name):
                flags = pe.OPTIONAL_HEADER.DllCharacteristics
                for bit, flag in [(0x40, "DYNAMIC_BASE"), (0x100, "NX_COMPAT"), (0x400, "NO_SEH"),
                                  (0x8000, "TERMINAL_SERVER_AWARE")]:
                    self.assertTrue(flags & bit, f"{flag} missing from {flags:#06x}")
                self.assertFalse(pe.FILE_HEADER.Characteristics & 0x20, "large-address aware")
                reloc = [s for s in pe.sections if s.Name.rstrip(b"\0") == b".reloc"]
                self.assertTrue(reloc and reloc[0].SizeOfRawData > 0, "no .reloc to move the image with")
                self.assertGreater(pe.OPTIONAL_HEADER.DATA_DIRECTORY[5].Size, 0, "empty base-relocation directory")

    def test_no_section_is_writable_and_executable_or_shared_and_writable(self):
        write, execute, shared = 0x80000000, 0x20000000, 0x10000000
        for program, pe, _, _ in PROGRAMS:
            for section in pe.sections:
                name, flags = program + " " + section.Name.rstrip(b"\0").decode(), section.Characteristics
                self.assertNotEqual(write | execute, flags & (write | execute), f"{name} is W+X: {flags:#010x}")
                self.assertNotEqual(write | shared, flags & (write | shared), f"{name} is shared and writable")

    def test_no_seh_handler_and_no_instruction_newer_than_the_original_pentium(self):
        for name, _, _, _ in PROGRAMS:
            listing = disassembly(name)
            # An x86 SEH frame is linked in through fs:[0]; with NO_SEH set, Windows would not run it.
            self.assertEqual([], [line for line in listing if "%fs:" in line], name)
            self.assertEqual([], [line for line in listing if POST_PENTIUM.search(line)], name)

    def test_no_global_constructors_or_destructors(self):
        # Nothing would run them: each start-up calls the program's code directly.
        for name, _, link_map, _ in PROGRAMS:
            with open(link_map) as file:
                text = file.read()
            self.assertIn("*(.ctors)", text, f"{name}: not a map of a mingw link")
            contributions = re.findall(r"^ (\.(?:ctors|dtors|init_array|fini_array|CRT\$X\w*)\S*)\s+0x[0-9a-f]+\s+"
                                       r"(0x[0-9a-f]+)\s+(\S+)", text, re.MULTILINE)
            self.assertEqual([], [c for c in contributions if int(c[1], 16)], name)


def imported(pe):
    return {entry.dll.decode().lower(): {i.name.decode() for i in entry.imports} for entry in pe.DIRECTORY_ENTRY_IMPORT}


class Imports(unittest.TestCase):
    def test_exactly_the_functions_used_from_the_system_dlls(self):
        self.assertEqual(IMPORTS, imported(PE))
        self.assertEqual(STATUS_IMPORTS, imported(STATUS_PE))

    def test_nothing_that_shows_a_window_or_runs_a_loop(self):
        names = {i.name.decode() for e in PE.DIRECTORY_ENTRY_IMPORT for i in e.imports}
        self.assertEqual(set(), names & NEVER_IMPORTED)
        dlls = {e.dll.decode().lower() for e in PE.DIRECTORY_ENTRY_IMPORT}
        self.assertFalse([d for d in dlls if "msvcr" in d or "ucrt" in d or d.startswith("lib")], dlls)


class Resources(unittest.TestCase):
    def test_us_english_only_and_no_version_resource(self):
        self.assertEqual({EN_US}, {lang for _, _, lang in RESOURCES})
        kinds = {kind for kind, _, _ in RESOURCES}
        self.assertEqual({RT_ICON, RT_MENU, RT_DIALOG, RT_STRING, RT_GROUP_ICON, RT_MANIFEST}, kinds)
        self.assertNotIn(RT_VERSION, kinds)

    def test_menu_is_a_standard_template(self):
        version, header_size = struct.unpack_from("<HH", resource(RT_MENU, 109))
        self.assertEqual((0, 0), (version, header_size), "not a standard MENU template")

    def test_about_dialog_template(self):
        dialog = dialog_template(resource(RT_DIALOG, 103))
        self.assertEqual((1, 0xFFFF), dialog["version"], "not a DIALOGEX")
        self.assertEqual(0x80C800C8, dialog["style"], f"{dialog['style']:#x}")
        self.assertEqual(0, dialog["ex_style"])
        self.assertEqual((0, 0, 170, 62), dialog["rect"])
        self.assertEqual(("", ""), (dialog["menu"], dialog["class"]))
        self.assertEqual("About Flagpost", dialog["caption"])
        self.assertEqual((8, 0, 0, 1, "MS Shell Dlg"), dialog["font"])
        static, button = 0x0082, 0x0080
        controls = [c[:5] for c in dialog["controls"]]
        self.assertEqual([
            (static, -1, (14, 14, 20, 20), 0x50000003, 0),
            (static, -1, (42, 14, 114, 8), 0x50020080, 0),
            (static, -1, (42, 26, 114, 8), 0x50020000, 0),
            (button, 1, (113, 41, 50, 14), 0x50030001, 0),
        ], controls)
        texts = [c[5] for c in dialog["controls"]]
        self.assertEqual([128, "Flagpost, Version 1.0"], texts[:2])
        self.assertTrue(isinstance(texts[2], str) and texts[2].strip(), "no notice line")
        self.assertEqual("OK", texts[3])

    def test_icon_groups_hold_eight_uncompressed_bitmaps_in_order(self):
        for group in (107, 108, 128):
            data = resource(RT_GROUP_ICON, group)
            reserved, kind, count = struct.unpack_from("<HHH", data)
            self.assertEqual((0, 1, 8), (reserved, kind, count), f"group {group}")
            for index, (size, bits) in enumerate(ICON_IMAGES):
                width, height, colours, _, planes, bit_count, length, ident = struct.unpack_from(
                    "<BBBBHHIH", data, 6 + 14 * index)
                where = f"group {group}, entry {index + 1}"
                self.assertEqual((size, size, bits), (width, height, bit_count), where)
                image = resource(RT_ICON, ident)
                self.assertEqual(length, len(image), where)
                self.assertNotEqual(b"\x89PNG", image[:4], f"{where} is a PNG")
                header = struct.unpack_from("<IiiHHI", image)
                self.assertEqual((40, size, 2 * size, 1, bits, 0), header, f"{where}: BITMAPINFOHEADER")
        self.assertEqual(107, min(n for k, n, _ in RESOURCES if k == RT_GROUP_ICON),
                         "the file's icon is not group 107")

    def test_each_icon_image_is_stored_once_and_shared_by_all_groups(self):
        directories = {group: resource(RT_GROUP_ICON, group) for group in (107, 108, 128)}
        self.assertEqual([107, 108, 128], sorted(n for k, n, _ in RESOURCES if k == RT_GROUP_ICON))
        self.assertEqual(1, len(set(directories.values())), "the groups point at different images")
        images = [data for (kind, _, _), data in RESOURCES.items() if kind == RT_ICON]
        self.assertEqual(len(ICON_IMAGES), len(images), "an image is stored more than once")
        self.assertEqual(len(images), len(set(images)), "two RT_ICON entries hold the same image")

    def test_manifest_asks_for_no_elevation_and_declares_dpi_awareness(self):
        root = ElementTree.fromstring(resource(RT_MANIFEST, 1))
        v1, v3 = "{urn:schemas-microsoft-com:asm.v1}", "{urn:schemas-microsoft-com:asm.v3}"
        ws2005 = "{http://schemas.microsoft.com/SMI/2005/WindowsSettings}"
        self.assertEqual(v1 + "assembly", root.tag)
        self.assertEqual("1.0", root.get("manifestVersion"))
        level = root.find(f"{v3}trustInfo/{v3}security/{v3}requestedPrivileges/{v3}requestedExecutionLevel")
        self.assertEqual({"level": "asInvoker", "uiAccess": "false"}, level.attrib)
        dpi = root.find(f"{v3}application/{v3}windowsSettings/{ws2005}dpiAware")
        self.assertEqual("true", dpi.text.strip())
        elements = [element.tag.split("}")[1] for element in root.iter()]
        self.assertEqual(["assembly", "trustInfo", "security", "requestedPrivileges", "requestedExecutionLevel",
                          "application", "windowsSettings", "dpiAware"], elements, "anything else in the manifest")


class StatusReader(unittest.TestCase):
    def test_its_manifest_alone_asks_for_no_elevation_and_it_fits_in_12_kb(self):
        self.assertEqual([(RT_MANIFEST, 1, EN_US)], list(STATUS_RESOURCES))
        root = ElementTree.fromstring(STATUS_RESOURCES[(RT_MANIFEST, 1, EN_US)])
        v3 = "{urn:schemas-microsoft-com:asm.v3}"
        level = root.find(f"{v3}trustInfo/{v3}security/{v3}requestedPrivileges/{v3}requestedExecutionLevel")
        self.assertEqual({"level": "asInvoker", "uiAccess": "false"}, level.attrib)
        self.assertEqual(5, len(list(root.iter())), "anything else in the manifest")
        self.assertLessEqual(len(STATUS_PE.__data__), 12 * 1024)


if __name__ == "__main__":
    unittest.main(verbosity=2)
