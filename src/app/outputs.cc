// What a run writes: the output files of each selected track, their names,
// and the listing of --list.
#include <algorithm>
#include <cstdio>
#include <cstdlib>

#include "app/app.h"
#include "loudness/loudness.h"
#include "ogg/ogg.h"
#include "platform/platform.h"
#include "utf8/utf8.h"

namespace {

// The name of an output file of catalogue index `index`: the track's name
// with `part` (" (intro)", " (loop)" or "") before the extension.
std::string outputName(const CommandLine& line, int index, const char* part) {
  std::string name = trackFileName(index);
  return name.substr(0, name.size() - 4) + part + formatExtension(line.format);  // without ".wav"
}

// The output files of catalogue index i: one, or the intro and the loop.
std::vector<OutputPlan> outputsOf(const CommandLine& line, int index) {
  TrackEntry entry = trackEntry(index);
  int32_t rate = sampleRateFor(trackFileName(index));
  std::string name = trackFileName(index);
  std::string title = name.substr(3, name.size() - 7);  // without "NN " and ".wav"
  if (!line.split) {
    return {{outputName(line, index, ""), planTrack(entry, renderSettings(line), rate), title,
             index + 1, 0}};
  }
  return {{outputName(line, index, " (intro)"),
           planSection(entry.start, entry.loopStart, rate, false), title + " (intro)", index + 1,
           1},
          {outputName(line, index, " (loop)"),
           planSection(entry.loopStart, entry.end, rate, line.loopPoints), title + " (loop)",
           index + 1, 2}};
}

std::string padded(const std::string& text, int width) {
  return text + std::string(static_cast<size_t>(std::max(0, width - displayWidth(text))), ' ');
}

}  // namespace

std::vector<Tag> fileTags(const OutputPlan& out, const std::string& album,
                         const std::vector<Tag>& userTags) {
  AlbumPlace place = albumPlace(out);
  return trackTags({out.title, place.number, album, place.total}, out.plan.loop, userTags);
}

AlbumPlace albumPlace(const OutputPlan& out) {
  if (out.part == 0) return {out.trackNumber, kTrackCount};
  return {2 * out.trackNumber - 2 + out.part, 2 * kTrackCount};
}

std::vector<OutputPlan> plannedOutputs(const CommandLine& line) {
  std::vector<OutputPlan> outputs;
  for (int i = firstIndex(line.options); i < line.options.lastTrack; ++i) {
    for (OutputPlan& out : outputsOf(line, i)) outputs.push_back(std::move(out));
  }
  return outputs;
}

std::string dataFilePath(const CommandLine& line) {
  if (line.dataPath.empty()) return kDataFileName;
  if (isPathSeparator(line.dataPath.back()) || pathKind(line.dataPath) == PathKind::Folder) {
    return joinPath(line.dataPath, kDataFileName);
  }
  return line.dataPath;
}

std::string albumOf(const std::string& dataPath) {
  std::string name = dataPath.substr(folderOf(dataPath).size());
  while (!name.empty() && isPathSeparator(name.front())) name.erase(0, 1);
  size_t dot = name.rfind('.');
  return dot == std::string::npos || dot == 0 ? name : name.substr(0, dot);
}

std::string formatDuration(int64_t frames, int32_t sampleRate) {
  int64_t ms = (frames * 1000 + sampleRate / 2) / sampleRate;
  char text[32];
  std::snprintf(text, sizeof text, "%lld:%02lld.%03lld", static_cast<long long>(ms / 60000),
                static_cast<long long>(ms / 1000 % 60), static_cast<long long>(ms % 1000));
  return text;
}

std::string listText(const CommandLine& line, bool forTerminal) {
  struct Row {
    std::string cells[6];
  };
  std::vector<Row> rows = {{{"track", "file", "rate", "intro", "loop", "length"}}};
  for (const OutputPlan& out : plannedOutputs(line)) {
    int i = out.trackNumber - 1;
    TrackEntry e = trackEntry(i);
    int32_t rate = out.plan.sampleRate;
    char number[16];
    std::snprintf(number, sizeof number, "%02d", out.trackNumber);
    rows.push_back({{number, out.name, std::to_string(rate),
                     formatDuration((e.loopStart - e.start) / kFrameBytes, rate),
                     formatDuration((e.end - e.loopStart) / kFrameBytes, rate),
                     formatDuration(out.plan.dataLength / kFrameBytes, rate)}});
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

std::string checkFileTags(const CommandLine& line) {
  if (line.format != OutputFormat::Ogg) return "";
  // The ReplayGain values at their widest: a gain of -99.99 dB (9
  // characters; 16-bit audio is never loud enough for a gain below -22 dB)
  // and peaks of six decimals (8 characters), so that the tags checked are
  // never shorter than those the run writes. Each of the four comments is
  // then 30 or 31 bytes long whatever its value, a length that may follow a
  // loop value, so the widths move no tag from where layoutTags puts it.
  std::vector<Tag> replayGain;
  if (line.replayGain) {
    double loudness = kReplayGainReference + 99.99;  // a gain of -99.99 dB
    replayGain = replayGainTags(loudness, 32767, loudness, 32767);
  }
  std::string album = toValidUtf8(albumOf(dataFilePath(line)));
  size_t vendor = oggVendorBytes();
  for (const OutputPlan& out : plannedOutputs(line)) {
    std::vector<Tag> tags = fileTags(out, album, line.tags);
    tags.insert(tags.end(), replayGain.begin(), replayGain.end());
    TagLayout layout = layoutTags(tags, vendor);
    if (!layout.placed) {
      return "tag " + layout.inTheWay + " is in the way of the loop tags of " + out.name +
             ": its comment of " + std::to_string(layout.inTheWayBytes) +
             " bytes would read as a digit after a loop value, and after the other tags the "
             "loop tags would start past byte " + std::to_string(kLoopTagReach) +
             " of the comment header\n";
    }
    size_t empty = commentPacketBytes({}, vendor);
    size_t bytes = commentPacketBytes(tags, vendor);
    if (bytes > kMaxCommentPacketBytes) {
      return "the tags of " + out.name + " take " + std::to_string(bytes - empty) +
             " bytes, but at most " + std::to_string(kMaxCommentPacketBytes - empty) +
             " bytes of tags fit in an Ogg file's comment header (4 bytes a tag and its "
             "NAME=VALUE)\n";
    }
  }
  return "";
}
