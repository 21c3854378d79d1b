#!/usr/bin/env python3
"""What the built .exe says about itself: its VERSIONINFO, its embedded
application manifest and the DLLs it imports, read with pefile (Debian
package python3-pefile).

    exe_resources_test.py --exe PATH --version X.Y.Z --original-filename NAME
                          [unittest arguments]

Ends with status 77 (skipped) when pefile is not installed for this Python.
"""

import argparse
import sys
import unittest
import xml.etree.ElementTree as ElementTree

_parser = argparse.ArgumentParser(add_help=False)
_parser.add_argument("--exe", required=True)
_parser.add_argument("--version", required=True)
_parser.add_argument("--original-filename", required=True)
_options, _unittest_args = _parser.parse_known_args()

try:
    import pefile
except ImportError:
    print("skipped: pefile is not installed for %s (Debian package python3-pefile)" % sys.executable)
    sys.exit(77)

RT_MANIFEST = 24
ASM_V1 = "urn:schemas-microsoft-com:asm.v1"
ASM_V3 = "urn:schemas-microsoft-com:asm.v3"
COMPATIBILITY = "urn:schemas-microsoft-com:compatibility.v1"
SETTINGS_2016 = "http://schemas.microsoft.com/SMI/2016/WindowsSettings"
SETTINGS_2019 = "http://schemas.microsoft.com/SMI/2019/WindowsSettings"
SUPPORTED_OS = {
    "{35138b9a-5d96-4fbd-8e2d-a2440225f93a}": "Windows 7",
    "{4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38}": "Windows 8",
    "{1f676c76-80e1-4239-95bb-83d0f6d0da78}": "Windows 8.1",
    "{8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a}": "Windows 10 and 11",
}
# The DLLs every Windows has: the program must run copied anywhere.
# advapi32.dll holds the security services that keep a replaced file's DACL.
SYSTEM_DLLS = {"kernel32.dll", "advapi32.dll", "msvcrt.dll"}


def version_numbers(text):
    """"1.1.0" as the four 16-bit numbers of a VERSIONINFO: (1, 1, 0, 0)."""
    numbers = [int(part) for part in text.split(".")]
    return tuple(numbers + [0] * (4 - len(numbers)))


class Exe(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.pe = pefile.PE(_options.exe)

    @classmethod
    def tearDownClass(cls):
        cls.pe.close()

    def strings(self):
        """The StringFileInfo texts, keyed by name, from every table."""
        found = {}
        for info in getattr(self.pe, "FileInfo", []):
            for entry in info:
                for table in getattr(entry, "StringTable", []):
                    for key, value in table.entries.items():
                        found[key.decode("utf-8")] = value.decode("utf-8")
        return found

    def manifest(self):
        for kind in self.pe.DIRECTORY_ENTRY_RESOURCE.entries:
            if kind.id != RT_MANIFEST:
                continue
            for name in kind.directory.entries:
                self.assertEqual(name.id, 1, "the manifest of a program is resource 1")
                languages = name.directory.entries
                self.assertEqual(len(languages), 1)
                data = languages[0].data.struct
                return self.pe.get_data(data.OffsetToData, data.Size)
        self.fail("no manifest is embedded")

    def test_version_strings(self):
        strings = self.strings()
        self.assertEqual(strings.get("ProductVersion"), _options.version)
        self.assertEqual(strings.get("FileVersion"), _options.version)
        self.assertEqual(strings.get("ProductName"), "Plivex")
        self.assertEqual(strings.get("OriginalFilename"), _options.original_filename)
        self.assertIn("MIT", strings.get("LegalCopyright", ""))
        self.assertTrue(strings.get("FileDescription"))
        self.assertNotIn("CompanyName", strings)

    def test_fixed_version_numbers(self):
        fixed = self.pe.VS_FIXEDFILEINFO[0]
        expected = version_numbers(_options.version)
        for field in ("File", "Product"):
            with self.subTest(field=field):
                most = getattr(fixed, field + "VersionMS")
                least = getattr(fixed, field + "VersionLS")
                self.assertEqual((most >> 16, most & 0xFFFF, least >> 16, least & 0xFFFF), expected)
        self.assertEqual(fixed.FileType, 1)  # an application

    def test_manifest(self):
        root = ElementTree.fromstring(self.manifest())
        self.assertEqual(root.tag, "{%s}assembly" % ASM_V1)
        ids = {entry.get("Id").lower() for entry in root.iter("{%s}supportedOS" % COMPATIBILITY)}
        self.assertEqual(ids, set(SUPPORTED_OS))
        settings = root.find("{%s}application/{%s}windowsSettings" % (ASM_V3, ASM_V3))
        self.assertIsNotNone(settings)
        self.assertEqual(settings.findtext("{%s}activeCodePage" % SETTINGS_2019), "UTF-8")
        self.assertEqual(settings.findtext("{%s}longPathAware" % SETTINGS_2016), "true")
        levels = [e.get("level") for e in root.iter("{%s}requestedExecutionLevel" % ASM_V3)]
        self.assertEqual(levels, ["asInvoker"])

    def test_imports_only_system_dlls(self):
        imported = {entry.dll.decode("ascii").lower() for entry in self.pe.DIRECTORY_ENTRY_IMPORT}
        self.assertTrue(imported)
        self.assertLessEqual(imported, SYSTEM_DLLS)


if __name__ == "__main__":
    unittest.main(argv=[sys.argv[0]] + _unittest_args, verbosity=2)
