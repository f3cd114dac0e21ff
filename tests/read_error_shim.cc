// A stand-in for a failing disk under the data file, loaded with LD_PRELOAD:
// every read of a file opened read-only that reaches the byte offset in
// KVBGM_FAIL_READ_AT fails with EIO, through pread and through
// copy_file_range alike. Writes are left alone.
#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <sys/types.h>
#include <unistd.h>

#include <cstdlib>

namespace {

// The offset that fails, or -1 when none is set.
off_t failingOffset() {
  static const off_t offset = [] {
    const char* text = std::getenv("KVBGM_FAIL_READ_AT");
    return text != nullptr ? static_cast<off_t>(std::atoll(text)) : off_t{-1};
  }();
  return offset;
}

bool readOnly(int fd) {
  int flags = fcntl(fd, F_GETFL);
  return flags != -1 && (flags & O_ACCMODE) == O_RDONLY;
}

bool fails(int fd, off_t from, size_t n) {
  off_t at = failingOffset();
  return at >= 0 && readOnly(fd) && from <= at && at < from + static_cast<off_t>(n);
}

template <typename F>
F next(const char* name) {
  return reinterpret_cast<F>(dlsym(RTLD_NEXT, name));
}

}  // namespace

extern "C" {

ssize_t pread64(int fd, void* buffer, size_t n, off_t offset) {
  if (fails(fd, offset, n)) {
    errno = EIO;
    return -1;
  }
  static auto real = next<ssize_t (*)(int, void*, size_t, off_t)>("pread64");
  return real(fd, buffer, n, offset);
}

ssize_t pread(int fd, void* buffer, size_t n, off_t offset) {
  return pread64(fd, buffer, n, offset);
}

ssize_t copy_file_range(int in, off_t* inOffset, int out, off_t* outOffset, size_t n,
                        unsigned flags) {
  if (inOffset != nullptr && fails(in, *inOffset, n)) {
    errno = EIO;
    return -1;
  }
  static auto real =
      next<ssize_t (*)(int, off_t*, int, off_t*, size_t, unsigned)>("copy_file_range");
  return real(in, inOffset, out, outOffset, n, flags);
}

}  // extern "C"
