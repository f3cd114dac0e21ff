// The table of error texts, and what each platform's system codes say.
#include "error/error.h"

#ifdef _WIN32
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif
#include <windows.h>
#else
#include <errno.h>

#include <cstring>
#endif

#include <iterator>

namespace {

struct KindText {
  ErrorKind kind;
  const char* text;
};

// In the order of ErrorKind, one row for each.
constexpr KindText kKindTexts[] = {
    {ErrorKind::None, "no error"},
    {ErrorKind::System, "error"},
    {ErrorKind::ShortRead, "the data file ends before the track does"},
    {ErrorKind::Unsupported, "no kernel copy between these files"},
    {ErrorKind::NotFound, "not found"},
    {ErrorKind::NotRegular, "not a regular file"},
    {ErrorKind::NoMemory, "out of memory"},
    {ErrorKind::BrokenLink, "a symbolic link on the way points to nothing"},
    {ErrorKind::Changed, "it changed while it was read"},
    {ErrorKind::ChunkTooLarge, "a copy chunk larger than the buffer"},
    {ErrorKind::FlacEncoderFailed, "the FLAC encoder failed"},
    {ErrorKind::OggEncoderFailed, "the Vorbis encoder failed"},
    {ErrorKind::LoudnessFailed, "the loudness meter refused the stream"},
    {ErrorKind::WaveTooLarge, "more audio than a WAV file can hold"},
};

constexpr bool rowsInKindOrder() {
  int k = 0;
  for (const KindText& row : kKindTexts) {
    if (static_cast<int>(row.kind) != k++) return false;
  }
  return k == kErrorKindCount;
}
static_assert(rowsInKindOrder(), "one text for each ErrorKind, in its order");

// The system code of an error met outside the data file's reads; 0 for
// any other error.
int32_t outputCode(IoError error) {
  return error.kind == ErrorKind::System && error.side == ErrorSide::Output ? error.code : 0;
}

#ifdef _WIN32

std::string systemText(int32_t code) {
  wchar_t* text = nullptr;
  DWORD n = FormatMessageW(FORMAT_MESSAGE_ALLOCATE_BUFFER | FORMAT_MESSAGE_FROM_SYSTEM |
                               FORMAT_MESSAGE_IGNORE_INSERTS,
                           nullptr, static_cast<DWORD>(code), 0,
                           reinterpret_cast<wchar_t*>(&text), 0, nullptr);
  std::wstring wide(text != nullptr ? text : L"", n);
  LocalFree(text);
  while (!wide.empty() && (wide.back() == L'\n' || wide.back() == L'\r' ||
                           wide.back() == L'.' || wide.back() == L' ')) {
    wide.pop_back();
  }
  if (n == 0) return std::string(errorKindText(ErrorKind::System)) + " " + std::to_string(code);
  int bytes = WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()),
                                  nullptr, 0, nullptr, nullptr);
  std::string utf8(static_cast<size_t>(bytes > 0 ? bytes : 0), '\0');
  if (bytes > 0) {
    WideCharToMultiByte(CP_UTF8, 0, wide.data(), static_cast<int>(wide.size()), utf8.data(),
                        bytes, nullptr, nullptr);
  }
  return utf8;
}

#else

std::string systemText(int32_t code) { return std::strerror(code); }

#endif

}  // namespace

bool isReadFailure(IoError error) {
  return error.side == ErrorSide::DataFile || error.kind == ErrorKind::Changed;
}

const char* errorKindText(ErrorKind kind) {
  auto k = static_cast<size_t>(kind);
  return k < std::size(kKindTexts) ? kKindTexts[k].text : "unknown error";
}

std::string ioErrorText(IoError error) {
  if (error.kind == ErrorKind::System) return systemText(error.code);
  return errorKindText(error.kind);
}

#ifdef _WIN32

bool isNoSpace(IoError error) {
  constexpr int32_t kDiskQuotaExceeded = 1295;  // ERROR_DISK_QUOTA_EXCEEDED
  int32_t code = outputCode(error);
  return code == ERROR_DISK_FULL || code == ERROR_HANDLE_DISK_FULL || code == kDiskQuotaExceeded;
}

bool isFolderUnwritable(IoError error) {
  int32_t code = outputCode(error);
  return code == ERROR_ACCESS_DENIED || code == ERROR_WRITE_PROTECT;
}

bool isResourceError(IoError error) {
  int32_t code = outputCode(error);
  return isNoSpace(error) || code == ERROR_TOO_MANY_OPEN_FILES ||
         code == ERROR_NOT_ENOUGH_MEMORY || code == ERROR_OUTOFMEMORY ||
         code == ERROR_NO_SYSTEM_RESOURCES || code == ERROR_COMMITMENT_LIMIT ||
         error == kIoNoMemory;
}

#else

bool isNoSpace(IoError error) {
  int32_t code = outputCode(error);
  return code == ENOSPC || code == EDQUOT;
}

bool isFolderUnwritable(IoError error) {
  int32_t code = outputCode(error);
  return code == EACCES || code == EPERM || code == EROFS;
}

bool isResourceError(IoError error) {
  int32_t code = outputCode(error);
  return isNoSpace(error) || code == EMFILE || code == ENFILE || code == ENOMEM ||
         code == EAGAIN || error == kIoNoMemory;
}

#endif
