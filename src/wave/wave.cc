#include "wave/wave.h"

#include <algorithm>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <string>

static_assert(std::endian::native == std::endian::little,
              "samples are read and written in host byte order");

// Where the loader picks among builds of a function at run time, the
// scaling loops come in an AVX2 build as well. Products and truncations give
// the same results in any width of register.
#if defined(__x86_64__) && defined(__linux__)
#define KVBGM_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KVBGM_VECTOR_CLONES
#endif

namespace {

void put16(uint8_t* p, uint32_t v) {
  p[0] = static_cast<uint8_t>(v);
  p[1] = static_cast<uint8_t>(v >> 8);
}

void put32(uint8_t* p, uint32_t v) {
  put16(p, v & 0xffffu);
  put16(p + 2, v >> 16);
}

char* bufferBytes(ChunkBuffer* buffer) {
  return reinterpret_cast<char*>(buffer->samples);
}

// The gains of an n-frame fade, kept with the even frames' gains first and
// the odd frames' after them: gains[t / 2] for even t, gains[(n + 1) / 2 +
// t / 2] for odd t. A table for 2n frames also serves an n-frame fade, with
// frame t at 2t, an even frame (t / n and 2t / 2n are the same double): so a
// run's 22,050 Hz tracks read just the first half of its 44,100 Hz tracks'
// table, contiguously.
struct GainView {
  const double* even;  // gain of frame 2k at even[k]
  const double* odd;   // gain of frame 2k + 1 at odd[k]; null for a half table
};

GainView gainTable(ChunkBuffer* buffer, FadePattern pattern, int64_t n) {
  auto size = static_cast<int64_t>(buffer->gains.size());
  const double* table = buffer->gains.data();
  if (buffer->gainPattern == pattern && size > 0) {
    if (size == n) return {table, table + (n + 1) / 2};
    if (size == 2 * n) return {table, nullptr};
  }
  buffer->gains.resize(static_cast<size_t>(n));
  double* even = buffer->gains.data();
  double* odd = even + (n + 1) / 2;
  for (int64_t t = 0; t < n; ++t) {
    (t % 2 == 0 ? even : odd)[t / 2] = fadeGain(pattern, t, n);
  }
  buffer->gainPattern = pattern;
  return {even, odd};
}

// Both samples of frame j times gains[j], truncated toward zero (conversion
// to an integer truncates; |sample * gain| always fits in 16 bits).
KVBGM_VECTOR_CLONES
void scaleByGains(int16_t* __restrict s, const double* __restrict gains, int64_t frames) {
  for (int64_t j = 0; j < frames; ++j) {
    s[2 * j] = static_cast<int16_t>(static_cast<int32_t>(s[2 * j] * gains[j]));
    s[2 * j + 1] = static_cast<int16_t>(static_cast<int32_t>(s[2 * j + 1] * gains[j]));
  }
}

// The same for pairs of frames, the first of each pair scaled by even[k],
// the second by odd[k].
KVBGM_VECTOR_CLONES
void scaleByPairs(int16_t* __restrict s, const double* __restrict even,
                  const double* __restrict odd, int64_t pairs) {
  for (int64_t k = 0; k < pairs; ++k) {
    s[4 * k] = static_cast<int16_t>(static_cast<int32_t>(s[4 * k] * even[k]));
    s[4 * k + 1] = static_cast<int16_t>(static_cast<int32_t>(s[4 * k + 1] * even[k]));
    s[4 * k + 2] = static_cast<int16_t>(static_cast<int32_t>(s[4 * k + 2] * odd[k]));
    s[4 * k + 3] = static_cast<int16_t>(static_cast<int32_t>(s[4 * k + 3] * odd[k]));
  }
}

}  // namespace

WaveHeader buildWaveHeader(uint32_t dataLength, int32_t sampleRate) {
  WaveHeader h;
  uint8_t* p = h.bytes;
  auto rate = static_cast<uint32_t>(sampleRate);
  std::memcpy(p + 0, "RIFF", 4);
  put32(p + 4, dataLength + 36);
  std::memcpy(p + 8, "WAVE", 4);
  std::memcpy(p + 12, "fmt ", 4);
  put32(p + 16, 16);                  // format chunk size
  put16(p + 20, 1);                   // PCM
  put16(p + 22, 2);                   // channels
  put32(p + 24, rate);                // frames per second
  put32(p + 28, rate * kFrameBytes);  // bytes per second
  put16(p + 32, kFrameBytes);         // block align
  put16(p + 34, 16);                  // bits per sample
  std::memcpy(p + 36, "data", 4);
  put32(p + 40, dataLength);
  return h;
}

int64_t trackDataLength(const TrackEntry& entry, const ExtractOptions& options,
                        int32_t bytesPerSecond) {
  int64_t length = int64_t{entry.end} - entry.start +
                   (int64_t{entry.end} - entry.loopStart) * (options.repeat - 1);
  if (options.fade < 0) length += int64_t{-options.fade} * bytesPerSecond;
  return length;
}

TrackPlan planTrack(const TrackEntry& entry, const ExtractOptions& options,
                    int32_t sampleRate) {
  TrackPlan plan;
  plan.sampleRate = sampleRate;
  auto add = [&plan](int64_t from, int64_t to) {
    plan.ranges.push_back({from, to});
    plan.dataLength += to - from;
  };
  add(entry.start, entry.end);
  for (int pass = 1; pass < options.repeat; ++pass) add(entry.loopStart, entry.end);
  int64_t bytesPerSecond = int64_t{sampleRate} * kFrameBytes;
  plan.fadeBytes = int64_t{std::abs(options.fade)} * bytesPerSecond;
  if (options.fade < 0) {
    // Play on from the loop start, around the loop as often as it takes.
    for (int64_t left = plan.fadeBytes; left > 0;) {
      int64_t n = std::min<int64_t>(left, int64_t{entry.end} - entry.loopStart);
      add(entry.loopStart, entry.loopStart + n);
      left -= n;
    }
  }
  plan.fadeBytes = std::min(plan.fadeBytes, plan.dataLength);
  return plan;
}

double fadeGain(FadePattern pattern, int64_t t, int64_t n) {
  double x = static_cast<double>(t) / static_cast<double>(n);
  switch (pattern) {
    case FadePattern::Exponential: return std::pow(0.001, x);
    case FadePattern::Linear: return 1.0 - x;
    case FadePattern::Blend: return (std::pow(0.001, x) + (1.0 - x)) * 0.5;
    case FadePattern::RaisedCosine:
      return (std::cos(static_cast<double>(t) * 3.1415926535 /
                       static_cast<double>(n)) + 1.0) * 0.5;
  }
  return 1.0;
}

void scaleFrames(ChunkBuffer* buffer, int64_t frameCount, int64_t firstFrame,
                 int64_t n, FadePattern pattern) {
  GainView g = gainTable(buffer, pattern, n);
  int16_t* s = buffer->samples;
  if (g.odd == nullptr) {
    scaleByGains(s, g.even + firstFrame, frameCount);
    return;
  }
  int64_t t = firstFrame, end = firstFrame + frameCount;
  if (t < end && t % 2 != 0) {  // an odd frame first
    scaleByGains(s, g.odd + t / 2, 1);
    s += 2, ++t;
  }
  int64_t pairs = (end - t) / 2;
  scaleByPairs(s, g.even + t / 2, g.odd + t / 2, pairs);
  s += 4 * pairs, t += 2 * pairs;
  if (t < end) scaleByGains(s, g.even + t / 2, 1);  // an even frame last
}

IoError copyRangeChunked(FileHandle dataFile, OutputFile* output, int64_t from,
                         int64_t to, int32_t bytesPerSecond,
                         ChunkBuffer* buffer) {
  for (int64_t pos = from; pos < to; pos += bytesPerSecond) {
    auto n = static_cast<size_t>(std::min<int64_t>(bytesPerSecond, to - pos));
    IoError error = readAt(dataFile, pos, bufferBytes(buffer), n);
    if (error == kIoOk) error = writeAll(output, bufferBytes(buffer), n);
    if (error != kIoOk) return error;
  }
  return kIoOk;
}

IoError copyRange(FileHandle dataFile, OutputFile* output, int64_t from,
                  int64_t to, int32_t bytesPerSecond, ChunkBuffer* buffer) {
  if (to <= from) return kIoOk;
  IoError error = copyToEnd(dataFile, from, output->file, static_cast<size_t>(to - from));
  if (error != kIoUnsupported) return error;
  return copyRangeChunked(dataFile, output, from, to, bytesPerSecond, buffer);
}

IoError applyFade(FileHandle dataFile, OutputFile* output, int64_t from,
                  int64_t to, int64_t firstFrame, int64_t n,
                  FadePattern pattern, ChunkBuffer* buffer) {
  for (int64_t pos = from; pos < to; pos += kChunkBufferBytes) {
    auto bytes = static_cast<size_t>(std::min<int64_t>(kChunkBufferBytes, to - pos));
    IoError error = readAt(dataFile, pos, bufferBytes(buffer), bytes);
    if (error != kIoOk) return error;
    scaleFrames(buffer, static_cast<int64_t>(bytes) / kFrameBytes,
                firstFrame + (pos - from) / kFrameBytes, n, pattern);
    error = writeAll(output, bufferBytes(buffer), bytes);
    if (error != kIoOk) return error;
  }
  return kIoOk;
}

IoError writeTrack(FileHandle dataFile, OutputFile* output,
                   const TrackPlan& plan, FadePattern pattern,
                   ChunkBuffer* buffer) {
  WaveHeader header =
      buildWaveHeader(static_cast<uint32_t>(plan.dataLength), plan.sampleRate);
  IoError error = writeAll(output, header.bytes, sizeof header.bytes);
  int32_t bytesPerSecond = plan.sampleRate * kFrameBytes;
  int64_t fadeStart = plan.dataLength - plan.fadeBytes;  // stream offset
  int64_t fadeFrames = plan.fadeBytes / kFrameBytes;
  int64_t streamPos = 0;
  for (const ByteRange& r : plan.ranges) {
    if (error != kIoOk) break;
    // The part of this range before the fade is copied as it is, the rest
    // is faded, counting frames from the start of the fade.
    int64_t plain = std::clamp(fadeStart - streamPos, int64_t{0}, r.to - r.from);
    error = copyRange(dataFile, output, r.from, r.from + plain, bytesPerSecond, buffer);
    if (error == kIoOk && r.from + plain < r.to) {
      error = applyFade(dataFile, output, r.from + plain, r.to,
                        (streamPos + plain - fadeStart) / kFrameBytes, fadeFrames,
                        pattern, buffer);
    }
    streamPos += r.to - r.from;
  }
  return error;
}

bool renderTrack(FileHandle dataFile, int index, const ExtractOptions& options,
                 ChunkBuffer* buffer) {
  const char* name = trackFileName(index);
  std::string utf8;
  IoError error = cp932ToUtf8(name, &utf8);
  if (error != kIoOk) utf8 = name;
  say("Create %s ...\n", utf8.c_str());
  TrackPlan plan = planTrack(trackEntry(index), options, sampleRateFor(name));
  OutputFile output;
  if (error == kIoOk) error = createOutput(utf8, &output);
  if (error == kIoOk) {
    error = writeTrack(dataFile, &output, plan,
                       static_cast<FadePattern>(options.fadePattern), buffer);
  }
  if (error == kIoOk) {
    error = commitOutput(&output);
  } else {
    discardOutput(&output);
  }
  if (error != kIoOk) {
    say("cannot write %s: %s\n", utf8.c_str(), ioErrorText(error).c_str());
    return false;
  }
  return true;
}
