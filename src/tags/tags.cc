#include "tags/tags.h"

#include <algorithm>

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
    tags.push_back({"LOOPSTART", std::to_string(loop.start)});
    tags.push_back({"LOOPLENGTH", std::to_string(int64_t{loop.end} - loop.start + 1)});
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
