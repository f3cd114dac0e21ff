// The run: the data file, the output folder, and every selected file
// written by the chosen writer on the ordered pool, named and reported on
// this thread in catalogue order.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
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
  std::unique_ptr<WaveWriter> wave;  // the WAV writer, on one thread at a time
  // Per job, the bytes of its stream handled in the phase under way
  // (measuring, then writing): set back to 0 when the job starts, is
  // dropped or fails, so that a job done again is counted once.
  std::unique_ptr<StreamCount[]> streamDone;
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

void dropJob(void* context, size_t k) {
  auto* run = static_cast<Run*>(context);
  discardOutput(&run->files[k]);
  run->streamDone[k].store(0);
}

// A WAV file: on this thread or the one worker (see workersFor), through
// the run's one writer, whose fade helper shares the fades.
void writeWaveJob(void* context, size_t k) {
  auto* run = static_cast<Run*>(context);
  OutputFile* file = &run->files[k];
  StreamCount* done = &run->streamDone[k];
  done->store(0);
  IoError error = createOutput(run->folder, run->outputs[k].name, file);
  if (error == kIoOk) {
    error = writeTrack(run->wave.get(), run->dataFile, file, run->outputs[k].plan, done);
  }
  if (error != kIoOk) {
    discardOutput(file);
    done->store(0);
  }
  run->errors[k] = error;
}

// Writes one file of an encoder's format into `file`: FLAC or Ogg Vorbis;
// for Ogg Vorbis, sets *decodedPeak to the peak a decoder gives of it.
IoError encodeFile(const Run& run, const OutputPlan& out, OutputFile* file,
                   const GainTable* gains, StreamCount* done, double* decodedPeak) {
  std::vector<Tag> tags = fileTags(out, run.album, run.line->tags);
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
                                  gains, expect, run.line->replayGain ? &peak : nullptr, done);
    *decodedPeak = peak.peak;
    return error;
  }
  return writeFlacTrack(run.dataFile, file, out.plan, tags, run.compression, gains, expect, done);
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
  StreamCount* done = &run->streamDone[k];
  done->store(0);
  IoError error = kIoOk;
  try {
    const GainTable* gains = nullptr;
    GainTable own;
    error = fadeGains(*run, plan, &own, &gains);
    if (error == kIoOk) error = measureLoudness(run->dataFile, plan, gains, &run->loudness[k], done);
  } catch (const std::bad_alloc&) {
    error = kIoNoMemory;
  }
  run->measureErrors[k] = error;
}

void dropMeasure(void* context, size_t k) {
  auto* run = static_cast<Run*>(context);
  run->loudness[k] = Loudness{};
  run->streamDone[k].store(0);
}

// A file of an encoder's format, on any thread: the fade's gains from the
// run's shared tables, or, where none could be had, a table of its own.
void encodeJob(void* context, size_t k) {
  auto* run = static_cast<Run*>(context);
  const OutputPlan& out = run->outputs[k];
  OutputFile* file = &run->files[k];
  StreamCount* done = &run->streamDone[k];
  done->store(0);
  IoError error = run->line->replayGain ? run->measureErrors[k] : kIoOk;
  try {
    const GainTable* gains = nullptr;
    GainTable own;
    if (error == kIoOk) error = fadeGains(*run, out.plan, &own, &gains);
    if (error == kIoOk) error = createOutput(run->folder, out.name, file);
    if (error == kIoOk) error = encodeFile(*run, out, file, gains, done, &run->decodedPeaks[k]);
  } catch (const std::bad_alloc&) {
    error = kIoNoMemory;
  }
  if (error != kIoOk) {
    discardOutput(file);
    done->store(0);
  }
  run->errors[k] = error;
}

// The progress line on standard error, where that is a terminal: the
// phase (nothing for writing), files done of files planned, the share of
// the phase's audio handled, and the time left at the phase's rate so far.
// It is cleared before each line on standard output and drawn again after
// it, cleared at the end of each phase and on every way out; a terminating
// signal clears it too (setSignalText).
struct Progress {
  bool shown = false;     // standard error is a terminal
  bool escapes = false;   // ... that takes "\x1b[K" (stderrTakesEscapes)
  bool drawn = false;     // the line is on the screen
  size_t width = 0;       // its columns
  const char* phase = "";
  std::chrono::steady_clock::time_point start;
  int64_t totalAudio = 0;  // the bytes of every stream of the phase
};

Progress gProgress;

// Starts the phase `phase` ("" for writing) of `run`: its clock, and every
// job's count at 0.
void startPhase(Run* run, const char* phase) {
  gProgress.shown = stderrIsTerminal();
  gProgress.escapes = stderrTakesEscapes();
  gProgress.phase = phase;
  gProgress.start = std::chrono::steady_clock::now();
  gProgress.totalAudio = 0;
  for (const OutputPlan& out : run->outputs) gProgress.totalAudio += out.plan.dataLength;
  run->streamDone = std::make_unique<StreamCount[]>(run->outputs.size());
}

void clearProgress() {
  if (!gProgress.drawn) return;
  writeStderr(redrawLineText(gProgress.escapes, "", gProgress.width));
  setSignalText("");
  gProgress.drawn = false;
}

// The bytes of the phase's streams handled: each job's count, which never
// goes past its stream's length.
int64_t audioDone(const Run& run) {
  int64_t sum = 0;
  for (size_t k = 0; k < run.outputs.size(); ++k) {
    sum += std::clamp(run.streamDone[k].load(), int64_t{0}, run.outputs[k].plan.dataLength);
  }
  return sum;
}

void drawProgress(const Run& run, size_t filesDone) {
  if (!gProgress.shown || gProgress.totalAudio <= 0) return;
  int64_t done = audioDone(run);
  double share = static_cast<double>(done) / static_cast<double>(gProgress.totalAudio);
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
  // Whole percents, rounded down: 100% once every byte is handled.
  auto percent = static_cast<int>(done * 100 / gProgress.totalAudio);
  char line[128];
  std::snprintf(line, sizeof line, "%s%zu of %zu files, %d%%%s", gProgress.phase, filesDone,
                run.outputs.size(), percent, left);
  size_t previous = gProgress.drawn ? gProgress.width : 0;
  // The signal's erase is in place before the line is on the screen.
  gProgress.width = std::max(previous, std::strlen(line));
  setSignalText(redrawLineText(gProgress.escapes, "", gProgress.width));
  writeStderr(redrawLineText(gProgress.escapes, line, previous));
  gProgress.width = std::strlen(line);
  gProgress.drawn = true;
}

// The line before each file, and the note when it can mark no loop.
void announce(const CommandLine& line, const OutputPlan& out) {
  clearProgress();
  std::string shown = printable(out.name);
  say("Create %s ...\n", shown.c_str());
  if (line.loopPoints && !line.split && !out.plan.loop.present) {
    say("no loop points in %s: %s\n", shown.c_str(), noLoopReason(line, out));
  }
}

// The workers a run of `format` starts beside this thread: one per core for
// encoders. WAV files, which the kernel copies one at a time, are written
// on this thread, or, while the progress line is shown, on one worker, so
// that this thread draws it as they are written (see writeFiles' window).
int workersFor(OutputFormat format, size_t files) {
  if (format == OutputFormat::Wav) return gProgress.shown ? 1 : 0;
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
  startPhase(run, "measuring loudness: ");
  OrderedPool pool;
  startPool(&pool, jobs, workersFor(run->line->format, count), kMaxOutputsInProgress);
  for (size_t k = 0; k < count; ++k) {
    drawProgress(*run, k);
    while (!awaitJobFor(&pool, k, 250)) drawProgress(*run, k);
    if (isResourceError(run->measureErrors[k]) && poolHasWorkers(pool)) retryAlone(&pool, k);
    takeJob(&pool, k);
  }
  endPool(&pool);
  clearProgress();
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
  bool wav = run->line->format == OutputFormat::Wav;
  jobs.work = wav ? writeWaveJob : encodeJob;
  startPhase(run, "");
  OrderedPool pool;
  // One WAV file at a time, as when this thread writes them.
  startPool(&pool, jobs, workersFor(run->line->format, count), wav ? 1 : kMaxOutputsInProgress);
  size_t written = 0;
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
      say("cannot read %s: %s\n", run->dataShown.c_str(), errorReason(error).c_str());
    } else if (folderRefused) {
      // Every file would fail the same way: said once, and the run stops.
      sayFolderRefused(run->folder, errorReason(error));
      takeJob(&pool, k);
      break;
    } else {
      say("cannot write %s: %s\n", printable(run->outputs[k].name).c_str(),
          errorReason(error).c_str());
    }
    takeJob(&pool, k);
  }
  endPool(&pool);
  clearProgress();
  return written;
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
  if (!haveRoomFor(line, run.folder, run.outputs)) {
    closeFile(&run.dataFile);
    removeFolders(madeFolders);
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
    if (line.format == OutputFormat::Ogg && line.replayGain) {
      written -= settleAlbumPeak(run.folder, run.outputs, run.committed, run.decodedPeaks,
                                 run.albumPeak);
    }
  } catch (const std::bad_alloc&) {
    clearProgress();
    closeFile(&run.dataFile);
    removeFolders(madeFolders);
    throw;
  }
  closeFile(&run.dataFile);
  if (written == 0) removeFolders(madeFolders);
  return written == run.outputs.size() ? kExitOk : kExitFailed;
}

