// The command line and the run: the settings grammar, the table of options
// (which also makes --help), the output names and the listing, and the run
// that writes each selected track in catalogue order through a writer and
// the ordered pool. The only module that prints.
#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "audio/audio.h"
#include "catalog/catalog.h"
#include "ogg/ogg.h"
#include "tags/tags.h"

// ---- Settings (cli.cc; their table and checks, options.cc) ----

// The settings of a run. What each may hold is the table's (kSettingTable);
// the defaults are these.
struct ExtractOptions {
  int32_t repeat = 2;        // passes through each track
  int32_t fade = 0;          // seconds: >0 fades the end of the last pass,
                             // <0 appends a faded continuation, 0 none
  int32_t fadePattern = 0;   // a FadePattern
  int32_t firstTrack = 0;    // 0 (track 01) or the first track's number
  int32_t lastTrack = kTrackCount;  // the last track's number, inclusive
};

// The settings, one row for each line of them in --help. A setting is one
// argument, a letter (or none) directly followed by a number N that
// readNumber reads; `sets` (and `alsoSets`) then hold sign * N. The parser,
// validateOptions and --help read them from here.
struct SettingRow {
  const char* letters;                 // the letters that start it ("pP"); ""
                                       // for a bare number
  int32_t ExtractOptions::*sets;       // the setting that N sets
  int32_t ExtractOptions::*alsoSets;   // another one set alike, or nullptr
  int32_t sign;                        // 1, or -1 when the setting holds -N
  int32_t min, max;                    // the range of N
  const char* name;                    // as refused: "<name> must be <min>-<max>"
  bool plays;                          // changes how a track plays: not with --split
  const char* help;                    // what --help says, lines apart by '\n';
                                       // "{range}" is "<min>-<max>", "{default}"
                                       // the default of `sets`
};

// The table, in the order --help shows it, and its length. Exactly one row
// has no letter; no letter starts two rows.
extern const SettingRow kSettingTable[];
extern const size_t kSettingCount;

// The row that reads an argument starting with `c`: the one whose letters
// hold it, else the row of a bare number.
const SettingRow& settingRow(char c);

// The refusal of a number out of `row`'s range, "fade must be 0-30\n".
std::string settingRefusal(const SettingRow& row);

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
// later ones overriding earlier ones. The first character picks the row of
// kSettingTable that starts with it, and the number after it sets what that
// row sets; anything else, and an empty argument, is the row of a bare
// number, read from the whole argument. Never fails; out-of-range values
// are left for validateOptions.
ExtractOptions parseOptions(int count, const char* const* args);

// The message of the first failed check, with its line feed, or "" when
// every setting is valid. The rows of kSettingTable are checked in order,
// each the settings it sets: valid is the default or a value that some row
// gives from a number in its range. The message is the first failing row's
// ("fade must be 0-30").
std::string validateOptions(const ExtractOptions& options);

// The settings line, "track=%d-%d , repeat=%d , ...\n".
std::string bannerText(const ExtractOptions& options);

// The catalogue index of the first selected track.
int firstIndex(const ExtractOptions& options);

// True when `arg` is a setting written strictly: an optional letter of
// kSettingTable, an optional sign and at least one digit, nothing else.
bool isStrictSetting(const std::string& arg);

// ---- The command line (cli.cc) ----

// The kind of file the run writes.
enum class OutputFormat { Wav, Flac, Ogg };

// The whole command line: the settings, where the data is, where the files
// go, and the options that start with dashes.
struct CommandLine {
  ExtractOptions options;
  std::string dataPath;      // the data file or its folder; "" for kvbgm.dat here
  std::string outputFolder;  // from -o; "" for the data file's folder
  bool help = false;
  bool version = false;
  bool list = false;         // print the files it would write instead
  bool loopPoints = false;   // mark a loop in every file ("smpl" chunk)
  bool split = false;        // intro and loop as two files per track
  bool playSettings = false; // a setting that plays (SettingRow::plays) was given
  bool repeatGiven = false;  // a repeat count (N) was given
  int64_t length = 0;        // from --length, in nanoseconds; 0 if not given
  OutputFormat format = OutputFormat::Wav;  // from --format
  int compression = -1;      // FLAC level 0..8 from --compression; -1 if not given
  bool hasQuality = false;   // --quality was given
  float quality = kOggDefaultQuality;  // Ogg Vorbis quality from --quality
  std::vector<Tag> tags;     // from --tag, in order; an empty value removes
  bool replayGain = false;   // ReplayGain 2.0 tags on every file (--replaygain)
  std::string error;         // why the arguments were refused, with its line
                             // feed; empty when they were not
};

// The dashed options, one row each: what the command line reads and what
// --help says of it.
enum class Option {
  Output, List, Length, LoopPoints, Split, Format, Compression, Quality, Tag, ReplayGain,
  EndOfOptions, Help, Version
};

struct OptionRow {
  const char* name;   // the long form, "--output"
  const char* alias;  // a short form ("-o"), or nullptr
  const char* value;  // what its value is ("a folder"), or nullptr for none;
                      // given as the next argument or after "=" in the long form
  Option option;
  const char* usage;  // how --help shows its forms; nullptr to show none
  const char* help;   // what --help says it does, lines apart by '\n'
};

// The table, in the order --help shows it, and its length.
extern const OptionRow kOptionTable[];
extern const size_t kOptionCount;

// What --help prints: the usage, the settings from kSettingTable, the
// options from kOptionTable, examples and exit statuses.
std::string usageText();

// Reads the arguments after the program name, left to right.
//  - Options: those of kOptionTable. "--" ends the options: every argument
//    after it is a setting or the data path.
//  - The data path (one at most): an argument that contains a path
//    separator, or names an existing file or folder and is not a valid
//    setting written strictly (isStrictSetting), or names nothing, does not
//    start a setting and has a dot ("renamed.bni", to be reported missing).
//  - Refused: any other argument that starts with '-' and a non-digit
//    ("unknown option ..."), and any other one that neither starts with a
//    setting letter nor starts a number (refused as a bare number out of
//    range, "repeat must be 1-10"), whatever follows it.
//  - Every other argument is a setting, as parseOptions reads it.
// Settings are not checked here (validateOptions). Only the first refusal
// is kept; names in it are shown as printable() shows them.
CommandLine parseCommandLine(int count, const char* const* args);

// The message that refuses this command line, with its line feed: its own
// error, the first failed setting, a --length that the others refuse
// (checkLength), --split with a repeat or fade setting,
// --list with an output folder, an option of a format the run does not
// write, --replaygain with a --tag of a REPLAYGAIN_ name (the measured
// values would be overridden), or the tags of a file (checkFileTags).
// Empty when it may run. Requires prepareCatalog().
std::string checkCommandLine(const CommandLine& line);

// How each track of this run is played.
RenderSettings renderSettings(const CommandLine& line);

// ---- Output names and the listing (outputs.cc) ----

// One file of the run: its name, what it holds and its title tag.
struct OutputPlan {
  std::string name;   // "01 序章.wav", "01 序章 (intro).flac"
  TrackPlan plan;
  std::string title;  // the name without its number and extension
  int trackNumber = 0;
  int part = 0;       // 0 the whole track, 1 its intro, 2 its loop (--split)
};

// Where a file stands in the album of its run, for its TRACKNUMBER and
// TRACKTOTAL tags: the track's number of 31 for a whole track; with
// --split the files in playing order across all 62, the intro of track N
// 2N - 1 and its loop 2N, whichever tracks the run writes.
struct AlbumPlace {
  int number;
  int total;
};
AlbumPlace albumPlace(const OutputPlan& out);

// The tags of the FLAC or Ogg file `out` before any ReplayGain tag: its
// title, its album place (albumPlace), `album`, its loop, then `userTags`
// (see trackTags).
std::vector<Tag> fileTags(const OutputPlan& out, const std::string& album,
                          const std::vector<Tag>& userTags);

// The files this command line writes, in the order it writes them: one per
// selected track, or its intro and its loop with --split.
std::vector<OutputPlan> plannedOutputs(const CommandLine& line);

// The data file that `line` names: kvbgm.dat in the current folder when it
// names none, or in the folder it names.
std::string dataFilePath(const CommandLine& line);

// The data file's name without its folder and extension: the album of the
// tracks it holds.
std::string albumOf(const std::string& dataPath);

// The message that refuses the tags of the files of `line`, with its line
// feed, or "" (always for WAV files): an Ogg file whose loop tags
// layoutTags cannot place, or whose comment packet would pass
// kMaxCommentPacketBytes. Each planned file is checked with the tags that
// the run gives it, its ReplayGain values taken at their widest.
std::string checkFileTags(const CommandLine& line);

// `frames` at `sampleRate` as m:ss.mmm, rounded to the millisecond.
std::string formatDuration(int64_t frames, int32_t sampleRate);

// The files this command line writes, one row each, in the order it writes
// them: track number, file name, sample rate, the track's intro and loop
// lengths, and the length of the file. Aligned columns for a terminal, else
// tab-separated values under a header line.
std::string listText(const CommandLine& line, bool forTerminal);

// ---- The writers (writers.cc) ----

struct WaveWriter;
struct WaveWriterFree {
  void operator()(WaveWriter* writer) const;
};

// What the writers of one run share, owned by the run: set up by the main
// thread before any job starts (WriterRow::prepare), then only read by the
// jobs, on any thread, except `wave`, which one job at a time uses.
struct WriterShared {
  const CommandLine* line = nullptr;
  FileHandle dataFile;
  FadeGains fades;        // the fade gains of every file of the run
  std::unique_ptr<WaveWriter, WaveWriterFree> wave;  // the WAV writer's memory
};

// One file for a writer: what it holds, and what the run knows of it. Made
// and read by the job that writes the file; decodedPeak is read by the main
// thread once the job is taken.
struct FileJob {
  const OutputPlan* out = nullptr;
  std::vector<Tag> tags;      // a tagged format's tags, ReplayGain's included
  StreamCheck expect;         // the audio the ReplayGain tags were measured from
  StreamCount* done = nullptr;  // the bytes of its stream written so far
  double decodedPeak = 0;     // out, for decodedPeaks: the peak a decoder gives
};

// A format, as the run chooses it: one row each.
struct WriterRow {
  OutputFormat format;
  const char* name;       // as --format takes it: "wav", "flac", "ogg"
  const char* extension;  // ".wav", ".flac", ".ogg"
  bool encodes;           // its files take a core each: one worker per core,
                          // several files at once; else one file at a time
  bool tagged;            // its files carry tags (--tag, --replaygain)
  bool decodedPeaks;      // lossy: its ReplayGain peaks are a decoder's,
                          // the album's settled once all are written
  // Sets up `shared` for the files of `outputs`, on the main thread.
  void (*prepare)(WriterShared* shared, const std::vector<OutputPlan>& outputs);
  // Writes the planned file of `job` into the unnamed `file` from its start,
  // on any thread. kIoOk or the first error; may throw std::bad_alloc.
  IoError (*write)(WriterShared* shared, FileJob* job, OutputFile* file);
};

// The row of `format`.
const WriterRow& writerFor(OutputFormat format);

// The row whose name is `name` (lower case), or nullptr.
const WriterRow* writerNamed(const std::string& name);

// The names of every format, as a message lists them: "wav, flac or ogg".
std::string writerNamesText();

// The extension of the files of `format`: ".wav", ".flac", ".ogg".
const char* formatExtension(OutputFormat format);

// The workers a run of `files` files starts beside the main thread: one per
// core, up to the files, for an encoder. A writer that writes one file at
// a time (the kernel copies WAV files) has none, so the main thread writes
// them, or one while the progress line is shown, so that the main thread
// draws it as they are written.
int writerThreads(const WriterRow& writer, size_t files, bool progressShown);

// How many files a writer has in progress at once: kMaxOutputsInProgress
// for an encoder, else 1.
size_t writerWindow(const WriterRow& writer);

// ---- Play lengths (length.cc) ----

// Reads a --length value: SS, MM:SS or H:MM:SS, the first field any number
// of digits, the others two digits below 60, the last with an optional
// fraction of up to 9 digits ("90", "3:00", "1:00:00", "59:59.5"), from 1
// second to kMaxLength. Sets *nanoseconds; false, leaving it, for anything
// else.
constexpr int64_t kMaxLength = int64_t{10} * 3600 * kNanosPerSecond;
bool readLength(const std::string& text, int64_t* nanoseconds);

// The message that refuses a value of --length, with its line feed.
std::string lengthMessage(const std::string& text);

// `nanoseconds` as H:MM:SS from an hour on, M:SS below, with the fraction
// of a second that it has, no trailing zeros: "1:00:00", "1:30", "59:59.5".
std::string lengthText(int64_t nanoseconds);

// The settings line of a run with --length: the banner with the length
// in place of the repeat count, "track=1-31 , length=1:00:00 , ...\n".
std::string lengthBannerText(const CommandLine& line);

// The message that refuses what --length cannot go with, with its line
// feed, or "" (always without --length): a repeat count, --split, or a
// positive fade longer than the length.
std::string checkLength(const CommandLine& line);

// The message that refuses a WAV run whose files would not fit a WAV
// file's 32-bit sizes (waveFits), with its line feed: it names the first
// such file and points to FLAC. "" for every other run.
std::string checkWaveSizes(const CommandLine& line);

// The free space that writing files of `sizes` bytes one after the other
// needs, each replacing a file that gives back freed[k] bytes once it is
// replaced (the old file stays until the new one is complete), each size
// rounded up to whole blocks of `blockBytes`: the most the files take at
// once beyond what is there now.
int64_t spaceNeeded(const std::vector<int64_t>& sizes, const std::vector<int64_t>& freed,
                    int64_t blockBytes);

// Before a WAV run with --length writes into `folder`: true when its file
// system has room for the files of `outputs` (spaceNeeded, with the files
// of the same names that they replace), or when its room cannot be told;
// else says how much they need and how much is free, and returns false.
// Always true for other runs.
bool haveRoomFor(const CommandLine& line, const std::string& folder,
                 const std::vector<OutputPlan>& outputs);

// Why a file with --loop-points marks no loop, for its note: the fade
// reaches into every pass, or (with --length) the file ends before the
// first pass does.
const char* noLoopReason(const CommandLine& line, const OutputPlan& out);

// ---- The tool (tool.cc) ----

// Prints `format` and its arguments to standard output. The first failure to
// write is kept; runTool reports it on standard error when the run ends.
// On the main thread only, as everything that prints: workers leave their
// outcomes for it.
void say(const char* format, ...) __attribute__((format(printf, 1, 2)));

// Opens the data file that `line` names (kvbgm.dat in the current folder
// when it names none, or in the folder it names) and checks that it holds
// every byte the selected tracks need. Sets `*dataPath` to the path opened.
// Says what is wrong and returns kExitFailed, or returns kExitOk with the
// file open.
int openData(const CommandLine& line, FileHandle* dataFile, std::string* dataPath);

// Makes the -o folder `folder` and any missing parents (appending those
// it made to *made, see makeFolders), and marks it used by this run
// (useFolder). Made again when another run that had made it removes it
// meanwhile. kIoOk or the error.
IoError makeOutputFolder(const std::string& folder, std::vector<std::string>* made);

// True when `folder` ("" for the current one) is no longer a folder.
bool folderGone(const std::string& folder);

// Says once that nothing can be made in `folder`, for `reason`, and where
// else to write.
void sayFolderRefused(const std::string& folder, const std::string& reason);

// True when an output named `name` can be made in `folder`, which is
// tried and left as it was; says why not otherwise (sayFolderRefused).
// An error that is not the folder's own (such as too many open files)
// counts as true: the files meet it themselves.
bool folderTakesFiles(const std::string& folder, const std::string& name);

// ---- The album peak of Ogg Vorbis files (album.cc) ----

// The REPLAYGAIN_ALBUM_PEAK that Ogg files of a run are written with, for
// the largest sample magnitude measured before encoding: half a decibel
// above it, which holds the peak a decoder gives of the loudest file
// unless the encoder moved it further. As wide as every peak tag.
std::string provisionalAlbumPeak(int32_t measuredPeak);

// Once every file is written: when the provisional album peak is below
// the largest peak a decoder gives of the files committed (committed[k],
// decodedPeaks[k]) or more than 1 dB above it, copies each of them with
// the album peak of what was decoded, rounded up, and names it again in
// `folder`. Says why a file could not be; returns how many could not.
size_t settleAlbumPeak(const std::string& folder, const std::vector<OutputPlan>& outputs,
                       const std::vector<uint8_t>& committed,
                       const std::vector<double>& decodedPeaks, int32_t measuredPeak);

// ---- The run (run.cc) ----

// Opens the data file, checks that it holds every byte the selected tracks
// need, makes the output folder, and writes each selected file in
// catalogue order. Prints a line before each file and a message for every
// failure. Returns kExitOk when every file was written, kExitFailed
// otherwise; when not one file was written, the folders it made are removed
// again. Requires prepareCatalog() and a command line that passed
// checkCommandLine.
int runExtraction(const CommandLine& line);

// The whole tool: prepares the catalogue, reads and checks the command line,
// prints the banner and runs. If standard output could not be written, says
// so on standard error and fails. Returns the exit status.
int runTool(int argc, const char* const* argv);
