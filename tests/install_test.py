"""cmake --install lays out the tool, its man page, its README, licence and
changelog where a Debian package has them, and the man page renders
cleanly."""

import gzip
import os
import shutil
import subprocess
import tempfile
import unittest
from pathlib import Path

BUILD = Path(os.environ.get("KVBGM_BUILD_DIR", Path(__file__).resolve().parent.parent / "build"))


class Install(unittest.TestCase):
    def test_install_layout(self):
        prefix = Path(tempfile.mkdtemp(prefix="kvbgm2wav-install-"))
        self.addCleanup(shutil.rmtree, prefix)
        subprocess.run(["cmake", "--install", BUILD, "--prefix", prefix], check=True,
                       stdout=subprocess.DEVNULL)
        files = sorted(str(p.relative_to(prefix)) for p in prefix.rglob("*") if p.is_file())
        self.assertEqual(files, ["bin/kvbgm2wav", "share/doc/kvbgm2wav/README.md",
                                 "share/doc/kvbgm2wav/changelog.gz",
                                 "share/doc/kvbgm2wav/copyright",
                                 "share/man/man1/kvbgm2wav.1.gz"])
        done = subprocess.run([prefix / "bin" / "kvbgm2wav", "--version"],
                              stdout=subprocess.PIPE, check=True)
        self.assertRegex(done.stdout.decode(), r"^kvbgm2wav \d+\.\d+\.\d+\n$")
        version = done.stdout.decode().split()[1]
        page = gzip.decompress((prefix / "share/man/man1/kvbgm2wav.1.gz").read_bytes()).decode()
        self.assertIn(version, page.splitlines()[0])
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
        for option in ("--list", "--loop-points", "--split", "--output"):
            self.assertIn(option, text)


if __name__ == "__main__":
    unittest.main()
