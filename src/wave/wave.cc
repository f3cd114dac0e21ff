#include "wave/wave.h"

#include <algorithm>
#include <cstring>

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

// Copies bytes [from, to) piece by piece, at most `piece` bytes each, with
// copy(pos, n), adding each piece copied to `done`. Leaves in *at where it
// stopped (`to` once all is copied). The first error.
template <typename Copy>
IoError copyPieces(int64_t from, int64_t to, int64_t piece, StreamCount* done, int64_t* at,
                   Copy copy) {
  for (*at = from; *at < to;) {
    int64_t n = std::min(piece, to - *at);
    IoError error = copy(*at, n);
    if (error != kIoOk) return error;
    addToCount(done, n);
    *at += n;
  }
  return kIoOk;
}

}  // namespace

WaveHeader buildWaveHeader(uint32_t dataLength, int32_t sampleRate, const LoopPoints& loop) {
  // Every size below fits its 32-bit field for a plan that waveFits.
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

int64_t waveFileBytes(const TrackPlan& plan) {
  auto header = static_cast<int64_t>(plan.loop.present ? kLoopHeaderBytes : kPlainHeaderBytes);
  return header + plan.dataLength;
}

bool waveFits(const TrackPlan& plan) { return waveFileBytes(plan) - 8 <= kMaxRiffSize; }

IoError copyRangeChunked(FileHandle dataFile, OutputFile* output, int64_t from,
                         int64_t to, int32_t bytesPerSecond, ChunkBuffer* buffer,
                         StreamCount* done) {
  if (bytesPerSecond <= 0 || bytesPerSecond > kChunkBufferBytes) return kWaveChunkTooLarge;
  int64_t at = from;
  return copyPieces(from, to, bytesPerSecond, done, &at, [&](int64_t pos, int64_t n) {
    IoError error = readAt(dataFile, pos, bufferBytes(buffer), static_cast<size_t>(n));
    return error == kIoOk ? writeAll(output, bufferBytes(buffer), static_cast<size_t>(n)) : error;
  });
}

IoError copyRange(FileHandle dataFile, OutputFile* output, int64_t from,
                  int64_t to, int32_t bytesPerSecond, ChunkBuffer* buffer,
                  StreamCount* done) {
  if (bytesPerSecond <= 0 || bytesPerSecond > kChunkBufferBytes) return kWaveChunkTooLarge;
  int64_t at = from;
  IoError error = copyPieces(from, to, kCopyPieceBytes, done, &at, [&](int64_t pos, int64_t n) {
    return copyToEnd(dataFile, pos, output->file, static_cast<size_t>(n));
  });
  // Refused with nothing copied: the rest goes through the buffer.
  if (error == kIoUnsupported) {
    return copyRangeChunked(dataFile, output, at, to, bytesPerSecond, buffer, done);
  }
  return error;
}

IoError applyFade(FileHandle dataFile, OutputFile* output, int64_t from,
                  int64_t to, int64_t firstFrame, int64_t n,
                  FadePattern pattern, WaveWriter* writer, GainTable* gains,
                  StreamCount* done) {
  int16_t* samples = writer->buffer.samples;
  for (int64_t pos = from; pos < to; pos += kChunkBufferBytes) {
    auto bytes = static_cast<size_t>(std::min<int64_t>(kChunkBufferBytes, to - pos));
    IoError error = readAt(dataFile, pos, samples, bytes);
    if (error == kIoOk) {
      error = scaleFrames(gains, samples, static_cast<int64_t>(bytes) / kFrameBytes,
                          firstFrame + (pos - from) / kFrameBytes, n, pattern);
    }
    if (error == kIoOk) error = writeAll(output, samples, bytes);
    if (error != kIoOk) return error;
    addToCount(done, static_cast<int64_t>(bytes));
  }
  return kIoOk;
}

IoError writeTrack(WaveWriter* writer, FileHandle dataFile, OutputFile* output,
                   const TrackPlan& plan, StreamCount* done) {
  if (!waveFits(plan)) return kWaveTooLarge;
  WaveHeader header =
      buildWaveHeader(static_cast<uint32_t>(plan.dataLength), plan.sampleRate, plan.loop);
  IoError error = writeAll(output, header.bytes, header.size);
  if (error == kIoOk && plan.fadeBytes > 0 &&
      writeFadedTwoThreads(writer, dataFile, output, plan, header.size, &error, done)) {
    return error;
  }
  int32_t bytesPerSecond = plan.sampleRate * kFrameBytes;
  int64_t fadeStart = plan.dataLength - plan.fadeBytes;  // stream offset
  int64_t fadeFrames = plan.fadeBytes / kFrameBytes;
  GainTable* gains = plan.fadeBytes > 0 ? fadeTableToFill(writer->fades, plan) : nullptr;
  int64_t streamPos = 0;
  for (const ByteRange& r : plan.ranges) {
    if (error != kIoOk) break;
    // The part of this range before the fade is copied as it is, the rest
    // is faded, counting frames from the start of the fade.
    int64_t plain = std::clamp(fadeStart - streamPos, int64_t{0}, r.to - r.from);
    error = copyRange(dataFile, output, r.from, r.from + plain, bytesPerSecond, &writer->buffer,
                      done);
    if (error == kIoOk && r.from + plain < r.to) {
      error = applyFade(dataFile, output, r.from + plain, r.to,
                        (streamPos + plain - fadeStart) / kFrameBytes, fadeFrames,
                        plan.pattern, writer, gains, done);
    }
    streamPos += r.to - r.from;
  }
  return error;
}
