// The tables of settings and options, which the parser reads and --help
// shows, and the text of --help around them.
#include <cstring>
#include <string>
#include <utility>

#include "app/app.h"

const SettingRow kSettingTable[] = {
    {"", &ExtractOptions::repeat, nullptr, 1, 1, 10, "repeat", true,
     "repeat: passes through each track, {range} (default {default})"},
    {"f", &ExtractOptions::fade, nullptr, 1, 0, 30, "fade", true,
     "fade out the last N seconds of the last pass, {range} (default {default}: no fade)"},
    {"F", &ExtractOptions::fade, nullptr, -1, 0, 30, "fade", true,
     "play on N seconds past the last pass and fade those out, {range}"},
    {"pP", &ExtractOptions::fadePattern, nullptr, 1, 0, 3, "fade pattern", true,
     "fade curve, {range} (default {default}): 0 exponential, 1 linear,\n"
     "2 a blend of both, 3 raised cosine"},
    {"tT", &ExtractOptions::firstTrack, &ExtractOptions::lastTrack, 1, 1, kTrackCount,
     "track number", false, "only track N, {range} (default: all tracks)"},
};
const size_t kSettingCount = sizeof kSettingTable / sizeof kSettingTable[0];

const SettingRow& settingRow(char c) {
  const SettingRow* bare = nullptr;
  for (const SettingRow& row : kSettingTable) {
    if (row.letters[0] == '\0') {
      bare = &row;
    } else if (c != '\0' && std::strchr(row.letters, c) != nullptr) {
      return row;
    }
  }
  return *bare;
}

std::string settingRefusal(const SettingRow& row) {
  return std::string(row.name) + " must be " + std::to_string(row.min) + "-" +
         std::to_string(row.max) + "\n";
}

namespace {

// True when `value` may stand in the setting `field`: its default, or what
// a row that sets it gives from a number in that row's range.
bool isValidValue(int32_t ExtractOptions::*field, int32_t value) {
  if (value == ExtractOptions{}.*field) return true;
  for (const SettingRow& row : kSettingTable) {
    if (row.sets != field && row.alsoSets != field) continue;
    int64_t number = int64_t{row.sign} * value;
    if (number >= row.min && number <= row.max) return true;
  }
  return false;
}

}  // namespace

std::string validateOptions(const ExtractOptions& options) {
  for (const SettingRow& row : kSettingTable) {
    for (int32_t ExtractOptions::*field : {row.sets, row.alsoSets}) {
      if (field != nullptr && !isValidValue(field, options.*field)) return settingRefusal(row);
    }
  }
  return "";
}

const OptionRow kOptionTable[] = {
    {"--output", "-o", "a folder", Option::Output, "-o DIR, --output DIR, --output=DIR",
     "write the files into DIR, made if missing"},
    {"--list", nullptr, nullptr, Option::List, "--list",
     "list the files the settings give and how long each plays,\n"
     "instead of writing them; checks DATA if it is given"},
    {"--length", nullptr, "a length", Option::Length, "--length=T, --length T",
     "play each file for exactly T (SS, MM:SS or H:MM:SS, as 90,\n"
     "3:00, 1:00:00, 59:59.5; 1 second to 10 hours) in place of\n"
     "N passes: fN fades the last N seconds of T, FN plays on N\n"
     "seconds past it"},
    {"--loop-points", nullptr, nullptr, Option::LoopPoints, "--loop-points",
     "mark the last loop pass that no fade touches in each\n"
     "file, for players and samplers"},
    {"--split", nullptr, nullptr, Option::Split, "--split",
     "write each track as \"NN title (intro).wav\" and\n"
     "\"NN title (loop).wav\" instead (no N, f, F or p)"},
    {"--format", nullptr, "wav, flac or ogg", Option::Format,
     "--format=FORMAT, --format FORMAT",
     "wav (the default), flac, or ogg (Ogg Vorbis): \"NN title.flac\"\n"
     "and \"NN title.ogg\" files carry tags, the same audio"},
    {"--compression", nullptr, "a level", Option::Compression,
     "--compression=N, --compression N",
     "FLAC compression level, 0 (fastest) to 8 (smallest), default 5"},
    {"--quality", nullptr, "a quality", Option::Quality, "--quality=Q, --quality Q",
     "Ogg Vorbis quality, -1 (smallest) to 10 (best), decimals\n"
     "allowed, default 5"},
    {"--tag", nullptr, "NAME=VALUE", Option::Tag, "--tag NAME=VALUE, --tag=NAME=VALUE",
     "add or replace a tag in every FLAC or Ogg file; NAME= removes it\n"
     "(not LOOP or LOOPS, nor LOOP then START, END or LENGTH with\n"
     "_, - or nothing between, in any case: see --loop-points)"},
    {"--replaygain", nullptr, nullptr, Option::ReplayGain, "--replaygain",
     "measure every FLAC or Ogg file's loudness (EBU R128) and\n"
     "tag its ReplayGain 2.0 track and album gain and peak;\n"
     "reads the audio twice"},
    {"--", nullptr, nullptr, Option::EndOfOptions, "--",
     "the arguments after it are settings or DATA, not options"},
#ifdef _WIN32
    {"--help", "-h", nullptr, Option::Help, "-h, --help, /?, -V, --version", ""},
#else
    {"--help", "-h", nullptr, Option::Help, "-h, --help, -V, --version", ""},
#endif
    {"--version", "-V", nullptr, Option::Version, nullptr, ""},
};
const size_t kOptionCount = sizeof kOptionTable / sizeof kOptionTable[0];

namespace {

const char kUsageHead[] =
    "Usage: kvbgm2wav [option ...] [setting ...] [DATA]\n"
    "       kvbgm2wav --list [setting ...] [DATA]\n"
    "Writes every track of kvbgm.dat as a WAV (or FLAC or Ogg Vorbis) file.\n"
    "\n"
    "DATA is the data file (any name) or the folder that holds kvbgm.dat;\n"
    "without it, kvbgm.dat in the current folder. The files go beside it.\n"
    "\n"
    "Settings, each a letter and a number with no space and no dash:\n";

const char kUsageOptions[] =
    "\n"
    "Options:\n";

const char kUsageTail[] =
    "\n"
    "Examples:\n"
    "  kvbgm2wav 3 f10                  every track, 3 passes, the last 10 seconds faded\n"
    "  kvbgm2wav t5 F8 p3               track 05 only, 2 passes and 8 more seconds fading out\n"
#ifdef _WIN32
    "  kvbgm2wav C:\\Games\\kvbgm.dat -o D:\\Music --loop-points\n"
#else
    "  kvbgm2wav ~/game/kvbgm.dat -o music --loop-points\n"
#endif
    "  kvbgm2wav --list 3 F10           how long each file of '3 F10' plays\n"
    "  kvbgm2wav t1 --length=1:00:00 f10  track 01 for an hour, the last 10 s faded\n"
    "  kvbgm2wav --format=flac --loop-points --tag \"ALBUM=Game Music\"\n"
    "  kvbgm2wav --format=ogg --loop-points -o bgm\n"
    "\n"
    "Exit status:\n"
    "  0  every selected file was written (with --list: the list was printed)\n"
    "  1  the data file is missing, unusable or too short, the output folder\n"
    "     cannot be made, a file could not be written, or standard output\n"
    "     could not be written\n"
    "  2  the command line was refused; nothing was read or written\n";

constexpr size_t kSettingHelpColumn = 10;  // where a setting's help text starts
constexpr size_t kHelpColumn = 17;         // where an option's help text starts

// One entry of --help: its forms, then its help from `column` on, each line
// of it indented so. Short forms share the first line with the help, long
// ones stand alone; with no help, the forms alone.
std::string helpEntry(const std::string& forms, const std::string& help, size_t column) {
  std::string entry = "  " + forms;
  if (help.empty()) return entry + "\n";
  std::string indent(column, ' ');
  if (entry.size() + 2 <= column) {
    entry += std::string(column - entry.size(), ' ');
  } else {
    entry += "\n" + indent;
  }
  for (size_t from = 0;;) {
    size_t end = help.find('\n', from);
    entry += help.substr(from, end == std::string::npos ? std::string::npos : end - from) + "\n";
    if (end == std::string::npos) break;
    entry += indent;
    from = end + 1;
  }
  return entry;
}

// "pN, PN" for the letters "pP"; "N" for none.
std::string settingForms(const SettingRow& row) {
  if (row.letters[0] == '\0') return "N";
  std::string forms;
  for (const char* letter = row.letters; *letter != '\0'; ++letter) {
    if (!forms.empty()) forms += ", ";
    forms += std::string(1, *letter) + "N";
  }
  return forms;
}

// The row's help with its range and default written in.
std::string settingHelp(const SettingRow& row) {
  std::string help = row.help;
  const std::pair<const char*, std::string> fills[] = {
      {"{range}", std::to_string(row.min) + "-" + std::to_string(row.max)},
      {"{default}", std::to_string(ExtractOptions{}.*row.sets)},
  };
  for (const auto& [mark, value] : fills) {
    for (size_t at; (at = help.find(mark)) != std::string::npos;) {
      help.replace(at, std::string(mark).size(), value);
    }
  }
  return help;
}

}  // namespace

std::string usageText() {
  std::string text = kUsageHead;
  for (const SettingRow& row : kSettingTable) {
    text += helpEntry(settingForms(row), settingHelp(row), kSettingHelpColumn);
  }
  text += kUsageOptions;
  for (const OptionRow& row : kOptionTable) {
    if (row.usage != nullptr) text += helpEntry(row.usage, row.help, kHelpColumn);
  }
  return text + kUsageTail;
}
