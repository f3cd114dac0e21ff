// FLAC output: the same planned, faded stream as a track's WAV file,
// encoded by libFLAC into an output file, with Vorbis comment tags (title,
// track, album and loop points), a seek table and room to edit the tags in
// place. Knows nothing of the command line or the console: it takes plain
// settings and returns an IoError.
//
// A file holds, in this order: STREAMINFO (with the total sample count and
// the MD5 of the audio), a SEEKTABLE with a point every 10 seconds, the
// VORBIS_COMMENT block, and kFlacPaddingBytes of PADDING, then the frames.
#pragma once

#include <cstddef>
#include <cstdint>
#include <vector>

#include "audio/audio.h"
#include "error/error.h"
#include "platform/platform.h"
#include "tags/tags.h"

constexpr int kFlacDefaultCompression = 5;
constexpr int kFlacMaxCompression = 8;   // levels 0..8, as libFLAC's
constexpr uint32_t kFlacPaddingBytes = 8192;
constexpr int32_t kFlacSeekPointSeconds = 10;

// The bytes of the vendor string that libFLAC writes in the VORBIS_COMMENT
// block.
size_t flacVendorBytes();

// Encodes the planned stream (exactly the samples readStream gives, so the
// decoded audio is byte for byte the WAV file's data chunk) at `compression`
// (0..8) with the comments of layoutTags(tags, flacVendorBytes()), which
// holds them in the order of an Ogg file of the same tags, into `output` from its start. Writes sequentially
// with writeAll, and seeks back to the start once (seekOutput) when the
// encoder fills in STREAMINFO and the seek table at the end. `gains` serves
// the plan's fade (null without one) and is only read, so one table may
// serve encoders on many threads; every other buffer is this call's own.
// Does not commit or close `output`. Returns the first read or write
// error, kIoNoMemory when memory cannot be had, kIoChanged when `expect`
// checks a digest the stream does not have, or kFlacEncoderFailed (also
// for a tag that tagsAreValid refuses). Each chunk of the stream that the
// encoder has taken is added to `done` (see StreamCount) as it goes,
// plan.dataLength in all when it succeeds.
IoError writeFlacTrack(FileHandle dataFile, OutputFile* output, const TrackPlan& plan,
                       const std::vector<Tag>& tags, int compression, const GainTable* gains,
                       const StreamCheck& expect = {}, StreamCount* done = nullptr);
