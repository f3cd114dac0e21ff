#include "app/app.h"

#include <algorithm>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>
#include <new>
#include <vector>

#include "platform/platform.h"

#ifndef KVBGM2WAV_VERSION
#define KVBGM2WAV_VERSION "dev"
#endif

namespace {

constexpr int64_t kInt32Max = std::numeric_limits<int32_t>::max();
constexpr int64_t kInt32Min = std::numeric_limits<int32_t>::min();

int32_t saturate(int64_t value) {
  return static_cast<int32_t>(std::clamp(value, kInt32Min, kInt32Max));
}

bool isBlank(char c) {
  return c == ' ' || c == '\t' || c == '\n' || c == '\v' || c == '\f' || c == '\r';
}

const char kUsage[] =
    "Usage: kvbgm2wav [option ...] [setting ...] [DATA]\n"
    "Writes every track of kvbgm.dat as a WAV file.\n"
    "\n"
    "DATA is the data file (any name) or the folder that holds kvbgm.dat;\n"
    "without it, kvbgm.dat in the current folder. The files go beside it.\n"
    "\n"
    "Settings, each a letter and a number with no space between:\n"
    "  N     repeat: passes through each track, 1-10 (default 2)\n"
    "  fN    fade out the last N seconds of the last pass, 0-30 (default 0: no fade)\n"
    "  FN    play on N seconds past the last pass and fade those out, 0-30\n"
    "  pN    fade curve, 0-3 (default 0): 0 exponential, 1 linear,\n"
    "        2 a blend of both, 3 raised cosine\n"
    "  tN    only track N, 1-31 (default: all tracks)\n"
    "\n"
    "Options:\n"
    "  -o DIR, --output DIR   write the files into DIR, made if missing\n"
    "  --list                 list the tracks and the length of each file the\n"
    "                         settings give; needs no data file\n"
    "  --loop-points          mark the last loop pass that no fade touches in\n"
    "                         each file, for players and samplers\n"
    "  --split                write each track as \"NN title (intro).wav\" and\n"
    "                         \"NN title (loop).wav\" instead (no N, f, F or p)\n"
    "  --help, --version\n"
    "\n"
    "Examples:\n"
    "  kvbgm2wav 3 f10                  every track, 3 passes, the last 10 seconds faded\n"
    "  kvbgm2wav t5 F8 p3               track 05 only, 2 passes and 8 more seconds fading out\n"
    "  kvbgm2wav ~/game/kvbgm.dat -o music --loop-points\n"
    "  kvbgm2wav --list 3 F10           how long each file of '3 F10' plays\n"
    "\n"
    "Exit status: 0 all files written, 1 data file or write error, 2 bad setting.\n";

// The first standard-output error of the run, reported once at its end.
IoError gStdoutError = kIoOk;

void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

void say(const char* format, ...) {
  va_list args;
  va_start(args, format);
  va_list again;
  va_copy(again, args);
  int length = std::vsnprintf(nullptr, 0, format, args);
  va_end(args);
  std::string text(static_cast<size_t>(length > 0 ? length : 0) + 1, '\0');
  std::vsnprintf(text.data(), text.size(), format, again);
  va_end(again);
  text.pop_back();
  IoError error = writeStdout(text);
  if (gStdoutError == kIoOk) gStdoutError = error;
}

// Sets the one setting that `arg` names (see parseOptions).
void applySetting(ExtractOptions* options, const char* arg) {
  switch (arg[0]) {
    case 'F': options->fade = saturate(-int64_t{readNumber(arg + 1)}); break;
    case 'f': options->fade = readNumber(arg + 1); break;
    case 'P':
    case 'p': options->fadePattern = readNumber(arg + 1); break;
    case 'T':
    case 't': options->firstTrack = options->lastTrack = readNumber(arg + 1); break;
    default: options->repeat = readNumber(arg); break;
  }
}

bool isValidSetting(const char* arg) {
  ExtractOptions options;
  applySetting(&options, arg);
  return validateOptions(options).empty();
}

bool hasPathSeparator(const std::string& arg) {
  return std::any_of(arg.begin(), arg.end(), isPathSeparator);
}

// The next UTF-8 code point of `text` at `*i`, advancing *i past it.
uint32_t nextCodePoint(const std::string& text, size_t* i) {
  auto byte = [&](size_t k) { return static_cast<uint8_t>(text[k]); };
  uint32_t c = byte((*i)++);
  int more = c >= 0xf0 ? 3 : c >= 0xe0 ? 2 : c >= 0xc0 ? 1 : 0;
  c &= more == 3 ? 0x07u : more == 2 ? 0x0fu : more == 1 ? 0x1fu : 0xffu;
  for (; more > 0 && *i < text.size(); --more) c = (c << 6) | (byte((*i)++) & 0x3fu);
  return c;
}

std::string padded(const std::string& text, int width) {
  return text + std::string(static_cast<size_t>(std::max(0, width - displayWidth(text))), ' ');
}

// The output files of catalogue index i: one, or the intro and the loop.
struct OutputPlan {
  std::string name;
  TrackPlan plan;
};

std::vector<OutputPlan> outputsOf(const CommandLine& line, int index) {
  std::string name = trackFileName(index);
  TrackEntry entry = trackEntry(index);
  int32_t rate = sampleRateFor(name.c_str());
  if (!line.split) return {{name, planTrack(entry, renderSettings(line), rate)}};
  std::string stem = name.substr(0, name.size() - 4);  // without ".wav"
  return {{stem + " (intro).wav", planSection(entry.start, entry.loopStart, rate, false)},
          {stem + " (loop).wav", planSection(entry.loopStart, entry.end, rate, line.loopPoints)}};
}

}  // namespace

int32_t readNumber(const char* text) {
  const char* p = text;
  while (isBlank(*p)) ++p;
  bool negative = *p == '-';
  if (*p == '+' || *p == '-') ++p;
  int64_t value = 0;
  for (; *p >= '0' && *p <= '9'; ++p) {
    // Past 2^31 the value only has to stay out of range.
    value = std::min<int64_t>(value * 10 + (*p - '0'), kInt32Max + 1);
  }
  return saturate(negative ? -value : value);
}

ExtractOptions parseOptions(int count, const char* const* args) {
  ExtractOptions options;
  for (int i = 0; i < count; ++i) applySetting(&options, args[i]);
  return options;
}

std::string validateOptions(const ExtractOptions& options) {
  if (options.repeat < 1 || options.repeat > 10) return "repeat must be 1-10\n";
  if (options.fade < -30 || options.fade > 30) return "fade must be 0-30\n";
  if (options.fadePattern < 0 || options.fadePattern > 3) return "fade pattern must be 0-3\n";
  if (options.firstTrack < 0 || options.lastTrack < 1 || options.lastTrack > kTrackCount) {
    return "track number must be 1-" + std::to_string(kTrackCount) + "\n";
  }
  return "";
}

std::string bannerText(const ExtractOptions& options) {
  char line[128];
  std::snprintf(line, sizeof line,
                "track=%d-%d , repeat=%d , fade=%d , fade pattern=%d\n",
                firstIndex(options) + 1, options.lastTrack, options.repeat,
                options.fade, options.fadePattern);
  return line;
}

void printBanner(const ExtractOptions& options) { say("%s", bannerText(options).c_str()); }

int firstIndex(const ExtractOptions& options) {
  return options.firstTrack != 0 ? options.firstTrack - 1 : 0;
}

CommandLine parseCommandLine(int count, const char* const* args) {
  CommandLine line;
  auto refuse = [&line](const std::string& message) {
    if (line.error.empty()) line.error = message;
  };
  for (int i = 0; i < count; ++i) {
    std::string arg = args[i];
    if (arg == "--help") {
      line.help = true;
    } else if (arg == "--version") {
      line.version = true;
    } else if (arg == "--list") {
      line.list = true;
    } else if (arg == "--loop-points") {
      line.loopPoints = true;
    } else if (arg == "--split") {
      line.split = true;
    } else if (arg == "-o" || arg == "--output" || arg.rfind("--output=", 0) == 0) {
      std::string folder = arg.size() > 8 ? arg.substr(9) : i + 1 < count ? args[++i] : "";
      if (folder.empty()) refuse(arg.substr(0, arg.find('=')) + " needs a folder\n");
      line.outputFolder = folder;
    } else if (hasPathSeparator(arg) ||
               (pathKind(arg) != PathKind::Missing && !isValidSetting(arg.c_str()))) {
      if (!line.dataPath.empty()) {
        refuse("only one data file or folder may be given: " + line.dataPath + ", " + arg + "\n");
      }
      line.dataPath = arg;
    } else {
      applySetting(&line.options, args[i]);
      if (arg.empty() || (arg[0] != 'T' && arg[0] != 't')) line.playSettings = true;
    }
  }
  return line;
}

std::string checkCommandLine(const CommandLine& line) {
  if (!line.error.empty()) return line.error;
  std::string message = validateOptions(line.options);
  if (!message.empty()) return message;
  if (line.split && line.playSettings) {
    return "--split writes the intro and the loop once each: no repeat, fade or fade curve\n";
  }
  return "";
}

RenderSettings renderSettings(const CommandLine& line) {
  RenderSettings settings;
  settings.repeat = line.options.repeat;
  settings.fade = line.options.fade;
  settings.pattern = static_cast<FadePattern>(line.options.fadePattern);
  settings.loopPoints = line.loopPoints;
  return settings;
}

std::string formatDuration(int64_t frames, int32_t sampleRate) {
  int64_t ms = (frames * 1000 + sampleRate / 2) / sampleRate;
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld.%03lld", static_cast<long long>(ms / 60000),
                static_cast<long long>(ms / 1000 % 60), static_cast<long long>(ms % 1000));
  return text;
}

int displayWidth(const std::string& utf8) {
  int width = 0;
  for (size_t i = 0; i < utf8.size();) {
    uint32_t c = nextCodePoint(utf8, &i);
    bool wide = (c >= 0x1100 && c <= 0x115f) || (c >= 0x2e80 && c <= 0xa4cf) ||
                (c >= 0xac00 && c <= 0xd7a3) || (c >= 0xf900 && c <= 0xfaff) ||
                (c >= 0xfe30 && c <= 0xfe4f) || (c >= 0xff00 && c <= 0xff60) ||
                (c >= 0xffe0 && c <= 0xffe6) || (c >= 0x20000 && c <= 0x3fffd);
    width += wide ? 2 : 1;
  }
  return width;
}

std::string listText(const CommandLine& line, bool forTerminal) {
  struct Row {
    std::string cells[6];
  };
  std::vector<Row> rows = {{{"track", "file", "rate", "intro", "loop", "length"}}};
  RenderSettings settings = renderSettings(line);
  for (int i = firstIndex(line.options); i < line.options.lastTrack; ++i) {
    TrackEntry e = trackEntry(i);
    int32_t rate = sampleRateFor(trackFileName(i));
    char number[16];
    std::snprintf(number, sizeof number, "%02d", i + 1);
    int64_t length = trackDataLength(e, settings, rate * kFrameBytes);
    rows.push_back({{number, trackFileName(i), std::to_string(rate),
                     formatDuration((e.loopStart - e.start) / kFrameBytes, rate),
                     formatDuration((e.end - e.loopStart) / kFrameBytes, rate),
                     formatDuration(length / kFrameBytes, rate)}});
  }
  int widths[6] = {};
  for (const Row& row : rows) {
    for (int c = 0; c < 6; ++c) widths[c] = std::max(widths[c], displayWidth(row.cells[c]));
  }
  std::string text;
  for (const Row& row : rows) {
    for (int c = 0; c < 5; ++c) {
      text += forTerminal ? padded(row.cells[c], widths[c]) + "  " : row.cells[c] + "\t";
    }
    text += row.cells[5] + "\n";
  }
  return text;
}

int runExtraction(const CommandLine& line) {
  std::string dataPath = line.dataPath.empty() ? kDataFileName : line.dataPath;
  if (!line.dataPath.empty() &&
      (isPathSeparator(dataPath.back()) || pathKind(dataPath) == PathKind::Folder)) {
    dataPath = joinPath(dataPath, kDataFileName);
  }
  FileHandle dataFile;
  int64_t size = 0;
  IoError error = openDataFile(dataPath, &dataFile, &size);
  if (error == kIoNotFound) {
    say("%s not found.\n", dataPath.c_str());
    return kExitFailed;
  }
  if (error != kIoOk) {
    say("cannot read %s: %s\n", dataPath.c_str(), ioErrorText(error).c_str());
    return kExitFailed;
  }
  // A negative fade wraps inside the loop, so no track reads past its end.
  int64_t needed = trackEntry(line.options.lastTrack - 1).end;
  if (size < needed) {
    say("%s is too short: %lld bytes, need %lld\n", dataPath.c_str(),
        static_cast<long long>(size), static_cast<long long>(needed));
    closeFile(&dataFile);
    return kExitFailed;
  }
  std::string folder = line.outputFolder.empty() ? folderOf(dataPath) : line.outputFolder;
  if (!line.outputFolder.empty() && (error = makeFolders(folder)) != kIoOk) {
    say("cannot write into %s: %s\n", folder.c_str(), ioErrorText(error).c_str());
    closeFile(&dataFile);
    return kExitFailed;
  }
  auto buffer = std::make_unique<ChunkBuffer>();
  bool allWritten = true;
  for (int i = firstIndex(line.options); i < line.options.lastTrack; ++i) {
    for (const OutputPlan& out : outputsOf(line, i)) {
      say("Create %s ...\n", out.name.c_str());
      if (line.loopPoints && !line.split && !out.plan.loop.present) {
        say("no loop points in %s: the fade reaches into every pass of the loop\n",
            out.name.c_str());
      }
      error = renderTrack(dataFile, folder, out.name, out.plan, buffer.get());
      if (error != kIoOk) {
        say("cannot write %s: %s\n", out.name.c_str(), ioErrorText(error).c_str());
        allWritten = false;
      }
    }
  }
  closeFile(&dataFile);
  return allWritten ? kExitOk : kExitFailed;
}

namespace {

int runCommandLine(int argc, const char* const* argv) {
  CommandLine line = parseCommandLine(argc - 1, argv + 1);
  if (line.help) {
    say("%s", kUsage);
    return kExitOk;
  }
  if (line.version) {
    say("kvbgm2wav " KVBGM2WAV_VERSION "\n");
    return kExitOk;
  }
  std::string message = checkCommandLine(line);
  if (!message.empty()) {
    say("%s", message.c_str());
    return kExitBadSetting;
  }
  if (line.list) {
    say("%s", listText(line, stdoutIsTerminal()).c_str());
    return kExitOk;
  }
  printBanner(line.options);
  return runExtraction(line);
}

}  // namespace

int runTool(int argc, const char* const* argv) {
  prepareCatalog();
  platformInit();
  int status;
  try {
    status = runCommandLine(argc, argv);
  } catch (const std::bad_alloc&) {
    // Only the few small allocations outside a track's file get here; a
    // track's own fail that track alone.
    say("kvbgm2wav: out of memory\n");
    status = kExitFailed;
  }
  if (gStdoutError != kIoOk) {
    writeStderr("kvbgm2wav: cannot write standard output: " + ioErrorText(gStdoutError) + "\n");
    if (status == kExitOk) status = kExitFailed;
  }
  if (ownsConsoleWindow()) {
    say("Press Enter to close this window.\n");
    waitForEnter();
  }
  return status;
}
