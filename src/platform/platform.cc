// The parts of the platform layer that are the same everywhere.
#include "platform/platform.h"

const char* ioErrorTextCommon(IoError error) {
  switch (error) {
    case kIoShortRead: return "the data file ends before the track does";
    case kIoUnsupported: return "no kernel copy between these files";
    case kIoNotFound: return "not found";
    case kIoNotRegular: return "not a regular file";
    case kIoNoMemory: return "out of memory";
    case kIoEncoderFailed: return "the FLAC encoder failed";
    default: return "unknown error";
  }
}

bool isPathSeparator(char c) {
#ifdef _WIN32
  return c == '/' || c == '\\';
#else
  return c == '/';
#endif
}

std::string joinPath(const std::string& folder, const std::string& name) {
  if (folder.empty()) return name;
  if (isPathSeparator(folder.back())) return folder + name;
#ifdef _WIN32
  return folder + "\\" + name;
#else
  return folder + "/" + name;
#endif
}

std::string folderOf(const std::string& path) {
  size_t end = path.size();
  while (end > 0 && !isPathSeparator(path[end - 1])) --end;
  if (end == 0) return "";
#ifdef _WIN32
  if (end == 3 && path[1] == ':') return path.substr(0, 3);  // "C:\"
#endif
  size_t keep = end - 1;
  while (keep > 0 && isPathSeparator(path[keep - 1])) --keep;  // "a//b"
  return keep == 0 ? path.substr(0, 1) : path.substr(0, keep);
}
