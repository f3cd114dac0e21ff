"""The built kvbgm2wav under real faults: a disk that fills up, a data file
that shrinks while it is read, signals and SIGKILL in the middle of a track,
too little memory, too few file descriptors and a full standard output. In
every case the run reports the failure, exits non-zero, leaves no temporary
file and leaves an earlier file of the track's name as it was.

The temporary file of a track is invisible until it is complete, so the
tests act once the tool has announced a track, and accept either outcome of
a race with a fast machine: a signal that arrives after the track is done
must leave the complete file."""

import os
import resource
import signal
import subprocess
import time
import unittest

from kvbgm_test_support import (banner, create_line, data_length, digest, ToolTestCase, NAMES,
                                run, small_disk, StandIn, TOOL, TRACKS, wav_info)

BIG = 24  # the longest track; with 10 passes and F30 its file is 307 MB
BIG_ARGS = ["T24", "10", "F30"]
DATA = StandIn(only=BIG)  # the stand-in data file, made for this module
setUpModule, tearDownModule = DATA.make, DATA.remove


EARLIER = b"RIFF an earlier, good file of this name"


class Faults(ToolTestCase):
    stand_in = DATA

    def with_earlier_file(self, f, track):
        (f.path / NAMES[track - 1]).write_bytes(EARLIER)

    def assertUntouched(self, f, track, extra=()):
        """Only the data file and the earlier file are there, unchanged."""
        self.assertEqual(f.names(), sorted(["kvbgm.dat", NAMES[track - 1], *extra]))
        self.assertEqual((f.path / NAMES[track - 1]).read_bytes(), EARLIER)

    def start(self, args, cwd, creates=1, setup=None):
        """Starts the tool and returns it once it has announced `creates` files."""
        def child():
            # SIGQUIT and SIGXCPU would leave a core file in the folder.
            resource.setrlimit(resource.RLIMIT_CORE, (0, 0))
            if setup:
                setup()

        proc = subprocess.Popen([TOOL, *args], cwd=cwd, stdout=subprocess.PIPE,
                                stderr=subprocess.PIPE, preexec_fn=child)
        self.addCleanup(proc.wait)
        self.addCleanup(proc.kill)
        proc.stdout.readline()  # the banner
        for _ in range(creates):
            self.assertTrue(proc.stdout.readline().decode().startswith("Create "))
        return proc

    def assertComplete(self, f, track, args):
        """The track's file is there, with all of its data."""
        repeat, fade = int(args[1]), -int(args[2][1:])
        self.assertEqual(os.path.getsize(f.path / NAMES[track - 1]),
                         44 + data_length(track, repeat, fade))

    def test_resource_limit_reached_during_a_track(self):
        cases = [  # what runs out, the limit, the reason given
            # Past the file-size limit a write fails instead of killing the run.
            ("file size", resource.RLIMIT_FSIZE, 5 << 20, "File too large"),
            # Enough to start, too little for a 30-second fade's gains.
            ("memory", resource.RLIMIT_AS, 12 << 20, "out of memory"),
        ]
        for what, which, value, reason in cases:
            with self.subTest(what=what):
                if which == resource.RLIMIT_AS and os.environ.get("KVBGM_SANITIZE"):
                    self.skipTest("the sanitizers need more address space than the limit")
                f = self.folder()
                self.with_earlier_file(f, BIG)

                def limit():
                    signal.signal(signal.SIGXFSZ, signal.SIG_IGN)
                    resource.setrlimit(which, (value, value))

                status, out = run(BIG_ARGS, f.path, preexec_fn=limit)
                self.assertEqual(status, 1)
                self.assertEqual(out, banner(BIG, BIG, 10, -30) + create_line(BIG) +
                                 f"cannot write {NAMES[BIG - 1]}: {reason}\n")
                self.assertUntouched(f, BIG)

    def test_disk_full_during_a_track(self):
        # The data file stays outside; the kernel cannot copy across file
        # systems, so this also takes the chunked copy.
        mount = small_disk(self, 8, DATA.path)
        (mount / NAMES[BIG - 1]).write_bytes(EARLIER)
        status, out = run(BIG_ARGS, mount)
        self.assertEqual(status, 1)
        self.assertEqual(out, banner(BIG, BIG, 10, -30) + create_line(BIG) +
                         f"cannot write {NAMES[BIG - 1]}: No space left on device\n")
        self.assertEqual(sorted(os.listdir(mount)), sorted(["kvbgm.dat", NAMES[BIG - 1]]))
        self.assertEqual((mount / NAMES[BIG - 1]).read_bytes(), EARLIER)

    def test_data_file_shrinks_while_read(self):
        f = self.folder(data=False)
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

    def test_terminating_signal_in_the_middle_of_a_track(self):
        signals = (signal.SIGINT, signal.SIGTERM, signal.SIGHUP, signal.SIGQUIT,
                   signal.SIGUSR1, signal.SIGUSR2, signal.SIGALRM, signal.SIGVTALRM,
                   signal.SIGXCPU, signal.SIGKILL)
        for sig in signals:
            with self.subTest(signal=sig.name):
                f = self.folder()
                self.with_earlier_file(f, BIG)
                proc = self.start(BIG_ARGS, f.path)
                proc.send_signal(sig)
                proc.communicate(timeout=600)
                if proc.returncode == 0:  # the track was done first
                    self.assertComplete(f, BIG, BIG_ARGS)
                    self.assertEqual(f.names(), sorted(["kvbgm.dat", NAMES[BIG - 1]]))
                    continue
                # Ended by the signal itself, as a shell reports 128 + signal.
                self.assertEqual(proc.returncode, -sig)
                self.assertUntouched(f, BIG)

    def test_kill_leaves_only_complete_files(self):
        # Every track, each long; killed once track 03 is announced, so
        # tracks 01 and 02 are complete and nothing else may be there.
        f = self.folder()
        args = ["10", "F30"]
        proc = self.start(args, f.path, creates=3)
        proc.kill()
        proc.communicate(timeout=600)
        self.assertEqual(proc.returncode, -signal.SIGKILL)
        names = f.names()
        self.assertIn(NAMES[0], names)
        self.assertIn(NAMES[1], names)
        self.assertLessEqual(set(names), {"kvbgm.dat", *NAMES[:3]})
        for track in (1, 2, 3):
            if NAMES[track - 1] in names:
                self.assertEqual(os.path.getsize(f.path / NAMES[track - 1]),
                                 44 + data_length(track, 10, -30))

    def test_signals_ignored_at_start_stay_ignored(self):
        # As under nohup, or in the background of a script.
        ignored = (signal.SIGHUP, signal.SIGINT)

        def ignore():
            for sig in ignored:
                signal.signal(sig, signal.SIG_IGN)

        f = self.folder()
        proc = self.start(BIG_ARGS, f.path, setup=ignore)
        for sig in ignored:
            proc.send_signal(sig)
        out, _ = proc.communicate(timeout=600)
        self.assertEqual((proc.returncode, out), (0, b""))
        self.assertComplete(f, BIG, BIG_ARGS)
        self.assertEqual(f.names(), sorted(["kvbgm.dat", NAMES[BIG - 1]]))

    def test_few_file_descriptors(self):
        # Standard input, output and error, the data file and the track's
        # file: five are enough, and nothing else needs one.
        f = self.folder()

        def limit():
            resource.setrlimit(resource.RLIMIT_NOFILE, (5, 5))

        self.assertEqual(run(["T24", "1"], f.path, preexec_fn=limit),
                         (0, banner(BIG, BIG, 1) + create_line(BIG)))
        self.assertEqual(f.names(), sorted(["kvbgm.dat", NAMES[BIG - 1]]))

    def test_full_standard_output(self):
        cases = [  # arguments, a track written
            (["--help"], None),
            (["T24", "1"], BIG),
            (["--list"], None),
        ]
        for args, track in cases:
            with self.subTest(args=args):
                f = self.folder()
                with open("/dev/full", "wb") as full:
                    done = subprocess.run([TOOL, *args], cwd=f.path, stdout=full,
                                          stderr=subprocess.PIPE, timeout=600)
                self.assertEqual(done.returncode, 1)
                self.assertEqual(done.stderr.decode(), "kvbgm2wav: cannot write standard "
                                                       "output: No space left on device\n")
                written = [NAMES[track - 1]] if track else []
                self.assertEqual(f.names(), sorted(["kvbgm.dat", *written]))
                if track:
                    self.assertEqual(wav_info(f.path / NAMES[track - 1])[3],
                                     data_length(track, 1) // 4)

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
