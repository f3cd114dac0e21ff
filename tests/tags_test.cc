// The tags a file carries and the names and values they may have; and the
// order of the comments in FLAC and Ogg files, read back from written
// files by a small Ogg page parser of this test's own, and checked against
// how loop readers take the comment header: the loop tags' names within its
// first 245 bytes, no digit after a value, the whole header on one page.
#include "tags/tags.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "flac/flac.h"
#include "loudness/loudness.h"
#include "ogg/ogg.h"
#include "test_util.h"
#include "utf8/utf8.h"

namespace {

std::vector<Tag> tags(std::initializer_list<Tag> list) { return list; }

TEST(Tags, TitleTrackAlbumLoopAndOverrides) {
  TrackInfo info{"序章 (loop)", 1, "kvbgm"};
  const std::vector<Tag> base = {
      {"TITLE", "序章 (loop)"}, {"TRACKNUMBER", "1"}, {"TRACKTOTAL", "31"}, {"ALBUM", "kvbgm"}};
  std::vector<Tag> looped = base;
  looped.push_back({"LOOPSTART", "963424"});
  looped.push_back({"LOOPLENGTH", "1739808"});
  struct Case {
    const char* what;
    LoopPoints loop;
    std::vector<Tag> overrides;
    std::vector<Tag> want;
  } cases[] = {
      {"plain", {}, {}, base},
      {"loop: length counts both ends", {true, 963424, 2703231}, {}, looped},
      {"replace in place, any case",
       {},
       tags({{"album", "Game"}}),
       tags({{"TITLE", "序章 (loop)"}, {"TRACKNUMBER", "1"}, {"TRACKTOTAL", "31"}, {"album", "Game"}})},
      {"remove, add, the later of two wins",
       {true, 0, 9},
       tags({{"TrackTotal", ""}, {"ARTIST", "a"}, {"LOOPSTART", ""}, {"artist", "b"}}),
       tags({{"TITLE", "序章 (loop)"}, {"TRACKNUMBER", "1"}, {"ALBUM", "kvbgm"},
             {"LOOPLENGTH", "10"}, {"artist", "b"}})},
      {"removing what is not there", {}, tags({{"COMMENT", ""}}), base},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<Tag> got = trackTags(info, c.loop, c.overrides);
    ASSERT_EQ(got.size(), c.want.size());
    for (size_t i = 0; i < got.size(); ++i) {
      EXPECT_EQ(got[i].name, c.want[i].name);
      EXPECT_EQ(got[i].value, c.want[i].value);
    }
  }
}

TEST(Tags, NamesAndValuesThatVorbisCommentsAllow) {
  for (const char* name : {"TITLE", "a", " ", "}", "Loop Start", "x~"}) {
    EXPECT_EQ(isValidTagName(name), std::string(name) != "x~") << name;
  }
  for (const char* name : {"", "A=B", "\x1f", "\x7e", "T\xc3\xa9"}) {
    EXPECT_FALSE(isValidTagName(name)) << name;
  }
  const char* good[] = {"", "ascii", "序章", "\xf0\x9f\x8e\xb5", "\xf4\x8f\xbf\xbf", "\xed\x9f\xbf"};
  for (const char* text : good) EXPECT_TRUE(isValidUtf8(text)) << text;
  const char* bad[] = {"\xff",       "\x80",         "\xc3",           "\xe5\xba",
                       "\xc0\xaf",   "\xe0\x80\xaf", "\xed\xa0\x80",   "\xf4\x90\x80\x80",
                       "a\xc3(", "\xf8\x88\x80\x80\x80"};
  for (const char* text : bad) EXPECT_FALSE(isValidUtf8(text)) << text;
}

TEST(LoopTagNames, EveryNameALoopReaderTakesInAnyCase) {
  for (const char* name : {"LOOP", "loop", "LOOPS", "Loops", "LOOPSTART", "LOOP_START",
                           "loop-start", "LOOPEND", "LOOP_END", "Loop-End", "LOOPLENGTH",
                           "LOOP_LENGTH", "loop-length", "LoopLength"}) {
    EXPECT_TRUE(isLoopTagName(name)) << name;
  }
  for (const char* name : {"", "LOO", "LOOP_", "LOOP-", "LOOPSTARTS", "LOOP START", "LOOP__END",
                           "LOOP_-END", "LOOP.END", "LOOPER", "LOOPING", "XLOOP", "LOOPSS",
                           "TRACKNUMBER", "LOOPLEN"}) {
    EXPECT_FALSE(isLoopTagName(name)) << name;
  }
}

// A tag whose comment, NAME=VALUE, is `bytes` bytes long.
Tag sized(const std::string& name, size_t bytes) {
  return {name, std::string(bytes - name.size() - 1, 'x')};
}

size_t commentLength(const Tag& t) { return t.name.size() + 1 + t.value.size(); }

uint32_t little32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0] | p[1] << 8 | p[2] << 16 | static_cast<uint32_t>(p[3]) << 24);
}

// The comment header of an Ogg Vorbis file as the file holds it.
struct CommentHeader {
  size_t at = 0;            // where the packet starts in the file
  uint8_t firstLacing = 0;  // its first lacing value
  std::vector<uint8_t> packet;
  std::string vendor;
  std::vector<std::string> comments;  // NAME=VALUE
  std::vector<size_t> offsets;        // where each one's text starts in the packet
};

// Reads the first two pages of `file`: the identification header must be
// alone on the first, the comment header must start the second and end on
// it, and be a well-formed Vorbis comment packet. nullopt (with a failure
// added) when anything is amiss.
std::optional<CommentHeader> commentHeader(const std::vector<uint8_t>& file) {
  size_t at = 0;
  CommentHeader h;
  for (int page = 0; page < 2; ++page) {
    if (file.size() < at + 27 || std::memcmp(&file[at], "OggS", 4) != 0 ||
        file.size() < at + 27 + file[at + 26]) {
      ADD_FAILURE() << "no page " << page;
      return std::nullopt;
    }
    uint8_t flags = file[at + 5];
    size_t segments = file[at + 26];
    const uint8_t* lacing = &file[at + 27];
    size_t body = at + 27 + segments;
    if (page == 0) {
      size_t bytes = 0;
      for (size_t i = 0; i < segments; ++i) bytes += lacing[i];
      if (flags != 2 || segments != 1 || lacing[0] != 30) {
        ADD_FAILURE() << "the identification header is not alone on the first page";
        return std::nullopt;
      }
      at = body + bytes;
      continue;
    }
    if ((flags & 1) != 0) {
      ADD_FAILURE() << "the comment header's page continues a packet";
      return std::nullopt;
    }
    size_t bytes = 0, i = 0;
    while (i < segments && lacing[i] == 255) bytes += lacing[i++];
    if (i == segments) {
      ADD_FAILURE() << "the comment header does not end on its page (" << segments
                    << " lacing values)";
      return std::nullopt;
    }
    bytes += lacing[i];
    h.at = body;
    h.firstLacing = lacing[0];
    h.packet.assign(file.begin() + static_cast<std::ptrdiff_t>(body),
                    file.begin() + static_cast<std::ptrdiff_t>(body + bytes));
  }
  const std::vector<uint8_t>& p = h.packet;
  auto fail = [](const char* why) {
    ADD_FAILURE() << "comment packet: " << why;
    return std::nullopt;
  };
  if (p.size() < 16 || std::memcmp(p.data(), "\x03vorbis", 7) != 0) return fail("no head");
  size_t pos = 7;
  uint32_t vendor = little32(&p[pos]);
  pos += 4;
  if (p.size() < pos + vendor + 4) return fail("vendor runs past the end");
  h.vendor.assign(p.begin() + static_cast<std::ptrdiff_t>(pos),
                  p.begin() + static_cast<std::ptrdiff_t>(pos + vendor));
  pos += vendor;
  uint32_t count = little32(&p[pos]);
  pos += 4;
  for (uint32_t c = 0; c < count; ++c) {
    if (p.size() < pos + 4) return fail("a length runs past the end");
    uint32_t length = little32(&p[pos]);
    pos += 4;
    if (p.size() < pos + length) return fail("a comment runs past the end");
    h.offsets.push_back(pos);
    h.comments.emplace_back(p.begin() + static_cast<std::ptrdiff_t>(pos),
                            p.begin() + static_cast<std::ptrdiff_t>(pos + length));
    pos += length;
  }
  if (pos + 1 != p.size() || p[pos] != 1) return fail("no framing byte at the end");
  return h;
}

std::string digitsAfter(const std::string& text, const std::string& key) {
  size_t at = text.find(key);
  if (at == std::string::npos) return "";
  size_t from = at + key.size(), end = from;
  while (end < text.size() && text[end] >= '0' && text[end] <= '9') ++end;
  return text.substr(from, end - from);
}

// The loop that a reader finds which looks for "LOOP" in the first bytes of
// the comment packet only, its first lacing value's bytes less ten; takes
// the text from there up to the next zero byte in the file; and reads the
// digits after "LOOPSTART=" and "LOOPLENGTH=" in it, the last ones found
// winning. {start, length}, "" for one not found.
std::pair<std::string, std::string> scannedLoop(const std::vector<uint8_t>& file,
                                                const CommentHeader& h) {
  std::pair<std::string, std::string> found;
  for (size_t i = h.at; i + 10 < h.at + h.firstLacing; ++i) {
    if (std::memcmp(&file[i], "LOOP", 4) != 0) continue;
    std::string text;
    while (i < file.size() && file[i] != 0) text += static_cast<char>(file[i++]);
    if (std::string s = digitsAfter(text, "LOOPSTART="); !s.empty()) found.first = s;
    if (std::string s = digitsAfter(text, "LOOPLENGTH="); !s.empty()) found.second = s;
  }
  return found;
}

// The comments of a FLAC file's VORBIS_COMMENT block, read from its
// metadata blocks: "fLaC", then each block's header (last-block flag and
// type in one byte, a 24-bit big-endian length) and body.
std::vector<std::string> flacComments(const std::string& name) {
  std::vector<uint8_t> file = readBytes(name);
  std::vector<std::string> comments;
  auto le32 = [&](size_t i) {
    return uint32_t{file[i]} | uint32_t{file[i + 1]} << 8 | uint32_t{file[i + 2]} << 16 |
           uint32_t{file[i + 3]} << 24;
  };
  if (file.size() < 4 || std::memcmp(file.data(), "fLaC", 4) != 0) {
    ADD_FAILURE() << name << " is no FLAC file";
    return comments;
  }
  for (size_t at = 4; at + 4 <= file.size();) {
    bool last = (file[at] & 0x80) != 0;
    int type = file[at] & 0x7f;
    size_t length = size_t{file[at + 1]} << 16 | size_t{file[at + 2]} << 8 | file[at + 3];
    size_t body = at + 4;
    if (body + length > file.size()) break;
    if (type == 4) {
      size_t i = body + 4 + le32(body);  // past the vendor string
      uint32_t count = le32(i);
      i += 4;
      for (uint32_t c = 0; c < count && i + 4 <= body + length; ++c) {
        size_t bytes = le32(i);
        comments.emplace_back(reinterpret_cast<const char*>(file.data() + i + 4), bytes);
        i += 4 + bytes;
      }
      return comments;
    }
    if (last) break;
    at = body + length;
  }
  ADD_FAILURE() << "no tags in " << name;
  return comments;
}

// A data file with one made-up silent track: a 0.2-second intro and a
// 0.3-second loop at 44,100 Hz.
class TagLayoutFiles : public DataFileTest {
 protected:
  const TrackEntry entry{16, 16 + 8820 * kFrameBytes, 16 + 22050 * kFrameBytes};

  void SetUp() override {
    ASSERT_EQ(useDataFile(std::vector<uint8_t>(static_cast<size_t>(entry.end) + 4096)), kIoOk);
  }

  // Writes the file with one of the two writers and commits it, whatever
  // the writer returned.
  IoError write(bool ogg, const TrackPlan& plan, const std::vector<Tag>& tags,
                const std::string& name) {
    OutputFile out;
    IoError error = createOutput("", name, &out);
    if (error != kIoOk) return error;
    error = ogg ? writeOggTrack(dataFile, &out, plan, tags, 0.0f, 1, nullptr)
                : writeFlacTrack(dataFile, &out, plan, tags, 0, nullptr);
    IoError commit = commitOutput(&out);
    return error != kIoOk ? error : commit;
  }
};

struct LayoutCase {
  std::string what;
  bool split = false;  // the loop file of --split, numbered 10 of 62, or else
                       // the whole track 5 of 31
  bool loop = true;    // --loop-points
  bool replayGain = false;
  std::vector<Tag> overrides;  // as --tag gives them
  std::vector<std::string> order;  // the names the file starts with
  std::string inTheWay;  // when not "": the tag in the way of the loop
                         // tags, for which the Ogg writer refuses the file
  size_t packetBytes = 0;  // when not 0: an ARTIST tag makes the comment
                           // packet this long; past one page, refused
  size_t loopLengthAt = 0;  // when not 0: where the last tag, LOOPLENGTH, starts
};

TEST_F(TagLayoutFiles, LoopTagsWhereEveryReaderFindsThem) {
  const size_t vendor = oggVendorBytes();
  // Comments that take `bytes` (each comment's length and NAME=VALUE) in
  // all, each one 48 to 57 bytes long: a length that reads as a digit.
  auto digitLengths = [](size_t bytes) {
    std::vector<Tag> tags;
    const char* names[] = {"TITLE", "ALBUM", "ARTIST", "COMMENT", "GENRE"};
    size_t count = (bytes + 60) / 61;
    for (size_t i = 0; i < count; ++i) {
      size_t share = bytes / (count - i);
      size_t length = share - 4;
      EXPECT_TRUE(length >= 48 && length <= 57) << "no such comments for " << bytes;
      tags.push_back(sized(names[i], length));
      bytes -= share;
    }
    return tags;
  };
  const std::vector<Tag> noSafeTags = {{"TRACKNUMBER", ""}, {"TRACKTOTAL", ""}};
  // The bytes of comments before the loop tags of a --split loop file
  // (LOOPSTART=0, 11 bytes) that make LOOPLENGTH's name, the last loop tag's,
  // start at packet byte 244: after the head, the vendor, the loop start and
  // the two lengths.
  const size_t lastAt244 = kLoopTagReach - 1 - (7 + 4 + vendor + 4) - (4 + 11) - 4;
  auto plus = [](std::vector<Tag> a, const std::vector<Tag>& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
  };

  const std::vector<std::string> loopFirst = {"LOOPSTART", "LOOPLENGTH", "TRACKNUMBER", "TITLE",
                                              "TRACKTOTAL", "ALBUM"};
  std::vector<LayoutCase> cases = {
      {"default", false, true, false, {}, loopFirst, ""},
      {"no --loop-points: as trackTags gives them", false, false, false, {},
       {"TITLE", "TRACKNUMBER", "TRACKTOTAL", "ALBUM"}, ""},
      {"--replaygain", false, true, true, {},
       {"LOOPSTART", "LOOPLENGTH", "TRACKNUMBER", "TITLE", "TRACKTOTAL", "ALBUM",
        "REPLAYGAIN_TRACK_GAIN", "REPLAYGAIN_TRACK_PEAK", "REPLAYGAIN_ALBUM_GAIN",
        "REPLAYGAIN_ALBUM_PEAK"},
       ""},
      {"--split, the loop", true, true, true, {}, loopFirst, ""},
      {"--split, the intro", true, false, false, {},
       {"TITLE", "TRACKNUMBER", "TRACKTOTAL", "ALBUM"}, ""},
      {"long values after a safe TRACKNUMBER", false, true, true,
       {sized("ALBUM", 304), sized("TITLE", 313), sized("ARTIST", 57)}, loopFirst, ""},
      {"TRACKNUMBER of 58 bytes is safe", false, true, false, {sized("TRACKNUMBER", 58)},
       loopFirst, ""},
      {"TRACKNUMBER of 48 bytes is not: the first safe one", false, true, false,
       {sized("TRACKNUMBER", 48), sized("TITLE", 313)},
       {"LOOPSTART", "LOOPLENGTH", "TRACKTOTAL", "TITLE", "TRACKNUMBER", "ALBUM"}, ""},
      {"TRACKNUMBER removed", false, true, false, {{"TRACKNUMBER", ""}, sized("TITLE", 57)},
       {"LOOPSTART", "LOOPLENGTH", "TRACKTOTAL", "TITLE", "ALBUM"}, ""},
      {"no safe comment: the loop tags last", false, true, false,
       plus(noSafeTags, {sized("TITLE", 50), sized("ALBUM", 55)}),
       {"TITLE", "ALBUM", "LOOPSTART", "LOOPLENGTH"}, ""},
      {"no safe comment, LOOPLENGTH at byte 244", true, true, false,
       plus(noSafeTags, digitLengths(lastAt244)), {}, "", 0, 244},
      {"no safe comment, LOOPLENGTH at byte 245", true, true, false,
       plus(noSafeTags, digitLengths(lastAt244 + 1)), {}, "TITLE"},
      {"no safe comment and a long one", false, true, false,
       plus(noSafeTags, {sized("TITLE", 49), sized("ALBUM", 313)}), {}, "ALBUM"},
      {"the packet the page holds", false, true, false, {}, loopFirst, "", 255 * 255 - 1},
      {"a byte more", false, true, false, {}, {}, "", 255 * 255},
  };
  for (const LayoutCase& c : cases) {
    SCOPED_TRACE(c.what);
    TrackPlan plan = c.split ? planSection(entry.loopStart, entry.end, 44100, c.loop)
                             : planTrack(entry, {2, 0, FadePattern::Exponential, c.loop}, 44100);
    ASSERT_EQ(plan.loop.present, c.loop);
    TrackInfo info{c.split ? "序章 (loop)" : "序章", c.split ? 10 : 5, "kvbgm",
                   c.split ? 62 : 31};
    std::vector<Tag> tags = trackTags(info, plan.loop, c.overrides);
    if (c.replayGain) tags = plus(tags, replayGainTags(-23.5, 30000, -20.25, 32000));
    if (c.packetBytes != 0) {
      size_t bytes = 7 + 4 + vendor + 4 + 1;
      for (const Tag& t : tags) bytes += 4 + commentLength(t);
      tags.push_back(sized("ARTIST", c.packetBytes - bytes - 4));
    }

    IoError error = write(true, plan, tags, "out.ogg");
    std::vector<uint8_t> file = readBytes("out.ogg");
    if (!c.inTheWay.empty() || c.packetBytes > 255 * 255 - 1) {
      EXPECT_EQ(error, kOggEncoderFailed);
      EXPECT_TRUE(file.empty()) << file.size() << " bytes written";
      TagLayout layout = layoutTags(tags, vendor);
      EXPECT_EQ(layout.placed, c.inTheWay.empty());
      EXPECT_EQ(layout.inTheWay, c.inTheWay);
      continue;
    }
    ASSERT_EQ(error, kIoOk);
    std::optional<CommentHeader> h = commentHeader(file);
    ASSERT_TRUE(h.has_value());
    EXPECT_EQ(h->vendor.size(), vendor);

    // Every tag, once, the order starting as it should.
    std::vector<std::string> want, names;
    for (const Tag& t : tags) want.push_back(t.name + "=" + t.value);
    std::vector<std::string> got = h->comments;
    std::sort(want.begin(), want.end());
    std::sort(got.begin(), got.end());
    EXPECT_EQ(got, want);
    for (const std::string& comment : h->comments) {
      names.push_back(comment.substr(0, comment.find('=')));
    }
    ASSERT_GE(names.size(), c.order.size());
    EXPECT_TRUE(std::equal(c.order.begin(), c.order.end(), names.begin()))
        << testing::PrintToString(names);

    // Each loop tag's name starts within reach, and no digit follows its
    // value: the next comment's length, or the framing byte.
    for (size_t i = 0; i < names.size(); ++i) {
      if (names[i] != "LOOPSTART" && names[i] != "LOOPLENGTH") continue;
      EXPECT_LT(h->offsets[i], 245u) << names[i];
      uint8_t after = h->packet[h->offsets[i] + h->comments[i].size()];
      EXPECT_FALSE(after >= '0' && after <= '9') << names[i] << " is followed by " << after;
    }
    if (c.loopLengthAt != 0) {
      ASSERT_EQ(names.back(), "LOOPLENGTH");
      EXPECT_EQ(h->offsets.back(), c.loopLengthAt);
    }
    if (c.packetBytes != 0) {
      EXPECT_EQ(h->packet.size(), c.packetBytes);
      EXPECT_EQ(file[h->at - 255 - 1], 255) << "a page of 255 lacing values";
    }

    // What a reader that scans the packet's first bytes finds.
    std::pair<std::string, std::string> scanned = scannedLoop(file, *h);
    if (c.loop) {
      EXPECT_EQ(scanned.first, std::to_string(plan.loop.start));
      EXPECT_EQ(scanned.second, std::to_string(plan.loop.end - plan.loop.start + 1));
    } else {
      EXPECT_EQ(scanned, (std::pair<std::string, std::string>{}));
    }

    // A FLAC file of the same tags holds them in the same order.
    ASSERT_EQ(write(false, plan, tags, "out.flac"), kIoOk);
    EXPECT_EQ(flacComments("out.flac"), h->comments);
  }
}

}  // namespace
