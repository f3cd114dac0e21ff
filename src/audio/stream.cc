// The faded stream: read at any offset, or from start to end in chunks
// for a consumer; its digest; and the sink that gathers an encoder's bytes.
#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

#include "audio/audio.h"

IoError readStream(FileHandle dataFile, const TrackPlan& plan, int64_t offset,
                   int16_t* out, size_t n, const GainTable* gains) {
  IoError error = readRanges(dataFile, plan, offset, out, n);
  if (error != kIoOk) return error;
  int64_t fadeStart = plan.dataLength - plan.fadeBytes;
  int64_t end = offset + static_cast<int64_t>(n);
  int64_t faded = std::max(offset, fadeStart);
  if (faded < end) {
    scaleView(gainView(*gains, plan.fadeBytes / kFrameBytes), out + (faded - offset) / 2,
              (end - faded) / kFrameBytes, (faded - fadeStart) / kFrameBytes);
  }
  return kIoOk;
}

IoError readChunks(const StreamRead& read, const ChunkConsumer& consume) {
  const TrackPlan& plan = *read.plan;
  std::unique_ptr<ChunkBuffer> own;
  ChunkBuffer* buffer = read.buffer;
  if (buffer == nullptr) {
    own.reset(new (std::nothrow) ChunkBuffer);
    if (!own) return kIoNoMemory;
    buffer = own.get();
  }
  bool digested = read.expect.check || read.digest != nullptr;
  uint64_t digest = kStreamDigestStart;
  for (int64_t offset = 0; offset < plan.dataLength;) {
    auto bytes = static_cast<size_t>(std::min<int64_t>(kChunkBufferBytes, plan.dataLength - offset));
    IoError error = readStream(read.dataFile, plan, offset, buffer->samples, bytes, read.gains);
    if (error != kIoOk) return error;
    if (digested) digest = foldDigest(digest, buffer->samples, bytes / 2);
    error = consume(buffer->samples, bytes / 2);
    if (error != kIoOk) return error;
    addToCount(read.done, static_cast<int64_t>(bytes));
    offset += static_cast<int64_t>(bytes);
  }
  if (read.digest != nullptr) *read.digest = digest;
  if (read.expect.check && digest != read.expect.digest) return kIoChanged;
  return kIoOk;
}

uint64_t foldDigest(uint64_t digest, const int16_t* samples, size_t count) {
  // Four lanes of one 64-bit word (four samples) each, so that the
  // multiplications do not wait on one another, then the rest one by one.
  constexpr uint64_t kPrime = 0x100000001b3u;
  uint64_t lanes[4] = {digest, digest ^ 1, digest ^ 2, digest ^ 3};
  size_t i = 0;
  for (; i + 16 <= count; i += 16) {
    for (size_t lane = 0; lane < 4; ++lane) {
      uint64_t word;
      std::memcpy(&word, samples + i + 4 * lane, sizeof word);
      lanes[lane] = (lanes[lane] ^ word) * kPrime;
    }
  }
  for (uint64_t lane : lanes) digest = (digest ^ lane) * kPrime;
  for (; i < count; ++i) digest = (digest ^ static_cast<uint16_t>(samples[i])) * kPrime;
  return digest;
}

void startSink(OutputSink* sink, OutputFile* output) {
  sink->output = output;
  sink->pending.clear();
  sink->pending.reserve(kSinkBytes + 65536);
  sink->position = 0;
  sink->error = kIoOk;
}

bool sinkFlush(OutputSink* sink) {
  if (sink->error == kIoOk && !sink->pending.empty()) {
    sink->error = writeAll(sink->output, sink->pending.data(), sink->pending.size());
  }
  sink->position += static_cast<int64_t>(sink->pending.size());
  sink->pending.clear();
  return sink->error == kIoOk;
}

bool sinkAdd(OutputSink* sink, const void* bytes, size_t n) {
  const auto* from = static_cast<const uint8_t*>(bytes);
  sink->pending.insert(sink->pending.end(), from, from + n);
  return sink->pending.size() < kSinkBytes ? sink->error == kIoOk : sinkFlush(sink);
}

bool sinkSeek(OutputSink* sink, int64_t offset) {
  if (!sinkFlush(sink)) return false;
  sink->error = seekOutput(sink->output, offset);
  sink->position = offset;
  return sink->error == kIoOk;
}
