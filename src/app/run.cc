// The run: the data file, the output folder, and every selected file
// written by the chosen writer on the ordered pool, named and reported on
// this thread in catalogue order.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cmath>
#include <cstdio>
#include <memory>
#include <new>
#include <thread>

#include "app/app.h"
#include "flac/flac.h"
#include "loudness/loudness.h"
#include "ogg/ogg.h"
#include "platform/platform.h"
#include "pool/pool.h"
#include "utf8/utf8.h"
#include "wave/wave.h"

namespace {

// The reason for any error a run can meet, from the module that owns it.
std::string reasonFor(IoError error) {
  if (const char* text = flacErrorText(error)) return text;
  if (const char* text = oggErrorText(error)) return text;
  if (const char* text = loudnessErrorText(error)) return text;
  if (const char* text = waveErrorText(error)) return text;
  return ioErrorText(error);
}


// Everything the jobs of one run share. Each job k writes outputs[k] into
// files[k], unnamed, and leaves its outcome in errors[k]; this thread
// names it.
struct Run {
  const CommandLine* line = nullptr;
  FileHandle dataFile;
  std::string dataShown;  // the data file's path as messages show it
  std::string folder;
  std::string album;  // the ALBUM tag: the data file's name, made UTF-8
  std::vector<OutputPlan> outputs;
  std::vector<OutputFile> files;
  std::vector<IoError> errors;
  std::vector<GainTable> fades;  // one per fade shape, for every thread
  std::unique_ptr<WaveWriter> wave;  // the WAV writer, on this thread only
  std::atomic<int64_t> audioDone{0};  // bytes of audio of the jobs done
  int compression = kFlacDefaultCompression;
  // With --replaygain, before any file is written: each file's measured
  // stream and the outcome of measuring it, and the whole run's figures.
  std::vector<Loudness> loudness;
  std::vector<IoError> measureErrors;
  double albumLoudness = kQuietestLoudness;
  int32_t albumPeak = 0;
  // Ogg Vorbis with --replaygain: the peak a decoder gives of each file,
  // written by the job that encodes it, read here once it is taken.
  std::vector<double> decodedPeaks;
  std::vector<uint8_t> committed;  // per file: it has its name; this thread only
};

// The album peak that Ogg files carry from the start: the measured peak
// raised by half a decibel, which holds the peak a decoder gives of the
// loudest file unless the encoder moved it further (then settleAlbumPeak
// rewrites the tag).
std::string provisionalAlbumPeak(int32_t measured) {
  return peakTextAtLeast(measured / 32768.0 * std::pow(10.0, 0.5 / 20));
}

void dropJob(void* context, size_t k) {
  auto* run = static_cast<Run*>(context);
  discardOutput(&run->files[k]);
}

// A WAV file: on this thread, through the run's one writer, whose fade
// helper shares the fades.
void writeWaveJob(void* context, size_t k) {
  auto* run = static_cast<Run*>(context);
  OutputFile* file = &run->files[k];
  IoError error = createOutput(run->folder, run->outputs[k].name, file);
  if (error == kIoOk) error = writeTrack(run->wave.get(), run->dataFile, file, run->outputs[k].plan);
  if (error != kIoOk) discardOutput(file);
  run->errors[k] = error;
}

// Writes one file of an encoder's format into `file`: FLAC or Ogg Vorbis;
// for Ogg Vorbis, sets *decodedPeak to the peak a decoder gives of it.
IoError encodeFile(const Run& run, const OutputPlan& out, OutputFile* file,
                   const GainTable* gains, double* decodedPeak) {
  AlbumPlace place = albumPlace(out);
  TrackInfo info{out.title, place.number, run.album, place.total};
  std::vector<Tag> tags = trackTags(info, out.plan.loop, run.line->tags);
  size_t k = static_cast<size_t>(&out - run.outputs.data());
  StreamCheck expect;
  bool ogg = run.line->format == OutputFormat::Ogg;
  if (run.line->replayGain) {
    // The tags hold what was measured: the audio encoded must be that audio.
    const Loudness& own = run.loudness[k];
    expect = {true, own.digest};
    for (Tag& tag : replayGainTags(integratedLoudness({&own}), own.peak, run.albumLoudness,
                                   run.albumPeak)) {
      tags.push_back(std::move(tag));
    }
    // A lossy file's peaks are those of what a decoder gives: the track's
    // is filled in by its encoder, the album's starts out with room.
    if (ogg) tags.back().value = provisionalAlbumPeak(run.albumPeak);
  }
  if (ogg) {
    // The same serial for the same file in every run: the bytes repeat.
    auto serial = static_cast<uint32_t>(out.trackNumber * 4 + out.part);
    PeakTag peak{"REPLAYGAIN_TRACK_PEAK", peakTextAtLeast, 0};
    IoError error = writeOggTrack(run.dataFile, file, out.plan, tags, run.line->quality, serial,
                                  gains, expect, run.line->replayGain ? &peak : nullptr);
    *decodedPeak = peak.peak;
    return error;
  }
  return writeFlacTrack(run.dataFile, file, out.plan, tags, run.compression, gains, expect);
}

// The gains of the fade of `plan`: the run's shared table, or, where none
// could be had, `own`, filled here (kIoNoMemory when it cannot be).
IoError fadeGains(const Run& run, const TrackPlan& plan, GainTable* own, const GainTable** gains) {
  *gains = gainsFor(run.fades, plan);
  if (*gains != nullptr || plan.fadeBytes == 0) return kIoOk;
  *gains = own;
  return prepareGains(own, plan.pattern, plan.fadeBytes / kFrameBytes);
}

// Measures one file's stream for --replaygain, on any thread.
void measureJob(void* context, size_t k) {
  auto* run = static_cast<Run*>(context);
  const TrackPlan& plan = run->outputs[k].plan;
  IoError error = kIoOk;
  try {
    const GainTable* gains = nullptr;
    GainTable own;
    error = fadeGains(*run, plan, &own, &gains);
    if (error == kIoOk) error = measureLoudness(run->dataFile, plan, gains, &run->loudness[k]);
  } catch (const std::bad_alloc&) {
    error = kIoNoMemory;
  }
  run->measureErrors[k] = error;
}

void dropMeasure(void* context, size_t k) {
  static_cast<Run*>(context)->loudness[k] = Loudness{};
}

// A file of an encoder's format, on any thread: the fade's gains from the
// run's shared tables, or, where none could be had, a table of its own.
void encodeJob(void* context, size_t k) {
  auto* run = static_cast<Run*>(context);
  const OutputPlan& out = run->outputs[k];
  OutputFile* file = &run->files[k];
  IoError error = run->line->replayGain ? run->measureErrors[k] : kIoOk;
  try {
    const GainTable* gains = nullptr;
    GainTable own;
    if (error == kIoOk) error = fadeGains(*run, out.plan, &own, &gains);
    if (error == kIoOk) error = createOutput(run->folder, out.name, file);
    if (error == kIoOk) error = encodeFile(*run, out, file, gains, &run->decodedPeaks[k]);
  } catch (const std::bad_alloc&) {
    error = kIoNoMemory;
  }
  if (error != kIoOk) discardOutput(file);
  run->errors[k] = error;
  run->audioDone += out.plan.dataLength;
}

// The progress line on standard error, where that is a terminal: files
// done of files planned, the share of the run's audio written, the time
// left. It is cleared before each line on standard output and drawn again
// after it, and cleared at the end.
struct Progress {
  bool shown = false;        // standard error is a terminal
  bool drawn = false;        // the line is on the screen
  std::chrono::steady_clock::time_point start = std::chrono::steady_clock::now();
  int64_t totalAudio = 0;
};

Progress gProgress;

void clearProgress() {
  if (!gProgress.drawn) return;
  writeStderr("\r\x1b[K");
  gProgress.drawn = false;
}

void drawProgress(const Run& run, size_t filesDone) {
  if (!gProgress.shown || gProgress.totalAudio <= 0) return;
  double share = static_cast<double>(run.audioDone.load()) / static_cast<double>(gProgress.totalAudio);
  double elapsed = std::chrono::duration<double>(std::chrono::steady_clock::now() -
                                                 gProgress.start).count();
  char left[48];
  if (share > 0.01 && share < 1) {
    auto seconds = static_cast<long>(elapsed * (1 - share) / share + 0.5);
    std::snprintf(left, sizeof left, ", %ld:%02ld left", seconds / 60, seconds % 60);
  } else {
    auto seconds = static_cast<long>(elapsed);
    std::snprintf(left, sizeof left, ", %ld:%02ld so far", seconds / 60, seconds % 60);
  }
  char line[96];
  std::snprintf(line, sizeof line, "\r%zu of %zu files, %.0f%%%s\x1b[K", filesDone,
                run.outputs.size(), 100 * share, left);
  writeStderr(line);
  gProgress.drawn = true;
}

// The line before each file, and the note when it can mark no loop.
void announce(const CommandLine& line, const OutputPlan& out) {
  clearProgress();
  std::string shown = printable(out.name);
  say("Create %s ...\n", shown.c_str());
  if (line.loopPoints && !line.split && !out.plan.loop.present) {
    say("no loop points in %s: the fade reaches into every pass of the loop\n", shown.c_str());
  }
}

// The workers a run of `format` starts beside this thread: none for WAV
// files, which the kernel copies one at a time; one per core for encoders.
int workersFor(OutputFormat format, size_t files) {
  if (format == OutputFormat::Wav) return 0;
  unsigned cores = std::thread::hardware_concurrency();
  if (cores <= 1) return 0;
  return static_cast<int>(std::min({size_t{cores}, size_t{kMaxOutputsInProgress}, files}));
}

// The measuring pass of --replaygain, on the pool, before any file is
// written: every file's loudness and peak, then the album's from all those
// measured. A measurement that fails for want of a resource beside others
// is done again alone; one that still fails fails its file (encodeJob).
void measureFiles(Run* run) {
  size_t count = run->outputs.size();
  run->loudness.resize(count);
  run->measureErrors.assign(count, kIoOk);
  PoolJobs jobs{run, count, measureJob, dropMeasure};
  OrderedPool pool;
  startPool(&pool, jobs, workersFor(run->line->format, count), kMaxOutputsInProgress);
  for (size_t k = 0; k < count; ++k) {
    awaitJob(&pool, k);
    if (isResourceError(run->measureErrors[k]) && poolHasWorkers(pool)) retryAlone(&pool, k);
    takeJob(&pool, k);
  }
  endPool(&pool);
  std::vector<const Loudness*> all;
  for (const Loudness& file : run->loudness) all.push_back(&file);
  run->albumLoudness = integratedLoudness(all);
  run->albumPeak = largestPeak(all);
}

// Writes every file of `run` on the pool and names each here, in order,
// after its "Create" line. A file that fails for want of a resource while
// others are in progress beside it is written again alone, and so are the
// files after it, so that the same files fail as in a run of one file at a
// time. Returns how many were written.
size_t writeFiles(Run* run) {
  size_t count = run->outputs.size();
  run->files.assign(count, OutputFile{});
  run->errors.assign(count, kIoOk);
  run->decodedPeaks.assign(count, 0.0);
  run->committed.assign(count, 0);
  PoolJobs jobs;
  jobs.context = run;
  jobs.count = count;
  jobs.drop = dropJob;
  jobs.work = run->line->format == OutputFormat::Wav ? writeWaveJob : encodeJob;
  OrderedPool pool;
  startPool(&pool, jobs, workersFor(run->line->format, count), kMaxOutputsInProgress);
  size_t written = 0;
  gProgress.shown = stderrIsTerminal();
  for (const OutputPlan& out : run->outputs) gProgress.totalAudio += out.plan.dataLength;
  for (size_t k = 0; k < count; ++k) {
    announce(*run->line, run->outputs[k]);
    drawProgress(*run, k);
    while (!awaitJobFor(&pool, k, 250)) drawProgress(*run, k);
    clearProgress();
    IoError error = run->errors[k];
    if (error != kIoOk && isResourceError(error) && poolHasWorkers(pool)) {
      retryAlone(&pool, k);
      error = run->errors[k];
    }
    // Only a file that could not be made says that of its folder: a name
    // taken by a folder also refuses the commit with "access denied". A
    // folder that is gone refuses every file alike.
    bool folderRefused = isFolderUnwritable(error);
    if (error == kIoOk) error = commitOutput(&run->files[k]);
    if (error != kIoOk && !isReadFailure(error) && folderGone(run->folder)) folderRefused = true;
    if (error == kIoOk) {
      ++written;
      run->committed[k] = 1;
    } else if (isReadFailure(error)) {
      say("cannot read %s: %s\n", run->dataShown.c_str(), reasonFor(error).c_str());
    } else if (folderRefused) {
      // Every file would fail the same way: said once, and the run stops.
      sayFolderRefused(run->folder, reasonFor(error));
      takeJob(&pool, k);
      break;
    } else {
      say("cannot write %s: %s\n", printable(run->outputs[k].name).c_str(),
          reasonFor(error).c_str());
    }
    takeJob(&pool, k);
  }
  endPool(&pool);
  clearProgress();
  return written;
}

// With --replaygain, Ogg files carry an album peak that must hold the
// largest peak a decoder gives of any of them, and lie within 1 dB of it.
// When the one they were written with does not, each file written is
// copied with the album peak of what was decoded, and named again.
// Returns how many files failed that.
size_t settleAlbumPeak(Run* run) {
  double decoded = 0;
  for (size_t k = 0; k < run->outputs.size(); ++k) {
    if (run->committed[k]) decoded = std::max(decoded, run->decodedPeaks[k]);
  }
  double written = std::stod(provisionalAlbumPeak(run->albumPeak));
  if (written >= decoded && written <= decoded * std::pow(10.0, 1.0 / 20)) return 0;
  std::string value = peakTextAtLeast(decoded);
  size_t failed = 0;
  for (size_t k = 0; k < run->outputs.size(); ++k) {
    if (!run->committed[k]) continue;
    const std::string& name = run->outputs[k].name;
    FileHandle in;
    int64_t size = 0;
    OutputFile copy;
    IoError error = openDataFile(joinPath(run->folder, name), &in, &size);
    if (error == kIoOk) error = createOutput(run->folder, name, &copy);
    if (error == kIoOk) error = copyOggWithTag(in, size, &copy, "REPLAYGAIN_ALBUM_PEAK", value);
    closeFile(&in);
    if (error == kIoOk) error = commitOutput(&copy);
    if (error != kIoOk) {
      discardOutput(&copy);
      say("cannot write %s: %s\n", printable(name).c_str(), reasonFor(error).c_str());
      ++failed;
    }
  }
  return failed;
}

// The output of `run` that would replace the data file itself (under the
// same name, another name of it, or through a link), or nullptr.
const OutputPlan* outputOverData(const Run& run) {
  FileIdentity data = identityOf(run.dataFile);
  for (const OutputPlan& out : run.outputs) {
    if (sameFile(identityAt(joinPath(run.folder, out.name)), data)) return &out;
  }
  return nullptr;
}

}  // namespace

int runExtraction(const CommandLine& line) {
  Run run;
  run.line = &line;
  std::string dataPath;
  if (openData(line, &run.dataFile, &dataPath) != kExitOk) return kExitFailed;
  run.dataShown = printable(dataPath);
  run.folder = line.outputFolder.empty() ? folderOf(dataPath) : line.outputFolder;
  run.album = toValidUtf8(albumOf(dataPath));
  run.outputs = plannedOutputs(line);
  if (const OutputPlan* out = outputOverData(run)) {
    say("%s is the data file: write the files elsewhere with -o DIR\n",
        printable(joinPath(run.folder, out->name)).c_str());
    closeFile(&run.dataFile);
    return kExitFailed;
  }
  if (line.compression >= 0) run.compression = line.compression;
  std::vector<std::string> madeFolders;
  IoError error = line.outputFolder.empty() ? kIoOk : makeOutputFolder(run.folder, &madeFolders);
  if (error != kIoOk) {
    say("cannot write into %s: %s\n", printable(run.folder).c_str(), ioErrorText(error).c_str());
    closeFile(&run.dataFile);
    return kExitFailed;
  }
  size_t written = 0;
  try {
    if (line.format == OutputFormat::Wav) {
      run.wave = std::make_unique<WaveWriter>();
    } else {
      // Shared by every encoder; a job whose table is missing makes its own.
      std::vector<const TrackPlan*> plans;
      for (const OutputPlan& out : run.outputs) plans.push_back(&out.plan);
      if (prepareFades(plans, &run.fades) != kIoOk) run.fades.clear();
      if (line.replayGain) {
        // Seconds of measuring are not spent for a folder that takes no file.
        if (!folderTakesFiles(run.folder, run.outputs.front().name)) {
          closeFile(&run.dataFile);
          removeFolders(madeFolders);
          return kExitFailed;
        }
        measureFiles(&run);
      }
    }
    written = writeFiles(&run);
    if (line.format == OutputFormat::Ogg && line.replayGain) written -= settleAlbumPeak(&run);
  } catch (const std::bad_alloc&) {
    closeFile(&run.dataFile);
    removeFolders(madeFolders);
    throw;
  }
  closeFile(&run.dataFile);
  if (written == 0) removeFolders(madeFolders);
  return written == run.outputs.size() ? kExitOk : kExitFailed;
}

