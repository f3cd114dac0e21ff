// POSIX file system, console and signals.
#include <errno.h>
#include <fcntl.h>
#include <pthread.h>
#include <signal.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <climits>
#include <cstdio>
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

void onTerminatingSignal(int sig) {
  for (TempSlot& slot : gTempSlots) {
    if (slot.active.load()) unlink(slot.path);
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
  return rc == 0 ? kIoOk : errno;
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
  if (slot == nullptr) return EMFILE;  // more outputs at once than promised
  for (int attempt = 0;; ++attempt) {
    char name[64];
    std::snprintf(name, sizeof name, "kvbgm2wav-%ld-%d.tmp", static_cast<long>(getpid()),
                  attempt);
    std::string path = joinPath(folder, name);
    if (path.size() >= sizeof slot->path) return ENAMETOOLONG;
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
    if (error != EEXIST || attempt >= 100) return error;
  }
}

IoError writeTo(FILE* stream, const std::string& text) {
  errno = 0;
  if (std::fwrite(text.data(), 1, text.size(), stream) != text.size() ||
      std::fflush(stream) != 0) {
    return errno != 0 ? errno : EIO;
  }
  return kIoOk;
}

}  // namespace

void platformInit() {
  for (int sig : kTerminatingSignals) handleUnlessIgnored(sig);
  for (int sig = SIGRTMIN; sig <= SIGRTMAX; ++sig) handleUnlessIgnored(sig);
  // Past a file-size limit, write() then fails with EFBIG and the track is
  // cleaned up like any other write error.
  signal(SIGXFSZ, SIG_IGN);
}

IoError writeStdout(const std::string& utf8) { return writeTo(stdout, utf8); }

IoError writeStderr(const std::string& utf8) { return writeTo(stderr, utf8); }

bool stdoutIsTerminal() { return isatty(STDOUT_FILENO) == 1; }

bool ownsConsoleWindow() { return false; }

void waitForEnter() {}

PathKind pathKind(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return PathKind::Missing;
  if (S_ISREG(st.st_mode)) return PathKind::File;
  return S_ISDIR(st.st_mode) ? PathKind::Folder : PathKind::Other;
}

IoError folderStatus(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return errno == ENOENT ? kIoNotFound : errno;
  return S_ISDIR(st.st_mode) ? kIoOk : ENOTDIR;
}

IoError makeFolder(const std::string& path, bool* made) {
  *made = mkdir(path.c_str(), 0777) == 0;
  if (*made) return kIoOk;
  if (errno != EEXIST) return errno;
  IoError status = folderStatus(path);
  return status == kIoNotFound ? EEXIST : status;
}

IoError removeFolder(const std::string& path) { return rmdir(path.c_str()) == 0 ? kIoOk : errno; }

IoError openDataFile(const std::string& path, FileHandle* file, int64_t* size) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return kIoNotFound;
    return errno == EISDIR ? kIoNotRegular : errno;
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int error = errno;
    close(fd);
    return error;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    return kIoNotRegular;
  }
  file->value = fd;
  *size = st.st_size;
  return kIoOk;
}

void closeFile(FileHandle* file) { closeChecked(file); }

IoError readAt(FileHandle file, int64_t offset, void* buffer, size_t n) {
  char* p = static_cast<char*>(buffer);
  while (n > 0) {
    ssize_t got = pread(static_cast<int>(file.value), p, n, offset);
    if (got < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    if (got == 0) return kIoShortRead;
    p += got;
    n -= static_cast<size_t>(got);
    offset += got;
  }
  return kIoOk;
}

IoError copyToEnd(FileHandle in, int64_t offset, FileHandle out, size_t n) {
#ifdef __linux__
  loff_t from = offset;
  bool copied = false;
  while (n > 0) {
    ssize_t got = copy_file_range(static_cast<int>(in.value), &from,
                                  static_cast<int>(out.value), nullptr, n, 0);
    if (got < 0) {
      if (errno == EINTR) continue;
      bool refused = errno == ENOSYS || errno == EXDEV || errno == EINVAL ||
                     errno == EOPNOTSUPP || errno == EBADF;
      if (refused && !copied) return kIoUnsupported;
      return errno;
    }
    if (got == 0) return kIoShortRead;
    copied = true;
    n -= static_cast<size_t>(got);
  }
  return kIoOk;
#else
  (void)in, (void)offset, (void)out, (void)n;
  return kIoUnsupported;
#endif
}

namespace {

constexpr size_t kLargePageBytes = size_t{2} << 20;

size_t wholePages(size_t bytes) {
  auto page = static_cast<size_t>(sysconf(_SC_PAGESIZE));
  return (bytes + page - 1) / page * page;
}

}  // namespace

void* allocatePages(size_t bytes) {
  if (bytes == 0) return nullptr;
  size_t size = wholePages(bytes);
  // Map a large page more than needed, then give back what lies outside the
  // first large-page boundary and the size after it.
  void* mapped = mmap(nullptr, size + kLargePageBytes, PROT_READ | PROT_WRITE,
                      MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
  if (mapped == MAP_FAILED) {
    mapped = mmap(nullptr, size, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0);
    return mapped == MAP_FAILED ? nullptr : mapped;
  }
  auto start = reinterpret_cast<uintptr_t>(mapped);
  uintptr_t aligned = (start + kLargePageBytes - 1) & ~uintptr_t{kLargePageBytes - 1};
  if (aligned > start) munmap(mapped, aligned - start);
  size_t tail = start + size + kLargePageBytes - (aligned + size);
  if (tail > 0) munmap(reinterpret_cast<void*>(aligned + size), tail);
#ifdef MADV_HUGEPAGE
  madvise(reinterpret_cast<void*>(aligned), size, MADV_HUGEPAGE);  // a hint only
#endif
  return reinterpret_cast<void*>(aligned);
}

void freePages(void* pages, size_t bytes) {
  if (pages != nullptr) munmap(pages, wholePages(bytes));
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
  if (error != 0) return error;
  error = pthread_attr_setstacksize(&attributes, kThreadStackBytes);
  pthread_t id;
  if (error == 0) {
    // The new thread inherits the creator's mask: all blocked.
    SignalBlock block;
    error = pthread_create(&id, &attributes, runThread, thread);
  }
  pthread_attr_destroy(&attributes);
  if (error != 0) return error;
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
    if (errno != EOPNOTSUPP && errno != EISDIR && errno != EINVAL) return errno;
  }
#endif
  return createNamedOutput(folder, name, out);
}

IoError writeAll(OutputFile* out, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t put = write(static_cast<int>(out->file.value), p, n);
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += put;
    n -= static_cast<size_t>(put);
  }
  return kIoOk;
}

bool writesAtOffsets(const OutputFile& out) {
  // Linux writes at the end of a file opened with O_APPEND, whatever the
  // offset.
  int flags = fcntl(static_cast<int>(out.file.value), F_GETFL);
  return flags != -1 && (flags & O_APPEND) == 0;
}

IoError writeAt(OutputFile* out, int64_t offset, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t put = pwrite(static_cast<int>(out->file.value), p, n, offset);
    if (put < 0) {
      if (errno == EINTR) continue;
      return errno;
    }
    p += put;
    n -= static_cast<size_t>(put);
    offset += put;
  }
  return kIoOk;
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
    error = errno;
  }
  if (error != kIoOk) {
    discardOutput(out);
    return error;
  }
  releaseTempName(out->tempName);
  out->tempName.clear();
  return kIoOk;
}

IoError seekOutput(OutputFile* out, int64_t offset) {
  return lseek(static_cast<int>(out->file.value), offset, SEEK_SET) < 0 ? errno : kIoOk;
}

void discardOutput(OutputFile* out) {
  SignalBlock block;
  closeChecked(&out->file);
  if (!out->tempName.empty()) unlink(out->tempName.c_str());
  releaseTempName(out->tempName);
  out->tempName.clear();
}

bool isNoSpace(IoError error) { return error == ENOSPC || error == EDQUOT; }

bool isResourceError(IoError error) {
  return isNoSpace(error) || error == EMFILE || error == ENFILE || error == ENOMEM ||
         error == EAGAIN || error == kIoNoMemory;
}

std::string ioErrorText(IoError error) {
  if (error < 0) return ioErrorTextCommon(error);
  return std::strerror(error);
}
