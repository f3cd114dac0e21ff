"""End-to-end tests of --format=ogg: every Ogg Vorbis file decodes to exactly
as many frames as the WAV file the same settings write, and as close to its
audio as oggenc gets at the same quality from that WAV file; it carries the
tags and loop tags that players and engines read, the loop tags first, where
every engine finds them; and a failed or interrupted run leaves only complete
files, as with WAV files."""

import array
import json
import os
import re
import shutil
import subprocess
import time
import unittest
from pathlib import Path

from kvbgm_test_support import (banner, error_db, NAMES, ogg_decode, ogg_name, ogg_pages,
                                rate, run, small_disk, smpl_loop, StandIn, TOOL, ToolTestCase,
                                TRACKS, vorbis_comments, wav_info)

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


def comment_header(test, path):
    """The comment header of the Ogg Vorbis file at `path`, read from its
    pages: (its first lacing value, its bytes, the file's bytes from its
    start on). Checks that the identification header is alone on the first
    page, and that the comment header starts the second and ends on it."""
    data = path.read_bytes()
    test.assertEqual((data[:4], data[5], data[26], data[27]), (b"OggS", 2, 1, 30),
                     "the identification header alone on the first page")
    at = 27 + 1 + 30
    test.assertEqual((data[at:at + 4], data[at + 5] & 1), (b"OggS", 0),
                     "the second page continues no packet")
    lacing = data[at + 27:at + 27 + data[at + 26]]
    ends = next((k for k, value in enumerate(lacing) if value < 255), None)
    test.assertIsNotNone(ends, "the comment header ends on its page")
    start = at + 27 + len(lacing)
    packet = data[start:start + sum(lacing[:ends + 1])]
    return lacing[0], packet, data[start:]


def comments_at(test, packet):
    """The comments of a Vorbis comment packet: [(offset of NAME=VALUE in
    the packet, NAME=VALUE as bytes)]."""
    test.assertEqual(packet[:7], b"\x03vorbis")
    at = 11 + int.from_bytes(packet[7:11], "little")
    count = int.from_bytes(packet[at:at + 4], "little")
    at += 4
    comments = []
    for _ in range(count):
        length = int.from_bytes(packet[at:at + 4], "little")
        comments.append((at + 4, packet[at + 4:at + 4 + length]))
        at += 4 + length
    test.assertEqual(packet[at:], b"\x01", "the framing byte ends the packet")
    return comments


def scanned_loop(first_lacing, rest):
    """The loop that a reader finds which looks for "LOOP" only in the
    comment packet's first lacing value's bytes less ten, takes the text
    from there up to the next zero byte, and reads the digits after
    "LOOPSTART=" and "LOOPLENGTH=" in it, the last found winning."""
    found = {}
    i = 0
    while i < first_lacing - 10:
        if rest[i:i + 4] == b"LOOP":
            end = rest.index(b"\0", i)
            for key in ("LOOPSTART", "LOOPLENGTH"):
                if m := re.search(key.encode() + rb"=([0-9]+)", rest[i:end]):
                    found[key] = m.group(1).decode()
            i = end
        i += 1
    return found


class TestCase(ToolTestCase):
    stand_in = DATA
    output_format = "ogg"

    def assert_loop_tags(self, comments, wav_path):
        """The loop tags of `comments` mark the loop of the WAV file's smpl
        chunk, as its first two comments, then TRACKNUMBER, TITLE,
        TRACKTOTAL and ALBUM; where it has no loop, no loop tag and TITLE,
        TRACKNUMBER, TRACKTOTAL and ALBUM."""
        names = [name.upper() for name, _ in comments]
        self.assertNotIn("LOOPEND", names)
        loop = smpl_loop(wav_path)
        if loop is None:
            self.assertNotIn("LOOPSTART", names)
            self.assertNotIn("LOOPLENGTH", names)
            self.assertEqual(names[:4], ["TITLE", "TRACKNUMBER", "TRACKTOTAL", "ALBUM"])
        else:
            self.assertEqual(comments[:2], [["LOOPSTART", str(loop[0])],
                                            ["LOOPLENGTH", str(loop[1] - loop[0] + 1)]])
            self.assertEqual(names[2:6], ["TRACKNUMBER", "TITLE", "TRACKTOTAL", "ALBUM"])
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
                    self.assert_loop_tags(vorbis_comments(path), reference)
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
    def test_titles_album_overrides_and_the_loop_tags_first(self):
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
            tags = [["TITLE", f"{stem[3:]} ({part})"], ["TRACKNUMBER", number],
                    ["Album", "別のアルバム"], ["artist", "Someone"], ["COMMENT", "a=b"]]
            if loop:
                tags = [*loop, tags[1], tags[0], *tags[2:]]
            self.assertEqual(vorbis_comments(path), tags)
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
            (["--format=ogg", "--tag", "LOOP_END=100000"],
             "--tag LOOP_END: loop tags come from --loop-points\n"),
            (["--format=ogg", "--tag", "loop-start=10"],
             "--tag loop-start: loop tags come from --loop-points\n"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                f = self.folder()
                self.assertEqual(run(args, f.path), (2, message))
                self.assertEqual(f.names(), ["kvbgm.dat"])


class CommentLayout(TestCase):
    def test_loop_tags_where_every_engine_finds_them(self):
        # Loop points on; comments of 48 to 57 bytes as NAME=VALUE have a
        # length whose first byte is a digit, and so do those of 304 to 313.
        cases = [  # what, arguments, whether the loop tags come first
            ("default", ["1", "t31"], True),
            ("--replaygain", ["1", "t31", "--replaygain"], True),
            ("ALBUM of 83 characters", ["1", "t31", "--tag", "ALBUM=" + "a" * 83], True),
            ("--split", ["t3", "--split"], True),
            ("no TRACKNUMBER, comments of 57 and 304 bytes",
             ["1", "t31", "--tag", "TRACKNUMBER=", "--tag", "TITLE=" + "t" * 51,
              "--tag", "COMMENT=" + "c" * 296], True),
            ("no comment of a safe length: the loop tags last",
             ["1", "t31", "--tag", "TRACKNUMBER=", "--tag", "TRACKTOTAL=",
              "--tag", "TITLE=" + "t" * 44, "--tag", "ALBUM=" + "a" * 49], False),
        ]
        for what, args, first in cases:
            with self.subTest(what):
                f = self.folder()
                status, out = run(["--format=ogg", "--loop-points", *args], f.path)
                self.assertEqual(status, 0, out)
                for name in f.names():
                    if not name.endswith(".ogg"):
                        continue
                    path = f.path / name
                    first_lacing, packet, rest = comment_header(self, path)
                    listed = vorbis_comments(path)
                    loop = {k: v for k, v in listed if k in ("LOOPSTART", "LOOPLENGTH")}
                    self.assertEqual(scanned_loop(first_lacing, rest), loop, name)
                    if not loop:
                        self.assertTrue(name.endswith("(intro).ogg"), name)
                        continue
                    names = [k for k, _ in listed]
                    self.assertEqual(names[:2] if first else names[-2:], ["LOOPSTART", "LOOPLENGTH"])
                    for at, comment in comments_at(self, packet):
                        if comment.split(b"=")[0] in (b"LOOPSTART", b"LOOPLENGTH"):
                            self.assertLess(at, 245, comment)
                            self.assertNotIn(packet[at + len(comment)], b"0123456789", comment)

    def test_comment_header_on_one_page_at_most(self):
        # t31 without loop tags: the tags take NAME=VALUE and 4 bytes each.
        f = self.folder()
        args = ["--format=ogg", "1", "t31"]
        name = ogg_name(NAMES[30])
        self.assertEqual(run([*args, "--tag=COMMENT=c"], f.path)[0], 0)
        _, packet, _ = comment_header(self, f.path / name)
        vendor = int.from_bytes(packet[7:11], "little")
        tags_fit = 65024 - 7 - 4 - vendor - 4 - 1
        # The packet of a page of 255 lacing values.
        comment = "COMMENT=" + "c" * (65024 - len(packet) + 1)
        self.assertEqual(run([*args, "--tag", comment], f.path)[0], 0)
        _, packet, _ = comment_header(self, f.path / name)
        self.assertEqual(len(packet), 65024)
        # A byte more, and the run is refused before anything is written.
        f = self.folder()
        tags_bytes = sum(4 + len(t.encode()) for t in (
            "TITLE=" + NAMES[30][3:-4], "TRACKNUMBER=31", "TRACKTOTAL=31", "ALBUM=kvbgm", comment))
        self.assertEqual(tags_bytes, tags_fit)
        self.assertEqual(run([*args, "--tag", comment + "c"], f.path),
                         (2, f"the tags of {name} take {tags_fit + 1} bytes, but at most "
                             f"{tags_fit} bytes of tags fit in an Ogg file's comment header "
                             "(4 bytes a tag and its NAME=VALUE)\n"))
        self.assertEqual(f.names(), ["kvbgm.dat"])
        # Forty tags of 2,000 characters.
        many = [arg for k in range(40) for arg in ("--tag", f"C{k:02}=" + "x" * 2000)]
        status, out = run([*args, *many, "-o", "new"], f.path)
        self.assertEqual(status, 2)
        self.assertRegex(out, rf"^the tags of {name} take 80395 bytes, but at most {tags_fit} ")
        self.assertEqual(f.names(), ["kvbgm.dat"])

    def test_no_place_for_the_loop_tags_writes_nothing(self):
        f = self.folder()
        args = ["--format=ogg", "--loop-points", "t31", "--tag", "TRACKNUMBER=", "--tag",
                "TRACKTOTAL=", "--tag", "TITLE=", "--tag", "ALBUM=" + "a" * 302, "-o", "new"]
        self.assertEqual(run(args, f.path), (
            2, f"tag ALBUM is in the way of the loop tags of {ogg_name(NAMES[30])}: its comment "
               "of 308 bytes would read as a digit after a loop value, and after the other tags "
               "the loop tags would start past byte 245 of the comment header\n"))
        self.assertEqual(f.names(), ["kvbgm.dat"])
        # The same tags in a FLAC file, whose readers take each comment by
        # its length: written, the loop tags first.
        self.assertEqual(run(["--format=flac", *args[1:]], f.path)[0], 0)


def decoded_peak(path):
    """The largest sample magnitude that a float decoder (ffmpeg's) gives of
    the Ogg Vorbis file at `path`, 1.0 full scale."""
    raw = subprocess.run(["ffmpeg", "-v", "error", "-i", str(path), "-f", "f32le", "-"],
                         check=True, stdout=subprocess.PIPE).stdout
    samples = array.array("f", raw)
    return max(max(samples), -min(samples))


def replaygain_peaks(path):
    """(REPLAYGAIN_TRACK_PEAK, REPLAYGAIN_ALBUM_PEAK) of an Ogg Vorbis file."""
    tags = dict(vorbis_comments(path))
    return float(tags["REPLAYGAIN_TRACK_PEAK"]), float(tags["REPLAYGAIN_ALBUM_PEAK"])


# Decoders of one stream differ in their last float bits; the peaks carry
# six decimals, rounded up from what libvorbis decodes.
DECODER_SLACK = 2e-6
ONE_DB = 10 ** (1 / 20)


class Peaks(TestCase):
    def test_peaks_bound_the_decoded_audio_of_an_album_of_both_rates(self):
        f = self.folder()
        status, out = run(["--format=ogg", "--replaygain", "1"], f.path)
        self.assertEqual(status, 0, out)
        decoded, albums = [], set()
        for track in range(1, 32):
            with self.subTest(track=track, rate=rate(track)):
                path = f.path / ogg_name(NAMES[track - 1])
                track_peak, album_peak = replaygain_peaks(path)
                peak = decoded_peak(path)
                decoded.append(peak)
                albums.add(album_peak)
                self.assertGreaterEqual(track_peak + DECODER_SLACK, peak)
                self.assertLessEqual(track_peak, peak * ONE_DB)
        self.assertEqual(len(albums), 1, "one album peak on every file")
        album_peak = albums.pop()
        self.assertGreaterEqual(album_peak + DECODER_SLACK, max(decoded))
        self.assertLessEqual(album_peak, max(decoded) * ONE_DB)


class Faults(TestCase):
    def test_out_of_memory_says_so_and_removes_the_folder_it_made(self):
        # libvorbis does not check its allocations: under a tight address
        # space limit the run must still end with a message, not a crash.
        # Each limit is a row; any one of them crashed before.
        if os.environ.get("KVBGM_SANITIZE"):
            self.skipTest("the sanitizers' shadow memory needs far more address space")
        f = self.folder()
        for args, limit in [(["t31"], 13000), (["t31", "--replaygain"], 13200),
                            (["t31"], 13600), ([], 15000)]:
            with self.subTest(args=args, limit=limit):
                folder = f.path / f"new{limit}"
                done = subprocess.run(
                    ["prlimit", f"--as={limit * 1024}", TOOL, "--format=ogg", "1", *args,
                     "-o", folder.name],
                    cwd=f.path, stdout=subprocess.PIPE, stderr=subprocess.PIPE, timeout=600)
                out = done.stdout.decode()
                self.assertIn(done.returncode, (0, 1), out)
                if done.returncode == 1:
                    self.assertRegex(out, r"cannot write .*\.ogg: out of memory\n")
                if not folder.exists():
                    continue
                for name in os.listdir(folder):
                    subprocess.run(["ogginfo", "-q", folder / name], check=True,
                                   stdout=subprocess.DEVNULL)
                self.assertTrue(os.listdir(folder), "a folder made and left empty is removed")

    def test_a_run_never_loses_its_folder_to_another_run(self):
        # The first run made the folder and is ended by a signal while the
        # second one writes into it, its file not yet named.
        f = self.folder()
        first = subprocess.Popen(["timeout", "-s", "TERM", "1", TOOL, "--format=ogg", "t26", "3",
                                  "-o", "new"], cwd=f.path, stdout=subprocess.DEVNULL)
        self.addCleanup(first.wait)
        time.sleep(0.3)
        status, out = run(["--format=flac", "t26", "5", "-o", "new"], f.path)
        first.wait(timeout=600)
        self.assertEqual(status, 0, out)
        name = NAMES[25][:-4] + ".flac"
        self.assertIn(name, os.listdir(f.path / "new"))
        subprocess.run(["flac", "-t", "-s", f.path / "new" / name], check=True)

    def test_a_folder_that_vanishes_is_said_once(self):
        f = self.folder()
        proc = subprocess.Popen([TOOL, "--format=ogg", "1", "-o", "gone"], cwd=f.path,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.kill)
        proc.stdout.readline()  # the banner
        self.assertTrue(proc.stdout.readline().startswith(b"Create "))
        shutil.rmtree(f.path / "gone")
        out = proc.communicate(timeout=600)[0].decode()
        self.assertEqual(proc.returncode, 1)
        self.assertEqual(out.count("cannot write"), 1, out)
        self.assertIn("cannot write into gone: No such file or directory (write elsewhere with "
                      "-o DIR)\n", out)

    def test_replaygain_checks_the_folder_before_measuring(self):
        # Every file would be measured first, seconds of work, before the
        # first one found that nothing can be made there.
        read_only = Path(self.folder(data=False).path)
        if os.geteuid() == 0:
            if subprocess.run(["mount", "-t", "tmpfs", "-o", "ro,size=1m", "tmpfs", read_only],
                              stderr=subprocess.DEVNULL).returncode != 0:
                self.skipTest("cannot mount a read-only tmpfs here")
            self.addCleanup(subprocess.run, ["umount", read_only])
        else:
            os.chmod(read_only, 0o555)
        f = self.folder()
        status, out = run(["--format=ogg", "--replaygain", "-o", str(read_only)], f.path)
        self.assertEqual(status, 1)
        self.assertRegex(out.splitlines()[-1], r"^cannot write into .*\(write elsewhere with "
                                               r"-o DIR\)$")

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
