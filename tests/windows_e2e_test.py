"""The 32-bit Windows kvbgm2wav.exe under Wine against the Linux build: the
same stdout, exit status and files, with the names in UTF-8 on disk, also
where a 32-bit program is most likely to go wrong (the largest file, paths
past 260 characters); and the resources the exe carries."""

import os
import re
import subprocess
import unittest
from pathlib import Path

from kvbgm_test_support import (banner, block_types, create_line, data_length, decoded,
                                digest, error_db, flac_tags, NAMES, ogg_decode, ogg_pages, run,
                                small_disk, StandIn, stream_info, ToolTestCase, vorbis_comments,
                                wav_info)

ROOT = Path(__file__).resolve().parent.parent
EXE = os.environ.get("KVBGM2WAV_EXE", str(ROOT / "build-win" / "kvbgm2wav.exe"))
WINE = os.environ.get("WINE", "wine")
WINE_ENV = dict(os.environ, WINEDEBUG="-all", WINEDLLOVERRIDES="mscoree,mshtml=")
DATA = StandIn()  # the stand-in data file, made for this module
setUpModule, tearDownModule = DATA.make, DATA.remove


def run_windows(args, cwd):
    done = subprocess.run([WINE, EXE, *args], cwd=cwd, env=WINE_ENV,
                          stdout=subprocess.PIPE, stderr=subprocess.DEVNULL, timeout=600)
    return done.returncode, done.stdout.decode("utf-8")


def windows_path(path):
    """`path` as a Windows program under Wine names it: drive Z: is /."""
    return "Z:" + str(path).replace("/", "\\")


class WindowsBuild(ToolTestCase):
    stand_in = DATA

    def folders(self, data=True):
        return self.folder(data), self.folder(data)

    def test_same_output_as_linux(self):
        cases = [  # arguments, expected stdout, exit status
            (["T3"], banner(3, 3) + create_line(3), 0),
            (["T5", "f5", "p3"], banner(5, 5, 2, 5, 3) + create_line(5), 0),
            (["1", "T31", "F30", "p2"], banner(31, 31, 1, -30, 2) + create_line(31), 0),
            (["p9"], "fade pattern must be 0-3\n", 2),
            (["--lsit", "3"], "unknown option --lsit\n", 2),
            (["flac"], "flac is not a setting: did you mean --format=flac?\n", 2),
            (["3F10"], "3F10 holds more than one setting: write them apart, as 3 F10\n", 2),
            (["t1", "fan_remix.dat"], banner(1, 1) + "fan_remix.dat not found.\n", 1),
            (["t1", "renamed.bni", "1"], banner(1, 1, 1) + "renamed.bni not found.\n", 1),
            (["T26", "3", "f14", "--loop-points"], banner(26, 26, 3, 14) + create_line(26), 0),
            (["T3", "--split", "--loop-points"],
             banner(3, 3) + f"Create {NAMES[2][:-4]} (intro).wav ...\n"
                            f"Create {NAMES[2][:-4]} (loop).wav ...\n", 0),
        ]
        for args, stdout, status in cases:
            with self.subTest(args=args):
                linux, windows = self.folders()
                self.assertEqual(run(args, linux.path), (status, stdout))
                self.assertEqual(run_windows(args, windows.path), (status, stdout))
                self.assertEqual(windows.names(), linux.names())
                for name in windows.wavs():
                    wav_info(windows.path / name)  # a reader accepts it
                    self.assertEqual(digest(windows.path / name), digest(linux.path / name))

    def test_data_path_and_output_folder(self):
        linux, windows = self.folders()
        self.assertEqual(run(["T5", "f5"], linux.path)[0], 0)
        want = digest(linux.path / NAMES[4])
        elsewhere = self.folders(data=False)[1]
        # As when kvbgm.dat is dropped on the exe: its full path, and the
        # file lands beside it.
        data = windows_path(windows.path / "kvbgm.dat")
        self.assertEqual(run_windows([data, "T5", "f5"], elsewhere.path),
                         (0, banner(5, 5, 2, 5) + create_line(5)))
        self.assertEqual(digest(windows.path / NAMES[4]), want)
        # Its folder, with the files sent to a folder that does not exist yet.
        out = elsewhere.path / "new" / "music"
        self.assertEqual(run_windows(["T5", "f5", windows_path(windows.path), "-o",
                                      windows_path(out)], elsewhere.path),
                         (0, banner(5, 5, 2, 5) + create_line(5)))
        self.assertEqual(sorted(os.listdir(out)), [NAMES[4]])
        self.assertEqual(digest(out / NAMES[4]), want)

    def test_largest_file(self):
        # Track 24 with ten passes and a 30-second faded continuation: about
        # 293 MiB, the largest file the settings allow.
        linux, windows = self.folders()
        args, stdout = ["T24", "10", "F30"], banner(24, 24, 10, -30) + create_line(24)
        self.assertEqual(run(args, linux.path), (0, stdout))
        self.assertEqual(run_windows(args, windows.path), (0, stdout))
        self.assertEqual(wav_info(windows.path / NAMES[23])[3] * 4, data_length(24, 10, -30))
        self.assertEqual(digest(windows.path / NAMES[23]), digest(linux.path / NAMES[23]))

    def test_paths_longer_than_260_characters(self):
        linux, windows = self.folders()
        self.assertEqual(run(["T22", "f5"], linux.path)[0], 0)  # the longest name
        want = digest(linux.path / NAMES[21])
        deep = windows.path
        while len(windows_path(deep / NAMES[21])) <= 300:
            deep /= "長い名前のフォルダ"
        deep.mkdir(parents=True)
        os.link(DATA.path, deep / "kvbgm.dat")
        data = windows_path(deep / "kvbgm.dat")
        music = windows.path / "音楽" / "ゲームの曲"
        for args, out in (([data, "-o", windows_path(music)], music),  # into a new folder
                          ([data], deep)):                             # beside the data
            with self.subTest(out=out.name):
                self.assertEqual(run_windows(args + ["T22", "f5"], windows.path),
                                 (0, banner(22, 22, 2, 5) + create_line(22)))
                self.assertEqual(sorted(n for n in os.listdir(out) if n != "kvbgm.dat"),
                                 [NAMES[21]])
                self.assertEqual(digest(out / NAMES[21]), want)

    def test_missing_data_file(self):
        _, windows = self.folders(data=False)
        self.assertEqual(run_windows(["T1"], windows.path),
                         (1, banner(1, 1) + "kvbgm.dat not found.\n"))
        self.assertEqual(windows.names(), [])

    def test_exe_is_32_bit_with_manifest_and_version(self):
        headers = subprocess.run(["i686-w64-mingw32-objdump", "-f", "-h", EXE], check=True,
                                 stdout=subprocess.PIPE).stdout.decode()
        self.assertIn("file format pei-i386", headers)  # the 32-bit exe, as shipped
        self.assertIn(".rsrc", headers)
        exe = Path(EXE).read_bytes()
        manifest = re.search(rb"<assembly.*?</assembly>", exe, re.S)
        self.assertIsNotNone(manifest)
        manifest = manifest[0].decode()
        self.assertIn('requestedExecutionLevel level="asInvoker"', manifest)
        self.assertIn('processorArchitecture="x86"', manifest)
        for os_id in ("35138b9a-5d96-4fbd-8e2d-a2440225f93a",   # 7
                      "4a2f28e3-53b9-4441-ba9c-d69d4a4a6e38",   # 8
                      "1f676c76-80e1-4239-95bb-83d0f6d0da78",   # 8.1
                      "8e0f7a12-bfb3-4fe8-b9a5-48fd50a15a9a"):  # 10 and 11
            self.assertIn(f"<supportedOS Id=\"{{{os_id}}}\"/>", manifest)
        self.assertRegex(manifest, r"<longPathAware[^>]*>true</longPathAware>")
        version = subprocess.run(["git", "-C", ROOT, "grep", "-h", "project(kvbgm2wav",
                                  "CMakeLists.txt"], stdout=subprocess.PIPE).stdout.decode()
        version = re.search(r"VERSION (\d+\.\d+\.\d+)", version)[1]
        for key, value in (("FileDescription", "kvbgm2wav: writes the tracks of kvbgm.dat"),
                           ("ProductName", "kvbgm2wav"), ("FileVersion", version),
                           ("ProductVersion", version), ("LegalCopyright", "kvbgm2wav project")):
            with self.subTest(key=key):
                # VERSIONINFO strings are UTF-16, each key followed by its value.
                entry = re.search(re.escape(key.encode("utf-16-le")) + rb"(?:\0\0)+((?:[^\0]\0)+)",
                                  exe)
                self.assertIsNotNone(entry)
                self.assertIn(value, entry[1].decode("utf-16-le"))

    def test_flac_same_audio_streaminfo_and_tags_as_linux(self):
        # libFLAC's analysis uses floating point, so the bytes may differ
        # between builds; what they hold may not.
        cases = [
            ["T1"],
            ["T3", "3", "f10", "p1", "--loop-points", "--compression=8"],  # 22,050 Hz
            ["T26", "3", "F30", "p3", "--loop-points"],
            ["T3", "--split", "--loop-points", "--tag", "ALBUM=ゲーム", "--tag=ARTIST=作者"],
        ]
        for args in cases:
            with self.subTest(args=args):
                linux, windows = self.folders()
                args = ["--format=flac", *args]
                status, out = run(args, linux.path)
                self.assertEqual(status, 0)
                self.assertEqual(run_windows(args, windows.path), (0, out))
                self.assertEqual(windows.names(), linux.names())
                for name in windows.wavs():
                    ours, theirs = windows.path / name, linux.path / name
                    self.assertEqual(decoded(ours), decoded(theirs))
                    self.assertEqual(stream_info(ours), stream_info(theirs))
                    self.assertEqual(flac_tags(ours), flac_tags(theirs))
                    self.assertEqual(block_types(ours), block_types(theirs))

    def test_ogg_same_length_tags_and_audio_as_linux(self):
        # libvorbis's analysis is floating point, and the exe's maths library
        # is not glibc's: the bytes may differ between builds. The lengths
        # and tags may not, and the two decodes may differ only far below
        # the coding error itself (the decode less the WAV file's audio):
        # measured 29 to 51 dB below it on these rows, allowed 20 dB below
        # it; and the exe's coding error, measured equal to the Linux
        # build's, may be at most 0.1 dB above it.
        cases = [  # arguments, and those for Ogg only
            (["T1", "1", "f5", "p0", "--loop-points"], []),
            (["T7", "f4", "p2", "--loop-points"], ["--quality=10"]),  # 22,050 Hz
            (["T26", "3", "F30", "p3", "--loop-points"], ["--quality=-1"]),
            (["T3", "--split", "--loop-points"],
             ["--quality=2.5", "--tag", "ALBUM=ゲーム", "--tag=ARTIST=作者"]),
        ]
        for args, ogg_args in cases:
            with self.subTest(args=args, ogg_args=ogg_args):
                linux, windows = self.folders()
                wav, scratch = self.folders()
                self.assertEqual(run(args, wav.path)[0], 0)  # the WAV files, for reference
                args = ["--format=ogg", *args, *ogg_args]
                status, out = run(args, linux.path)
                self.assertEqual(status, 0)
                self.assertEqual(run_windows(args, windows.path), (0, out))
                self.assertEqual(windows.names(), linux.names())
                for name in windows.wavs():
                    ours, theirs = windows.path / name, linux.path / name
                    self.assertEqual(vorbis_comments(ours), vorbis_comments(theirs))
                    self.assertEqual(ogg_pages(ours)[-1][1], ogg_pages(theirs)[-1][1])
                    reference = wav.path / (name[:-4] + ".wav")
                    ours_wav = ogg_decode(ours, scratch.path / "windows.wav")
                    theirs_wav = ogg_decode(theirs, scratch.path / "linux.wav")
                    self.assertEqual(wav_info(ours_wav), wav_info(reference))
                    self.assertEqual(wav_info(theirs_wav), wav_info(reference))
                    coding = error_db(reference, theirs_wav)
                    self.assertLessEqual(error_db(theirs_wav, ours_wav), coding - 20)
                    self.assertLessEqual(error_db(reference, ours_wav), coding + 0.1)

    def test_flac_full_disk_leaves_nothing(self):
        mount = small_disk(self, 8, DATA.path)
        name = NAMES[23][:-4] + ".flac"
        status, out = run_windows(["--format=flac", "T24", "10", "F30"], mount)
        self.assertEqual(status, 1)
        self.assertTrue(out.startswith(banner(24, 24, 10, -30) + f"Create {name} ...\n"
                                       f"cannot write {name}: "), out)
        self.assertEqual(out.count("\n"), 3)
        self.assertEqual(sorted(os.listdir(mount)), ["kvbgm.dat"])

    def test_windows_ways_to_ask_for_help(self):
        _, windows = self.folders(data=False)
        status, usage = run_windows(["/?"], windows.path)
        self.assertEqual(status, 0)
        self.assertTrue(usage.startswith("Usage: kvbgm2wav"))
        self.assertIn("-h, --help, /?, -V, --version", usage)
        self.assertIn("C:\\Games\\kvbgm.dat", usage)  # Windows paths in the examples
        self.assertEqual(run_windows(["-h"], windows.path), (0, usage))
        self.assertEqual(run_windows(["-V"], windows.path), run_windows(["--version"], windows.path))

    def test_data_file_under_another_case_of_an_output_name(self):
        # Windows names are case-blind: "31 エピローグ.WAV" is the output
        # "31 エピローグ.wav", and the exe must see that it is the data file.
        _, windows = self.folders(data=False)
        upper = NAMES[30][:-4] + ".WAV"
        os.link(DATA.path, windows.path / upper)
        before = os.stat(DATA.path)
        status, out = run_windows(["t31", upper], windows.path)
        self.assertEqual(status, 1)
        self.assertRegex(out.splitlines()[-1],
                         r" is the data file: write the files elsewhere with -o DIR$")
        self.assertEqual(windows.names(), [upper])
        after = os.stat(DATA.path)
        self.assertEqual((after.st_size, after.st_mtime_ns), (before.st_size, before.st_mtime_ns))

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
