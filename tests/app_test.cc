#include "app/app.h"

#include <gtest/gtest.h>

#include <climits>
#include <vector>

#include "test_util.h"

namespace {

TEST(ReadNumber, Grammar) {
  struct Case {
    const char* text;
    int32_t value;
  } cases[] = {
      {"", 0},           {"x", 0},          {"12", 12},
      {"3x", 3},         {"+5", 5},         {"-5", -5},
      {"--5", 0},        {"+-5", 0},        {" \t\n\v\f\r7", 7},
      {"- 5", 0},        {"007", 7},        {"12 34", 12},
      {"2147483647", INT32_MAX},            {"-2147483648", INT32_MIN},
      // Beyond the 32-bit range a number saturates instead of wrapping.
      {"2147483648", INT32_MAX},            {"-2147483649", INT32_MIN},
      {"4294967298", INT32_MAX},            {"99999999999999999999999999", INT32_MAX},
      {"-99999999999999999999999999", INT32_MIN},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(readNumber(c.text), c.value) << '"' << c.text << '"';
  }
}

struct OptionsCase {
  std::vector<const char*> args;
  ExtractOptions expected;  // checked when message is empty
  const char* message;
};

ExtractOptions make(int32_t repeat, int32_t fade, int32_t pattern, int32_t first, int32_t last) {
  return ExtractOptions{repeat, fade, pattern, first, last};
}

TEST(ParseAndValidate, Table) {
  const char* kRepeat = "repeat must be 1-10\n";
  const char* kFade = "fade must be 0-30\n";
  const char* kPattern = "fade pattern must be 0-3\n";
  const char* kTrack = "track number must be 1-31\n";
  ExtractOptions defaults;
  OptionsCase cases[] = {
      {{}, defaults, ""},
      {{"T5"}, make(2, 0, 0, 5, 5), ""},
      {{"3", "F10", "p3"}, make(3, -10, 3, 0, 31), ""},
      {{"f-10"}, make(2, -10, 0, 0, 31), ""},
      {{"F-10"}, make(2, 10, 0, 0, 31), ""},
      {{"F"}, make(2, 0, 0, 0, 31), ""},
      {{"3x"}, make(3, 0, 0, 0, 31), ""},
      {{"f5", "f10"}, make(2, 10, 0, 0, 31), ""},
      {{"t7", "T9"}, make(2, 0, 0, 9, 9), ""},
      {{"P2", "t31", "10", "f30"}, make(10, 30, 2, 31, 31), ""},
      {{"F30", "1", "T1"}, make(1, -30, 0, 1, 1), ""},
      {{" 4"}, make(4, 0, 0, 0, 31), ""},
      {{"x"}, {}, kRepeat},
      {{""}, {}, kRepeat},
      {{"-f5"}, {}, kRepeat},
      {{"R3"}, {}, kRepeat},
      {{"11"}, {}, kRepeat},
      {{"4294967298"}, {}, kRepeat},
      {{"0", "f40", "p9"}, {}, kRepeat},
      {{"f31"}, {}, kFade},
      {{"F31"}, {}, kFade},
      {{"F2147483648"}, {}, kFade},
      {{"F-2147483648"}, {}, kFade},
      {{"f-99999999999"}, {}, kFade},
      {{"f40", "p9"}, {}, kFade},
      {{"p-1"}, {}, kPattern},
      {{"P4", "T0"}, {}, kPattern},
      {{"T0"}, {}, kTrack},
      {{"T32"}, {}, kTrack},
      {{"t-1"}, {}, kTrack},
      {{"T9999999999"}, {}, kTrack},
  };
  for (const OptionsCase& c : cases) {
    std::string where;
    for (const char* a : c.args) where += std::string("'") + a + "' ";
    ExtractOptions o = parseOptions(static_cast<int>(c.args.size()), c.args.data());
    std::string message = validateOptions(o);
    EXPECT_EQ(message, c.message) << where;
    if (message.empty()) {
      EXPECT_EQ(o.repeat, c.expected.repeat) << where;
      EXPECT_EQ(o.fade, c.expected.fade) << where;
      EXPECT_EQ(o.fadePattern, c.expected.fadePattern) << where;
      EXPECT_EQ(o.firstTrack, c.expected.firstTrack) << where;
      EXPECT_EQ(o.lastTrack, c.expected.lastTrack) << where;
    }
  }
}

TEST(Banner, ShowsTheSelectionAndSettings) {
  EXPECT_EQ(bannerText(ExtractOptions{}),
            "track=1-31 , repeat=2 , fade=0 , fade pattern=0\n");
  EXPECT_EQ(bannerText(make(2, 0, 0, 5, 5)),
            "track=5-5 , repeat=2 , fade=0 , fade pattern=0\n");
  EXPECT_EQ(bannerText(make(3, -10, 3, 0, 31)),
            "track=1-31 , repeat=3 , fade=-10 , fade pattern=3\n");
  EXPECT_EQ(firstIndex(make(2, 0, 0, 0, 31)), 0);
  EXPECT_EQ(firstIndex(make(2, 0, 0, 9, 9)), 8);
}

// Which arguments name the data, the output folder or an option, in a
// folder that holds files named like arguments.
TEST(CommandLine, Classification) {
  ScratchFolder folder;
  for (const char* name : {"3", "t5", "f10", "music.dat", "x"}) writeBytes(name, {0});
  std::filesystem::create_directory("game");
  struct Case {
    std::vector<const char*> args;
    const char* dataPath;
    const char* outputFolder;
    int32_t repeat;
    const char* message;  // of checkCommandLine
  } cases[] = {
      {{"3", "t5", "f10"}, "", "", 3, ""},         // settings, though files
      {{"music.dat", "4"}, "music.dat", "", 4, ""},
      {{"game"}, "game", "", 2, ""},
      {{"x"}, "x", "", 2, ""},                     // a file, not a setting
      {{"y"}, "", "", 0, "repeat must be 1-10\n"}, // neither
      {{"a/b", "3"}, "a/b", "", 3, ""},             // a separator: data
      {{"-o", "out", "5"}, "", "out", 5, ""},
      {{"--output", "o/p"}, "", "o/p", 2, ""},
      {{"--output=o", "t3"}, "", "o", 2, ""},
      {{"-o"}, "", "", 2, "-o needs a folder\n"},
      {{"--output="}, "", "", 2, "--output needs a folder\n"},
      {{"game", "music.dat"}, "music.dat", "", 2,
       "only one data file or folder may be given: game, music.dat\n"},
      {{"--split", "t3"}, "", "", 2, ""},
      {{"--split", "p0"}, "", "", 2,
       "--split writes the intro and the loop once each: no repeat, fade or fade curve\n"},
      {{"--loop-points", "--list", "F5"}, "", "", 2, ""},
  };
  for (const Case& c : cases) {
    std::string where;
    for (const char* a : c.args) where += std::string("'") + a + "' ";
    CommandLine line = parseCommandLine(static_cast<int>(c.args.size()), c.args.data());
    EXPECT_EQ(checkCommandLine(line), c.message) << where;
    EXPECT_EQ(line.dataPath, c.dataPath) << where;
    EXPECT_EQ(line.outputFolder, c.outputFolder) << where;
    EXPECT_EQ(line.options.repeat, c.repeat) << where;
  }
  CommandLine line = parseCommandLine(3, std::vector<const char*>{"--loop-points", "--list", "F5"}.data());
  EXPECT_TRUE(line.loopPoints && line.list && !line.split);
  EXPECT_EQ(renderSettings(line).fade, -5);
  EXPECT_TRUE(renderSettings(line).loopPoints);
}

TEST(Listing, DurationsAndWidths) {
  EXPECT_EQ(formatDuration(0, 44100), "0:00.000");
  EXPECT_EQ(formatDuration(963424, 44100), "0:21.846");
  EXPECT_EQ(formatDuration(44100 * 61 + 22, 44100), "1:01.000");  // rounds down
  EXPECT_EQ(formatDuration(44100 * 61 + 23, 44100), "1:01.001");  // and up
  EXPECT_EQ(formatDuration(22050 * 600, 22050), "10:00.000");
  EXPECT_EQ(displayWidth("01 .wav"), 7);
  EXPECT_EQ(displayWidth("序章"), 4);
  EXPECT_EQ(displayWidth("（ハーフレート）"), 16);
  EXPECT_EQ(displayWidth("é"), 1);
}

}  // namespace
