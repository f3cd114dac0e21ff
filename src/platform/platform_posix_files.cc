// POSIX: paths, the data file, reads and kernel copies, writes, memory
// and file identities.
#include <errno.h>
#include <fcntl.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "platform/platform.h"

PathKind pathKind(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return PathKind::Missing;
  if (S_ISREG(st.st_mode)) return PathKind::File;
  return S_ISDIR(st.st_mode) ? PathKind::Folder : PathKind::Other;
}

IoError folderStatus(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) {
    if (errno != ENOENT) return systemError(errno);
    // Nothing there, or a symbolic link to nothing, which no folder can
    // be made in place of.
    return lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode) ? kIoBrokenLink : kIoNotFound;
  }
  return S_ISDIR(st.st_mode) ? kIoOk : systemError(ENOTDIR);
}

IoError diskSpace(const std::string& folder, DiskSpace* space) {
  struct statvfs fs;
  if (statvfs(folder.empty() ? "." : folder.c_str(), &fs) != 0) return systemError(errno);
  auto unit = static_cast<int64_t>(fs.f_frsize != 0 ? fs.f_frsize : fs.f_bsize);
  space->blockBytes = unit > 0 ? unit : 4096;
  space->available = static_cast<int64_t>(fs.f_bavail) * unit;
  return kIoOk;
}

int64_t spaceFreedByReplacing(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0 || !S_ISREG(st.st_mode) || st.st_nlink > 1) return 0;
  return static_cast<int64_t>(st.st_blocks) * 512;
}

IoError openDataFile(const std::string& path, FileHandle* file, int64_t* size) {
  // O_NONBLOCK: opening a FIFO must not wait for a writer.
  int fd = open(path.c_str(), O_RDONLY | O_CLOEXEC | O_NONBLOCK);
  if (fd < 0) {
    if (errno == ENOENT) return kIoNotFound;
    return errno == EISDIR ? kIoNotRegular : systemError(errno);
  }
  struct stat st;
  if (fstat(fd, &st) != 0) {
    int error = errno;
    close(fd);
    return systemError(error);
  }
  if (!S_ISREG(st.st_mode)) {
    close(fd);
    return kIoNotRegular;
  }
  file->value = fd;
  *size = st.st_size;
  return kIoOk;
}

void closeFile(FileHandle* file) {
  if (file->value >= 0) close(static_cast<int>(file->value));
  file->value = -1;
}

IoError readAt(FileHandle file, int64_t offset, void* buffer, size_t n) {
  char* p = static_cast<char*>(buffer);
  while (n > 0) {
    ssize_t got = pread(static_cast<int>(file.value), p, n, offset);
    if (got < 0) {
      if (errno == EINTR) continue;
      return readFailure(errno);
    }
    if (got == 0) return kIoShortRead;
    p += got;
    n -= static_cast<size_t>(got);
    offset += got;
  }
  return kIoOk;
}

namespace {

// Reads bytes [offset, offset + n) of `in` and throws them away: kIoOk, or
// the read failure where a read fails.
IoError readable(FileHandle in, int64_t offset, size_t n) {
  constexpr size_t kPiece = 64 * 1024;
  std::unique_ptr<char[]> scratch(new (std::nothrow) char[kPiece]);
  if (!scratch) return kIoOk;  // cannot tell: the writing's error stands
  for (size_t done = 0; done < n;) {
    size_t piece = std::min(kPiece, n - done);
    IoError error = readAt(in, offset + static_cast<int64_t>(done), scratch.get(), piece);
    if (error == kIoShortRead) return kIoOk;
    if (error != kIoOk) return error;
    done += piece;
  }
  return kIoOk;
}

}  // namespace

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
      // The copy does not say which side failed: reading what it had left
      // to copy does.
      IoError error = systemError(errno);
      IoError read = readable(in, from, n);
      return read != kIoOk ? read : error;
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

IoError writeAll(OutputFile* out, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    ssize_t put = write(static_cast<int>(out->file.value), p, n);
    if (put < 0) {
      if (errno == EINTR) continue;
      return systemError(errno);
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
      return systemError(errno);
    }
    p += put;
    n -= static_cast<size_t>(put);
    offset += put;
  }
  return kIoOk;
}

IoError seekOutput(OutputFile* out, int64_t offset) {
  bool moved = lseek(static_cast<int>(out->file.value), offset, SEEK_SET) >= 0;
  return moved ? kIoOk : systemError(errno);
}

std::string absolutePath(const std::string& path) {
  if (!path.empty() && path[0] == '/') return path;
  char here[PATH_MAX];
  if (getcwd(here, sizeof here) == nullptr) return path;
  std::string folder = here;
  if (path.empty() || path == ".") return folder;
  return joinPath(folder, path);
}

FileIdentity identityOf(FileHandle file) {
  struct stat st;
  if (fstat(static_cast<int>(file.value), &st) != 0) return {};
  return {true, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

FileIdentity identityAt(const std::string& path) {
  struct stat st;
  if (stat(path.c_str(), &st) != 0) return {};
  return {true, static_cast<uint64_t>(st.st_dev), static_cast<uint64_t>(st.st_ino)};
}

