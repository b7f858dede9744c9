#!/usr/bin/env python3
"""Builds the Debian packages from a clean copy of the sources, as a
maintainer would (dpkg-buildpackage -us -uc), and checks them: lintian finds
no error and no warning in the source and binary packages, each package
holds its own files with the manual pages compressed, and the command-line
package needs no Qt.

With MCT_PACKAGES=install (a throwaway root only: it installs into the
running system) it also installs both packages with apt and starts them.

Exits with SKIP_CODE, saying why, where the packages cannot be built.

Usage: package_test.py SOURCE_DIR
"""

import os
import shutil
import subprocess
import sys
import tempfile
import unittest

SKIP_CODE = 77
SOURCE_DIR = ""
DIALOGS, CLI = "dovrin-kestil", "dovrin-kestil-cli"
# What each package must hold; the man pages compressed.
FILES = {
    DIALOGS: ["/usr/bin/Dovrin", "/usr/bin/Kestil",
              "/usr/share/man/man1/Dovrin.1.gz", "/usr/share/man/man1/Kestil.1.gz",
              "/usr/share/applications/org.example.dovrin_kestil.Dovrin.desktop",
              "/usr/share/metainfo/org.example.dovrin_kestil.Kestil.metainfo.xml",
              "/usr/share/icons/hicolor/256x256/apps/dovrin.png",
              "/usr/share/doc/dovrin-kestil/copyright"],
    CLI: ["/usr/bin/dovrin-cli", "/usr/bin/kestil-cli",
          "/usr/share/man/man1/dovrin-cli.1.gz", "/usr/share/man/man1/kestil-cli.1.gz",
          "/usr/share/doc/dovrin-kestil-cli/changelog.gz"],
}


def run(*command, **kwargs):
    return subprocess.run(command, capture_output=True, text=True, **kwargs)


def why_not_buildable():
    """The reason the packages cannot be built here, or None."""
    for tool in ("dpkg-buildpackage", "dh", "lintian", "git"):
        if not shutil.which(tool):
            return "%s is not installed (scripts/setup installs it)" % tool
    if run("git", "-C", SOURCE_DIR, "rev-parse").returncode != 0:
        return "the sources are not a git checkout, so no clean copy can be made"
    missing = run("dpkg-checkbuilddeps", cwd=SOURCE_DIR)
    if missing.returncode != 0:
        return missing.stderr.strip()
    return None


def clean_copy(into):
    """The files git tracks or would track, as they are in the working tree:
    what a clean checkout with these changes holds, without any build."""
    names = run("git", "-C", SOURCE_DIR, "ls-files", "-z", "--cached", "--others",
                "--exclude-standard", check=True).stdout.split("\0")
    for name in filter(None, names):
        source = os.path.join(SOURCE_DIR, name)
        if os.path.lexists(source):  # deleted but not yet staged
            os.makedirs(os.path.dirname(os.path.join(into, name)), exist_ok=True)
            shutil.copy2(source, os.path.join(into, name), follow_symlinks=False)


def deb_files(deb):
    listing = run("dpkg-deb", "-c", deb, check=True).stdout
    return {line.split()[5].lstrip(".") for line in listing.splitlines()}


def deb_field(deb, name):
    return run("dpkg-deb", "-f", deb, name, check=True).stdout.strip()


class Packages(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.tmp = tempfile.TemporaryDirectory(prefix="mct-packages-")
        tree = os.path.join(cls.tmp.name, "dovrin-kestil")
        clean_copy(tree)
        env = dict(os.environ, DEB_BUILD_OPTIONS="parallel=%d" % min(os.cpu_count() or 1, 2))
        built = run("dpkg-buildpackage", "-us", "-uc", cwd=tree, env=env)
        if built.returncode != 0:
            raise AssertionError("dpkg-buildpackage failed:\n" + built.stdout[-4000:]
                                 + built.stderr[-4000:])
        outputs = os.listdir(cls.tmp.name)
        cls.changes = os.path.join(cls.tmp.name,
                                   next(f for f in outputs if f.endswith(".changes")))
        cls.debs = {}
        for name in outputs:
            if name.endswith(".deb") and "-dbgsym_" not in name:
                path = os.path.join(cls.tmp.name, name)
                cls.debs[deb_field(path, "Package")] = path

    @classmethod
    def tearDownClass(cls):
        cls.tmp.cleanup()

    def test_lintian_finds_no_error_or_warning_in_source_or_binaries(self):
        # The .changes file names the source package and both binaries.
        checked = run("lintian", "--fail-on", "error,warning", "--display-level", ">=warning",
                      self.changes)
        self.assertEqual(checked.returncode, 0, checked.stdout + checked.stderr)

    def test_each_package_holds_its_own_files(self):
        self.assertEqual(set(self.debs), set(FILES))
        contents = {package: deb_files(deb) for package, deb in self.debs.items()}
        for package, wanted in FILES.items():
            with self.subTest(package=package):
                self.assertLessEqual(set(wanted), contents[package])
                pages = [p for p in contents[package]
                         if p.startswith("/usr/share/man/") and not p.endswith("/")]
                self.assertTrue(pages and all(p.endswith(".gz") for p in pages), pages)
        # Folders are shared; a file in both would stop the second installing.
        files = {package: {p for p in paths if not p.endswith("/")}
                 for package, paths in contents.items()}
        self.assertFalse(files[DIALOGS] & files[CLI])

    def test_dialogs_need_a_chinese_font_and_the_cli_no_qt(self):
        self.assertIn("fonts-wqy-zenhei | fonts-noto-cjk", deb_field(self.debs[DIALOGS], "Depends"))
        self.assertIn("libqt6widgets6", deb_field(self.debs[DIALOGS], "Depends"))
        self.assertNotIn("qt", deb_field(self.debs[CLI], "Depends").lower())
        with tempfile.TemporaryDirectory() as root:
            subprocess.run(["dpkg-deb", "-x", self.debs[CLI], root], check=True)
            for program in ("dovrin-cli", "kestil-cli"):
                linked = run("ldd", os.path.join(root, "usr", "bin", program), check=True).stdout
                self.assertNotIn("Qt", linked, program)

    @unittest.skipUnless(os.environ.get("MCT_PACKAGES") == "install",
                         "installs into this system only with MCT_PACKAGES=install")
    def test_both_install_and_start(self):
        installed = run("apt-get", "install", "-y", "-q", "--no-install-recommends",
                        *self.debs.values(), env=dict(os.environ, DEBIAN_FRONTEND="noninteractive"))
        self.assertEqual(installed.returncode, 0, installed.stdout[-3000:] + installed.stderr)
        # Every label is Chinese: a font must cover it.
        self.assertTrue(run("fc-list", ":lang=zh", check=True).stdout.strip())
        self.assertEqual(run("/usr/bin/dovrin-cli", "--help").returncode, 0)
        for program in ("Dovrin", "Kestil"):
            # Still running when the time is up (124): the window came up.
            started = run("xvfb-run", "-a", "timeout", "5", "/usr/bin/" + program)
            self.assertEqual(started.returncode, 124, program + ": " + started.stderr)


if __name__ == "__main__":
    if len(sys.argv) != 2:
        sys.exit(__doc__)
    SOURCE_DIR = sys.argv[1]
    reason = why_not_buildable()
    if reason:
        print("skipped: the Debian packages cannot be built here: " + reason)
        sys.exit(SKIP_CODE)
    unittest.main(argv=sys.argv[:1], verbosity=2)
