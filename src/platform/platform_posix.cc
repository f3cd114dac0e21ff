// POSIX file system, console and signals.
#include <errno.h>
#include <fcntl.h>
#include <iconv.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>

#include "platform/platform.h"

namespace {

// The temporary file of the output in progress, for the signal handler.
char gTempPath[64];
volatile sig_atomic_t gTempActive = 0;

void onTerminatingSignal(int sig) {
  if (gTempActive) unlink(gTempPath);
  signal(sig, SIG_DFL);
  raise(sig);
}

// The signals that end the run; a closed standard output (SIGPIPE) is one.
constexpr int kTerminatingSignals[] = {SIGINT, SIGTERM, SIGHUP, SIGPIPE};

// Blocks the terminating signals while the temporary file and its
// registration change together, so the handler never misses a file.
struct SignalBlock {
  sigset_t previous;
  SignalBlock() {
    sigset_t set;
    sigemptyset(&set);
    for (int sig : kTerminatingSignals) sigaddset(&set, sig);
    sigprocmask(SIG_BLOCK, &set, &previous);
  }
  ~SignalBlock() { sigprocmask(SIG_SETMASK, &previous, nullptr); }
};

IoError closeChecked(FileHandle* file) {
  if (file->value < 0) return kIoOk;
  int rc = close(static_cast<int>(file->value));
  file->value = -1;
  return rc == 0 ? kIoOk : errno;
}

}  // namespace

void platformInit() {
  struct sigaction action = {};
  action.sa_handler = onTerminatingSignal;
  sigemptyset(&action.sa_mask);
  for (int sig : kTerminatingSignals) sigaction(sig, &action, nullptr);
  // Past a file-size limit, write() then fails with EFBIG and the track is
  // cleaned up like any other write error.
  signal(SIGXFSZ, SIG_IGN);
}

void writeStdout(const std::string& utf8) {
  std::fwrite(utf8.data(), 1, utf8.size(), stdout);
  std::fflush(stdout);
}

IoError cp932ToUtf8(const char* cp932, std::string* utf8) {
  iconv_t cd = iconv_open("UTF-8", "CP932");
  if (cd == reinterpret_cast<iconv_t>(-1)) return errno;
  char out[256];
  char* in = const_cast<char*>(cp932);
  size_t inLeft = std::strlen(cp932);
  char* outPtr = out;
  size_t outLeft = sizeof out;
  size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (rc == static_cast<size_t>(-1) || inLeft != 0) return kIoBadName;
  utf8->assign(out, static_cast<size_t>(outPtr - out));
  return kIoOk;
}

IoError openDataFile(const std::string& utf8Name, FileHandle* file, int64_t* size) {
  int fd = open(utf8Name.c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return errno;
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int error = errno;
    close(fd);
    return error;
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    return S_ISDIR(st.st_mode) ? EISDIR : EINVAL;
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

IoError createOutput(const std::string& finalName, OutputFile* out) {
  SignalBlock block;
  for (int attempt = 0;; ++attempt) {
    std::snprintf(gTempPath, sizeof gTempPath, "kvbgm2wav-%ld-%d.tmp",
                  static_cast<long>(getpid()), attempt);
    int fd = open(gTempPath, O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
    if (fd >= 0) {
      gTempActive = 1;
      out->file.value = fd;
      out->tempName = gTempPath;
      out->finalName = finalName;
      return kIoOk;
    }
    if (errno != EEXIST || attempt >= 100) return errno;
  }
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

IoError commitOutput(OutputFile* out) {
  IoError error = closeChecked(&out->file);
  if (error == kIoOk && rename(out->tempName.c_str(), out->finalName.c_str()) != 0) {
    error = errno;
  }
  if (error != kIoOk) {
    discardOutput(out);
    return error;
  }
  SignalBlock block;
  gTempActive = 0;
  out->tempName.clear();
  return kIoOk;
}

void discardOutput(OutputFile* out) {
  SignalBlock block;
  closeChecked(&out->file);
  if (!out->tempName.empty()) unlink(out->tempName.c_str());
  out->tempName.clear();
  gTempActive = 0;
}

std::string ioErrorText(IoError error) {
  switch (error) {
    case kIoShortRead:
    case kIoUnsupported:
    case kIoBadName: return ioErrorTextCommon(error);
    default: return std::strerror(error);
  }
}
