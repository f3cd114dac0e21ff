// Small helpers shared by the unit tests: a scratch folder that is the
// current folder for the test's lifetime, whole-file reads and writes, and
// the fixtures of tests that read a stand-in data file.
#pragma once

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <ostream>
#include <random>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "catalog/catalog.h"
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

// A scratch folder holding a stand-in data file, kvbgm.dat, open as
// dataFile until the test ends. A fixture derived from it writes the bytes
// its tests need with useDataFile in its SetUp; a test cuts them short with
// cutDataFile.
class DataFileTest : public ::testing::Test {
 protected:
  ScratchFolder folder;
  FileHandle dataFile;

  // Writes `bytes` as kvbgm.dat and opens it as dataFile, closing the
  // handle it had.
  IoError useDataFile(const std::vector<uint8_t>& bytes) {
    closeFile(&dataFile);
    writeBytes("kvbgm.dat", bytes);
    int64_t size = 0;
    return openDataFile("kvbgm.dat", &dataFile, &size);
  }
  void TearDown() override { closeFile(&dataFile); }
};

// A data file with one made-up track at 44,100 Hz: a half-second intro and
// a 1.5-second loop from byte 16, then a second of other audio that the
// track never plays. Each fixture derived from it fills the file with the
// audio its checks need.
class TrackFileTest : public DataFileTest {
 protected:
  static constexpr int32_t kRate = 44100;
  static constexpr int32_t kSecond = kRate * kFrameBytes;
  const TrackEntry entry{16, 16 + kSecond / 2, 16 + 2 * kSecond};
};

// The made-up track for the tests of the encoders, which encode the stream
// that readStream gives.
class EncoderTest : public TrackFileTest {
 protected:
  GainTable gains;

  // The gains of the plan's fade, null when it has none.
  const GainTable* gainsOf(const TrackPlan& plan) {
    if (plan.fadeBytes == 0) return nullptr;
    EXPECT_EQ(prepareGains(&gains, plan.pattern, plan.fadeBytes / kFrameBytes), kIoOk);
    return &gains;
  }

  std::vector<int16_t> stream(const TrackPlan& plan) {
    std::vector<int16_t> samples(static_cast<size_t>(plan.dataLength / 2));
    EXPECT_EQ(readStream(dataFile, plan, 0, samples.data(), static_cast<size_t>(plan.dataLength),
                         gainsOf(plan)),
              kIoOk);
    return samples;
  }
};

// Settings of `repeat` passes and `fade` seconds of `pattern`; play() with
// loop points when asked, settings() with the curve by its number.
inline RenderSettings play(int32_t repeat, int32_t fade, FadePattern pattern,
                           bool loopPoints = false) {
  RenderSettings s;
  s.repeat = repeat, s.fade = fade, s.pattern = pattern, s.loopPoints = loopPoints;
  return s;
}

inline RenderSettings settings(int32_t repeat, int32_t fade, int32_t pattern = 0) {
  RenderSettings o;
  o.repeat = repeat;
  o.fade = fade;
  o.pattern = static_cast<FadePattern>(pattern);
  return o;
}

// Repeats, and fades that fit in the last pass, reach back into the pass
// before, stay inside the loop or wrap around it (a 1.5-second loop). A
// fade half as long as the one before it, with the same curve, reads every
// other gain of the table kept from that one.
inline const RenderSettings kWriterCases[] = {
    settings(1, 0),     settings(2, 0),     settings(10, 0),
    settings(2, 1, 0),  settings(2, 3, 1),  settings(1, 2, 2),
    settings(3, -1, 3), settings(2, -4, 0), settings(1, -2, 0),
    settings(1, -2, 1),
};

// The made-up track's data file as samples, full-scale values of both
// signs, different in every frame; and the stream that a plan of the track
// must give, built from them frame by frame.
class TrackStream : public TrackFileTest {
 protected:
  std::vector<int16_t> data;  // the data file as samples

  void SetUp() override {
    size_t bytes = static_cast<size_t>(entry.end) + kSecond;
    data.resize(bytes / 2);
    for (size_t i = 0; i < data.size(); ++i) {
      // Full-scale values of both signs, different in every frame.
      data[i] = static_cast<int16_t>(static_cast<uint16_t>(i * 40503u + 12345u));
    }
    std::vector<uint8_t> raw(bytes);
    std::memcpy(raw.data(), data.data(), bytes);
    ASSERT_EQ(useDataFile(raw), kIoOk);
  }

  // What the file must hold after its header, built frame by frame: the
  // track, the loop again for each further pass, then the loop played on;
  // the last |fade| seconds scaled by the curve.
  std::vector<int16_t> expected(const RenderSettings& o) {
    std::vector<int64_t> frames;  // data-file frame indices
    int64_t start = entry.start / 4, loop = entry.loopStart / 4, end = entry.end / 4;
    for (int64_t f = start; f < end; ++f) frames.push_back(f);
    for (int pass = 1; pass < o.repeat; ++pass) {
      for (int64_t f = loop; f < end; ++f) frames.push_back(f);
    }
    int64_t n = int64_t{std::abs(o.fade)} * kRate;
    if (o.fade < 0) {
      for (int64_t k = 0; k < n; ++k) frames.push_back(loop + k % (end - loop));
    }
    std::vector<int16_t> samples;
    size_t fadeFrom = frames.size() - static_cast<size_t>(n);
    for (size_t k = 0; k < frames.size(); ++k) {
      for (int c = 0; c < 2; ++c) {
        int16_t s = data[static_cast<size_t>(frames[k]) * 2 + c];
        if (k >= fadeFrom) {
          double g = fadeGain(o.pattern,
                              static_cast<int64_t>(k - fadeFrom), n);
          s = static_cast<int16_t>(std::trunc(s * g));
        }
        samples.push_back(s);
      }
    }
    return samples;
  }
};
