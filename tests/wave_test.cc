#include "wave/wave.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#ifndef _WIN32
#include <fcntl.h>
#include <unistd.h>
#endif

#include "test_util.h"

namespace {

RenderSettings settings(int32_t repeat, int32_t fade, int32_t pattern = 0) {
  RenderSettings o;
  o.repeat = repeat;
  o.fade = fade;
  o.pattern = static_cast<FadePattern>(pattern);
  return o;
}

TEST(WaveHeader, CanonicalLayout) {
  WaveHeader h = buildWaveHeader(17772160, 44100);
  const uint8_t expected[44] = {
      'R', 'I', 'F', 'F', 0xa4, 0x2e, 0x0f, 0x01,  // 17,772,196
      'W', 'A', 'V', 'E', 'f', 'm', 't', ' ',
      16, 0, 0, 0, 1, 0, 2, 0,                      // fmt size, PCM, stereo
      0x44, 0xac, 0, 0, 0x10, 0xb1, 0x02, 0,        // 44100, 176400
      4, 0, 16, 0, 'd', 'a', 't', 'a',
      0x80, 0x2e, 0x0f, 0x01};                      // 17,772,160
  EXPECT_EQ(std::memcmp(h.bytes, expected, 44), 0);
  WaveHeader half = buildWaveHeader(0, 22050);
  const uint8_t rates[8] = {0x22, 0x56, 0, 0, 0x88, 0x58, 0x01, 0};  // 22050, 88200
  EXPECT_EQ(std::memcmp(half.bytes + 24, rates, 8), 0);
  EXPECT_EQ(half.bytes[4], 36);
}

// The "smpl" chunk sits between "fmt " and "data": 68 bytes, one forward
// loop that plays forever, frames counted from the start of the audio.
TEST(WaveHeader, LoopPointsChunk) {
  WaveHeader h = buildWaveHeader(17772160, 44100, LoopPoints{true, 0x01020304, 0x0a0b0c0d});
  ASSERT_EQ(h.size, 112u);
  WaveHeader plain = buildWaveHeader(17772160, 44100);
  ASSERT_EQ(plain.size, 44u);
  const uint8_t riffSize[4] = {0xa4 + 68, 0x2e, 0x0f, 0x01};  // 17,772,264
  EXPECT_EQ(std::memcmp(h.bytes, "RIFF", 4), 0);
  EXPECT_EQ(std::memcmp(h.bytes + 4, riffSize, 4), 0);
  EXPECT_EQ(std::memcmp(h.bytes + 8, plain.bytes + 8, 28), 0);  // WAVE and "fmt "
  const uint8_t smpl[68] = {
      's', 'm', 'p', 'l', 60, 0, 0, 0,
      0, 0, 0, 0, 0, 0, 0, 0,                // manufacturer, product
      0x93, 0x58, 0, 0,                      // 22675 ns per frame
      60, 0, 0, 0, 0, 0, 0, 0,               // unity note, pitch fraction
      0, 0, 0, 0, 0, 0, 0, 0,                // SMPTE format and offset
      1, 0, 0, 0, 0, 0, 0, 0,                // one loop, no sampler data
      0, 0, 0, 0, 0, 0, 0, 0,                // cue point id, forward
      4, 3, 2, 1, 0x0d, 0x0c, 0x0b, 0x0a,    // start, end (inclusive)
      0, 0, 0, 0, 0, 0, 0, 0};               // fraction, play forever
  EXPECT_EQ(std::memcmp(h.bytes + 36, smpl, 68), 0);
  EXPECT_EQ(std::memcmp(h.bytes + 104, plain.bytes + 36, 8), 0);  // "data", length
  WaveHeader half = buildWaveHeader(0, 22050, LoopPoints{true, 0, 1});
  const uint8_t period[4] = {0x27, 0xb1, 0, 0};  // 45351
  EXPECT_EQ(std::memcmp(half.bytes + 52, period, 4), 0);
}

// Which pass the loop points mark: the last one that no fade touches.
TEST(ChooseLoop, LastCleanPass) {
  prepareCatalog();
  // A hand-made track: a 1-second intro and a 2-second loop at 44,100 Hz.
  const int32_t kSecond = 44100 * kFrameBytes;
  const TrackEntry made{16, 16 + kSecond, 16 + 3 * kSecond};
  struct Case {
    TrackEntry entry;
    int32_t rate, repeat, fade;
    int pass;  // 1-based; 0: none
  } cases[] = {
      {made, 44100, 1, 0, 1},   {made, 44100, 3, 0, 3},   {made, 44100, 3, -5, 3},
      {made, 44100, 1, -30, 1}, {made, 44100, 3, 1, 2},   {made, 44100, 3, 2, 2},
      {made, 44100, 3, 3, 1},   {made, 44100, 1, 1, 0},   {made, 44100, 2, 2, 1},
      {made, 44100, 2, 3, 0},   {made, 44100, 2, 5, 0},   {made, 44100, 10, 30, 0},
      // Track 26, a 13.3-second loop: 2 passes and f14 fade into the first.
      {trackEntry(25), 44100, 2, 13, 1}, {trackEntry(25), 44100, 2, 14, 0},
      {trackEntry(25), 44100, 3, 14, 1}, {trackEntry(25), 44100, 10, 30, 7},
      {trackEntry(25), 44100, 1, 5, 0},  {trackEntry(25), 44100, 10, -30, 10},
      // Track 31, a 27.6-second loop.
      {trackEntry(30), 44100, 2, 27, 1}, {trackEntry(30), 44100, 2, 28, 0},
      {trackEntry(30), 44100, 3, 30, 1}, {trackEntry(30), 44100, 1, 0, 1},
      // A 22,050 Hz track: seconds are half as many frames.
      {trackEntry(2), 22050, 2, 30, 1},  {trackEntry(2), 22050, 1, 10, 0},
  };
  for (const Case& c : cases) {
    RenderSettings s = settings(c.repeat, c.fade);
    LoopPoints loop = chooseLoop(c.entry, s, c.rate);
    SCOPED_TRACE(testing::Message() << "start " << c.entry.start << " repeat " << c.repeat
                                    << " fade " << c.fade);
    ASSERT_EQ(loop.present, c.pass > 0);
    if (c.pass == 0) continue;
    int64_t intro = (c.entry.loopStart - c.entry.start) / kFrameBytes;
    int64_t length = (c.entry.end - c.entry.loopStart) / kFrameBytes;
    EXPECT_EQ(loop.start, intro + (c.pass - 1) * length);
    EXPECT_EQ(loop.end, intro + c.pass * length - 1);
    // Only asked for, the plan carries it.
    EXPECT_FALSE(planTrack(c.entry, s, c.rate).loop.present);
    s.loopPoints = true;
    EXPECT_TRUE(planTrack(c.entry, s, c.rate).loop.present);
  }
}

TEST(TrackDataLength, Examples) {
  prepareCatalog();
  TrackEntry one = trackEntry(0);
  EXPECT_EQ(trackDataLength(one, settings(2, 0), 176400), 17772160);
  EXPECT_EQ(trackDataLength(one, settings(1, 0), 176400), one.end - one.start);
  EXPECT_EQ(trackDataLength(one, settings(3, 10), 176400), 24731392);
  EXPECT_EQ(trackDataLength(one, settings(3, 0), 176400),
            (one.end - one.start) + 2 * (one.end - one.loopStart));
  EXPECT_EQ(trackDataLength(one, settings(2, -5), 176400), 17772160 + 882000);
  EXPECT_EQ(trackDataLength(one, settings(2, 5), 176400), 17772160);
  EXPECT_EQ(trackDataLength(trackEntry(23), settings(10, -30), 176400), 307509000);
}

// For every track and every valid repeat and fade, the ranges the writer
// copies add up to the data length in the header, stay inside the track,
// and the fade covers exactly |fade| seconds.
TEST(TrackPlan, MatchesTheHeaderForEveryTrackAndSetting) {
  prepareCatalog();
  for (int i = 0; i < kTrackCount; ++i) {
    TrackEntry e = trackEntry(i);
    int32_t rate = sampleRateFor(trackFileName(i));
    for (int repeat = 1; repeat <= 10; ++repeat) {
      for (int fade = -30; fade <= 30; ++fade) {
        TrackPlan plan = planTrack(e, settings(repeat, fade), rate);
        int64_t sum = 0;
        for (const ByteRange& r : plan.ranges) {
          ASSERT_LE(e.start, r.from);
          ASSERT_LT(r.from, r.to);
          ASSERT_LE(r.to, e.end);
          sum += r.to - r.from;
        }
        ASSERT_EQ(sum, plan.dataLength);
        ASSERT_EQ(plan.dataLength, trackDataLength(e, settings(repeat, fade), rate * 4))
            << "track " << i + 1 << " repeat " << repeat << " fade " << fade;
        ASSERT_EQ(plan.fadeBytes, int64_t{std::abs(fade)} * rate * 4);
        ASSERT_EQ(plan.ranges.front().from, e.start);
      }
    }
  }
}

// The data-file offset of stream frame f of a track played on and on: the
// intro once, then the loop segment over and over.
int64_t playedOffset(const TrackEntry& e, int64_t f) {
  int64_t intro = (e.loopStart - e.start) / kFrameBytes;
  int64_t loop = (e.end - e.loopStart) / kFrameBytes;
  return f < intro ? e.start + f * kFrameBytes : e.loopStart + (f - intro) % loop * kFrameBytes;
}

// With a length, the plan holds exactly the frames of that time (rounded to
// the nearest frame) plus a negative fade's seconds, each frame from where
// the endless play of the track puts it; the fade covers its last seconds.
TEST(TrackPlan, LengthsAgainstTheFramesPlayed) {
  prepareCatalog();
  // A hand-made track: a 1.5-second intro and a 2-second loop at 44,100 Hz.
  const int32_t kHalf = 22050 * kFrameBytes;
  const TrackEntry made{16, 16 + 3 * kHalf, 16 + 7 * kHalf};
  const int64_t kFrameNs = 22676;  // a little over a frame at 44,100 Hz (22,675.7 ns)
  struct Case {
    const char* what;
    TrackEntry entry;
    int32_t rate;
    int64_t nanoseconds;
    int32_t fade;
    int64_t frames;  // before a negative fade's seconds
  } cases[] = {
      {"inside the intro", made, 44100, 1000000000, 0, 44100},
      {"at the intro's end", made, 44100, 1500000000, 0, 66150},
      {"at the first pass's end", made, 44100, 3500000000, 0, 154350},
      {"a frame before it", made, 44100, 3500000000 - kFrameNs, 0, 154349},
      {"a frame after it", made, 44100, 3500000000 + kFrameNs, 0, 154351},
      {"half a frame rounds up", made, 44100, 1005000000, 0, 44321},  // 44,320.5
      {"just under half a frame", made, 44100, 1004999999, 0, 44320},
      {"inside the third pass", made, 44100, 7250000000, 0, 319725},
      {"f fades across a pass boundary", made, 44100, 4000000000, 1, 176400},
      {"F plays on across a pass boundary", made, 44100, 3000000000, -1, 132300},
      {"F plays on from a pass boundary", made, 44100, 3500000000, -3, 154350},
      {"f as long as the length", made, 44100, 2000000000, 2, 88200},
      // Track 03 at 22,050 Hz: a 17.3-second intro and a 91.4-second loop.
      {"22,050 Hz in the intro", trackEntry(2), 22050, 10000000000, 0, 220500},
      {"22,050 Hz, f30 across a pass", trackEntry(2), 22050, 125000000000, 30, 2756250},
      {"22,050 Hz, F5", trackEntry(2), 22050, 90500000000, -5, 1995525},
      {"one hour of track 01", trackEntry(0), 44100, 3600000000000, 10, 158760000},
      {"one hour, F30", trackEntry(0), 44100, 3600000000000, -30, 158760000},
      {"ten hours of track 26", trackEntry(25), 44100, 36000000000000, 0, 1587600000},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    RenderSettings s = settings(2, c.fade);
    s.length = c.nanoseconds;
    TrackPlan plan = planTrack(c.entry, s, c.rate);
    int64_t faded = int64_t{std::abs(c.fade)} * c.rate;
    int64_t frames = c.frames + (c.fade < 0 ? faded : 0);
    ASSERT_EQ(plan.dataLength, frames * kFrameBytes);
    EXPECT_EQ(plan.fadeBytes, faded * kFrameBytes);
    EXPECT_EQ(plan.sampleRate, c.rate);
    // Every range is a run of the endless play: its first and last frames,
    // and so every frame between, are where that play has them.
    int64_t f = 0;
    for (const ByteRange& r : plan.ranges) {
      ASSERT_LT(r.from, r.to);
      ASSERT_EQ(r.from, playedOffset(c.entry, f));
      int64_t n = (r.to - r.from) / kFrameBytes;
      ASSERT_EQ(r.to - kFrameBytes, playedOffset(c.entry, f + n - 1));
      ASSERT_LE(r.to, c.entry.end);
      f += n;
    }
    EXPECT_EQ(f, frames);
  }
}

// A length marks the last whole pass that ends by the first faded frame (or
// the end of the length), and none when the first pass ends later.
TEST(ChooseLoop, WithALength) {
  prepareCatalog();
  const int32_t kHalf = 22050 * kFrameBytes;
  const TrackEntry made{16, 16 + 3 * kHalf, 16 + 7 * kHalf};  // 1.5 s intro, 2 s loop
  struct Case {
    int64_t milliseconds;
    int32_t fade;
    int pass;  // 1-based; 0: none
  } cases[] = {
      {1000, 0, 0},   {3499, 0, 0},  {3500, 0, 1}, {5499, 0, 1}, {5500, 0, 2},
      {4500, 1, 1},   {4499, 1, 0},  {3500, -5, 1}, {3000, -30, 0}, {9000, 2, 2},
      {3600000, 10, 1794},  // (158,319,000 - 66,150) / 88,200 = 1794.25
  };
  for (const Case& c : cases) {
    RenderSettings s = settings(2, c.fade);
    s.length = c.milliseconds * 1000000;
    LoopPoints loop = chooseLoop(made, s, 44100);
    SCOPED_TRACE(testing::Message() << c.milliseconds << " ms, fade " << c.fade);
    ASSERT_EQ(loop.present, c.pass > 0);
    if (c.pass == 0) continue;
    EXPECT_EQ(loop.start, 66150 + (c.pass - 1) * 88200);
    EXPECT_EQ(loop.end, 66150 + c.pass * 88200 - 1);
  }
}

// A WAV file's RIFF size is 32 bits: the largest plan that fits, with and
// without the "smpl" chunk, and the frame past it, which writes nothing.
TEST(WaveFits, TheRiffSizeBound) {
  TrackPlan plan;
  plan.dataLength = 0xffffffffLL - 36;  // 4,294,967,259 bytes
  plan.dataLength -= plan.dataLength % kFrameBytes;
  EXPECT_TRUE(waveFits(plan));
  EXPECT_EQ(waveFileBytes(plan), plan.dataLength + 44);
  plan.dataLength += kFrameBytes;
  EXPECT_FALSE(waveFits(plan));
  plan.dataLength = 0xffffffffLL - 104;
  plan.dataLength -= plan.dataLength % kFrameBytes;
  plan.loop = {true, 0, 1};
  EXPECT_TRUE(waveFits(plan));
  EXPECT_EQ(waveFileBytes(plan), plan.dataLength + 112);
  plan.dataLength += kFrameBytes;
  EXPECT_FALSE(waveFits(plan));
  auto writer = std::make_unique<WaveWriter>();
  OutputFile out;
  EXPECT_EQ(writeTrack(writer.get(), FileHandle{}, &out, plan), kWaveTooLarge);
}

TEST(FadeGain, CurvePoints) {
  const int64_t n = 44100;
  struct Case {
    FadePattern pattern;
    double half;  // t = n / 2
    double last;  // t = n - 1
    double tolerance;
  } cases[] = {
      {FadePattern::Exponential, 0.0316, 0.0010, 5e-5},
      {FadePattern::Linear, 0.5, 0.0000227, 5e-8},
      {FadePattern::Blend, 0.2658, 0.00051, 5e-5},
      {FadePattern::RaisedCosine, 0.5, 0.0000000013, 5e-10},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(fadeGain(c.pattern, 0, n), 1.0);
    EXPECT_NEAR(fadeGain(c.pattern, n / 2, n), c.half, c.tolerance < 1e-4 ? 1e-4 : c.tolerance);
    EXPECT_NEAR(fadeGain(c.pattern, n - 1, n), c.last, c.tolerance);
    EXPECT_GT(fadeGain(c.pattern, n - 1, n), 0.0);
  }
}

TEST(ScaleFrames, TruncatesTowardZeroOnBothSides) {
  auto buffer = std::make_unique<ChunkBuffer>();
  GainTable gains;
  struct Case {
    int16_t sample;
    int64_t t, n;
    int16_t scaled;
  } cases[] = {
      // Linear gain at t = 1 of 2 frames is exactly 0.5.
      {999, 1, 2, 499},       {-999, 1, 2, -499},   {32767, 1, 2, 16383},
      {-32768, 1, 2, -16384}, {1, 1, 2, 0},         {-1, 1, 2, 0},
      {-999, 0, 2, -999},     {32767, 44099, 44100, 0},
  };
  for (const Case& c : cases) {
    buffer->samples[0] = c.sample;
    buffer->samples[1] = static_cast<int16_t>(-c.sample - 1);
    ASSERT_EQ(scaleFrames(&gains, buffer->samples, 1, c.t, c.n, FadePattern::Linear), kIoOk);
    EXPECT_EQ(buffer->samples[0], c.scaled) << c.sample << " at " << c.t;
    // The right sample shares the frame's gain.
    double g = 1.0 - static_cast<double>(c.t) / static_cast<double>(c.n);
    EXPECT_EQ(buffer->samples[1], static_cast<int16_t>(std::trunc((-c.sample - 1) * g)));
  }
}

// The gains of a 2n-frame table serve an n-frame fade exactly; chunks may
// start on odd and even frames alike.
TEST(ScaleFrames, ReusedGainsEqualTheFormula) {
  auto buffer = std::make_unique<ChunkBuffer>();
  GainTable gains;
  const int64_t n = 22050;
  const int64_t kChunk = 999;
  for (int p = 0; p < 4; ++p) {
    auto pattern = static_cast<FadePattern>(p);
    for (int64_t frames : {2 * n, n, n + 1}) {
      for (int64_t t = 0; t < frames; t += kChunk) {
        int64_t count = std::min<int64_t>(kChunk, frames - t);
        for (int j = 0; j < count; ++j) {
          buffer->samples[2 * j] = 32767;
          buffer->samples[2 * j + 1] = -32768;
        }
        ASSERT_EQ(scaleFrames(&gains, buffer->samples, count, t, frames, pattern), kIoOk);
        for (int j = 0; j < count; ++j) {
          double g = fadeGain(pattern, t + j, frames);
          ASSERT_EQ(buffer->samples[2 * j], static_cast<int16_t>(std::trunc(32767 * g)));
          ASSERT_EQ(buffer->samples[2 * j + 1], static_cast<int16_t>(std::trunc(-32768 * g)));
        }
      }
    }
  }
}

// A hand-made track in a small data file, written at 44,100 Hz: a half-second
// intro and a 1.5-second loop, followed by other audio that must never appear.
class Writer : public ::testing::Test {
 protected:
  static constexpr int32_t kRate = 44100;
  static constexpr int32_t kSecond = kRate * kFrameBytes;
  const TrackEntry entry{16, 16 + kSecond / 2, 16 + 2 * kSecond};
  ScratchFolder folder;
  std::unique_ptr<WaveWriter> writer = std::make_unique<WaveWriter>();
  std::vector<int16_t> data;  // the data file as samples
  FileHandle dataFile;

  void SetUp() override {
    size_t bytes = static_cast<size_t>(entry.end) + kSecond;
    data.resize(bytes / 2);
    for (size_t i = 0; i < data.size(); ++i) {
      // Full-scale values of both signs, different in every frame.
      data[i] = static_cast<int16_t>(static_cast<uint16_t>(i * 40503u + 12345u));
    }
    std::vector<uint8_t> raw(bytes);
    std::memcpy(raw.data(), data.data(), bytes);
    writeBytes("kvbgm.dat", raw);
    int64_t size = 0;
    ASSERT_EQ(openDataFile("kvbgm.dat", &dataFile, &size), kIoOk);
  }
  void TearDown() override { closeFile(&dataFile); }

  // What the file must hold after its header, built frame by frame: the
  // track, the loop again for each further pass, then the loop played on;
  // the last |fade| seconds scaled by the curve.
  std::vector<int16_t> expected(const RenderSettings& o) {
    std::vector<int64_t> frames;  // data-file frame indices
    int64_t start = entry.start / 4, loop = entry.loopStart / 4, end = entry.end / 4;
    for (int64_t f = start; f < end; ++f) frames.push_back(f);
    for (int pass = 1; pass < o.repeat; ++pass) {
      for (int64_t f = loop; f < end; ++f) frames.push_back(f);
    }
    int64_t n = int64_t{std::abs(o.fade)} * kRate;
    if (o.fade < 0) {
      for (int64_t k = 0; k < n; ++k) frames.push_back(loop + k % (end - loop));
    }
    std::vector<int16_t> samples;
    size_t fadeFrom = frames.size() - static_cast<size_t>(n);
    for (size_t k = 0; k < frames.size(); ++k) {
      for (int c = 0; c < 2; ++c) {
        int16_t s = data[static_cast<size_t>(frames[k]) * 2 + c];
        if (k >= fadeFrom) {
          double g = fadeGain(o.pattern,
                              static_cast<int64_t>(k - fadeFrom), n);
          s = static_cast<int16_t>(std::trunc(s * g));
        }
        samples.push_back(s);
      }
    }
    return samples;
  }

  void check(const RenderSettings& o, const std::vector<uint8_t>& file) {
    std::vector<int16_t> want = expected(o);
    LoopPoints loop = o.loopPoints ? chooseLoop(entry, o, kRate) : LoopPoints{};
    WaveHeader h = buildWaveHeader(static_cast<uint32_t>(want.size() * 2), kRate, loop);
    ASSERT_EQ(file.size(), h.size + want.size() * 2);
    EXPECT_EQ(std::memcmp(file.data(), h.bytes, h.size), 0);
    for (size_t i = 0; i < want.size(); ++i) {
      int16_t got;
      std::memcpy(&got, file.data() + h.size + 2 * i, 2);
      ASSERT_EQ(got, want[i]) << "sample " << i << " of " << want.size();
    }
  }

  IoError write(const RenderSettings& o, const std::string& name) {
    OutputFile out;
    IoError error = createOutput("", name, &out);
    if (error == kIoOk) {
      error = writeTrack(writer.get(), dataFile, &out, planTrack(entry, o, kRate));
    }
    if (error == kIoOk) return commitOutput(&out);
    discardOutput(&out);
    return error;
  }
};

// Repeats, and fades that fit in the last pass, reach back into the pass
// before, stay inside the loop or wrap around it (a 1.5-second loop). A
// fade half as long as the one before it, with the same curve, reads every
// other gain of the table kept from that one.
const RenderSettings kWriterCases[] = {
    settings(1, 0),     settings(2, 0),     settings(10, 0),
    settings(2, 1, 0),  settings(2, 3, 1),  settings(1, 2, 2),
    settings(3, -1, 3), settings(2, -4, 0), settings(1, -2, 0),
    settings(1, -2, 1),
};

RenderSettings withLoop(RenderSettings o) {
  o.loopPoints = true;
  return o;
}

TEST_F(Writer, WritesTheStreamWithItsFade) {
  std::vector<RenderSettings> cases(std::begin(kWriterCases), std::end(kWriterCases));
  for (const RenderSettings& o : {settings(1, 0), settings(3, -1, 3), settings(3, 1, 1)}) {
    cases.push_back(withLoop(o));  // the same audio after a longer header
  }
  for (const RenderSettings& o : cases) {
    SCOPED_TRACE(testing::Message() << "repeat " << o.repeat << " fade " << o.fade
                                    << " pattern " << static_cast<int>(o.pattern)
                                    << " loop points " << o.loopPoints);
    ASSERT_EQ(write(o, "out.wav"), kIoOk);
    check(o, readBytes("out.wav"));
  }
  EXPECT_EQ(folder.names(), (std::vector<std::string>{"kvbgm.dat", "out.wav"}));
}

// The stream read in pieces of any size (here an odd number of frames, so
// pieces start on odd frames and straddle range and fade boundaries) is the
// audio of the WAV file.
TEST_F(Writer, ReadStreamGivesTheFileAudioInPieces) {
  for (const RenderSettings& o : kWriterCases) {
    SCOPED_TRACE(testing::Message() << "repeat " << o.repeat << " fade " << o.fade);
    TrackPlan plan = planTrack(entry, o, kRate);
    GainTable gains;
    ASSERT_EQ(prepareGains(&gains, plan.pattern, plan.fadeBytes / kFrameBytes), kIoOk);
    std::vector<int16_t> got(static_cast<size_t>(plan.dataLength / 2));
    constexpr int64_t kPiece = 4 * 12347;
    for (int64_t pos = 0; pos < plan.dataLength; pos += kPiece) {
      auto n = static_cast<size_t>(std::min(kPiece, plan.dataLength - pos));
      ASSERT_EQ(readStream(dataFile, plan, pos, got.data() + pos / 2, n, &gains), kIoOk);
    }
    EXPECT_EQ(got, expected(o));
  }
}

TEST_F(Writer, ChunkedCopyGivesTheSameBytes) {
  OutputFile out;
  ASSERT_EQ(createOutput("", "chunked.wav", &out), kIoOk);
  // Ends off a chunk boundary at 22,050 Hz chunks.
  ASSERT_EQ(copyRangeChunked(dataFile, &out, 16, 16 + 3 * 88200 + 8, 88200, &writer->buffer), kIoOk);
  ASSERT_EQ(commitOutput(&out), kIoOk);
  std::vector<uint8_t> got = readBytes("chunked.wav");
  ASSERT_EQ(got.size(), 3u * 88200 + 8);
  EXPECT_EQ(std::memcmp(got.data(), data.data() + 8, got.size()), 0);
}

#ifndef _WIN32
// The kernel refuses to copy into a file opened for appending, so the writer
// must fall back on the chunked copy and still produce the same file.
TEST_F(Writer, FallsBackWhenTheKernelCopyIsRefused) {
  for (const RenderSettings& o : {settings(2, 0), settings(2, -4, 3)}) {
    OutputFile out;
    out.file.value = open("append.wav", O_WRONLY | O_CREAT | O_TRUNC | O_APPEND, 0644);
    ASSERT_GE(out.file.value, 0);
    ASSERT_EQ(writeTrack(writer.get(), dataFile, &out, planTrack(entry, o, kRate)), kIoOk);
    closeFile(&out.file);
    check(o, readBytes("append.wav"));
  }
}
#endif

TEST_F(Writer, ShortDataFileFailsAndLeavesTheEarlierFile) {
  writeBytes("out.wav", {'o', 'l', 'd'});
  // Cut the data file inside the loop: copy and fade both meet its end.
  ASSERT_EQ(cutDataFile("kvbgm.dat", static_cast<size_t>(entry.end) - 400, &dataFile), kIoOk);
  for (const RenderSettings& o : {settings(1, 0), settings(1, 1), settings(1, -1)}) {
    EXPECT_EQ(write(o, "out.wav"), kIoShortRead) << o.fade;
    EXPECT_EQ(readBytes("out.wav"), (std::vector<uint8_t>{'o', 'l', 'd'}));
    EXPECT_EQ(folder.names(), (std::vector<std::string>{"kvbgm.dat", "out.wav"}));
  }
}

// A file that fails while its fade's gains are still being computed keeps
// none of them for the next file with that fade.
TEST_F(Writer, FailedFadeLeavesNoGainsBehind) {
  const RenderSettings o = settings(1, -30, 3);  // gains for 1.3 million frames
  std::vector<uint8_t> raw = readBytes("kvbgm.dat");
  closeFile(&dataFile);
  // The data file ends where the loop begins: the copy fails at once.
  writeBytes("kvbgm.dat", std::vector<uint8_t>(raw.begin(), raw.begin() + entry.loopStart));
  int64_t size = 0;
  ASSERT_EQ(openDataFile("kvbgm.dat", &dataFile, &size), kIoOk);
  EXPECT_EQ(write(o, "out.wav"), kIoShortRead);
  closeFile(&dataFile);
  writeBytes("kvbgm.dat", raw);
  ASSERT_EQ(openDataFile("kvbgm.dat", &dataFile, &size), kIoOk);
  ASSERT_EQ(write(o, "out.wav"), kIoOk);
  check(o, readBytes("out.wav"));
}

TEST_F(Writer, CommitFailsWhenAFolderHasTheName) {
  std::filesystem::create_directory("taken.wav");
  IoError error = write(settings(1, 0), "taken.wav");
  EXPECT_NE(error, kIoOk);
  EXPECT_FALSE(ioErrorText(error).empty());
  EXPECT_TRUE(std::filesystem::is_directory("taken.wav"));
  EXPECT_EQ(folder.names(), (std::vector<std::string>{"kvbgm.dat", "taken.wav"}));
}

}  // namespace
