#include "ogg/ogg.h"

#include <ogg/ogg.h>
#include <vorbis/codec.h>
#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <cmath>
#include <memory>
#include <new>
#include <string>

namespace {

// The pages on their way to the output file, gathered into large writes.
struct Sink {
  OutputFile* output;
  std::vector<uint8_t> pending;
  IoError error = kIoOk;

  bool flush() {
    if (error == kIoOk && !pending.empty()) error = writeAll(output, pending.data(), pending.size());
    pending.clear();
    return error == kIoOk;
  }
  bool add(const ogg_page& page) {
    pending.insert(pending.end(), page.header, page.header + page.header_len);
    pending.insert(pending.end(), page.body, page.body + page.body_len);
    return pending.size() < kSinkBytes || flush();
  }
  static constexpr size_t kSinkBytes = 1 << 20;
};

// libvorbis's and libogg's state for one stream, cleared in the reverse of
// the order it was set up in. Each flag says that its part needs clearing.
struct Encoder {
  vorbis_info info;
  vorbis_comment comments;
  vorbis_dsp_state dsp;
  vorbis_block block;
  ogg_stream_state stream;
  bool haveDsp = false, haveBlock = false, haveStream = false;

  Encoder() {
    vorbis_info_init(&info);
    vorbis_comment_init(&comments);
  }
  ~Encoder() {
    if (haveStream) ogg_stream_clear(&stream);
    if (haveBlock) vorbis_block_clear(&block);
    if (haveDsp) vorbis_dsp_clear(&dsp);
    vorbis_comment_clear(&comments);
    vorbis_info_clear(&info);
  }
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;
};

// Hands every packet the encoder has ready to the Ogg stream, and every
// full page to the sink; at the end of the stream, the last page too.
// kIoOk or the first error.
IoError drain(Encoder* e, Sink* sink) {
  ogg_packet packet;
  ogg_page page;
  while (vorbis_analysis_blockout(&e->dsp, &e->block) == 1) {
    if (vorbis_analysis(&e->block, nullptr) != 0 || vorbis_bitrate_addblock(&e->block) != 0) {
      return kOggEncoderFailed;
    }
    while (vorbis_bitrate_flushpacket(&e->dsp, &packet) == 1) {
      if (ogg_stream_packetin(&e->stream, &packet) != 0) return kIoNoMemory;
      while (ogg_stream_pageout(&e->stream, &page) != 0) {
        if (!sink->add(page)) return sink->error;
      }
      if (ogg_stream_check(&e->stream) != 0) return kIoNoMemory;
    }
  }
  return kIoOk;
}

// Sets up the encoder and writes the three header packets, the audio to
// start on a page of its own.
IoError start(Encoder* e, const TrackPlan& plan, const std::vector<Tag>& tags,
              float quality, uint32_t serial, Sink* sink) {
  if (vorbis_encode_init_vbr(&e->info, 2, plan.sampleRate, quality / 10.0f) != 0) {
    return kOggEncoderFailed;
  }
  for (const Tag& tag : oggTagOrder(tags)) {
    vorbis_comment_add_tag(&e->comments, tag.name.c_str(), tag.value.c_str());
  }
  if (vorbis_analysis_init(&e->dsp, &e->info) != 0) return kOggEncoderFailed;
  e->haveDsp = true;
  if (vorbis_block_init(&e->dsp, &e->block) != 0) return kOggEncoderFailed;
  e->haveBlock = true;
  if (ogg_stream_init(&e->stream, static_cast<int>(serial)) != 0) return kIoNoMemory;
  e->haveStream = true;
  ogg_packet identification, comment, setup;
  if (vorbis_analysis_headerout(&e->dsp, &e->comments, &identification, &comment, &setup) != 0) {
    return kOggEncoderFailed;
  }
  for (ogg_packet* p : {&identification, &comment, &setup}) {
    if (ogg_stream_packetin(&e->stream, p) != 0) return kIoNoMemory;
  }
  ogg_page page;
  while (ogg_stream_flush(&e->stream, &page) != 0) {
    if (!sink->add(page)) return sink->error;
  }
  return ogg_stream_check(&e->stream) == 0 ? kIoOk : kIoNoMemory;
}

}  // namespace

const char* oggErrorText(IoError error) {
  return error == kOggEncoderFailed ? "the Vorbis encoder failed" : nullptr;
}

std::vector<Tag> oggTagOrder(const std::vector<Tag>& tags) {
  std::vector<Tag> ordered;
  ordered.reserve(tags.size());
  auto loopTag = [](const Tag& t) {
    return sameTagName(t.name, "LOOPSTART") || sameTagName(t.name, "LOOPLENGTH");
  };
  for (const Tag& t : tags) {
    if (!loopTag(t)) ordered.push_back(t);
  }
  for (const char* name : {"LOOPSTART", "LOOPLENGTH"}) {
    for (const Tag& t : tags) {
      if (sameTagName(t.name, name)) ordered.push_back(t);
    }
  }
  return ordered;
}

IoError writeOggTrack(FileHandle dataFile, OutputFile* output, const TrackPlan& plan,
                      const std::vector<Tag>& tags, float quality, uint32_t serial,
                      const GainTable* gains, StreamCount* done) {
  if (!(quality >= kOggMinQuality && quality <= kOggMaxQuality)) return kOggEncoderFailed;
  if (!tagsAreValid(tags)) return kOggEncoderFailed;
  for (const Tag& tag : tags) {
    if (tag.value.find('\0') != std::string::npos) return kOggEncoderFailed;
  }
  try {
    auto buffer = std::make_unique<ChunkBuffer>();
    Sink sink{output, {}, kIoOk};
    sink.pending.reserve(Sink::kSinkBytes + 65536);
    Encoder e;
    IoError error = start(&e, plan, tags, quality, serial, &sink);
    for (int64_t pos = 0; pos < plan.dataLength && error == kIoOk; pos += kChunkBufferBytes) {
      auto bytes = static_cast<size_t>(std::min<int64_t>(kChunkBufferBytes, plan.dataLength - pos));
      error = readStream(dataFile, plan, pos, buffer->samples, bytes, gains);
      if (error != kIoOk) break;
      auto frames = static_cast<int>(bytes / kFrameBytes);
      float** channels = vorbis_analysis_buffer(&e.dsp, frames);
      for (int i = 0; i < frames; ++i) {
        channels[0][i] = buffer->samples[2 * i] / 32768.0f;
        channels[1][i] = buffer->samples[2 * i + 1] / 32768.0f;
      }
      if (vorbis_analysis_wrote(&e.dsp, frames) != 0) return kOggEncoderFailed;
      error = drain(&e, &sink);
      if (error == kIoOk) addToCount(done, static_cast<int64_t>(bytes));
    }
    if (error != kIoOk) return error;
    // The end of the stream: the encoder codes what it holds and marks the
    // last packet, whose granule position is the frame count.
    if (vorbis_analysis_wrote(&e.dsp, 0) != 0) return kOggEncoderFailed;
    error = drain(&e, &sink);
    if (error != kIoOk) return error;
    ogg_page page;
    while (ogg_stream_flush(&e.stream, &page) != 0) {
      if (!sink.add(page)) return sink.error;
    }
    return sink.flush() ? kIoOk : sink.error;
  } catch (const std::bad_alloc&) {
    return kIoNoMemory;
  }
}
