// ReplayGain 2.0 for FLAC and Ogg Vorbis files: the EBU R128 integrated
// loudness (ITU-R BS.1770 K-weighting, 400 ms blocks every 100 ms, gated
// at -70 LUFS and 10 LU below the ungated mean) of the same planned, faded
// stream a track's WAV file holds, measured by libebur128, and the largest
// sample magnitude of it; each file on its own and all files of a run
// together (the album), whatever their sample rates; and the tags that
// say them. Knows nothing of the command line or the console.
#pragma once

#include <ebur128.h>

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "error/error.h"
#include "platform/platform.h"
#include "tags/tags.h"

// The loudness that ReplayGain 2.0 plays every file at.
constexpr double kReplayGainReference = -18.0;  // LUFS

// The loudness taken for a stream with no block above the absolute gate
// (silence, or shorter than one 400 ms block): the gate itself, so that
// its gain stays a finite number.
constexpr double kQuietestLoudness = -70.0;  // LUFS

// Releases a libebur128 state.
struct LoudnessStateFree {
  void operator()(ebur128_state* state) const;
};

// What measuring one file's stream leaves: the meter's state, which keeps
// the energy of every 400 ms block so that files can also be gated
// together, and the stream's largest sample magnitude.
struct Loudness {
  std::unique_ptr<ebur128_state, LoudnessStateFree> state;  // null until measured
  int32_t peak = 0;  // the largest |sample| of the stream, 0..32768
  uint64_t digest = kStreamDigestStart;  // foldDigest of the whole stream
};

// Measures the planned stream, exactly the samples readStream gives (the
// fade included), into *out: a new meter state of the plan's rate, fed
// every frame, and the peak. `gains` serves the plan's fade (null without
// one) and is only read, so one table may serve measurements on many
// threads. Returns the first read error, kIoNoMemory when memory cannot be
// had, or kLoudnessFailed; *out is left unmeasured then. Each chunk
// measured is added to `done` (see StreamCount) as it goes.
IoError measureLoudness(FileHandle dataFile, const TrackPlan& plan, const GainTable* gains,
                        Loudness* out, StreamCount* done = nullptr);

// The integrated loudness in LUFS of the measured streams of `files` gated
// together as one programme (one of them: that file's own), blocks of
// different sample rates alike; kQuietestLoudness when no block passes the
// absolute gate, or when `files` holds none measured. Unmeasured entries
// are left out.
double integratedLoudness(const std::vector<const Loudness*>& files);

// The largest peak of `files`, 0 for none.
int32_t largestPeak(const std::vector<const Loudness*>& files);

// A ReplayGain 2.0 gain as a tag value: kReplayGainReference - loudness
// with two decimals, a blank and "dB": "-3.21 dB", "+0.50" never (no plus
// sign), "0.00 dB" never "-0.00 dB".
std::string gainText(double loudness);

// A peak as a tag value: peak / 32768 with six decimals, "0.998413".
std::string peakText(int32_t peak);

// A peak of decoded audio (1.0 full scale) as a tag value no smaller than
// it: six decimals rounded up, "1.016944". Always eight characters, as
// wide as peakText: a peak of 10 or more (which no decoder of this audio
// gives) reads 9.999999.
std::string peakTextAtLeast(double peak);

// The four ReplayGain 2.0 tags of a file, in this order:
// REPLAYGAIN_TRACK_GAIN and REPLAYGAIN_TRACK_PEAK of the file itself, then
// REPLAYGAIN_ALBUM_GAIN and REPLAYGAIN_ALBUM_PEAK of the whole run.
std::vector<Tag> replayGainTags(double trackLoudness, int32_t trackPeak, double albumLoudness,
                                int32_t albumPeak);

// True when `name` is one that ReplayGain tags use: it starts with
// "REPLAYGAIN_", in any ASCII case.
bool isReplayGainTagName(const std::string& name);
