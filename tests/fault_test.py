"""The built kvbgm2wav under real faults: a disk that fills up, a data file
that shrinks while it is read, and interrupts in the middle of a track. In
every case the run reports the failure, exits non-zero, leaves no temporary
file and leaves an earlier file of the track's name as it was."""

import os
import resource
import signal
import subprocess
import tempfile
import time
import unittest
from pathlib import Path

from kvbgm_test_support import (banner, create_line, data_length, digest, Folder, NAMES,
                                run, StandIn, TOOL, TRACKS)

BIG = 24  # the longest track; with 10 passes and F30 its file is 307 MB
BIG_ARGS = ["T24", "10", "F30"]
DATA = StandIn(only=BIG)  # the stand-in data file, made for this module
setUpModule, tearDownModule = DATA.make, DATA.remove


EARLIER = b"RIFF an earlier, good file of this name"


class Faults(unittest.TestCase):
    def folder(self, with_data=True):
        f = Folder(DATA.path if with_data else None)
        self.addCleanup(f.remove)
        return f

    def with_earlier_file(self, f, track):
        (f.path / NAMES[track - 1]).write_bytes(EARLIER)

    def assertUntouched(self, f, track, extra=()):
        """Only the data file and the earlier file are there, unchanged."""
        self.assertEqual(f.names(), sorted(["kvbgm.dat", NAMES[track - 1], *extra]))
        self.assertEqual((f.path / NAMES[track - 1]).read_bytes(), EARLIER)

    def start(self, args, cwd):
        """Starts the tool and returns it once it has announced its file."""
        proc = subprocess.Popen([TOOL, *args], cwd=cwd, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE)
        proc.stdout.readline()  # the banner
        self.assertEqual(proc.stdout.readline().decode(), create_line(BIG))
        return proc

    def test_file_size_limit_reached_during_a_track(self):
        f = self.folder()
        self.with_earlier_file(f, BIG)

        def limit():
            signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
            resource.setrlimit(resource.RLIMIT_FSIZE, (5 << 20, 5 << 20))

        status, out = run(BIG_ARGS, f.path, preexec_fn=limit)
        self.assertEqual(status, 1)
        self.assertEqual(out, banner(BIG, BIG, 10, -30) + create_line(BIG) +
                         f"cannot write {NAMES[BIG - 1]}: File too large\n")
        self.assertUntouched(f, BIG)

    def test_disk_full_during_a_track(self):
        mount = Path(tempfile.mkdtemp(prefix="kvbgm2wav-tmpfs-"))
        self.addCleanup(os.rmdir, mount)
        if subprocess.run(["mount", "-t", "tmpfs", "-o", "size=8m", "tmpfs", mount],
                          stderr=subprocess.DEVNULL).returncode != 0:
            self.skipTest("cannot mount a small tmpfs here")
        self.addCleanup(subprocess.run, ["umount", mount])
        # The data file stays outside; the kernel cannot copy across file
        # systems, so this also takes the chunked copy.
        os.symlink(DATA.path, mount / "kvbgm.dat")
        (mount / NAMES[BIG - 1]).write_bytes(EARLIER)
        status, out = run(BIG_ARGS, mount)
        self.assertEqual(status, 1)
        self.assertEqual(out, banner(BIG, BIG, 10, -30) + create_line(BIG) +
                         f"cannot write {NAMES[BIG - 1]}: No space left on device\n")
        self.assertEqual(sorted(os.listdir(mount)), sorted(["kvbgm.dat", NAMES[BIG - 1]]))
        self.assertEqual((mount / NAMES[BIG - 1]).read_bytes(), EARLIER)

    def test_data_file_shrinks_while_read(self):
        f = self.folder(with_data=False)
        with open(DATA.path, "rb") as src, open(f.path / "kvbgm.dat", "wb") as dst:
            dst.truncate(os.path.getsize(DATA.path))  # sparse: copy track 24 only
            start, _, end = TRACKS[BIG - 1]
            src.seek(start), dst.seek(start)
            dst.write(src.read(end - start))
        self.with_earlier_file(f, BIG)
        proc = self.start(BIG_ARGS, f.path)
        os.truncate(f.path / "kvbgm.dat", TRACKS[BIG - 1][1] + (1 << 20))
        out, _ = proc.communicate(timeout=600)
        self.assertEqual(proc.returncode, 1)
        self.assertEqual(out.decode(), f"cannot write {NAMES[BIG - 1]}: "
                                       "the data file ends before the track does\n")
        self.assertUntouched(f, BIG)

    def test_interrupt_in_the_middle_of_a_track(self):
        for sig in (signal.SIGINT, signal.SIGTERM, signal.SIGHUP):
            with self.subTest(signal=sig.name):
                f = self.folder()
                self.with_earlier_file(f, BIG)
                proc = self.start(BIG_ARGS, f.path)
                # Wait until the temporary file holds some of the track.
                deadline = time.monotonic() + 60
                while time.monotonic() < deadline:
                    temps = [p for p in f.path.iterdir() if p.suffix == ".tmp"]
                    if temps and temps[0].stat().st_size > (1 << 20):
                        break
                    time.sleep(0.001)
                else:
                    self.fail("no temporary file appeared")
                proc.send_signal(sig)
                proc.communicate(timeout=60)
                if proc.returncode == 0:
                    self.skipTest("the track was finished before the signal arrived")
                # Ended by the signal itself, as a shell reports 128 + signal.
                self.assertEqual(proc.returncode, -sig)
                self.assertUntouched(f, BIG)

    def test_failed_run_keeps_the_good_file_and_a_new_run_repeats_it(self):
        f = self.folder()
        self.assertEqual(run(["T24", "3"], f.path)[0], 0)
        good = digest(f.path / NAMES[BIG - 1])
        size = os.path.getsize(f.path / NAMES[BIG - 1])
        self.assertEqual(size, 44 + data_length(BIG, 3))

        def limit():
            resource.setrlimit(resource.RLIMIT_FSIZE, (1 << 20, 1 << 20))

        self.assertEqual(run(["T24", "3"], f.path, preexec_fn=limit)[0], 1)
        self.assertEqual(digest(f.path / NAMES[BIG - 1]), good)
        self.assertEqual(run(["T24", "3"], f.path)[0], 0)
        self.assertEqual(digest(f.path / NAMES[BIG - 1]), good)
        self.assertEqual(f.names(), sorted(["kvbgm.dat", NAMES[BIG - 1]]))


if __name__ == "__main__":
    unittest.main()
