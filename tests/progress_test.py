"""The progress line on a terminal, as a user sees it: the built kvbgm2wav
under a pseudo-terminal, its screen read back and cut at each carriage
return. The line shows the share of the audio handled in its phase, which
moves within a file, never passes 100 % (also where files are done again
one at a time), has a phase of its own for the --replaygain measuring pass,
and is erased on every way out, a terminating signal included."""

import os
import pty
import re
import select
import shutil
import signal
import time
import unittest

from kvbgm_test_support import ToolTestCase, StandIn, TOOL

TOOL_PATH = os.path.abspath(TOOL)  # run from the test's own folder
DATA = StandIn()  # the stand-in data file, made for this module
setUpModule, tearDownModule = DATA.make, DATA.remove

LINE = re.compile(r"(measuring loudness: )?(\d+) of (\d+) files, (\d+)%, \d+:\d\d (left|so far)"
                  r"\x1b\[K")
ERASE = "\x1b[K"


def on_terminal(command, cwd, signal_at_line=None):
    """Runs `command` in `cwd` with a pseudo-terminal for standard output and
    error. With `signal_at_line`, sends that signal once the progress line
    is on the screen. Returns the wait status and the screen as text."""
    pid, fd = pty.fork()
    if pid == 0:
        try:
            os.chdir(cwd)
            # Only the terminal: descriptors the test runner left open would
            # take the places of a tight --nofile limit.
            os.closerange(3, os.sysconf("SC_OPEN_MAX"))
            os.execvp(command[0], command)
        finally:
            os._exit(127)
    screen, sent, deadline = b"", False, time.monotonic() + 600
    while time.monotonic() < deadline:
        if signal_at_line and not sent and b" files, " in screen:
            os.kill(pid, signal_at_line)
            sent = True
        ready, _, _ = select.select([fd], [], [], 0.05)
        if not ready:
            continue
        try:
            got = os.read(fd, 65536)
        except OSError:  # EIO: the child has ended and closed the terminal
            break
        if not got:
            break
        screen += got
    os.close(fd)
    _, status = os.waitpid(pid, 0)
    return status, screen.decode("utf-8")


def progress(screen):
    """The progress lines drawn, in order: (phase, files done, files, percent,
    says a time left)."""
    drawn = []
    for piece in screen.split("\r"):
        m = LINE.fullmatch(piece)
        if m:
            drawn.append((m[1] or "", int(m[2]), int(m[3]), int(m[4]), m[5] == "left"))
    return drawn


class ProgressLine(ToolTestCase):
    stand_in = DATA

    def run_tool(self, args, written, before=()):
        f = self.folder()
        status, screen = on_terminal([*before, TOOL_PATH, *args, "-o", "out"], f.path)
        self.assertEqual(os.waitstatus_to_exitcode(status), 0, screen[-500:])
        self.assertEqual(len(os.listdir(f.path / "out")), written)
        return screen

    def assert_ends_erased(self, screen):
        # Whatever comes last on standard output, the line does not stay
        # after it: the last thing said about it is the erase.
        last = screen.rfind(" files, ")
        self.assertGreaterEqual(last, 0)
        self.assertIn("\r" + ERASE, screen[last:])
        self.assertNotIn(" files, ", screen[screen.rfind("\r" + ERASE):])

    def test_share_moves_and_never_passes_100(self):
        cases = [  # arguments, files written, a share within one file
            (["1"], 31, False),  # WAV files: one at a time, by the kernel
            (["--format=flac", "t24", "3"], 1, True),
            (["--format=ogg", "t5"], 1, True),
        ]
        for args, written, within_a_file in cases:
            with self.subTest(args=args):
                screen = self.run_tool(args, written)
                drawn = progress(screen)
                self.assertTrue(drawn, screen[-500:])
                shares = [share for _, _, _, share, _ in drawn]
                self.assertEqual(shares, sorted(shares))  # nothing counted twice
                self.assertLessEqual(max(shares), 100)
                self.assertGreater(max(shares), 0)
                self.assertTrue(any(left for *_, left in drawn))
                self.assertEqual({files for _, _, files, _, _ in drawn}, {written})
                if within_a_file:
                    self.assertTrue(any(done == 0 and share > 0
                                        for _, done, _, share, _ in drawn), drawn)
                self.assert_ends_erased(screen)

    def test_files_done_again_count_once(self):
        # Five descriptors: the encoders beside the first one find none left,
        # and every file is written again alone.
        if shutil.which("prlimit") is None:
            self.skipTest("no prlimit")
        screen = self.run_tool(["--format=flac", "--compression=0", "1"], 31,
                               before=["prlimit", "--nofile=5:5"])
        drawn = progress(screen)
        self.assertTrue(drawn)
        self.assertLessEqual(max(share for *_, share, _ in drawn), 100)
        self.assertEqual(drawn[-1][1], 30)  # the line goes on to the last file
        self.assertGreaterEqual(drawn[-1][3], 90)
        self.assert_ends_erased(screen)

    def test_measuring_pass_is_a_phase_of_its_own(self):
        screen = self.run_tool(["--format=flac", "--replaygain", "t24", "3"], 1)
        drawn = progress(screen)
        phases = [phase for phase, *_ in drawn]
        self.assertEqual(phases[0], "measuring loudness: ")
        first_writing = phases.index("")
        self.assertNotIn("measuring loudness: ", phases[first_writing:])
        # Each phase starts at none of its audio and its own clock.
        self.assertEqual(drawn[first_writing][3], 0)
        self.assertIn("\r0 of 1 files, 0%, 0:00 so far" + ERASE, screen)
        measuring = [share for _, _, _, share, _ in drawn[:first_writing]]
        self.assertLessEqual(max(measuring), 100)
        self.assertGreater(max(share for *_, share, _ in drawn[first_writing:]), 0)
        self.assert_ends_erased(screen)

    def test_a_terminating_signal_erases_the_line(self):
        for sig in (signal.SIGINT, signal.SIGTERM):
            with self.subTest(signal=sig.name):
                f = self.folder()
                status, screen = on_terminal([TOOL_PATH, "--format=ogg", "t24", "5", "-o", "out"],
                                             f.path, signal_at_line=sig)
                self.assertTrue(os.WIFSIGNALED(status), screen[-500:])
                self.assertEqual(os.WTERMSIG(status), sig)
                self.assertTrue(progress(screen))
                # The erase is the last thing on the screen: the shell's
                # prompt then starts on an empty line.
                self.assertTrue(screen.endswith("\r" + ERASE), repr(screen[-200:]))
                self.assertFalse((f.path / "out").exists())


if __name__ == "__main__":
    unittest.main()
