#!/usr/bin/env python3
"""Makes the Debian packages from the build with cpack and checks them: each
holds its own programs and files, dependencies come from the binaries, and
the command-line package needs no Qt.

Usage: package_test.py BUILD_DIR
"""

import os
import subprocess
import sys
import tempfile
import unittest

BUILD_DIR = ""


def deb_files(deb):
    listing = subprocess.run(["dpkg-deb", "-c", deb], check=True, capture_output=True,
                             text=True).stdout
    return {line.split()[-1].lstrip(".") for line in listing.splitlines()}


def deb_field(deb, name):
    return subprocess.run(["dpkg-deb", "-f", deb, name], check=True, capture_output=True,
                          text=True).stdout.strip()


class Packages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="mct-packages-")
        subprocess.run(["cpack", "-G", "DEB", "-B", cls.tmp.name,
                        "--config", os.path.join(BUILD_DIR, "CPackConfig.cmake")],
                       check=True, stdout=subprocess.DEVNULL)
        debs = [f for f in os.listdir(cls.tmp.name) if f.endswith(".deb")]
        cls.debs = {deb_field(os.path.join(cls.tmp.name, f), "Package"):
                    os.path.join(cls.tmp.name, f) for f in debs}

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_each_package_holds_its_own_files(self):
        self.assertEqual(set(self.debs), {"dovrin-kestil", "dovrin-kestil-cli"})
        dialogs = deb_files(self.debs["dovrin-kestil"])
        cli = deb_files(self.debs["dovrin-kestil-cli"])
        for path in ("/usr/bin/Dovrin", "/usr/bin/Kestil",
                     "/usr/share/applications/org.example.dovrin_kestil.Dovrin.desktop",
                     "/usr/share/applications/org.example.dovrin_kestil.Kestil.desktop",
                     "/usr/share/icons/hicolor/48x48/apps/dovrin.png",
                     "/usr/share/icons/hicolor/128x128/apps/kestil.png"):
            self.assertIn(path, dialogs)
        for path in ("/usr/bin/dovrin-cli", "/usr/bin/kestil-cli",
                     "/usr/share/man/man1/dovrin-cli.1", "/usr/share/man/man1/kestil-cli.1"):
            self.assertIn(path, cli)
        programs = lambda files: {p for p in files if p.startswith("/usr/bin/") and p != "/usr/bin/"}
        self.assertFalse(programs(dialogs) & programs(cli))

    def test_dependencies_come_from_the_binaries_and_the_cli_needs_no_qt(self):
        self.assertIn("libqt6widgets6", deb_field(self.debs["dovrin-kestil"], "Depends"))
        cli_depends = deb_field(self.debs["dovrin-kestil-cli"], "Depends")
        self.assertIn("libc6", cli_depends)
        self.assertNotIn("qt", cli_depends.lower())
        with tempfile.TemporaryDirectory() as root:
            subprocess.run(["dpkg-deb", "-x", self.debs["dovrin-kestil-cli"], root], check=True)
            for program in ("dovrin-cli", "kestil-cli"):
                linked = subprocess.run(["ldd", os.path.join(root, "usr", "bin", program)],
                                        check=True, capture_output=True, text=True).stdout
                self.assertNotIn("Qt", linked, program)


if __name__ == "__main__":
    BUILD_DIR = sys.argv[1]
    unittest.main(argv=sys.argv[:1], verbosity=2)
