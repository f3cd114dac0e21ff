// Play lengths: --length read and shown, what it cannot go with, and the
// limits of the WAV files it asks for: their 32-bit sizes and the room on
// the disk.
#include <algorithm>
#include <cstdio>

#include "app/app.h"
#include "platform/platform.h"
#include "utf8/utf8.h"
#include "wave/wave.h"

namespace {

bool allDigits(const std::string& text) {
  return !text.empty() &&
         std::all_of(text.begin(), text.end(), [](char c) { return c >= '0' && c <= '9'; });
}

// `bytes` in MiB, or GiB from 1 GiB on, rounded up or down.
std::string bytesText(int64_t bytes, bool roundUp) {
  bool gib = bytes >= (int64_t{1} << 30);
  int64_t unit = gib ? (int64_t{1} << 30) / 100 : (int64_t{1} << 20) / 10;
  int64_t units = (bytes + (roundUp ? unit - 1 : 0)) / unit;
  char text[48];
  std::snprintf(text, sizeof text, gib ? "%lld.%02lld GiB" : "%lld.%lld MiB",
                static_cast<long long>(units / (gib ? 100 : 10)),
                static_cast<long long>(units % (gib ? 100 : 10)));
  return text;
}

// 4294967303 as "4,294,967,303".
std::string groupedDigits(int64_t value) {
  std::string digits = std::to_string(value);
  std::string grouped;
  for (size_t k = 0; k < digits.size(); ++k) {
    if (k > 0 && (digits.size() - k) % 3 == 0) grouped += ',';
    grouped += digits[k];
  }
  return grouped;
}

}  // namespace

bool readLength(const std::string& text, int64_t* nanoseconds) {
  std::vector<std::string> fields;
  for (size_t from = 0;;) {
    size_t colon = text.find(':', from);
    fields.push_back(text.substr(from, colon == std::string::npos ? colon : colon - from));
    if (colon == std::string::npos) break;
    from = colon + 1;
  }
  if (fields.size() > 3) return false;
  int64_t fraction = 0;  // nanoseconds
  size_t dot = fields.back().find('.');
  if (dot != std::string::npos) {
    std::string digits = fields.back().substr(dot + 1);
    if (!allDigits(digits) || digits.size() > 9) return false;
    fraction = std::stoll(digits + std::string(9 - digits.size(), '0'));
    fields.back().erase(dot);
  }
  int64_t seconds = 0;
  for (size_t k = 0; k < fields.size(); ++k) {
    const std::string& field = fields[k];
    if (!allDigits(field)) return false;
    if (k > 0 && (field.size() != 2 || field[0] > '5')) return false;
    int64_t value = 0;
    // Past a million the value only has to stay out of range.
    for (char c : field) value = std::min<int64_t>(value * 10 + (c - '0'), 1000000);
    seconds = seconds * 60 + value;
  }
  int64_t total = seconds * kNanosPerSecond + fraction;
  if (total < kNanosPerSecond || total > kMaxLength) return false;
  *nanoseconds = total;
  return true;
}

std::string lengthMessage(const std::string& text) {
  return "--length must be 1 second to 10 hours, as SS, MM:SS or H:MM:SS (90, 3:00, "
         "1:00:00, 59:59.5): " + printable(text) + "\n";
}

std::string lengthText(int64_t nanoseconds) {
  long long seconds = nanoseconds / kNanosPerSecond;
  char text[64];
  if (seconds >= 3600) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld", seconds / 3600, seconds / 60 % 60,
                  seconds % 60);
  } else {
    std::snprintf(text, sizeof text, "%lld:%02lld", seconds / 60, seconds % 60);
  }
  std::string shown = text;
  if (int64_t fraction = nanoseconds % kNanosPerSecond) {
    std::snprintf(text, sizeof text, "%09lld", static_cast<long long>(fraction));
    std::string digits = text;
    shown += '.';
    shown += digits.substr(0, digits.find_last_not_of('0') + 1);
  }
  return shown;
}

std::string lengthBannerText(const CommandLine& line) {
  const ExtractOptions& options = line.options;
  char text[160];
  std::snprintf(text, sizeof text, "track=%d-%d , length=%s , fade=%d , fade pattern=%d\n",
                firstIndex(options) + 1, options.lastTrack, lengthText(line.length).c_str(),
                options.fade, options.fadePattern);
  return text;
}

std::string checkLength(const CommandLine& line) {
  if (line.length <= 0) return "";
  if (line.repeatGiven) {
    return "--length sets how long each file plays, in place of a repeat count: give one "
           "or the other\n";
  }
  if (line.split) return "--split writes the intro and the loop once each: no --length\n";
  int32_t fade = line.options.fade;
  if (fade > 0 && int64_t{fade} * kNanosPerSecond > line.length) {
    return "a fade of the last " + std::to_string(fade) + " seconds does not fit in --length=" +
           lengthText(line.length) + "\n";
  }
  return "";
}

std::string checkWaveSizes(const CommandLine& line) {
  if (line.format != OutputFormat::Wav || line.length <= 0) return "";
  for (const OutputPlan& out : plannedOutputs(line)) {
    if (waveFits(out.plan)) continue;
    return printable(out.name) + " would be " + groupedDigits(waveFileBytes(out.plan)) +
           " bytes, past the 4 GiB a WAV file can hold (" + groupedDigits(kMaxRiffSize + 8) +
           " bytes): write FLAC files with --format=flac, or ask a shorter --length\n";
  }
  return "";
}

int64_t spaceNeeded(const std::vector<int64_t>& sizes, const std::vector<int64_t>& freed,
                    int64_t blockBytes) {
  auto blocks = [blockBytes](int64_t bytes) {
    return (bytes + blockBytes - 1) / blockBytes * blockBytes;
  };
  int64_t taken = 0;  // beyond what is there now, once the files so far are in place
  int64_t most = 0;
  for (size_t k = 0; k < sizes.size(); ++k) {
    // The new file is complete before the old one goes.
    most = std::max(most, taken + blocks(sizes[k]));
    taken += blocks(sizes[k]) - (k < freed.size() ? blocks(freed[k]) : 0);
  }
  return most;
}

bool haveRoomFor(const CommandLine& line, const std::string& folder,
                 const std::vector<OutputPlan>& outputs) {
  if (line.format != OutputFormat::Wav || line.length <= 0) return true;
  DiskSpace space;
  if (diskSpace(folder, &space) != kIoOk) return true;  // the writes will tell
  std::vector<int64_t> sizes, freed;
  for (const OutputPlan& out : outputs) {
    sizes.push_back(waveFileBytes(out.plan));
    freed.push_back(spaceFreedByReplacing(joinPath(folder, out.name)));
  }
  int64_t needed = spaceNeeded(sizes, freed, space.blockBytes);
  if (needed <= space.available) return true;
  say("not enough free space in %s: the WAV %s %s, %s is free (FLAC files take less: "
      "--format=flac)\n",
      printable(folder.empty() ? "." : folder).c_str(),
      outputs.size() == 1 ? "file needs" : "files need", bytesText(needed, true).c_str(),
      bytesText(space.available, false).c_str());
  return false;
}

const char* noLoopReason(const CommandLine& line, const OutputPlan& out) {
  if (line.length > 0) {
    RenderSettings unfaded = renderSettings(line);
    unfaded.fade = 0;
    if (!chooseLoop(trackEntry(out.trackNumber - 1), unfaded, out.plan.sampleRate).present) {
      return "the file ends before one whole pass of the loop";
    }
  }
  return "the fade reaches into every pass of the loop";
}
