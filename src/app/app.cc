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
  std::string title;  // the name without its number and extension
};

std::vector<OutputPlan> outputsOf(const CommandLine& line, int index) {
  std::string name = trackFileName(index);
  TrackEntry entry = trackEntry(index);
  int32_t rate = sampleRateFor(name.c_str());
  std::string title = name.substr(3, name.size() - 7);  // "NN " and ".wav"
  std::string extension = line.format == OutputFormat::Flac ? ".flac" : ".wav";
  std::string stem = name.substr(0, name.size() - 4);
  if (!line.split) return {{stem + extension, planTrack(entry, renderSettings(line), rate), title}};
  return {{stem + " (intro)" + extension, planSection(entry.start, entry.loopStart, rate, false),
           title + " (intro)"},
          {stem + " (loop)" + extension, planSection(entry.loopStart, entry.end, rate, line.loopPoints),
           title + " (loop)"}};
}

// If args[*i] is option `name`, as "name=VALUE" or as "name" followed by
// VALUE, sets *value (empty when missing), moves *i past it and returns true.
bool takeValue(const char* name, int count, const char* const* args, int* i,
               std::string* value) {
  std::string arg = args[*i];
  size_t n = std::strlen(name);
  if (arg.compare(0, n, name) != 0) return false;
  if (arg.size() == n) {
    *value = *i + 1 < count ? args[++*i] : "";
    return true;
  }
  if (arg[n] != '=') return false;
  *value = arg.substr(n + 1);
  return true;
}

// The data file's name without its folder and extension: the album of
// the tracks it holds.
std::string albumOf(const std::string& dataPath) {
  std::string name = dataPath.substr(folderOf(dataPath).size());
  while (!name.empty() && isPathSeparator(name.front())) name.erase(0, 1);
  size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
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
    } else if (std::string value; takeValue("--format", count, args, &i, &value)) {
      if (value == "wav" || value == "flac") {
        line.format = value == "flac" ? OutputFormat::Flac : OutputFormat::Wav;
      } else {
        refuse("--format must be wav or flac\n");
      }
    } else if (takeValue("--compression", count, args, &i, &value)) {
      if (value.size() == 1 && value[0] >= '0' && value[0] - '0' <= kFlacMaxCompression) {
        line.compression = value[0] - '0';
      } else {
        refuse("--compression must be 0-" + std::to_string(kFlacMaxCompression) + "\n");
      }
    } else if (takeValue("--tag", count, args, &i, &value)) {
      size_t equals = value.find('=');
      FlacTag tag{value.substr(0, equals), equals == std::string::npos ? "" : value.substr(equals + 1)};
      if (equals == std::string::npos || !isValidTagName(tag.name)) {
        refuse("--tag needs NAME=VALUE, NAME in ASCII without \"=\": " + value + "\n");
      } else if (!isValidUtf8(tag.value)) {
        refuse("--tag " + tag.name + ": the value is not UTF-8\n");
      }
      line.tags.push_back(tag);
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

namespace {

// The line before each file, and the note when it can mark no loop.
void announce(const CommandLine& line, const OutputPlan& out) {
  say("Create %s ...\n", out.name.c_str());
  if (line.loopPoints && !line.split && !out.plan.loop.present) {
    say("no loop points in %s: the fade reaches into every pass of the loop\n", out.name.c_str());
  }
}

bool reportFailure(const OutputPlan& out, IoError error) {
  if (error == kIoOk) return true;
  say("cannot write %s: %s\n", out.name.c_str(), ioErrorText(error).c_str());
  return false;
}

// Writes the WAV files one after the other. True when all were written.
bool writeWaveFiles(const CommandLine& line, FileHandle dataFile, const std::string& folder,
                    const std::vector<OutputPlan>& outputs) {
  auto buffer = std::make_unique<ChunkBuffer>();
  bool allWritten = true;
  for (const OutputPlan& out : outputs) {
    announce(line, out);
    allWritten &= reportFailure(out, renderTrack(dataFile, folder, out.name, out.plan, buffer.get()));
  }
  return allWritten;
}

// Encodes the FLAC files on as many threads as there are cores (at most
// kMaxOutputsInProgress), each file on one thread, the next file taken by
// the first thread that is free. Every line on standard output comes from
// this thread, in the order and with the text of a one-thread run: a file's
// "Create" line once every line of the file before it is out, and a file
// gets its name only after its "Create" line. True when all were written.
bool writeFlacFiles(const CommandLine& line, FileHandle dataFile, const std::string& folder,
                    const std::string& album, const std::vector<OutputPlan>& outputs) {
  struct Shared {
    std::mutex lock;
    std::condition_variable changed;
    size_t next = 0;       // the next file a thread takes
    size_t announced = 0;  // files [0, announced] have their "Create" line out
    std::vector<IoError> errors;
    std::vector<char> done;
  } shared;
  shared.errors.assign(outputs.size(), kIoOk);
  shared.done.assign(outputs.size(), 0);
  int level = line.compression >= 0 ? line.compression : kFlacDefaultCompression;
  auto ownBuffer = std::make_unique<ChunkBuffer>();  // this thread's, if it must work

  auto encode = [&](size_t k, ChunkBuffer* buffer) {
    const OutputPlan& out = outputs[k];
    OutputFile file;
    IoError error = createOutput(folder, out.name, &file);
    if (error == kIoOk) {
      FlacTrackInfo info{out.title, std::atoi(out.name.c_str()), album};
      error = writeFlacTrack(dataFile, &file, out.plan, flacTags(info, out.plan.loop, line.tags),
                             level, buffer);
    }
    {
      std::unique_lock<std::mutex> hold(shared.lock);
      shared.changed.wait(hold, [&] { return shared.announced >= k; });
    }
    if (error == kIoOk) {
      error = commitOutput(&file);
    } else {
      discardOutput(&file);
    }
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
        if (shared.next >= outputs.size()) return;
        k = shared.next++;
      }
      try {
        if (!buffer) buffer = std::make_unique<ChunkBuffer>();
        encode(k, buffer.get());
      } catch (const std::bad_alloc&) {
        std::lock_guard<std::mutex> hold(shared.lock);
        shared.errors[k] = kIoNoMemory;
        shared.done[k] = 1;
        shared.changed.notify_all();
      }
    }
  };

  unsigned cores = std::max(1u, std::thread::hardware_concurrency());
  size_t threads = std::min({size_t{cores}, size_t{kMaxOutputsInProgress}, outputs.size()});
  if (outputs.empty()) return true;
  announce(line, outputs[0]);
  // Joins the threads however this function ends, releasing any that wait.
  struct Workers {
    Shared* shared;
    std::vector<std::thread> threads;
    ~Workers() {
      {
        std::lock_guard<std::mutex> hold(shared->lock);
        shared->announced = SIZE_MAX;
        shared->changed.notify_all();
      }
      for (std::thread& t : threads) t.join();
    }
  } workers{&shared, {}};
  for (size_t t = 0; t < threads; ++t) {
    try {
      workers.threads.emplace_back(work);
    } catch (const std::system_error&) {
      break;  // fewer threads; the ones running take every file
    }
  }
  bool allWritten = true;
  for (size_t k = 0; k < outputs.size(); ++k) {
    if (k > 0) {
      announce(line, outputs[k]);
      std::lock_guard<std::mutex> hold(shared.lock);
      shared.announced = k;
      shared.changed.notify_all();
    }
    if (workers.threads.empty()) {  // no thread could start: this one works
      shared.next = k + 1;
      encode(k, ownBuffer.get());
    }
    IoError error;
    {
      std::unique_lock<std::mutex> hold(shared.lock);
      shared.changed.wait(hold, [&] { return shared.done[k] != 0; });
      error = shared.errors[k];
    }
    allWritten &= reportFailure(outputs[k], error);
  }
  return allWritten;
}

}  // namespace

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
  std::vector<OutputPlan> outputs;
  for (int i = firstIndex(line.options); i < line.options.lastTrack; ++i) {
    for (OutputPlan& out : outputsOf(line, i)) outputs.push_back(std::move(out));
  }
  bool allWritten = line.format == OutputFormat::Flac
                        ? writeFlacFiles(line, dataFile, folder, albumOf(dataPath), outputs)
                        : writeWaveFiles(line, dataFile, folder, outputs);
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
