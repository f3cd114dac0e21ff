// The parts of the platform layer that are the same everywhere.
#include "platform/platform.h"

#include <cstdlib>

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

IoError makeFolders(const std::string& path, std::vector<std::string>* made) {
  // Where each folder named by the path ends: before each run of separators
  // that follows a name, and at the end.
  std::vector<size_t> ends;
  for (size_t i = 1; i <= path.size(); ++i) {
    bool nameBefore = !isPathSeparator(path[i - 1]);
    if (nameBefore && (i == path.size() || isPathSeparator(path[i]))) ends.push_back(i);
  }
  // The deepest folder that is already there. A path too long for the
  // system fails on the first look, before anything is made.
  size_t have = ends.size();
  for (; have > 0; --have) {
    IoError status = folderStatus(path.substr(0, ends[have - 1]));
    if (status == kIoOk) break;
    if (status != kIoNotFound) return status;
  }
  std::vector<std::string> mine;
  for (size_t k = have; k < ends.size(); ++k) {
    std::string folder = path.substr(0, ends[k]);
    bool madeIt = false;
    IoError error = makeFolder(folder, &madeIt);
    if (error != kIoOk) {
      removeFolders(mine);
      return error;
    }
    if (madeIt) mine.push_back(folder);
  }
  made->insert(made->end(), mine.begin(), mine.end());
  return kIoOk;
}

void removeFolders(const std::vector<std::string>& folders) {
  for (auto it = folders.rbegin(); it != folders.rend(); ++it) removeFolder(*it);
}

bool sameFile(const FileIdentity& a, const FileIdentity& b) {
  return a.known && b.known && a.volume == b.volume && a.file == b.file;
}

bool memoryAvailable(size_t bytes) {
  // Volatile, so that the compiler cannot take the pair away. The block is
  // never written, so checking costs no page of memory.
  void* volatile block = std::malloc(bytes);
  bool had = block != nullptr;
  std::free(block);
  return had;
}

std::string redrawLineText(bool takesEscapes, const std::string& text, size_t previous) {
  std::string bytes = "\r" + text;
  if (takesEscapes) return bytes + "\x1b[K";
  if (previous > text.size()) bytes.append(previous - text.size(), ' ');
  if (text.empty()) bytes += '\r';
  return bytes;
}
