// The tags that FLAC and Ogg Vorbis files carry as Vorbis comments: what
// each file says of itself (title, track, album, loop), and the user's own.
#pragma once

#include <string>
#include <vector>

#include "audio/audio.h"

// One Vorbis comment, NAME=VALUE. Names compare without regard to ASCII
// case; values are UTF-8.
struct Tag {
  std::string name;
  std::string value;
};

// What the tags of one file say of it.
struct TrackInfo {
  std::string title;    // the file name's title part, "序章 (intro)"
  int trackNumber = 0;  // its place in the album, 1..trackTotal
  std::string album;    // the data file's name without its extension
  int trackTotal = kTrackCount;  // the files of the whole album
};

// True when `name` may name a tag, as Vorbis comments allow: at least one
// character, each ASCII 0x20..0x7D other than '=' (so no '~', no DEL, no
// control character).
bool isValidTagName(const std::string& name);

// True when every tag of `tags` has a valid name and a UTF-8 value.
bool tagsAreValid(const std::vector<Tag>& tags);

// True when `a` and `b` name the same tag: equal but for ASCII case.
bool sameTagName(const std::string& a, const std::string& b);

// The tags of one file: TITLE, TRACKNUMBER (no leading zero), TRACKTOTAL
// (info.trackTotal), ALBUM, and when `loop` is present LOOPSTART (its first
// frame) and LOOPLENGTH (end - start + 1 frames); then each of `overrides`
// in order replaces the value of the tags of its name, keeping the first
// one's place (appended when there is none), or removes them all when its
// value is empty.
std::vector<Tag> trackTags(const TrackInfo& info, const LoopPoints& loop,
                           const std::vector<Tag>& overrides);
