#include "app/app.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <limits>
#include <memory>

#include "platform/platform.h"
#include "wave/wave.h"

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
    "Usage: kvbgm2wav [setting ...]\n"
    "Writes every track of kvbgm.dat, in the current folder, as a WAV file there.\n"
    "\n"
    "Settings, each a letter and a number with no space between:\n"
    "  N     repeat: passes through each track, 1-10 (default 2)\n"
    "  fN    fade out the last N seconds of the last pass, 0-30 (default 0: no fade)\n"
    "  FN    play on N seconds past the last pass and fade those out, 0-30\n"
    "  pN    fade curve, 0-3 (default 0): 0 exponential, 1 linear,\n"
    "        2 a blend of both, 3 raised cosine\n"
    "  tN    only track N, 1-31 (default: all tracks)\n"
    "\n"
    "Examples:\n"
    "  kvbgm2wav 3 f10      every track, 3 passes, the last 10 seconds faded\n"
    "  kvbgm2wav t5 F8 p3   track 05 only, 2 passes and 8 more seconds fading out\n"
    "\n"
    "Exit status: 0 all tracks written, 1 data file or write error, 2 bad setting.\n";

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
  for (int i = 0; i < count; ++i) {
    const char* arg = args[i];
    switch (arg[0]) {
      case 'F': options.fade = saturate(-int64_t{readNumber(arg + 1)}); break;
      case 'f': options.fade = readNumber(arg + 1); break;
      case 'P':
      case 'p': options.fadePattern = readNumber(arg + 1); break;
      case 'T':
      case 't': options.firstTrack = options.lastTrack = readNumber(arg + 1); break;
      default: options.repeat = readNumber(arg); break;
    }
  }
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

void printBanner(const ExtractOptions& options) { writeStdout(bannerText(options)); }

int firstIndex(const ExtractOptions& options) {
  return options.firstTrack != 0 ? options.firstTrack - 1 : 0;
}

int runExtraction(const ExtractOptions& options) {
  FileHandle dataFile;
  int64_t size = 0;
  if (openDataFile(kDataFileName, &dataFile, &size) != kIoOk) {
    say("%s not found.", kDataFileName);
    return kExitFailed;
  }
  // A negative fade wraps inside the loop, so no track reads past its end.
  int64_t needed = trackEntry(options.lastTrack - 1).end;
  if (size < needed) {
    say("%s is too short: %lld bytes, need %lld\n", kDataFileName,
        static_cast<long long>(size), static_cast<long long>(needed));
    closeFile(&dataFile);
    return kExitFailed;
  }
  auto buffer = std::make_unique<ChunkBuffer>();
  bool allWritten = true;
  for (int i = firstIndex(options); i < options.lastTrack; ++i) {
    allWritten = renderTrack(dataFile, i, options, buffer.get()) && allWritten;
  }
  closeFile(&dataFile);
  return allWritten ? kExitOk : kExitFailed;
}

int runTool(int argc, const char* const* argv) {
  prepareCatalog();
  platformInit();
  for (int i = 1; i < argc; ++i) {
    if (std::strcmp(argv[i], "--help") == 0) {
      writeStdout(kUsage);
      return kExitOk;
    }
    if (std::strcmp(argv[i], "--version") == 0) {
      writeStdout("kvbgm2wav " KVBGM2WAV_VERSION "\n");
      return kExitOk;
    }
  }
  ExtractOptions options = parseOptions(argc - 1, argv + 1);
  if (argc > 1) {
    std::string message = validateOptions(options);
    if (!message.empty()) {
      writeStdout(message);
      return kExitBadSetting;
    }
  }
  printBanner(options);
  return runExtraction(options);
}
