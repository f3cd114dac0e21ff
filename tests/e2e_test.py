"""End-to-end tests of the built kvbgm2wav on a stand-in kvbgm.dat."""

import math
import os
import re
import shlex
import shutil
import struct
import subprocess
import unittest
from pathlib import Path

from kvbgm_test_support import (banner, create_line, DATA_BYTES, data_length, digest,
                                ToolTestCase, NAMES, rate, read_range, riff_chunks, run,
                                smpl_loop, StandIn, TOOL, TRACKS, wav_frames, wav_info,
                                MAKE_STANDIN)

DATA = StandIn()  # the stand-in data file, made for this module
setUpModule, tearDownModule = DATA.make, DATA.remove


def expected_data(track, repeat):
    start, loop, end = TRACKS[track - 1]
    return read_range(DATA.path, start, end) + read_range(DATA.path, loop, end) * (repeat - 1)


class TestCase(ToolTestCase):
    stand_in = DATA

    def assertWav(self, path, track, length):
        self.assertEqual(wav_info(path), (2, 2, rate(track), length // 4))
        self.assertEqual(os.path.getsize(path), 44 + length)


class FullRun(TestCase):
    def test_default_run_writes_all_tracks_and_repeats_identically(self):
        f = self.folder()
        status, out = run([], f.path)
        self.assertEqual(status, 0)
        self.assertEqual(out, banner() + "".join(create_line(t) for t in range(1, 32)))
        self.assertEqual(f.wavs(), sorted(NAMES))
        for track in range(1, 32):
            self.assertWav(f.path / NAMES[track - 1], track, data_length(track))
        for track in (1, 3, 26, 31):
            self.assertEqual(wav_frames(f.path / NAMES[track - 1]), expected_data(track, 2))
        first = {n: digest(f.path / n) for n in f.wavs()}
        status, again = run([], f.path)
        self.assertEqual((status, again), (0, out))
        self.assertEqual({n: digest(f.path / n) for n in f.wavs()}, first)


class Settings(TestCase):
    def test_single_tracks_and_repeats(self):
        cases = [  # arguments, track, repeat
            (["T5"], 5, 2),
            (["t7", "T9"], 9, 2),
            (["1", "t31"], 31, 1),
            (["10", "T23"], 23, 10),
            (["3x", "T26"], 26, 3),
        ]
        for args, track, repeat in cases:
            with self.subTest(args=args):
                f = self.folder()
                status, out = run(args, f.path)
                self.assertEqual(status, 0)
                self.assertEqual(out, banner(track, track, repeat) + create_line(track))
                self.assertEqual(f.wavs(), [NAMES[track - 1]])
                path = f.path / NAMES[track - 1]
                self.assertWav(path, track, data_length(track, repeat))
                self.assertEqual(wav_frames(path), expected_data(track, repeat))

    def test_same_bytes_as_sox(self):
        # sox cuts the same ranges out of the raw data and joins them into a
        # WAV file of its own: without a fade the files must be identical.
        for track, repeat in ((1, 2), (3, 3)):
            with self.subTest(track=track):
                f = self.folder()
                self.assertEqual(run([f"T{track}", str(repeat)], f.path)[0], 0)
                start, loop, end = TRACKS[track - 1]
                raw = ["-t", "raw", "-r", str(rate(track)), "-e", "signed-integer",
                       "-b", "16", "-c", "2", "-L"]
                parts = []
                for k, (a, b) in enumerate([(start, end)] + [(loop, end)] * (repeat - 1)):
                    part = f.path / f"part{k}.raw"
                    subprocess.run(["sox", *raw, DATA.path, *raw, part, "trim", f"{a // 4}s",
                                    f"{(b - a) // 4}s"], check=True)
                    parts += [*raw, part]
                subprocess.run(["sox", *parts, f.path / "sox.wav"], check=True)
                self.assertEqual(digest(f.path / "sox.wav"), digest(f.path / NAMES[track - 1]))

    def test_fade_modes(self):
        track, seconds = 1, 10
        start, loop, end = TRACKS[0]
        f = self.folder()
        status, out = run(["T1", "f10", "p1"], f.path)
        self.assertEqual((status, out), (0, banner(1, 1, 2, 10, 1) + create_line(1)))
        faded_end = wav_frames(f.path / NAMES[0])
        self.assertWav(f.path / NAMES[0], track, data_length(1, 2, 10))
        status, out = run(["T1", "F10", "p1"], f.path)
        self.assertEqual((status, out), (0, banner(1, 1, 2, -10, 1) + create_line(1)))
        played_on = wav_frames(f.path / NAMES[0])
        self.assertWav(f.path / NAMES[0], track, data_length(1, 2, -10))
        n = seconds * 44100
        plain = expected_data(1, 2)
        # f10 keeps everything before the last 10 seconds; F10 keeps all of it.
        self.assertEqual(faded_end[:len(plain) - 4 * n], plain[:len(plain) - 4 * n])
        self.assertEqual(played_on[:len(plain)], plain)
        # F10 fades the loop played on from loopStart; f10 the end of the track.
        for audio, source in ((played_on, loop), (faded_end, end - 4 * n)):
            fade = audio[-4 * n:]
            raw = read_range(DATA.path, source, source + 4 * n)
            self.assertEqual(fade[:4], raw[:4])  # gain 1 at the first frame
            for t in (1, 44100, n // 2, n - 1):
                got = struct.unpack_from("<hh", fade, 4 * t)
                src = struct.unpack_from("<hh", raw, 4 * t)
                g = 1 - t / n
                self.assertEqual(got, tuple(int(math.trunc(s * g)) for s in src))


class Failures(TestCase):
    def assertNoWav(self, f):
        self.assertEqual(f.wavs(), [])

    def as_nobody(self):
        """The tool and run() arguments that run it without root's right to
        read and write anything: a copy of it run as nobody, when root."""
        if os.geteuid() != 0:
            return TOOL, {}
        where = self.folder(data=False).path
        os.chmod(where, 0o755)
        tool = shutil.copy(TOOL, where / "kvbgm2wav")
        drop = {"user": 65534, "group": 65534, "extra_groups": []}
        try:
            subprocess.run([tool, "--version"], stdout=subprocess.DEVNULL, **drop)
        except PermissionError:
            self.skipTest("cannot run as another user here")
        return tool, drop

    def test_rejected_settings(self):
        cases = [
            (["0"], "repeat must be 1-10\n"),
            (["x"], "repeat must be 1-10\n"),
            (["4294967298"], "repeat must be 1-10\n"),
            (["0", "f40", "p9"], "repeat must be 1-10\n"),
            (["F31"], "fade must be 0-30\n"),
            (["p4"], "fade pattern must be 0-3\n"),
            (["T0"], "track number must be 1-31\n"),
            (["T32"], "track number must be 1-31\n"),
        ]
        for data in (True, False):
            for args, message in cases:
                with self.subTest(args=args, data=data):
                    f = self.folder(data)
                    self.assertEqual(run(args, f.path), (2, message))
                    self.assertNoWav(f)

    def test_missing_or_unusable_data_file(self):
        def fifo(path):
            os.mkfifo(path)

        def unreadable(path):
            path.write_bytes(b"\0" * 64)
            os.chmod(path, 0)
            os.chmod(path.parent, 0o755)

        cases = [  # how kvbgm.dat is made, message after the banner
            (None, "kvbgm.dat not found.\n"),
            (os.mkdir, "cannot read kvbgm.dat: not a regular file\n"),
            (fifo, "cannot read kvbgm.dat: not a regular file\n"),  # must not block
            (unreadable, "cannot read kvbgm.dat: Permission denied\n"),
        ]
        for make, message in cases:
            with self.subTest(message=message, make=make):
                f = self.folder(data=False)
                if make:
                    make(f.path / "kvbgm.dat")
                tool, drop = (self.as_nobody() if make is unreadable else (TOOL, {}))
                status, out = run(["T2"], f.path, tool=tool, **drop)
                self.assertEqual((status, out), (1, banner(2, 2) + message))
                self.assertEqual(f.names(), [] if make is None else ["kvbgm.dat"])
        f = self.folder(data=False)
        self.assertEqual(run([], f.path), (1, banner() + "kvbgm.dat not found.\n"))

    def test_short_data_file(self):
        cases = [  # size, arguments, bytes needed
            (0, [], DATA_BYTES),
            (DATA_BYTES - 1, [], DATA_BYTES),
            (TRACKS[0][2] - 1, ["T1"], TRACKS[0][2]),
            (TRACKS[29][2], ["T31", "F30"], DATA_BYTES),
        ]
        for size, args, needed in cases:
            with self.subTest(size=size, args=args):
                f = self.folder(data=False)
                with open(f.path / "kvbgm.dat", "wb") as out:
                    out.truncate(size)
                status, out = run(args, f.path)
                self.assertEqual(status, 1)
                self.assertTrue(out.endswith(
                    f"kvbgm.dat is too short: {size} bytes, need {needed}\n"), out)
                self.assertEqual(f.names(), ["kvbgm.dat"])
        # The last track needs only the bytes up to its own end.
        f = self.folder(data=False)
        with open(f.path / "kvbgm.dat", "wb") as out:
            out.truncate(TRACKS[0][2])
        self.assertEqual(run(["T1", "F30"], f.path), (0, banner(1, 1, 2, -30) + create_line(1)))

    def test_unwritable_folder(self):
        f = self.folder()
        os.chmod(f.path / "kvbgm.dat", 0o644)
        os.chmod(f.path, 0o555)
        self.addCleanup(os.chmod, f.path, 0o755)
        tool, drop = self.as_nobody()
        # Said once, naming the folder, and the run stops: every file would
        # fail the same way.
        status, out = run([], f.path, tool=tool, **drop)
        self.assertEqual(status, 1)
        self.assertEqual(out, banner() + create_line(1) + "cannot write into .: Permission "
                                                          "denied (write elsewhere with -o DIR)\n")
        self.assertEqual(f.names(), ["kvbgm.dat"])

    def test_folder_in_place_of_an_output(self):
        f = self.folder()
        os.mkdir(f.path / NAMES[1])
        status, out = run(["1"], f.path)
        self.assertEqual(status, 1)
        self.assertIn(create_line(2) + f"cannot write {NAMES[1]}: Is a directory\n" + create_line(3), out)
        # The other tracks are written all the same.
        self.assertEqual(f.wavs(), sorted(NAMES))
        self.assertTrue((f.path / NAMES[1]).is_dir())


def sndfile_loop(path):
    """The loop as libsndfile reads it: (start, end), end exclusive; None
    when it finds no instrument data."""
    done = subprocess.run(["sndfile-info", "--instrument", path], stdout=subprocess.PIPE)
    out = done.stdout.decode()
    if "does not contain instrument data" in out:
        return None
    assert done.returncode == 0, out
    found = re.search(r"Start\s*:\s*(\d+)\s+End\s*:\s*(\d+)", out)
    return (int(found[1]), int(found[2])) if found else None


def sox_frames(path):
    return int(subprocess.run(["sox", "--i", "-s", path], stdout=subprocess.PIPE,
                              check=True).stdout)


class LoopReady(TestCase):
    def test_loop_points(self):
        cases = [  # track, settings, the pass the loop marks (None: no clean pass)
            (1, ["1"], 1),
            (1, [], 2),
            (3, ["3", "F10", "p2"], 3),
            (26, ["3", "f14"], 1),
            (26, ["10", "F30"], 10),
            (31, ["2", "f27"], 1),
            (31, ["2", "f28"], None),
            (26, ["1", "f5"], None),
        ]
        for track, settings, loop_pass in cases:
            with self.subTest(track=track, settings=settings):
                plain, marked = self.folder(), self.folder()
                args = [f"T{track}", *settings]
                status, plain_out = run(args, plain.path)
                self.assertEqual(status, 0)
                status, out = run(["--loop-points", *args], marked.path)
                self.assertEqual(status, 0)
                name = NAMES[track - 1]
                path = marked.path / name
                if loop_pass is None:
                    self.assertEqual(out, plain_out + f"no loop points in {name}: "
                                     "the fade reaches into every pass of the loop\n")
                    self.assertEqual(digest(path), digest(plain.path / name))
                    continue
                self.assertEqual(out, plain_out)
                self.assertEqual([c[0] for c in riff_chunks(path)], ["fmt ", "smpl", "data"])
                audio = wav_frames(path)
                self.assertEqual(audio, wav_frames(plain.path / name))
                self.assertEqual(os.path.getsize(path), 112 + len(audio))
                self.assertEqual(sox_frames(path), len(audio) // 4)
                start, loop, end = TRACKS[track - 1]
                first = (loop - start) // 4 + (loop_pass - 1) * (end - loop) // 4
                last = first + (end - loop) // 4 - 1
                self.assertEqual(smpl_loop(path), (first, last))
                self.assertEqual(sndfile_loop(path), (first, last + 1))
                self.assertEqual(audio[4 * first:4 * (last + 1)], read_range(DATA.path, loop, end))
                if 4 * (last + 1) < len(audio):  # the file plays on: no seam
                    self.assertEqual(audio[4 * (last + 1):4 * (last + 2)],
                                     audio[4 * first:4 * first + 4])

    def test_split(self):
        for loop_points in (False, True):
            with self.subTest(loop_points=loop_points):
                f = self.folder()
                args = ["T3"] + (["--loop-points"] if loop_points else [])
                stem = NAMES[2][:-4]
                intro, loop = f"{stem} (intro).wav", f"{stem} (loop).wav"
                self.assertEqual(run(args + ["--split"], f.path),
                                 (0, banner(3, 3) + f"Create {intro} ...\nCreate {loop} ...\n"))
                self.assertEqual(f.wavs(), sorted([intro, loop]))
                start, loop_start, end = TRACKS[2]
                for name, a, b in ((intro, start, loop_start), (loop, loop_start, end)):
                    path = f.path / name
                    self.assertEqual(wav_info(path), (2, 2, 22050, (b - a) // 4))
                    self.assertEqual(wav_frames(path), read_range(DATA.path, a, b))
                    self.assertEqual(sox_frames(path), (b - a) // 4)
                    marked = loop_points and name == loop
                    self.assertEqual(os.path.getsize(path), (112 if marked else 44) + b - a)
                    self.assertEqual(sndfile_loop(path),
                                     (0, (b - a) // 4) if marked else None)
        f = self.folder()
        self.assertEqual(run(["--split"], f.path)[0], 0)
        self.assertEqual(len(f.wavs()), 62)

    def test_split_refuses_repeat_and_fade(self):
        message = "--split writes the intro and the loop once each: no repeat, fade or fade curve\n"
        for args in (["3"], ["f5"], ["F5"], ["p1"], ["2", "t4"]):
            with self.subTest(args=args):
                f = self.folder()
                self.assertEqual(run(["--split", *args], f.path), (2, message))
                self.assertEqual(f.wavs(), [])


class Locations(TestCase):
    """The data named by path, from an unrelated folder, and -o: the same
    files as the classic run in the data's folder."""

    def test_data_path_and_output_folder(self):
        classic = self.folder()
        self.assertEqual(run(["T3", "3"], classic.path), (0, banner(3, 3, 3) + create_line(3)))
        want = digest(classic.path / NAMES[2])
        elsewhere = self.folder(data=False)  # the current folder, unrelated
        cases = [  # arguments given the data's folder, where the file lands
            (lambda d: [str(d / "kvbgm.dat"), "T3", "3"], lambda d, o: d),
            (lambda d: ["T3", str(d), "3"], lambda d, o: d),
            (lambda d: [str(d / "kvbgm.dat"), "-o", str(o), "T3", "3"], lambda d, o: o),
            (lambda d: ["T3", "3", f"--output={o}", str(d)], lambda d, o: o),
            (lambda d: ["--output", str(o), "T3", "3", str(d) + "/"], lambda d, o: o),
        ]
        for k, (args, where) in enumerate(cases):
            data = self.folder()
            o = elsewhere.path / f"new{k}" / "music"  # does not exist yet
            with self.subTest(case=k):
                self.assertEqual(run(args(data.path), elsewhere.path),
                                 (0, banner(3, 3, 3) + create_line(3)))
                out = where(data.path, o)
                self.assertEqual(sorted(p.name for p in out.iterdir() if p.suffix == ".wav"),
                                 [NAMES[2]])
                self.assertEqual(digest(out / NAMES[2]), want)
        # A renamed copy of the data file in the current folder: a bare name
        # that is not a setting names the data; the files land beside it.
        os.link(DATA.path, elsewhere.path / "music.dat")
        self.assertEqual(run(["T3", "music.dat", "3"], elsewhere.path)[0], 0)
        self.assertEqual(digest(elsewhere.path / NAMES[2]), want)

    def test_settings_stay_settings_even_as_file_names(self):
        f = self.folder()
        for name in ("3", "t5", "f10"):
            (f.path / name).write_bytes(b"")
        self.assertEqual(run(["3", "t5", "f10"], f.path), (0, banner(5, 5, 3, 10) + create_line(5)))

    def test_refused_locations(self):
        f = self.folder()
        (f.path / "afile").write_bytes(b"")
        cases = [  # arguments, status, message
            ([str(DATA.path), str(f.path)], 2,
             f"only one data file or folder may be given: {DATA.path}, {f.path}\n"),
            (["-o"], 2, "-o needs a folder\n"),
            (["--output="], 2, "--output needs a folder\n"),
            (["-o", "afile", "T1"], 1, banner(1, 1) + "cannot write into afile: Not a directory\n"),
            (["-o", "afile/sub", "T1"], 1,
             banner(1, 1) + "cannot write into afile/sub: Not a directory\n"),
            (["missing/kvbgm.dat", "-o", "new"], 1, banner() + "missing/kvbgm.dat not found.\n"),
            (["nothing/"], 1, banner() + "nothing/kvbgm.dat not found.\n"),
            # Too deep to make at all, and a name too long half way down:
            # the folders made before it are removed again.
            (["-o", "a/" * 45000, "T1"], 1,
             banner(1, 1) + f"cannot write into {'a/' * 45000}: File name too long\n"),
            (["-o", "new/deeper/" + "x" * 300, "T1"], 1,
             banner(1, 1) + f"cannot write into new/deeper/{'x' * 300}: File name too long\n"),
            # A folder that can be made, but whose files' names are too long:
            # nothing is written, so the folders go again.
            (["-o", DEEP_FOLDER, "T22"], 1, banner(22, 22) + create_line(22) +
             f"cannot write {NAMES[21]}: File name too long\n"),
            (["-o", "new\x1b[2J/\n", "--lsit"], 2, "unknown option --lsit\n"),
        ]
        for args, status, message in cases:
            with self.subTest(args=args):
                self.assertEqual(run(args, f.path), (status, message))
                self.assertEqual(f.names(), ["afile", "kvbgm.dat"])


# 4,064 bytes: a folder the system can make and put a temporary file in
# (kvbgm2wav-<pid>-<n>.tmp), but not track 22's 40-byte name: the path would
# pass the 4,096 bytes a Linux path may have.
DEEP_FOLDER = ("d" * 250 + "/") * 16 + "e" * 48


class Traps(TestCase):
    """Command lines that look like a request but are not one: each is
    refused or reported, and nothing is written."""

    def test_refused_or_missing_and_nothing_written(self):
        cases = [  # arguments, status, stdout
            (["--lsit", "3", "F10"], 2, "unknown option --lsit\n"),
            (["--spilt", "1"], 2, "unknown option --spilt\n"),
            (["-f5", "3"], 2, "unknown option -f5 (settings take no dash: f5)\n"),
            (["--help=1", "--help"], 0, None),  # help whatever else is there
            (["kvbgm", "1"], 2, "repeat must be 1-10\n"),
            (["renamed.bni", "1"], 1, banner(1, 31, 1) + "renamed.bni not found.\n"),
            (["t1", "renamed.bni", "1"], 1, banner(1, 1, 1) + "renamed.bni not found.\n"),
            (["--list", "-o", "out"], 2, "--list writes no files: no -o or --output\n"),
            (["--list", "renamed.bni"], 1, "renamed.bni not found.\n"),
            (["--", "-x.dat"], 1, banner() + "-x.dat not found.\n"),
            ([b"--ls\x1bt"], 2, "unknown option --ls\\x1bt\n"),
            ([b"t1", b"bad\xff\nname.dat"], 1, banner(1, 1) + "bad\\xff\\nname.dat not found.\n"),
        ]
        for args, status, stdout in cases:
            with self.subTest(args=args):
                f = self.folder()
                got_status, out = run(args, f.path)
                self.assertEqual(got_status, status)
                if stdout is not None:
                    self.assertEqual(out, stdout)
                self.assertEqual(f.names(), ["kvbgm.dat"])

    def test_an_existing_name_is_the_data_not_a_setting(self):
        # "psx" would read as p0, "5.dat" as 5: as names of a folder and a
        # file that are there, they are the data, here with no kvbgm.dat in
        # the current folder to fall back on.
        f = self.folder(data=False)
        os.mkdir(f.path / "psx")
        os.link(DATA.path, f.path / "psx" / "kvbgm.dat")
        os.link(DATA.path, f.path / "5.dat")
        os.link(DATA.path, f.path / "-x.dat")
        want = expected_data(1, 1)
        cases = [  # arguments, where the file lands
            (["t1", "1", "psx", "-o", "out"], f.path / "out"),
            (["5.dat", "t1", "1"], f.path),
            (["--", "t1", "-x.dat", "1"], f.path),
        ]
        for args, where in cases:
            with self.subTest(args=args):
                self.assertEqual(run(args, f.path), (0, banner(1, 1, 1) + create_line(1)))
                self.assertEqual(wav_frames(where / NAMES[0]), want)
                os.remove(where / NAMES[0])


class Listing(TestCase):
    def test_list_needs_no_data_and_gives_the_file_lengths(self):
        f = self.folder(data=False)
        status, out = run(["--list", "3", "F10"], f.path)
        self.assertEqual(status, 0)
        rows = [line.split("\t") for line in out.splitlines()]
        self.assertEqual(rows[0], ["track", "file", "rate", "intro", "loop", "length"])
        self.assertEqual(len(rows), 32)
        for track, row in enumerate(rows[1:], 1):
            start, loop, end = TRACKS[track - 1]
            r = rate(track)

            def seconds(nbytes):
                ms = round(nbytes / 4 * 1000 / r)
                return f"{ms // 60000}:{ms // 1000 % 60:02d}.{ms % 1000:03d}"

            self.assertEqual(row, [f"{track:02d}", NAMES[track - 1], str(r), seconds(loop - start),
                                   seconds(end - loop), seconds(data_length(track, 3, -10))])
        self.assertEqual(rows[1][3:], ["0:21.846", "0:39.451", "2:30.201"])
        self.assertEqual(run(["--list", "t26"], f.path)[1].splitlines()[1:],
                         ["26\t26 帰り道.wav\t44100\t2:17.022\t0:13.333\t2:43.688"])
        self.assertEqual(run(["--list", "p7"], f.path), (2, "fade pattern must be 0-3\n"))
        self.assertEqual(f.names(), [])

    def test_list_names_the_files_of_split_and_checks_a_data_path(self):
        f = self.folder()
        stem = NAMES[2][:-4]
        split = ("track\tfile\trate\tintro\tloop\tlength\n"
                 f"03\t{stem} (intro).wav\t22050\t0:17.256\t1:31.430\t0:17.256\n"
                 f"03\t{stem} (loop).wav\t22050\t0:17.256\t1:31.430\t1:31.430\n")
        self.assertEqual(run(["--list", "--split", "t3"], f.path), (0, split))
        self.assertEqual(run(["--list", "--split", "t3", "kvbgm.dat"], f.path), (0, split))
        self.assertEqual(run(["--list", "--split", "t3", "."], f.path), (0, split))
        with open(f.path / "short.dat", "wb") as out:
            out.truncate(1000)
        self.assertEqual(run(["--list", "short.dat"], f.path),
                         (1, f"short.dat is too short: 1000 bytes, need {DATA_BYTES}\n"))
        self.assertEqual(run(["--list", "t31", "nothing/"], f.path),
                         (1, "nothing/kvbgm.dat not found.\n"))
        self.assertEqual(f.names(), ["kvbgm.dat", "short.dat"])

    def test_list_in_a_terminal_is_aligned(self):
        # script gives the tool a terminal for standard output.
        if shutil.which("script") is None:
            self.skipTest("no script(1) here")
        f = self.folder(data=False)
        done = subprocess.run(["script", "-qec", f"{TOOL} --list", "/dev/null"], cwd=f.path,
                              stdout=subprocess.PIPE, timeout=60)
        lines = done.stdout.decode().replace("\r", "").splitlines()
        self.assertEqual(len(lines), 32)
        # The sample rate column starts at the same terminal column on every
        # line; Japanese characters take two columns each.
        def column(line):
            at = line.index(" 44100 ") if " 44100 " in line else line.index(" 22050 ")
            return sum(2 if ord(c) >= 0x1100 else 1 for c in line[:at])
        self.assertEqual(len({column(line) for line in lines[1:]}), 1)
        self.assertEqual(lines[0].index("rate"), column(lines[1]) + 1)


class StandInTool(TestCase):
    def test_make_standin_rejects_a_bad_track(self):
        f = self.folder(data=False)
        for only in ("0", "32", "abc", "5x", ""):
            with self.subTest(only=only):
                done = subprocess.run([MAKE_STANDIN, "--only", only, f.path / "out.dat"],
                                      stderr=subprocess.PIPE)
                self.assertEqual(done.returncode, 2)
                self.assertIn("usage: make_standin", done.stderr.decode())
                self.assertEqual(f.names(), [])


class HelpAndVersion(TestCase):
    def test_help_and_version(self):
        f = self.folder(data=False)
        status, out = run(["--help"], f.path)
        self.assertEqual(status, 0)
        self.assertTrue(out.startswith("Usage: kvbgm2wav"))
        for form in ("-o DIR", "--output DIR", "--output=DIR", "pN, PN", "tN, TN", "--list",
                     "--loop-points", "--split", "\n  -- ", "--version"):
            self.assertIn(form, out)
        # The exit statuses say what the README's table says.
        readme = (Path(__file__).resolve().parent.parent / "README.md").read_text()
        table = readme.split("## Exit status")[1].split("\n\n")[1]
        rows = [line.split("|")[1:3] for line in table.splitlines()[2:]]
        self.assertEqual([status.strip() for status, _ in rows], ["0", "1", "2"])
        words = " ".join(out.split())
        for status, meaning in rows:
            self.assertIn(f"{status.strip()} {meaning.strip().replace('`', '')}", words)
        status, out = run(["--version"], f.path)
        self.assertEqual(status, 0)
        self.assertRegex(out, r"^kvbgm2wav \d+\.\d+\.\d+\n$")
        self.assertEqual(f.names(), [])

    def test_help_readme_and_manual_page_name_the_same_options(self):
        # --help is made from the option and settings tables; the README's
        # tables, the manual page's list and the Windows README.txt must not
        # drift from it: the same options, setting letters and ranges.
        root = Path(__file__).resolve().parent.parent
        option = re.compile(r"(?<![\w-])(--?[A-Za-z][\w-]*|--)(?![\w-])")
        letters = re.compile(r"(?<![A-Za-z])([A-Za-z]?)N\b")
        def ranges(found, text, between):
            # {letter: (min, max)} for each letter found, the range the
            # first "<min><between><max>" in `text` gives.
            bounds = re.search(r"(-?\d+)" + between + r"(\d+)", text)
            return {l: bounds and (int(bounds[1]), int(bounds[2])) for l in found}
        status, out = run(["--help"], self.folder(data=False).path)
        self.assertEqual(status, 0)
        settings_part, options_part = out.split("\nSettings")[1].split("\nOptions:\n")
        options_part = options_part.split("\nExamples:")[0]
        terms = [line.strip().split("  ")[0] for line in options_part.splitlines()
                 if line.startswith("  -")]
        helped = {o for term in terms for o in option.findall(term)}
        helped_ranges = {}
        for line in settings_part.splitlines()[1:]:
            if line.startswith("  "):
                form, _, text = line.strip().partition("  ")
                helped_ranges.update(ranges(letters.findall(form), text, "-"))
        helped_letters = set(helped_ranges)
        self.assertIn("--output", helped)
        self.assertEqual(helped_letters, {"", "f", "F", "p", "P", "t", "T"})
        self.assertEqual(helped_ranges[""], (1, 10))
        self.assertNotIn(None, helped_ranges.values())

        readme = (root / "README.md").read_text()
        def first_cells(table):
            return [row.split("|")[1] for row in table.splitlines()[2:]]
        options_table = readme.split("The options:\n\n")[1].split("\n\n")[0]
        settings_table = readme.split("| Argument | Setting |")[1].split("\n\n")[0]
        self.assertEqual({o for cell in first_cells(options_table) for o in option.findall(cell)},
                         helped)
        readme_ranges = {}
        for row in settings_table.splitlines()[2:]:
            cells = row.split("|")
            readme_ranges.update(ranges(letters.findall(cells[1].replace("a bare number", "")),
                                        cells[3], "\\s*[-\u2013]\\s*"))
        self.assertEqual(readme_ranges, helped_ranges)

        page = (root / "doc" / "kvbgm2wav.1").read_text().replace("\\-", "-")
        listed = page.split(".SH OPTIONS")[1].split(".SH EXIT")[0].split("\n.TP\n")[1:]
        items = [entry.partition("\n")[::2] for entry in listed]
        self.assertEqual({o for item, _ in items for o in option.findall(item.replace("\\f", " "))},
                         helped)
        page_ranges = {}
        for item, body in items:
            if not option.findall(item):
                found = re.findall(r'(?:^\.BI? |\\fP)([A-Za-z]?)"? ?N\b', item)
                page_ranges.update(ranges(found or ([""] if item == ".I N" else []), body, " to "))
        self.assertEqual(page_ranges, helped_ranges)

        windows = (root / "doc" / "README-windows.txt").read_text()
        self.assertLessEqual(set(option.findall(windows)) - {"-o"}, helped)
        # Its examples' settings are ones --help gives, within their ranges.
        settings = [arg for line in windows.splitlines() if line.startswith("    kvbgm2wav.exe ")
                    for arg in shlex.split(line.strip().split("  ")[0], posix=False)[1:]
                    if not re.search(r'[-."%\\]', arg)]
        self.assertTrue(settings)
        for arg in settings:
            setting = re.fullmatch(r"([A-Za-z]?)(\d+)", arg)
            self.assertTrue(setting and setting[1] in helped_ranges, arg)
            low, high = helped_ranges[setting[1]]
            self.assertTrue(low <= int(setting[2]) <= high, arg)


if __name__ == "__main__":
    unittest.main()
