"""The built kvbgm2wav never destroys what the user has and never starts a
run nobody asked for: typing mistakes are refused before anything is read
or written, an output that would be the data file itself refuses the run,
closed standard descriptors never reach a file, a read error names the data
file, and a signal leaves no folder the run made."""

import os
import subprocess
import time
import unittest
from pathlib import Path

from kvbgm_test_support import (banner, create_line, flac_name, ToolTestCase, NAMES, run, StandIn,
                                TOOL, TRACKS)

DATA = StandIn()  # the stand-in data file, made for this module
setUpModule, tearDownModule = DATA.make, DATA.remove
SHIM = os.environ.get("READ_ERROR_SHIM")


class TestCase(ToolTestCase):
    stand_in = DATA


class TypingMistakes(TestCase):
    def test_refused_before_anything_is_read_or_written(self):
        not_a_setting = " is not a setting (a setting is a letter and a number, as f10)\n"
        cases = [  # arguments, message
            (["flac"], "flac is not a setting: did you mean --format=flac?\n"),
            (["fast"], "fast" + not_a_setting),
            (["play"], "play" + not_a_setting),
            (["format=flac"], "format=flac is not a setting: did you mean --format=flac?\n"),
            (["fade=10"], "fade=10" + not_a_setting),
            (["list"], "list is not a setting: did you mean --list?\n"),
            (["3F10"], "3F10 holds more than one setting: write them apart, as 3 F10\n"),
            (["t5f10"], "t5f10 holds more than one setting: write them apart, as t5 f10\n"),
            (["f10p1"], "f10p1 holds more than one setting: write them apart, as f10 p1\n"),
            (["t31", "-o", "--list"], "-o needs a folder, not the option --list: a folder of "
                                      "that name is -o ./--list or --output=--list\n"),
            (["x"], "repeat must be 1-10\n"),
            (["--format=flac", "--tag", "A~B=x"],
             '--tag A~B: a NAME is printable ASCII other than "=" and "~"\n'),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                f = self.folder()
                self.assertEqual(run(args, f.path), (2, message))
                self.assertEqual(f.names(), ["kvbgm.dat"])

    def test_a_name_with_an_extension_is_a_missing_data_file(self):
        for args, name in [(["t1", "fan_remix.dat"], "fan_remix.dat"),
                           (["t2", "3rd_disc.dat"], "3rd_disc.dat"),
                           (["t1", "psx_bgm.dat"], "psx_bgm.dat")]:
            with self.subTest(args=args):
                f = self.folder()
                status, out = run(args, f.path)
                self.assertEqual(status, 1)
                self.assertTrue(out.endswith(f"{name} not found.\n"), out)
                self.assertEqual(f.names(), ["kvbgm.dat"])
        f = self.folder()
        self.assertEqual(run(["--list", "t1", "5.dat"], f.path), (1, "5.dat not found.\n"))

    def test_lenient_readings_stay(self):
        # Each lenient form lists what its strict form lists.
        f = self.folder()
        for lenient, strict in [(["3x"], ["3"]), (["F"], ["F0"]), (["f-10"], ["F10"]),
                                ([" 3"], ["3"]), (["t5x"], ["t5"]), (["3rd"], ["3"])]:
            with self.subTest(args=lenient):
                self.assertEqual(run(["--list", *lenient], f.path),
                                 run(["--list", *strict], f.path))
        self.assertEqual(run(["-o", "./--list", "t31"], f.path)[0], 0)
        self.assertTrue((f.path / "--list" / NAMES[30]).exists())


class DataFileIsNeverAnOutput(TestCase):
    def test_refused_whatever_name_reaches_it(self):
        before = os.stat(DATA.path)
        cases = [  # where the data file is linked, arguments (PATH: its path)
            (NAMES[30], ["PATH"]),
            (flac_name(NAMES[30]), ["--format=flac", "PATH"]),
            (NAMES[30][:-4] + ".ogg", ["--format=ogg", "t31", "PATH"]),
            (NAMES[4][:-4] + " (loop).wav", ["--split", "PATH"]),
            (NAMES[0], ["PATH", "-o", "sub/.."]),  # -o back at the data file's folder
        ]
        for linked, args in cases:
            with self.subTest(name=linked, args=args):
                f = self.folder(data=False)
                (f.path / "sub").mkdir()
                os.link(DATA.path, f.path / linked)
                args = [str(f.path / linked) if a == "PATH" else a for a in args]
                status, out = run(args, f.path)
                self.assertEqual(status, 1)
                shown = out.splitlines()[-1]
                self.assertRegex(shown, r" is the data file: write the files elsewhere with -o DIR$")
                self.assertIn(linked, shown)
                self.assertEqual(sorted(os.listdir(f.path)), sorted([linked, "sub"]))
                self.assertEqual(os.listdir(f.path / "sub"), [])
        # Another name of it, through a symbolic link in the output folder.
        f = self.folder()
        out_folder = f.path / "out"
        out_folder.mkdir()
        (out_folder / NAMES[2]).symlink_to(DATA.path)
        self.assertEqual(run(["t3", "-o", "out"], f.path),
                         (1, banner(3, 3) + f"out/{NAMES[2]} is the data file: write the files "
                                            "elsewhere with -o DIR\n"))
        after = os.stat(DATA.path)
        self.assertEqual((after.st_size, after.st_mtime_ns, after.st_ino),
                         (before.st_size, before.st_mtime_ns, before.st_ino))


class StandardDescriptors(TestCase):
    def test_closed_ones_never_reach_a_file(self):
        # Standard input and output closed: the data file and the outputs
        # get other descriptors, nothing the tool prints lands in a file,
        # and the run still says on standard error that it could not print.
        normal = self.folder()
        self.assertEqual(run(["--format=flac", "--compression=0"], normal.path)[0], 0)
        closed = self.folder()
        done = subprocess.run(f"exec '{TOOL}' --format=flac --compression=0 <&- >&-", shell=True,
                              cwd=closed.path, stderr=subprocess.PIPE, timeout=600)
        self.assertEqual(done.returncode, 1)
        self.assertEqual(done.stderr, b"kvbgm2wav: cannot write standard output: "
                                      b"Bad file descriptor\n")
        self.assertEqual(closed.names(), normal.names())
        for name in normal.wavs():
            self.assertEqual((closed.path / name).read_bytes(), (normal.path / name).read_bytes(),
                             name)
        # Standard input alone closed: an ordinary run.
        f = self.folder()
        done = subprocess.run(f"exec '{TOOL}' t3 <&-", shell=True, cwd=f.path,
                              stdout=subprocess.PIPE, timeout=600)
        self.assertEqual((done.returncode, done.stdout.decode()),
                         (0, banner(3, 3) + create_line(3)))


@unittest.skipUnless(SHIM, "needs the read-error shim (not under the sanitizers)")
class ReadErrors(TestCase):
    def test_a_read_error_names_the_data_file(self):
        start, _, end = TRACKS[2]
        env = dict(os.environ, LD_PRELOAD=SHIM, KVBGM_FAIL_READ_AT=str((start + end) // 2))
        for args in (["t3"], ["t3", "f5"], ["--format=flac", "t3"], ["--format=ogg", "t3"]):
            with self.subTest(args=args):
                f = self.folder()
                status, out = run(args, f.path, env=env)
                self.assertEqual(status, 1)
                self.assertEqual(out.splitlines()[-1],
                                 "cannot read kvbgm.dat: Input/output error")
                self.assertEqual(f.names(), ["kvbgm.dat"])


class Folders(TestCase):
    def test_a_signal_before_the_first_file_leaves_no_folder(self):
        f = self.folder()
        proc = subprocess.Popen([TOOL, "--format=flac", "--compression=8", "T24", "10", "F30",
                                 "-o", "nf/x/y"], cwd=f.path, stdout=subprocess.PIPE)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.kill)
        proc.stdout.readline()  # the banner
        self.assertTrue(proc.stdout.readline().startswith(b"Create "))
        time.sleep(0.2)
        proc.terminate()
        proc.communicate(timeout=600)
        self.assertEqual(proc.returncode, -15)
        self.assertEqual(f.names(), ["kvbgm.dat"])

    def test_a_broken_link_on_the_way_is_named(self):
        f = self.folder()
        (f.path / "dangling").symlink_to(f.path / "nowhere")
        self.assertEqual(run(["t31", "-o", "dangling/sub"], f.path),
                         (1, banner(31, 31) + "cannot write into dangling/sub: a symbolic link on "
                                              "the way points to nothing\n"))


class Habits(TestCase):
    def test_short_forms_of_help_and_version(self):
        f = self.folder()
        self.assertEqual(run(["-h"], f.path), run(["--help"], f.path))
        self.assertEqual(run(["-V"], f.path), run(["--version"], f.path))
        self.assertIn("-h, --help, -V, --version", run(["-h"], f.path)[1])

    def test_progress_on_a_terminal_and_nothing_on_a_pipe(self):
        f = self.folder()
        log = f.path / "typescript"
        subprocess.run(["script", "-qec", f"'{TOOL}' --format=flac --compression=8 t24 3 F10",
                        str(log)], cwd=f.path, stdout=subprocess.DEVNULL, check=True,
                       timeout=600)
        screen = log.read_bytes()
        self.assertRegex(screen, rb"\r0 of 1 files, 0%, 0:0\d so far\x1b\[K")
        self.assertIn(b"\r\x1b[K", screen)  # cleared at the end
        f2 = self.folder()
        done = subprocess.run([TOOL, "--format=flac", "t3"], cwd=f2.path, stdout=subprocess.PIPE,
                              stderr=subprocess.PIPE, timeout=600)
        self.assertEqual((done.returncode, done.stderr), (0, b""))
        self.assertEqual(done.stdout.decode(), banner(3, 3) + create_line(3).replace(".wav", ".flac"))


if __name__ == "__main__":
    unittest.main()
