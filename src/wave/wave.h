// WAV output: the header, the copy of a plan's byte ranges from kvbgm.dat
// (by the kernel where it can), and the fade, shared with a second thread.
// Knows nothing of the command line or the console: it takes a plan and an
// output file and returns an IoError.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>

#include "audio/audio.h"
#include "error/error.h"
#include "platform/platform.h"

constexpr size_t kPlainHeaderBytes = 44;   // RIFF, "fmt ", "data"
constexpr size_t kLoopHeaderBytes = 112;   // with a 68-byte "smpl" chunk

// The largest RIFF size field: the whole file less its first 8 bytes
// ("RIFF" and the field itself) must fit 32 bits, which bounds the audio
// of a WAV file to a little under 4 GiB (6 h 45 min at 44,100 Hz).
constexpr int64_t kMaxRiffSize = 0xffffffff;

// The bytes of the WAV file of `plan`: its header and its sample data.
int64_t waveFileBytes(const TrackPlan& plan);

// True when the WAV file of `plan` fits its header's 32-bit sizes
// (kMaxRiffSize).
bool waveFits(const TrackPlan& plan);

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

// The second thread that a writer's fades share (see writeTrack), started
// with the first fade that can use it and ended with the writer.
struct FadeHelper;
struct FadeHelperEnd {
  void operator()(FadeHelper* helper) const;
};

// The WAV writer's working memory, made once and lent to every file of a
// run: one chunk of audio and its fade helper; and the run's fade gains,
// lent to it, where it keeps the gains of each fade it computes
// (fadeTableToFill), so that tracks with the same fade do not compute them
// again. `fades` must be set before a faded plan is written. One writer
// serves one thread's calls at a time, and while it writes, no other
// thread uses `fades`.
struct WaveWriter {
  ChunkBuffer buffer;
  FadeGains* fades = nullptr;
  std::unique_ptr<FadeHelper, FadeHelperEnd> helper;
};

// Appends data-file bytes [from, to) to `output`, by kernel copy where the
// system offers one for this pair of files, in pieces of at most
// kCopyPieceBytes, else through `buffer` in chunks of bytesPerSecond, which
// must be at most kChunkBufferBytes (a larger one is refused with
// kWaveChunkTooLarge, nothing copied). Each piece or chunk copied is added
// to `done` (see StreamCount).
constexpr int64_t kCopyPieceBytes = int64_t{16} << 20;
IoError copyRange(FileHandle dataFile, OutputFile* output, int64_t from,
                  int64_t to, int32_t bytesPerSecond, ChunkBuffer* buffer,
                  StreamCount* done = nullptr);

// The chunked copy that copyRange falls back on, with the same bound.
IoError copyRangeChunked(FileHandle dataFile, OutputFile* output, int64_t from,
                         int64_t to, int32_t bytesPerSecond, ChunkBuffer* buffer,
                         StreamCount* done = nullptr);

// Appends data-file bytes [from, to) to `output`, scaled as frames
// firstFrame, ... of an n-frame fade (see scaleFrames), with the writer's
// buffer, and the gains in `gains`, filled first unless it serves the fade. Each chunk written is added to `done`.
IoError applyFade(FileHandle dataFile, OutputFile* output, int64_t from,
                  int64_t to, int64_t firstFrame, int64_t n,
                  FadePattern pattern, WaveWriter* writer, GainTable* gains,
                  StreamCount* done = nullptr);

// Writes the header and the planned stream to `output` from its start,
// fading its last plan.fadeBytes with plan.pattern. kIoNoMemory when the
// fade's gains cannot be had; kWaveTooLarge, with nothing written, for a
// plan that does not fit (waveFits). Where the output takes writes at offsets
// (writesAtOffsets; not on Windows), a fade is shared with the writer's
// helper, which computes the gains not yet kept and reads, scales and
// writes the faded pieces while this thread has the kernel copy the
// unfaded part; this thread then takes its share of what is left, and both
// are done when this returns. Elsewhere, or when no thread can be started,
// this thread writes it all. Does not commit or close `output`. The bytes
// of the stream are added to `done` (see StreamCount) as they are written,
// from both threads, plan.dataLength in all when it succeeds.
IoError writeTrack(WaveWriter* writer, FileHandle dataFile, OutputFile* output,
                   const TrackPlan& plan, StreamCount* done = nullptr);

// The fade of writeTrack on two threads, after the header's `headerBytes`.
// False, with nothing written, where the system cannot write at an offset
// or the memory or the thread for it is not to be had; else true, with the
// outcome in *error: the first failure in the stream's order. Counts in
// `done` as writeTrack does.
bool writeFadedTwoThreads(WaveWriter* writer, FileHandle dataFile, OutputFile* output,
                          const TrackPlan& plan, size_t headerBytes, IoError* error,
                          StreamCount* done = nullptr);
