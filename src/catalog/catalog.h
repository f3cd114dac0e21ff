// The built-in description of kvbgm.dat: where each of the 31 tracks lies,
// where its loop begins, what its output file is called and how fast it plays.
//
// kvbgm.dat is raw 16-bit signed little-endian stereo PCM (4-byte frames,
// left then right). Its first 16 bytes are never read; the tracks follow
// back to back, each track's end being the next track's start.
#pragma once

#include <cstdint>

constexpr int kTrackCount = 31;
constexpr int kFrameBytes = 4;             // one 16-bit stereo frame
constexpr int kTrackNameSlotBytes = 50;    // a name in code page 932, plus the NUL
constexpr int64_t kDataFileBytes = 492019608;  // the last track's end

// One catalogue row. While the tool runs (after prepareCatalog) all three
// fields are absolute byte offsets into kvbgm.dat: the intro is
// [start, loopStart), the loop segment [loopStart, end).
struct TrackEntry {
  int32_t start;
  int32_t loopStart;
  int32_t end;
};

// The marker that variant rows carry in their file names, UTF-8
// ("（ハーフレート）", 16 bytes in code page 932). Variant rows hold the
// previous row's piece at half the sample rate.
extern const char kVariantMarker[];

// Turns the stored rows (loopStart and end relative to start) into absolute
// offsets. Call once at start-up, before any other function here; later
// calls do nothing.
void prepareCatalog();

// The absolute row of catalogue index 0..kTrackCount-1 (track 01 is 0).
// Requires prepareCatalog() to have run and a valid index.
TrackEntry trackEntry(int index);

// The output file name of catalogue index 0..kTrackCount-1: a NUL-terminated
// UTF-8 string, "NN title.wav", with kVariantMarker before ".wav" in variant
// rows; in code page 932 each name fits kTrackNameSlotBytes with its NUL.
const char* trackFileName(int index);

// 22050 if the byte string `name` contains kVariantMarker (a plain byte
// search), else 44100. Frames per second of the track with that name.
int32_t sampleRateFor(const char* name);
