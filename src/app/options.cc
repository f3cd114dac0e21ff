// The table of options, which the parser reads and --help shows, and the
// text of --help around it.
#include <string>

#include "app/app.h"

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
    "Settings, each a letter and a number with no space and no dash:\n"
    "  N       repeat: passes through each track, 1-10 (default 2)\n"
    "  fN      fade out the last N seconds of the last pass, 0-30 (default 0: no fade)\n"
    "  FN      play on N seconds past the last pass and fade those out, 0-30\n"
    "  pN, PN  fade curve, 0-3 (default 0): 0 exponential, 1 linear,\n"
    "          2 a blend of both, 3 raised cosine\n"
    "  tN, TN  only track N, 1-31 (default: all tracks)\n"
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

constexpr size_t kHelpColumn = 17;  // where an option's help text starts

}  // namespace

std::string usageText() {
  std::string text = kUsageHead;
  for (const OptionRow& row : kOptionTable) {
    if (row.usage == nullptr) continue;
    std::string forms = std::string("  ") + row.usage;
    std::string help = row.help;
    if (help.empty()) {
      text += forms + "\n";
      continue;
    }
    // Short forms share the first line with the help, long ones stand alone.
    std::string indent(kHelpColumn, ' ');
    if (forms.size() + 2 <= kHelpColumn) {
      text += forms + std::string(kHelpColumn - forms.size(), ' ');
    } else {
      text += forms + "\n" + indent;
    }
    for (size_t from = 0;;) {
      size_t end = help.find('\n', from);
      text += help.substr(from, end == std::string::npos ? std::string::npos : end - from) + "\n";
      if (end == std::string::npos) break;
      text += indent;
      from = end + 1;
    }
  }
  return text + kUsageTail;
}
