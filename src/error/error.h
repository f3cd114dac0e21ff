// Every error the tool can meet, in one place: what went wrong (a kind),
// on which side (reading the data file, or anything else: writing an
// output, making its folder, starting a thread), the system's own code
// where the system said it, and the one line that tells a user why. Every
// module returns an IoError; this one includes no other module of the
// tool, so that all of them may include it.
//
// The text of a system code is the system's own: strerror on POSIX,
// FormatMessage on Windows. It is made here, behind #ifdef _WIN32, rather
// than in the platform layer, so that the text of any IoError is one call
// (ioErrorText) and platform need not know how errors are worded. For the
// same reason the questions a caller asks of a system code (isNoSpace and
// the rest) are answered here, with each platform's codes.
#pragma once

#include <cstdint>
#include <string>

enum class ErrorKind : uint8_t {
  None,               // no error
  System,             // the system refused: IoError::code says why
  ShortRead,          // the data file ended before the range
  Unsupported,        // no kernel copy for this pair of files
  NotFound,           // no file or folder of that name
  NotRegular,         // a folder, FIFO, device... not a file
  NoMemory,           // an allocation failed
  BrokenLink,         // a symbolic link to nothing on the way
  Changed,            // the data file changed while it was read
  ChunkTooLarge,      // a WAV copy asked for chunks larger than a buffer
  FlacEncoderFailed,  // libFLAC gave up (or refused a tag)
  OggEncoderFailed,   // libvorbis gave up (or a setting or tag was refused)
  LoudnessFailed,     // libebur128 refused the stream's settings
  WaveTooLarge,       // a plan too long for a WAV file's 32-bit sizes
};

// One past the last kind, for tables and loops over every kind.
constexpr int kErrorKindCount = static_cast<int>(ErrorKind::WaveTooLarge) + 1;

// Where an error was met: reading the data file, or anywhere else (an
// output or its folder, standard output, a thread).
enum class ErrorSide : uint8_t { Output, DataFile };

// An outcome: kind None (kIoOk) for success. `code` is the system's code
// (errno, or a Windows error code) for kind System, and 0 for every other
// kind. Compared whole: a read failure is not the same error as a write
// failure of the same code.
struct IoError {
  ErrorKind kind = ErrorKind::None;
  ErrorSide side = ErrorSide::Output;
  int32_t code = 0;
  friend constexpr bool operator==(const IoError&, const IoError&) = default;
};

constexpr IoError kIoOk{};
constexpr IoError kIoShortRead{ErrorKind::ShortRead};
constexpr IoError kIoUnsupported{ErrorKind::Unsupported};
constexpr IoError kIoNotFound{ErrorKind::NotFound};
constexpr IoError kIoNotRegular{ErrorKind::NotRegular};
constexpr IoError kIoNoMemory{ErrorKind::NoMemory};
constexpr IoError kIoBrokenLink{ErrorKind::BrokenLink};
// Always met on the data file's side, so isReadFailure holds for it.
constexpr IoError kIoChanged{ErrorKind::Changed, ErrorSide::DataFile};
constexpr IoError kWaveChunkTooLarge{ErrorKind::ChunkTooLarge};
constexpr IoError kFlacEncoderFailed{ErrorKind::FlacEncoderFailed};
constexpr IoError kOggEncoderFailed{ErrorKind::OggEncoderFailed};
constexpr IoError kLoudnessFailed{ErrorKind::LoudnessFailed};
constexpr IoError kWaveTooLarge{ErrorKind::WaveTooLarge};

// The error for system code `code` (errno, or a Windows error code), met
// on `side`; kIoOk for code 0, which no system gives for a failure.
constexpr IoError systemError(int32_t code, ErrorSide side = ErrorSide::Output) {
  return code == 0 ? kIoOk : IoError{ErrorKind::System, side, code};
}

// A system error met reading the data file rather than writing an output,
// so that a message can say which: systemError(code, ErrorSide::DataFile).
constexpr IoError readFailure(int32_t code) { return systemError(code, ErrorSide::DataFile); }

// True for an error met on the data file's side: a read failure, and
// kIoChanged.
bool isReadFailure(IoError error);

// The text of a kind, from the one table of them, without a trailing
// period or newline: for kind System the words used when the system has no
// text of its own for a code. Every kind has its own text.
const char* errorKindText(ErrorKind kind);

// A one-line reason for `error`, without a trailing period or newline:
// the system's text for its code (see the top of this file) for kind
// System, whichever side it was met on; errorKindText otherwise.
std::string ioErrorText(IoError error);

// The next three look at system errors met outside the data file's reads
// only; each is false for a read failure.

// True when `error` says that the disk or the user's quota is full.
bool isNoSpace(IoError error);

// True when `error` says that nothing can be made in the folder itself:
// permission denied, or a read-only file system or medium.
bool isFolderUnwritable(IoError error);

// True when `error` says that the system ran short of something that a
// run of fewer files at once may still have: disk space or quota (isNoSpace),
// open files, memory (kIoNoMemory included), or threads.
bool isResourceError(IoError error);
