"""End-to-end tests of --format=ogg: every Ogg Vorbis file decodes to exactly
as many frames as the WAV file the same settings write, and as close to its
audio as oggenc gets at the same quality from that WAV file; it carries the
tags and loop tags that players and engines read, the loop tags last; and a
failed or interrupted run leaves only complete files, as with WAV files."""

import json
import os
import subprocess
import unittest

from kvbgm_test_support import (banner, error_db, Folder, NAMES, ogg_decode, ogg_name, ogg_pages,
                                run, small_disk, smpl_loop, StandIn, TOOL, TRACKS,
                                vorbis_comments, wav_info)

DATA = StandIn()  # the stand-in data file, made for this module
setUpModule, tearDownModule = DATA.make, DATA.remove

# The tool and oggenc encode with the same libvorbis at the same quality from
# the same samples, so their coding error (the decoded audio less the WAV
# file's audio) comes out the same: measured equal to 0.01 dB on every row
# below. One quality step near the default moves it by about 1.7 dB, half a
# step by about 0.8 dB, and a sample out of place, a wrong scale or a
# channel mix-up by tens of dB; so the tool's error may be at most 0.5 dB
# above oggenc's.
CODING_MARGIN_DB = 0.5
# The bit rate follows the quality: the tool's file and oggenc's differ by
# their tags and vendor string, measured under 0.2%; half a quality step
# changes the size by a tenth or more. So at most 2% apart.
SIZE_MARGIN = 0.02


def quality_of(args):
    """The --quality that `args` give, as text (5 without one)."""
    quality = "5"
    for k, arg in enumerate(args):
        if arg.startswith("--quality="):
            quality = arg.split("=", 1)[1]
        elif arg == "--quality":
            quality = args[k + 1]
    return quality


class TestCase(unittest.TestCase):
    def folder(self, data=True):
        f = Folder(DATA.path if data else None)
        self.addCleanup(f.remove)
        return f

    def both(self, args, ogg_args=()):
        """Runs `args` as WAV and with `ogg_args` as Ogg Vorbis in two
        folders; checks that the Ogg run says the same with .ogg names and
        writes the same files."""
        wav, ogg = self.folder(), self.folder()
        status, out = run(args, wav.path)
        self.assertEqual(status, 0, out)
        self.assertEqual(run(["--format=ogg", *args, *ogg_args], ogg.path),
                         (0, out.replace(".wav ...", ".ogg ...").replace(".wav:", ".ogg:")))
        self.assertEqual(ogg.wavs(), sorted(ogg_name(n) for n in wav.wavs()))
        return wav, ogg

    def assert_loop_tags(self, comments, wav_path):
        """The loop tags of `comments` mark the loop of the WAV file's smpl
        chunk, as its last two comments; none where it has no loop."""
        names = [name.upper() for name, _ in comments]
        self.assertNotIn("LOOPEND", names)
        loop = smpl_loop(wav_path)
        if loop is None:
            self.assertNotIn("LOOPSTART", names)
            self.assertNotIn("LOOPLENGTH", names)
        else:
            self.assertEqual(comments[-2:], [["LOOPSTART", str(loop[0])],
                                             ["LOOPLENGTH", str(loop[1] - loop[0] + 1)]])
            self.assertEqual(names.count("LOOPSTART") + names.count("LOOPLENGTH"), 2)


class SameAudio(TestCase):
    def test_decodes_to_the_wave_length_as_close_as_oggenc(self):
        cases = [  # arguments, and those for Ogg only
            (["t1", "1", "f5", "p0", "--loop-points"], []),  # no clean pass: no loop
            (["t2", "F3", "p1"], ["--quality=2.5"]),
            (["t7", "f4", "p2", "--loop-points"], []),       # 22,050 Hz
            (["t10", "F2", "p3", "--loop-points"], ["--quality", "-1"]),
            (["t26", "3", "f14", "--loop-points"], []),      # the fade starts a pass early
            (["t31", "F30", "--loop-points"], ["--quality=10"]),  # round a short loop
            (["t3", "--split", "--loop-points"], ["--quality=5"]),
        ]
        for args, ogg_args in cases:
            with self.subTest(args=args, ogg_args=ogg_args):
                wav, ogg = self.both(args, ogg_args)
                quality = quality_of(ogg_args)
                scratch = self.folder(data=False).path
                for name in wav.wavs():
                    reference, path = wav.path / name, ogg.path / ogg_name(name)
                    ours = ogg_decode(path, scratch / "ours.wav")
                    _, _, rate, frames = wav_info(reference)
                    self.assertEqual(wav_info(ours), (2, 2, rate, frames))
                    # oggenc on the WAV file the same settings write.
                    theirs_ogg = scratch / "theirs.ogg"
                    subprocess.run(["oggenc", "-Q", "-q", quality, "-o", theirs_ogg, reference],
                                   check=True, stderr=subprocess.DEVNULL)  # its chunk notes
                    theirs = ogg_decode(theirs_ogg, scratch / "theirs.wav")
                    self.assertEqual(wav_info(theirs), (2, 2, rate, frames))
                    our_error, their_error = error_db(reference, ours), error_db(reference, theirs)
                    self.assertLessEqual(our_error, their_error + CODING_MARGIN_DB,
                                         (name, our_error, their_error))
                    self.assertAlmostEqual(os.path.getsize(path) / os.path.getsize(theirs_ogg),
                                           1, delta=SIZE_MARGIN)
                    comments = vorbis_comments(path)
                    self.assertEqual([n for n, _ in comments[:4]],
                                     ["TITLE", "TRACKNUMBER", "TRACKTOTAL", "ALBUM"])
                    self.assert_loop_tags(comments, reference)
                    # One logical stream, of the file's frames to the last.
                    pages = ogg_pages(path)
                    self.assertEqual(len({serial for _, _, serial in pages}), 1)
                    self.assertEqual((pages[0][0], pages[-1][0], pages[-1][1]), (2, 4, frames))

    def test_full_run_is_an_album(self):
        # One pass: the tags and lengths of all 31 files at half the cost
        # of two. (Runs repeat byte for byte: see the tags test and the
        # disk-full test.)
        wav, ogg = self.both(["1"])
        self.assertEqual(len(ogg.wavs()), 31)
        for track, name in enumerate(NAMES, 1):
            path = ogg.path / ogg_name(name)
            self.assertEqual(vorbis_comments(path), [
                ["TITLE", name[3:-4]], ["TRACKNUMBER", str(track)], ["TRACKTOTAL", "31"],
                ["ALBUM", "kvbgm"]])
            # The last page's granule position is the frame count a decoder
            # gives: that of the WAV file.
            self.assertEqual(ogg_pages(path)[-1][1], wav_info(wav.path / name)[3], name)


class Tags(TestCase):
    def test_titles_album_overrides_and_the_loop_tags_last(self):
        f = self.folder(data=False)
        os.link(DATA.path, f.path / "Game Music.bin")
        args = ["--format=ogg", "T3", "--split", "--loop-points", "Game Music.bin",
                "--tag", "artist=Someone", "--tag=Album=別のアルバム", "--tag", "TRACKTOTAL=",
                "--tag=COMMENT=a=b"]
        status, _ = run(args, f.path)
        self.assertEqual(status, 0)
        stem = NAMES[2][:-4]
        _, loop_start, end = TRACKS[2]
        files = {}
        # Split files are numbered in playing order: track 03's are 5 and 6.
        for part, number, loop in (
                ("intro", "5", []),
                ("loop", "6", [["LOOPSTART", "0"], ["LOOPLENGTH", str((end - loop_start) // 4)]])):
            path = f.path / f"{stem} ({part}).ogg"
            files[path] = path.read_bytes()
            self.assertEqual(vorbis_comments(path), [
                ["TITLE", f"{stem[3:]} ({part})"], ["TRACKNUMBER", number], ["Album", "別のアルバム"],
                ["artist", "Someone"], ["COMMENT", "a=b"], *loop])
        # Another reader sees the same Japanese text and loop.
        probe = subprocess.run(["ffprobe", "-v", "error", "-show_streams", "-of", "json",
                                str(f.path / f"{stem} (loop).ogg")],
                               check=True, stdout=subprocess.PIPE).stdout
        stream = json.loads(probe)["streams"][0]
        probed = {k.upper(): v for k, v in stream["tags"].items()}
        self.assertEqual(probed["TITLE"], f"{stem[3:]} (loop)")
        self.assertEqual(probed["ALBUM"], "別のアルバム")
        self.assertEqual((probed["LOOPSTART"], probed["LOOPLENGTH"]), ("0", loop[1][1]))
        self.assertEqual((stream["sample_rate"], stream["channels"]), ("22050", 2))
        # The same run again, the format named another way, gives the same
        # bytes.
        self.assertEqual(run(["--format", "OGG", *args[1:]], f.path)[0], 0)
        for path, before in files.items():
            self.assertEqual(path.read_bytes(), before, path.name)

    def test_no_loop_tags_where_the_fade_reaches_every_pass(self):
        f = self.folder()
        name = ogg_name(NAMES[0])
        self.assertEqual(run(["--format=ogg", "t1", "1", "f30", "--loop-points"], f.path),
                         (0, banner(1, 1, 1, 30) + f"Create {name} ...\n"
                             f"no loop points in {name}: the fade reaches into every pass of "
                             "the loop\n"))
        self.assertEqual([n for n, _ in vorbis_comments(f.path / name)],
                         ["TITLE", "TRACKNUMBER", "TRACKTOTAL", "ALBUM"])

    def test_album_of_a_data_file_whose_name_is_not_utf8(self):
        f = self.folder(data=False)
        os.link(DATA.path, f.path / os.fsdecode(b"caf\xe9.dat"))
        status, _ = run(["--format=ogg", "--quality=-1", "t31", b"caf\xe9.dat"], f.path)
        self.assertEqual(status, 0)
        self.assertIn(["ALBUM", "caf\\xe9"], vorbis_comments(f.path / ogg_name(NAMES[30])))

    def test_list_names_the_ogg_files(self):
        f = self.folder(data=False)
        for args in (["--list", "--format=ogg", "t3", "--split"],
                     ["--list", "--format", "Ogg", "--quality=0.5", "t3", "--split"]):
            with self.subTest(args=args):
                status, out = run(args, f.path)
                self.assertEqual(status, 0)
                stem = NAMES[2][:-4]
                self.assertEqual([row.split("\t")[1] for row in out.splitlines()],
                                 ["file", f"{stem} (intro).ogg", f"{stem} (loop).ogg"])
        self.assertEqual(f.names(), [])

    def test_refused_options_write_nothing(self):
        cases = [  # arguments, message
            (["--format=ogg", "--quality=11"], "--quality must be -1 to 10: 11\n"),
            (["--format=ogg", "--quality=-1.5"], "--quality must be -1 to 10: -1.5\n"),
            (["--format=ogg", "--quality", "nan"], "--quality must be -1 to 10: nan\n"),
            (["--format=ogg", "--quality=1e1"], "--quality must be -1 to 10: 1e1\n"),
            (["--format=ogg", "--quality="], "--quality needs a quality\n"),
            (["--format=ogg", "--quality"], "--quality needs a quality\n"),
            (["--quality=5"], "--quality needs --format=ogg\n"),
            (["--format=flac", "--quality=5"], "--quality needs --format=ogg\n"),
            (["--format=ogg", "--compression=5"], "--compression needs --format=flac\n"),
            (["--format=mp3"], "--format must be wav, flac or ogg\n"),
            (["--format=ogg", "--tag", "TITLE~=x"],
             '--tag TITLE~: a NAME is printable ASCII other than "=" and "~"\n'),
            (["--format=ogg", b"--tag=TITLE=\xff"], "--tag TITLE: the value is not UTF-8\n"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                f = self.folder()
                self.assertEqual(run(args, f.path), (2, message))
                self.assertEqual(f.names(), ["kvbgm.dat"])


class Faults(TestCase):
    def test_disk_full_fails_the_files_one_at_a_time_would(self):
        # Files written two at a time take space from each other; the same
        # files must fail, with the same lines, as when each track is
        # written on its own, one after the other. One pass each: the 31
        # files take about 27 MB.
        together, alone = small_disk(self, 16, DATA.path), small_disk(self, 16, DATA.path)
        status, out = run(["--format=ogg", "1"], together)
        self.assertEqual(status, 1)
        expected = banner(repeat=1)
        for track in range(1, 32):
            _, one = run(["--format=ogg", "1", f"t{track}"], alone)
            expected += one.split("\n", 1)[1]  # without its own banner
        self.assertIn("No space left on device", expected)
        self.assertEqual(out, expected)
        self.assertEqual(sorted(os.listdir(together)), sorted(os.listdir(alone)))
        for name in set(os.listdir(together)) - {"kvbgm.dat"}:
            self.assertEqual((together / name).read_bytes(), (alone / name).read_bytes())
            subprocess.run(["ogginfo", "-q", together / name], check=True,
                           stdout=subprocess.DEVNULL)

    def test_kill_leaves_only_complete_files(self):
        f = self.folder()
        proc = subprocess.Popen([TOOL, "--format=ogg", "3", "F30"], cwd=f.path,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.kill)
        proc.stdout.readline()  # the banner
        for _ in range(3):
            self.assertTrue(proc.stdout.readline().startswith(b"Create "))
        proc.kill()
        proc.communicate(timeout=600)
        names = f.names()
        self.assertLessEqual(set(names), {"kvbgm.dat", *map(ogg_name, NAMES[:3])})
        self.assertIn(ogg_name(NAMES[0]), names)
        for name in set(names) - {"kvbgm.dat"}:
            # ogginfo fails a stream cut short (oggdec decodes what is there).
            subprocess.run(["ogginfo", "-q", f.path / name], check=True, stdout=subprocess.DEVNULL)


if __name__ == "__main__":
    unittest.main()
