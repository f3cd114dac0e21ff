// Ogg Vorbis output: the same planned, faded stream as a track's WAV file,
// encoded by libvorbisenc (variable bit rate at a quality level) into Ogg
// pages written one after the other, with the Vorbis comment tags. Knows
// nothing of the command line or the console: it takes plain settings and
// returns an IoError.
//
// A file is one logical Ogg stream: the identification header alone on the
// first page, the comment and setup headers on the pages after it, then the
// audio, starting on a page of its own. The last page's granule
// position is the stream's frame count, so a decoder gives back exactly the
// frames of the WAV file's data chunk, from its first one.
#pragma once

#include <cstdint>
#include <vector>

#include "audio/audio.h"
#include "platform/platform.h"
#include "tags/tags.h"

// Quality levels as the command line takes them, -1 (smallest) to 10 (best);
// fractions are allowed. libvorbisenc's own scale is a tenth of this.
constexpr float kOggDefaultQuality = 5.0f;
constexpr float kOggMinQuality = -1.0f;
constexpr float kOggMaxQuality = 10.0f;

// This module's own error: libvorbis gave up (or a setting or tag was
// refused).
constexpr IoError kOggEncoderFailed = -22;

// The reason for kOggEncoderFailed; nullptr for any other code.
const char* oggErrorText(IoError error);

// The tags of `tags` in the order an Ogg file holds them: every tag but
// LOOPSTART and LOOPLENGTH in its order, then those named LOOPSTART, then
// those named LOOPLENGTH (names compared without regard to ASCII case).
// The loop tags come last because some readers take a value up to the next
// zero byte, and would read the length field of a comment after it as more
// digits.
std::vector<Tag> oggTagOrder(const std::vector<Tag>& tags);

// Encodes the planned stream (exactly the samples readStream gives, each
// as sample / 32768) at `quality` (kOggMinQuality..kOggMaxQuality) with
// the comments of oggTagOrder(tags) and libvorbis's vendor string, into
// `output` from its start, through writeAll only. `serial` is the Ogg
// stream's serial number, which the caller derives from the file's identity
// (trackNumber * 4 + part, where part tells apart the files of one track),
// so that the same input gives the same bytes every time. Does not commit or
// close `output`. Returns the first read or write error, kIoNoMemory when
// memory runs out, or kOggEncoderFailed when libvorbis refuses the settings,
// for a quality out of range, or for a tag that tagsAreValid refuses or
// whose value holds a zero byte; a refused quality or tag writes nothing.
// `gains` serves the plan's fade (null without one) and is only read, so
// one table may serve encoders on many threads; every other buffer is this
// call's own. Each chunk of the stream that the encoder has taken is added
// to `done` (see StreamCount) as it goes, plan.dataLength in all when it
// succeeds.
IoError writeOggTrack(FileHandle dataFile, OutputFile* output, const TrackPlan& plan,
                      const std::vector<Tag>& tags, float quality, uint32_t serial,
                      const GainTable* gains, StreamCount* done = nullptr);
