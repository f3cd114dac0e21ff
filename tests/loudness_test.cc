// The loudness module against a plain EBU R128 meter written here from
// ITU-R BS.1770 (K-weighting at each sample rate, 400 ms blocks every
// 100 ms, gates at -70 LUFS and 10 LU below), over a small album of both
// sample rates; and the text of the ReplayGain tags.
#include "loudness/loudness.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstring>

#include "test_util.h"

namespace {

// One biquad, a0 = 1, run in direct form I.
struct Biquad {
  double b0, b1, b2, a1, a2;
  double x1 = 0, x2 = 0, y1 = 0, y2 = 0;
  double step(double x) {
    double y = b0 * x + b1 * x1 + b2 * x2 - a1 * y1 - a2 * y2;
    x2 = x1;
    x1 = x;
    y2 = y1;
    y1 = y;
    return y;
  }
};

// BS.1770's two K-weighting stages at `rate`, from their analog shapes
// (a high shelf of +4 dB at 1682 Hz, a high pass at 38 Hz) by the bilinear
// transform at the matching frequency.
Biquad shelf(double rate) {
  const double pi = std::acos(-1.0);
  double k = std::tan(pi * 1681.974450955533 / rate), q = 0.7071752369554196;
  double vh = std::pow(10.0, 3.999843853973347 / 20), vb = std::pow(vh, 0.4996667741545416);
  double a0 = 1 + k / q + k * k;
  return {(vh + vb * k / q + k * k) / a0, 2 * (k * k - vh) / a0, (vh - vb * k / q + k * k) / a0,
          2 * (k * k - 1) / a0, (1 - k / q + k * k) / a0};
}

Biquad highPass(double rate) {
  const double pi = std::acos(-1.0);
  double k = std::tan(pi * 38.13547087602444 / rate), q = 0.5003270373238773;
  double a0 = 1 + k / q + k * k;
  return {1, -2, 1, 2 * (k * k - 1) / a0, (1 - k / q + k * k) / a0};
}

// The mean square of the K-weighted channels, summed over both, of every
// whole 400 ms block that starts at a multiple of 100 ms.
std::vector<double> blockEnergies(const std::vector<int16_t>& samples, int32_t rate) {
  size_t frames = samples.size() / 2, hop = static_cast<size_t>(rate / 10);
  std::vector<double> weighted(frames, 0.0);  // per frame, both channels' squares
  for (int c = 0; c < 2; ++c) {
    Biquad first = shelf(rate), second = highPass(rate);
    for (size_t i = 0; i < frames; ++i) {
      double y = second.step(first.step(samples[2 * i + static_cast<size_t>(c)] / 32768.0));
      weighted[i] += y * y;
    }
  }
  std::vector<double> blocks;
  for (size_t from = 0; from + 4 * hop <= frames; from += hop) {
    double sum = 0;
    for (size_t i = from; i < from + 4 * hop; ++i) sum += weighted[i];
    blocks.push_back(sum / static_cast<double>(4 * hop));
  }
  return blocks;
}

double lufs(double energy) { return -0.691 + 10 * std::log10(energy); }

// The gated loudness of the blocks of one or more streams together.
double gatedLoudness(const std::vector<double>& blocks) {
  auto meanAbove = [&](double gate) {
    double sum = 0;
    size_t n = 0;
    for (double z : blocks) {
      if (z > 0 && lufs(z) > gate) {
        sum += z;
        ++n;
      }
    }
    return n == 0 ? 0.0 : sum / static_cast<double>(n);
  };
  double ungated = meanAbove(-70);
  if (ungated == 0) return -HUGE_VAL;
  return lufs(meanAbove(std::max(-70.0, lufs(ungated) - 10)));
}

TEST(Meter, KWeightingAt48kHzIsBs1770s) {
  Biquad s = shelf(48000), h = highPass(48000);
  EXPECT_NEAR(s.b0, 1.53512485958697, 1e-9);
  EXPECT_NEAR(s.b1, -2.69169618940638, 1e-9);
  EXPECT_NEAR(s.b2, 1.19839281085285, 1e-9);
  EXPECT_NEAR(s.a1, -1.69065929318241, 1e-9);
  EXPECT_NEAR(s.a2, 0.73248077421585, 1e-9);
  EXPECT_NEAR(h.a1, -1.99004745483398, 1e-9);
  EXPECT_NEAR(h.a2, 0.99007225036621, 1e-9);
}

// A data file of stretches at both rates: tones that swell and fall (so
// that the relative gate drops blocks), noise, a full-scale click, and
// silence; each stretch one file of the album.
class Album : public DataFileTest {
 protected:
  struct Stretch {
    const char* what;
    int32_t rate;
    double seconds;
    double (*left)(double t, uint64_t* seed);
    double (*right)(double t, uint64_t* seed);
  };
  static double noise(uint64_t* seed) {
    *seed = *seed * 6364136223846793005ull + 1442695040888963407ull;
    return static_cast<double>(*seed >> 11) / 9007199254740992.0 * 2 - 1;
  }
  static constexpr double kPi = 3.14159265358979323846;
  static constexpr Stretch kStretches[] = {
      {"swelling tones, 44,100 Hz", 44100, 6.3,
       [](double t, uint64_t*) { return (t < 3 ? 0.5 : 0.02) * std::sin(2 * kPi * 440 * t); },
       [](double t, uint64_t*) {
         return (t < 3 ? 0.3 : 0.006) * std::sin(2 * kPi * 3000 * t) * (t > 1 ? 1 : t);
       }},
      {"noise, 22,050 Hz", 22050, 4.05,
       [](double, uint64_t* seed) { return 0.25 * noise(seed); },
       [](double t, uint64_t* seed) { return 0.1 * noise(seed) + 0.2 * std::sin(2 * kPi * 60 * t); }},
      {"a quiet low tone with a full-scale click, 22,050 Hz", 22050, 2.5,
       [](double t, uint64_t*) { return std::fabs(t - 1) < 1e-4 ? -1.0 : 0.05 * std::sin(2 * kPi * 100 * t); },
       [](double t, uint64_t*) { return 0.05 * std::sin(2 * kPi * 8000 * t); }},
      {"silence, 44,100 Hz", 44100, 1.0,
       [](double, uint64_t*) { return 0.0; }, [](double, uint64_t*) { return 0.0; }},
  };

  std::vector<TrackPlan> plans;

  void SetUp() override {
    std::vector<uint8_t> raw(16, 0);
    uint64_t seed = 1;
    for (const Stretch& s : kStretches) {
      auto from = static_cast<int64_t>(raw.size());
      auto frames = static_cast<int64_t>(s.seconds * s.rate);
      for (int64_t i = 0; i < frames; ++i) {
        double t = static_cast<double>(i) / s.rate;
        for (double v : {s.left(t, &seed), s.right(t, &seed)}) {
          auto sample = static_cast<int16_t>(std::clamp(std::lround(v * 32768), -32768l, 32767l));
          raw.push_back(static_cast<uint8_t>(sample & 0xff));
          raw.push_back(static_cast<uint8_t>((sample >> 8) & 0xff));
        }
      }
      plans.push_back(planSection(from, static_cast<int64_t>(raw.size()), s.rate, false));
    }
    ASSERT_EQ(useDataFile(raw), kIoOk);
  }

  std::vector<int16_t> stream(const TrackPlan& plan, const GainTable* gains) {
    std::vector<int16_t> samples(static_cast<size_t>(plan.dataLength / 2));
    EXPECT_EQ(readStream(dataFile, plan, 0, samples.data(), static_cast<size_t>(plan.dataLength),
                         gains),
              kIoOk);
    return samples;
  }
};

TEST_F(Album, TrackAndAlbumLoudnessAgreeWithThePlainMeter) {
  // A faded stream too: a track of the first stretch, twice through its
  // loop and faded over the last two seconds.
  TrackEntry entry{static_cast<int32_t>(plans[0].ranges[0].from),
                   static_cast<int32_t>(plans[0].ranges[0].from + 44100 * 4),
                   static_cast<int32_t>(plans[0].ranges[0].to)};
  plans.push_back(planTrack(entry, RenderSettings{2, 2, FadePattern::RaisedCosine, false}, 44100));
  GainTable gains;
  ASSERT_EQ(prepareGains(&gains, FadePattern::RaisedCosine, plans.back().fadeBytes / kFrameBytes),
            kIoOk);

  std::vector<Loudness> measured(plans.size());
  std::vector<const Loudness*> all;
  std::vector<double> albumBlocks;
  int32_t albumPeak = 0;
  for (size_t k = 0; k < plans.size(); ++k) {
    SCOPED_TRACE(k < std::size(kStretches) ? kStretches[k].what : "faded track");
    const GainTable* g = plans[k].fadeBytes > 0 ? &gains : nullptr;
    ASSERT_EQ(measureLoudness(dataFile, plans[k], g, &measured[k]), kIoOk);
    all.push_back(&measured[k]);
    std::vector<int16_t> samples = stream(plans[k], g);
    std::vector<double> blocks = blockEnergies(samples, plans[k].sampleRate);
    albumBlocks.insert(albumBlocks.end(), blocks.begin(), blocks.end());
    double want = gatedLoudness(blocks);
    double got = integratedLoudness({&measured[k]});
    if (std::isfinite(want)) {
      EXPECT_NEAR(got, want, 0.1);
      EXPECT_GT(got, -40);  // a real figure, not the floor
    } else {
      EXPECT_EQ(got, kQuietestLoudness);
    }
    int32_t peak = 0;
    for (int16_t s : samples) peak = std::max(peak, std::abs(int32_t{s}));
    EXPECT_EQ(measured[k].peak, peak);
    albumPeak = std::max(albumPeak, peak);
  }
  EXPECT_EQ(measured[2].peak, 32768);
  EXPECT_EQ(measured[3].peak, 0);
  EXPECT_NEAR(integratedLoudness(all), gatedLoudness(albumBlocks), 0.1);
  EXPECT_EQ(largestPeak(all), albumPeak);
  EXPECT_EQ(largestPeak(all), 32768);
  // The silent file's blocks are all below the absolute gate: the album is
  // the same without it.
  std::vector<const Loudness*> heard = all;
  heard.erase(heard.begin() + 3);
  EXPECT_DOUBLE_EQ(integratedLoudness(heard), integratedLoudness(all));
  // An unmeasured entry is left out; none measured is the floor.
  Loudness unmeasured;
  heard.push_back(&unmeasured);
  EXPECT_DOUBLE_EQ(integratedLoudness(heard), integratedLoudness(all));
  EXPECT_EQ(integratedLoudness({&unmeasured}), kQuietestLoudness);
  EXPECT_EQ(integratedLoudness({}), kQuietestLoudness);
}

TEST_F(Album, AReadErrorLeavesTheFileUnmeasured) {
  TrackPlan past = plans[1];
  past.ranges[0].to += 1 << 20;  // beyond the end of the data file
  past.dataLength += 1 << 20;
  Loudness out;
  out.peak = 7;
  EXPECT_EQ(measureLoudness(dataFile, past, nullptr, &out), kIoShortRead);
  EXPECT_FALSE(out.state);
  EXPECT_EQ(out.peak, 0);
}

TEST(ReplayGainText, GainsAndPeaks) {
  struct Gain {
    double loudness;
    const char* text;
  } gains[] = {
      {-14.79, "-3.21 dB"}, {-21.21, "3.21 dB"}, {-18, "0.00 dB"},
      {-17.996, "0.00 dB"},  // rounds to zero from below: no minus sign
      {-18.004, "0.00 dB"}, {kQuietestLoudness, "52.00 dB"}, {-5.5, "-12.50 dB"},
  };
  for (const Gain& g : gains) EXPECT_EQ(gainText(g.loudness), g.text) << g.loudness;
  struct Peak {
    int32_t peak;
    const char* text;
  } peaks[] = {{32768, "1.000000"}, {32716, "0.998413"}, {0, "0.000000"}, {1, "0.000031"},
               {16384, "0.500000"}};
  for (const Peak& p : peaks) EXPECT_EQ(peakText(p.peak), p.text) << p.peak;

  std::vector<Tag> tags = replayGainTags(-14.79, 32716, -21.21, 32768);
  std::vector<std::string> got;
  for (const Tag& t : tags) got.push_back(t.name + "=" + t.value);
  EXPECT_EQ(got, (std::vector<std::string>{
                     "REPLAYGAIN_TRACK_GAIN=-3.21 dB", "REPLAYGAIN_TRACK_PEAK=0.998413",
                     "REPLAYGAIN_ALBUM_GAIN=3.21 dB", "REPLAYGAIN_ALBUM_PEAK=1.000000"}));

  for (const char* name : {"REPLAYGAIN_TRACK_GAIN", "replaygain_album_peak", "ReplayGain_x"}) {
    EXPECT_TRUE(isReplayGainTagName(name)) << name;
  }
  for (const char* name : {"REPLAYGAIN", "REPLAYGAINX", "R128_TRACK_GAIN", ""}) {
    EXPECT_FALSE(isReplayGainTagName(name)) << name;
  }
}

}  // namespace
