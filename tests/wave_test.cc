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

// The made-up track's file written at 44,100 Hz, checked against the
// stream built frame by frame.
class Writer : public TrackStream {
 protected:
  std::unique_ptr<WaveWriter> writer = std::make_unique<WaveWriter>();
  FadeGains fades;  // the run's, lent to the writer

  void SetUp() override {
    TrackStream::SetUp();
    writer->fades = &fades;
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
  // The data file ends where the loop begins: the copy fails at once.
  ASSERT_EQ(cutDataFile("kvbgm.dat", static_cast<size_t>(entry.loopStart), &dataFile), kIoOk);
  EXPECT_EQ(write(o, "out.wav"), kIoShortRead);
  ASSERT_EQ(useDataFile(raw), kIoOk);
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
