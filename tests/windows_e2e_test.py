"""The Windows kvbgm2wav.exe under Wine against the Linux build: the same
stdout, exit status and files, with the names in UTF-8 on disk."""

import os
import subprocess
import unittest
from pathlib import Path

from kvbgm_test_support import (banner, create_line, digest, Folder, NAMES, run,
                                StandIn, wav_info)

EXE = os.environ.get("KVBGM2WAV_EXE", str(Path(__file__).resolve().parent.parent /
                                          "build-win" / "kvbgm2wav.exe"))
WINE_ENV = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
DATA = StandIn()  # the stand-in data file, made for this module
setUpModule, tearDownModule = DATA.make, DATA.remove


def run_windows(args, cwd):
    done = subprocess.run(["wine", EXE, *args], cwd=cwd, env=WINE_ENV,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=600)
    return done.returncode, done.stdout.decode("utf-8")


class WindowsBuild(unittest.TestCase):
    def folders(self, data=True):
        pair = Folder(DATA.path if data else None), Folder(DATA.path if data else None)
        for f in pair:
            self.addCleanup(f.remove)
        return pair

    def test_same_output_as_linux(self):
        cases = [  # arguments, expected stdout, exit status
            (["T3"], banner(3, 3) + create_line(3), 0),
            (["T5", "f5", "p3"], banner(5, 5, 2, 5, 3) + create_line(5), 0),
            (["1", "T31", "F30", "p2"], banner(31, 31, 1, -30, 2) + create_line(31), 0),
            (["p9"], "fade pattern must be 0-3\n", 2),
        ]
        for args, stdout, status in cases:
            with self.subTest(args=args):
                linux, windows = self.folders()
                self.assertEqual(run(args, linux.path), (status, stdout))
                self.assertEqual(run_windows(args, windows.path), (status, stdout))
                self.assertEqual(windows.names(), linux.names())
                for name in windows.wavs():
                    self.assertIn(name, NAMES)
                    wav_info(windows.path / name)  # a reader accepts it
                    self.assertEqual(digest(windows.path / name), digest(linux.path / name))

    def test_missing_data_file(self):
        _, windows = self.folders(data=False)
        self.assertEqual(run_windows(["T1"], windows.path),
                         (1, banner(1, 1) + "kvbgm.dat not found."))
        self.assertEqual(windows.names(), [])

    def test_folder_in_place_of_an_output(self):
        _, windows = self.folders()
        os.mkdir(windows.path / NAMES[2])
        status, out = run_windows(["T3"], windows.path)
        self.assertEqual(status, 1)
        self.assertTrue(out.startswith(banner(3, 3) + create_line(3) +
                                       f"cannot write {NAMES[2]}: "), out)
        self.assertEqual(windows.names(), sorted(["kvbgm.dat", NAMES[2]]))


if __name__ == "__main__":
    unittest.main()
