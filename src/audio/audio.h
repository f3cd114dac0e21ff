// The audio every writer shares: how a track's file is played (the plan:
// byte ranges of kvbgm.dat, the fade, the loop it marks), the fade curves
// and their gains (one owner per run, FadeGains), the faded stream read at
// any offset or handed to a consumer chunk by chunk (readChunks), and the
// sink that gathers an encoder's bytes for its output. Knows no file
// format, no command line and no console.
//
// A track's file is one stream of data-file byte ranges: the whole track,
// the loop segment once per further pass, then for a negative fade the loop
// played on for |fade| seconds (starting over at loopStart whenever it
// reaches end). A fade scales the last |fade| seconds of that stream.
#pragma once

#include <atomic>
#include <functional>
#include <cstddef>
#include <cstdint>
#include <new>
#include <vector>

#include "catalog/catalog.h"
#include "platform/platform.h"

// One second of 16-bit stereo at 44,100 Hz, the largest chunk any track
// uses, and the most that one read of the stream is given at a time.
constexpr int32_t kChunkBufferBytes = 176400;

// One chunk of audio: the working memory of one thread's reads.
struct ChunkBuffer {
  alignas(16) int16_t samples[kChunkBufferBytes / 2];
};

enum class FadePattern : int32_t {
  Exponential = 0,   // 0.001^x, down to -60 dB
  Linear = 1,        // 1 - x
  Blend = 2,         // the mean of the two above
  RaisedCosine = 3,  // (cos(pi * x) + 1) / 2
};

// How one track is played: passes, fade and curve, and whether its file
// marks a loop for players and samplers.
struct RenderSettings {
  int32_t repeat = 2;   // passes through the track, >= 1
  int32_t fade = 0;     // seconds: >0 fades the end, <0 appends a faded
                        // continuation of the loop, 0 none
  FadePattern pattern = FadePattern::Exponential;
  bool loopPoints = false;  // mark the last clean loop pass (see chooseLoop)
  int64_t length = 0;   // nanoseconds; when > 0 the track plays for exactly
                        // this long (see lengthFrames) in place of `repeat`
                        // passes, before any continuation of a negative fade
};

constexpr int64_t kNanosPerSecond = 1000000000;

// The frames that `nanoseconds` of audio at `sampleRate` hold, rounded to
// the nearest frame (a half frame up). Requires nanoseconds * sampleRate to
// fit 64 bits: up to 58 hours at 44,100 Hz.
int64_t lengthFrames(int64_t nanoseconds, int32_t sampleRate);

// A forward loop that plays forever, in frames from the start of the audio;
// `end` is the loop's last frame (inclusive), as samplers count it.
struct LoopPoints {
  bool present = false;
  uint32_t start = 0;
  uint32_t end = 0;
};

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
  LoopPoints loop;                // marked in the file when present
};

// The sample data length of a track's file: the track once, the loop segment
// (repeat - 1) more times, plus |fade| seconds when fade is negative.
int64_t trackDataLength(const TrackEntry& entry, const RenderSettings& settings,
                        int32_t bytesPerSecond);

// The loop that a file of `entry` played with `settings` marks: the last
// whole loop pass that no fade touches. Without a fade, or with a negative
// one (the faded continuation follows the last pass), that is the last
// pass that the file plays to its end (with settings.length, the last one
// that ends by then); with a positive fade, the latest pass that ends at
// or before the first faded frame. Not present when no pass is clean (a
// fade that reaches into every pass, or a length that ends before the
// first pass does). Ignores settings.loopPoints.
LoopPoints chooseLoop(const TrackEntry& entry, const RenderSettings& settings,
                      int32_t sampleRate);

// The ranges of `entry` played with settings.repeat passes and
// settings.fade, at `sampleRate`, with the loop of chooseLoop when
// settings.loopPoints asks for one. With settings.length, the track plays
// for lengthFrames(length) frames instead, the intro and then the loop over
// and over, stopping wherever that falls (inside the intro or a pass); a
// positive fade fades the last seconds of those frames, a negative one
// plays on from where they stop for |fade| more seconds and fades those.
// Requires start <= loopStart < end, all multiples of 4. A positive fade
// longer than the whole stream is shortened to it.
TrackPlan planTrack(const TrackEntry& entry, const RenderSettings& settings,
                    int32_t sampleRate);

// Data-file bytes [from, to) once, unfaded, at `sampleRate`; with a loop over
// all of it when `loopWhole`. For an intro or a loop segment on its own.
TrackPlan planSection(int64_t from, int64_t to, int32_t sampleRate, bool loopWhole);

// The gain of frame t (0-based) of an n-frame fade, in (0, 1]; x = t / n.
double fadeGain(FadePattern pattern, int64_t t, int64_t n);

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

// The gains of one fade shape: fadeGain(pattern, t, frames) for every frame
// t, the even frames' gains first, then the odd ones'. A table for 2n
// frames also serves an n-frame fade of the same curve, frame t at 2t (t / n
// and 2t / 2n are the same double): a run's 22,050 Hz tracks read the first
// half of its 44,100 Hz tracks' table. Once filled, any number of threads
// may read it at once.
struct GainTable {
  FadePattern pattern = FadePattern::Exponential;
  int64_t frames = 0;         // the fade it was filled for; 0 while empty
  PageVector<double> values;  // frames gains once filled
};

// Where the gains of frame 2k and 2k + 1 of a fade are: even[k] and odd[k];
// odd is null when a table of twice the frames serves the fade (then frame
// t's gain is even[t]).
struct GainView {
  const double* even;
  const double* odd;
};

// True when `table` holds the gains of an n-frame fade of `pattern`: filled
// for n frames, or for 2n.
bool gainsServe(const GainTable& table, FadePattern pattern, int64_t n);

// Fills `table` with the gains of an n-frame fade of `pattern`, unless it
// already serves that fade. kIoNoMemory, with the table empty, when its
// memory cannot be had.
IoError prepareGains(GainTable* table, FadePattern pattern, int64_t n);

// Makes `table` room for the gains of an n-frame fade of `pattern`, not yet
// computed (frames stays 0 until the caller has computed every frame with
// computeGains and sets it). kIoNoMemory when there is no memory for it.
IoError reserveGains(GainTable* table, FadePattern pattern, int64_t n);

// Where the gains of an n-frame fade are in `table`, which must serve it
// (gainsServe), or have been reserved for exactly n frames.
GainView gainView(const GainTable& table, int64_t n);

// Computes the gains of frames [from, to) of the n-frame fade of `pattern`
// into the table that `view` shows (reserved for exactly n frames). Threads
// may compute separate ranges at once.
void computeGains(GainView view, FadePattern pattern, int64_t from, int64_t to, int64_t n);

// Scales `frameCount` frames at `samples` in place as frames firstFrame,
// firstFrame + 1, ... of the fade whose gains `view` shows: each sample
// becomes sample * gain, truncated toward zero; both samples of a frame
// share the gain.
void scaleView(GainView view, int16_t* samples, int64_t frameCount, int64_t firstFrame);

// Scales `frameCount` frames at `samples` as frames firstFrame, ... of an
// n-frame fade of `pattern` (see scaleView), filling `gains` for that fade
// first unless it already serves it, so that later calls for the same fade
// find it there. kIoNoMemory, with nothing scaled, when the gains' memory
// cannot be had.
IoError scaleFrames(GainTable* gains, int16_t* samples, int64_t frameCount, int64_t firstFrame,
                    int64_t n, FadePattern pattern);

// Reads bytes [offset, offset + n) of the planned stream, unfaded, into
// `out`: the ranges back to back. The first read error, or kIoShortRead.
IoError readRanges(FileHandle dataFile, const TrackPlan& plan, int64_t offset, void* out,
                   size_t n);

// How far a writer has come through a planned stream: the bytes of it
// handled so far, which the writer adds as it goes and another thread may
// read at any time. Writers take a pointer to one, or null for no count.
using StreamCount = std::atomic<int64_t>;

// Adds `bytes` to `*count`, where there is a count.
inline void addToCount(StreamCount* count, int64_t bytes) {
  if (count != nullptr) count->fetch_add(bytes, std::memory_order_relaxed);
}

// ---- The fade gains of a run (fade.cc) ----

// The gains of every fade a run plays, one table per fade shape, owned here
// and lent to every writer: the encoders' jobs read them on any thread once
// prepareFades has filled them, and the WAV writer, which writes one file at
// a time, fills the table of each fade as it comes (fadeTableToFill), its
// second thread included. The 22,050 Hz tracks' fades are served by the
// 44,100 Hz tracks' tables (see GainTable).
struct FadeGains {
  std::vector<GainTable> tables;
};

// Fills `fades` so that one of its tables serves the fade of each of
// `plans` that has one: one table per fade shape that no other table
// serves, the longest fades first (so a 44,100 Hz table also serves the
// 22,050 Hz tracks). kIoNoMemory when one cannot be had. Before any thread
// reads the tables.
IoError prepareFades(const std::vector<const TrackPlan*>& plans, FadeGains* fades);

// The table of `fades` that serves the fade of `plan`; null when the plan
// has no fade or no table serves it.
const GainTable* gainsFor(const FadeGains& fades, const TrackPlan& plan);

// The gains for the fade of `plan` (which has one), for a writer on any
// thread: the table of `fades` that serves it, or, where none does, `own`,
// filled here. kIoNoMemory when `own` cannot be.
IoError gainsOrOwn(const FadeGains& fades, const TrackPlan& plan, GainTable* own,
                   const GainTable** gains);

// The table that a writer filling gains as it goes keeps the fade of `plan`
// in (which has one): the table of `fades` that serves it, else the one of
// the same curve, to be filled again, else a new one. Gains of one curve
// are kept once, so that a run's memory holds one fade's table per curve.
// One thread at a time, while no other reads `fades`.
GainTable* fadeTableToFill(FadeGains* fades, const TrackPlan& plan);

// ---- The stream (stream.cc) ----

// Reads bytes [offset, offset + n) of the planned stream into `out`: the
// ranges back to back, the last plan.fadeBytes faded with plan.pattern,
// exactly the bytes a WAV file's data chunk holds there. offset and n are
// multiples of kFrameBytes and offset + n <= plan.dataLength. Where the
// read reaches the fade, `gains` must serve it (gainsServe for
// plan.fadeBytes / kFrameBytes frames); it is only read, and may be null
// for a plan without a fade.
IoError readStream(FileHandle dataFile, const TrackPlan& plan, int64_t offset,
                   int16_t* out, size_t n, const GainTable* gains);

// A digest of a stream's samples, to tell whether two reads of the same
// plan gave the same audio: kStreamDigestStart folded with every chunk of
// the stream in order (each chunk a whole number of frames). Two reads
// that give the same samples in the same chunks fold the same digest.
constexpr uint64_t kStreamDigestStart = 0xcbf29ce484222325u;
uint64_t foldDigest(uint64_t digest, const int16_t* samples, size_t count);

// What a writer checks of the stream it reads: when `check`, that its
// digest is `digest`, the one an earlier read of the same plan gave (the
// audio a file's tags were measured from). A stream that differs fails
// with kIoChanged before its file is finished.
struct StreamCheck {
  bool check = false;
  uint64_t digest = 0;
};

// How a consumer is handed the stream (readChunks): `count` samples,
// whole frames, at `samples`, which it may change. kIoOk to go on; any
// other value stops the stream with that error.
using ChunkConsumer = std::function<IoError(int16_t* samples, size_t count)>;

// One read of a planned stream from its start to its end.
struct StreamRead {
  FileHandle dataFile;
  const TrackPlan* plan = nullptr;
  const GainTable* gains = nullptr;  // serves the plan's fade (see readStream)
  ChunkBuffer* buffer = nullptr;     // the chunks' memory; null: one of its own
  StreamCount* done = nullptr;       // counts each chunk once it is consumed
  StreamCheck expect;                // the digest the stream must have
  uint64_t* digest = nullptr;        // where to leave its digest, if anywhere
};

// Reads the stream of `read` in order, in chunks of at most
// kChunkBufferBytes (each chunk at the same offsets in every read of a
// plan, so that digests compare), and hands each to `consume`. With
// read.expect.check, a stream whose digest differs fails with kIoChanged
// after its last chunk. The first error: a read's, kIoNoMemory for the
// buffer, the consumer's, or kIoChanged.
IoError readChunks(const StreamRead& read, const ChunkConsumer& consume);

// ---- Encoded bytes on their way to an output (stream.cc) ----

// An encoder's output gathered into writes of about kSinkBytes: `position`
// is the file offset of pending's first byte. Once a write fails, `error`
// keeps its error and nothing more is written.
constexpr size_t kSinkBytes = size_t{1} << 20;
struct OutputSink {
  OutputFile* output = nullptr;
  std::vector<uint8_t> pending;
  int64_t position = 0;
  IoError error = kIoOk;
};

// A sink for `output`, written from its start, with room for a full
// gathering and one more encoder write.
void startSink(OutputSink* sink, OutputFile* output);

// Appends `n` bytes, and writes what is gathered once it reaches
// kSinkBytes. False once the sink has failed.
bool sinkAdd(OutputSink* sink, const void* bytes, size_t n);

// Writes what is gathered. False once the sink has failed.
bool sinkFlush(OutputSink* sink);

// Writes what is gathered and goes on at file offset `offset`.
bool sinkSeek(OutputSink* sink, int64_t offset);
