#include "app/app.h"

#include <algorithm>
#include <condition_variable>
#include <cstdarg>
#include <cstdio>
#include <cstdint>
#include <cstring>
#include <limits>
#include <memory>
#include <mutex>
#include <new>
#include <system_error>
#include <thread>
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
    "       kvbgm2wav --list [setting ...] [DATA]\n"
    "Writes every track of kvbgm.dat as a WAV (or FLAC) file.\n"
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
    "Options:\n"
    "  -o DIR, --output DIR, --output=DIR\n"
    "                 write the files into DIR, made if missing\n"
    "  --list         list the files the settings give and how long each plays,\n"
    "                 instead of writing them; checks DATA if it is given\n"
    "  --loop-points  mark the last loop pass that no fade touches in each\n"
    "                 file, for players and samplers\n"
    "  --split        write each track as \"NN title (intro).wav\" and\n"
    "                 \"NN title (loop).wav\" instead (no N, f, F or p)\n"
    "  --format=flac, --format flac\n"
    "                 write \"NN title.flac\" files with tags, the same audio\n"
    "                 (--format=wav, the default, writes WAV files)\n"
    "  --compression=N, --compression N\n"
    "                 FLAC compression level, 0 (fastest) to 8 (smallest), default 5\n"
    "  --tag NAME=VALUE, --tag=NAME=VALUE\n"
    "                 add or replace a tag in every FLAC file; NAME= removes it\n"
    "  --             the arguments after it are settings or DATA, not options\n"
    "  --help, --version\n"
    "\n"
    "Examples:\n"
    "  kvbgm2wav 3 f10                  every track, 3 passes, the last 10 seconds faded\n"
    "  kvbgm2wav t5 F8 p3               track 05 only, 2 passes and 8 more seconds fading out\n"
    "  kvbgm2wav ~/game/kvbgm.dat -o music --loop-points\n"
    "  kvbgm2wav --list 3 F10           how long each file of '3 F10' plays\n"
    "  kvbgm2wav --format=flac --loop-points --tag \"ALBUM=Game Music\"\n"
    "\n"
    "Exit status:\n"
    "  0  every selected file was written (with --list: the list was printed)\n"
    "  1  the data file is missing, unusable or too short, the output folder\n"
    "     cannot be made, a file could not be written, or standard output\n"
    "     could not be written\n"
    "  2  the command line was refused; nothing was read or written\n";

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

const char kRepeatMessage[] = "repeat must be 1-10\n";

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

bool isSettingLetter(char c) { return c != '\0' && std::strchr("FfPpTt", c) != nullptr; }

bool isDigit(char c) { return c >= '0' && c <= '9'; }

// True when readNumber finds at least one digit at the start of `text`.
bool startsNumber(const char* text) {
  while (isBlank(*text)) ++text;
  if (*text == '+' || *text == '-') ++text;
  return isDigit(*text);
}

bool hasPathSeparator(const std::string& arg) {
  return std::any_of(arg.begin(), arg.end(), isPathSeparator);
}

// The dashed options. One that takes a value has it in the next argument,
// or after '=' in its long form.
enum class Option { Help, Version, List, LoopPoints, Split, Output, Format, Compression, Tag };

struct KnownOption {
  const char* name;   // the long form
  const char* alias;  // a short form, or nullptr
  const char* value;  // what its value is ("a folder"), or nullptr for none
  Option option;
};

constexpr KnownOption kOptions[] = {
    {"--help", nullptr, nullptr, Option::Help},
    {"--version", nullptr, nullptr, Option::Version},
    {"--list", nullptr, nullptr, Option::List},
    {"--loop-points", nullptr, nullptr, Option::LoopPoints},
    {"--split", nullptr, nullptr, Option::Split},
    {"--output", "-o", "a folder", Option::Output},
    {"--format", nullptr, "wav or flac", Option::Format},
    {"--compression", nullptr, "a level", Option::Compression},
    {"--tag", nullptr, "NAME=VALUE", Option::Tag},
};

// The option that `arg` gives, or nullptr.
const KnownOption* findOption(const std::string& arg) {
  for (const KnownOption& known : kOptions) {
    if (arg == known.name || (known.alias != nullptr && arg == known.alias)) return &known;
    if (known.value != nullptr && arg.rfind(std::string(known.name) + "=", 0) == 0) return &known;
  }
  return nullptr;
}

// Sets what `option` with `value` says; the message that refuses it, or "".
std::string applyOption(CommandLine* line, Option option, const std::string& value) {
  switch (option) {
    case Option::Help: line->help = true; break;
    case Option::Version: line->version = true; break;
    case Option::List: line->list = true; break;
    case Option::LoopPoints: line->loopPoints = true; break;
    case Option::Split: line->split = true; break;
    case Option::Output: line->outputFolder = value; break;
    case Option::Format:
      if (value != "wav" && value != "flac") return "--format must be wav or flac\n";
      line->format = value == "flac" ? OutputFormat::Flac : OutputFormat::Wav;
      break;
    case Option::Compression:
      if (value.size() != 1 || !isDigit(value[0]) || value[0] - '0' > kFlacMaxCompression) {
        return "--compression must be 0-" + std::to_string(kFlacMaxCompression) + "\n";
      }
      line->compression = value[0] - '0';
      break;
    case Option::Tag: {
      size_t equals = value.find('=');
      FlacTag tag{value.substr(0, equals), equals == std::string::npos ? "" : value.substr(equals + 1)};
      if (equals == std::string::npos || !isValidTagName(tag.name)) {
        return "--tag needs NAME=VALUE, NAME in ASCII without \"=\": " + printable(value) + "\n";
      }
      if (!isValidUtf8(tag.value)) return "--tag " + tag.name + ": the value is not UTF-8\n";
      line->tags.push_back(tag);
      break;
    }
  }
  return "";
}

// What an argument that is not an option is.
enum class ArgKind { Setting, DataPath, UnknownOption, NamesNothing };

ArgKind kindOf(const std::string& arg, bool optionsEnded) {
  if (hasPathSeparator(arg)) return ArgKind::DataPath;
  // An existing file or folder wins over a lenient reading of its name.
  bool strictlyValid = isStrictSetting(arg) && isValidSetting(arg.c_str());
  if (!strictlyValid && pathKind(arg) != PathKind::Missing) return ArgKind::DataPath;
  if (!optionsEnded && arg.size() > 1 && arg[0] == '-' && !isDigit(arg[1])) {
    return ArgKind::UnknownOption;
  }
  if (!isSettingLetter(arg[0]) && !startsNumber(arg.c_str())) {
    // A file name that names no file is the data path, to be reported as
    // missing; any other such word is the pass count 0, refused.
    return arg.find('.') != std::string::npos ? ArgKind::DataPath : ArgKind::NamesNothing;
  }
  return ArgKind::Setting;
}

std::string unknownOptionMessage(const std::string& arg) {
  std::string message = "unknown option " + printable(arg);
  size_t dashes = arg.find_first_not_of('-');
  std::string undashed = dashes == std::string::npos ? "" : arg.substr(dashes);
  if (isStrictSetting(undashed)) {
    message += " (settings take no dash: " + printable(undashed) + ")";
  }
  return message + "\n";
}

// The length of the well-formed UTF-8 character at text[i] when it is not a
// control character (C0, DEL or C1); 0 for a control character or a byte
// that starts no character.
size_t printableLength(const std::string& text, size_t i) {
  auto within = [&](size_t k, unsigned low, unsigned high) {
    if (k >= text.size()) return false;
    unsigned b = static_cast<unsigned char>(text[k]);
    return b >= low && b <= high;
  };
  unsigned c = static_cast<unsigned char>(text[i]);
  if (c >= 0x20 && c < 0x7f) return 1;
  if (c >= 0xc2 && c <= 0xdf) {
    return within(i + 1, c == 0xc2 ? 0xa0 : 0x80, 0xbf) ? 2 : 0;  // C1 is 0xc2 0x80..0x9f
  }
  // The second byte's range rules out overlong forms, UTF-16 surrogates and
  // code points past U+10FFFF.
  if (c >= 0xe0 && c <= 0xef) {
    bool whole = within(i + 1, c == 0xe0 ? 0xa0 : 0x80, c == 0xed ? 0x9f : 0xbf) &&
                 within(i + 2, 0x80, 0xbf);
    return whole ? 3 : 0;
  }
  if (c >= 0xf0 && c <= 0xf4) {
    bool whole = within(i + 1, c == 0xf0 ? 0x90 : 0x80, c == 0xf4 ? 0x8f : 0xbf) &&
                 within(i + 2, 0x80, 0xbf) && within(i + 3, 0x80, 0xbf);
    return whole ? 4 : 0;
  }
  return 0;
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

// The extension of the files this command line writes.
const char* outputExtension(const CommandLine& line) {
  return line.format == OutputFormat::Flac ? ".flac" : ".wav";
}

// The name of an output file of catalogue index `index`: the track's name
// with `part` (" (intro)", " (loop)" or "") before the extension.
std::string outputName(const CommandLine& line, int index, const char* part) {
  std::string name = trackFileName(index);
  return name.substr(0, name.size() - 4) + part + outputExtension(line);  // without ".wav"
}

// The output files of catalogue index i: one, or the intro and the loop.
struct OutputPlan {
  std::string name;
  TrackPlan plan;
  std::string title;  // the name without its number and extension
};

std::vector<OutputPlan> outputsOf(const CommandLine& line, int index) {
  TrackEntry entry = trackEntry(index);
  int32_t rate = sampleRateFor(trackFileName(index));
  std::string name = trackFileName(index);
  std::string title = name.substr(3, name.size() - 7);  // without "NN " and ".wav"
  if (!line.split) {
    return {{outputName(line, index, ""), planTrack(entry, renderSettings(line), rate), title}};
  }
  return {{outputName(line, index, " (intro)"),
           planSection(entry.start, entry.loopStart, rate, false), title + " (intro)"},
          {outputName(line, index, " (loop)"),
           planSection(entry.loopStart, entry.end, rate, line.loopPoints), title + " (loop)"}};
}

// The data file's name without its folder and extension: the album of
// the tracks it holds.
std::string albumOf(const std::string& dataPath) {
  std::string name = dataPath.substr(folderOf(dataPath).size());
  while (!name.empty() && isPathSeparator(name.front())) name.erase(0, 1);
  size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

// Opens the data file that `line` names and checks that it holds every byte
// the selected tracks need. Says what is wrong and returns kExitFailed, or
// returns kExitOk with the file open.
int openData(const CommandLine& line, FileHandle* dataFile, std::string* dataPath) {
  *dataPath = line.dataPath.empty() ? kDataFileName : line.dataPath;
  if (!line.dataPath.empty() &&
      (isPathSeparator(dataPath->back()) || pathKind(*dataPath) == PathKind::Folder)) {
    *dataPath = joinPath(*dataPath, kDataFileName);
  }
  std::string shown = printable(*dataPath);
  int64_t size = 0;
  IoError error = openDataFile(*dataPath, dataFile, &size);
  if (error == kIoNotFound) {
    say("%s not found.\n", shown.c_str());
    return kExitFailed;
  }
  if (error != kIoOk) {
    say("cannot read %s: %s\n", shown.c_str(), ioErrorText(error).c_str());
    return kExitFailed;
  }
  // A negative fade wraps inside the loop, so no track reads past its end.
  int64_t needed = trackEntry(line.options.lastTrack - 1).end;
  if (size < needed) {
    say("%s is too short: %lld bytes, need %lld\n", shown.c_str(),
        static_cast<long long>(size), static_cast<long long>(needed));
    closeFile(dataFile);
    return kExitFailed;
  }
  return kExitOk;
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
  bool optionsEnded = false;
  for (int i = 0; i < count; ++i) {
    std::string arg = args[i];
    if (!optionsEnded) {
      if (arg == "--") {
        optionsEnded = true;
        continue;
      }
      if (const KnownOption* option = findOption(arg)) {
        std::string value;
        if (option->value != nullptr) {
          size_t equals = arg.find('=');
          if (equals != std::string::npos) {
            value = arg.substr(equals + 1);
          } else if (i + 1 < count) {
            value = args[++i];
          }
          if (value.empty()) refuse(arg.substr(0, equals) + " needs " + option->value + "\n");
        }
        if (!value.empty() || option->value == nullptr) {
          refuse(applyOption(&line, option->option, value));
        }
        continue;
      }
    }
    switch (kindOf(arg, optionsEnded)) {
      case ArgKind::DataPath:
        if (!line.dataPath.empty()) {
          refuse("only one data file or folder may be given: " + printable(line.dataPath) +
                 ", " + printable(arg) + "\n");
        }
        line.dataPath = arg;
        break;
      case ArgKind::UnknownOption: refuse(unknownOptionMessage(arg)); break;
      case ArgKind::NamesNothing: refuse(kRepeatMessage); break;
      case ArgKind::Setting:
        applySetting(&line.options, args[i]);
        if (arg[0] != 'T' && arg[0] != 't') line.playSettings = true;
        break;
    }
  }
  return line;
}

bool isStrictSetting(const std::string& arg) {
  size_t i = !arg.empty() && isSettingLetter(arg[0]) ? 1 : 0;
  if (i < arg.size() && (arg[i] == '+' || arg[i] == '-')) ++i;
  if (i == arg.size()) return false;
  return std::all_of(arg.begin() + static_cast<std::ptrdiff_t>(i), arg.end(), isDigit);
}

std::string checkCommandLine(const CommandLine& line) {
  if (!line.error.empty()) return line.error;
  std::string message = validateOptions(line.options);
  if (!message.empty()) return message;
  if (line.split && line.playSettings) {
    return "--split writes the intro and the loop once each: no repeat, fade or fade curve\n";
  }
  if (line.list && !line.outputFolder.empty()) return "--list writes no files: no -o or --output\n";
  if (line.format != OutputFormat::Flac && line.compression >= 0) {
    return "--compression needs --format=flac\n";
  }
  if (line.format != OutputFormat::Flac && !line.tags.empty()) return "--tag needs --format=flac\n";
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

std::string printable(const std::string& text) {
  std::string shown;
  for (size_t i = 0; i < text.size();) {
    size_t n = printableLength(text, i);
    if (n > 0) {
      shown.append(text, i, n);
      i += n;
      continue;
    }
    unsigned char c = static_cast<unsigned char>(text[i++]);
    char escape[8];
    if (c == '\n' || c == '\t' || c == '\r') {
      std::snprintf(escape, sizeof escape, "\\%c", c == '\n' ? 'n' : c == '\t' ? 't' : 'r');
    } else {
      std::snprintf(escape, sizeof escape, "\\x%02x", c);
    }
    shown += escape;
  }
  return shown;
}

std::string listText(const CommandLine& line, bool forTerminal) {
  struct Row {
    std::string cells[6];
  };
  std::vector<Row> rows = {{{"track", "file", "rate", "intro", "loop", "length"}}};
  for (int i = firstIndex(line.options); i < line.options.lastTrack; ++i) {
    TrackEntry e = trackEntry(i);
    int32_t rate = sampleRateFor(trackFileName(i));
    char number[16];
    std::snprintf(number, sizeof number, "%02d", i + 1);
    for (const OutputPlan& out : outputsOf(line, i)) {
      rows.push_back({{number, out.name, std::to_string(rate),
                       formatDuration((e.loopStart - e.start) / kFrameBytes, rate),
                       formatDuration((e.end - e.loopStart) / kFrameBytes, rate),
                       formatDuration(out.plan.dataLength / kFrameBytes, rate)}});
    }
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

namespace {

// The line before each file, and the note when it can mark no loop.
void announce(const CommandLine& line, const OutputPlan& out) {
  std::string shown = printable(out.name);
  say("Create %s ...\n", shown.c_str());
  if (line.loopPoints && !line.split && !out.plan.loop.present) {
    say("no loop points in %s: the fade reaches into every pass of the loop\n", shown.c_str());
  }
}

// Says why a file failed, if it did; 1 when it was written, else 0.
size_t report(const OutputPlan& out, IoError error) {
  if (error == kIoOk) return 1;
  say("cannot write %s: %s\n", printable(out.name).c_str(), ioErrorText(error).c_str());
  return 0;
}

// Writes the WAV files one after the other. Returns how many were written.
size_t writeWaveFiles(const CommandLine& line, FileHandle dataFile, const std::string& folder,
                      const std::vector<OutputPlan>& outputs) {
  auto buffer = std::make_unique<ChunkBuffer>();
  size_t written = 0;
  for (const OutputPlan& out : outputs) {
    announce(line, out);
    written += report(out, renderTrack(dataFile, folder, out.name, out.plan, buffer.get()));
  }
  return written;
}

// Encodes the FLAC files on as many threads as there are cores (at most
// kMaxOutputsInProgress), each file on one thread, the next file taken by
// the first thread that is free. Every line on standard output comes from
// this thread, in the order and with the text of a one-thread run: a file's
// "Create" line once every line of the file before it is out, and a file
// gets its name only after its "Create" line. A file that finds the disk
// full while others are being written beside it is written again alone,
// and so are the files after it, so that the same files fail as when they
// are written one at a time. Returns how many were written.
size_t writeFlacFiles(const CommandLine& line, FileHandle dataFile, const std::string& folder,
                      const std::string& album, const std::vector<OutputPlan>& outputs) {
  if (outputs.empty()) return 0;
  struct Shared {
    std::mutex lock;
    std::condition_variable changed;
    size_t next = 0;       // the next file a thread takes
    size_t announced = 0;  // files [0, announced] have their "Create" line out
    bool stop = false;     // take no more files, and discard those not announced
    std::vector<IoError> errors;
    std::vector<char> done;
  } shared;
  shared.errors.assign(outputs.size(), kIoOk);
  shared.done.assign(outputs.size(), 0);
  int level = line.compression >= 0 ? line.compression : kFlacDefaultCompression;

  // Writes file k into an unnamed output, names it once it is announced,
  // and records the outcome. Never throws.
  auto encode = [&](size_t k, ChunkBuffer* buffer) {
    const OutputPlan& out = outputs[k];
    OutputFile file;
    IoError error = kIoOk;
    try {
      error = createOutput(folder, out.name, &file);
      if (error == kIoOk) {
        FlacTrackInfo info{out.title, std::atoi(out.name.c_str()), album};
        error = writeFlacTrack(dataFile, &file, out.plan,
                               flacTags(info, out.plan.loop, line.tags), level, buffer);
      }
    } catch (const std::bad_alloc&) {
      error = kIoNoMemory;
    }
    bool named;
    {
      std::unique_lock<std::mutex> hold(shared.lock);
      shared.changed.wait(hold, [&] { return shared.announced >= k || shared.stop; });
      named = shared.announced >= k;
    }
    try {
      if (error == kIoOk && named) error = commitOutput(&file);
    } catch (const std::bad_alloc&) {
      error = kIoNoMemory;
    }
    if (error != kIoOk || !named) discardOutput(&file);
    std::lock_guard<std::mutex> hold(shared.lock);
    shared.errors[k] = error;
    shared.done[k] = 1;
    shared.changed.notify_all();
  };
  auto work = [&] {
    std::unique_ptr<ChunkBuffer> buffer;
    for (;;) {
      size_t k;
      {
        std::lock_guard<std::mutex> hold(shared.lock);
        if (shared.stop || shared.next >= outputs.size()) return;
        k = shared.next++;
      }
      try {
        if (!buffer) buffer = std::make_unique<ChunkBuffer>();
      } catch (const std::bad_alloc&) {
      }
      if (buffer) {
        encode(k, buffer.get());
      } else {
        std::lock_guard<std::mutex> hold(shared.lock);
        shared.errors[k] = kIoNoMemory;
        shared.done[k] = 1;
        shared.changed.notify_all();
      }
    }
  };

  // The threads, stopped and joined however this function ends: those that
  // wait to name a file not announced discard it.
  struct Workers {
    Shared* shared;
    std::vector<std::thread> threads;
    void stop() {
      {
        std::lock_guard<std::mutex> hold(shared->lock);
        shared->stop = true;
        shared->changed.notify_all();
      }
      for (std::thread& t : threads) t.join();
      threads.clear();
    }
    ~Workers() { stop(); }
  } workers{&shared, {}};

  announce(line, outputs[0]);
  unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  size_t threads = std::min({size_t{cores}, size_t{kMaxOutputsInProgress}, outputs.size()});
  for (size_t t = 0; t < threads && threads > 1; ++t) {
    try {
      workers.threads.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer threads; the ones running take every file
    }
  }
  auto ownBuffer = std::make_unique<ChunkBuffer>();  // for the files this thread writes
  auto writeAlone = [&](size_t k) {
    shared.done[k] = 0;
    encode(k, ownBuffer.get());
  };
  size_t written = 0;
  for (size_t k = 0; k < outputs.size(); ++k) {
    if (k > 0) {
      announce(line, outputs[k]);
      std::lock_guard<std::mutex> hold(shared.lock);
      shared.announced = k;
      shared.changed.notify_all();
    }
    if (workers.threads.empty()) writeAlone(k);
    IoError error;
    {
      std::unique_lock<std::mutex> hold(shared.lock);
      shared.changed.wait(hold, [&] { return shared.done[k] != 0; });
      error = shared.errors[k];
    }
    if (isNoSpace(error) && !workers.threads.empty()) {
      // The files written beside it took space that a run of one file at a
      // time would not have: from here on, one file at a time.
      workers.stop();
      writeAlone(k);
      error = shared.errors[k];
    }
    written += report(outputs[k], error);
  }
  return written;
}

}  // namespace

int runExtraction(const CommandLine& line) {
  FileHandle dataFile;
  std::string dataPath;
  if (openData(line, &dataFile, &dataPath) != kExitOk) return kExitFailed;
  std::string folder = line.outputFolder.empty() ? folderOf(dataPath) : line.outputFolder;
  std::vector<std::string> madeFolders;
  IoError error = kIoOk;
  if (!line.outputFolder.empty() && (error = makeFolders(folder, &madeFolders)) != kIoOk) {
    say("cannot write into %s: %s\n", printable(folder).c_str(), ioErrorText(error).c_str());
    closeFile(&dataFile);
    return kExitFailed;
  }
  std::vector<OutputPlan> outputs;
  for (int i = firstIndex(line.options); i < line.options.lastTrack; ++i) {
    for (OutputPlan& out : outputsOf(line, i)) outputs.push_back(std::move(out));
  }
  size_t written = line.format == OutputFormat::Flac
                       ? writeFlacFiles(line, dataFile, folder, printable(albumOf(dataPath)),
                                        outputs)
                       : writeWaveFiles(line, dataFile, folder, outputs);
  closeFile(&dataFile);
  if (written == 0) removeFolders(madeFolders);
  return written == outputs.size() ? kExitOk : kExitFailed;
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
    // A data path given with --list is checked, never ignored.
    if (!line.dataPath.empty()) {
      FileHandle dataFile;
      std::string dataPath;
      if (openData(line, &dataFile, &dataPath) != kExitOk) return kExitFailed;
      closeFile(&dataFile);
    }
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
