#include "app/app.h"
#include "utf8/utf8.h"

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
    std::string where = quoted(c.args);
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
// folder that holds files and folders named like arguments.
TEST(CommandLine, Classification) {
  prepareCatalog();  // the check of the files' tags plans them
  ScratchFolder folder;
  for (const char* name : {"3", "t5", "f10", "11", "music.dat", "x", "files", "5.dat", "t5.bak",
                           "Field music", "-x.dat"}) {
    writeBytes(name, {0});
  }
  std::filesystem::create_directory("game");
  std::filesystem::create_directory("psx");
  const char* kRepeat = "repeat must be 1-10\n";
  struct Case {
    std::vector<const char*> args;
    const char* message;  // of checkCommandLine
    const char* dataPath;
    const char* outputFolder;
    int32_t repeat;       // these three are checked when the line is accepted
    int32_t track;        // lastTrack
  } cases[] = {
      // Settings, the lenient reading of names that are not there, and
      // strictly written settings that are also file names.
      {{"3", "t5", "f10"}, "", "", "", 3, 5},
      {{"3x", "p", "F"}, "", "", "", 3, 31},
      {{"f-10", " 3", "T+7"}, "", "", "", 3, 7},
      {{"3F", "t5x"}, "", "", "", 3, 5},  // a letter with no number after it is lenient
      {{"t"}, "track number must be 1-31\n", "", "", 0, 0},
      {{"-3", "4"}, "", "", "", 4, 31},             // a negative number, overridden
      {{"-3"}, kRepeat, "", "", 0, 0},
      // An existing file or folder that is not strictly a valid setting.
      {{"music.dat", "4"}, "", "music.dat", "", 4, 31},
      {{"game"}, "", "game", "", 2, 31},
      {{"x"}, "", "x", "", 2, 31},
      {{"t1", "1", "psx", "-o", "out"}, "", "psx", "out", 1, 1},
      {{"files"}, "", "files", "", 2, 31},
      {{"5.dat", "t2"}, "", "5.dat", "", 2, 2},
      {{"t5.bak"}, "", "t5.bak", "", 2, 31},
      {{"Field music"}, "", "Field music", "", 2, 31},
      {{"11"}, "", "11", "", 2, 31},                 // not a valid setting
      {{"a/b", "3"}, "", "a/b", "", 3, 31},          // a separator: data
      {{"-x.dat"}, "", "-x.dat", "", 2, 31},
      // A word that names nothing: a missing data file if it has a dot,
      // else refused whatever follows.
      {{"renamed.bni"}, "", "renamed.bni", "", 2, 31},
      {{"t1", "renamed.bni", "1"}, "", "renamed.bni", "", 1, 1},
      {{"kvbgm", "3"}, kRepeat, "", "", 0, 0},
      {{"R3", "1"}, kRepeat, "", "", 0, 0},
      {{"", "3"}, kRepeat, "", "", 0, 0},
      {{"-", "3"}, kRepeat, "", "", 0, 0},
      {{"f40", "y", "3"}, kRepeat, "", "", 0, 0},
      // Options and their values.
      {{"-o", "out", "5"}, "", "", "out", 5, 31},
      {{"--output", "o/p"}, "", "", "o/p", 2, 31},
      {{"--output=o", "t3"}, "", "", "o", 2, 3},
      {{"-o", "./--list"}, "", "", "./--list", 2, 31},
      {{"--output=--list"}, "", "", "--list", 2, 31},
      {{"-o", "--list", "t31"},
       "-o needs a folder, not the option --list: a folder of that name is -o ./--list or "
       "--output=--list\n", "", "", 0, 0},
      {{"--output", "-x"},
       "--output needs a folder, not the option -x: a folder of that name is -o ./-x or "
       "--output=-x\n", "", "", 0, 0},
      {{"-o", "-3"}, "", "", "-3", 2, 31},  // a dash and a digit is a name
      // A setting letter and a letter, or two settings in one argument: a
      // typing mistake, never a run.
      {{"flac"}, "flac is not a setting: did you mean --format=flac?\n", "", "", 0, 0},
      {{"t1", "format=flac"}, "format=flac is not a setting: did you mean --format=flac?\n", "",
       "", 0, 0},
      {{"split"}, "split is not a setting: did you mean --split?\n", "", "", 0, 0},
      {{"tag=A=b"}, "tag=A=b is not a setting: did you mean --tag=A=b?\n", "", "", 0, 0},
      {{"fast"}, "fast is not a setting (a setting is a letter and a number, as f10)\n", "", "",
       0, 0},
      {{"fade=10"}, "fade=10 is not a setting (a setting is a letter and a number, as f10)\n",
       "", "", 0, 0},
      {{"pq"}, "pq is not a setting (a setting is a letter and a number, as f10)\n", "", "", 0,
       0},
      {{"3F10"}, "3F10 holds more than one setting: write them apart, as 3 F10\n", "", "", 0, 0},
      {{"t5f10"}, "t5f10 holds more than one setting: write them apart, as t5 f10\n", "", "", 0,
       0},
      {{"f10p1t3"}, "f10p1t3 holds more than one setting: write them apart, as f10 p1 t3\n", "",
       "", 0, 0},
      {{"3f-2"}, "3f-2 holds more than one setting: write them apart, as 3 f-2\n", "", "", 0, 0},
      // A name with an extension that names nothing is a missing data file,
      // whatever it starts with.
      {{"t1", "fan_remix.dat"}, "", "fan_remix.dat", "", 2, 1},
      {{"t2", "3rd_disc.dat"}, "", "3rd_disc.dat", "", 2, 2},
      {{"t1", "psx_bgm.dat"}, "", "psx_bgm.dat", "", 2, 1},
      {{"3.5"}, "", "", "", 3, 31},  // no letter after the dot: a number
      {{"-o"}, "-o needs a folder\n", "", "", 0, 0},
      {{"--output="}, "--output needs a folder\n", "", "", 0, 0},
      {{"game", "music.dat"}, "only one data file or folder may be given: game, music.dat\n",
       "", "", 0, 0},
      {{"--split", "t3"}, "", "", "", 2, 3},
      {{"--split", "p0"},
       "--split writes the intro and the loop once each: no repeat, fade or fade curve\n", "",
       "", 0, 0},
      {{"--loop-points", "--list", "F5"}, "", "", "", 2, 31},
      {{"--list", "game"}, "", "game", "", 2, 31},
      {{"--list", "-o", "out"}, "--list writes no files: no -o or --output\n", "", "", 0, 0},
      {{"--output=out", "--list"}, "--list writes no files: no -o or --output\n", "", "", 0, 0},
      // Unknown options, whatever follows them.
      {{"--lsit", "3", "F10"}, "unknown option --lsit\n", "", "", 0, 0},
      {{"--loop-point", "1"}, "unknown option --loop-point\n", "", "", 0, 0},
      {{"--verbose", "t11", "1"}, "unknown option --verbose\n", "", "", 0, 0},
      {{"-f5", "3"}, "unknown option -f5 (settings take no dash: f5)\n", "", "", 0, 0},
      {{"--F-3"}, "unknown option --F-3 (settings take no dash: F-3)\n", "", "", 0, 0},
      {{"--5"}, "unknown option --5 (settings take no dash: 5)\n", "", "", 0, 0},
      {{"-t"}, "unknown option -t\n", "", "", 0, 0},
      {{"-o5"}, "unknown option -o5\n", "", "", 0, 0},
      {{"--list=3"}, "unknown option --list=3\n", "", "", 0, 0},
      {{"-y.dat"}, "unknown option -y.dat\n", "", "", 0, 0},
      {{"---"}, "unknown option ---\n", "", "", 0, 0},
      {{"3", "--lsit", "x"}, "unknown option --lsit\n", "", "", 0, 0},  // the first refusal
      // "--" ends the options.
      {{"--", "t11", "1"}, "", "", "", 1, 11},
      {{"--", "-y.dat"}, "", "-y.dat", "", 2, 31},
      {{"--", "--list"}, kRepeat, "", "", 0, 0},
      {{"--", "-f5", "3"}, kRepeat, "", "", 0, 0},
      {{"--", "--"}, kRepeat, "", "", 0, 0},
      {{"-o", "out", "--", "-o"}, kRepeat, "", "", 0, 0},
      // Names in messages stay on one line.
      {{"--ls\nt"}, "unknown option --ls\\nt\n", "", "", 0, 0},
      {{"-\x1b[2J"}, "unknown option -\\x1b[2J\n", "", "", 0, 0},
      {{"game", "a\xff\n.dat"}, "only one data file or folder may be given: game, a\\xff\\n.dat\n",
       "", "", 0, 0},
  };
  for (const Case& c : cases) {
    std::string where = quoted(c.args);
    CommandLine line = parseCommandLine(static_cast<int>(c.args.size()), c.args.data());
    EXPECT_EQ(checkCommandLine(line), c.message) << where;
    if (*c.message != '\0') continue;
    EXPECT_EQ(line.dataPath, c.dataPath) << where;
    EXPECT_EQ(line.outputFolder, c.outputFolder) << where;
    EXPECT_EQ(line.options.repeat, c.repeat) << where;
    EXPECT_EQ(line.options.lastTrack, c.track) << where;
  }
  CommandLine line = parseCommandLine(3, std::vector<const char*>{"--loop-points", "--list", "F5"}.data());
  EXPECT_TRUE(line.loopPoints && line.list && !line.split);
  EXPECT_EQ(renderSettings(line).fade, -5);
  EXPECT_TRUE(renderSettings(line).loopPoints);
  line = parseCommandLine(2, std::vector<const char*>{"--lsit", "--help"}.data());
  EXPECT_TRUE(line.help);  // help is given whatever else the line holds
}

// The output format and what only FLAC files take: a compression level and
// tags, each checked as it is read and refused without --format=flac.
TEST(CommandLine, FormatOptions) {
  prepareCatalog();
  struct Case {
    std::vector<const char*> args;
    const char* message;
    OutputFormat format;   // these three are checked when the line is accepted
    int compression;
    size_t tags;
  } cases[] = {
      {{}, "", OutputFormat::Wav, -1, 0},
      {{"--format=wav"}, "", OutputFormat::Wav, -1, 0},
      {{"--format", "flac", "3"}, "", OutputFormat::Flac, -1, 0},
      {{"--format=flac", "--format=wav"}, "", OutputFormat::Wav, -1, 0},  // the later one
      {{"--format=flac", "--compression=0", "--compression", "8"}, "", OutputFormat::Flac, 8, 0},
      {{"--tag", "A=b", "--tag=title=", "--format=flac", "--tag=C=d=e"}, "", OutputFormat::Flac,
       -1, 3},
      {{"--format=FLAC"}, "", OutputFormat::Flac, -1, 0},  // format names are case-blind
      {{"--format", "Ogg", "--tag=A=b"}, "", OutputFormat::Ogg, -1, 1},
      {{"--format=mp3"}, "--format must be wav, flac or ogg\n", OutputFormat::Wav, 0, 0},
      {{"--format"}, "--format needs wav, flac or ogg\n", OutputFormat::Wav, 0, 0},
      {{"--format=ogg", "--compression=5"}, "--compression needs --format=flac\n",
       OutputFormat::Wav, 0, 0},
      {{"--quality=5"}, "--quality needs --format=ogg\n", OutputFormat::Wav, 0, 0},
      {{"--format=flac", "--quality", "5"}, "--quality needs --format=ogg\n", OutputFormat::Wav,
       0, 0},
      {{"--format=flac", "--compression=9"}, "--compression must be 0-8\n", OutputFormat::Wav, 0, 0},
      {{"--format=flac", "--compression=x"}, "--compression must be 0-8\n", OutputFormat::Wav, 0, 0},
      {{"--format=flac", "--compression="}, "--compression needs a level\n", OutputFormat::Wav, 0, 0},
      {{"--compression=5", "t3"}, "--compression needs --format=flac\n", OutputFormat::Wav, 0, 0},
      {{"--tag", "A=b"}, "--tag needs --format=flac or --format=ogg\n", OutputFormat::Wav, 0, 0},
      {{"--format=flac", "--tag", "A"}, "--tag needs NAME=VALUE: A\n", OutputFormat::Wav, 0, 0},
      {{"--format=flac", "--tag", "A\n=b"},
       "--tag A\\n: a NAME is printable ASCII other than \"=\" and \"~\"\n", OutputFormat::Wav, 0,
       0},
      {{"--format=ogg", "--tag", "A~B=x"},
       "--tag A~B: a NAME is printable ASCII other than \"=\" and \"~\"\n", OutputFormat::Wav, 0,
       0},
      {{"--format=flac", "--tag=T=\xc3("}, "--tag T: the value is not UTF-8\n",
       OutputFormat::Wav, 0, 0},
      {{"--format=flac", "--tag"}, "--tag needs NAME=VALUE\n", OutputFormat::Wav, 0, 0},
      // Every name a loop reader takes for loop metadata, in any case.
      {{"--format=flac", "--tag=loop_end=100000"},
       "--tag loop_end: loop tags come from --loop-points\n", OutputFormat::Wav, 0, 0},
      {{"--format=ogg", "--tag", "Loop=4410"}, "--tag Loop: loop tags come from --loop-points\n",
       OutputFormat::Wav, 0, 0},
      {{"--format=ogg", "--tag", "LOOP-START=1"},
       "--tag LOOP-START: loop tags come from --loop-points\n", OutputFormat::Wav, 0, 0},
      {{"--format=ogg", "--tag", "LOOPER=1", "--tag", "LOOP_=1"}, "", OutputFormat::Ogg, -1, 2},
  };
  for (const Case& c : cases) {
    std::string where = quoted(c.args);
    CommandLine line = parseCommandLine(static_cast<int>(c.args.size()), c.args.data());
    EXPECT_EQ(checkCommandLine(line), c.message) << where;
    if (*c.message != '\0') continue;
    EXPECT_EQ(line.format, c.format) << where;
    EXPECT_EQ(line.compression, c.compression) << where;
    EXPECT_EQ(line.tags.size(), c.tags) << where;
  }
}

// Ogg quality as oggenc takes it: -1 to 10, decimals allowed.
TEST(CommandLine, OggQuality) {
  prepareCatalog();
  struct Case {
    const char* value;
    bool accepted;
    float quality;
  } cases[] = {
      {"5", true, 5.0f},      {"-1", true, -1.0f}, {"10", true, 10.0f}, {"4.25", true, 4.25f},
      {"0.5", true, 0.5f},    {".5", true, 0.5f},  {"7.", true, 7.0f},  {"10.0", true, 10.0f},
      {"10.01", false, 0},    {"-1.5", false, 0},  {"11", false, 0},    {"x", false, 0},
      {"5x", false, 0},       {".", false, 0},     {"-", false, 0},     {"+5", false, 0},
      {" 5", false, 0},       {"1e1", false, 0},   {"nan", false, 0},
      // Any number of digits, the range judged on the digits themselves.
      {"9.99999999999", true, 10.0f},         {"10.000000000001", false, 0},
      {"-0.999999999999999999", true, -1.0f}, {"-1.0000000000000000001", false, 0},
      {"00010.000000000000000", true, 10.0f}, {"99999999999999999999", false, 0},
  };
  for (const Case& c : cases) {
    std::string arg = std::string("--quality=") + c.value;
    std::vector<const char*> args = {"--format=ogg", arg.c_str()};
    CommandLine line = parseCommandLine(2, args.data());
    std::string message = checkCommandLine(line);
    EXPECT_EQ(message.empty(), c.accepted) << c.value << ": " << message;
    if (c.accepted) {
      EXPECT_EQ(line.quality, c.quality) << c.value;
    } else {
      EXPECT_EQ(message, "--quality must be -1 to 10: " + std::string(c.value) + "\n");
    }
  }
  CommandLine line = parseCommandLine(1, std::vector<const char*>{"--format=ogg"}.data());
  EXPECT_FALSE(line.hasQuality);
  EXPECT_EQ(line.quality, 5.0f);
}

TEST(CommandLine, StrictSettings) {
  for (const char* arg : {"3", "+3", "-3", "t5", "f10", "F-3", "p+0", "T31", "007",
                          "99999999999"}) {
    EXPECT_TRUE(isStrictSetting(arg)) << arg;
  }
  for (const char* arg : {"", "t", "F", "-", "3x", " 3", "t5.bak", "psx", "x3", "f-", "--3",
                          "t+-1", "5.dat"}) {
    EXPECT_FALSE(isStrictSetting(arg)) << arg;
  }
}

TEST(Messages, NamesArePrintable) {
  struct Case {
    std::string name;
    const char* shown;
  } cases[] = {
      {"kvbgm.dat", "kvbgm.dat"},
      {"01 序章.wav", "01 序章.wav"},
      {"C:\\game\\kvbgm.dat", "C:\\game\\kvbgm.dat"},  // a backslash stays one
      {"a\nb\tc\rd", "a\\nb\\tc\\rd"},
      {"\x1b[31mred", "\\x1b[31mred"},
      {std::string("nul\0byte", 8), "nul\\x00byte"},
      {"del\x7f", "del\\x7f"},
      {"\xff\xfe.dat", "\\xff\\xfe.dat"},
      {"\xc2\x85next line", "\\xc2\\x85next line"},   // U+0085, a C1 control
      {"\xc2\xa0\xc3\xa9", "\xc2\xa0\xc3\xa9"},        // U+00A0, é
      {"\xc3", "\\xc3"},                               // cut short
      {"\xc3(", "\\xc3("},
      {"\xc0\xaf", "\\xc0\\xaf"},                      // overlong '/'
      {"\xe0\x80\xaf", "\\xe0\\x80\\xaf"},
      {"\xed\xa0\x80", "\\xed\\xa0\\x80"},             // a UTF-16 surrogate
      {"\xf0\x9f\x8e\xb5", "\xf0\x9f\x8e\xb5"},        // U+1F3B5
      {"\xf4\x90\x80\x80", "\\xf4\\x90\\x80\\x80"},    // past U+10FFFF
  };
  for (const Case& c : cases) EXPECT_EQ(printable(c.name), c.shown) << c.shown;
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

// --length's grammar: SS, MM:SS or H:MM:SS, a fraction of up to 9 digits on
// the last field, from 1 second to 10 hours; shown back in its own form.
TEST(Length, ReadAndShown) {
  struct Case {
    const char* text;
    int64_t nanoseconds;  // -1: refused
    const char* shown;
  } cases[] = {
      {"90", 90000000000, "1:30"},
      {"3:00", 180000000000, "3:00"},
      {"1:00:00", 3600000000000, "1:00:00"},
      {"59:59.5", 3599500000000, "59:59.5"},
      {"1", 1000000000, "0:01"},
      {"1.000000001", 1000000001, "0:01.000000001"},
      {"0:01.250", 1250000000, "0:01.25"},
      {"10:00:00", 36000000000000, "10:00:00"},
      {"600:00", 36000000000000, "10:00:00"},
      {"36000", 36000000000000, "10:00:00"},
      {"0001:02:03", 3723000000000, "1:02:03"},
      {"0.999999999", -1, ""},      {"0", -1, ""},          {"10:00:00.000000001", -1, ""},
      {"36001", -1, ""},            {"99999999999999999999", -1, ""},
      {"1:60", -1, ""},             {"1:5", -1, ""},        {"1:005", -1, ""},
      {"1:00:00:00", -1, ""},       {"1.5:00", -1, ""},     {"90.", -1, ""},
      {".5", -1, ""},               {"1.0000000001", -1, ""}, {"", -1, ""},
      {":30", -1, ""},              {"1::00", -1, ""},      {"-90", -1, ""},
      {"+90", -1, ""},              {" 90", -1, ""},        {"90s", -1, ""},
      {"1h", -1, ""},               {"1:00 ", -1, ""},
  };
  for (const Case& c : cases) {
    int64_t value = -1;
    EXPECT_EQ(readLength(c.text, &value), c.nanoseconds >= 0) << '"' << c.text << '"';
    EXPECT_EQ(value, c.nanoseconds) << '"' << c.text << '"';
    if (c.nanoseconds >= 0) {
      EXPECT_EQ(lengthText(c.nanoseconds), c.shown) << c.text;
    }
  }
}

// What --length goes with and what it refuses (before anything is read),
// and the settings line it gives.
TEST(Length, CommandLines) {
  prepareCatalog();
  const char* kRepeatToo =
      "--length sets how long each file plays, in place of a repeat count: give one or the "
      "other\n";
  struct Case {
    std::vector<const char*> args;
    const char* message;  // of checkCommandLine
    const char* banner;   // when accepted
  } cases[] = {
      {{"--length=1:00:00", "f10"}, "", "track=1-31 , length=1:00:00 , fade=10 , fade pattern=0\n"},
      {{"--length", "90", "t5", "F8", "p3"}, "",
       "track=5-5 , length=1:30 , fade=-8 , fade pattern=3\n"},
      {{"--length=2:00", "--length=20.5", "f20"}, "",
       "track=1-31 , length=0:20.5 , fade=20 , fade pattern=0\n"},
      {{"--length=1:00:00", "3"}, kRepeatToo, ""},
      {{"2", "--length=1:00:00"}, kRepeatToo, ""},
      {{"--length=20", "--split"}, "--split writes the intro and the loop once each: no --length\n",
       ""},
      {{"--length=20", "f21"}, "a fade of the last 21 seconds does not fit in --length=0:20\n", ""},
      {{"--length=20.9", "F-21"},
       "a fade of the last 21 seconds does not fit in --length=0:20.9\n", ""},
      {{"--length=5"}, "", "track=1-31 , length=0:05 , fade=0 , fade pattern=0\n"},
      {{"--length=5", "F30"}, "", "track=1-31 , length=0:05 , fade=-30 , fade pattern=0\n"},
      {{"--length=1:99"},
       "--length must be 1 second to 10 hours, as SS, MM:SS or H:MM:SS (90, 3:00, 1:00:00, "
       "59:59.5): 1:99\n", ""},
      {{"--length"}, "--length needs a length\n", ""},
      {{"--length=0", "0"},
       "--length must be 1 second to 10 hours, as SS, MM:SS or H:MM:SS (90, 3:00, 1:00:00, "
       "59:59.5): 0\n", ""},
      // A WAV file holds a little under 4 GiB: the last frame that fits,
      // and the one after it, plain and with the "smpl" chunk.
      {{"--length=6:45:47.886938776", "t1"}, "",
       "track=1-1 , length=6:45:47.886938776 , fade=0 , fade pattern=0\n"},
      {{"--length=6:45:47.886961451", "t1"},
       "01 序章.wav would be 4,294,967,304 bytes, past the 4 GiB a WAV file can hold "
       "(4,294,967,303 bytes): write FLAC files with --format=flac, or ask a shorter --length\n",
       ""},
      {{"--length=6:45:47.886553288", "t1", "--loop-points"}, "",
       "track=1-1 , length=6:45:47.886553288 , fade=0 , fade pattern=0\n"},
      {{"--length=6:45:47.886575964", "t1", "--loop-points"},
       "01 序章.wav would be 4,294,967,304 bytes, past the 4 GiB a WAV file can hold "
       "(4,294,967,303 bytes): write FLAC files with --format=flac, or ask a shorter --length\n",
       ""},
      {{"--length=6:45:47", "t1", "F1"},
       "01 序章.wav would be 4,294,987,244 bytes, past the 4 GiB a WAV file can hold "
       "(4,294,967,303 bytes): write FLAC files with --format=flac, or ask a shorter --length\n",
       ""},
      {{"--length=10:00:00", "t3"}, "", "track=3-3 , length=10:00:00 , fade=0 , fade pattern=0\n"},
      {{"--length=10:00:00", "--format=flac"}, "",
       "track=1-31 , length=10:00:00 , fade=0 , fade pattern=0\n"},
      {{"--length=10:00:00", "--list"},
       "01 序章.wav would be 6,350,400,044 bytes, past the 4 GiB a WAV file can hold "
       "(4,294,967,303 bytes): write FLAC files with --format=flac, or ask a shorter --length\n",
       ""},
  };
  for (const Case& c : cases) {
    std::string where = quoted(c.args);
    CommandLine line = parseCommandLine(static_cast<int>(c.args.size()), c.args.data());
    EXPECT_EQ(checkCommandLine(line), c.message) << where;
    if (*c.message != '\0') continue;
    EXPECT_EQ(lengthBannerText(line), c.banner) << where;
    EXPECT_EQ(renderSettings(line).length, line.length) << where;
  }
  // Without --length nothing of it is asked: the 10 passes of the longest
  // track still fit, and the banner is the repeat count's.
  CommandLine line = parseCommandLine(2, std::vector<const char*>{"10", "F30"}.data());
  EXPECT_EQ(line.length, 0);
  EXPECT_EQ(checkCommandLine(line), "");
  EXPECT_EQ(renderSettings(line).length, 0);
}

// The free space a run needs: every file whole at once when nothing is
// replaced; a replaced file's space comes back only after its successor is
// complete; sizes in whole blocks.
TEST(Length, SpaceNeeded) {
  struct Case {
    std::vector<int64_t> sizes, freed;
    int64_t block, needed;
  } cases[] = {
      {{}, {}, 4096, 0},
      {{100, 200}, {0, 0}, 1, 300},
      {{100, 200}, {100, 200}, 1, 200},   // the second file while the first is replaced
      {{300, 100}, {300, 100}, 1, 300},
      {{100, 200}, {150, 0}, 1, 150},
      {{1, 4097}, {0, 0}, 4096, 12288},
      {{5000}, {5000}, 4096, 8192},       // a rerun needs its file's room twice
      {{100, 100, 100}, {0, 100, 100}, 1, 200},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(spaceNeeded(c.sizes, c.freed, c.block), c.needed)
        << testing::PrintToString(c.sizes) << testing::PrintToString(c.freed);
  }
}

// The files of a --split run are numbered in playing order across the 62
// of the album, whichever tracks the run writes; whole tracks by their
// number of 31.
TEST(AlbumPlace, SplitFilesCountIntrosAndLoops) {
  struct Case {
    int trackNumber, part, number, total;
  } cases[] = {
      {1, 0, 1, 31}, {5, 0, 5, 31}, {31, 0, 31, 31},
      {1, 1, 1, 62}, {1, 2, 2, 62}, {5, 1, 9, 62}, {5, 2, 10, 62}, {31, 2, 62, 62},
  };
  for (const Case& c : cases) {
    OutputPlan out;
    out.trackNumber = c.trackNumber;
    out.part = c.part;
    AlbumPlace place = albumPlace(out);
    EXPECT_EQ(place.number, c.number) << c.trackNumber << "/" << c.part;
    EXPECT_EQ(place.total, c.total) << c.trackNumber << "/" << c.part;
  }
}
