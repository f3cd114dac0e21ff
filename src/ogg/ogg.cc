#include "ogg/ogg.h"

#include <ogg/ogg.h>
#include <vorbis/codec.h>
#include <vorbis/vorbisenc.h>

#include <algorithm>
#include <cmath>
#include <cstring>
#include <memory>
#include <mutex>
#include <new>
#include <string>

namespace {

// Appends one page to the sink.
bool addPage(OutputSink* sink, const ogg_page& page) {
  return sinkAdd(sink, page.header, static_cast<size_t>(page.header_len)) &&
         sinkAdd(sink, page.body, static_cast<size_t>(page.body_len));
}

// libvorbis's state for one stream, encoding or decoding, cleared in the
// reverse of the order it was set up in. Each flag says that its part
// needs clearing.
struct VorbisState {
  vorbis_info info;
  vorbis_comment comments;
  vorbis_dsp_state dsp;
  vorbis_block block;
  bool haveDsp = false, haveBlock = false;

  VorbisState() {
    vorbis_info_init(&info);
    vorbis_comment_init(&comments);
  }
  ~VorbisState() {
    if (haveBlock) vorbis_block_clear(&block);
    if (haveDsp) vorbis_dsp_clear(&dsp);
    vorbis_comment_clear(&comments);
    vorbis_info_clear(&info);
  }
  VorbisState(const VorbisState&) = delete;
  VorbisState& operator=(const VorbisState&) = delete;
};

// An encoder: libvorbis's state and the Ogg stream it is packed into,
// cleared first.
struct Encoder {
  VorbisState v;
  ogg_stream_state stream;
  bool haveStream = false;

  Encoder() = default;
  ~Encoder() {
    if (haveStream) ogg_stream_clear(&stream);
  }
  Encoder(const Encoder&) = delete;
  Encoder& operator=(const Encoder&) = delete;
};

// libvorbis allocates without checking (a failed allocation crashes it),
// so this much must be free before it is set up and before each chunk of
// audio it is given: more than the encoder's and the decoder's state for a
// stereo stream, and than what coding and decoding one chunk allocates on
// every thread at once.
// Setting up is where it allocates most, so threads set up one at a time:
// the memory one found free is not taken by another before it is used.
constexpr size_t kVorbisHeadroom = size_t{4} << 20;
std::mutex gSetUpLock;

// A decoder of the encoder's own packets, to learn the peak of what any
// decoder gives: the frames of the stream, none past its end.
struct Decoder {
  VorbisState v;
  int64_t framesLeft = 0;  // frames of the stream not yet decoded
  float peak = 0;
};

// Sets up `d` from the three header packets.
IoError startDecoder(Decoder* d, ogg_packet* headers[3], int64_t frames) {
  if (!memoryAvailable(kVorbisHeadroom)) return kIoNoMemory;
  for (int i = 0; i < 3; ++i) {
    if (vorbis_synthesis_headerin(&d->v.info, &d->v.comments, headers[i]) != 0) {
      return kOggEncoderFailed;
    }
  }
  if (vorbis_synthesis_init(&d->v.dsp, &d->v.info) != 0) return kOggEncoderFailed;
  d->v.haveDsp = true;
  if (!memoryAvailable(kVorbisHeadroom)) return kIoNoMemory;
  if (vorbis_block_init(&d->v.dsp, &d->v.block) != 0) return kOggEncoderFailed;
  d->v.haveBlock = true;
  d->framesLeft = frames;
  return kIoOk;
}

// Decodes one audio packet and takes the peak of its frames.
IoError decode(Decoder* d, ogg_packet* packet) {
  if (vorbis_synthesis(&d->v.block, packet) != 0 ||
      vorbis_synthesis_blockin(&d->v.dsp, &d->v.block) != 0) {
    return kOggEncoderFailed;
  }
  float** pcm;
  int got;
  while ((got = vorbis_synthesis_pcmout(&d->v.dsp, &pcm)) > 0) {
    auto frames = static_cast<int>(std::min<int64_t>(got, d->framesLeft));
    // A local peak: the samples could alias d->peak, which would keep the
    // loop from holding it in a register.
    float peak = d->peak;
    for (int c = 0; c < 2; ++c) {
      const float* samples = pcm[c];
      for (int i = 0; i < frames; ++i) peak = std::max(peak, std::fabs(samples[i]));
    }
    d->peak = peak;
    d->framesLeft -= frames;
    vorbis_synthesis_read(&d->v.dsp, got);
  }
  return kIoOk;
}

// Hands every packet the encoder has ready to the Ogg stream (and to the
// decoder, if any), and every full page to the sink; at the end of the
// stream, the last page too. kIoOk or the first error.
IoError drain(Encoder* e, Decoder* d, OutputSink* sink) {
  ogg_packet packet;
  ogg_page page;
  while (vorbis_analysis_blockout(&e->v.dsp, &e->v.block) == 1) {
    if (vorbis_analysis(&e->v.block, nullptr) != 0 || vorbis_bitrate_addblock(&e->v.block) != 0) {
      return kOggEncoderFailed;
    }
    while (vorbis_bitrate_flushpacket(&e->v.dsp, &packet) == 1) {
      if (d != nullptr) {
        IoError error = decode(d, &packet);
        if (error != kIoOk) return error;
      }
      if (ogg_stream_packetin(&e->stream, &packet) != 0) return kIoNoMemory;
      while (ogg_stream_pageout(&e->stream, &page) != 0) {
        if (!addPage(sink, page)) return sink->error;
      }
      if (ogg_stream_check(&e->stream) != 0) return kIoNoMemory;
    }
  }
  return kIoOk;
}

// The page that holds the comment header, as written, and where it starts.
struct CommentPage {
  std::vector<uint8_t> bytes;
  int64_t offset = 0;
};

// Sets up the encoder and writes the three header packets, the comments of
// `tags` in their order, the audio to start on a page of its own; keeps
// the comment header's page in *commentPage and sets up the decoder `d`,
// if any.
IoError start(Encoder* e, const TrackPlan& plan, const std::vector<Tag>& tags,
              float quality, uint32_t serial, OutputSink* sink, CommentPage* commentPage, Decoder* d) {
  if (vorbis_encode_init_vbr(&e->v.info, 2, plan.sampleRate, quality / 10.0f) != 0) {
    return kOggEncoderFailed;
  }
  for (const Tag& tag : tags) {
    vorbis_comment_add_tag(&e->v.comments, tag.name.c_str(), tag.value.c_str());
  }
  if (!memoryAvailable(kVorbisHeadroom)) return kIoNoMemory;
  if (vorbis_analysis_init(&e->v.dsp, &e->v.info) != 0) return kOggEncoderFailed;
  e->v.haveDsp = true;
  if (!memoryAvailable(kVorbisHeadroom)) return kIoNoMemory;
  if (vorbis_block_init(&e->v.dsp, &e->v.block) != 0) return kOggEncoderFailed;
  e->v.haveBlock = true;
  if (ogg_stream_init(&e->stream, static_cast<int>(serial)) != 0) return kIoNoMemory;
  e->haveStream = true;
  ogg_packet identification, comment, setup;
  if (!memoryAvailable(kVorbisHeadroom)) return kIoNoMemory;
  if (vorbis_analysis_headerout(&e->v.dsp, &e->v.comments, &identification, &comment,
                                &setup) != 0 ||
      static_cast<size_t>(comment.bytes) > kMaxCommentPacketBytes) {
    return kOggEncoderFailed;
  }
  for (ogg_packet* p : {&identification, &comment, &setup}) {
    if (ogg_stream_packetin(&e->stream, p) != 0) return kIoNoMemory;
  }
  // The identification header alone on the first page, the comment header
  // at the head of the second.
  ogg_page page;
  for (int64_t pages = 0, offset = 0; ogg_stream_flush(&e->stream, &page) != 0; ++pages) {
    if (pages == 1) {
      commentPage->offset = offset;
      commentPage->bytes.assign(page.header, page.header + page.header_len);
      commentPage->bytes.insert(commentPage->bytes.end(), page.body, page.body + page.body_len);
    }
    offset += page.header_len + page.body_len;
    if (!addPage(sink, page)) return sink->error;
  }
  if (ogg_stream_check(&e->stream) != 0) return kIoNoMemory;
  if (d == nullptr) return kIoOk;
  ogg_packet* headers[3] = {&identification, &comment, &setup};
  return startDecoder(d, headers, plan.dataLength / kFrameBytes);
}

// Where the value of comment `name` is in a page that starts with the
// comment header (bytes [at, at + length) of it), or false.
bool findComment(const std::vector<uint8_t>& page, const std::string& name, size_t* at,
                 size_t* length) {
  if (page.size() < 27) return false;
  size_t header = 27 + size_t{page[26]};
  if (page.size() < header) return false;
  auto u32 = [&](size_t i) {
    return uint32_t{page[i]} | uint32_t{page[i + 1]} << 8 | uint32_t{page[i + 2]} << 16 |
           uint32_t{page[i + 3]} << 24;
  };
  size_t i = header + 7;  // past the packet type and "vorbis"
  if (i + 4 > page.size()) return false;
  i += 4 + size_t{u32(i)};  // past the vendor string
  if (i + 4 > page.size()) return false;
  uint32_t count = u32(i);
  i += 4;
  for (uint32_t c = 0; c < count && i + 4 <= page.size(); ++c) {
    size_t bytes = u32(i);
    i += 4;
    if (bytes > page.size() - i) return false;
    std::string comment(page.begin() + static_cast<std::ptrdiff_t>(i),
                        page.begin() + static_cast<std::ptrdiff_t>(i + bytes));
    size_t equals = comment.find('=');
    if (equals != std::string::npos && sameTagName(comment.substr(0, equals), name)) {
      *at = i + equals + 1;
      *length = bytes - equals - 1;
      return true;
    }
    i += bytes;
  }
  return false;
}

// Replaces the value of comment `name` in a page that starts with the
// comment header by `value` of the same length, and sets the page's
// checksum again. False when it holds no such comment.
bool setComment(std::vector<uint8_t>* page, const std::string& name, const std::string& value) {
  size_t at = 0, length = 0;
  if (!findComment(*page, name, &at, &length) || length != value.size()) return false;
  std::copy(value.begin(), value.end(), page->begin() + static_cast<std::ptrdiff_t>(at));
  size_t header = 27 + size_t{(*page)[26]};
  ogg_page view;
  view.header = page->data();
  view.header_len = static_cast<long>(header);
  view.body = page->data() + header;
  view.body_len = static_cast<long>(page->size() - header);
  ogg_page_checksum_set(&view);
  return true;
}

// The size of the Ogg page at the start of `bytes`, 0 when it is not one
// (or not all there).
size_t pageSize(const uint8_t* bytes, size_t n) {
  if (n < 27 || std::memcmp(bytes, "OggS", 4) != 0) return 0;
  size_t header = 27 + size_t{bytes[26]};
  if (n < header) return 0;
  size_t body = 0;
  for (size_t i = 27; i < header; ++i) body += bytes[i];
  return header + body <= n ? header + body : 0;
}

}  // namespace

size_t oggVendorBytes() {
  // libvorbis keeps its vendor string to itself: the comment packet of no
  // comments shows its length.
  static const size_t bytes = [] {
    vorbis_comment none;
    vorbis_comment_init(&none);
    ogg_packet packet;
    size_t vendor = 0;
    if (vorbis_commentheader_out(&none, &packet) == 0) {
      vendor = static_cast<size_t>(packet.bytes) - commentPacketBytes({}, 0);
      ogg_packet_clear(&packet);
    }
    vorbis_comment_clear(&none);
    return vendor;
  }();
  return bytes;
}

IoError writeOggTrack(FileHandle dataFile, OutputFile* output, const TrackPlan& plan,
                      const std::vector<Tag>& tags, float quality, uint32_t serial,
                      const GainTable* gains, const StreamCheck& expect, PeakTag* peak,
                      StreamCount* done) {
  if (!(quality >= kOggMinQuality && quality <= kOggMaxQuality)) return kOggEncoderFailed;
  if (!tagsAreValid(tags)) return kOggEncoderFailed;
  for (const Tag& tag : tags) {
    if (tag.value.find('\0') != std::string::npos) return kOggEncoderFailed;
  }
  TagLayout layout = layoutTags(tags, oggVendorBytes());
  if (!layout.placed) return kOggEncoderFailed;
  // Every buffer of this call is made while setting up, one thread at a
  // time, so that the memory found free is still there when used.
  std::unique_lock<std::mutex> settingUp(gSetUpLock);
  if (!memoryAvailable(kVorbisHeadroom)) return kIoNoMemory;
  auto buffer = std::make_unique<ChunkBuffer>();
  OutputSink sink;
  startSink(&sink, output);
  Encoder e;
  std::unique_ptr<Decoder> decoder;
  if (peak != nullptr) decoder = std::make_unique<Decoder>();
  CommentPage commentPage;
  IoError error =
      start(&e, plan, layout.tags, quality, serial, &sink, &commentPage, decoder.get());
  settingUp.unlock();
  if (error != kIoOk) return error;
  StreamRead read{dataFile, &plan, gains, buffer.get(), done, expect, nullptr};
  error = readChunks(read, [&](int16_t* samples, size_t count) {
    auto frames = static_cast<int>(count / 2);
    if (!memoryAvailable(kVorbisHeadroom)) return kIoNoMemory;
    float** channels = vorbis_analysis_buffer(&e.v.dsp, frames);
    for (int i = 0; i < frames; ++i) {
      channels[0][i] = samples[2 * i] / 32768.0f;
      channels[1][i] = samples[2 * i + 1] / 32768.0f;
    }
    if (vorbis_analysis_wrote(&e.v.dsp, frames) != 0) return kOggEncoderFailed;
    return drain(&e, decoder.get(), &sink);
  });
  if (error != kIoOk) return error;
  // The end of the stream: the encoder codes what it holds and marks the
  // last packet, whose granule position is the frame count.
  if (!memoryAvailable(kVorbisHeadroom)) return kIoNoMemory;
  if (vorbis_analysis_wrote(&e.v.dsp, 0) != 0) return kOggEncoderFailed;
  error = drain(&e, decoder.get(), &sink);
  if (error != kIoOk) return error;
  ogg_page page;
  while (ogg_stream_flush(&e.stream, &page) != 0) {
    if (!addPage(&sink, page)) return sink.error;
  }
  if (!sinkFlush(&sink)) return sink.error;
  if (peak == nullptr) return kIoOk;
  peak->peak = decoder->peak;
  if (peak->name == nullptr) return kIoOk;
  // The comment header's page again, with the peak now known.
  if (!setComment(&commentPage.bytes, peak->name, peak->text(peak->peak))) {
    return kOggEncoderFailed;
  }
  error = seekOutput(output, commentPage.offset);
  if (error == kIoOk) error = writeAll(output, commentPage.bytes.data(), commentPage.bytes.size());
  return error;
}

uint32_t oggSerial(int trackNumber, int part) {
  return static_cast<uint32_t>(trackNumber * 4 + part);
}

IoError copyOggWithTag(FileHandle in, int64_t size, OutputFile* output, const std::string& name,
                       const std::string& value) {
  // The identification page and the comment header's page, which holds
  // the whole comment header at its head.
  constexpr int64_t kMostHeader = 2 * (27 + 255 + 255 * 255);
  std::vector<uint8_t> head(static_cast<size_t>(std::min(size, kMostHeader)));
  IoError error = readAt(in, 0, head.data(), head.size());
  if (error != kIoOk) return error;
  size_t first = pageSize(head.data(), head.size());
  size_t second = first == 0 ? 0 : pageSize(head.data() + first, head.size() - first);
  if (second == 0) return kOggEncoderFailed;
  std::vector<uint8_t> page(head.begin() + static_cast<std::ptrdiff_t>(first),
                            head.begin() + static_cast<std::ptrdiff_t>(first + second));
  if (!setComment(&page, name, value)) return kOggEncoderFailed;
  error = writeAll(output, head.data(), first);
  if (error == kIoOk) error = writeAll(output, page.data(), page.size());
  auto offset = static_cast<int64_t>(first + second);
  // The rest as it is: by the kernel where it can, else through memory.
  if (error == kIoOk) {
    error = copyToEnd(in, offset, output->file, static_cast<size_t>(size - offset));
  }
  if (error == kIoUnsupported) {
    error = kIoOk;
    std::vector<uint8_t> piece(size_t{1} << 20);
    for (; offset < size && error == kIoOk;) {
      auto n = static_cast<size_t>(std::min<int64_t>(size - offset, 1 << 20));
      error = readAt(in, offset, piece.data(), n);
      if (error == kIoOk) error = writeAll(output, piece.data(), n);
      offset += static_cast<int64_t>(n);
    }
  }
  return error;
}
