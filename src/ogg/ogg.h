// Ogg Vorbis output: the same planned, faded stream as a track's WAV file,
// encoded by libvorbisenc (variable bit rate at a quality level) into Ogg
// pages written one after the other, with the Vorbis comment tags. Knows
// nothing of the command line or the console: it takes plain settings and
// returns an IoError.
//
// A file is one logical Ogg stream: the identification header alone on the
// first page, the comment header at the head of the second page and ending
// on it, the setup header after it, then the audio, starting on a page of
// its own. The last page's granule position is the stream's frame count, so
// a decoder gives back exactly the frames of the WAV file's data chunk, from
// its first one.
#pragma once

#include <cstddef>
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

// The bytes of the vendor string that libvorbis writes in the comment
// header, as the library in use makes it.
size_t oggVendorBytes();

// Encodes the planned stream (exactly the samples readStream gives, each
// as sample / 32768) at `quality` (kOggMinQuality..kOggMaxQuality) with
// the comments of layoutTags(tags, oggVendorBytes()) and libvorbis's vendor
// string, into `output` from its start, through writeAll only. `serial` is
// the Ogg stream's serial number, which the caller derives from the file's
// identity (trackNumber * 4 + part, where part tells apart the files of one
// track), so that the same input gives the same bytes every time. Does not
// commit or close `output`. Returns the first read or write error,
// kIoNoMemory when memory runs out, or kOggEncoderFailed when libvorbis
// refuses the settings, for a quality out of range, for a tag that
// tagsAreValid refuses or whose value holds a zero byte, for loop tags that
// layoutTags cannot place, or for a comment packet past
// kMaxCommentPacketBytes; a refused quality or tag writes nothing.
// `gains` serves the plan's fade (null without one) and is only read, so
// one table may serve encoders on many threads; every other buffer is this
// call's own.
IoError writeOggTrack(FileHandle dataFile, OutputFile* output, const TrackPlan& plan,
                      const std::vector<Tag>& tags, float quality, uint32_t serial,
                      const GainTable* gains);
