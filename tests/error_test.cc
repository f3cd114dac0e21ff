#include "error/error.h"

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>

#include "test_util.h"

#ifdef _WIN32
#include <windows.h>
#else
#include <errno.h>
#endif

namespace {

// One code of each family the checks tell apart, in the platform's terms.
#ifdef _WIN32
constexpr int32_t kNoSpace = ERROR_DISK_FULL;
constexpr int32_t kAccessDenied = ERROR_ACCESS_DENIED;
constexpr int32_t kTooManyFiles = ERROR_TOO_MANY_OPEN_FILES;
constexpr int32_t kOutOfMemory = ERROR_NOT_ENOUGH_MEMORY;
constexpr int32_t kNotFound = ERROR_FILE_NOT_FOUND;
constexpr int32_t kBadDevice = ERROR_CRC;
#else
constexpr int32_t kNoSpace = ENOSPC;
constexpr int32_t kAccessDenied = EACCES;
constexpr int32_t kTooManyFiles = EMFILE;
constexpr int32_t kOutOfMemory = ENOMEM;
constexpr int32_t kNotFound = ENOENT;
constexpr int32_t kBadDevice = EIO;
#endif

ErrorKind kindAt(int k) { return static_cast<ErrorKind>(k); }

}  // namespace

// The lines a user reads: every kind has one of its own, and those of the
// tool's own kinds are the words messages have always had.
TEST(ErrorTable, EveryKindHasATextOfItsOwn) {
  std::set<std::string> seen;
  for (int k = 0; k < kErrorKindCount; ++k) {
    std::string text = errorKindText(kindAt(k));
    EXPECT_FALSE(text.empty()) << k;
    EXPECT_NE(text.back(), '.') << text;
    EXPECT_NE(text.back(), '\n') << text;
    EXPECT_TRUE(seen.insert(text).second) << "shared: " << text;
  }
  struct Case {
    IoError error;
    const char* text;
  } cases[] = {
      {kIoShortRead, "the data file ends before the track does"},
      {kIoUnsupported, "no kernel copy between these files"},
      {kIoNotFound, "not found"},
      {kIoNotRegular, "not a regular file"},
      {kIoNoMemory, "out of memory"},
      {kIoBrokenLink, "a symbolic link on the way points to nothing"},
      {kIoChanged, "it changed while it was read"},
      {kWaveChunkTooLarge, "a copy chunk larger than the buffer"},
      {kFlacEncoderFailed, "the FLAC encoder failed"},
      {kOggEncoderFailed, "the Vorbis encoder failed"},
      {kLoudnessFailed, "the loudness meter refused the stream"},
      {kWaveTooLarge, "more audio than a WAV file can hold"},
  };
  std::set<ErrorKind> kinds;
  for (const Case& c : cases) {
    EXPECT_EQ(ioErrorText(c.error), c.text);
    EXPECT_EQ(c.error.code, 0) << c.text;
    EXPECT_TRUE(kinds.insert(c.error.kind).second) << "two constants of one kind: " << c.text;
  }
  // Every kind but None and System has its constant.
  EXPECT_EQ(kinds.size(), static_cast<size_t>(kErrorKindCount - 2));
}

// A system code reads as the system words it, whichever side met it.
TEST(ErrorTable, SystemCodeTextIsTheSystems) {
  for (int32_t code : {kNotFound, kNoSpace, kAccessDenied, kBadDevice}) {
    std::string write = ioErrorText(systemError(code));
    EXPECT_EQ(ioErrorText(readFailure(code)), write) << code;
#ifdef _WIN32
    // FormatMessage's words, without the period and line break it ends with.
    EXPECT_FALSE(write.empty()) << code;
    EXPECT_NE(write.back(), '.') << write;
    EXPECT_NE(write.back(), '\n') << write;
    EXPECT_NE(write, "error " + std::to_string(code));
#else
    EXPECT_EQ(write, std::strerror(code)) << code;
#endif
  }
  std::set<std::string> texts;
  for (int32_t code : {kNotFound, kNoSpace, kAccessDenied, kBadDevice}) {
    texts.insert(ioErrorText(systemError(code)));
  }
  EXPECT_EQ(texts.size(), 4u);
#ifdef _WIN32
  // A code the system has no text for still gives a line.
  EXPECT_EQ(ioErrorText(systemError(0x1fffffff)), "error 536870911");
#endif
}

TEST(ErrorRecord, SystemErrorsKeepTheirCodeAndSide) {
  EXPECT_EQ(systemError(0), kIoOk);
  EXPECT_EQ(readFailure(0), kIoOk);
  IoError written = systemError(kBadDevice);
  IoError read = readFailure(kBadDevice);
  EXPECT_EQ(written.kind, ErrorKind::System);
  EXPECT_EQ(read.kind, ErrorKind::System);
  EXPECT_EQ(written.code, kBadDevice);
  EXPECT_EQ(read.code, kBadDevice);
  EXPECT_EQ(written.side, ErrorSide::Output);
  EXPECT_EQ(read.side, ErrorSide::DataFile);
  EXPECT_NE(written, read);
  EXPECT_NE(written, systemError(kNoSpace));
  EXPECT_EQ(written, systemError(kBadDevice));
}

// Which questions each error answers yes to, met writing an output and
// met reading the data file.
TEST(ErrorRecord, ChecksTellReadsFromWrites) {
  struct Case {
    const char* name;
    IoError error;
    bool read, noSpace, unwritable, resource;
  } cases[] = {
      {"ok", kIoOk, false, false, false, false},
      {"disk full", systemError(kNoSpace), false, true, false, true},
      {"access denied", systemError(kAccessDenied), false, false, true, false},
      {"too many files", systemError(kTooManyFiles), false, false, false, true},
      {"system memory", systemError(kOutOfMemory), false, false, false, true},
      {"no memory", kIoNoMemory, false, false, false, true},
      {"device", systemError(kBadDevice), false, false, false, false},
      {"read device", readFailure(kBadDevice), true, false, false, false},
      // A read is never taken for the output's disk, folder or resources.
      {"read disk full", readFailure(kNoSpace), true, false, false, false},
      {"read access denied", readFailure(kAccessDenied), true, false, false, false},
      {"read memory", readFailure(kOutOfMemory), true, false, false, false},
      {"changed", kIoChanged, true, false, false, false},
      {"changed, either side", IoError{ErrorKind::Changed}, true, false, false, false},
      {"short read", kIoShortRead, false, false, false, false},
      {"not found", kIoNotFound, false, false, false, false},
      {"flac", kFlacEncoderFailed, false, false, false, false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(isReadFailure(c.error), c.read) << c.name;
    EXPECT_EQ(isNoSpace(c.error), c.noSpace) << c.name;
    EXPECT_EQ(isFolderUnwritable(c.error), c.unwritable) << c.name;
    EXPECT_EQ(isResourceError(c.error), c.resource) << c.name;
  }
}
