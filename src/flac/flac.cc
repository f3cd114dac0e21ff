#include "flac/flac.h"

#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>

#include <algorithm>
#include <cstring>
#include <memory>

namespace {

// The encoder writes through an OutputSink: at the end of the file while
// the frames are written, at its start when it fills in STREAMINFO.
FLAC__StreamEncoderWriteStatus onWrite(const FLAC__StreamEncoder*, const FLAC__byte bytes[],
                                       size_t count, uint32_t, uint32_t, void* data) {
  return sinkAdd(static_cast<OutputSink*>(data), bytes, count)
             ? FLAC__STREAM_ENCODER_WRITE_STATUS_OK
             : FLAC__STREAM_ENCODER_WRITE_STATUS_FATAL_ERROR;
}

FLAC__StreamEncoderSeekStatus onSeek(const FLAC__StreamEncoder*, FLAC__uint64 offset,
                                     void* data) {
  return sinkSeek(static_cast<OutputSink*>(data), static_cast<int64_t>(offset))
             ? FLAC__STREAM_ENCODER_SEEK_STATUS_OK
             : FLAC__STREAM_ENCODER_SEEK_STATUS_ERROR;
}

FLAC__StreamEncoderTellStatus onTell(const FLAC__StreamEncoder*, FLAC__uint64* offset,
                                     void* data) {
  auto* sink = static_cast<OutputSink*>(data);
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
IoError encoderError(const FLAC__StreamEncoder* encoder, const OutputSink& sink) {
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
  // Declared in this order so that the encoder goes first: deleting an
  // unfinished encoder finishes it, through the sink and the blocks.
  OutputSink sink;
  startSink(&sink, output);
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
  if (!set || FLAC__stream_encoder_init_stream(e, onWrite, onSeek, onTell, nullptr, &sink) !=
                  FLAC__STREAM_ENCODER_INIT_STATUS_OK) {
    return encoderError(e, sink);
  }
  std::vector<FLAC__int32> wide(kChunkBufferBytes / 2);
  StreamRead read{dataFile, &plan, gains, nullptr, done, expect, nullptr};
  IoError error = readChunks(read, [&](int16_t* samples, size_t count) {
    std::copy(samples, samples + count, wide.begin());
    return FLAC__stream_encoder_process_interleaved(e, wide.data(),
                                                    static_cast<uint32_t>(count / 2))
               ? kIoOk
               : encoderError(e, sink);
  });
  if (error != kIoOk) return error;  // the encoder is deleted unfinished
  if (!FLAC__stream_encoder_finish(e)) return encoderError(e, sink);
  return sinkFlush(&sink) ? kIoOk : sink.error;
}
