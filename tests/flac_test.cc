#include "flac/flac.h"

#include <FLAC/metadata.h>
#include <FLAC/stream_decoder.h>
#include <gtest/gtest.h>

#include <cstring>
#include <memory>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "test_util.h"

namespace {

// What a decoder finds in a file: the audio as interleaved 16-bit samples,
// STREAMINFO, and the other metadata blocks in order.
struct Decoded {
  std::vector<int16_t> samples;
  FLAC__StreamMetadata_StreamInfo info = {};
  std::vector<FLAC__MetadataType> blocks;
  uint32_t padding = 0;
  std::vector<uint64_t> seekPoints;  // sample numbers
  std::vector<std::string> comments;
  bool error = false;
};

FLAC__StreamDecoderWriteStatus onFrame(const FLAC__StreamDecoder*, const FLAC__Frame* frame,
                                       const FLAC__int32* const channels[], void* data) {
  auto* d = static_cast<Decoded*>(data);
  for (uint32_t i = 0; i < frame->header.blocksize; ++i) {
    d->samples.push_back(static_cast<int16_t>(channels[0][i]));
    d->samples.push_back(static_cast<int16_t>(channels[1][i]));
  }
  return FLAC__STREAM_DECODER_WRITE_STATUS_CONTINUE;
}

void onMetadata(const FLAC__StreamDecoder*, const FLAC__StreamMetadata* m, void* data) {
  auto* d = static_cast<Decoded*>(data);
  d->blocks.push_back(m->type);
  if (m->type == FLAC__METADATA_TYPE_STREAMINFO) d->info = m->data.stream_info;
  if (m->type == FLAC__METADATA_TYPE_PADDING) d->padding = m->length;
  if (m->type == FLAC__METADATA_TYPE_SEEKTABLE) {
    for (uint32_t i = 0; i < m->data.seek_table.num_points; ++i) {
      d->seekPoints.push_back(m->data.seek_table.points[i].sample_number);
    }
  }
  if (m->type == FLAC__METADATA_TYPE_VORBIS_COMMENT) {
    for (uint32_t i = 0; i < m->data.vorbis_comment.num_comments; ++i) {
      const auto& c = m->data.vorbis_comment.comments[i];
      d->comments.emplace_back(reinterpret_cast<const char*>(c.entry), c.length);
    }
  }
}

void onError(const FLAC__StreamDecoder*, FLAC__StreamDecoderErrorStatus, void* data) {
  static_cast<Decoded*>(data)->error = true;
}

Decoded decode(const std::string& path) {
  Decoded d;
  FLAC__StreamDecoder* decoder = FLAC__stream_decoder_new();
  FLAC__stream_decoder_set_md5_checking(decoder, true);
  FLAC__stream_decoder_set_metadata_respond_all(decoder);
  if (FLAC__stream_decoder_init_file(decoder, path.c_str(), onFrame, onMetadata, onError, &d) !=
          FLAC__STREAM_DECODER_INIT_STATUS_OK ||
      !FLAC__stream_decoder_process_until_end_of_stream(decoder) ||
      !FLAC__stream_decoder_finish(decoder)) {  // false when the MD5 differs
    d.error = true;
  }
  FLAC__stream_decoder_delete(decoder);
  return d;
}

// The made-up track, played at 44,100 Hz or 22,050 Hz.
class FlacWriter : public EncoderTest {
 protected:
  void SetUp() override {
    std::vector<uint8_t> raw(static_cast<size_t>(entry.end) + kSecond);
    for (size_t i = 0; i < raw.size(); ++i) {
      raw[i] = static_cast<uint8_t>((i * 2654435761u) >> (i % 2 ? 24 : 13));
    }
    ASSERT_EQ(useDataFile(raw), kIoOk);
  }

  IoError write(const TrackPlan& plan, const std::vector<Tag>& t, int level,
                const std::string& name) {
    OutputFile out;
    IoError error = createOutput("", name, &out);
    if (error == kIoOk) error = writeFlacTrack(dataFile, &out, plan, t, level, gainsOf(plan));
    if (error == kIoOk) return commitOutput(&out);
    discardOutput(&out);
    return error;
  }
};

TEST_F(FlacWriter, DecodesToTheWaveAudioWithItsMetadata) {
  struct Case {
    RenderSettings settings;
    int32_t rate;
    int level;
  } cases[] = {
      {play(1, 0, FadePattern::Exponential), 44100, 5},
      {play(3, 1, FadePattern::Linear), 44100, 0},
      {play(2, -4, FadePattern::Blend), 44100, 8},          // wraps round the loop
      {play(2, -1, FadePattern::RaisedCosine, true), 22050, 5},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << "fade " << c.settings.fade << " rate " << c.rate);
    TrackPlan plan = planTrack(entry, c.settings, c.rate);
    ASSERT_EQ(write(plan, {{"TITLE", "序章"}}, c.level, "out.flac"), kIoOk);
    Decoded d = decode("out.flac");
    EXPECT_FALSE(d.error);
    EXPECT_EQ(d.samples, stream(plan));
    EXPECT_EQ(d.info.total_samples, static_cast<uint64_t>(plan.dataLength / kFrameBytes));
    EXPECT_EQ(d.info.sample_rate, static_cast<uint32_t>(c.rate));
    EXPECT_EQ(d.info.channels, 2u);
    EXPECT_EQ(d.info.bits_per_sample, 16u);
    const FLAC__byte zero[16] = {};
    EXPECT_NE(std::memcmp(d.info.md5sum, zero, 16), 0);
    EXPECT_EQ(d.blocks, (std::vector<FLAC__MetadataType>{
                            FLAC__METADATA_TYPE_STREAMINFO, FLAC__METADATA_TYPE_SEEKTABLE,
                            FLAC__METADATA_TYPE_VORBIS_COMMENT, FLAC__METADATA_TYPE_PADDING}));
    EXPECT_EQ(d.padding, kFlacPaddingBytes);
    EXPECT_EQ(d.comments, (std::vector<std::string>{"TITLE=序章"}));
    // One point every 10 seconds: these streams are shorter, so just 0.
    EXPECT_EQ(d.seekPoints, (std::vector<uint64_t>{0}));
  }
  EXPECT_EQ(folder.names(), (std::vector<std::string>{"kvbgm.dat", "out.flac"}));
}

TEST_F(FlacWriter, SeekPointEveryTenSeconds) {
  TrackPlan plan = planTrack(entry, play(10, -30, FadePattern::Linear), 22050);  // 61 s
  ASSERT_EQ(write(plan, {}, 0, "long.flac"), kIoOk);
  Decoded d = decode("long.flac");
  EXPECT_FALSE(d.error);
  // Each point is the first sample of the frame that holds 0 s, 10 s, ...
  // 60 s: level 0 codes frames of 1,152 samples.
  EXPECT_EQ(d.seekPoints, (std::vector<uint64_t>{0, 191 * 1152, 382 * 1152, 574 * 1152,
                                                 765 * 1152, 957 * 1152, 1148 * 1152}));
  EXPECT_EQ(d.samples, stream(plan));
}

TEST_F(FlacWriter, ShortDataFileFailsAndLeavesNothing) {
  ASSERT_EQ(cutDataFile("kvbgm.dat", static_cast<size_t>(entry.end) - 400, &dataFile), kIoOk);
  EXPECT_EQ(write(planTrack(entry, play(1, 0, FadePattern::Linear), 44100), {}, 5, "out.flac"),
            kIoShortRead);
  EXPECT_EQ(folder.names(), (std::vector<std::string>{"kvbgm.dat"}));
}

#ifndef _WIN32
TEST_F(FlacWriter, WriteErrorsComeBack) {
  OutputFile full;
  full.file.value = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full.file.value, 0);
  TrackPlan plan = planTrack(entry, play(2, 0, FadePattern::Linear), 44100);
  EXPECT_EQ(writeFlacTrack(dataFile, &full, plan, {}, 5, nullptr), systemError(ENOSPC));
  closeFile(&full.file);
}
#endif

}  // namespace
