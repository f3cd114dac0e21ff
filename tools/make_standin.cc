// Writes a stand-in kvbgm.dat: the real file's exact layout (16 leading
// bytes, then the 31 tracks at their catalogue offsets) filled with
// synthetic music, deterministic from a seed. Each track plays its own
// chord; the intro is a different, softer chord that fades in and out, and
// the loop segment repeats seamlessly (every voice completes a whole number
// of cycles over it). A variant track holds the previous track's music at
// half the sample rate, as in the real file.
//
//   make_standin [--seed N] [--only T] OUTPUT
//
// --only T writes only track T's audio and leaves the rest of the file a
// hole (silence; sparse where the file system allows), for quick tests.
#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>
#include <numbers>
#include <vector>

#include "catalog/catalog.h"

namespace {

constexpr int kTableBits = 12;
constexpr int kTableSize = 1 << kTableBits;
int16_t gSine[kTableSize];

uint64_t mix(uint64_t x) {  // splitmix64
  x += 0x9e3779b97f4a7c15ull;
  x = (x ^ (x >> 30)) * 0xbf58476d1ce4e5b9ull;
  x = (x ^ (x >> 27)) * 0x94d049bb133111ebull;
  return x ^ (x >> 31);
}

// A sine voice that completes `cycles` whole cycles every `period` frames.
struct Voice {
  uint64_t cycles = 0;
  uint64_t period = 1;
  uint64_t acc = 0;  // phase as a fraction acc / period of a cycle
  int amplitude = 0;
  int next() {
    int index = static_cast<int>((acc << kTableBits) / period);
    acc += cycles;
    if (acc >= period) acc -= period;
    return gSine[index] * amplitude >> 15;
  }
};

Voice voice(double hz, int rate, uint64_t period, int amplitude) {
  Voice v;
  v.period = period;
  v.cycles = static_cast<uint64_t>(std::llround(hz * static_cast<double>(period) / rate));
  if (v.cycles == 0) v.cycles = 1;
  v.cycles %= period;
  v.amplitude = amplitude;
  return v;
}

// Frames [0, frames) of the section, with `rampFrames` fade in and out.
void render(std::vector<Voice>& voices, uint64_t frames, uint64_t rampFrames,
            std::vector<int16_t>* out) {
  out->resize(frames * 2);
  for (uint64_t t = 0; t < frames; ++t) {
    int left = 0, right = 0;
    for (size_t k = 0; k < voices.size(); ++k) {
      int s = voices[k].next();
      // Spread the voices across the stereo field.
      left += s * static_cast<int>(3 - k % 3) / 3;
      right += s * static_cast<int>(1 + k % 3) / 3;
    }
    uint64_t edge = std::min(t, frames - 1 - t);
    if (rampFrames > 0 && edge < rampFrames) {
      left = static_cast<int>(left * static_cast<int64_t>(edge) / static_cast<int64_t>(rampFrames));
      right = static_cast<int>(right * static_cast<int64_t>(edge) / static_cast<int64_t>(rampFrames));
    }
    (*out)[2 * t] = static_cast<int16_t>(left);
    (*out)[2 * t + 1] = static_cast<int16_t>(right);
  }
}

bool writeAt(std::FILE* f, int64_t offset, const std::vector<int16_t>& samples) {
  return std::fseek(f, static_cast<long>(offset), SEEK_SET) == 0 &&
         std::fwrite(samples.data(), sizeof(int16_t), samples.size(), f) == samples.size();
}

// The audio of catalogue index `index`: its music is chosen by `musicIndex`
// (the previous row for a variant track) and the seed.
bool writeTrack(std::FILE* f, int index, uint64_t seed) {
  TrackEntry e = trackEntry(index);
  int rate = sampleRateFor(trackFileName(index));
  int musicIndex = (rate == 22050 && index > 0) ? index - 1 : index;
  uint64_t r = mix(seed ^ mix(static_cast<uint64_t>(musicIndex) + 1));
  double root = 110.0 * std::pow(2.0, static_cast<double>(r % 24) / 12.0);
  bool minor = (r >> 8) & 1;
  double third = root * std::pow(2.0, (minor ? 3.0 : 4.0) / 12.0);
  double fifth = root * 1.5;

  auto introFrames = static_cast<uint64_t>(e.loopStart - e.start) / kFrameBytes;
  auto loopFrames = static_cast<uint64_t>(e.end - e.loopStart) / kFrameBytes;
  std::vector<int16_t> samples;
  // Intro: root and octave, softer, with a fade in and out.
  std::vector<Voice> intro = {voice(root, rate, introFrames, 7000),
                              voice(root * 2, rate, introFrames, 4000)};
  render(intro, introFrames, std::min<uint64_t>(introFrames / 2, static_cast<uint64_t>(rate) / 50), &samples);
  if (!writeAt(f, e.start, samples)) return false;
  // Loop: the full chord, starting and ending at phase 0.
  std::vector<Voice> loop = {voice(root, rate, loopFrames, 6000),
                             voice(third, rate, loopFrames, 5000),
                             voice(fifth, rate, loopFrames, 5000),
                             voice(root * 2, rate, loopFrames, 3000)};
  render(loop, loopFrames, 0, &samples);
  return writeAt(f, e.loopStart, samples);
}

}  // namespace

int main(int argc, char** argv) {
  uint64_t seed = 1;
  int only = 0;
  const char* output = nullptr;
  for (int i = 1; i < argc; ++i) {
    std::string arg = argv[i];
    if (arg == "--seed" && i + 1 < argc) {
      seed = std::strtoull(argv[++i], nullptr, 10);
    } else if (arg == "--only" && i + 1 < argc) {
      char* end = nullptr;
      long track = std::strtol(argv[++i], &end, 10);
      bool valid = end != argv[i] && *end == '\0' && track >= 1 && track <= kTrackCount;
      only = valid ? static_cast<int>(track) : -1;
    } else if (!arg.empty() && arg[0] != '-' && output == nullptr) {
      output = argv[i];
    } else {
      output = nullptr;
      break;
    }
  }
  if (output == nullptr || only < 0) {
    std::fprintf(stderr, "usage: make_standin [--seed N] [--only 1-%d] OUTPUT\n", kTrackCount);
    return 2;
  }
  for (int i = 0; i < kTableSize; ++i) {
    gSine[i] = static_cast<int16_t>(std::lround(32767.0 * std::sin(2.0 * std::numbers::pi * i / kTableSize)));
  }
  prepareCatalog();
  std::FILE* f = std::fopen(output, "wb");
  if (f == nullptr) {
    std::perror(output);
    return 1;
  }
  const char head[16] = "STAND-IN DATA";
  bool ok = std::fwrite(head, 1, sizeof head, f) == sizeof head;
  for (int i = 0; ok && i < kTrackCount; ++i) {
    if (only == 0 || only == i + 1) ok = writeTrack(f, i, seed);
  }
  // Make the file its full size even when its last tracks are holes.
  if (ok && only != 0 && only != kTrackCount) {
    std::vector<int16_t> last(2, 0);
    ok = writeAt(f, kDataFileBytes - kFrameBytes, last);
  }
  if (std::fclose(f) != 0 || !ok) {
    std::perror(output);
    std::remove(output);
    return 1;
  }
  return 0;
}
