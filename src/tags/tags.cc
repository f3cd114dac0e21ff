#include "tags/tags.h"

#include <algorithm>
#include <cstdint>

#include "utf8/utf8.h"

bool isValidTagName(const std::string& name) {
  return !name.empty() && std::all_of(name.begin(), name.end(), [](char c) {
    return c >= 0x20 && c <= 0x7d && c != '=';
  });
}

bool tagsAreValid(const std::vector<Tag>& tags) {
  return std::all_of(tags.begin(), tags.end(), [](const Tag& tag) {
    return isValidTagName(tag.name) && isValidUtf8(tag.value);
  });
}

bool sameTagName(const std::string& a, const std::string& b) {
  auto lower = [](char c) { return c >= 'A' && c <= 'Z' ? static_cast<char>(c - 'A' + 'a') : c; };
  return a.size() == b.size() &&
         std::equal(a.begin(), a.end(), b.begin(), [&](char x, char y) { return lower(x) == lower(y); });
}

std::vector<Tag> trackTags(const TrackInfo& info, const LoopPoints& loop,
                           const std::vector<Tag>& overrides) {
  std::vector<Tag> tags = {
      {"TITLE", info.title},
      {"TRACKNUMBER", std::to_string(info.trackNumber)},
      {"TRACKTOTAL", std::to_string(info.trackTotal)},
      {"ALBUM", info.album},
  };
  if (loop.present) {
    tags.push_back({kLoopStartTag, std::to_string(loop.start)});
    tags.push_back({kLoopLengthTag, std::to_string(int64_t{loop.end} - loop.start + 1)});
  }
  for (const Tag& o : overrides) {
    auto named = [&](const Tag& t) { return sameTagName(t.name, o.name); };
    auto first = std::find_if(tags.begin(), tags.end(), named);
    auto at = first - tags.begin();
    tags.erase(std::remove_if(first, tags.end(), named), tags.end());
    if (!o.value.empty()) tags.insert(tags.begin() + at, o);
  }
  return tags;
}

bool isLoopTagName(const std::string& name) {
  if (name.size() < 4 || !sameTagName(name.substr(0, 4), "LOOP")) return false;
  std::string rest = name.substr(4);
  if (rest.empty() || sameTagName(rest, "S")) return true;
  if (rest[0] == '_' || rest[0] == '-') rest.erase(0, 1);
  return sameTagName(rest, "START") || sameTagName(rest, "END") || sameTagName(rest, "LENGTH");
}

namespace {

// "\x03vorbis", the vendor string's length, its comment count.
constexpr size_t kPacketHeadBytes = 7 + 4 + 4;
constexpr size_t kLengthBytes = 4;  // before each comment
constexpr uint8_t kFramingByte = 1;

size_t commentBytes(const Tag& tag) { return tag.name.size() + 1 + tag.value.size(); }

bool isDigitByte(size_t byte) { return byte >= '0' && byte <= '9'; }

// True when the low byte of the length of the comment of `tag` is no digit.
bool safeAfterLoopValue(const Tag& tag) { return !isDigitByte(commentBytes(tag) & 0xff); }

bool isLoopTag(const Tag& tag) {
  return sameTagName(tag.name, kLoopStartTag) || sameTagName(tag.name, kLoopLengthTag);
}

// True when every loop tag of `tags`, in this order, starts before
// kLoopTagReach and is followed by a byte that is no digit.
bool loopTagsStandRight(const std::vector<Tag>& tags, size_t vendorBytes) {
  size_t at = kPacketHeadBytes + vendorBytes;
  for (size_t i = 0; i < tags.size(); ++i) {
    size_t text = at + kLengthBytes;
    at = text + commentBytes(tags[i]);
    if (!isLoopTag(tags[i])) continue;
    size_t next = i + 1 < tags.size() ? commentBytes(tags[i + 1]) & 0xff : kFramingByte;
    if (text >= kLoopTagReach || isDigitByte(next)) return false;
  }
  return true;
}

}  // namespace

size_t commentPacketBytes(const std::vector<Tag>& tags, size_t vendorBytes) {
  size_t bytes = kPacketHeadBytes + vendorBytes + 1;
  for (const Tag& tag : tags) bytes += kLengthBytes + commentBytes(tag);
  return bytes;
}

TagLayout layoutTags(const std::vector<Tag>& tags, size_t vendorBytes) {
  std::vector<Tag> loop, others;
  for (const char* name : {kLoopStartTag, kLoopLengthTag}) {
    for (const Tag& t : tags) {
      if (sameTagName(t.name, name)) loop.push_back(t);
    }
  }
  TagLayout first, last;
  if (loop.empty()) {
    first.tags = tags;
    return first;
  }
  for (const Tag& t : tags) {
    if (!isLoopTag(t)) others.push_back(t);
  }

  // The loop tags first, then a comment of a safe length.
  auto safe = std::find_if(others.begin(), others.end(), [](const Tag& t) {
    return sameTagName(t.name, "TRACKNUMBER") && safeAfterLoopValue(t);
  });
  if (safe == others.end()) safe = std::find_if(others.begin(), others.end(), safeAfterLoopValue);
  first.tags = loop;
  if (safe != others.end()) first.tags.push_back(*safe);
  for (auto t = others.begin(); t != others.end(); ++t) {
    if (t != safe) first.tags.push_back(*t);
  }
  if (safe != others.end() && loopTagsStandRight(first.tags, vendorBytes)) return first;

  // The loop tags last.
  last.tags = others;
  last.tags.insert(last.tags.end(), loop.begin(), loop.end());
  if (loopTagsStandRight(last.tags, vendorBytes)) return last;

  first.placed = false;
  const Tag* longest = &loop.front();
  if (!others.empty()) {
    longest = &*std::max_element(others.begin(), others.end(), [](const Tag& a, const Tag& b) {
      return commentBytes(a) < commentBytes(b);
    });
  }
  first.inTheWay = longest->name;
  first.inTheWayBytes = commentBytes(*longest);
  return first;
}
