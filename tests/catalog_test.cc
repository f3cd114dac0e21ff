#include "catalog/catalog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#ifndef _WIN32
#include <iconv.h>
#endif

namespace {

class Catalog : public ::testing::Test {
 protected:
  // Idempotent, so every test may prepare it.
  void SetUp() override { prepareCatalog(); }
};

constexpr int kVariantTracks[] = {3, 5, 7, 9, 11, 13, 15, 17, 19, 21, 23, 28, 30};

bool isVariant(int track) {
  for (int v : kVariantTracks) {
    if (v == track) return true;
  }
  return false;
}

TEST_F(Catalog, RowsAreAbsoluteAndBackToBack) {
  prepareCatalog();  // a second call must not shift the rows again
  TrackEntry first = trackEntry(0);
  EXPECT_EQ(first.start, 16);
  EXPECT_EQ(first.loopStart, 3853712);
  EXPECT_EQ(first.end, 10812944);
  for (int i = 0; i < kTrackCount; ++i) {
    TrackEntry e = trackEntry(i);
    EXPECT_LT(e.start, e.loopStart) << i;
    EXPECT_LT(e.loopStart, e.end) << i;
    EXPECT_EQ(e.start % kFrameBytes, 0) << i;
    EXPECT_EQ(e.loopStart % kFrameBytes, 0) << i;
    EXPECT_EQ(e.end % kFrameBytes, 0) << i;
    if (i + 1 < kTrackCount) {
      EXPECT_EQ(e.end, trackEntry(i + 1).start) << i;
    }
  }
  EXPECT_EQ(trackEntry(kTrackCount - 1).end, kDataFileBytes);
}

TEST_F(Catalog, EveryTrackIsLongerThanTheLongestFade) {
  for (int i = 0; i < kTrackCount; ++i) {
    TrackEntry e = trackEntry(i);
    int64_t bytesPerSecond = int64_t{sampleRateFor(trackFileName(i))} * kFrameBytes;
    EXPECT_GT(e.end - e.start, 30 * bytesPerSecond) << i;
  }
  // Track 26 has the shortest loop segment, about 13.3 seconds.
  EXPECT_EQ(trackEntry(25).end - trackEntry(25).loopStart, 2351872);
}

TEST_F(Catalog, VariantRowsPlayThePreviousPieceAtHalfRate) {
  int variants = 0;
  for (int i = 0; i < kTrackCount; ++i) {
    const char* name = trackFileName(i);
    bool variant = isVariant(i + 1);
    EXPECT_EQ(sampleRateFor(name), variant ? 22050 : 44100) << name;
    if (!variant) continue;
    ++variants;
    TrackEntry e = trackEntry(i), before = trackEntry(i - 1);
    EXPECT_EQ(2 * (e.loopStart - e.start), before.loopStart - before.start) << i;
    EXPECT_EQ(2 * (e.end - e.start), before.end - before.start) << i;
    // Same title as the row before, then the marker.
    std::string title(name + 3), previous(trackFileName(i - 1) + 3);
    EXPECT_EQ(title, previous.substr(0, previous.size() - 4) + kVariantMarker + ".wav");
  }
  EXPECT_EQ(variants, 13);
}

#ifndef _WIN32
// `utf8` in code page 932, or "" when it does not convert.
std::string toCp932(const std::string& utf8) {
  iconv_t cd = iconv_open("CP932", "UTF-8");
  if (cd == reinterpret_cast<iconv_t>(-1)) return "";
  char out[256];
  char* in = const_cast<char*>(utf8.data());
  size_t inLeft = utf8.size(), outLeft = sizeof out;
  char* outPtr = out;
  size_t rc = iconv(cd, &in, &inLeft, &outPtr, &outLeft);
  iconv_close(cd);
  if (rc == static_cast<size_t>(-1) || inLeft != 0) return "";
  return std::string(out, static_cast<size_t>(outPtr - out));
}
#endif

TEST_F(Catalog, NamesAreNumberedUtf8AndFitTheirSlots) {
  for (int i = 0; i < kTrackCount; ++i) {
    std::string name = trackFileName(i);
    char number[16];
    std::snprintf(number, sizeof number, "%02d ", i + 1);
    EXPECT_EQ(name.substr(0, 3), number);
    EXPECT_EQ(name.substr(name.size() - 4), ".wav");
  }
  EXPECT_STREQ(trackFileName(2), "03 朝の街並み（ハーフレート）.wav");
  EXPECT_STREQ(trackFileName(30), "31 エピローグ.wav");
#ifndef _WIN32
  // In code page 932 every name fits a 50-byte slot with its NUL; the
  // longest, track 23's, takes 45 bytes, and the marker 16.
  size_t longest = 0;
  for (int i = 0; i < kTrackCount; ++i) {
    std::string cp932 = toCp932(trackFileName(i));
    ASSERT_FALSE(cp932.empty()) << i;
    EXPECT_LE(cp932.size(), static_cast<size_t>(kTrackNameSlotBytes - 1));
    longest = std::max(longest, cp932.size());
  }
  EXPECT_EQ(longest, 45u);
  EXPECT_EQ(toCp932(trackFileName(22)).size(), 45u);
  EXPECT_EQ(toCp932(kVariantMarker), "\x81\x69\x83\x6e\x81\x5b\x83\x74\x83\x8c\x81\x5b\x83\x67\x81\x6a");
  EXPECT_EQ(toCp932(trackFileName(0)), "01 \x8f\x98\x8f\xcd.wav");
#endif
}

}  // namespace
