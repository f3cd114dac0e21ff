"""What the packages of make package hold: the .deb of the hardened build
(build-deb/) and the Windows zip (build-win/). Run by make test-package,
after make package:
  KVBGM_DEB_BUILD=.../build-deb KVBGM_WIN_BUILD=.../build-win KVBGM2WAV=... \\
    MAKE_STANDIN=... python3 -m unittest package_test
KVBGM2WAV is the test build's program, whose files the packaged one must
write byte for byte."""

import gzip
import os
import re
import shutil
import subprocess
import tempfile
import unittest
import zipfile
from pathlib import Path

from kvbgm_test_support import TOOL, ToolTestCase, NAMES, StandIn, digest, run

ROOT = Path(__file__).resolve().parent.parent
DEB_BUILD = Path(os.environ.get("KVBGM_DEB_BUILD", ROOT / "build-deb"))
WIN_BUILD = Path(os.environ.get("KVBGM_WIN_BUILD", ROOT / "build-win"))


def only(pattern):
    found = sorted(pattern.parent.glob(pattern.name))
    if len(found) != 1:
        raise AssertionError(f"want one {pattern}, found {found}")
    return found[0]


DATA = StandIn(only=5)


def setUpModule():
    DATA.make()


def tearDownModule():
    DATA.remove()


class Deb(ToolTestCase):
    stand_in = DATA

    @classmethod
    def setUpClass(cls):
        cls.deb = only(DEB_BUILD / "kvbgm2wav_*.deb")
        cls.root = Path(tempfile.mkdtemp(prefix="kvbgm2wav-deb-"))
        subprocess.run(["dpkg-deb", "-x", cls.deb, cls.root], check=True)
        cls.program = cls.root / "usr/bin/kvbgm2wav"

    @classmethod
    def tearDownClass(cls):
        shutil.rmtree(cls.root)

    def test_files(self):
        files = sorted(str(p.relative_to(self.root)) for p in self.root.rglob("*") if p.is_file())
        self.assertEqual(files, ["usr/bin/kvbgm2wav", "usr/share/doc/kvbgm2wav/README.md.gz",
                                 "usr/share/doc/kvbgm2wav/changelog.gz",
                                 "usr/share/doc/kvbgm2wav/copyright",
                                 "usr/share/doc/kvbgm2wav/guide.md.gz",
                                 "usr/share/man/man1/kvbgm2wav.1.gz"])
        readme = gzip.decompress((self.root / "usr/share/doc/kvbgm2wav/README.md.gz").read_bytes())
        self.assertEqual(readme, (ROOT / "README.md").read_bytes())
        guide = gzip.decompress((self.root / "usr/share/doc/kvbgm2wav/guide.md.gz").read_bytes())
        self.assertEqual(guide, (ROOT / "doc/guide.md").read_bytes())
        depends = subprocess.run(["dpkg-deb", "--field", self.deb, "Depends"], check=True,
                                 stdout=subprocess.PIPE).stdout.decode()
        for library in ("libflac12", "libvorbis0a", "libvorbisenc2", "libogg0", "libebur128-1"):
            self.assertRegex(depends, rf"\b{library}\b")

    def test_program_is_hardened_and_stripped(self):
        # hardening-check exits non-zero when any protection is missing. It
        # also looks for control-flow protection, which Debian 12's
        # hardening=+all does not give; it is asked for where it does.
        flags = subprocess.run(["dpkg-buildflags", "--get", "CXXFLAGS"], check=True,
                               env={**os.environ, "DEB_BUILD_MAINT_OPTIONS": "hardening=+all"},
                               stdout=subprocess.PIPE).stdout.decode().split()
        skip = [] if any(f.startswith("-fcf-protection") for f in flags) else ["--nocfprotection"]
        done = subprocess.run(["hardening-check", *skip, self.program], stdout=subprocess.PIPE)
        self.assertEqual(done.returncode, 0, done.stdout.decode())
        sections = subprocess.run(["objdump", "-h", self.program], check=True,
                                  stdout=subprocess.PIPE).stdout.decode()
        for section in (".comment", ".symtab", ".debug_info"):
            self.assertNotIn(f" {section} ", sections)

    def test_lintian_finds_no_hardening_or_section_tag(self):
        done = subprocess.run(["lintian", "--display-info", "--tag-display-limit", "0", self.deb],
                              stdout=subprocess.PIPE, stderr=subprocess.STDOUT)
        tags = re.findall(r"^[EWIPXO]: kvbgm2wav[^:]*: (\S+)", done.stdout.decode(), re.M)
        bad = [t for t in tags if t.startswith("hardening-") or t.startswith("binary-has-unneeded")]
        self.assertEqual(bad, [], done.stdout.decode())

    def test_packaged_program_writes_the_test_builds_files(self):
        # The hardening flags must leave the samples alone, fades included.
        for args in (["t5"], ["t5", "3", "f10", "p1"], ["t5", "F8", "p3"], ["t5", "--loop-points"]):
            with self.subTest(args=args):
                files = []
                for tool in (TOOL, self.program):
                    f = self.folder()
                    self.assertEqual(run(args, f.path, tool=tool)[0], 0)
                    files.append(digest(f.path / NAMES[4]))
                self.assertEqual(files[0], files[1])


class Zip(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.zip = zipfile.ZipFile(only(WIN_BUILD / "kvbgm2wav-*-win32.zip"))
        cls.top = cls.zip.namelist()[0].split("/")[0]

    @classmethod
    def tearDownClass(cls):
        cls.zip.close()

    def read(self, name):
        return self.zip.read(f"{self.top}/{name}")

    def test_files(self):
        names = sorted(n.split("/", 1)[1] for n in self.zip.namelist() if not n.endswith("/"))
        self.assertEqual(names, ["COPYING.gdtoa.txt", "COPYING.libFLAC.txt",
                                 "COPYING.libebur128.txt", "COPYING.libogg.txt", "COPYING.libvorbis.txt",
                                 "COPYING.mingw-w64.txt", "COPYING.winpthreads.txt", "LICENSE",
                                 "README.md", "README.txt", "guide.md", "kvbgm2wav.exe"])
        self.assertEqual(self.read("README.md"), (ROOT / "README.md").read_bytes())
        self.assertEqual(self.read("guide.md"), (ROOT / "doc/guide.md").read_bytes())
        self.assertEqual(self.read("LICENSE"), (ROOT / "LICENSE").read_bytes())

    def test_readme_txt_is_the_windows_readme_with_crlf(self):
        text = self.read("README.txt")
        self.assertNotRegex(text, rb"(?<!\r)\n")
        source = (ROOT / "doc/README-windows.txt").read_bytes()
        version = re.search(rb"^kvbgm2wav \(([0-9.]+)\)", (ROOT / "doc/changelog").read_bytes()).group(1)
        self.assertEqual(text, source.replace(b"@VERSION@", version).replace(b"\n", b"\r\n"))

    def test_notices_of_the_built_in_libraries(self):
        # Each statically linked part's notice: its copyright line and its
        # licence's own words.
        for name, wanted in (
                ("COPYING.libFLAC.txt", [b"Xiph.Org", b"Redistributions in binary form"]),
                ("COPYING.libebur128.txt", [b"Copyright (c) 2011 Jan Kokem",
                                            b"Permission is hereby granted"]),
                ("COPYING.libogg.txt", [b"Xiph.org", b"Redistributions in binary form"]),
                ("COPYING.libvorbis.txt", [b"Xiph.org", b"Redistributions in binary form"]),
                ("COPYING.mingw-w64.txt", [b"License: ZPL-2.1", b"mingw-w64-libraries/winpthreads",
                                           b"mingw-w64-crt/gdtoa"]),
                ("COPYING.winpthreads.txt", [b"Files: mingw-w64-libraries/winpthreads/*",
                                             b"Copyright: 2010 Lockless Inc.",
                                             b"License: expat\n Permission is hereby granted"]),
                ("COPYING.gdtoa.txt", [b"Files: mingw-w64-crt/gdtoa/*",
                                       b"Copyright: 1997-2001 Lucent Technologies",
                                       b"LUCENT DISCLAIMS ALL WARRANTIES"])):
            with self.subTest(name=name):
                text = self.read(name)
                for words in wanted:
                    self.assertIn(words, text)
        # The test programs of winpthreads are not in the exe, nor their licence.
        self.assertNotIn(b"tests_pthread", self.read("COPYING.winpthreads.txt"))


if __name__ == "__main__":
    unittest.main()
