// libFuzzer target for the command line: any list of arguments of any bytes
// must give either settings inside their ranges (and a well-formed banner)
// or exactly the message of the first failed check, and every number must
// read as the grammar says, saturating beyond 32 bits.
//
// The input is split into arguments at NUL bytes, as argv would hold them.
#include <cstdint>
#include <cstdio>
#include <string>
#include <vector>

#include "app/app.h"

namespace {

void check(bool ok) {
  if (!ok) __builtin_trap();
}

// readNumber's grammar, written independently with a wide accumulator.
int64_t expectedNumber(const std::string& text) {
  size_t i = 0;
  while (i < text.size() && std::string(" \t\n\v\f\r").find(text[i]) != std::string::npos) ++i;
  bool negative = false;
  if (i < text.size() && (text[i] == '+' || text[i] == '-')) negative = text[i++] == '-';
  __int128 value = 0;
  for (; i < text.size() && text[i] >= '0' && text[i] <= '9'; ++i) {
    if (value < (__int128{1} << 40)) value = value * 10 + (text[i] - '0');
  }
  if (negative) value = -value;
  if (value > INT32_MAX) return INT32_MAX;
  if (value < INT32_MIN) return INT32_MIN;
  return static_cast<int64_t>(value);
}

std::string firstFailure(const ExtractOptions& o) {
  if (o.repeat < 1 || o.repeat > 10) return "repeat must be 1-10\n";
  if (o.fade < -30 || o.fade > 30) return "fade must be 0-30\n";
  if (o.fadePattern < 0 || o.fadePattern > 3) return "fade pattern must be 0-3\n";
  if (o.firstTrack < 0 || o.lastTrack < 1 || o.lastTrack > 31) return "track number must be 1-31\n";
  return "";
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  std::vector<std::string> args;
  if (size > 0) {
    std::string all(reinterpret_cast<const char*>(data), size);
    size_t from = 0;
    for (size_t nul; (nul = all.find('\0', from)) != std::string::npos; from = nul + 1) {
      args.push_back(all.substr(from, nul - from));
    }
    args.push_back(all.substr(from));
  }
  std::vector<const char*> argv;
  for (const std::string& a : args) argv.push_back(a.c_str());

  for (const std::string& a : args) {
    check(readNumber(a.c_str()) == expectedNumber(a));
    if (!a.empty()) check(readNumber(a.c_str() + 1) == expectedNumber(a.substr(1)));
  }

  // The whole command line: whatever it holds, an accepted one has valid
  // settings, at most one data path and no --split with play settings.
  CommandLine whole = parseCommandLine(static_cast<int>(argv.size()), argv.data());
  if (checkCommandLine(whole).empty()) {
    check(validateOptions(whole.options).empty());
    check(!(whole.split && whole.playSettings));
    check(whole.error.empty());
  }

  ExtractOptions o = parseOptions(static_cast<int>(argv.size()), argv.data());
  std::string message = validateOptions(o);
  check(message == firstFailure(o));
  if (argv.empty()) check(message.empty());
  if (!message.empty()) return 0;

  check(o.repeat >= 1 && o.repeat <= 10);
  check(o.fade >= -30 && o.fade <= 30);
  check(o.fadePattern >= 0 && o.fadePattern <= 3);
  check(o.lastTrack >= 1 && o.lastTrack <= kTrackCount);
  check(o.firstTrack == 0 || o.firstTrack == o.lastTrack);
  int first = firstIndex(o);
  check(first >= 0 && first < o.lastTrack);
  char line[128];
  std::snprintf(line, sizeof line, "track=%d-%d , repeat=%d , fade=%d , fade pattern=%d\n",
                first + 1, o.lastTrack, o.repeat, o.fade, o.fadePattern);
  check(bannerText(o) == line);
  return 0;
}
