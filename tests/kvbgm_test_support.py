"""Shared pieces of the end-to-end tests: the catalogue as the data file lays
it out, the expected names, and helpers to run the built tool in a folder."""

import hashlib
import os
import shutil
import subprocess
import tempfile
import unittest
import wave
from pathlib import Path

HERE = Path(__file__).resolve().parent
BUILD = HERE.parent / "build"
TOOL = os.environ.get("KVBGM2WAV", str(BUILD / "kvbgm2wav"))
MAKE_STANDIN = os.environ.get("MAKE_STANDIN", str(BUILD / "make_standin"))

# start (absolute), loopStart and end (relative to start), as stored.
ROWS = [
    (16, 3853696, 10812928), (10812944, 3044008, 19172208),
    (29985152, 1522004, 9586104), (39571256, 716032, 14911744),
    (54483000, 358016, 7455872), (61938872, 398720, 18867776),
    (80806648, 199360, 9433888), (90240536, 343296, 12714688),
    (102955224, 171648, 6357344), (109312568, 2718496, 24583680),
    (133896248, 1359248, 12291840), (146188088, 707904, 13650560),
    (159838648, 353952, 6825280), (166663928, 1606144, 27550976),
    (194214904, 803072, 13775488), (207990392, 1520000, 18306944),
    (226297336, 760000, 9153472), (235450808, 275504, 20617120),
    (256067928, 137752, 10308560), (266376488, 858112, 26787840),
    (293164328, 429056, 13393920), (306558248, 2833984, 19844512),
    (326402760, 1416992, 9922256), (336325016, 2602200, 32563680),
    (368888696, 259584, 15528448), (384417144, 24170752, 26522624),
    (410939768, 1457280, 24019744), (434959512, 728640, 12009872),
    (446969384, 2398880, 25539360), (472508744, 1199440, 12769680),
    (485278424, 1879240, 6741184),
]
TRACKS = [(s, s + l, s + e) for s, l, e in ROWS]  # absolute
DATA_BYTES = 492019608

MARKER = "（ハーフレート）"
TITLES = {1: "序章", 2: "朝の街並み", 4: "静かな午後", 6: "風の丘", 8: "夜明けの港",
          10: "雨上がりの道", 12: "遠い記憶", 14: "決意の朝", 16: "星降る夜",
          18: "追憶の庭", 20: "迷いの森", 22: "黄昏に響く遠き鐘の音色",
          24: "終わらない旅", 25: "小さな約束", 26: "帰り道", 27: "光の中へ",
          29: "いつかの空", 31: "エピローグ"}


def _names():
    names, title = [], None
    for track in range(1, 32):
        variant = track not in TITLES
        title = title if variant else TITLES[track]
        names.append(f"{track:02d} {title}{MARKER if variant else ''}.wav")
    return names


NAMES = _names()  # UTF-8 file names, index 0 is track 01


def rate(track):
    return 22050 if MARKER in NAMES[track - 1] else 44100


def data_length(track, repeat=2, fade=0):
    start, loop, end = TRACKS[track - 1]
    length = (end - start) + (end - loop) * (repeat - 1)
    return length + (-fade * rate(track) * 4 if fade < 0 else 0)


def banner(first=1, last=31, repeat=2, fade=0, pattern=0):
    return f"track={first}-{last} , repeat={repeat} , fade={fade} , fade pattern={pattern}\n"


def create_line(track):
    return f"Create {NAMES[track - 1]} ...\n"


def run(args, cwd, tool=TOOL, **kwargs):
    """Runs the tool in `cwd`; returns (exit status, stdout as text)."""
    done = subprocess.run([tool, *args], cwd=cwd, stdout=subprocess.PIPE,
                          stderr=subprocess.PIPE, timeout=600, **kwargs)
    return done.returncode, done.stdout.decode("utf-8")


def make_standin(path, only=None, seed=1):
    args = [MAKE_STANDIN, str(path)] + (["--only", str(only)] if only else []) + ["--seed", str(seed)]
    subprocess.run(args, check=True)


class StandIn:
    """A stand-in kvbgm.dat in a folder of its own, made once per test module:
    call make() from setUpModule and remove() from tearDownModule."""

    def __init__(self, only=None):
        self.only = only
        self.path = None
        self._folder = None

    def make(self):
        self._folder = tempfile.TemporaryDirectory(prefix="kvbgm2wav-data-")
        self.path = Path(self._folder.name) / "kvbgm.dat"
        make_standin(self.path, only=self.only)

    def remove(self):
        self._folder.cleanup()


def wav_info(path):
    with wave.open(str(path), "rb") as w:
        return w.getnchannels(), w.getsampwidth(), w.getframerate(), w.getnframes()


def wav_frames(path):
    with wave.open(str(path), "rb") as w:
        return w.readframes(w.getnframes())


def digest(path):
    h = hashlib.sha256()
    with open(path, "rb") as f:
        for block in iter(lambda: f.read(1 << 20), b""):
            h.update(block)
    return h.hexdigest()


def read_range(path, start, end):
    with open(path, "rb") as f:
        f.seek(start)
        return f.read(end - start)


class Folder:
    """A scratch folder, optionally holding a link to a shared data file."""

    def __init__(self, data=None):
        self.path = Path(tempfile.mkdtemp(prefix="kvbgm2wav-e2e-"))
        if data is not None:
            os.link(data, self.path / "kvbgm.dat")

    def names(self):
        return sorted(os.listdir(self.path))

    def wavs(self):
        return sorted(n for n in os.listdir(self.path) if n != "kvbgm.dat")

    def remove(self):
        shutil.rmtree(self.path, ignore_errors=True)


class ToolTestCase(unittest.TestCase):
    """A test case that runs the tool in scratch folders of its own. A suite
    sets `stand_in` to its module's StandIn, and `output_format` to the
    --format that both() compares with WAV files."""

    stand_in = None
    output_format = None

    def folder(self, data=True):
        """A Folder removed when the test ends, holding a link to the stand-in
        data file unless `data` is false."""
        f = Folder(self.stand_in.path if data else None)
        self.addCleanup(f.remove)
        return f

    def both(self, args, format_args=()):
        """Runs `args` as WAV and with `format_args` in output_format in two
        folders; checks that the second run says the same with its names
        and writes the same files."""
        suffix = "." + self.output_format
        wav, other = self.folder(), self.folder()
        status, out = run(args, wav.path)
        self.assertEqual(status, 0, out)
        said = out.replace(".wav ...", suffix + " ...").replace(".wav:", suffix + ":")
        self.assertEqual(run([f"--format={self.output_format}", *args, *format_args], other.path),
                         (0, said))
        self.assertEqual(other.wavs(), sorted(n[:-4] + suffix for n in wav.wavs()))
        return wav, other


def riff_chunks(path):
    """The chunks of a RIFF WAVE file, in order: [(id, offset of body, size)]."""
    with open(path, "rb") as f:
        head = f.read(12)
        assert head[:4] == b"RIFF" and head[8:12] == b"WAVE", path
        chunks = []
        while True:
            header = f.read(8)
            if len(header) < 8:
                return chunks
            cid, size = header[:4].decode("latin-1"), int.from_bytes(header[4:], "little")
            chunks.append((cid, f.tell(), size))
            f.seek(size + (size & 1), 1)


def smpl_loop(path):
    """The (start, end) frames of the one loop in the file's "smpl" chunk, or
    None without one."""
    for cid, offset, size in riff_chunks(path):
        if cid == "smpl":
            body = read_range(path, offset, offset + size)
            assert int.from_bytes(body[28:32], "little") == 1  # one loop
            start, end = (int.from_bytes(body[44 + 4 * k:48 + 4 * k], "little") for k in (0, 1))
            return start, end
    return None


def flac_name(wav_name):
    return wav_name[:-4] + ".flac"


def wav_data(path):
    for cid, offset, size in riff_chunks(path):
        if cid == "data":
            return read_range(path, offset, offset + size)
    raise AssertionError(f"no data chunk in {path}")


def decoded(path):
    """The audio of a FLAC file as raw 16-bit little-endian stereo, checked
    against the MD5 in its STREAMINFO by the decoder."""
    return subprocess.run(["flac", "-d", "-s", "-c", "--force-raw-format", "--endian=little",
                           "--sign=signed", str(path)], check=True, stdout=subprocess.PIPE).stdout


def flac_tags(path):
    """The Vorbis comments of a FLAC file, as metaflac lists them."""
    out = subprocess.run(["metaflac", "--export-tags-to=-", str(path)], check=True,
                         stdout=subprocess.PIPE).stdout.decode("utf-8")
    return [line.split("=", 1) for line in out.splitlines()]


def stream_info(path):
    out = subprocess.run(["metaflac", "--show-total-samples", "--show-sample-rate",
                          "--show-channels", "--show-bps", "--show-md5sum", str(path)],
                         check=True, stdout=subprocess.PIPE).stdout.decode()
    total, rate, channels, bps, md5 = out.split()
    return int(total), int(rate), int(channels), int(bps), md5


def block_types(path):
    out = subprocess.run(["metaflac", "--list", str(path)], check=True,
                         stdout=subprocess.PIPE).stdout.decode("utf-8")
    return [line.split("(")[1].rstrip(")") for line in out.splitlines()
            if line.startswith("  type:")]


def small_disk(test, megabytes, data):
    """A tmpfs of `megabytes` for `test`, unmounted when it ends, holding a
    link to the data file `data` (which stays outside it); skips the test
    where the machine does not let it mount one."""
    mount = Path(tempfile.mkdtemp(prefix="kvbgm2wav-tmpfs-"))
    test.addCleanup(os.rmdir, mount)
    if subprocess.run(["mount", "-t", "tmpfs", "-o", f"size={megabytes}m", "tmpfs", mount],
                      stderr=subprocess.DEVNULL).returncode != 0:
        test.skipTest("cannot mount a small tmpfs here")
    test.addCleanup(subprocess.run, ["umount", mount])
    os.symlink(data, mount / "kvbgm.dat")
    return mount


def ogg_name(wav_name):
    return wav_name[:-4] + ".ogg"


def ogg_decode(path, out):
    """Decodes an Ogg Vorbis file with oggdec into the 16-bit WAV file
    `out`; returns `out`."""
    subprocess.run(["oggdec", "-Q", "-o", str(out), str(path)], check=True)
    return out


def vorbis_comments(path):
    """The comments of an Ogg Vorbis file in their order, as vorbiscomment
    lists them (as UTF-8, whatever the locale)."""
    out = subprocess.run(["vorbiscomment", "-l", "-R", str(path)], check=True,
                         stdout=subprocess.PIPE).stdout.decode("utf-8")
    return [line.split("=", 1) for line in out.splitlines()]


def ogg_pages(path):
    """The pages of an Ogg file, in order: [(header type flags, granule
    position, serial number)]."""
    pages = []
    with open(path, "rb") as f:
        while header := f.read(27):
            assert len(header) == 27 and header[:4] == b"OggS", (path, len(pages))
            lacing = f.read(header[26])
            pages.append((header[5], int.from_bytes(header[6:14], "little", signed=True),
                          int.from_bytes(header[14:18], "little")))
            f.seek(sum(lacing), 1)
    return pages


def error_db(reference, other):
    """The RMS level, in dB of full scale, of `other` less `reference`: two
    WAV files of one rate, as sox measures the difference (-inf where they
    are equal)."""
    out = subprocess.run(["sox", "-m", "-v", "1", str(reference), "-v", "-1", str(other),
                          "-n", "stats"], check=True, stderr=subprocess.PIPE).stderr.decode()
    for line in out.splitlines():
        if line.startswith("RMS lev dB"):
            return float(line.split()[3])
    raise AssertionError(f"sox stats gave no RMS level: {out}")
