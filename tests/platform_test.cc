#include "platform/platform.h"

#include <gtest/gtest.h>

#include <string>
#include <vector>

#ifndef _WIN32
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <unistd.h>
#endif

#include "test_util.h"

namespace {

// A terminal that takes "\x1b[K" gets it; one that would print it (a
// classic Windows console) gets blanks over what the longer line before
// left, and the erased line leaves the cursor at its start.
TEST(Console, RedrawLineWithAndWithoutEscapes) {
  struct Case {
    bool escapes;
    const char* text;
    size_t previous;
    const char* bytes;
  } cases[] = {
      {true, "3 of 31 files, 12%", 40, "\r3 of 31 files, 12%\x1b[K"},
      {true, "", 40, "\r\x1b[K"},
      {false, "3 of 31 files, 12%", 22, "\r3 of 31 files, 12%    "},
      {false, "3 of 31 files, 12%", 18, "\r3 of 31 files, 12%"},
      {false, "3 of 31 files, 12%", 5, "\r3 of 31 files, 12%"},
      {false, "", 6, "\r      \r"},
      {false, "", 0, "\r\r"},
  };
  for (const Case& c : cases) {
    std::string bytes = redrawLineText(c.escapes, c.text, c.previous);
    EXPECT_EQ(bytes, c.bytes) << c.escapes << " " << c.text << " " << c.previous;
    if (!c.escapes) {
      EXPECT_EQ(bytes.find('\x1b'), std::string::npos);
    }
  }
}

TEST(Paths, FolderOfAndJoin) {
  struct Case {
    const char* path;
    const char* folder;
  } cases[] = {
      {"kvbgm.dat", ""},          {"game/kvbgm.dat", "game"},
      {"/kvbgm.dat", "/"},        {"/a/b/kvbgm.dat", "/a/b"},
      {"a//kvbgm.dat", "a"},      {"game/", "game"},
  };
  for (const Case& c : cases) EXPECT_EQ(folderOf(c.path), c.folder) << c.path;
  EXPECT_EQ(joinPath("", "01.wav"), "01.wav");
  EXPECT_EQ(joinPath("/", "01.wav"), "/01.wav");
#ifndef _WIN32
  EXPECT_EQ(joinPath("out", "01.wav"), "out/01.wav");
#else
  EXPECT_EQ(joinPath("out", "01.wav"), "out\\01.wav");
  EXPECT_EQ(folderOf("C:\\game\\kvbgm.dat"), "C:\\game");
  EXPECT_EQ(folderOf("C:\\kvbgm.dat"), "C:\\");
#endif
}

TEST(Folders, MakeFoldersMakesParentsAndRefusesAFile) {
  ScratchFolder folder;
  std::vector<std::string> made;
  EXPECT_EQ(makeFolders("a/b//c/", &made), kIoOk);
  EXPECT_EQ(pathKind("a/b/c"), PathKind::Folder);
  EXPECT_EQ(made, (std::vector<std::string>{"a", "a/b", "a/b//c"}));
  made.clear();
  EXPECT_EQ(makeFolders("a/b/c", &made), kIoOk);  // already there
  EXPECT_EQ(makeFolders("a/x/../y", &made), kIoOk);
#ifdef _WIN32
  // Windows takes "x/.." away from the path before it looks.
  EXPECT_EQ(made, (std::vector<std::string>{"a/x/../y"}));
#else
  EXPECT_EQ(made, (std::vector<std::string>{"a/x", "a/x/../y"}));
#endif
  removeFolders(made);
  EXPECT_EQ(pathKind("a/x"), PathKind::Missing);
  writeBytes("file", {1});
  EXPECT_EQ(pathKind("file"), PathKind::File);
  made.clear();
  EXPECT_NE(makeFolders("file", &made), kIoOk);
  EXPECT_NE(makeFolders("file/sub", &made), kIoOk);
  EXPECT_TRUE(made.empty());
  EXPECT_EQ(pathKind("missing"), PathKind::Missing);
}

// A folder that cannot be made half way down leaves none of the folders
// made before it; a path too long for the system makes none at all.
TEST(Folders, AFailedMakeFoldersLeavesNothing) {
  ScratchFolder folder;
  std::string tooLongName(300, 'x');  // longer than any file system allows a name
  std::string deep;
  for (int i = 0; i < 45000; ++i) deep += "a/";
  for (const std::string& path : {"new/deeper/" + tooLongName, deep}) {
    std::vector<std::string> made;
    EXPECT_NE(makeFolders(path, &made), kIoOk) << path.size();
    EXPECT_TRUE(made.empty());
    EXPECT_EQ(folder.names(), std::vector<std::string>{});
  }
  // Only empty folders are removed.
  std::vector<std::string> made;
  ASSERT_EQ(makeFolders("kept/sub", &made), kIoOk);
  writeBytes("kept/file", {1});
  removeFolders(made);
  EXPECT_EQ(pathKind("kept/sub"), PathKind::Missing);
  EXPECT_EQ(pathKind("kept/file"), PathKind::File);
}

TEST(Outputs, CommitNamesOnlyTheCompleteFileAndDiscardLeavesNothing) {
  ScratchFolder folder;
  std::vector<std::string> made;
  ASSERT_EQ(makeFolders("out", &made), kIoOk);
  for (bool named : {false, true}) {
    OutputFile out;
    IoError error = named ? createNamedOutput("out", "a.wav", &out)
                          : createOutput("out", "a.wav", &out);
    ASSERT_EQ(error, kIoOk);
    ASSERT_EQ(writeAll(&out, "abc", 3), kIoOk);
    ASSERT_EQ(commitOutput(&out), kIoOk);
    EXPECT_EQ(readBytes("out/a.wav"), (std::vector<uint8_t>{'a', 'b', 'c'}));
    ASSERT_EQ(createOutput("out", "b.wav", &out), kIoOk);
    ASSERT_EQ(writeAll(&out, "abc", 3), kIoOk);
    discardOutput(&out);
    EXPECT_EQ(pathKind("out/b.wav"), PathKind::Missing);
  }
  EXPECT_EQ(folder.names(), std::vector<std::string>{"out"});
}

#ifndef _WIN32
// A write at an offset, even past the end, leaves the point where appends
// go; a file open for appending only takes none.
TEST(Outputs, WriteAtLeavesTheAppendPoint) {
  ScratchFolder folder;
  OutputFile out;
  ASSERT_EQ(createOutput("", "a.wav", &out), kIoOk);
  ASSERT_TRUE(writesAtOffsets(out));
  ASSERT_EQ(writeAll(&out, "ab", 2), kIoOk);
  ASSERT_EQ(writeAt(&out, 4, "ef", 2), kIoOk);
  ASSERT_EQ(writeAll(&out, "cd", 2), kIoOk);
  ASSERT_EQ(commitOutput(&out), kIoOk);
  EXPECT_EQ(readBytes("a.wav"), (std::vector<uint8_t>{'a', 'b', 'c', 'd', 'e', 'f'}));
  OutputFile appending;
  appending.file.value = open("b.wav", O_WRONLY | O_CREAT | O_APPEND, 0644);
  ASSERT_GE(appending.file.value, 0);
  EXPECT_FALSE(writesAtOffsets(appending));
  closeFile(&appending.file);
}

// A thread runs its function with every signal blocked, so that the
// handlers, and the clean-up they do, run on the main thread only.
TEST(Threads, RunWithEverySignalBlocked) {
  struct Seen {
    bool ran = false;
    std::vector<int> unblocked;
  } seen;
  ThreadHandle thread;
  auto run = [](void* arg) {
    auto* s = static_cast<Seen*>(arg);
    sigset_t mask;
    pthread_sigmask(SIG_BLOCK, nullptr, &mask);
    std::vector<int> signals;
    for (int sig = 1; sig < 32; ++sig) signals.push_back(sig);
    for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) signals.push_back(sig);
    for (int sig : signals) {
      if (sig != SIGKILL && sig != SIGSTOP && sigismember(&mask, sig) != 1) {
        s->unblocked.push_back(sig);
      }
    }
    s->ran = true;
  };
  ASSERT_EQ(startThread(run, &seen, &thread), kIoOk);
  joinThread(&thread);
  EXPECT_TRUE(seen.ran);
  EXPECT_EQ(seen.unblocked, std::vector<int>{});
  sigset_t mine;
  pthread_sigmask(SIG_BLOCK, nullptr, &mine);
  EXPECT_EQ(sigismember(&mine, SIGINT), 0);  // the caller's mask is as it was
}

// Where the output must have a name while it is written, a terminating
// signal removes it and then ends the process by that signal; a signal that
// was ignored at start stays ignored. Each case runs in a child process.
TEST(Signals, RemoveTheNamedTemporaryFileOrStayIgnored) {
  struct Case {
    int sig;
    bool ignoredAtStart;
  } cases[] = {
      {SIGINT, false},  {SIGTERM, false},   {SIGHUP, false},  {SIGQUIT, false},
      {SIGPIPE, false}, {SIGUSR1, false},   {SIGUSR2, false}, {SIGALRM, false},
      {SIGXCPU, false}, {SIGVTALRM, false}, {SIGRTMIN, false}, {SIGHUP, true},
      {SIGINT, true},
  };
  for (const Case& c : cases) {
    ScratchFolder folder;
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      struct rlimit noCore = {0, 0};
      setrlimit(RLIMIT_CORE, &noCore);  // SIGQUIT and SIGXCPU would dump one here
      if (c.ignoredAtStart) signal(c.sig, SIG_IGN);
      platformInit();
      OutputFile out;
      if (createNamedOutput("", "a.wav", &out) != kIoOk) _exit(3);
      if (writeAll(&out, "abc", 3) != kIoOk) _exit(4);
      raise(c.sig);
      _exit(folder.names().size() == 1 ? 7 : 5);  // still running: the file is there
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    if (c.ignoredAtStart) {
      EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 7) << c.sig;
    } else {
      EXPECT_TRUE(WIFSIGNALED(status) && WTERMSIG(status) == c.sig) << c.sig;
      EXPECT_EQ(folder.names(), std::vector<std::string>{}) << c.sig;
    }
  }
}
#endif

}  // namespace
