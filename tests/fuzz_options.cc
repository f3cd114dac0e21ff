// libFuzzer target for the command line: any list of arguments of any bytes
// must give either settings inside their ranges (and a well-formed banner)
// or exactly one refusal, a single printable line, and every number must
// read as the grammar says, saturating beyond 32 bits. An unknown option or
// a word that names nothing is never run past; a file name that names
// nothing becomes the data path, to be reported missing.
//
// The input is split into arguments at NUL bytes, as argv would hold them.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string>
#include <vector>

#include "app/app.h"
#include "utf8/utf8.h"
#include "platform/platform.h"
#include "tags/tags.h"

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

// True when `text` is well-formed UTF-8 with no control character: every
// code point decoded, in its shortest form, and neither a surrogate nor
// past U+10FFFF.
bool isPrintableUtf8(const std::string& text) {
  for (size_t i = 0; i < text.size();) {
    auto lead = static_cast<unsigned char>(text[i]);
    size_t n = lead < 0x80 ? 1 : (lead >> 5) == 0x6 ? 2 : (lead >> 4) == 0xe ? 3
             : (lead >> 3) == 0x1e ? 4 : 0;
    if (n == 0 || i + n > text.size()) return false;
    uint32_t c = n == 1 ? lead : lead & (0x7fu >> n);
    for (size_t k = 1; k < n; ++k) {
      auto next = static_cast<unsigned char>(text[i + k]);
      if ((next & 0xc0) != 0x80) return false;
      c = c << 6 | (next & 0x3fu);
    }
    const uint32_t shortest[] = {0, 0, 0x80, 0x800, 0x10000};
    if (c < shortest[n] || c > 0x10ffff || (c >= 0xd800 && c <= 0xdfff)) return false;
    if (c < 0x20 || (c >= 0x7f && c < 0xa0)) return false;
    i += n;
  }
  return true;
}

// How the command line must read an argument that is not an option.
enum class Expect { Anything, Refused, DataPath };

Expect expectationFor(const std::string& a, bool optionsEnded) {
  // A path, or a name that is there, may be the data path or a setting.
  if (a.find('/') != std::string::npos || pathKind(a) != PathKind::Missing) {
    return Expect::Anything;
  }
  if (!optionsEnded && a.size() > 1 && a[0] == '-' && !(a[1] >= '0' && a[1] <= '9')) {
    return Expect::Refused;  // an unknown option
  }
  // A dot and a letter: a file name, so a data file that is not there.
  for (size_t k = 0; k + 1 < a.size(); ++k) {
    char c = a[k + 1];
    if (a[k] == '.' && ((c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z'))) return Expect::DataPath;
  }
  bool letter = !a.empty() && std::strchr("FfPpTt", a[0]) != nullptr;
  size_t i = a.find_first_not_of(" \t\n\v\f\r");
  if (i != std::string::npos && (a[i] == '+' || a[i] == '-')) ++i;
  bool number = i < a.size() && a[i] >= '0' && a[i] <= '9';
  if (letter || number) return Expect::Anything;
  return a.find('.') != std::string::npos ? Expect::DataPath : Expect::Refused;
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
  prepareCatalog();  // checkCommandLine plans the files
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
    std::string shown = printable(a);
    check(isPrintableUtf8(shown));
    if (isPrintableUtf8(a)) check(shown == a);
  }

  // The whole command line: whatever it holds, a refused one says why in
  // one printable line; an accepted one has valid settings, no --split with
  // play settings, no --list with -o, and nothing in it that is an unknown
  // option or a word that names nothing.
  CommandLine whole = parseCommandLine(static_cast<int>(argv.size()), argv.data());
  std::string refusal = checkCommandLine(whole);
  if (!refusal.empty()) {
    check(refusal.back() == '\n');
    check(isPrintableUtf8(refusal.substr(0, refusal.size() - 1)));
  } else {
    check(validateOptions(whole.options).empty());
    check(!(whole.split && whole.playSettings));
    check(!(whole.list && !whole.outputFolder.empty()));
    check(whole.error.empty());
    // Only FLAC files take a level, only Ogg files a quality, and only the
    // two of them tags and ReplayGain, each tag well-formed and none of the
    // names the tool writes itself.
    bool flac = whole.format == OutputFormat::Flac;
    bool ogg = whole.format == OutputFormat::Ogg;
    check(whole.compression >= -1 && whole.compression <= (flac ? 8 : -1));
    check(ogg || !whole.hasQuality);
    check(whole.quality >= -1.0f && whole.quality <= 10.0f);
    check(flac || ogg || (whole.tags.empty() && !whole.replayGain));
    for (const Tag& tag : whole.tags) {
      check(isValidTagName(tag.name) && isValidUtf8(tag.value));
      // No name a loop reader takes for loop metadata.
      for (const char* between : {"", "_", "-"}) {
        for (const char* what : {"START", "END", "LENGTH"}) {
          check(!sameTagName(tag.name, std::string("LOOP") + between + what));
        }
      }
      check(!sameTagName(tag.name, "LOOP") && !sameTagName(tag.name, "LOOPS"));
      if (whole.replayGain) check(!sameTagName(tag.name.substr(0, 11), "REPLAYGAIN_"));
    }
    // A length lies within 1 second and 10 hours, comes without a repeat
    // count or --split, holds its fade, and reads back from the text that
    // the settings line shows of it.
    if (whole.length != 0) {
      check(whole.length >= kNanosPerSecond && whole.length <= kMaxLength);
      check(!whole.repeatGiven && !whole.split);
      check(int64_t{whole.options.fade} * kNanosPerSecond <= whole.length);
      std::string shown = lengthText(whole.length);
      int64_t again = 0;
      check(readLength(shown, &again) && again == whole.length);
      check(lengthBannerText(whole).find(", length=" + shown + " ,") != std::string::npos);
    }
    bool optionsEnded = false;
    for (size_t i = 0; i < args.size(); ++i) {
      const std::string& a = args[i];
      if (!optionsEnded) {
        if (a == "--") {
          optionsEnded = true;
          continue;
        }
        // The options as the table gives them: one with a value takes the
        // next argument, or its value after "=".
        bool option = false, takesNext = false;
        for (size_t t = 0; t < kOptionCount; ++t) {
          const OptionRow& row = kOptionTable[t];
          bool named = a == row.name || (row.alias != nullptr && a == row.alias);
          bool withValue = row.value != nullptr && a.rfind(std::string(row.name) + "=", 0) == 0;
          if (named || withValue) option = true;
          if (named && row.value != nullptr) takesNext = true;
        }
        if (takesNext) ++i;  // its value
        if (option) continue;
      }
      Expect expect = expectationFor(a, optionsEnded);
      check(expect != Expect::Refused);
      if (expect == Expect::DataPath) check(whole.dataPath == a);
    }
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
