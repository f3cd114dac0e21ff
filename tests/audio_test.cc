#include "audio/audio.h"

#include <gtest/gtest.h>

#include <cmath>
#include <cstdlib>
#include <cstring>
#include <memory>

#include "test_util.h"

namespace {

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

// The writers' loops over buffer->samples may be vectorized on its declared
// alignment, so the memory that new gives a ChunkBuffer must have it.
TEST(ChunkBuffer, NewGivesTheDeclaredAlignment) {
  for (int i = 0; i < 4; ++i) {
    auto buffer = std::make_unique<ChunkBuffer>();
    EXPECT_EQ(reinterpret_cast<uintptr_t>(buffer->samples) % alignof(ChunkBuffer), 0u);
  }
}

// The stream read in pieces of any size (here an odd number of frames, so
// pieces start on odd frames and straddle range and fade boundaries) is the
// audio of the WAV file; so is the stream handed to a consumer chunk by
// chunk, with its digest.
TEST_F(TrackStream, InPiecesAndInChunksIsTheFileAudio) {
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

    std::vector<int16_t> chunks;
    uint64_t folded = kStreamDigestStart, digest = 0;
    StreamCount done{0};
    StreamRead read{dataFile, &plan, &gains, nullptr, &done, {}, &digest};
    ASSERT_EQ(readChunks(read,
                         [&](int16_t* samples, size_t count) {
                           EXPECT_LE(count * 2, size_t{kChunkBufferBytes});
                           EXPECT_EQ(count % 2, 0u);  // whole frames
                           folded = foldDigest(folded, samples, count);
                           chunks.insert(chunks.end(), samples, samples + count);
                           return kIoOk;
                         }),
              kIoOk);
    EXPECT_EQ(chunks, expected(o));
    EXPECT_EQ(digest, folded);
    EXPECT_EQ(done.load(), plan.dataLength);

    // A second read checked against the first passes; against any other
    // digest it fails, once every chunk was handed on.
    auto ignore = [](int16_t*, size_t) { return kIoOk; };
    read.digest = nullptr;
    read.done = nullptr;
    read.expect = {true, digest};
    EXPECT_EQ(readChunks(read, ignore), kIoOk);
    read.expect = {true, digest ^ 1};
    EXPECT_EQ(readChunks(read, ignore), kIoChanged);
  }
}

// ---- The stream in chunks, the sink, and the run's fade gains ----

// The stream of the made-up track, as consumers are handed it.
using Chunks = TrackStream;

TEST_F(Chunks, StopAtTheFirstErrorOfTheConsumerOrOfTheRead) {
  TrackPlan plan = planTrack(entry, settings(4, 0), kRate);
  ASSERT_GT(plan.dataLength, 3 * int64_t{kChunkBufferBytes});
  int calls = 0;
  StreamCount done{0};
  StreamRead read{dataFile, &plan, nullptr, nullptr, &done, {}, nullptr};
  EXPECT_EQ(readChunks(read,
                       [&](int16_t*, size_t) { return ++calls == 2 ? kIoNoMemory : kIoOk; }),
            kIoNoMemory);
  EXPECT_EQ(calls, 2);
  EXPECT_EQ(done.load(), kChunkBufferBytes);  // only what was taken counts

  calls = 0;
  ASSERT_EQ(cutDataFile("kvbgm.dat", static_cast<size_t>(entry.loopStart) + 8, &dataFile), kIoOk);
  read.dataFile = dataFile;
  EXPECT_EQ(readChunks(read, [&](int16_t*, size_t) { return ++calls, kIoOk; }), kIoShortRead);
  EXPECT_EQ(calls, 0);
}

// The sink's bytes reach the file in order, through large writes, and a
// seek goes on at the offset asked for (as FLAC's STREAMINFO is filled in).
TEST_F(Chunks, SinkWritesWhatItGathersAndGoesOnWhereItIsSent) {
  OutputFile out;
  ASSERT_EQ(createOutput("", "sink.bin", &out), kIoOk);
  OutputSink sink;
  startSink(&sink, &out);
  std::vector<uint8_t> expected;
  for (size_t i = 0; expected.size() < 3 * kSinkBytes; ++i) {
    std::vector<uint8_t> piece(1 + i % 9000, static_cast<uint8_t>(i));
    ASSERT_TRUE(sinkAdd(&sink, piece.data(), piece.size()));
    expected.insert(expected.end(), piece.begin(), piece.end());
  }
  EXPECT_LT(sink.pending.size(), kSinkBytes);
  EXPECT_EQ(sink.position + static_cast<int64_t>(sink.pending.size()),
            static_cast<int64_t>(expected.size()));
  ASSERT_TRUE(sinkSeek(&sink, 5));
  ASSERT_TRUE(sinkAdd(&sink, "head", 4));
  ASSERT_TRUE(sinkFlush(&sink));
  std::copy_n("head", 4, expected.begin() + 5);
  ASSERT_EQ(commitOutput(&out), kIoOk);
  EXPECT_EQ(readBytes("sink.bin"), expected);
}

// The run's gains: one table per curve, a 44,100 Hz fade's table serving
// the same fade at 22,050 Hz; a job without one fills its own.
TEST(FadeGains, ServeEveryFadeOfTheRunFromOneTablePerCurve) {
  TrackEntry entry{0, 4 * 44100, 4 * 44100 * 3};
  RenderSettings linear = settings(2, 1, 1);
  TrackPlan full = planTrack(entry, linear, 44100), half = planTrack(entry, linear, 22050);
  TrackPlan other = planTrack(entry, settings(2, 1, 2), 44100);
  TrackPlan none = planTrack(entry, settings(2, 0, 1), 44100);

  FadeGains fades;
  ASSERT_EQ(prepareFades({&half, &full, &none}, &fades), kIoOk);
  ASSERT_EQ(fades.tables.size(), 1u);
  EXPECT_EQ(gainsFor(fades, half), &fades.tables[0]);
  EXPECT_EQ(gainsFor(fades, full), &fades.tables[0]);
  EXPECT_EQ(gainsFor(fades, none), nullptr);
  EXPECT_EQ(gainsFor(fades, other), nullptr);

  GainTable own;
  const GainTable* gains = nullptr;
  ASSERT_EQ(gainsOrOwn(fades, other, &own, &gains), kIoOk);
  EXPECT_EQ(gains, &own);
  EXPECT_TRUE(gainsServe(own, FadePattern::Blend, other.fadeBytes / kFrameBytes));
  ASSERT_EQ(gainsOrOwn(fades, half, &own, &gains), kIoOk);
  EXPECT_EQ(gains, &fades.tables[0]);

  // A writer that fills as it goes keeps one table per curve.
  FadeGains kept;
  GainTable* first = fadeTableToFill(&kept, half);
  ASSERT_EQ(prepareGains(first, half.pattern, half.fadeBytes / kFrameBytes), kIoOk);
  EXPECT_EQ(fadeTableToFill(&kept, half), first);
  GainTable* longer = fadeTableToFill(&kept, full);  // the same curve, filled again
  EXPECT_EQ(longer, first);
  ASSERT_EQ(prepareGains(longer, full.pattern, full.fadeBytes / kFrameBytes), kIoOk);
  EXPECT_EQ(fadeTableToFill(&kept, half), longer);  // which serves the shorter fade too
  EXPECT_NE(fadeTableToFill(&kept, other), longer);
  EXPECT_EQ(kept.tables.size(), 2u);
}

}  // namespace
