// The command line and the run: settings, their checks, the banner, and the
// loop over the selected tracks.
#pragma once

#include <cstdint>
#include <string>

#include "catalog/catalog.h"

// The settings of a run.
struct ExtractOptions {
  int32_t repeat = 2;        // passes through each track, 1..10
  int32_t fade = 0;          // seconds, -30..30: >0 fades the end of the last
                             // pass, <0 appends a faded continuation, 0 none
  int32_t fadePattern = 0;   // a FadePattern, 0..3
  int32_t firstTrack = 0;    // 0 (track 01) or 1..kTrackCount
  int32_t lastTrack = kTrackCount;  // 1..kTrackCount, inclusive
};

constexpr const char* kDataFileName = "kvbgm.dat";

// Exit statuses of the tool.
constexpr int kExitOk = 0;          // every selected track was written
constexpr int kExitFailed = 1;      // data file missing or short, or a track failed
constexpr int kExitBadSetting = 2;  // a setting was rejected

// Reads the decimal number at the start of `text` the way every setting is
// read: leading white space, one optional sign, digits up to the first
// non-digit; no digits read as 0; trailing text is ignored. A number beyond
// the 32-bit range reads as INT32_MAX or INT32_MIN.
int32_t readNumber(const char* text);

// Turns the arguments after the program name into settings, left to right,
// later ones overriding earlier ones. The first character picks the setting:
// F (fade, negated), f (fade), P/p (fadePattern), T/t (one track); anything
// else, and an empty argument, is the repeat count read from the whole
// argument. Never fails; out-of-range values are left for validateOptions.
ExtractOptions parseOptions(int count, const char* const* args);

// The message of the first failed check (repeat, fade, fadePattern, track,
// in that order), with its line feed; empty when every setting is valid.
std::string validateOptions(const ExtractOptions& options);

// The settings line, "track=%d-%d , repeat=%d , ...\n".
std::string bannerText(const ExtractOptions& options);
void printBanner(const ExtractOptions& options);

// The catalogue index of the first selected track.
int firstIndex(const ExtractOptions& options);

// Opens kvbgm.dat in the current folder, checks that it holds every byte the
// selected tracks need, and writes each selected track in catalogue order.
// Prints a message for every failure. Returns kExitOk when every track was
// written, kExitFailed otherwise. Requires prepareCatalog() and valid options.
int runExtraction(const ExtractOptions& options);

// The whole tool: prepares the catalogue, handles --help and --version,
// reads and checks the settings, prints the banner and runs. Returns the
// exit status.
int runTool(int argc, const char* const* argv);
