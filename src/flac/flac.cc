#include "flac/flac.h"

#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <new>

namespace {

// The encoder's bytes on their way to the output file, gathered into large
// writes. `position` is where the next byte goes: the end of the file while
// the frames are written, the start when the encoder fills in STREAMINFO.
struct Sink {
  OutputFile* output;
  std::vector<uint8_t> pending;
  int64_t position = 0;  // of pending's first byte
  IoError error = kIoOk;

  bool flush() {
    if (error == kIoOk && !pending.empty()) error = writeAll(output, pending.data(), pending.size());
    position += static_cast<int64_t>(pending.size());
    pending.clear();
    return error == kIoOk;
  }
};

constexpr size_t kSinkBytes = 1 << 20;

FLAC__StreamEncoderWriteStatus onWrite(const FLAC__StreamEncoder*, const FLAC__byte bytes[],
                                       size_t count, uint32_t, uint32_t, void* data) {
  auto* sink = static_cast<Sink*>(data);
  sink->pending.insert(sink->pending.end(), bytes, bytes + count);
  if (sink->pending.size() >= kSinkBytes && !sink->flush()) {
    return FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
  }
  return FLAC__STREAM_ENCODER_WRITE_STATUS_OK;
}

FLAC__StreamEncoderSeekStatus onSeek(const FLAC__StreamEncoder*, FLAC__uint64 offset,
                                     void* data) {
  auto* sink = static_cast<Sink*>(data);
  if (!sink->flush()) return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
  sink->error = seekOutput(sink->output, static_cast<int64_t>(offset));
  if (sink->error != kIoOk) return FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
  sink->position = static_cast<int64_t>(offset);
  return FLAC__STREAM_ENCODER_SEEK_STATUS_OK;
}

FLAC__StreamEncoderTellStatus onTell(const FLAC__StreamEncoder*, FLAC__uint64* offset,
                                     void* data) {
  auto* sink = static_cast<Sink*>(data);
  *offset = static_cast<FLAC__uint64>(sink->position) + sink->pending.size();
  return FLAC__STREAM_ENCODER_TELL_STATUS_OK;
}

struct EncoderDeleter {
  void operator()(FLAC__StreamEncoder* e) const { FLAC__stream_encoder_delete(e); }
};
struct MetadataDeleter {
  void operator()(FLAC__StreamMetadata* m) const { FLAC__metadata_object_delete(m); }
};
using Metadata = std::unique_ptr<FLAC__StreamMetadata, MetadataDeleter>;

// The SEEKTABLE, VORBIS_COMMENT and PADDING blocks; null entries when
// libFLAC could not allocate them.
struct MetadataBlocks {
  Metadata seekTable, comments, padding;
};

MetadataBlocks makeMetadata(const TrackPlan& plan, const std::vector<Tag>& tags) {
  MetadataBlocks m;
  auto frames = static_cast<FLAC__uint64>(plan.dataLength / kFrameBytes);
  m.seekTable.reset(FLAC__metadata_object_new(FLAC__METADATA_TYPE_SEEKTABLE));
  if (m.seekTable &&
      (!FLAC__metadata_object_seektable_template_append_spaced_points_by_samples(
           m.seekTable.get(), static_cast<uint32_t>(plan.sampleRate * kFlacSeekPointSeconds),
           frames) ||
       !FLAC__metadata_object_seektable_template_sort(m.seekTable.get(), true))) {
    m.seekTable.reset();
  }
  m.comments.reset(FLAC__metadata_object_new(FLAC__METADATA_TYPE_VORBIS_COMMENT));
  for (const Tag& tag : layoutTags(tags, flacVendorBytes()).tags) {
    if (!m.comments) break;
    FLAC__StreamMetadata_VorbisComment_Entry entry;
    if (!FLAC__metadata_object_vorbiscomment_entry_from_name_value_pair(
            &entry, tag.name.c_str(), tag.value.c_str()) ||
        !FLAC__metadata_object_vorbiscomment_append_comment(m.comments.get(), entry,
                                                            /*copy=*/false)) {
      m.comments.reset();
    }
  }
  m.padding.reset(FLAC__metadata_object_new(FLAC__METADATA_TYPE_PADDING));
  if (m.padding) m.padding->length = kFlacPaddingBytes;
  return m;
}

// The IoError for an encoder that stopped: the sink's own error first.
IoError encoderError(const FLAC__StreamEncoder* encoder, const Sink& sink) {
  if (sink.error != kIoOk) return sink.error;
  return FLAC__stream_encoder_get_state(encoder) == FLAC__STREAM_ENCODER_MEMORY_ALLOCATION_ERROR
             ? kIoNoMemory
             : kFlacEncoderFailed;
}

}  // namespace

size_t flacVendorBytes() { return std::strlen(FLAC__VENDOR_STRING); }

IoError writeFlacTrack(FileHandle dataFile, OutputFile* output, const TrackPlan& plan,
                       const std::vector<Tag>& tags, int compression, const GainTable* gains,
                       const StreamCheck& expect, StreamCount* done) {
  if (!tagsAreValid(tags)) return kFlacEncoderFailed;
  try {
    // Declared in this order so that the encoder goes first: deleting an
    // unfinished encoder finishes it, through the sink and the blocks.
    Sink sink{output, {}, 0, kIoOk};
    MetadataBlocks blocks = makeMetadata(plan, tags);
    std::unique_ptr<FLAC__StreamEncoder, EncoderDeleter> encoder(FLAC__stream_encoder_new());
    if (!encoder || !blocks.seekTable || !blocks.comments || !blocks.padding) return kIoNoMemory;
    FLAC__StreamMetadata* metadata[] = {blocks.seekTable.get(), blocks.comments.get(),
                                        blocks.padding.get()};
    FLAC__StreamEncoder* e = encoder.get();
    auto frames = static_cast<FLAC__uint64>(plan.dataLength / kFrameBytes);
    bool set = FLAC__stream_encoder_set_channels(e, 2) &&
               FLAC__stream_encoder_set_bits_per_sample(e, 16) &&
               FLAC__stream_encoder_set_sample_rate(e, static_cast<uint32_t>(plan.sampleRate)) &&
               FLAC__stream_encoder_set_compression_level(e, static_cast<uint32_t>(compression)) &&
               FLAC__stream_encoder_set_total_samples_estimate(e, frames) &&
               FLAC__stream_encoder_set_metadata(e, metadata, 3);
    sink.pending.reserve(kSinkBytes + 65536);
    if (!set || FLAC__stream_encoder_init_stream(e, onWrite, onSeek, onTell, nullptr, &sink) !=
                    FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
      return encoderError(e, sink);
    }
    auto buffer = std::make_unique<ChunkBuffer>();
    std::vector<FLAC__int32> wide(kChunkBufferBytes / 2);
    IoError error = kIoOk;
    uint64_t digest = kStreamDigestStart;
    for (int64_t pos = 0; pos < plan.dataLength && error == kIoOk; pos += kChunkBufferBytes) {
      auto bytes = static_cast<size_t>(std::min<int64_t>(kChunkBufferBytes, plan.dataLength - pos));
      error = readStream(dataFile, plan, pos, buffer->samples, bytes, gains);
      if (error != kIoOk) break;
      if (expect.check) digest = foldDigest(digest, buffer->samples, bytes / 2);
      std::copy(buffer->samples, buffer->samples + bytes / 2, wide.begin());
      if (!FLAC__stream_encoder_process_interleaved(e, wide.data(),
                                                    static_cast<uint32_t>(bytes / kFrameBytes))) {
        error = encoderError(e, sink);
      } else {
        addToCount(done, static_cast<int64_t>(bytes));
      }
    }
    if (error == kIoOk && expect.check && digest != expect.digest) error = kIoChanged;
    if (error != kIoOk) return error;  // the encoder is deleted unfinished
    if (!FLAC__stream_encoder_finish(e)) return encoderError(e, sink);
    return sink.flush() ? kIoOk : sink.error;
  } catch (const std::bad_alloc&) {
    return kIoNoMemory;
  }
}
