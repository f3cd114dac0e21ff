#include "ogg/ogg.h"

#define OV_EXCLUDE_STATIC_CALLBACKS
#include <gtest/gtest.h>
#include <vorbis/vorbisfile.h>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <cstring>
#include <limits>
#include <memory>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "flac/flac.h"
#include "loudness/loudness.h"
#include "test_util.h"

namespace {

std::vector<Tag> tags(std::initializer_list<Tag> list) { return list; }

// One Ogg page's header fields, from the bytes of a file.
struct Page {
  uint8_t flags;  // 1 continued, 2 first, 4 last
  int64_t granule;
  uint32_t serial;
  uint32_t sequence;
  size_t bodyBytes;
};

uint64_t little(const uint8_t* p, int n) {
  uint64_t v = 0;
  for (int i = n - 1; i >= 0; --i) v = (v << 8) | p[i];
  return v;
}

// The pages of `bytes`, which must be nothing but whole pages.
std::vector<Page> pages(const std::vector<uint8_t>& bytes) {
  std::vector<Page> result;
  size_t at = 0;
  while (at < bytes.size()) {
    const uint8_t* p = bytes.data() + at;
    if (bytes.size() - at < 27 || std::memcmp(p, "OggS", 4) != 0 || p[4] != 0 ||
        bytes.size() - at < 27u + p[26]) {
      ADD_FAILURE() << "no page at byte " << at;
      return result;
    }
    Page page{p[5], static_cast<int64_t>(little(p + 6, 8)), static_cast<uint32_t>(little(p + 14, 4)),
              static_cast<uint32_t>(little(p + 18, 4)), 0};
    for (int i = 0; i < p[26]; ++i) page.bodyBytes += p[27 + i];
    result.push_back(page);
    at += 27u + p[26] + page.bodyBytes;
  }
  if (at != bytes.size()) ADD_FAILURE() << "the last page runs past the end";
  return result;
}

// What libvorbisfile finds in a file held in memory.
struct Decoded {
  bool opened = false;
  int channels = 0;
  long rate = 0;
  int64_t pcmTotal = 0;
  std::vector<float> samples;  // interleaved
  std::string vendor;
  std::vector<std::string> comments;
  bool error = false;
};

struct Memory {
  const std::vector<uint8_t>* bytes;
  size_t at;
};

size_t memRead(void* out, size_t size, size_t count, void* source) {
  auto* m = static_cast<Memory*>(source);
  size_t n = std::min(size * count, m->bytes->size() - m->at);
  std::memcpy(out, m->bytes->data() + m->at, n);
  m->at += n;
  return size == 0 ? 0 : n / size;
}

int memSeek(void* source, ogg_int64_t offset, int whence) {
  auto* m = static_cast<Memory*>(source);
  int64_t base = whence == SEEK_SET ? 0 : whence == SEEK_CUR ? static_cast<int64_t>(m->at)
                                                             : static_cast<int64_t>(m->bytes->size());
  if (base + offset < 0 || base + offset > static_cast<int64_t>(m->bytes->size())) return -1;
  m->at = static_cast<size_t>(base + offset);
  return 0;
}

long memTell(void* source) { return static_cast<long>(static_cast<Memory*>(source)->at); }

Decoded decode(const std::vector<uint8_t>& bytes) {
  Decoded d;
  Memory source{&bytes, 0};
  OggVorbis_File file;
  ov_callbacks callbacks{memRead, memSeek, nullptr, memTell};
  if (ov_open_callbacks(&source, &file, nullptr, 0, callbacks) != 0) return d;
  d.opened = true;
  vorbis_info* info = ov_info(&file, -1);
  d.channels = info->channels;
  d.rate = info->rate;
  d.pcmTotal = ov_pcm_total(&file, -1);
  vorbis_comment* vc = ov_comment(&file, -1);
  d.vendor = vc->vendor ? vc->vendor : "";
  for (int i = 0; i < vc->comments; ++i) {
    d.comments.emplace_back(vc->user_comments[i], static_cast<size_t>(vc->comment_lengths[i]));
  }
  for (;;) {
    float** pcm = nullptr;
    int link = 0;
    long n = ov_read_float(&file, &pcm, 4096, &link);
    if (n == 0) break;
    if (n < 0) {
      d.error = true;
      break;
    }
    for (long i = 0; i < n; ++i) {
      for (int c = 0; c < d.channels; ++c) d.samples.push_back(pcm[c][i]);
    }
  }
  ov_clear(&file);
  return d;
}

// The error of `decoded` against `reference` (16-bit samples), in dB below
// the reference's power, with `decoded` read `lag` frames late (its frame
// i + lag against the reference's frame i), over the frames both have.
double errorDb(const std::vector<int16_t>& reference, const std::vector<float>& decoded,
               int64_t lag) {
  double signal = 0, noise = 0;
  auto frames = static_cast<int64_t>(reference.size() / 2);
  for (int64_t i = std::max<int64_t>(0, -lag); i < frames && 2 * (i + lag) + 1 < static_cast<int64_t>(decoded.size()); ++i) {
    for (int c = 0; c < 2; ++c) {
      double x = reference[static_cast<size_t>(2 * i + c)] / 32768.0;
      double e = decoded[static_cast<size_t>(2 * (i + lag) + c)] - x;
      signal += x * x;
      noise += e * e;
    }
  }
  return 10 * std::log10(noise / signal);
}

// The made-up track as steady tones on both channels, different ones, as
// music holds and as Vorbis codes well.
class OggWriter : public EncoderTest {
 protected:
  void SetUp() override {
    std::vector<uint8_t> raw(static_cast<size_t>(entry.end) + kSecond);
    const double pi = std::acos(-1.0);
    for (size_t i = 16; i + 3 < raw.size(); i += 4) {
      double t = static_cast<double>(i / 4) / 44100;
      double left = 0.4 * std::sin(2 * pi * 440 * t) + 0.2 * std::sin(2 * pi * 1250 * t);
      double right = 0.3 * std::sin(2 * pi * 660 * t) + 0.15 * std::sin(2 * pi * 3000 * t);
      for (int c = 0; c < 2; ++c) {
        auto s = static_cast<int16_t>(std::lround((c == 0 ? left : right) * 32767));
        raw[i + 2 * static_cast<size_t>(c)] = static_cast<uint8_t>(s & 0xff);
        raw[i + 2 * static_cast<size_t>(c) + 1] = static_cast<uint8_t>((s >> 8) & 0xff);
      }
    }
    ASSERT_EQ(useDataFile(raw), kIoOk);
  }

  // Writes the file and commits it, whatever the writer returned.
  IoError write(const TrackPlan& plan, const std::vector<Tag>& t, float quality,
                uint32_t serial, const std::string& name) {
    OutputFile out;
    IoError error = createOutput("", name, &out);
    if (error != kIoOk) return error;
    error = writeOggTrack(dataFile, &out, plan, t, quality, serial, gainsOf(plan));
    IoError commit = commitOutput(&out);
    return error != kIoOk ? error : commit;
  }
};

struct DecodeCase {
  const char* what;
  bool section;  // the loop segment alone, looped over its whole length
  RenderSettings settings;
  int32_t rate;
  float quality;
  // The error must stay this far below the signal. On these tones libvorbis
  // 1.3.7 gives about -40 dB at 44,100 Hz from quality 5 up (mostly a level
  // off by about 1%, from how it quantizes a tone's few spectral lines; oggenc
  // gives the same), -36 dB at 22,050 Hz and -24 dB at quality -1. The
  // bounds sit about 10 dB above that, for another libvorbis release or a
  // 32-bit build rounding its floats differently; a fault (a frame lost, the
  // channels swapped, the wrong scale) costs far more than that.
  double maxErrorDb;
};

void PrintTo(const DecodeCase& c, std::ostream* out) { *out << c.what; }

class OggDecode : public OggWriter, public ::testing::WithParamInterface<DecodeCase> {};

TEST_P(OggDecode, GivesBackTheWaveAudioFrameForFrameWithItsTags) {
  const DecodeCase& c = GetParam();
  TrackPlan plan = c.section ? planSection(entry.loopStart, entry.end, c.rate, true)
                             : planTrack(entry, c.settings, c.rate);
  std::vector<Tag> t =
      trackTags({"序章 (loop)", 7, "kvbgm"}, plan.loop, tags({{"ARTIST", "someone"}}));
  const uint32_t serial = 7 * 4 + 2;
  ASSERT_EQ(write(plan, t, c.quality, serial, "out.ogg"), kIoOk);
  std::vector<uint8_t> bytes = readBytes("out.ogg");
  const auto frames = plan.dataLength / kFrameBytes;

  // One stream, its pages in sequence, the identification header alone on
  // the first; the last page ends the stream at exactly the frame count.
  std::vector<Page> p = pages(bytes);
  ASSERT_GE(p.size(), 3u);
  EXPECT_EQ(p.front().flags, 2);
  EXPECT_EQ(p.front().bodyBytes, 30u);
  EXPECT_EQ(p.front().granule, 0);
  EXPECT_EQ(p.back().flags & 4, 4);
  EXPECT_EQ(p.back().granule, frames);
  for (size_t i = 0; i < p.size(); ++i) {
    EXPECT_EQ(p[i].serial, serial);
    EXPECT_EQ(p[i].sequence, i);
    if (i > 0 && i + 1 < p.size()) {
      EXPECT_EQ(p[i].flags & 6, 0) << "page " << i;
    }
  }

  Decoded d = decode(bytes);
  ASSERT_TRUE(d.opened);
  EXPECT_FALSE(d.error);
  EXPECT_EQ(d.channels, 2);
  EXPECT_EQ(d.rate, c.rate);
  EXPECT_EQ(d.pcmTotal, frames);
  ASSERT_EQ(static_cast<int64_t>(d.samples.size()), 2 * frames);

  // Close to the input, and closest with no shift: nothing lost or added
  // at the start.
  std::vector<int16_t> original = stream(plan);
  double error = errorDb(original, d.samples, 0);
  EXPECT_LT(error, c.maxErrorDb);
  for (int64_t lag : {-64, -8, -2, -1, 1, 2, 8, 64}) {
    EXPECT_GT(errorDb(original, d.samples, lag), error) << "lag " << lag;
  }

  EXPECT_FALSE(d.vendor.empty());
  // The loop tags first, then TRACKNUMBER, whose length is no digit.
  std::vector<std::string> want = {"TITLE=序章 (loop)", "TRACKNUMBER=7", "TRACKTOTAL=31",
                                   "ALBUM=kvbgm", "ARTIST=someone"};
  if (plan.loop.present) {
    want = {"LOOPSTART=" + std::to_string(plan.loop.start),
            "LOOPLENGTH=" + std::to_string(plan.loop.end - plan.loop.start + 1),
            "TRACKNUMBER=7", "TITLE=序章 (loop)", "TRACKTOTAL=31", "ALBUM=kvbgm",
            "ARTIST=someone"};
  }
  EXPECT_EQ(d.comments, want);
}

INSTANTIATE_TEST_SUITE_P(
    Plans, OggDecode,
    ::testing::Values(
        DecodeCase{"unfaded", false, play(1, 0, FadePattern::Exponential), 44100, 5, -30},
        DecodeCase{"exponential", false, play(2, 1, FadePattern::Exponential), 44100, 5, -30},
        DecodeCase{"linear", false, play(3, 1, FadePattern::Linear), 44100, 5, -30},
        DecodeCase{"blend, round the loop", false, play(2, -4, FadePattern::Blend), 44100, 5, -30},
        DecodeCase{"raised cosine, loop tags", false,
                   play(2, -1, FadePattern::RaisedCosine, true), 44100, 5, -30},
        DecodeCase{"22050 Hz", false, play(2, -1, FadePattern::Linear, true), 22050, 5, -26},
        DecodeCase{"section", true, {}, 44100, 5, -30},
        DecodeCase{"quality -1", false, play(2, 0, FadePattern::Exponential, true), 44100, -1, -15},
        DecodeCase{"quality 10", false, play(2, 0, FadePattern::Exponential), 44100, 10, -30}),
    [](const ::testing::TestParamInfo<DecodeCase>& row) {
      std::string name;
      for (const char* s = row.param.what; *s; ++s) {
        if (std::isalnum(static_cast<unsigned char>(*s))) name += *s;
      }
      return name;
    });

TEST_F(OggWriter, SameInputSameBytesAndTheSerialMarksEveryPage) {
  TrackPlan plan = planTrack(entry, play(2, 1, FadePattern::Blend, true), 44100);
  std::vector<Tag> t = trackTags({"a", 1, "b"}, plan.loop, {});
  ASSERT_EQ(write(plan, t, 5, 4, "one.ogg"), kIoOk);
  ASSERT_EQ(write(plan, t, 5, 4, "two.ogg"), kIoOk);
  ASSERT_EQ(write(plan, t, 5, 0xfffffffe, "other.ogg"), kIoOk);
  std::vector<uint8_t> one = readBytes("one.ogg"), other = readBytes("other.ogg");
  EXPECT_EQ(one, readBytes("two.ogg"));
  std::vector<Page> p = pages(other);
  ASSERT_EQ(p.size(), pages(one).size());
  for (const Page& page : p) EXPECT_EQ(page.serial, 0xfffffffeu);
}

TEST_F(OggWriter, RefusedSettingsWriteNothing) {
  const float nan = std::numeric_limits<float>::quiet_NaN();
  struct Case {
    const char* what;
    float quality;
    std::vector<Tag> tags;
  } cases[] = {
      {"quality above 10", 10.5f, {}},
      {"quality below -1", -1.5f, {}},
      {"quality not a number", nan, {}},
      {"a name with =", 5, tags({{"TITLE", "t"}, {"A=B", "x"}})},
      {"an empty name", 5, tags({{"", "x"}})},
      {"a value that is not UTF-8", 5, tags({{"TITLE", "\xff"}})},
      {"a value with a zero byte", 5, tags({{"TITLE", std::string("a\0b", 3)}})},
  };
  TrackPlan plan = planTrack(entry, play(1, 0, FadePattern::Linear), 44100);
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(write(plan, c.tags, c.quality, 1, "bad.ogg"), kOggEncoderFailed);
    EXPECT_TRUE(readBytes("bad.ogg").empty());
  }
  // The ends of the range are levels like any other.
  for (float q : {kOggMinQuality, kOggMaxQuality, 2.5f}) {
    EXPECT_EQ(write(plan, {}, q, 1, "good.ogg"), kIoOk) << q;
    EXPECT_EQ(decode(readBytes("good.ogg")).pcmTotal, plan.dataLength / kFrameBytes) << q;
  }
}

TEST_F(OggWriter, ShortDataFileFails) {
  ASSERT_EQ(cutDataFile("kvbgm.dat", static_cast<size_t>(entry.end) - 400, &dataFile), kIoOk);
  OutputFile out;
  ASSERT_EQ(createOutput("", "out.ogg", &out), kIoOk);
  EXPECT_EQ(writeOggTrack(dataFile, &out, planTrack(entry, play(1, 0, FadePattern::Linear), 44100),
                          {}, 5, 1, nullptr),
            kIoShortRead);
  discardOutput(&out);
  EXPECT_EQ(folder.names(), (std::vector<std::string>{"kvbgm.dat"}));
}

#ifndef _WIN32
TEST_F(OggWriter, WriteErrorsComeBack) {
  OutputFile full;
  full.file.value = open("/dev/full", O_WRONLY | O_CLOEXEC);
  ASSERT_GE(full.file.value, 0);
  TrackPlan plan = planTrack(entry, play(2, 0, FadePattern::Linear), 44100);
  EXPECT_EQ(writeOggTrack(dataFile, &full, plan, {}, 5, 1, nullptr), systemError(ENOSPC));
  closeFile(&full.file);
}
#endif

}  // namespace

// The peak a decoder gives, filled into the comment header once the audio
// is known: at 44,100 and 22,050 Hz, with a fade and without.
TEST_F(OggWriter, PeakTagBoundsWhatTheDecoderGives) {
  struct Case {
    const char* what;
    RenderSettings settings;
    int32_t rate;
  };
  const Case cases[] = {
      {"44,100 Hz", play(2, 0, FadePattern::Exponential), 44100},
      {"22,050 Hz", play(2, 0, FadePattern::Exponential), 22050},
      {"faded", play(2, -1, FadePattern::Linear), 44100},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TrackPlan plan = planTrack(entry, c.settings, c.rate);
    std::vector<Tag> t = trackTags({"a", 1, "b"}, plan.loop, {});
    t.push_back({"REPLAYGAIN_TRACK_PEAK", "0.000000"});
    t.push_back({"REPLAYGAIN_ALBUM_PEAK", "0.500000"});
    OutputFile out;
    ASSERT_EQ(createOutput("", "peak.ogg", &out), kIoOk);
    PeakTag peak{"REPLAYGAIN_TRACK_PEAK", peakTextAtLeast, 0};
    ASSERT_EQ(writeOggTrack(dataFile, &out, plan, t, 5, 4, gainsOf(plan), {}, &peak), kIoOk);
    ASSERT_EQ(commitOutput(&out), kIoOk);
    Decoded d = decode(readBytes("peak.ogg"));
    ASSERT_TRUE(d.opened);
    ASSERT_FALSE(d.error);
    float decoded = 0;
    for (float s : d.samples) decoded = std::max(decoded, std::fabs(s));
    EXPECT_EQ(peak.peak, decoded);
    std::string value;
    for (const std::string& comment : d.comments) {
      if (comment.rfind("REPLAYGAIN_TRACK_PEAK=", 0) == 0) value = comment.substr(22);
    }
    ASSERT_EQ(value.size(), 8u);
    EXPECT_GE(std::stod(value), decoded);
    EXPECT_LT(std::stod(value), decoded + 1e-6);

    // The album peak copied in, every other byte as it was.
    FileHandle in;
    int64_t size = 0;
    ASSERT_EQ(openDataFile("peak.ogg", &in, &size), kIoOk);
    OutputFile copy;
    ASSERT_EQ(createOutput("", "copy.ogg", &copy), kIoOk);
    ASSERT_EQ(copyOggWithTag(in, size, &copy, "replaygain_album_peak", "0.987654"), kIoOk);
    EXPECT_EQ(copyOggWithTag(in, size, &copy, "REPLAYGAIN_ALBUM_PEAK", "1.0"), kOggEncoderFailed);
    closeFile(&in);
    ASSERT_EQ(commitOutput(&copy), kIoOk);
    std::vector<uint8_t> before = readBytes("peak.ogg"), after = readBytes("copy.ogg");
    ASSERT_EQ(after.size(), before.size());
    size_t differ = 0;
    for (size_t i = 0; i < before.size(); ++i) differ += before[i] != after[i];
    EXPECT_LE(differ, 6u + 4u);  // the value and the page's checksum
    Decoded again = decode(after);
    ASSERT_TRUE(again.opened);
    EXPECT_EQ(again.samples, d.samples);
    EXPECT_NE(std::find(again.comments.begin(), again.comments.end(),
                        "REPLAYGAIN_ALBUM_PEAK=0.987654"),
              again.comments.end());
  }
}

// Tags measured from other audio than the audio encoded: the file fails,
// as one whose data file could not be read, in both encoders.
TEST_F(OggWriter, AudioOtherThanMeasuredFails) {
  TrackPlan plan = planTrack(entry, play(1, 0, FadePattern::Exponential), 44100);
  // The digest as the measuring pass takes it.
  Loudness measured;
  ASSERT_EQ(measureLoudness(dataFile, plan, nullptr, &measured), kIoOk);
  uint64_t digest = measured.digest;
  std::vector<Tag> t = trackTags({"a", 1, "b"}, plan.loop, {});
  for (bool same : {true, false}) {
    StreamCheck expect{true, same ? digest : digest + 1};
    OutputFile ogg, flac;
    ASSERT_EQ(createOutput("", "x.ogg", &ogg), kIoOk);
    ASSERT_EQ(createOutput("", "x.flac", &flac), kIoOk);
    IoError want = same ? kIoOk : kIoChanged;
    EXPECT_EQ(writeOggTrack(dataFile, &ogg, plan, t, 5, 4, nullptr, expect), want);
    EXPECT_EQ(writeFlacTrack(dataFile, &flac, plan, t, 5, nullptr, expect), want);
    EXPECT_TRUE(isReadFailure(kIoChanged));
    discardOutput(&ogg);
    discardOutput(&flac);
  }
}
