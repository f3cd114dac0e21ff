#include "loudness/loudness.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

void LoudnessStateFree::operator()(ebur128_state* state) const { ebur128_destroy(&state); }

IoError measureLoudness(FileHandle dataFile, const TrackPlan& plan, const GainTable* gains,
                        Loudness* out, StreamCount* done) {
  *out = Loudness{};
  // Integrated loudness only: libebur128's own peaks would cost a pass of
  // their own over every sample, and the int16 peak is exact.
  ebur128_state* made =
      ebur128_init(2, static_cast<unsigned long>(plan.sampleRate), EBUR128_MODE_I);
  if (made == nullptr) return kIoNoMemory;
  std::unique_ptr<ebur128_state, LoudnessStateFree> state(made);
  int32_t peak = 0;
  uint64_t digest = kStreamDigestStart;
  StreamRead read{dataFile, &plan, gains, nullptr, done, {}, &digest};
  IoError error = readChunks(read, [&](int16_t* samples, size_t count) {
    // The chunk's lowest and highest samples, which vectorize in 16 bits,
    // then their magnitudes in 32 bits, where -(-32768) fits.
    int16_t low = 0, high = 0;
    for (size_t i = 0; i < count; ++i) {
      low = std::min(low, samples[i]);
      high = std::max(high, samples[i]);
    }
    peak = std::max({peak, -int32_t{low}, int32_t{high}});
    int status = ebur128_add_frames_short(state.get(), samples, count / 2);
    if (status == EBUR128_ERROR_NOMEM) return kIoNoMemory;
    return status == EBUR128_SUCCESS ? kIoOk : kLoudnessFailed;
  });
  if (error != kIoOk) return error;
  out->state = std::move(state);
  out->peak = peak;
  out->digest = digest;
  return kIoOk;
}

double integratedLoudness(const std::vector<const Loudness*>& files) {
  std::vector<ebur128_state*> states;
  for (const Loudness* file : files) {
    if (file->state) states.push_back(file->state.get());
  }
  double loudness = -HUGE_VAL;
  if (states.empty() ||
      ebur128_loudness_global_multiple(states.data(), states.size(), &loudness) !=
          EBUR128_SUCCESS ||
      !std::isfinite(loudness)) {
    return kQuietestLoudness;
  }
  return std::max(loudness, kQuietestLoudness);
}

int32_t largestPeak(const std::vector<const Loudness*>& files) {
  int32_t peak = 0;
  for (const Loudness* file : files) peak = std::max(peak, file->peak);
  return peak;
}

std::string gainText(double loudness) {
  char text[32];
  std::snprintf(text, sizeof text, "%.2f dB", kReplayGainReference - loudness);
  std::string result = text;
  if (result == "-0.00 dB") result = "0.00 dB";
  return result;
}

std::string peakText(int32_t peak) {
  char text[32];
  std::snprintf(text, sizeof text, "%.6f", peak / 32768.0);
  return text;
}

std::string peakTextAtLeast(double peak) {
  double micros = std::ceil(std::max(0.0, peak) * 1e6 - 1e-6);
  // Rounded up, so that the text is never below the peak: the -1e-6 only
  // keeps an exact multiple of a millionth from going up one.
  if (micros / 1e6 < peak) micros += 1;
  char text[32];
  std::snprintf(text, sizeof text, "%.6f", std::min(micros, 9999999.0) / 1e6);
  return text;
}

std::vector<Tag> replayGainTags(double trackLoudness, int32_t trackPeak, double albumLoudness,
                                int32_t albumPeak) {
  return {
      {"REPLAYGAIN_TRACK_GAIN", gainText(trackLoudness)},
      {"REPLAYGAIN_TRACK_PEAK", peakText(trackPeak)},
      {"REPLAYGAIN_ALBUM_GAIN", gainText(albumLoudness)},
      {"REPLAYGAIN_ALBUM_PEAK", peakText(albumPeak)},
  };
}

bool isReplayGainTagName(const std::string& name) {
  const std::string prefix = "REPLAYGAIN_";
  return name.size() >= prefix.size() && sameTagName(name.substr(0, prefix.size()), prefix);
}
