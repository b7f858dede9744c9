#!/usr/bin/env python3
"""Installs the build into a temporary prefix and checks what a Linux desktop
and the dialogs rely on: both programs with their manual pages, a desktop
entry and AppStream metadata each that validate and name one another, icons
of every theme size, and the three lamp bitmaps; and the command-line
programs with their manual pages.

Usage: install_test.py BUILD_DIR SOURCE_DIR
"""

import configparser
import os
import shutil
import struct
import subprocess
import sys
import tempfile
import unittest

BUILD_DIR = SOURCE_DIR = ""
PROGRAMS = {"Dovrin": "dovrin", "Kestil": "kestil"}
APP_ID = "org.example.dovrin_kestil."  # + program
ICON_SIZES = (16, 32, 48, 64, 128, 256)
DIALOG_FACE = (212, 208, 200)


def png_size(path):
    with open(path, "rb") as f:
        head = f.read(24)
    if head[:8] != b"\x89PNG\r\n\x1a\n" or head[12:16] != b"IHDR":
        return None
    return struct.unpack(">II", head[16:24])


class InstalledTree(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="mct-install-")
        cls.prefix = cls.tmp.name
        subprocess.run(["cmake", "--install", BUILD_DIR, "--prefix", cls.prefix],
                       check=True, stdout=subprocess.DEVNULL)

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def desktop_entry(self, program):
        path = os.path.join(self.prefix, "share", "applications", APP_ID + program + ".desktop")
        self.assertTrue(os.path.isfile(path), path)
        parser = configparser.ConfigParser(interpolation=None, strict=True)
        parser.optionxform = str  # keys are case-sensitive
        with open(path, encoding="utf-8") as f:
            parser.read_file(f)
        return parser["Desktop Entry"]

    def test_each_entry_starts_an_installed_program_and_finds_its_icons(self):
        for program in PROGRAMS:
            with self.subTest(program=program):
                binary = os.path.join(self.prefix, "bin", program)
                self.assertTrue(os.access(binary, os.X_OK), binary)
                entry = self.desktop_entry(program)
                self.assertEqual(entry["Type"], "Application")
                self.assertEqual(entry["Exec"], program)
                # The class of the window's WM_CLASS, which Qt takes from the
                # program's name: docks on X11 match the window by it.
                self.assertEqual(entry["StartupWMClass"], program)
                self.assertIn("Network", entry["Categories"].split(";"))
                for key in ("Name", "Comment"):
                    self.assertTrue(entry.get(key), key)
                    self.assertTrue(entry.get(key + "[zh_CN]"), key + "[zh_CN]")
                for size in ICON_SIZES:
                    icon = os.path.join(self.prefix, "share", "icons", "hicolor",
                                        "%dx%d" % (size, size), "apps",
                                        entry["Icon"] + ".png")
                    self.assertEqual(png_size(icon), (size, size), icon)

    def test_every_program_comes_with_its_manual_page(self):
        for program in ("dovrin-cli", "kestil-cli", "Dovrin", "Kestil"):
            with self.subTest(program=program):
                self.assertTrue(os.access(os.path.join(self.prefix, "bin", program), os.X_OK))
                page = os.path.join(self.prefix, "share", "man", "man1", program + ".1")
                with open(page, encoding="utf-8") as f:
                    lines = f.read().splitlines()
                # A first line of preprocessors ('\" t for tables) may come
                # before the title.
                if lines and lines[0].startswith("'\\\""):
                    lines = lines[1:]
                self.assertTrue(lines and lines[0].startswith(".TH " + program.upper() + " 1 "))

    def test_metadata_and_entries_validate_and_name_one_another(self):
        share = os.path.join(self.prefix, "share")
        for program in PROGRAMS:
            with self.subTest(program=program):
                app_id = APP_ID + program
                metainfo = os.path.join(share, "metainfo", app_id + ".metainfo.xml")
                with open(metainfo, encoding="utf-8") as f:
                    text = f.read()
                self.assertIn("<id>%s</id>" % app_id, text)
                self.assertIn('<launchable type="desktop-id">%s.desktop</launchable>' % app_id,
                              text)
                # The window gives this name to the desktop (Wayland's app
                # id); Qt keeps the string as UTF-16.
                with open(os.path.join(self.prefix, "bin", program), "rb") as f:
                    self.assertIn(app_id.encode("utf-16-le"), f.read())
                for tool, path in (
                        (["appstreamcli", "validate", "--no-net", "--strict"], metainfo),
                        (["desktop-file-validate"],
                         os.path.join(share, "applications", app_id + ".desktop"))):
                    if not shutil.which(tool[0]):
                        self.skipTest(tool[0] + " is not installed (scripts/setup installs it)")
                    checked = subprocess.run(tool + [path], capture_output=True, text=True)
                    self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)
                    # desktop-file-validate passes hints with status 0.
                    self.assertNotIn("error", checked.stdout.lower(), tool[0])
                    self.assertNotIn("warning", checked.stdout.lower(), tool[0])

    def test_the_two_programs_have_different_icons(self):
        pictures = []
        for name in PROGRAMS.values():
            path = os.path.join(self.prefix, "share", "icons", "hicolor",
                                "128x128", "apps", name + ".png")
            with open(path, "rb") as f:
                pictures.append(f.read())
        self.assertNotEqual(pictures[0], pictures[1])


def read_bmp24(path):
    """Returns (width, height, rows of (r, g, b) top-down) of an uncompressed
    24-bit BMP, checking the header on the way."""
    with open(path, "rb") as f:
        data = f.read()
    magic, file_size, _, _, offset = struct.unpack_from("<2sIHHI", data, 0)
    (info_size, width, height, planes, bits, compression,
     image_size) = struct.unpack_from("<IiiHHII", data, 14)
    assert magic == b"BM" and file_size == len(data), "bad file header"
    assert info_size == 40 and planes == 1, "bad info header"
    assert bits == 24 and compression == 0, "not uncompressed 24-bit"
    stride = (width * 3 + 3) & ~3
    assert offset + stride * abs(height) <= len(data), "pixel data cut short"
    rows = []
    for y in range(abs(height)):
        start = offset + y * stride
        line = data[start:start + width * 3]
        rows.append([(line[i + 2], line[i + 1], line[i]) for i in range(0, width * 3, 3)])
    if height > 0:  # stored bottom-up
        rows.reverse()
    return width, abs(height), rows


class LampBitmaps(unittest.TestCase):
    def lamp(self, name):
        return read_bmp24(os.path.join(SOURCE_DIR, "shell", "resources", "lamp_%s.bmp" % name))

    def test_each_lamp_is_a_coloured_disc_on_the_dialog_face(self):
        # (predicate on the centre colour, what it should look like)
        looks = {
            "active": (lambda r, g, b: g > 150 and r < 120 and b < 120, "bright green"),
            "error": (lambda r, g, b: r > 150 and g < 100 and b < 100, "red"),
            "idle": (lambda r, g, b: 40 < g < 130 and r < 60 and b < 60, "dark green"),
        }
        for name, (looks_right, wanted) in looks.items():
            with self.subTest(lamp=name):
                width, height, rows = self.lamp(name)
                self.assertEqual((width, height), (19, 16))
                for x, y in ((0, 0), (18, 0), (0, 15), (18, 15)):
                    self.assertEqual(rows[y][x], DIALOG_FACE, "corner %d,%d" % (x, y))
                # Below and right of the highlight, the lamp's own colour.
                self.assertTrue(looks_right(*rows[10][11]),
                                "%s: %s is not %s" % (name, rows[10][11], wanted))


if __name__ == "__main__":
    if len(sys.argv) < 3:
        sys.exit(__doc__)
    BUILD_DIR, SOURCE_DIR = sys.argv[1], sys.argv[2]
    unittest.main(argv=sys.argv[:1], verbosity=2)
