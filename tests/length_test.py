"""End-to-end tests of --length: each file plays for exactly the time asked,
the intro and then the loop over and over, whatever the format; what it
refuses writes nothing; and a WAV run checks its files' size and the free
space for them before it writes."""

import os
import re
import shutil
import subprocess
import unittest
from fractions import Fraction
from pathlib import Path

from kvbgm_test_support import (decoded, flac_name, Folder, NAMES, ogg_decode, ogg_name, rate,
                                read_range, run, small_disk, smpl_loop, StandIn, stream_info,
                                TRACKS, wav_data, wav_info)

DATA = StandIn()  # the stand-in data file, made for this module
setUpModule, tearDownModule = DATA.make, DATA.remove


def played(track, frames):
    """The first `frames` frames of the track played on and on, from the
    stand-in: the intro once, then the loop segment again and again."""
    start, loop, end = TRACKS[track - 1]
    out = read_range(DATA.path, start, min(end, start + 4 * frames))
    while len(out) < 4 * frames:
        out += read_range(DATA.path, loop, min(end, loop + 4 * frames - len(out)))
    return out


def passes_time(track, repeat):
    """The time of `repeat` passes of the track, to the nanosecond, as a
    --length value in seconds."""
    start, loop, end = TRACKS[track - 1]
    frames = ((end - start) + (end - loop) * (repeat - 1)) // 4
    ns = round(Fraction(frames * 10**9, rate(track)))
    return f"{ns // 10**9}.{ns % 10**9:09d}"


def length_banner(track, length, fade=0, pattern=0):
    return f"track={track}-{track} , length={length} , fade={fade} , fade pattern={pattern}\n"


class TestCase(unittest.TestCase):
    def folder(self):
        f = Folder(DATA.path)
        self.addCleanup(f.remove)
        return f


class Wav(TestCase):
    def test_a_length_of_whole_passes_writes_the_passes_files(self):
        # The time of R passes, to the nanosecond, rounds to exactly their
        # frames: the same file as R passes, fades and loop marks alike.
        cases = [  # track, repeat, other settings
            (1, 2, ["f10", "--loop-points"]),
            (1, 3, ["F10", "p1", "--loop-points"]),
            (3, 2, ["f30", "p3"]),
            (26, 1, ["F20", "--loop-points"]),  # plays on round its 13.3-second loop
            (31, 2, ["f28", "p2", "--loop-points"]),  # a fade longer than a pass
        ]
        for track, repeat, more in cases:
            with self.subTest(track=track, repeat=repeat, more=more):
                by_passes, by_length = self.folder(), self.folder()
                status, _ = run([f"t{track}", str(repeat), *more], by_passes.path)
                self.assertEqual(status, 0)
                length = passes_time(track, repeat)
                status, out = run([f"t{track}", f"--length={length}", *more], by_length.path)
                self.assertEqual(status, 0, out)
                self.assertTrue(out.startswith(f"track={track}-{track} , length="), out)
                name = NAMES[track - 1]
                self.assertEqual((by_length.path / name).read_bytes(),
                                 (by_passes.path / name).read_bytes())

    def test_stops_anywhere_in_the_play(self):
        cases = [  # track, --length, frames
            (1, "10", 441000),             # inside the intro
            (1, "45.5", 2006550),          # inside the first pass
            (1, "1:40.749206349", 4443040),  # at the end of the second pass
            (1, "1:40.749229025", 4443041),  # a frame into the third
            (1, "1:40.749183673", 4443039),  # a frame before its end
            (3, "3:10.3", 4196115),        # 22,050 Hz, inside the second pass
        ]
        for track, length, frames in cases:
            with self.subTest(track=track, length=length):
                f = self.folder()
                status, out = run([f"t{track}", f"--length={length}", "--loop-points"], f.path)
                self.assertEqual(status, 0, out)
                path = f.path / NAMES[track - 1]
                self.assertEqual(wav_info(path), (2, 2, rate(track), frames))
                self.assertEqual(wav_data(path), played(track, frames))
                # The loop marked is the last whole pass in the file.
                start, loop, end = TRACKS[track - 1]
                intro, passes = (loop - start) // 4, (end - loop) // 4
                whole = (frames - intro) // passes
                if whole >= 1:
                    self.assertEqual(smpl_loop(path), (intro + (whole - 1) * passes,
                                                       intro + whole * passes - 1))
                    self.assertNotIn("no loop points", out)
                else:
                    self.assertIsNone(smpl_loop(path))
                    self.assertIn(f"no loop points in {NAMES[track - 1]}: the file ends before "
                                  "one whole pass of the loop\n", out)

    def test_fades_cross_pass_boundaries(self):
        # Track 01's first pass ends at 61.297 seconds: f and F fades over it
        # fade the same frames as the passes' fades of the same length.
        track, intro_and_loop = 1, 4443040 - 1739808  # frames of one pass
        cases = [  # settings, frames in the file, first faded frame
            (["--length=65", "f10"], 65 * 44100, 55 * 44100),
            (["--length=55", "F10"], 65 * 44100, 55 * 44100),
        ]
        unfaded = played(track, 65 * 44100)
        for settings, frames, first_faded in cases:
            with self.subTest(settings=settings):
                self.assertLess(first_faded, intro_and_loop)
                self.assertGreater(frames, intro_and_loop)
                f = self.folder()
                status, out = run([f"t{track}", "p1", *settings], f.path)
                self.assertEqual(status, 0, out)
                data = wav_data(f.path / NAMES[0])
                self.assertEqual(len(data), 4 * frames)
                self.assertEqual(data[:4 * first_faded], unfaded[:4 * first_faded])
                # A linear fade: each sample is the played one times 1 - t / n,
                # truncated toward zero.
                n = frames - first_faded
                for t in (0, 1, n // 3, intro_and_loop - first_faded - 1,
                          intro_and_loop - first_faded, n - 1):
                    at = 4 * (first_faded + t)
                    for k in (0, 2):
                        sample = int.from_bytes(unfaded[at + k:at + k + 2], "little", signed=True)
                        got = int.from_bytes(data[at + k:at + k + 2], "little", signed=True)
                        self.assertEqual(got, int(sample * (1 - t / n)), (t, k))

    def test_loop_note_says_why(self):
        f = self.folder()
        status, out = run(["t1", "--length=70", "f10", "--loop-points"], f.path)
        self.assertEqual(status, 0)
        self.assertIn(f"no loop points in {NAMES[0]}: the fade reaches into every pass of the "
                      "loop\n", out)
        status, out = run(["t1", "--length=70", "--loop-points"], f.path)
        self.assertEqual(status, 0)
        self.assertNotIn("no loop points", out)

    def test_list_shows_the_lengths(self):
        f = self.folder()
        status, out = run(["--list", "--length=59:59.5", "F3", "t26"], f.path)
        self.assertEqual(status, 0)
        self.assertEqual(out.splitlines()[1].split("\t")[-1], "60:02.500")
        status, out = run(["--list", "--length=1:00:00"], f.path)
        self.assertEqual(status, 0)
        self.assertEqual({row.split("\t")[-1] for row in out.splitlines()[1:]}, {"60:00.000"})
        self.assertEqual(f.names(), ["kvbgm.dat"])

    def test_readme_example_of_an_hour_with_a_fade(self):
        readme = (Path(__file__).resolve().parent.parent / "README.md").read_text()
        examples = readme.split("## Examples\n")[1].split("\n\n")[0]
        hour = [line.split("#")[0].split()[1:] for line in examples.splitlines()
                if "--length=1:00:00" in line]
        self.assertEqual(len(hour), 1)
        self.assertIn("f10", hour[0])
        track = [int(arg[1:]) for arg in hour[0] if re.fullmatch(r"[tT]\d+", arg)]
        self.assertEqual(len(track), 1)
        status, out = run(["--list", *hour[0]], self.folder().path)
        self.assertEqual(status, 0, out)
        rows = out.splitlines()[1:]
        self.assertEqual([row.split("\t")[0] for row in rows], [f"{track[0]:02d}"])
        self.assertEqual(rows[0].split("\t")[-1], "60:00.000")


class Refused(TestCase):
    def test_refusals_write_nothing(self):
        size = ("01 序章.wav would be 4,445,280,044 bytes, past the 4 GiB a WAV file can hold "
                "(4,294,967,303 bytes): write FLAC files with --format=flac, or ask a shorter "
                "--length\n")
        cases = [  # arguments, message
            (["--length=1:00:00", "3"], "--length sets how long each file plays, in place of "
             "a repeat count: give one or the other\n"),
            (["--length=20", "--split"],
             "--split writes the intro and the loop once each: no --length\n"),
            (["--length=20", "f21"], "a fade of the last 21 seconds does not fit in "
             "--length=0:20\n"),
            (["--length=0.5"], "--length must be 1 second to 10 hours, as SS, MM:SS or "
             "H:MM:SS (90, 3:00, 1:00:00, 59:59.5): 0.5\n"),
            (["--length", "10:00:01"], "--length must be 1 second to 10 hours, as SS, MM:SS "
             "or H:MM:SS (90, 3:00, 1:00:00, 59:59.5): 10:00:01\n"),
            (["--length=7:00:00", "t1"], size),
            # The first file too large, whatever follows: track 02 also is.
            (["--length=7:00:00", "-o", "out"], size),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                f = self.folder()
                status, out = run(args, f.path)
                self.assertEqual((status, out), (2, message))
                self.assertEqual(f.names(), ["kvbgm.dat"])

    def test_what_a_wav_file_cannot_hold_other_formats_and_rates_can(self):
        f = self.folder()
        for args in (["--length=7:00:00", "t3"], ["--length=10:00:00", "--format=flac"],
                     ["--length=10:00:00", "--format=ogg"]):
            with self.subTest(args=args):
                status, out = run(["--list", *args], f.path)
                self.assertEqual(status, 0, out)

    def test_free_space_is_checked_before_writing(self):
        disk = small_disk(self, 8, DATA.path)
        # 60 seconds of track 01 take 10.1 MiB; the 8 MiB disk has less.
        status, out = run(["t1", "--length=60"], disk)
        self.assertEqual(status, 1)
        self.assertRegex(out, r"^track=1-1 , length=1:00 , fade=0 , fade pattern=0\n"
                              r"not enough free space in \.: the WAV file needs 10\.1 MiB, "
                              r"[0-9.]+ MiB is free \(FLAC files take less: --format=flac\)\n$")
        self.assertEqual(sorted(os.listdir(disk)), ["kvbgm.dat"])
        # A folder made for the run goes again.
        status, out = run(["t1", "--length=60", "-o", "sub/dir"], disk)
        self.assertEqual(status, 1)
        self.assertIn("not enough free space in sub/dir: ", out)
        self.assertEqual(sorted(os.listdir(disk)), ["kvbgm.dat"])
        # What fits is written; written again, the old file stays until the
        # new one is complete, so the same length no longer fits beside it.
        status, out = run(["t1", "--length=25"], disk)
        self.assertEqual(status, 0, out)
        self.assertEqual(wav_info(disk / NAMES[0])[3], 25 * 44100)
        status, out = run(["t1", "--length=25"], disk)
        self.assertEqual(status, 1)
        self.assertIn("the WAV file needs 4.3 MiB", out)
        status, out = run(["t1", "--length=15"], disk)
        self.assertEqual(status, 0, out)
        # FLAC files are not checked: their size is not known before.
        status, out = run(["t1", "--length=60", "--format=flac"], disk)
        self.assertEqual(status, 0, out)


class Encoded(TestCase):
    def test_flac_and_ogg_decode_to_the_exact_length(self):
        cases = [  # track, settings, frames
            (1, ["--length=45.5", "F3"], 2006550 + 3 * 44100),
            (3, ["--length=1:40.00002", "f5"], 2205000),  # 0.44 of a frame rounds down
            (31, ["--length=5:00", "f30"], 300 * 44100),
        ]
        for track, settings, frames in cases:
            with self.subTest(track=track, settings=settings):
                f = self.folder()
                args = [f"t{track}", "p2", "--loop-points", *settings]
                status, out = run(args, f.path)
                self.assertEqual(status, 0, out)
                wav = f.path / NAMES[track - 1]
                self.assertEqual(wav_info(wav)[3], frames)
                pcm = wav_data(wav)
                status, out = run(["--format=flac", *args], f.path)
                self.assertEqual(status, 0, out)
                flac = f.path / flac_name(NAMES[track - 1])
                self.assertEqual(stream_info(flac)[0], frames)
                self.assertEqual(decoded(flac), pcm)
                status, out = run(["--format=ogg", *args], f.path)
                self.assertEqual(status, 0, out)
                back = ogg_decode(f.path / ogg_name(NAMES[track - 1]), f.path / "decoded.wav")
                self.assertEqual(wav_info(back), (2, 2, rate(track), frames))


if __name__ == "__main__":
    unittest.main()
