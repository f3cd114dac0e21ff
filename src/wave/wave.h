// WAV output: the 44-byte header, the byte ranges that make up one track's
// file, the copy from kvbgm.dat, and the fade-out.
//
// A track's file is one stream of data-file byte ranges: the whole track,
// the loop segment once per further pass, then for a negative fade the loop
// played on for |fade| seconds (starting over at loopStart whenever it
// reaches end). A fade scales the last |fade| seconds of that stream.
#pragma once

#include <cstdint>
#include <vector>

#include "app/app.h"
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

// The run's working memory, created once and lent to every track: one chunk
// of audio, and the gains of the fade shape used last, kept so that tracks
// with the same fade do not compute them again.
struct ChunkBuffer {
  alignas(16) int16_t samples[kChunkBufferBytes / 2];
  std::vector<double> gains;  // fadeGain(gainPattern, t, gains.size()),
                              // even frames first, then odd ones
  FadePattern gainPattern = FadePattern::Exponential;
};

// The canonical 44-byte header of a 16-bit stereo PCM WAV file.
struct WaveHeader {
  uint8_t bytes[44];
};

// The header for `dataLength` bytes of sample data at `sampleRate` frames per
// second: RIFF size dataLength + 36, one "fmt " chunk (PCM, 2 channels, 16
// bits, block align 4, byte rate sampleRate * 4), then the "data" chunk
// header. All integers little-endian.
WaveHeader buildWaveHeader(uint32_t dataLength, int32_t sampleRate);

// A range [from, to) of data-file byte offsets.
struct ByteRange {
  int64_t from;
  int64_t to;
};

// What one track's file holds after its header.
struct TrackPlan {
  std::vector<ByteRange> ranges;  // in playing order
  int64_t dataLength = 0;         // sum of the ranges' lengths
  int64_t fadeBytes = 0;          // the last fadeBytes of the stream are faded
  int32_t sampleRate = 44100;
};

// The sample data length of a track's file: the track once, the loop segment
// (repeat - 1) more times, plus |fade| seconds when fade is negative.
int64_t trackDataLength(const TrackEntry& entry, const ExtractOptions& options,
                        int32_t bytesPerSecond);

// The ranges of `entry` played with options.repeat passes and options.fade,
// at `sampleRate`. Requires start <= loopStart < end, all multiples of 4.
// A positive fade longer than the whole stream is shortened to it.
TrackPlan planTrack(const TrackEntry& entry, const ExtractOptions& options,
                    int32_t sampleRate);

// The gain of frame t (0-based) of an n-frame fade, in (0, 1]; x = t / n.
double fadeGain(FadePattern pattern, int64_t t, int64_t n);

// Scales the first frameCount frames of buffer->samples in place as frames
// firstFrame, firstFrame + 1, ... of an n-frame fade: each sample becomes
// sample * fadeGain(pattern, t, n), truncated toward zero; both samples of a
// frame share the gain. Keeps the gains in `buffer` for the next call.
void scaleFrames(ChunkBuffer* buffer, int64_t frameCount, int64_t firstFrame,
                 int64_t n, FadePattern pattern);

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
// plan.fadeBytes with `pattern`.
IoError writeTrack(FileHandle dataFile, OutputFile* output,
                   const TrackPlan& plan, FadePattern pattern,
                   ChunkBuffer* buffer);

// Writes the file of catalogue index `index`: prints "Create <name> ...",
// writes the track to a temporary file and renames it to the track's name
// once complete. On failure prints "cannot write <name>: <reason>", removes
// the temporary file, leaves an earlier file of that name as it was, and
// returns false. `options` must be valid.
bool renderTrack(FileHandle dataFile, int index, const ExtractOptions& options,
                 ChunkBuffer* buffer);
