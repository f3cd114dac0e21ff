#include "catalog/catalog.h"

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/platform.h"

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
  EXPECT_EQ(std::strlen(kVariantMarker), 16u);
}

TEST_F(Catalog, NamesAreNumberedAndConvertToUtf8) {
  size_t longest = 0;
  for (int i = 0; i < kTrackCount; ++i) {
    std::string name = trackFileName(i);
    char number[4];
    std::snprintf(number, sizeof number, "%02d ", i + 1);
    EXPECT_EQ(name.substr(0, 3), number);
    EXPECT_EQ(name.substr(name.size() - 4), ".wav");
    EXPECT_LE(name.size(), static_cast<size_t>(kTrackNameSlotBytes - 1));
    longest = std::max(longest, name.size());
    std::string utf8;
    EXPECT_EQ(cp932ToUtf8(name.c_str(), &utf8), kIoOk) << i;
  }
  EXPECT_EQ(longest, 45u);
  EXPECT_EQ(std::strlen(trackFileName(22)), 45u);
  std::string utf8;
  ASSERT_EQ(cp932ToUtf8(trackFileName(2), &utf8), kIoOk);
  EXPECT_EQ(utf8, "03 朝の街並み（ハーフレート）.wav");
  ASSERT_EQ(cp932ToUtf8(trackFileName(30), &utf8), kIoOk);
  EXPECT_EQ(utf8, "31 エピローグ.wav");
  // A lead byte without its trail byte is not code page 932.
  EXPECT_EQ(cp932ToUtf8("01 \x82.wav", &utf8), kIoBadName);
}

}  // namespace
