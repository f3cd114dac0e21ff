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

#include <cstdint>
#include <string>
#include <vector>

#include "platform/platform.h"
#include "wave/wave.h"

constexpr int kFlacDefaultCompression = 5;
constexpr int kFlacMaxCompression = 8;   // levels 0..8, as libFLAC's
constexpr uint32_t kFlacPaddingBytes = 8192;
constexpr int32_t kFlacSeekPointSeconds = 10;

// One Vorbis comment, NAME=VALUE. Names compare without regard to ASCII
// case; values are UTF-8.
struct FlacTag {
  std::string name;
  std::string value;
};

// What the tags of one file say of it.
struct FlacTrackInfo {
  std::string title;    // the file name's title part, "序章 (intro)"
  int trackNumber = 0;  // 1..kTrackCount
  std::string album;    // the data file's name without its extension
};

// True when `name` may name a tag: at least one character, each ASCII
// 0x20..0x7D other than '='.
bool isValidTagName(const std::string& name);

// True when `text` is well-formed UTF-8 (no overlong forms, surrogates or
// code points past U+10FFFF).
bool isValidUtf8(const std::string& text);

// The tags of one file: TITLE, TRACKNUMBER (no leading zero), TRACKTOTAL
// (kTrackCount), ALBUM, and when `loop` is present LOOPSTART (its first
// frame) and LOOPLENGTH (end - start + 1 frames); then each of `overrides`
// in order replaces the value of the tags of its name, keeping the first
// one's place (appended when there is none), or removes them all when its
// value is empty.
std::vector<FlacTag> flacTags(const FlacTrackInfo& info, const LoopPoints& loop,
                              const std::vector<FlacTag>& overrides);

// Encodes the planned stream (exactly the samples readStream gives, so the
// decoded audio is byte for byte the WAV file's data chunk) at `compression`
// (0..8) with `tags`, into `output` from its start, through positioned
// writes only (the encoder comes back to the start to fill in STREAMINFO
// and the seek table). Does not commit or close `output`. Returns the first
// read or write error, kIoNoMemory when the encoder cannot allocate, or
// kIoEncoderFailed (also for a tag that isValidTagName or isValidUtf8
// refuses). Uses `buffer` for the audio and the fade's gains.
IoError writeFlacTrack(FileHandle dataFile, OutputFile* output, const TrackPlan& plan,
                       const std::vector<FlacTag>& tags, int compression,
                       ChunkBuffer* buffer);
