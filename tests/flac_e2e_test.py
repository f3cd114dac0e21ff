"""End-to-end tests of --format=flac: every FLAC file decodes to exactly the
audio of the WAV file the same settings write, carries the tags and loop
tags that players and engines read, and fails as cleanly as a WAV file."""

import array
import hashlib
import json
import os
import resource
import subprocess
import time
import unittest
from pathlib import Path

from kvbgm_test_support import (banner, block_types, decoded, flac_name, flac_tags, ToolTestCase,
                                NAMES, run, small_disk, smpl_loop, StandIn, stream_info, TOOL,
                                TRACKS, wav_data)

DATA = StandIn()  # the stand-in data file, made for this module
setUpModule, tearDownModule = DATA.make, DATA.remove


class TestCase(ToolTestCase):
    stand_in = DATA
    output_format = "flac"


class SameAudio(TestCase):
    def test_decodes_to_the_wave_data_with_its_tags(self):
        cases = [  # arguments, and those for FLAC only
            (["T1"], []),
            (["T3", "3", "f10", "p1"], []),            # 22,050 Hz
            (["T26", "F30", "p0"], []),                # the fade goes round a short loop
            (["T31", "1", "f5", "p2"], []),
            (["T1", "3", "F8", "p3"], ["--compression=0"]),
            (["T26", "3", "f14", "--loop-points"], []),
            (["T2", "1", "f5", "--loop-points"], []),  # no clean pass: no loop
            (["T3", "--split", "--loop-points"], ["--compression", "8"]),
        ]
        for args, flac_args in cases:
            with self.subTest(args=args):
                wav, flac = self.both(args, flac_args)
                for name in wav.wavs():
                    path = flac.path / flac_name(name)
                    audio = wav_data(wav.path / name)
                    self.assertEqual(decoded(path), audio)
                    total, rate, channels, bps, md5 = stream_info(path)
                    self.assertEqual((total, channels, bps), (len(audio) // 4, 2, 16))
                    self.assertEqual(rate, 22050 if "（ハーフレート）" in name else 44100)
                    self.assertEqual(md5, hashlib.md5(audio).hexdigest())
                    self.assertEqual(block_types(path),
                                     ["STREAMINFO", "SEEKTABLE", "VORBIS_COMMENT", "PADDING"])
                    got = dict(flac_tags(path))
                    loop = smpl_loop(wav.path / name)
                    if loop is None:
                        self.assertNotIn("LOOPSTART", got)
                        self.assertNotIn("LOOPLENGTH", got)
                    else:
                        self.assertEqual((int(got["LOOPSTART"]), int(got["LOOPLENGTH"])),
                                         (loop[0], loop[1] - loop[0] + 1))
                    self.assertNotIn("LOOPEND", got)

    def test_full_run_is_an_album_and_repeats_identically(self):
        wav, flac = self.both([])
        self.assertEqual(len(flac.wavs()), 31)
        for track, name in enumerate(NAMES, 1):
            path = flac.path / flac_name(name)
            got = flac_tags(path)
            self.assertEqual(got[:4], [["TITLE", name[3:-4]], ["TRACKNUMBER", str(track)],
                                       ["TRACKTOTAL", "31"], ["ALBUM", "kvbgm"]])
            if track in (1, 3, 24, 31):
                self.assertEqual(decoded(path), wav_data(wav.path / name))
        first = {n: (flac.path / n).read_bytes() for n in flac.wavs()}
        status, _ = run(["--format", "flac"], flac.path)
        self.assertEqual(status, 0)
        self.assertEqual({n: (flac.path / n).read_bytes() for n in flac.wavs()}, first)
        wav_bytes = sum(os.path.getsize(wav.path / n) for n in wav.wavs())
        flac_bytes = sum(len(b) for b in first.values())
        self.assertLess(flac_bytes, wav_bytes)


class Tags(TestCase):
    def test_titles_album_overrides_and_the_loop_tags_first(self):
        f = self.folder(data=False)
        os.link(DATA.path, f.path / "Game Music.bin")
        args = ["--format=flac", "T3", "--split", "--loop-points", "Game Music.bin",
                "--tag", "artist=Someone", "--tag=Album=別のアルバム", "--tag", "TRACKTOTAL=",
                "--tag=COMMENT=a=b"]
        status, _ = run(args, f.path)
        self.assertEqual(status, 0)
        stem = NAMES[2][:-4]
        _, loop_start, end = TRACKS[2]
        # Split files count in playing order across the album's 62.
        for part, number, loop in (
                ("intro", "5", []),
                ("loop", "6", [["LOOPSTART", "0"], ["LOOPLENGTH", str((end - loop_start) // 4)]])):
            # The loop tags first, then TRACKNUMBER, whose length (13 or 14
            # bytes) reads as no digit after LOOPLENGTH's value.
            tags = [["TITLE", f"{stem[3:]} ({part})"], ["TRACKNUMBER", number],
                    ["Album", "別のアルバム"], ["artist", "Someone"], ["COMMENT", "a=b"]]
            if loop:
                tags = [*loop, tags[1], tags[0], *tags[2:]]
            self.assertEqual(flac_tags(f.path / f"{stem} ({part}).flac"), tags)
        # Another reader sees the same Japanese text.
        probe = subprocess.run(["ffprobe", "-v", "error", "-show_format", "-of", "json",
                                str(f.path / f"{stem} (loop).flac")],
                               check=True, stdout=subprocess.PIPE).stdout
        probed = {k.upper(): v for k, v in json.loads(probe)["format"]["tags"].items()}
        self.assertEqual(probed["TITLE"], f"{stem[3:]} (loop)")
        self.assertEqual(probed["ALBUM"], "別のアルバム")
        self.assertEqual(probed["LOOPSTART"], "0")

    def test_album_of_a_data_file_whose_name_is_not_utf8(self):
        f = self.folder(data=False)
        os.link(DATA.path, f.path / os.fsdecode(b"caf\xe9.dat"))
        status, _ = run(["--format=flac", "t31", b"caf\xe9.dat"], f.path)
        self.assertEqual(status, 0)
        self.assertIn(["ALBUM", "caf\\xe9"], flac_tags(f.path / flac_name(NAMES[30])))

    def test_list_names_the_flac_files(self):
        f = self.folder(data=False)
        status, out = run(["--list", "--format=flac", "t3", "--split"], f.path)
        self.assertEqual(status, 0)
        stem = NAMES[2][:-4]
        self.assertEqual([row.split("\t")[1] for row in out.splitlines()],
                         ["file", f"{stem} (intro).flac", f"{stem} (loop).flac"])

    def test_refused_options_write_nothing(self):
        cases = [  # arguments, message
            (["--format=mp3"], "--format must be wav, flac or ogg\n"),
            (["--format"], "--format needs wav, flac or ogg\n"),
            (["--formats=flac"], "unknown option --formats=flac\n"),
            (["--format=flac", "--compression=9"], "--compression must be 0-8\n"),
            (["--format=flac", "--compression=-1"], "--compression must be 0-8\n"),
            (["--format=flac", "--compression", "05"], "--compression must be 0-8\n"),
            (["--compression=5"], "--compression needs --format=flac\n"),
            (["--format=wav", "--tag", "A=b"], "--tag needs --format=flac or --format=ogg\n"),
            (["--format=flac", "--tag", "NOVALUE"], "--tag needs NAME=VALUE: NOVALUE\n"),
            (["--format=flac", "--tag", "=x"], "--tag needs NAME=VALUE: =x\n"),
            (["--format=flac", "--tag", "TITLE~=x"],
             '--tag TITLE~: a NAME is printable ASCII other than "=" and "~"\n'),
            (["--format=flac", b"--tag=TITLE=\xff"], "--tag TITLE: the value is not UTF-8\n"),
            (["--format=flac", "--tag", "LOOPSTART=5"],
             "--tag LOOPSTART: loop tags come from --loop-points\n"),
            (["--format=ogg", "--loop-points", "--tag=looplength=5"],
             "--tag looplength: loop tags come from --loop-points\n"),
            (["--format=flac", "--tag", "LoopEnd="], "--tag LoopEnd: loop tags come from --loop-points\n"),
            # Every name a loop reader takes for loop metadata, in any case.
            (["--format=flac", "--tag", "LOOP_END=100000"],
             "--tag LOOP_END: loop tags come from --loop-points\n"),
            (["--format=flac", "--tag", "LOOP=4410"], "--tag LOOP: loop tags come from --loop-points\n"),
            (["--format=flac", "--tag", "loop-start=0"],
             "--tag loop-start: loop tags come from --loop-points\n"),
            (["--format=flac", "--tag", "Loops=2"], "--tag Loops: loop tags come from --loop-points\n"),
            (["--format=ogg", "--tag", "Loop_Length=5"],
             "--tag Loop_Length: loop tags come from --loop-points\n"),
            (["--replaygain"], "--replaygain needs --format=flac or --format=ogg\n"),
            (["--format=wav", "--replaygain"], "--replaygain needs --format=flac or --format=ogg\n"),
            (["--format=flac", "--tag", "replaygain_track_gain=1 dB", "--replaygain"],
             "--tag replaygain_track_gain: --replaygain measures the REPLAYGAIN_ tags\n"),
            (["--format=ogg", "--replaygain", "--tag=REPLAYGAIN_REFERENCE_LOUDNESS=89 dB"],
             "--tag REPLAYGAIN_REFERENCE_LOUDNESS: --replaygain measures the REPLAYGAIN_ tags\n"),
        ]
        for args, message in cases:
            with self.subTest(args=args):
                f = self.folder()
                self.assertEqual(run(args, f.path), (2, message))
                self.assertEqual(f.names(), ["kvbgm.dat"])


def ffmpeg_loudness(paths):
    """ffmpeg's EBU R128 integrated loudness of the files played one after
    another (each made 44,100 Hz first), in LUFS."""
    inputs = [arg for p in paths for arg in ("-i", str(p))]
    chain = "".join(f"[{k}:a]aresample=44100[a{k}];" for k in range(len(paths)))
    chain += "".join(f"[a{k}]" for k in range(len(paths)))
    chain += f"concat=n={len(paths)}:v=0:a=1,ebur128=peak=sample"
    out = subprocess.run(["ffmpeg", "-nostats", "-hide_banner", *inputs, "-filter_complex", chain,
                          "-f", "null", "-"], check=True, stderr=subprocess.PIPE).stderr.decode()
    summary = out[out.rindex("Summary:"):]
    return float(summary.split("I:")[1].split()[0])


def replaygain(tags):
    return [t for t in tags if t[0].startswith("REPLAYGAIN_")]


def gain(text):
    number, unit = text.split(" ")
    assert unit == "dB", text
    return float(number)


class ReplayGain(TestCase):
    def test_gains_and_peaks_agree_with_ffmpeg_on_an_album_of_both_rates(self):
        f = self.folder()
        status, _ = run(["--format=flac", "--compression=0", "--replaygain", "1",
                         "--tag", "ARTIST=someone"], f.path)
        self.assertEqual(status, 0)
        paths = [f.path / flac_name(n) for n in NAMES]
        tags = [flac_tags(p) for p in paths]
        album = replaygain(tags[0])[2:]
        for track, got in enumerate(tags, 1):
            # After ALBUM and the --tag ones, the same album figures on all.
            self.assertEqual([t[0] for t in got],
                             ["TITLE", "TRACKNUMBER", "TRACKTOTAL", "ALBUM", "ARTIST",
                              "REPLAYGAIN_TRACK_GAIN", "REPLAYGAIN_TRACK_PEAK",
                              "REPLAYGAIN_ALBUM_GAIN", "REPLAYGAIN_ALBUM_PEAK"], track)
            self.assertEqual(got[7:], album)
            self.assertRegex(got[5][1], r"^-?\d+\.\d\d dB$")
            self.assertRegex(got[6][1], r"^[01]\.\d{6}$")
        peaks = [float(replaygain(t)[1][1]) for t in tags]
        self.assertEqual(album[1][1], f"{max(peaks):.6f}")
        for track in (1, 3, 26):  # 44,100 Hz, 22,050 Hz, 44,100 Hz
            with self.subTest(track=track):
                path = paths[track - 1]
                self.assertAlmostEqual(-18 - gain(replaygain(tags[track - 1])[0][1]),
                                       ffmpeg_loudness([path]), delta=0.1)
                samples = array.array("h", decoded(path))
                peak = max(max(samples), -min(samples))
                self.assertEqual(replaygain(tags[track - 1])[1][1], f"{peak / 32768:.6f}")
        self.assertAlmostEqual(-18 - gain(album[0][1]), ffmpeg_loudness(paths), delta=0.1)

    def test_ogg_files_carry_the_same_figures_in_the_same_order(self):
        args = ["--replaygain", "t3", "--split", "--loop-points", "--tag", "ARTIST=someone"]
        flac, ogg = self.folder(), self.folder()
        self.assertEqual(run(["--format=flac", *args], flac.path)[0], 0)
        self.assertEqual(run(["--format=ogg", *args], ogg.path)[0], 0)
        stem = NAMES[2][:-4]
        for part in ("intro", "loop"):
            with self.subTest(part=part):
                measured = replaygain(flac_tags(flac.path / f"{stem} ({part}).flac"))
                listed = subprocess.run(["vorbiscomment", "-l", str(ogg.path / f"{stem} ({part}).ogg")],
                                        check=True, stdout=subprocess.PIPE).stdout.decode("utf-8")
                got = [line.split("=", 1) for line in listed.splitlines()]
                names = [t[0] for t in got]
                head = (["LOOPSTART", "LOOPLENGTH", "TRACKNUMBER", "TITLE"] if part == "loop"
                        else ["TITLE", "TRACKNUMBER"])
                self.assertEqual(names, [*head, "TRACKTOTAL", "ALBUM", "ARTIST",
                                         *[t[0] for t in measured]])
                flac_names = [t[0] for t in flac_tags(flac.path / f"{stem} ({part}).flac")]
                self.assertEqual(flac_names, names)
                # The gains as measured; the peaks are those of the decoded
                # audio (see the Ogg tests), of the same width.
                self.assertEqual([t for t in replaygain(got) if t[0].endswith("_GAIN")],
                                 [t for t in measured if t[0].endswith("_GAIN")])
                for name, value in replaygain(got):
                    if name.endswith("_PEAK"):
                        self.assertRegex(value, r"^[01]\.\d{6}$")
                self.assertEqual(dict(got)["TRACKTOTAL"], "62")
        self.assertEqual(replaygain(flac_tags(flac.path / f"{stem} (intro).flac"))[2:],
                         replaygain(flac_tags(flac.path / f"{stem} (loop).flac"))[2:])

    def test_without_it_the_files_are_what_they_were(self):
        # The same audio either way; without --replaygain no REPLAYGAIN_
        # tag, and one given by --tag is kept as it is.
        plain, tagged = self.folder(), self.folder()
        self.assertEqual(run(["--format=flac", "t5", "--split", "--tag=REPLAYGAIN_TRACK_GAIN=1.00 dB"],
                             plain.path)[0], 0)
        self.assertEqual(run(["--format=flac", "t5", "--split", "--replaygain"], tagged.path)[0], 0)
        for name in plain.wavs():
            with self.subTest(name=name):
                self.assertEqual(decoded(plain.path / name), decoded(tagged.path / name))
                self.assertEqual(replaygain(flac_tags(plain.path / name)),
                                 [["REPLAYGAIN_TRACK_GAIN", "1.00 dB"]])
                numbers = [t[1] for t in flac_tags(tagged.path / name) if t[0] in ("TRACKNUMBER", "TRACKTOTAL")]
                self.assertEqual(numbers, ["9" if "(intro)" in name else "10", "62"])


class Faults(TestCase):
    def test_disk_full_fails_the_files_one_at_a_time_would(self):
        # Files written two at a time take space from each other; the same
        # files must fail, with the same lines, as when each track is
        # written on its own, one after the other.
        together, alone = small_disk(self, 40, DATA.path), small_disk(self, 40, DATA.path)
        status, out = run(["--format=flac"], together)
        self.assertEqual(status, 1)
        expected = banner()
        for track in range(1, 32):
            _, one = run(["--format=flac", f"t{track}"], alone)
            expected += one.split("\n", 1)[1]  # without its own banner
        self.assertIn("No space left on device", expected)
        self.assertEqual(out, expected)
        self.assertEqual(sorted(os.listdir(together)), sorted(os.listdir(alone)))
        for name in set(os.listdir(together)) - {"kvbgm.dat"}:
            self.assertEqual((together / name).read_bytes(), (alone / name).read_bytes())

    def test_short_of_a_resource_writes_what_one_at_a_time_writes(self):
        # Five descriptors leave room for one output at a time, and 30 MB of
        # address space for one encoder: the files beside it fail for want
        # of them, and are written again alone. The files and lines are
        # those of a run without the limit.
        def descriptors():
            resource.setrlimit(resource.RLIMIT_NOFILE, (5, 5))

        def address_space():
            resource.setrlimit(resource.RLIMIT_AS, (30000 * 1024, 30000 * 1024))

        for args, limit in [(["--compression=0"], descriptors), (["1", "F30"], address_space)]:
            if limit is address_space and os.environ.get("KVBGM_SANITIZE"):
                continue  # the sanitizers' shadow memory needs far more address space
            with self.subTest(args=args, limit=limit.__name__):
                limited, free = self.folder(), self.folder()
                expected = run(["--format=flac", *args], free.path)
                self.assertEqual(expected[0], 0)
                self.assertEqual(run(["--format=flac", *args], limited.path, preexec_fn=limit),
                                 expected)
                self.assertEqual(limited.names(), free.names())
                for name in set(free.names()) - {"kvbgm.dat"}:
                    self.assertEqual((limited.path / name).read_bytes(),
                                     (free.path / name).read_bytes(), name)

    def test_every_thread_holds_back_the_terminating_signals(self):
        # A signal is handled on the main thread alone, which names every
        # file: no worker may take one in the middle of its work.
        f = self.folder()
        proc = subprocess.Popen([TOOL, "--format=flac", "--compression=8", "10", "F30"],
                                cwd=f.path, stdout=subprocess.DEVNULL)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.kill)
        masks = {}
        deadline = time.monotonic() + 60
        while len(masks) < 2 and time.monotonic() < deadline and proc.poll() is None:
            for task in os.listdir(f"/proc/{proc.pid}/task"):
                if int(task) == proc.pid:
                    continue
                try:
                    status = Path(f"/proc/{proc.pid}/task/{task}/status").read_text()
                except OSError:
                    continue
                masks[task] = int(status.split("SigBlk:")[1].split()[0], 16)
            time.sleep(0.01)
        self.assertGreaterEqual(len(masks), 1)
        for signal_number in (1, 2, 3, 13, 14, 15):  # HUP INT QUIT PIPE ALRM TERM
            for task, mask in masks.items():
                self.assertTrue(mask & (1 << (signal_number - 1)), (task, signal_number))

    def test_kill_leaves_only_complete_files(self):
        f = self.folder()
        proc = subprocess.Popen([TOOL, "--format=flac", "10", "F30"], cwd=f.path,
                                stdout=subprocess.PIPE, stderr=subprocess.DEVNULL)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.kill)
        proc.stdout.readline()  # the banner
        for _ in range(3):
            self.assertTrue(proc.stdout.readline().startswith(b"Create "))
        proc.kill()
        proc.communicate(timeout=600)
        names = f.names()
        self.assertLessEqual(set(names), {"kvbgm.dat", *map(flac_name, NAMES[:3])})
        self.assertIn(flac_name(NAMES[0]), names)
        self.assertIn(flac_name(NAMES[1]), names)
        for name in set(names) - {"kvbgm.dat"}:
            subprocess.run(["flac", "-t", "-s", str(f.path / name)], check=True)


if __name__ == "__main__":
    unittest.main()
