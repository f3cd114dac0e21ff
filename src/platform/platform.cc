// The parts of the platform layer that are the same everywhere.
#include <cstdarg>
#include <cstdio>
#include <vector>

#include "platform/platform.h"

const char* ioErrorTextCommon(IoError error) {
  switch (error) {
    case kIoShortRead: return "the data file ends before the track does";
    case kIoUnsupported: return "no kernel copy between these files";
    case kIoBadName: return "the name is not valid code page 932";
    default: return "unknown error";
  }
}

void say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::vector<char> text(static_cast<size_t>(length > 0 ? length : 0) + 1);
  std::vsnprintf(text.data(), text.size(), format, again);
  va_end(again);
  writeStdout(std::string(text.data(), text.size() - 1));
}
