// The tags that FLAC and Ogg Vorbis files carry as Vorbis comments: what
// each file says of itself (title, track, album, loop), and the user's own,
// and the order a file holds them in.
#pragma once

#include <cstddef>
#include <string>
#include <vector>

#include "audio/audio.h"

// One Vorbis comment, NAME=VALUE. Names compare without regard to ASCII
// case; values are UTF-8.
struct Tag {
  std::string name;
  std::string value;
};

// The loop tags that --loop-points writes: the loop's first frame and its
// length in frames.
constexpr const char* kLoopStartTag = "LOOPSTART";
constexpr const char* kLoopLengthTag = "LOOPLENGTH";

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

// True when loop readers take `name` for loop metadata, in any ASCII case:
// LOOP, LOOPS, and LOOP followed by START, END or LENGTH with '_', '-' or
// nothing between (LOOPSTART, LOOP_END, loop-length, ...).
bool isLoopTagName(const std::string& name);

// The Vorbis comment packet, as an Ogg file holds it: "\x03vorbis", the
// vendor string's 4-byte length and the string, the 4-byte count, each
// comment as its 4-byte little-endian length and NAME=VALUE, then a framing
// byte 1.
//
// Some loop readers take the first comment packet bytes alone: the text of
// a loop tag must start before this offset.
constexpr size_t kLoopTagReach = 245;
// The largest comment packet that fits on one Ogg page: a page holds 255
// lacing values, and a packet of L bytes takes L / 255 + 1 of them.
constexpr size_t kMaxCommentPacketBytes = 255 * 255 - 1;

// The bytes of the comment packet of `tags` beside a vendor string of
// `vendorBytes` bytes, in whatever order.
size_t commentPacketBytes(const std::vector<Tag>& tags, size_t vendorBytes);

// The tags of a file in the order it holds them.
struct TagLayout {
  std::vector<Tag> tags;
  bool placed = true;    // false when no order puts the loop tags where they must be
  std::string inTheWay;  // then: the name of the tag in the way
  size_t inTheWayBytes = 0;  // and the bytes of its NAME=VALUE
};

// The order in which FLAC and Ogg files hold `tags`, for a comment packet
// whose vendor string is `vendorBytes` long. Without a tag named
// kLoopStartTag or kLoopLengthTag (names compared without regard to ASCII
// case), `tags` as they are. Else the loop tags, those named kLoopStartTag
// then those named kLoopLengthTag, are placed so that each one's NAME
// starts before packet byte kLoopTagReach, and the byte after each one's
// value is no ASCII digit: readers that take a value's digits on past its
// comment would read that byte, the low byte of the next comment's length
// (or the framing byte after the last), as one more digit. In order:
//  - the loop tags first, right after the vendor string, then a comment
//    whose length's low byte is no digit (TRACKNUMBER if it is one, else
//    the first such comment), then the others in their order;
//  - where no such comment is left, the others in their order, then the
//    loop tags;
//  - where neither holds, the first order with placed false, and inTheWay
//    the longest of the other tags (the first loop tag when there are no
//    others).
TagLayout layoutTags(const std::vector<Tag>& tags, size_t vendorBytes);
