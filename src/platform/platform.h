// The little the tool needs from the operating system: positioned reads of
// the data file, output files that appear under their final name only once
// complete, console output, and clean-up on interrupt. One implementation
// per platform (platform_posix.cc, platform_win.cc); everything else is
// shared.
//
// Functions that can fail return an IoError: 0 for success, a positive
// system error code, or one of the negative codes below. ioErrorText turns
// any of them into a one-line reason.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>

using IoError = int;
constexpr IoError kIoOk = 0;
constexpr IoError kIoShortRead = -1;    // the data file ended before the range
constexpr IoError kIoUnsupported = -2;  // no kernel copy for this pair of files
constexpr IoError kIoBadName = -3;      // a name that does not convert

// An open file: a descriptor on POSIX, a HANDLE on Windows. -1 when closed.
struct FileHandle {
  intptr_t value = -1;
};

// An output file being written under a temporary name in the current folder.
// The temporary name ends in ".tmp", so it never clashes with an output name.
struct OutputFile {
  FileHandle file;
  std::string tempName;   // UTF-8
  std::string finalName;  // UTF-8
};

// Sets up the process: interrupts (SIGINT, SIGTERM, SIGHUP, SIGPIPE; Ctrl+C,
// Ctrl+Break and closing the console) remove the temporary file of the output in progress and end
// the process with the usual status; a file-size limit surfaces as a write
// error instead of killing the process; standard output is binary.
void platformInit();

// Writes UTF-8 text to standard output; on a Windows console it is shown
// as UTF-16, elsewhere written as the same bytes on every platform.
void writeStdout(const std::string& utf8);

// The code page 932 string `cp932` as UTF-8 in *utf8. kIoBadName when the
// bytes are not valid code page 932.
IoError cp932ToUtf8(const char* cp932, std::string* utf8);

// Opens the regular file `utf8Name` for reading and reports its size.
// Fails (with a system code) when it is missing, unreadable or a folder.
IoError openDataFile(const std::string& utf8Name, FileHandle* file, int64_t* size);
void closeFile(FileHandle* file);

// Reads exactly `n` bytes at absolute `offset` into `buffer`; kIoShortRead
// when the file ends first.
IoError readAt(FileHandle file, int64_t offset, void* buffer, size_t n);

// Has the kernel copy `n` bytes from `in` at absolute `offset` to the end
// of `out`, without passing them through user memory. kIoUnsupported when
// it cannot for this pair of files and nothing was copied by this call;
// kIoShortRead when `in` ends first.
IoError copyToEnd(FileHandle in, int64_t offset, FileHandle out, size_t n);

// Creates a new, empty temporary file in the current folder that will become
// `finalName`, and registers it for removal on interrupt.
IoError createOutput(const std::string& finalName, OutputFile* out);

// Appends `n` bytes to the output.
IoError writeAll(OutputFile* out, const void* data, size_t n);

// Closes the temporary file and renames it over finalName, replacing an
// earlier file of that name. On failure the temporary file is removed and
// any earlier file of that name is left as it was.
IoError commitOutput(OutputFile* out);

// Closes and removes the temporary file. Safe on an output that failed to
// open or was already discarded.
void discardOutput(OutputFile* out);

// A one-line reason for `error`, without a trailing period or newline.
std::string ioErrorText(IoError error);

// The reasons for the negative codes, shared by both platforms.
const char* ioErrorTextCommon(IoError error);

// printf-style formatting to standard output through writeStdout.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));
