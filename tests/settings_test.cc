// The settings table: the parser, the checks and --help all follow it.
#include "app/app.h"
#include "flac/flac.h"
#include "ogg/ogg.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdio>
#include <string>
#include <vector>

#include "test_util.h"

namespace {

// The part of --help between the line that introduces the settings and the
// options.
std::string settingsPart(const std::string& help) {
  size_t from = help.find("no dash:\n");
  size_t to = help.find("\nOptions:\n");
  if (from == std::string::npos || to == std::string::npos) return "";
  from += std::string("no dash:\n").size();
  return help.substr(from, to - from);
}

TEST(Settings, HelpLaysOutTheTable) {
  // Forms in a column of their own, the range and default written in, and
  // a second line of help under the first.
  EXPECT_EQ(settingsPart(usageText()),
            "  N       repeat: passes through each track, 1-10 (default 2)\n"
            "  fN      fade out the last N seconds of the last pass, 0-30 (default 0: no fade)\n"
            "  FN      play on N seconds past the last pass and fade those out, 0-30\n"
            "  pN, PN  fade curve, 0-3 (default 0): 0 exponential, 1 linear,\n"
            "          2 a blend of both, 3 raised cosine\n"
            "  tN, TN  only track N, 1-31 (default: all tracks)\n");
}

TEST(Settings, HelpGivesTheCodecsDefaultsAndRanges) {
  std::string help = usageText();
  char quality[32];
  std::snprintf(quality, sizeof quality, "%g", double{kOggDefaultQuality});
  for (const std::string& text :
       {"0 (fastest) to " + std::to_string(kFlacMaxCompression) + " (smallest), default " +
            std::to_string(kFlacDefaultCompression) + "\n",
        std::to_string(static_cast<int>(kOggMinQuality)) + " (smallest) to " +
            std::to_string(static_cast<int>(kOggMaxQuality)) + " (best)",
        std::string("allowed, default ") + quality + "\n"}) {
    EXPECT_NE(help.find(text), std::string::npos) << text;
  }
}

// Every form of every row, at the ends of its range and one past it: the
// parser reaches what the row sets, validateOptions takes the range and
// refuses with the row's message, and --split refuses the rows that play.
TEST(Settings, EveryRowReadsItsRange) {
  prepareCatalog();  // checkCommandLine plans the files
  ScratchFolder folder;  // no file here is named like a setting
  // The forms --help shows in its first column.
  std::vector<std::string> forms;
  std::string help = settingsPart(usageText());
  for (size_t from = 0; from < help.size(); from = help.find('\n', from) + 1) {
    std::string column = help.substr(from + 2, 8);
    for (size_t at = 0; at < column.size() && column[at] != ' ';) {
      size_t end = std::min(column.find_first_of(", ", at), column.size());
      forms.push_back(column.substr(at, end - at));
      at = column.find_first_not_of(", ", end);
    }
  }
  for (size_t i = 0; i < kSettingCount; ++i) {
    const SettingRow& row = kSettingTable[i];
    std::string range = std::to_string(row.min) + "-" + std::to_string(row.max);
    EXPECT_EQ(settingRefusal(row), std::string(row.name) + " must be " + range + "\n");
    std::vector<std::string> letters;
    for (const char* c = row.letters; *c != '\0'; ++c) letters.emplace_back(1, *c);
    if (letters.empty()) letters.emplace_back("");
    for (const std::string& letter : letters) {
      std::string form = letter + "N";
      EXPECT_NE(std::find(forms.begin(), forms.end(), form), forms.end()) << form;
      for (int32_t n : {row.min, row.max, row.max + 1}) {
        std::string arg = letter + std::to_string(n);
        const char* args[] = {arg.c_str()};
        SCOPED_TRACE(arg);
        EXPECT_EQ(&settingRow(arg[0]), &row);
        ExtractOptions options = parseOptions(1, args);
        EXPECT_EQ(options.*row.sets, row.sign * n);
        if (row.alsoSets != nullptr) {
          EXPECT_EQ(options.*row.alsoSets, row.sign * n);
        }
        bool inRange = n >= row.min && n <= row.max;
        EXPECT_EQ(validateOptions(options), inRange ? "" : settingRefusal(row));
        if (!inRange) continue;
        const char* split[] = {"--split", arg.c_str()};
        CommandLine line = parseCommandLine(2, split);
        EXPECT_EQ(line.playSettings, row.plays);
        EXPECT_EQ(checkCommandLine(line).empty(), !row.plays);
      }
    }
  }
}

}  // namespace
