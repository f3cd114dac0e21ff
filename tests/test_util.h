// Small helpers shared by the unit tests: a scratch folder that is the
// current folder for the test's lifetime, and whole-file reads and writes.
#pragma once

#include <cstdint>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "platform/platform.h"

// How GoogleTest shows an IoError that a check did not expect.
inline void PrintTo(const IoError& error, std::ostream* out) {
  *out << "{kind " << static_cast<int>(error.kind)
       << (error.side == ErrorSide::DataFile ? ", data file" : "") << ", code " << error.code
       << ": " << ioErrorText(error) << "}";
}

class ScratchFolder {
 public:
  ScratchFolder() : previous_(std::filesystem::current_path()) {
    std::random_device seed;
    path_ = std::filesystem::temp_directory_path() /
            ("kvbgm2wav-test-" + std::to_string(seed()));
    std::filesystem::create_directories(path_);
    std::filesystem::current_path(path_);
  }
  ~ScratchFolder() {
    std::filesystem::current_path(previous_);
    std::filesystem::remove_all(path_);
  }
  ScratchFolder(const ScratchFolder&) = delete;
  ScratchFolder& operator=(const ScratchFolder&) = delete;

  // The names of the files in the folder, sorted.
  std::vector<std::string> names() const {
    std::vector<std::string> result;
    for (const auto& entry : std::filesystem::directory_iterator(path_)) {
      result.push_back(entry.path().filename().string());
    }
    std::sort(result.begin(), result.end());
    return result;
  }

 private:
  std::filesystem::path previous_;
  std::filesystem::path path_;
};

inline void writeBytes(const std::string& name, const std::vector<uint8_t>& bytes) {
  std::ofstream out(name, std::ios::binary | std::ios::trunc);
  out.write(reinterpret_cast<const char*>(bytes.data()), static_cast<std::streamsize>(bytes.size()));
}

inline std::vector<uint8_t> readBytes(const std::string& name) {
  std::ifstream in(name, std::ios::binary);
  return std::vector<uint8_t>(std::istreambuf_iterator<char>(in), {});
}

// The arguments of a table row, quoted, to say which row failed.
inline std::string quoted(const std::vector<const char*>& args) {
  std::string text;
  for (const char* a : args) text += std::string("'") + a + "' ";
  return text;
}

// Cuts the data file `name` to its first `keep` bytes and opens it again
// as *dataFile, closing the handle it had.
inline IoError cutDataFile(const std::string& name, size_t keep, FileHandle* dataFile) {
  closeFile(dataFile);
  std::vector<uint8_t> raw = readBytes(name);
  raw.resize(keep);
  writeBytes(name, raw);
  int64_t size = 0;
  return openDataFile(name, dataFile, &size);
}
