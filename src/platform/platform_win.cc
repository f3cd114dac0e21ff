// Windows file system and Ctrl+C (platform_win_console.cc has standard
// output and error and the console). Names are UTF-8 inside the tool
// and UTF-16 at every call into the system, so they come out right whatever
// the system's code page. An output file is marked delete-on-close from its
// creation until its commit, so a process that is killed leaves nothing.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif
#include <windows.h>

#include <string>

#include "platform/platform.h"

namespace {

// The temporary files of the outputs in progress, for the Ctrl+C handler,
// which runs on a thread of its own: the lock keeps it and the threads that
// write from changing the files at the same time.
SRWLOCK gTempLock = SRWLOCK_INIT;
HANDLE gTempHandles[kMaxOutputsInProgress] = {
    INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE,
    INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE, INVALID_HANDLE_VALUE};
static_assert(kMaxOutputsInProgress == 8, "one initializer per slot");

BOOL WINAPI onConsoleEvent(DWORD event) {
  if (event != CTRL_C_EVENT && event != CTRL_BREAK_EVENT && event != CTRL_CLOSE_EVENT) {
    return FALSE;
  }
  // Mark the file for deletion when its handle closes, which the end of the
  // process does. The lock is never given back: the main thread stops at its
  // next change of the file until the process ends.
  AcquireSRWLockExclusive(&gTempLock);
  for (HANDLE h : gTempHandles) {
    if (h == INVALID_HANDLE_VALUE) continue;
    FILE_DISPOSITION_INFO info = {TRUE};
    SetFileInformationByHandle(h, FileDispositionInfo, &info, sizeof info);
  }
  endConsoleForEvent();
  return FALSE;  // the default handler ends the process
}

std::string narrow(const std::wstring& wide) {
  int n = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                              nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(n > 0 ? n : 0), '\0');
  if (n > 0) {
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                        utf8.data(), n, nullptr, nullptr);
  }
  return utf8;
}

HANDLE handleOf(FileHandle file) { return reinterpret_cast<HANDLE>(file.value); }

// A Windows error code as an IoError, and the one that the last failed
// call of this thread left.
IoError windowsError(DWORD code) { return systemError(static_cast<int32_t>(code)); }
IoError lastError() { return windowsError(GetLastError()); }

IoError closeChecked(FileHandle* file) {
  if (file->value == -1) return kIoOk;
  BOOL ok = CloseHandle(handleOf(*file));
  file->value = -1;
  return ok ? kIoOk : lastError();
}

bool markDeleteOnClose(HANDLE handle, bool on) {
  FILE_DISPOSITION_INFO info = {static_cast<BOOLEAN>(on)};
  return SetFileInformationByHandle(handle, FileDispositionInfo, &info, sizeof info) != 0;
}

DWORD attributesOf(const std::string& path) {
  return GetFileAttributesW(widen(path).c_str());
}

// Puts `to` in the slot that holds `from`.
bool swapTemp(HANDLE from, HANDLE to) {
  for (HANDLE& h : gTempHandles) {
    if (h == from) {
      h = to;
      return true;
    }
  }
  return false;
}

void releaseTemp(HANDLE handle) {
  if (handle == INVALID_HANDLE_VALUE) return;
  AcquireSRWLockExclusive(&gTempLock);
  swapTemp(handle, INVALID_HANDLE_VALUE);
  ReleaseSRWLockExclusive(&gTempLock);
}

}  // namespace

std::wstring widen(const std::string& utf8) {
  int n = MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                              nullptr, 0);
  std::wstring wide(static_cast<size_t>(n > 0 ? n : 0), L'\0');
  if (n > 0) {
    MultiByteToWideChar(CP_UTF8, 0, utf8.data(), static_cast<int>(utf8.size()),
                        wide.data(), n);
  }
  return wide;
}

void platformInit() {
  setUpConsole();
  SetConsoleCtrlHandler(onConsoleEvent, TRUE);
}

std::string absolutePath(const std::string& path) {
  std::wstring wide = widen(path.empty() ? "." : path);
  DWORD n = GetFullPathNameW(wide.c_str(), 0, nullptr, nullptr);
  if (n == 0) return path;
  std::wstring full(n, L'\0');
  n = GetFullPathNameW(wide.c_str(), n, full.data(), nullptr);
  if (n == 0) return path;
  full.resize(n);
  return narrow(full);
}

PathKind pathKind(const std::string& path) {
  DWORD attributes = attributesOf(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) return PathKind::Missing;
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? PathKind::Folder : PathKind::File;
}

IoError folderStatus(const std::string& path) {
  // No Windows path is longer, even where long paths are enabled.
  if (widen(path).size() > 32767) return windowsError(ERROR_FILENAME_EXCED_RANGE);
  DWORD attributes = attributesOf(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return missing ? kIoNotFound : windowsError(error);
  }
  return (attributes & FILE_ATTRIBUTE_DIRECTORY) ? kIoOk : windowsError(ERROR_DIRECTORY);
}

IoError useFolder(const std::string&) { return kIoOk; }

IoError makeFolder(const std::string& path, bool* made) {
  *made = CreateDirectoryW(widen(path).c_str(), nullptr) != 0;
  if (*made) return kIoOk;
  DWORD error = GetLastError();
  if (error != ERROR_ALREADY_EXISTS) return windowsError(error);
  IoError status = folderStatus(path);
  return status == kIoNotFound ? windowsError(error) : status;
}

IoError removeFolder(const std::string& path) {
  return RemoveDirectoryW(widen(path).c_str()) ? kIoOk : lastError();
}

IoError diskSpace(const std::string& folder, DiskSpace* space) {
  std::wstring path = widen(folder.empty() ? "." : folder);
  ULARGE_INTEGER toCaller;
  if (!GetDiskFreeSpaceExW(path.c_str(), &toCaller, nullptr, nullptr)) {
    return lastError();
  }
  space->available = static_cast<int64_t>(toCaller.QuadPart);
  space->blockBytes = 4096;
  wchar_t root[MAX_PATH + 1];
  DWORD sectorsPerCluster, bytesPerSector, freeClusters, clusters;
  if (GetVolumePathNameW(path.c_str(), root, MAX_PATH + 1) &&
      GetDiskFreeSpaceW(root, &sectorsPerCluster, &bytesPerSector, &freeClusters, &clusters) &&
      sectorsPerCluster * bytesPerSector != 0) {
    space->blockBytes = int64_t{sectorsPerCluster} * bytesPerSector;
  }
  return kIoOk;
}

int64_t spaceFreedByReplacing(const std::string& path) {
  DWORD share = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;
  HANDLE h = CreateFileW(widen(path).c_str(), 0, share, nullptr, OPEN_EXISTING,
                         FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return 0;
  BY_HANDLE_FILE_INFORMATION info;
  bool regular = GetFileType(h) == FILE_TYPE_DISK && GetFileInformationByHandle(h, &info) &&
                 !(info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) && info.nNumberOfLinks <= 1;
  CloseHandle(h);
  if (!regular) return 0;
  return static_cast<int64_t>(uint64_t{info.nFileSizeHigh} << 32 | info.nFileSizeLow);
}

IoError openDataFile(const std::string& path, FileHandle* file, int64_t* size) {
  DWORD attributes = attributesOf(path);
  if (attributes == INVALID_FILE_ATTRIBUTES) {
    DWORD error = GetLastError();
    bool missing = error == ERROR_FILE_NOT_FOUND || error == ERROR_PATH_NOT_FOUND;
    return missing ? kIoNotFound : windowsError(error);
  }
  if (attributes & FILE_ATTRIBUTE_DIRECTORY) return kIoNotRegular;
  HANDLE h = CreateFileW(widen(path).c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr,
                         OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (h == INVALID_HANDLE_VALUE) return lastError();
  LARGE_INTEGER bytes;
  if (GetFileType(h) != FILE_TYPE_DISK || !GetFileSizeEx(h, &bytes)) {
    CloseHandle(h);
    return kIoNotRegular;
  }
  file->value = reinterpret_cast<intptr_t>(h);
  *size = bytes.QuadPart;
  return kIoOk;
}

void closeFile(FileHandle* file) { closeChecked(file); }

IoError readAt(FileHandle file, int64_t offset, void* buffer, size_t n) {
  char* p = static_cast<char*>(buffer);
  while (n > 0) {
    OVERLAPPED at = {};
    at.Offset = static_cast<DWORD>(offset);
    at.OffsetHigh = static_cast<DWORD>(offset >> 32);
    DWORD got = 0;
    if (!ReadFile(handleOf(file), p, static_cast<DWORD>(n), &got, &at)) {
      DWORD error = GetLastError();
      return error == ERROR_HANDLE_EOF ? kIoShortRead : readFailure(static_cast<int32_t>(error));
    }
    if (got == 0) return kIoShortRead;
    p += got;
    n -= got;
    offset += got;
  }
  return kIoOk;
}

IoError copyToEnd(FileHandle, int64_t, FileHandle, size_t) { return kIoUnsupported; }

void* allocatePages(size_t bytes) {
  if (bytes == 0) return nullptr;
  return VirtualAlloc(nullptr, bytes, MEM_RESERVE | MEM_COMMIT, PAGE_READWRITE);
}

void freePages(void* pages, size_t) {
  if (pages != nullptr) VirtualFree(pages, 0, MEM_RELEASE);
}

namespace {

DWORD WINAPI runThread(void* handle) {
  auto* thread = static_cast<ThreadHandle*>(handle);
  thread->run(thread->arg);
  return 0;
}

}  // namespace

// Console events are handled on a thread of the system's own, so there is
// no mask to set here.
IoError startThread(void (*run)(void*), void* arg, ThreadHandle* thread) {
  thread->run = run;
  thread->arg = arg;
  HANDLE h = CreateThread(nullptr, kThreadStackBytes, runThread, thread,
                          STACK_SIZE_PARAM_IS_A_RESERVATION, nullptr);
  if (h == nullptr) return lastError();
  thread->value = reinterpret_cast<uintptr_t>(h);
  return kIoOk;
}

void joinThread(ThreadHandle* thread) {
  HANDLE h = reinterpret_cast<HANDLE>(thread->value);
  WaitForSingleObject(h, INFINITE);
  CloseHandle(h);
}

IoError createNamedOutput(const std::string& folder, const std::string& name,
                          OutputFile* out) {
  for (int attempt = 0;; ++attempt) {
    char temp[64];
    std::snprintf(temp, sizeof temp, "kvbgm2wav-%lu-%d.tmp", GetCurrentProcessId(), attempt);
    std::string path = joinPath(folder, temp);
    AcquireSRWLockExclusive(&gTempLock);
    HANDLE h = CreateFileW(widen(path).c_str(), GENERIC_WRITE | DELETE, 0, nullptr,
                           CREATE_NEW, FILE_ATTRIBUTE_NORMAL, nullptr);
    DWORD error = GetLastError();
    if (h != INVALID_HANDLE_VALUE && !swapTemp(INVALID_HANDLE_VALUE, h)) {
      // More outputs at once than promised.
      CloseHandle(h);
      DeleteFileW(widen(path).c_str());
      h = INVALID_HANDLE_VALUE;
      error = ERROR_TOO_MANY_OPEN_FILES;
    }
    ReleaseSRWLockExclusive(&gTempLock);
    if (h != INVALID_HANDLE_VALUE) {
      out->file.value = reinterpret_cast<intptr_t>(h);
      out->folder = folder;
      out->tempName = path;
      out->finalName = joinPath(folder, name);
      return kIoOk;
    }
    if (error != ERROR_FILE_EXISTS || attempt >= 100) return windowsError(error);
  }
}

IoError createOutput(const std::string& folder, const std::string& name, OutputFile* out) {
  IoError error = createNamedOutput(folder, name, out);
  // Until the commit clears the mark, closing the handle (which the end of
  // the process does, however it ends) deletes the file.
  if (error == kIoOk) out->deleteOnClose = markDeleteOnClose(handleOf(out->file), true);
  return error;
}

IoError writeAll(OutputFile* out, const void* data, size_t n) {
  const char* p = static_cast<const char*>(data);
  while (n > 0) {
    DWORD put = 0;
    if (!WriteFile(handleOf(out->file), p, static_cast<DWORD>(n), &put, nullptr)) {
      return lastError();
    }
    p += put;
    n -= put;
  }
  return kIoOk;
}

IoError seekOutput(OutputFile* out, int64_t offset) {
  LARGE_INTEGER to;
  to.QuadPart = offset;
  if (!SetFilePointerEx(handleOf(out->file), to, nullptr, FILE_BEGIN)) {
    return lastError();
  }
  return kIoOk;
}

// A write at an offset moves the file pointer of a synchronous handle, which
// the appends use: Windows writes every file front to back.
bool writesAtOffsets(const OutputFile&) { return false; }

IoError writeAt(OutputFile*, int64_t, const void*, size_t) { return kIoUnsupported; }

IoError commitOutput(OutputFile* out) {
  releaseTemp(handleOf(out->file));
  IoError error = kIoOk;
  if (out->deleteOnClose && !markDeleteOnClose(handleOf(out->file), false)) {
    error = lastError();
  }
  out->deleteOnClose = false;
  if (error == kIoOk) error = closeChecked(&out->file);
  if (error == kIoOk &&
      !MoveFileExW(widen(out->tempName).c_str(), widen(out->finalName).c_str(),
                   MOVEFILE_REPLACE_EXISTING)) {
    error = lastError();
  }
  if (error != kIoOk) {
    discardOutput(out);
    return error;
  }
  out->tempName.clear();
  return kIoOk;
}

void discardOutput(OutputFile* out) {
  if (out->file.value != -1) releaseTemp(handleOf(out->file));
  if (out->file.value != -1) markDeleteOnClose(handleOf(out->file), true);
  closeChecked(&out->file);
  if (!out->tempName.empty()) DeleteFileW(widen(out->tempName).c_str());
  out->tempName.clear();
}

FileIdentity identityOf(FileHandle file) {
  BY_HANDLE_FILE_INFORMATION info;
  if (!GetFileInformationByHandle(handleOf(file), &info)) return {};
  return {true, info.dwVolumeSerialNumber,
          (uint64_t{info.nFileIndexHigh} << 32) | info.nFileIndexLow};
}

FileIdentity identityAt(const std::string& path) {
  // Opened for nothing but its attributes, shared every way: any name of
  // the file (another case, its 8.3 form) gives the same identity.
  HANDLE h = CreateFileW(widen(path).c_str(), FILE_READ_ATTRIBUTES,
                         FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr,
                         OPEN_EXISTING, FILE_FLAG_BACKUP_SEMANTICS, nullptr);
  if (h == INVALID_HANDLE_VALUE) return {};
  FileHandle file;
  file.value = reinterpret_cast<intptr_t>(h);
  FileIdentity identity = identityOf(file);
  CloseHandle(h);
  return identity;
}
