"""cmake --install lays out the tool, its man page, its README, licence and
changelog where a Debian package has them, and the man page renders
cleanly; the make targets install the Debian packages they need and no
more."""

import gzip
import os
import re
import shutil
import subprocess
import unittest
from pathlib import Path

from kvbgm_test_support import ToolTestCase

ROOT = Path(__file__).resolve().parent.parent
BUILD = Path(os.environ.get("KVBGM_BUILD_DIR", ROOT / "build"))


class Install(ToolTestCase):
    def test_install_layout(self):
        prefix = self.folder(data=False).path
        subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], check=True,
                       stdout=subprocess.DEVNULL)
        files = sorted(str(p.relative_to(prefix)) for p in prefix.rglob("*") if p.is_file())
        self.assertEqual(files, ["bin/kvbgm2wav", "share/doc/kvbgm2wav/README.md.gz",
                                 "share/doc/kvbgm2wav/changelog.gz",
                                 "share/doc/kvbgm2wav/copyright",
                                 "share/doc/kvbgm2wav/guide.md.gz",
                                 "share/man/man1/kvbgm2wav.1.gz"])
        done = subprocess.run([prefix / "bin" / "kvbgm2wav", "--version"],
                              stdout=subprocess.PIPE, check=True)
        self.assertRegex(done.stdout.decode(), r"^kvbgm2wav \d+\.\d+\.\d+\n$")
        version = done.stdout.decode().split()[1]
        page = gzip.decompress((prefix / "share/man/man1/kvbgm2wav.1.gz").read_bytes()).decode()
        self.assertIn(version, page.splitlines()[0])
        readme = gzip.decompress((prefix / "share/doc/kvbgm2wav/README.md.gz").read_bytes())
        self.assertEqual(readme, (ROOT / "README.md").read_bytes())
        guide = gzip.decompress((prefix / "share/doc/kvbgm2wav/guide.md.gz").read_bytes())
        self.assertEqual(guide, (ROOT / "doc/guide.md").read_bytes())
        changelog = gzip.decompress((prefix / "share/doc/kvbgm2wav/changelog.gz").read_bytes())
        self.assertTrue(changelog.decode().startswith(f"kvbgm2wav ({version}) "))
        # The licence, in Debian's machine-readable copyright format.
        copyright = (prefix / "share/doc/kvbgm2wav/copyright").read_text()
        self.assertTrue(copyright.startswith("Format: https://www.debian.org/doc/"
                                             "packaging-manuals/copyright-format/1.0/\n"))
        self.assertIn("\nLicense: Expat\n Permission is hereby granted", copyright)

    def test_man_page_renders_without_warnings(self):
        page = BUILD / "kvbgm2wav.1"
        for device in ("utf8", "ps"):
            with self.subTest(device=device):
                done = subprocess.run(["groff", "-man", "-ww", f"-T{device}", page],
                                      stdout=subprocess.PIPE, stderr=subprocess.PIPE, check=True)
                self.assertEqual(done.stderr.decode(), "")
        text = subprocess.run(["groff", "-man", "-Tutf8", "-P-cbou", page], check=True,
                              stdout=subprocess.PIPE).stdout.decode()
        for section in ("NAME", "SYNOPSIS", "DESCRIPTION", "OPTIONS", "EXIT STATUS", "FILES",
                        "EXAMPLES"):
            self.assertIn(f"\n{section}\n", text)
        for option in ("--list", "--loop-points", "--split", "--output", "--format=ogg",
                       "--quality"):
            self.assertIn(option, text)


    def test_stripped_install_has_no_comment_section(self):
        prefix = self.folder(data=False).path
        subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix, "--strip"], check=True,
                       stdout=subprocess.DEVNULL)
        for program, kept in ((BUILD / "kvbgm2wav", True), (prefix / "bin/kvbgm2wav", False)):
            with self.subTest(program=program):
                sections = subprocess.run(["objdump", "-h", program], check=True,
                                          stdout=subprocess.PIPE).stdout.decode()
                self.assertEqual(" .comment " in sections, kept)


def make_installs(target):
    """The Debian packages that `make TARGET` installs first, from the groups
    its recipe passes to tools/install-deps.sh (make -n runs nothing)."""
    env = {k: v for k, v in os.environ.items() if k not in ("MAKEFLAGS", "MFLAGS", "MAKELEVEL")}
    recipe = subprocess.run(["make", "-n", "-C", ROOT, target], env=env, check=True,
                            stdout=subprocess.PIPE).stdout.decode()
    groups = [g for line in re.findall(r"^tools/install-deps\.sh (.*)$", recipe, re.M)
              for g in line.split()]
    if not groups:
        raise AssertionError(f"make {target} installs nothing")
    listed = subprocess.run([ROOT / "tools/install-deps.sh", "--print", *groups], check=True,
                            stdout=subprocess.PIPE).stdout.decode()
    return set(listed.split())


TEST_TOOLS = {"sox", "sndfile-programs", "flac", "ffmpeg", "vorbis-tools", "groff-base",
              "libgtest-dev"}
WINDOWS_TOOLS = {"wine", "wine32:i386", "g++-mingw-w64-i686-posix"}
CHECKERS = {"lintian", "devscripts"}


class Dependencies(unittest.TestCase):
    def test_targets_install_no_more_than_they_use(self):
        for target, needed, unwanted in (
                ("demo", {"cmake", "make", "g++", "pkg-config", "libflac-dev"},
                 TEST_TOOLS | WINDOWS_TOOLS | CHECKERS | {"dpkg-dev"}),
                ("deb", {"g++", "libflac-dev", "dpkg-dev", "lintian"}, TEST_TOOLS | WINDOWS_TOOLS),
                ("test", {"g++", "libflac-dev"} | TEST_TOOLS, WINDOWS_TOOLS | CHECKERS)):
            with self.subTest(target=target):
                packages = make_installs(target)
                self.assertEqual(needed - packages, set())
                self.assertEqual(packages & unwanted, set())

    def test_make_test_installs_every_program_the_tests_run(self):
        # By the package that holds the program on this machine, which has
        # run make test's install.
        packages = make_installs("test")
        for program in ("sox", "sndfile-info", "flac", "metaflac", "ffprobe", "oggdec",
                        "oggenc", "ogginfo", "vorbiscomment", "groff", "mount", "umount",
                        "script", "objdump"):
            with self.subTest(program=program):
                path = shutil.which(program)
                self.assertIsNotNone(path, f"{program} is not installed")
                owners = set()
                # dpkg may know the file by its path before the /usr merge.
                for known in {path, re.sub(r"^/usr(?=/s?bin/)", "", path)}:
                    done = subprocess.run(["dpkg-query", "-S", known], stdout=subprocess.PIPE,
                                          stderr=subprocess.DEVNULL)
                    owners |= {l.split(":")[0] for l in done.stdout.decode().splitlines()}
                self.assertTrue(owners & packages,
                                f"{program} comes from {owners}, which make test does not install")


if __name__ == "__main__":
    unittest.main()
