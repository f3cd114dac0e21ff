// POSIX: the process (start-up, standard output and error, signals and the
// names they clean up, threads) and the output files that get their names
// only once complete. platform_posix_files.cc has the rest.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <mutex>

#include "platform/platform.h"

namespace {

// The temporary names of the outputs in progress, for the signal handler,
// one slot per output. An output opened with O_TMPFILE has a name only
// between its link and its rename at commit; a fallback output has one from
// its creation. A slot's path is written before its flag is set and left
// alone until the flag is cleared, so the handler, on whatever thread it
// runs, only ever sees whole paths. gSlotLock orders the writers.
struct TempSlot {
  char path[PATH_MAX + 64];
  std::atomic<int> active;
};
TempSlot gTempSlots[kMaxOutputsInProgress];
std::mutex gSlotLock;
static_assert(std::atomic<int>::is_always_lock_free, "used in a signal handler");

// The folders that makeFolders made, outermost first, for the signal
// handler to remove while empty: a run ended before its first file leaves
// none behind. Written as the temporary slots are.
constexpr int kMadeFolderSlots = 64;
TempSlot gMadeFolders[kMadeFolderSlots];

// Standard output and error as they were at start: closed ones now hold
// the null device, and writes to them still fail.
bool gStdoutClosed = false;
bool gStderrClosed = false;

// The folder of useFolder, open and share-locked (flock) for as long as
// the process lives; -1 until then. Set once, by the main thread.
std::atomic<int> gUsedFolder{-1};

// True when another process shares the lock on the used folder. Otherwise
// this process holds it alone from now on, so that a run that starts
// using the folder waits until this one has ended, then finds it gone.
// Safe in a signal handler.
bool folderUsedElsewhere() {
  int fd = gUsedFolder.load();
  return fd >= 0 && flock(fd, LOCK_EX | LOCK_NB) != 0;
}

// setSignalText's bytes. Only the main thread sets them and only the main
// thread handles signals, so the handler never meets a change half made.
char gSignalText[kSignalTextBytes];
std::atomic<size_t> gSignalTextLength{0};
static_assert(std::atomic<size_t>::is_always_lock_free, "used in a signal handler");

void onTerminatingSignal(int sig) {
  for (TempSlot& slot : gTempSlots) {
    if (slot.active.load()) unlink(slot.path);
  }
  if (!folderUsedElsewhere()) {
    for (int i = kMadeFolderSlots - 1; i >= 0; --i) {
      if (gMadeFolders[i].active.load()) rmdir(gMadeFolders[i].path);
    }
  }
  if (size_t n = gSignalTextLength.load(); n > 0) {
    ssize_t put = write(STDERR_FILENO, gSignalText, n);
    (void)put;  // nothing more can be done about a failed write here
  }
  signal(sig, SIG_DFL);
  raise(sig);  // delivered when the handler returns, as the default action
}

// The signals whose default action ends the process, apart from the ones a
// fault raises (SIGSEGV, SIGBUS, ...) and SIGXFSZ, which is ignored so that a
// file-size limit fails the write instead. SIGPIPE is one: a closed standard
// output ends the run.
constexpr int kTerminatingSignals[] = {
    SIGHUP, SIGINT, SIGQUIT, SIGPIPE, SIGALRM, SIGTERM, SIGUSR1, SIGUSR2,
    SIGPROF, SIGVTALRM, SIGXCPU,
#ifdef SIGPOLL
    SIGPOLL,
#endif
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
};

void handleUnlessIgnored(int sig) {
  struct sigaction old = {};
  if (sigaction(sig, nullptr, &old) != 0 || old.sa_handler == SIG_IGN) return;
  struct sigaction action = {};
  action.sa_handler = onTerminatingSignal;
  sigemptyset(&action.sa_mask);
  sigaction(sig, &action, nullptr);
}

// Blocks every signal on this thread while a temporary name and its
// registration change together, so the handler never misses a name nor
// removes a final file.
struct SignalBlock {
  sigset_t previous;
  SignalBlock() {
    sigset_t all;
    sigfillset(&all);
    pthread_sigmask(SIG_BLOCK, &all, &previous);
  }
  ~SignalBlock() { pthread_sigmask(SIG_SETMASK, &previous, nullptr); }
};

// Clears the slot that holds `path`, if any.
void releaseTempName(const std::string& path) {
  std::lock_guard<std::mutex> lock(gSlotLock);
  for (TempSlot& slot : gTempSlots) {
    if (slot.active.load() && path == slot.path) slot.active.store(0);
  }
}

IoError closeChecked(FileHandle* file) {
  if (file->value < 0) return kIoOk;
  int rc = close(static_cast<int>(file->value));
  file->value = -1;
  return rc == 0 ? kIoOk : systemError(errno);
}

// Registers "kvbgm2wav-<pid>-<n>.tmp" in `folder`, the first n for which
// `make` succeeds, as the temporary name. `make(path)` returns 0 or errno.
template <typename Make>
IoError registerTempName(const std::string& folder, OutputFile* out, Make make) {
  SignalBlock block;
  std::lock_guard<std::mutex> lock(gSlotLock);
  TempSlot* slot = nullptr;
  for (TempSlot& s : gTempSlots) {
    if (!s.active.load()) slot = &s;
  }
  if (slot == nullptr) return systemError(EMFILE);  // more outputs at once than promised
  for (int attempt = 0;; ++attempt) {
    char name[64];
    std::snprintf(name, sizeof name, "kvbgm2wav-%ld-%d.tmp", static_cast<long>(getpid()),
                  attempt);
    std::string path = joinPath(folder, name);
    if (path.size() >= sizeof slot->path) return systemError(ENAMETOOLONG);
    // Registered before the file is made: blocking signals holds them back
    // on this thread only, and a handler on another one must find the name
    // as soon as the file can exist. Removing a name that is not there yet
    // does no harm.
    std::memcpy(slot->path, path.c_str(), path.size() + 1);
    slot->active.store(1);
    int error = make(path.c_str());
    if (error == 0) {
      out->tempName = path;
      return kIoOk;
    }
    slot->active.store(0);
    if (error != EEXIST || attempt >= 100) return systemError(error);
  }
}

IoError writeTo(FILE* stream, bool closedAtStart, const std::string& text) {
  if (closedAtStart) return systemError(EBADF);
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), stream) != text.size() ||
      std::fflush(stream) != 0) {
    return systemError(errno != 0 ? errno : EIO);
  }
  return kIoOk;
}

// Keeps `path` for the signal handler, in the first free slot; a folder
// past the last slot is only removed by removeFolders.
void noteMadeFolder(const std::string& path) {
  SignalBlock block;
  std::lock_guard<std::mutex> lock(gSlotLock);
  if (path.size() >= sizeof gMadeFolders[0].path) return;
  for (TempSlot& slot : gMadeFolders) {
    if (slot.active.load()) continue;
    std::memcpy(slot.path, path.c_str(), path.size() + 1);
    slot.active.store(1);
    return;
  }
}

void forgetMadeFolder(const std::string& path) {
  SignalBlock block;
  std::lock_guard<std::mutex> lock(gSlotLock);
  for (TempSlot& slot : gMadeFolders) {
    if (slot.active.load() && path == slot.path) slot.active.store(0);
  }
}

// Gives a closed standard descriptor the null device; true when it was
// closed.
bool reopenIfClosed(int fd) {
  if (fcntl(fd, F_GETFD) != -1 || errno != EBADF) return false;
  int null = open("/dev/null", fd == STDIN_FILENO ? O_RDONLY : O_WRONLY);
  // The lowest free descriptor: this one, as the lower ones are open.
  if (null >= 0 && null != fd) {
    dup2(null, fd);
    close(null);
  }
  return true;
}

}  // namespace

namespace {

// Libraries put large buffers on the stack (libvorbis up to one chunk of
// audio), and a stack that cannot grow under an address-space limit ends
// the process. Growing the main thread's stack now, once, makes that
// memory the process's from the start.
__attribute__((noinline)) char growMainStack() {
  constexpr size_t kMainStackBytes = 512 * 1024;
  volatile char pad[kMainStackBytes];
  for (size_t i = 0; i < kMainStackBytes; i += 4096) pad[i] = 0;
  return pad[0];
}

}  // namespace

void platformInit() {
  growMainStack();
  // Lowest first, so that each open lands on the descriptor it fills.
  reopenIfClosed(STDIN_FILENO);
  gStdoutClosed = reopenIfClosed(STDOUT_FILENO);
  gStderrClosed = reopenIfClosed(STDERR_FILENO);
  for (int sig : kTerminatingSignals) handleUnlessIgnored(sig);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) handleUnlessIgnored(sig);
  // Past a file-size limit, write() then fails with EFBIG and the track is
  // cleaned up like any other write error.
  signal(SIGXFSZ, SIG_IGN);
}

IoError writeStdout(const std::string& utf8) { return writeTo(stdout, gStdoutClosed, utf8); }

IoError writeStderr(const std::string& utf8) { return writeTo(stderr, gStderrClosed, utf8); }

bool stdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

bool stderrIsTerminal() { return !gStderrClosed && isatty(STDERR_FILENO) == 1; }

bool stderrTakesEscapes() {
  const char* term = std::getenv("TERM");
  return stderrIsTerminal() && !(term != nullptr && std::strcmp(term, "dumb") == 0);
}

void setSignalText(const std::string& text) {
  gSignalTextLength.store(0);
  size_t n = std::min(text.size(), sizeof gSignalText);
  std::memcpy(gSignalText, text.data(), n);
  gSignalTextLength.store(n);
}

bool ownsConsoleWindow() { return false; }

void waitForEnter() {}

IoError useFolder(const std::string& path) {
  int fd = open(path.empty() ? "." : path.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0 && errno == ENOENT) return kIoNotFound;
  if (fd < 0) return kIoOk;  // unmarked, as where no lock can be taken
  // Shared with every other run that uses the folder; held alone only by a
  // run that is about to remove it.
  while (flock(fd, LOCK_SH) != 0) {
    if (errno != EINTR) {
      // No locks on this file system: no run can tell, as before.
      break;
    }
  }
  struct stat st;
  if (fstat(fd, &st) != 0 || st.st_nlink == 0) {
    close(fd);
    return kIoNotFound;
  }
  // Where descriptors are that short, the outputs need this one more.
  int spare = dup(fd);
  if (spare < 0) {
    close(fd);
    return kIoOk;
  }
  close(spare);
  gUsedFolder.store(fd);
  return kIoOk;
}

IoError makeFolder(const std::string& path, bool* made) {
  // Noted before it exists: removing a folder that is not there yet does
  // no harm.
  noteMadeFolder(path);
  *made = mkdir(path.c_str(), 0777) == 0;
  if (*made) return kIoOk;
  forgetMadeFolder(path);
  if (errno != EEXIST) return systemError(errno);
  IoError status = folderStatus(path);
  return status == kIoNotFound ? systemError(EEXIST) : status;
}

IoError removeFolder(const std::string& path) {
  IoError error = kIoOk;
  if (folderUsedElsewhere()) {
    error = systemError(EBUSY);
  } else if (rmdir(path.c_str()) != 0) {
    error = systemError(errno);
  }
  forgetMadeFolder(path);
  return error;
}

namespace {

void* runThread(void* handle) {
  auto* thread = static_cast<ThreadHandle*>(handle);
  thread->run(thread->arg);
  return nullptr;
}

}  // namespace

IoError startThread(void (*run)(void*), void* arg, ThreadHandle* thread) {
  static_assert(sizeof(pthread_t) <= sizeof thread->value, "a pthread_t fits the handle");
  thread->run = run;
  thread->arg = arg;
  pthread_attr_t attributes;
  int error = pthread_attr_init(&attributes);
  if (error != 0) return systemError(error);
  error = pthread_attr_setstacksize(&attributes, kThreadStackBytes);
  pthread_t id;
  if (error == 0) {
    // The new thread inherits the creator's mask: all blocked.
    SignalBlock block;
    error = pthread_create(&id, &attributes, runThread, thread);
  }
  pthread_attr_destroy(&attributes);
  if (error != 0) return systemError(error);
  thread->value = 0;
  std::memcpy(&thread->value, &id, sizeof id);
  return kIoOk;
}

void joinThread(ThreadHandle* thread) {
  pthread_t id;
  std::memcpy(&id, &thread->value, sizeof id);
  pthread_join(id, nullptr);
}

IoError createNamedOutput(const std::string& folder, const std::string& name,
                          OutputFile* out) {
  out->folder = folder;
  out->finalName = joinPath(folder, name);
  int fd = -1;
  return registerTempName(folder, out, [&](const char* path) {
    fd = open(path, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd < 0) return errno;
    out->file.value = fd;
    return 0;
  });
}

IoError createOutput(const std::string& folder, const std::string& name, OutputFile* out) {
#if defined(__linux__) && defined(O_TMPFILE)
  // An unnamed file in the folder: nothing is left if the process dies. It is
  // named at commit through /proc/self/fd, so it needs /proc.
  static const bool procFd = access("/proc/self/fd", X_OK) == 0;
  if (procFd) {
    int fd = open(folder.empty() ? "." : folder.c_str(), O_TMPFILE | O_WRONLY | O_CLOEXEC, 0666);
    if (fd >= 0) {
      out->file.value = fd;
      out->folder = folder;
      out->finalName = joinPath(folder, name);
      out->tempName.clear();
      return kIoOk;
    }
    // File systems without O_TMPFILE refuse it in one of these ways.
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return systemError(errno);
  }
#endif
  return createNamedOutput(folder, name, out);
}

IoError commitOutput(OutputFile* out) {
  SignalBlock block;
  IoError error = kIoOk;
  if (out->tempName.empty()) {
    // Link the unnamed file under a temporary name, then rename that over
    // the final name: the name appears only once the file is complete.
    char self[64];
    std::snprintf(self, sizeof self, "/proc/self/fd/%d", static_cast<int>(out->file.value));
    error = registerTempName(out->folder, out, [&](const char* path) {
      return linkat(AT_FDCWD, self, AT_FDCWD, path, AT_SYMLINK_FOLLOW) == 0 ? 0 : errno;
    });
  }
  if (error == kIoOk) error = closeChecked(&out->file);
  if (error == kIoOk && rename(out->tempName.c_str(), out->finalName.c_str()) != 0) {
    error = systemError(errno);
  }
  if (error != kIoOk) {
    discardOutput(out);
    return error;
  }
  releaseTempName(out->tempName);
  out->tempName.clear();
  return kIoOk;
}

void discardOutput(OutputFile* out) {
  SignalBlock block;
  closeChecked(&out->file);
  if (!out->tempName.empty()) unlink(out->tempName.c_str());
  releaseTempName(out->tempName);
  out->tempName.clear();
}

