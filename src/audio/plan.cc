// The plan of a track's file: its byte ranges, its fade and its loop.
#include <algorithm>
#include <cstdlib>
#include <cstring>

#include "audio/audio.h"

int64_t trackDataLength(const TrackEntry& entry, const RenderSettings& settings,
                        int32_t bytesPerSecond) {
  int64_t length = int64_t{entry.end} - entry.start +
                   (int64_t{entry.end} - entry.loopStart) * (settings.repeat - 1);
  if (settings.fade < 0) length += int64_t{-settings.fade} * bytesPerSecond;
  return length;
}

int64_t lengthFrames(int64_t nanoseconds, int32_t sampleRate) {
  return (nanoseconds * sampleRate + kNanosPerSecond / 2) / kNanosPerSecond;
}

LoopPoints chooseLoop(const TrackEntry& entry, const RenderSettings& settings,
                      int32_t sampleRate) {
  int64_t intro = (int64_t{entry.loopStart} - entry.start) / kFrameBytes;
  int64_t loop = (int64_t{entry.end} - entry.loopStart) / kFrameBytes;
  // Pass k (1-based) plays the loop segment at frames [intro + (k-1) loop,
  // intro + k loop). The fade of a negative `fade` follows the last pass.
  int64_t pass = settings.repeat;
  if (settings.length > 0) {
    int64_t clean = lengthFrames(settings.length, sampleRate);
    if (settings.fade > 0) clean -= int64_t{settings.fade} * sampleRate;
    pass = clean < intro ? 0 : (clean - intro) / loop;
  } else if (settings.fade > 0) {
    int64_t firstFaded = intro + settings.repeat * loop - int64_t{settings.fade} * sampleRate;
    pass = firstFaded < intro ? 0 : std::min<int64_t>(pass, (firstFaded - intro) / loop);
  }
  if (pass < 1) return {};
  return {true, static_cast<uint32_t>(intro + (pass - 1) * loop),
          static_cast<uint32_t>(intro + pass * loop - 1)};
}

TrackPlan planTrack(const TrackEntry& entry, const RenderSettings& settings,
                    int32_t sampleRate) {
  TrackPlan plan;
  plan.sampleRate = sampleRate;
  plan.pattern = settings.pattern;
  auto add = [&plan](int64_t from, int64_t to) {
    plan.ranges.push_back({from, to});
    plan.dataLength += to - from;
  };
  // `bytes` of the track played on from data-file offset `from`, starting
  // over at the loop start whenever it reaches the end.
  auto playOn = [&](int64_t from, int64_t bytes) {
    for (; bytes > 0; from = entry.loopStart) {
      int64_t n = std::min<int64_t>(bytes, int64_t{entry.end} - from);
      add(from, from + n);
      bytes -= n;
    }
  };
  int64_t bytesPerSecond = int64_t{sampleRate} * kFrameBytes;
  plan.fadeBytes = int64_t{std::abs(settings.fade)} * bytesPerSecond;
  int64_t playedOn = settings.fade < 0 ? plan.fadeBytes : 0;
  if (settings.length > 0) {
    // One stream, the intro and then the loop for as long as it plays: a
    // negative fade's seconds go on from where the length stops.
    playOn(entry.start, lengthFrames(settings.length, sampleRate) * kFrameBytes + playedOn);
  } else {
    add(entry.start, entry.end);
    for (int pass = 1; pass < settings.repeat; ++pass) add(entry.loopStart, entry.end);
    playOn(entry.loopStart, playedOn);
  }
  plan.fadeBytes = std::min(plan.fadeBytes, plan.dataLength);
  if (settings.loopPoints) plan.loop = chooseLoop(entry, settings, sampleRate);
  return plan;
}

TrackPlan planSection(int64_t from, int64_t to, int32_t sampleRate, bool loopWhole) {
  TrackPlan plan;
  plan.sampleRate = sampleRate;
  plan.ranges.push_back({from, to});
  plan.dataLength = to - from;
  if (loopWhole) plan.loop = {true, 0, static_cast<uint32_t>((to - from) / kFrameBytes - 1)};
  return plan;
}

IoError readRanges(FileHandle dataFile, const TrackPlan& plan, int64_t offset, void* out,
                   size_t n) {
  int64_t end = offset + static_cast<int64_t>(n);
  int64_t streamPos = 0;  // stream offset of the range r
  char* dest = static_cast<char*>(out);
  for (const ByteRange& r : plan.ranges) {
    if (streamPos >= end) break;  // a long plan has many ranges after it
    int64_t from = std::max(offset, streamPos);
    int64_t to = std::min(end, streamPos + (r.to - r.from));
    if (from < to) {
      IoError error = readAt(dataFile, r.from + (from - streamPos), dest + (from - offset),
                             static_cast<size_t>(to - from));
      if (error != kIoOk) return error;
    }
    streamPos += r.to - r.from;
  }
  return kIoOk;
}
