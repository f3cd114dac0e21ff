#include "wave/wave.h"

#include <algorithm>
#include <atomic>
#include <bit>
#include <cmath>
#include <cstdlib>
#include <cstring>
#include <new>
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

// Scales `frameCount` frames at `samples` as frames firstFrame, ... of the
// fade whose gains `g` shows.
void scaleView(GainView g, int16_t* samples, int64_t frameCount, int64_t firstFrame) {
  int16_t* s = samples;
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

// Reads bytes [offset, offset + n) of the planned stream, unfaded, to `out`.
IoError readRanges(FileHandle dataFile, const TrackPlan& plan, int64_t offset, void* out,
                   size_t n) {
  int64_t end = offset + static_cast<int64_t>(n);
  int64_t streamPos = 0;  // stream offset of the range r
  char* dest = static_cast<char*>(out);
  for (const ByteRange& r : plan.ranges) {
    int64_t from = std::max(offset, streamPos);
    int64_t to = std::min(end, streamPos + (r.to - r.from));
    if (from < to) {
      IoError error = readAt(dataFile, r.from + (from - streamPos), dest + (from - offset),
                             static_cast<size_t>(to - from));
      if (error != kIoOk) return error;
    }
    streamPos += r.to - r.from;
  }
  return kIoOk;
}

// A track's fade on two threads. Its work is a list of items that either
// thread claims in order: first the blocks of gains that the buffer does not
// hold yet, then the pieces of the faded stream, each read, scaled and
// written at its own place in the file. The buffer's helper thread starts on
// them at once, while the caller's thread has the kernel copy the unfaded
// part; then the caller takes its share of what is left. The bytes are those
// of scaleFrames: the same gains and products, computed elsewhere.
constexpr int64_t kGainBlockFrames = 8192;  // the gains one thread claims at a time

// One thread's part: its buffer, and the first piece it could not write.
struct FadeShare {
  int16_t* samples = nullptr;  // kChunkBufferBytes
  int32_t failedPiece = INT32_MAX;
  IoError error = kIoOk;
};

struct FadeWork {
  // Set before the helper starts on it, then only read.
  FileHandle dataFile;
  OutputFile* output = nullptr;
  const TrackPlan* plan = nullptr;
  int64_t fadeStart = 0;    // stream offset of the first faded byte
  int64_t fileOffset = 0;   // where it goes in the file
  GainView gains = {};      // the table the fade uses
  int64_t tableFrames = 0;  // the frames of the table being computed
  int32_t blockCount = 0;   // its blocks; 0 when the table is kept
  int32_t pieceCount = 0;   // pieces of kChunkBufferBytes
  // Shared.
  std::atomic<int32_t> nextBlock{0};   // the next block to claim
  std::atomic<int32_t> blocksDone{0};  // blocks computed
  std::atomic<int32_t> nextPiece{0};   // the next piece to claim
  std::atomic<bool> stop{false};       // a thread failed: claim no more
  FadeShare helperShare;
};

// The gains of frames [from, to) of an n-frame fade, into the table `g`.
void computeGains(GainView g, FadePattern pattern, int64_t from, int64_t to, int64_t n) {
  auto* even = const_cast<double*>(g.even);
  auto* odd = const_cast<double*>(g.odd);
  for (int64_t t = from; t < to; ++t) {
    (t % 2 == 0 ? even : odd)[t / 2] = fadeGain(pattern, t, n);
  }
}

// Claims and does items until none is left or a thread has failed. Returns
// once its own items are done; the other thread's may still be under way.
void doFadeWork(FadeWork* w, FadeShare* share) {
  if (w->blockCount > 0) {
    for (;;) {
      if (w->stop.load(std::memory_order_relaxed)) return;
      int32_t block = w->nextBlock.fetch_add(1, std::memory_order_relaxed);
      if (block >= w->blockCount) break;
      int64_t from = block * kGainBlockFrames;
      computeGains(w->gains, w->plan->pattern, from,
                   std::min(w->tableFrames, from + kGainBlockFrames), w->tableFrames);
      if (w->blocksDone.fetch_add(1, std::memory_order_release) + 1 == w->blockCount) {
        w->blocksDone.notify_all();
      }
    }
    // Every block is claimed; wait for those the other thread is finishing.
    for (int32_t done; (done = w->blocksDone.load(std::memory_order_acquire)) < w->blockCount;) {
      w->blocksDone.wait(done, std::memory_order_acquire);
    }
  }
  for (;;) {
    if (w->stop.load(std::memory_order_relaxed)) return;
    int32_t piece = w->nextPiece.fetch_add(1, std::memory_order_relaxed);
    if (piece >= w->pieceCount) return;
    int64_t offset = piece * int64_t{kChunkBufferBytes};
    auto n = static_cast<size_t>(std::min<int64_t>(kChunkBufferBytes, w->plan->fadeBytes - offset));
    IoError error = readRanges(w->dataFile, *w->plan, w->fadeStart + offset, share->samples, n);
    if (error == kIoOk) {
      scaleView(w->gains, share->samples, static_cast<int64_t>(n) / kFrameBytes,
                offset / kFrameBytes);
      error = writeAt(w->output, w->fileOffset + offset, share->samples, n);
    }
    if (error != kIoOk) {
      // Pieces are claimed in order, so every earlier one is being done.
      share->failedPiece = piece;
      share->error = error;
      w->stop.store(true, std::memory_order_relaxed);
      return;
    }
  }
}

}  // namespace

// The helper waits for a job, does its share and says so, until given none.
struct FadeHelper {
  ThreadHandle thread;
  std::atomic<int32_t> posted{0};    // jobs given
  std::atomic<int32_t> finished{0};  // jobs whose share is done
  FadeWork* job = nullptr;           // the latest; null to end
  alignas(16) int16_t samples[kChunkBufferBytes / 2];
};

void FadeHelperEnd::operator()(FadeHelper* helper) const {
  helper->job = nullptr;
  helper->posted.fetch_add(1, std::memory_order_release);
  helper->posted.notify_one();
  joinThread(&helper->thread);
  delete helper;
}

namespace {

void runFadeHelper(void* arg) {
  auto* helper = static_cast<FadeHelper*>(arg);
  for (int32_t seen = 0;;) {
    int32_t posted;
    while ((posted = helper->posted.load(std::memory_order_acquire)) == seen) {
      helper->posted.wait(seen, std::memory_order_acquire);
    }
    seen = posted;
    FadeWork* job = helper->job;
    if (job == nullptr) return;
    doFadeWork(job, &job->helperShare);
    helper->finished.store(seen, std::memory_order_release);
    helper->finished.notify_one();
  }
}

// The buffer's helper, started if need be; null when no thread can be
// started.
FadeHelper* fadeHelper(ChunkBuffer* buffer) {
  if (buffer->helper) return buffer->helper.get();
  auto* helper = new (std::nothrow) FadeHelper;
  if (helper == nullptr) return nullptr;
  if (startThread(runFadeHelper, helper, &helper->thread) != kIoOk) {
    delete helper;
    return nullptr;
  }
  buffer->helper.reset(helper);
  return helper;
}

// The ranges' bytes before the fade, as they are.
IoError copyUnfaded(FileHandle dataFile, OutputFile* output, const TrackPlan& plan,
                    ChunkBuffer* buffer) {
  int32_t bytesPerSecond = plan.sampleRate * kFrameBytes;
  int64_t fadeStart = plan.dataLength - plan.fadeBytes;
  int64_t streamPos = 0;
  for (const ByteRange& r : plan.ranges) {
    int64_t plain = std::clamp(fadeStart - streamPos, int64_t{0}, r.to - r.from);
    IoError error = copyRange(dataFile, output, r.from, r.from + plain, bytesPerSecond, buffer);
    if (error != kIoOk) return error;
    streamPos += r.to - r.from;
  }
  return kIoOk;
}

// Writes the planned stream, its fade on two threads, after the header's
// `headerBytes`. False, with nothing written, where the system cannot write
// at an offset or the memory or the thread for it is not to be had; else
// true, with the outcome in *error: the first failure in the stream's order.
bool writeStreamTwoThreads(FileHandle dataFile, OutputFile* output, const TrackPlan& plan,
                           size_t headerBytes, ChunkBuffer* buffer, IoError* error) {
  if (!writesAtOffsets(*output)) return false;
  FadeWork work;
  work.dataFile = dataFile;
  work.output = output;
  work.plan = &plan;
  work.fadeStart = plan.dataLength - plan.fadeBytes;
  work.fileOffset = static_cast<int64_t>(headerBytes) + work.fadeStart;
  work.pieceCount = static_cast<int32_t>((plan.fadeBytes + kChunkBufferBytes - 1) / kChunkBufferBytes);
  int64_t n = plan.fadeBytes / kFrameBytes;
  auto size = static_cast<int64_t>(buffer->gains.size());
  bool kept = buffer->gainPattern == plan.pattern && size > 0 && (size == n || size == 2 * n);
  FadeHelper* helper = fadeHelper(buffer);
  if (helper == nullptr) return false;
  try {
    if (!kept) {
      // Until every block is computed, the table holds no gains to keep.
      buffer->gains.clear();
      buffer->gains.resize(static_cast<size_t>(n));
      buffer->gainPattern = plan.pattern;
      size = n;
    }
  } catch (const std::bad_alloc&) {
    buffer->gains.clear();
    return false;
  }
  const double* table = buffer->gains.data();
  work.gains = size == n ? GainView{table, table + (n + 1) / 2} : GainView{table, nullptr};
  if (!kept) {
    work.tableFrames = n;
    work.blockCount = static_cast<int32_t>((n + kGainBlockFrames - 1) / kGainBlockFrames);
  }
  work.helperShare.samples = helper->samples;
  helper->job = &work;
  int32_t job = helper->posted.fetch_add(1, std::memory_order_release) + 1;
  helper->posted.notify_one();

  *error = copyUnfaded(dataFile, output, plan, buffer);
  FadeShare mine;
  mine.samples = buffer->samples;
  if (*error == kIoOk) {
    doFadeWork(&work, &mine);
  } else {
    work.stop.store(true, std::memory_order_relaxed);
  }
  for (int32_t done; (done = helper->finished.load(std::memory_order_acquire)) != job;) {
    helper->finished.wait(done, std::memory_order_acquire);
  }
  if (work.blocksDone.load(std::memory_order_relaxed) < work.blockCount) buffer->gains.clear();
  if (*error == kIoOk) {
    const FadeShare& first = mine.failedPiece < work.helperShare.failedPiece ? mine : work.helperShare;
    *error = first.error;
  }
  return true;
}

}  // namespace

WaveHeader buildWaveHeader(uint32_t dataLength, int32_t sampleRate, const LoopPoints& loop) {
  // No file comes near 4 GiB: the longest (track 24, 10 passes and 30
  // seconds played on) holds 307,509,000 bytes of audio, so every size
  // below fits its 32-bit field.
  constexpr uint32_t kSmplBytes = 60;  // the "smpl" chunk's body, one loop
  WaveHeader h = {};
  h.size = loop.present ? kLoopHeaderBytes : kPlainHeaderBytes;
  uint8_t* p = h.bytes;
  auto rate = static_cast<uint32_t>(sampleRate);
  std::memcpy(p + 0, "RIFF", 4);
  put32(p + 4, dataLength + static_cast<uint32_t>(h.size) - 8);
  std::memcpy(p + 8, "WAVE", 4);
  std::memcpy(p + 12, "fmt ", 4);
  put32(p + 16, 16);                  // format chunk size
  put16(p + 20, 1);                   // PCM
  put16(p + 22, 2);                   // channels
  put32(p + 24, rate);                // frames per second
  put32(p + 28, rate * kFrameBytes);  // bytes per second
  put16(p + 32, kFrameBytes);         // block align
  put16(p + 34, 16);                  // bits per sample
  p += 36;
  if (loop.present) {
    // Before "data", where readers that stop at the audio still find it.
    const uint32_t fields[] = {
        0, 0,                  // manufacturer, product
        1000000000u / rate,    // sample period in nanoseconds
        60, 0,                 // MIDI unity note (middle C), pitch fraction
        0, 0,                  // SMPTE format, offset
        1, 0,                  // one loop, no sampler data
        0, 0,                  // cue point id, type 0: forward
        loop.start, loop.end,  // frames, end inclusive
        0, 0,                  // fraction, play count 0: forever
    };
    std::memcpy(p, "smpl", 4);
    put32(p + 4, kSmplBytes);
    p += 8;
    for (uint32_t field : fields) {
      put32(p, field);
      p += 4;
    }
  }
  std::memcpy(p, "data", 4);
  put32(p + 4, dataLength);
  return h;
}

int64_t trackDataLength(const TrackEntry& entry, const RenderSettings& settings,
                        int32_t bytesPerSecond) {
  int64_t length = int64_t{entry.end} - entry.start +
                   (int64_t{entry.end} - entry.loopStart) * (settings.repeat - 1);
  if (settings.fade < 0) length += int64_t{-settings.fade} * bytesPerSecond;
  return length;
}

LoopPoints chooseLoop(const TrackEntry& entry, const RenderSettings& settings,
                      int32_t sampleRate) {
  int64_t intro = (int64_t{entry.loopStart} - entry.start) / kFrameBytes;
  int64_t loop = (int64_t{entry.end} - entry.loopStart) / kFrameBytes;
  // Pass k (1-based) plays the loop segment at frames [intro + (k-1) loop,
  // intro + k loop). The fade of a negative `fade` follows the last pass.
  int64_t pass = settings.repeat;
  if (settings.fade > 0) {
    int64_t firstFaded = intro + settings.repeat * loop - int64_t{settings.fade} * sampleRate;
    pass = firstFaded < intro ? 0 : std::min<int64_t>(pass, (firstFaded - intro) / loop);
  }
  if (pass < 1) return {};
  return {true, static_cast<uint32_t>(intro + (pass - 1) * loop),
          static_cast<uint32_t>(intro + pass * loop - 1)};
}

TrackPlan planTrack(const TrackEntry& entry, const RenderSettings& settings,
                    int32_t sampleRate) {
  TrackPlan plan;
  plan.sampleRate = sampleRate;
  plan.pattern = settings.pattern;
  auto add = [&plan](int64_t from, int64_t to) {
    plan.ranges.push_back({from, to});
    plan.dataLength += to - from;
  };
  add(entry.start, entry.end);
  for (int pass = 1; pass < settings.repeat; ++pass) add(entry.loopStart, entry.end);
  int64_t bytesPerSecond = int64_t{sampleRate} * kFrameBytes;
  plan.fadeBytes = int64_t{std::abs(settings.fade)} * bytesPerSecond;
  if (settings.fade < 0) {
    // Play on from the loop start, around the loop as often as it takes.
    for (int64_t left = plan.fadeBytes; left > 0;) {
      int64_t n = std::min<int64_t>(left, int64_t{entry.end} - entry.loopStart);
      add(entry.loopStart, entry.loopStart + n);
      left -= n;
    }
  }
  plan.fadeBytes = std::min(plan.fadeBytes, plan.dataLength);
  if (settings.loopPoints) plan.loop = chooseLoop(entry, settings, sampleRate);
  return plan;
}

TrackPlan planSection(int64_t from, int64_t to, int32_t sampleRate, bool loopWhole) {
  TrackPlan plan;
  plan.sampleRate = sampleRate;
  plan.ranges.push_back({from, to});
  plan.dataLength = to - from;
  if (loopWhole) plan.loop = {true, 0, static_cast<uint32_t>((to - from) / kFrameBytes - 1)};
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
  scaleSamples(buffer, buffer->samples, frameCount, firstFrame, n, pattern);
}

void scaleSamples(ChunkBuffer* buffer, int16_t* samples, int64_t frameCount,
                  int64_t firstFrame, int64_t n, FadePattern pattern) {
  scaleView(gainTable(buffer, pattern, n), samples, frameCount, firstFrame);
}

IoError readStream(FileHandle dataFile, const TrackPlan& plan, int64_t offset,
                   int16_t* out, size_t n, ChunkBuffer* buffer) {
  IoError error = readRanges(dataFile, plan, offset, out, n);
  if (error != kIoOk) return error;
  int64_t fadeStart = plan.dataLength - plan.fadeBytes;
  int64_t end = offset + static_cast<int64_t>(n);
  int64_t faded = std::max(offset, fadeStart);
  if (faded < end) {
    try {
      scaleSamples(buffer, out + (faded - offset) / 2, (end - faded) / kFrameBytes,
                   (faded - fadeStart) / kFrameBytes, plan.fadeBytes / kFrameBytes,
                   plan.pattern);
    } catch (const std::bad_alloc&) {
      return kIoNoMemory;
    }
  }
  return kIoOk;
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
                   const TrackPlan& plan, ChunkBuffer* buffer) {
  WaveHeader header =
      buildWaveHeader(static_cast<uint32_t>(plan.dataLength), plan.sampleRate, plan.loop);
  IoError error = writeAll(output, header.bytes, header.size);
  if (error == kIoOk && plan.fadeBytes > 0 &&
      writeStreamTwoThreads(dataFile, output, plan, header.size, buffer, &error)) {
    return error;
  }
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
      try {
        error = applyFade(dataFile, output, r.from + plain, r.to,
                          (streamPos + plain - fadeStart) / kFrameBytes, fadeFrames,
                          plan.pattern, buffer);
      } catch (const std::bad_alloc&) {
        // The gain table did not fit: this file fails like a full disk.
        error = kIoNoMemory;
      }
    }
    streamPos += r.to - r.from;
  }
  return error;
}

IoError renderTrack(FileHandle dataFile, const std::string& folder,
                    const std::string& name, const TrackPlan& plan,
                    ChunkBuffer* buffer) {
  OutputFile output;
  IoError error = createOutput(folder, name, &output);
  if (error == kIoOk) error = writeTrack(dataFile, &output, plan, buffer);
  if (error == kIoOk) return commitOutput(&output);
  discardOutput(&output);
  return error;
}
