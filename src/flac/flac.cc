#include "flac/flac.h"

#include <FLAC/metadata.h>
#include <FLAC/stream_encoder.h>

#include <algorithm>
#include <memory>
#include <new>

namespace {

bool sameName(const std::string& a, const std::string& b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

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

MetadataBlocks makeMetadata(const TrackPlan& plan, const std::vector<FlacTag>& tags) {
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
  for (const FlacTag& tag : tags) {
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
             : kIoEncoderFailed;
}

}  // namespace

bool isValidTagName(const std::string& name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return c >= 0x20 && c <= 0x7d && c != '=';
  });
}

bool isValidUtf8(const std::string& text) {
  static const uint32_t kSmallest[] = {0, 0x80, 0x800, 0x10000};  // by continuation bytes
  for (size_t i = 0; i < text.size();) {
    auto c = static_cast<uint8_t>(text[i++]);
    int more = c < 0x80 ? 0 : (c & 0xe0) == 0xc0 ? 1 : (c & 0xf0) == 0xe0 ? 2 : (c & 0xf8) == 0xf0 ? 3 : -1;
    if (more < 0 || static_cast<size_t>(more) > text.size() - i) return false;
    uint32_t code = c & (0xffu >> (more + 1 + (more > 0)));
    for (int k = 0; k < more; ++k) {
      auto b = static_cast<uint8_t>(text[i++]);
      if ((b & 0xc0) != 0x80) return false;
      code = (code << 6) | (b & 0x3fu);
    }
    if (code < kSmallest[more] || code > 0x10ffff || (code >= 0xd800 && code <= 0xdfff)) {
      return false;
    }
  }
  return true;
}

std::vector<FlacTag> flacTags(const FlacTrackInfo& info, const LoopPoints& loop,
                              const std::vector<FlacTag>& overrides) {
  std::vector<FlacTag> tags = {
      {"TITLE", info.title},
      {"TRACKNUMBER", std::to_string(info.trackNumber)},
      {"TRACKTOTAL", std::to_string(kTrackCount)},
      {"ALBUM", info.album},
  };
  if (loop.present) {
    tags.push_back({"LOOPSTART", std::to_string(loop.start)});
    tags.push_back({"LOOPLENGTH", std::to_string(int64_t{loop.end} - loop.start + 1)});
  }
  for (const FlacTag& o : overrides) {
    auto named = [&](const FlacTag& t) { return sameName(t.name, o.name); };
    auto first = std::find_if(tags.begin(), tags.end(), named);
    auto at = first - tags.begin();
    tags.erase(std::remove_if(first, tags.end(), named), tags.end());
    if (!o.value.empty()) tags.insert(tags.begin() + at, o);
  }
  return tags;
}

IoError writeFlacTrack(FileHandle dataFile, OutputFile* output, const TrackPlan& plan,
                       const std::vector<FlacTag>& tags, int compression,
                       ChunkBuffer* buffer) {
  for (const FlacTag& tag : tags) {
    if (!isValidTagName(tag.name) || !isValidUtf8(tag.value)) return kIoEncoderFailed;
  }
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
    std::vector<FLAC__int32> wide(kChunkBufferBytes / 2);
    IoError error = kIoOk;
    for (int64_t pos = 0; pos < plan.dataLength && error == kIoOk; pos += kChunkBufferBytes) {
      auto bytes = static_cast<size_t>(std::min<int64_t>(kChunkBufferBytes, plan.dataLength - pos));
      error = readStream(dataFile, plan, pos, buffer->samples, bytes, buffer);
      if (error != kIoOk) break;
      std::copy(buffer->samples, buffer->samples + bytes / 2, wide.begin());
      if (!FLAC__stream_encoder_process_interleaved(e, wide.data(),
                                                    static_cast<uint32_t>(bytes / kFrameBytes))) {
        error = encoderError(e, sink);
      }
    }
    if (error != kIoOk) return error;  // the encoder is deleted unfinished
    if (!FLAC__stream_encoder_finish(e)) return encoderError(e, sink);
    return sink.flush() ? kIoOk : sink.error;
  } catch (const std::bad_alloc&) {
    return kIoNoMemory;
  }
}
