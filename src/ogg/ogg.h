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
#include <string>
#include <vector>

#include "audio/audio.h"
#include "error/error.h"
#include "platform/platform.h"
#include "tags/tags.h"

// Quality levels as the command line takes them, -1 (smallest) to 10 (best);
// fractions are allowed. libvorbisenc's own scale is a tenth of this.
constexpr float kOggDefaultQuality = 5.0f;
constexpr float kOggMinQuality = -1.0f;
constexpr float kOggMaxQuality = 10.0f;

// The bytes of the vendor string that libvorbis writes in the comment
// header, as the library in use makes it.
size_t oggVendorBytes();

// A tag whose value is the largest sample magnitude that a decoder gives
// of the file (1.0 full scale), which the encoder alone can tell: its
// packets are decoded as they are made, and the value is written into the
// comment header once the audio is complete.
struct PeakTag {
  const char* name = nullptr;  // the tag to fill in; nullptr measures only
  // Its value for a peak, as wide for every peak as the value the tag holds
  // in the `tags` given to the writer, so that no byte of the file moves.
  std::string (*text)(double peak) = nullptr;
  double peak = 0;  // out: the largest |sample| decoded, of every frame
};

// Encodes the planned stream (exactly the samples readStream gives, each
// as sample / 32768) at `quality` (kOggMinQuality..kOggMaxQuality) with
// the comments of layoutTags(tags, oggVendorBytes()) and libvorbis's vendor
// string, into `output` from its start, through writeAll, and once at the
// end, when `peak` is given, seekOutput and writeAll over the comment
// header's page. `serial` is the Ogg stream's serial number (oggSerial). Does not commit or close `output`. Returns the
// first read or write error, kIoNoMemory when memory runs out (checked
// before libvorbis, which does not check its own allocations, is asked for
// more), kIoChanged when `expect` checks a digest the stream does not
// have, or kOggEncoderFailed when libvorbis refuses the settings, for a
// quality out of range, for a tag that tagsAreValid refuses or whose value
// holds a zero byte, for loop tags that layoutTags cannot place, or for a
// comment packet past kMaxCommentPacketBytes; a refused quality or tag
// writes nothing.
// `gains` serves the plan's fade (null without one) and is only read, so
// one table may serve encoders on many threads; every other buffer is this
// call's own. Each chunk of the stream that the encoder has taken is added
// to `done` (see StreamCount) as it goes, plan.dataLength in all when it
// succeeds.
IoError writeOggTrack(FileHandle dataFile, OutputFile* output, const TrackPlan& plan,
                      const std::vector<Tag>& tags, float quality, uint32_t serial,
                      const GainTable* gains, const StreamCheck& expect = {},
                      PeakTag* peak = nullptr, StreamCount* done = nullptr);

// The serial number of the Ogg stream of a file: the same for the same file
// in every run, so that the same input gives the same bytes every time,
// and different for the files of one track (`part` 0 the whole track, 1
// its intro, 2 its loop): trackNumber * 4 + part.
uint32_t oggSerial(int trackNumber, int part);

// Copies the Ogg file `in` of `size` bytes, as writeOggTrack wrote it, into
// `output` from its start, with the value of the comment `name` replaced by
// `value` of the same length. kOggEncoderFailed when the file's comment
// header has no such comment of that length, else kIoOk or the first read
// or write error. Does not commit or close `output`.
IoError copyOggWithTag(FileHandle in, int64_t size, OutputFile* output, const std::string& name,
                       const std::string& value);
