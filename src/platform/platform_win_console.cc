// Windows: standard output and error, the console they may be, and the
// console's part of the end of a process that Ctrl+C ends. Text goes to a
// console as UTF-16 (WriteConsoleW), so it comes out right whatever the
// console's code page.
#ifndef _WIN32_WINNT
#define _WIN32_WINNT 0x0600
#endif
#include <fcntl.h>
#include <io.h>
#include <windows.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "platform/platform.h"

namespace {

#ifndef ENABLE_VIRTUAL_TERMINAL_PROCESSING
#define ENABLE_VIRTUAL_TERMINAL_PROCESSING 0x0004
#endif

// Standard error's console: whether it takes escape sequences, and its mode
// before platformInit turned virtual-terminal processing on, to be put back
// when the process ends (the console outlives it).
bool gStderrEscapes = false;
bool gStderrModeChanged = false;
DWORD gStderrModeAtStart = 0;

void restoreStderrMode() {
  if (gStderrModeChanged) SetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), gStderrModeAtStart);
}

// setSignalText's bytes, and the lock that every write to standard error
// holds: the console event handler takes it for good, so that nothing the
// main thread writes after it comes after its bytes.
SRWLOCK gStderrLock = SRWLOCK_INIT;
char gSignalText[kSignalTextBytes];
DWORD gSignalTextLength = 0;

// Standard output and error as they were at start: one that was not a
// valid handle is never written to, whatever file may later get that
// handle's number.
bool gStdoutClosed = false;
bool gStderrClosed = false;

bool invalidAtStart(DWORD which) {
  HANDLE h = GetStdHandle(which);
  if (h == nullptr || h == INVALID_HANDLE_VALUE) return true;
  return GetFileType(h) == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR;
}

// Holds the standard error lock (see gStderrLock) while it lives, where
// `which` is standard error.
struct StderrHold {
  bool held;
  explicit StderrHold(DWORD which) : held(which == STD_ERROR_HANDLE) {
    if (held) AcquireSRWLockExclusive(&gStderrLock);
  }
  ~StderrHold() {
    if (held) ReleaseSRWLockExclusive(&gStderrLock);
  }
  StderrHold(const StderrHold&) = delete;
  StderrHold& operator=(const StderrHold&) = delete;
};

IoError writeTo(DWORD which, FILE* stream, const std::string& utf8) {
  if (which == STD_OUTPUT_HANDLE ? gStdoutClosed : gStderrClosed) {
    return systemError(ERROR_INVALID_HANDLE);
  }
  StderrHold hold(which);
  HANDLE out = GetStdHandle(which);
  DWORD mode;
  if (GetConsoleMode(out, &mode)) {
    std::fflush(stream);
    std::wstring wide = widen(utf8);
    DWORD written = 0;
    if (!WriteConsoleW(out, wide.data(), static_cast<DWORD>(wide.size()), &written, nullptr)) {
      return systemError(static_cast<int32_t>(GetLastError()));
    }
    return kIoOk;
  }
  if (std::fwrite(utf8.data(), 1, utf8.size(), stream) != utf8.size() ||
      std::fflush(stream) != 0) {
    return systemError(ERROR_WRITE_FAULT);
  }
  return kIoOk;
}

}  // namespace

void setUpConsole() {
  gStdoutClosed = invalidAtStart(STD_OUTPUT_HANDLE);
  gStderrClosed = invalidAtStart(STD_ERROR_HANDLE);
  DWORD mode;
  HANDLE err = GetStdHandle(STD_ERROR_HANDLE);
  if (!gStderrClosed && GetConsoleMode(err, &mode)) {
    gStderrEscapes = (mode & ENABLE_VIRTUAL_TERMINAL_PROCESSING) != 0;
    // Refused by consoles older than Windows 10 and by the classic console
    // host: there the progress line is erased with blanks.
    if (!gStderrEscapes &&
        SetConsoleMode(err, mode | ENABLE_PROCESSED_OUTPUT | ENABLE_VIRTUAL_TERMINAL_PROCESSING)) {
      gStderrEscapes = gStderrModeChanged = true;
      gStderrModeAtStart = mode;
      std::atexit(restoreStderrMode);
    }
  }
  // The same bytes as on POSIX: no "\r\n" for "\n".
  _setmode(_fileno(stdout), _O_BINARY);
  _setmode(_fileno(stderr), _O_BINARY);
}

void endConsoleForEvent() {
  AcquireSRWLockExclusive(&gStderrLock);  // never given back
  if (gSignalTextLength > 0) {
    DWORD put = 0;
    WriteFile(GetStdHandle(STD_ERROR_HANDLE), gSignalText, gSignalTextLength, &put, nullptr);
  }
  restoreStderrMode();
}

IoError writeStdout(const std::string& utf8) { return writeTo(STD_OUTPUT_HANDLE, stdout, utf8); }

IoError writeStderr(const std::string& utf8) { return writeTo(STD_ERROR_HANDLE, stderr, utf8); }

bool stdoutIsTerminal() {
  DWORD mode;
  return GetConsoleMode(GetStdHandle(STD_OUTPUT_HANDLE), &mode) != 0;
}

bool stderrIsTerminal() {
  DWORD mode;
  return !gStderrClosed && GetConsoleMode(GetStdHandle(STD_ERROR_HANDLE), &mode) != 0;
}

bool stderrTakesEscapes() { return gStderrEscapes && stderrIsTerminal(); }

void setSignalText(const std::string& text) {
  AcquireSRWLockExclusive(&gStderrLock);
  gSignalTextLength = static_cast<DWORD>(std::min(text.size(), sizeof gSignalText));
  std::memcpy(gSignalText, text.data(), gSignalTextLength);
  ReleaseSRWLockExclusive(&gStderrLock);
}

bool ownsConsoleWindow() {
  DWORD mode, ids[2];
  return stdoutIsTerminal() && GetConsoleMode(GetStdHandle(STD_INPUT_HANDLE), &mode) &&
         GetConsoleProcessList(ids, 2) == 1;
}

void waitForEnter() {
  HANDLE in = GetStdHandle(STD_INPUT_HANDLE);
  FlushConsoleInputBuffer(in);
  wchar_t c = 0;
  DWORD got = 0;
  while (ReadConsoleW(in, &c, 1, &got, nullptr) && got == 1 && c != L'\r' && c != L'\n') {
  }
}
