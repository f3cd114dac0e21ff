// WAV output: the header, the byte ranges that make up one file, the copy
// from kvbgm.dat, the fade-out, and the commit of the finished file. Knows
// nothing of the command line or the console: it takes plain settings and
// returns an IoError.
//
// A track's file is one stream of data-file byte ranges: the whole track,
// the loop segment once per further pass, then for a negative fade the loop
// played on for |fade| seconds (starting over at loopStart whenever it
// reaches end). A fade scales the last |fade| seconds of that stream.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <new>
#include <string>
#include <vector>

#include "catalog/catalog.h"
#include "platform/platform.h"

// One second of 16-bit stereo at 44,100 Hz, the largest chunk any track uses.
constexpr int32_t kChunkBufferBytes = 176400;

enum class FadePattern : int32_t {
  Exponential = 0,   // 0.001^x, down to -60 dB
  Linear = 1,        // 1 - x
  Blend = 2,         // the mean of the two above
  RaisedCosine = 3,  // (cos(pi * x) + 1) / 2
};

// Gives a vector its memory from allocatePages, and leaves the elements
// that resize adds uninitialized: a table is filled where it is computed,
// by whichever thread computes that part.
template <typename T>
struct PageAllocator {
  using value_type = T;
  PageAllocator() = default;
  template <typename U>
  PageAllocator(const PageAllocator<U>&) {}
  T* allocate(size_t n) {
    void* pages = allocatePages(n * sizeof(T));
    if (pages == nullptr) throw std::bad_alloc();
    return static_cast<T*>(pages);
  }
  void deallocate(T* p, size_t n) { freePages(p, n * sizeof(T)); }
  template <typename U>
  void construct(U* p) {
    ::new (static_cast<void*>(p)) U;
  }
  friend bool operator==(const PageAllocator&, const PageAllocator&) { return true; }
};

template <typename T>
using PageVector = std::vector<T, PageAllocator<T>>;

// A second thread that the fades written with one buffer share (see
// writeTrack). The buffer starts it with its first such fade and ends it
// when it goes.
struct FadeHelper;
struct FadeHelperEnd {
  void operator()(FadeHelper* helper) const;
};

// The run's working memory, created once and lent to every track: one chunk
// of audio, the gains of the fade shape used last, kept so that tracks with
// the same fade do not compute them again, and the thread that shares the
// fades. One buffer serves one thread's calls at a time.
struct ChunkBuffer {
  alignas(16) int16_t samples[kChunkBufferBytes / 2];
  PageVector<double> gains;  // fadeGain(gainPattern, t, gains.size()),
                             // even frames first, then odd ones
  FadePattern gainPattern = FadePattern::Exponential;
  std::unique_ptr<FadeHelper, FadeHelperEnd> helper;
};

// How one track is played: passes, fade and curve, and whether its file
// marks a loop for players and samplers.
struct RenderSettings {
  int32_t repeat = 2;   // passes through the track, >= 1
  int32_t fade = 0;     // seconds: >0 fades the end, <0 appends a faded
                        // continuation of the loop, 0 none
  FadePattern pattern = FadePattern::Exponential;
  bool loopPoints = false;  // mark the last clean loop pass (see chooseLoop)
};

// A forward loop that plays forever, in frames from the start of the audio;
// `end` is the loop's last frame (inclusive), as samplers count it.
struct LoopPoints {
  bool present = false;
  uint32_t start = 0;
  uint32_t end = 0;
};

constexpr size_t kPlainHeaderBytes = 44;   // RIFF, "fmt ", "data"
constexpr size_t kLoopHeaderBytes = 112;   // with a 68-byte "smpl" chunk

// The header of a 16-bit stereo PCM WAV file, kPlainHeaderBytes or
// kLoopHeaderBytes long.
struct WaveHeader {
  uint8_t bytes[kLoopHeaderBytes];
  size_t size;
};

// The header for `dataLength` bytes of sample data at `sampleRate` frames per
// second: "RIFF", one "fmt " chunk (PCM, 2 channels, 16 bits, block align 4,
// byte rate sampleRate * 4), then, when `loop` is present, one "smpl" chunk
// with that single forward loop, then the "data" chunk header. RIFF size is
// dataLength + 36, or + 104 with the "smpl" chunk. All integers little-endian.
WaveHeader buildWaveHeader(uint32_t dataLength, int32_t sampleRate,
                           const LoopPoints& loop = {});

// A range [from, to) of data-file byte offsets.
struct ByteRange {
  int64_t from;
  int64_t to;
};

// What one output file holds.
struct TrackPlan {
  std::vector<ByteRange> ranges;  // in playing order
  int64_t dataLength = 0;         // sum of the ranges' lengths
  int64_t fadeBytes = 0;          // the last fadeBytes of the stream are faded
  FadePattern pattern = FadePattern::Exponential;  // the fade's curve
  int32_t sampleRate = 44100;
  LoopPoints loop;                // written as a "smpl" chunk when present
};

// The sample data length of a track's file: the track once, the loop segment
// (repeat - 1) more times, plus |fade| seconds when fade is negative.
int64_t trackDataLength(const TrackEntry& entry, const RenderSettings& settings,
                        int32_t bytesPerSecond);

// The loop that a file of `entry` played with `settings` marks: the last
// whole loop pass that no fade touches. Without a fade, or with a negative
// one (the faded continuation follows the last pass), that is the last
// pass; with a positive fade, the latest pass that ends at or before the
// first faded frame. Not present when no pass is clean (a fade that reaches
// into every pass). Ignores settings.loopPoints.
LoopPoints chooseLoop(const TrackEntry& entry, const RenderSettings& settings,
                      int32_t sampleRate);

// The ranges of `entry` played with settings.repeat passes and
// settings.fade, at `sampleRate`, with the loop of chooseLoop when
// settings.loopPoints asks for one. Requires start <= loopStart < end, all
// multiples of 4. A positive fade longer than the whole stream is shortened
// to it.
TrackPlan planTrack(const TrackEntry& entry, const RenderSettings& settings,
                    int32_t sampleRate);

// Data-file bytes [from, to) once, unfaded, at `sampleRate`; with a loop over
// all of it when `loopWhole`. For an intro or a loop segment on its own.
TrackPlan planSection(int64_t from, int64_t to, int32_t sampleRate, bool loopWhole);

// The gain of frame t (0-based) of an n-frame fade, in (0, 1]; x = t / n.
double fadeGain(FadePattern pattern, int64_t t, int64_t n);

// Scales the first frameCount frames of buffer->samples in place as frames
// firstFrame, firstFrame + 1, ... of an n-frame fade: each sample becomes
// sample * fadeGain(pattern, t, n), truncated toward zero; both samples of a
// frame share the gain. Keeps the gains in `buffer` for the next call.
void scaleFrames(ChunkBuffer* buffer, int64_t frameCount, int64_t firstFrame,
                 int64_t n, FadePattern pattern);

// The same for `frameCount` frames at `samples`, any memory outside
// `buffer`, whose gains are used and kept.
void scaleSamples(ChunkBuffer* buffer, int16_t* samples, int64_t frameCount,
                  int64_t firstFrame, int64_t n, FadePattern pattern);

// Reads bytes [offset, offset + n) of the planned stream into `out`: the
// ranges back to back, the last plan.fadeBytes faded with plan.pattern,
// exactly the bytes the WAV file's data chunk holds there. offset and n are
// multiples of kFrameBytes and offset + n <= plan.dataLength. Uses the
// gains kept in `buffer`; kIoNoMemory when they cannot be allocated.
IoError readStream(FileHandle dataFile, const TrackPlan& plan, int64_t offset,
                   int16_t* out, size_t n, ChunkBuffer* buffer);

// Appends data-file bytes [from, to) to `output`, by kernel copy where the
// system offers one for this pair of files, else in chunks of
// bytesPerSecond through `buffer`.
IoError copyRange(FileHandle dataFile, OutputFile* output, int64_t from,
                  int64_t to, int32_t bytesPerSecond, ChunkBuffer* buffer);

// The chunked copy that copyRange falls back on.
IoError copyRangeChunked(FileHandle dataFile, OutputFile* output, int64_t from,
                         int64_t to, int32_t bytesPerSecond,
                         ChunkBuffer* buffer);

// Appends data-file bytes [from, to) to `output`, scaled as frames
// firstFrame, ... of an n-frame fade (see scaleFrames).
IoError applyFade(FileHandle dataFile, OutputFile* output, int64_t from,
                  int64_t to, int64_t firstFrame, int64_t n,
                  FadePattern pattern, ChunkBuffer* buffer);

// Writes the header and the planned stream to `output`, fading its last
// plan.fadeBytes with plan.pattern. kIoNoMemory when the fade's gains cannot
// be allocated. Where the output takes writes at offsets (writesAtOffsets;
// not on Windows), a fade is shared with buffer->helper, which computes the
// gains not yet kept and reads, scales and writes the faded pieces while
// this thread has the kernel copy the unfaded part; this thread then takes
// its share of what is left, and both are done when this returns.
// Elsewhere, or when no thread can be started, this thread writes it all.
IoError writeTrack(FileHandle dataFile, OutputFile* output,
                   const TrackPlan& plan, ChunkBuffer* buffer);

// Writes the planned file as `name` in `folder` ("" for the current folder):
// into an output file that gets its name only once complete (createOutput,
// commitOutput). On failure returns the error, removes what was written and
// leaves an earlier file of that name as it was.
IoError renderTrack(FileHandle dataFile, const std::string& folder,
                    const std::string& name, const TrackPlan& plan,
                    ChunkBuffer* buffer);
