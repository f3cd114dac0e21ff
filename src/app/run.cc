// The run: the data file, the output folder, and every selected file
// written by the chosen writer on the ordered pool, named and reported on
// this thread in catalogue order.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstring>
#include <memory>

#include "app/app.h"
#include "loudness/loudness.h"
#include "platform/platform.h"
#include "pool/pool.h"
#include "utf8/utf8.h"

namespace {

// Everything the jobs of one run share. Which thread touches what:
//  - set by the main thread before any pool starts, then only read: line,
//    writer, shared (see WriterShared), dataShown, folder, album, outputs,
//    and the measuring pass's results (loudness, measureErrors,
//    albumLoudness, albumPeak) once that pass has ended;
//  - per file k, written only by the job that does k, on whichever thread,
//    and read by the main thread once the pool has handed k back (the
//    pool's lock orders the two): files[k], loudness[k] while measuring,
//    decodedPeaks[k];
//  - streamDone[k]: written by job k, read by the main thread at any time
//    (atomic);
//  - main thread only: committed, and everything that prints.
struct Run {
  const CommandLine* line = nullptr;
  const WriterRow* writer = nullptr;
  WriterShared shared;  // the data file, the fade gains and the writers' memory
  std::string dataShown;  // the data file's path as messages show it
  std::string folder;
  std::string album;  // the ALBUM tag: the data file's name, made UTF-8
  std::vector<OutputPlan> outputs;
  std::vector<OutputFile> files;  // job k writes file k, unnamed; this thread names it
  // Per job, the bytes of its stream handled in the phase under way
  // (measuring, then writing): set back to 0 when the job starts, is
  // dropped or fails, so that a job done again is counted once.
  std::unique_ptr<StreamCount[]> streamDone;
  // With --replaygain, before any file is written: each file's measured
  // stream and the outcome of measuring it, and the whole run's figures.
  std::vector<Loudness> loudness;
  std::vector<IoError> measureErrors;
  double albumLoudness = kQuietestLoudness;
  int32_t albumPeak = 0;
  // For a writer of decodedPeaks with --replaygain: the peak a decoder
  // gives of each file.
  std::vector<double> decodedPeaks;
  std::vector<uint8_t> committed;  // per file: it has its name

  Run() = default;
  Run(const Run&) = delete;
  Run& operator=(const Run&) = delete;
  ~Run() { closeFile(&shared.dataFile); }  // after every pool has ended
};

void dropJob(void* context, size_t k) {
  auto* run = static_cast<Run*>(context);
  discardOutput(&run->files[k]);
  run->streamDone[k].store(0);
}

// The tags of file k of a tagged format: its own, then, with --replaygain,
// the values measured, which the audio it encodes must match.
void tagFile(const Run& run, size_t k, FileJob* job) {
  job->tags = fileTags(run.outputs[k], run.album, run.line->tags);
  if (!run.line->replayGain) return;
  const Loudness& own = run.loudness[k];
  job->expect = {true, own.digest};
  for (Tag& tag : replayGainTags(integratedLoudness({&own}), own.peak, run.albumLoudness,
                                 run.albumPeak)) {
    job->tags.push_back(std::move(tag));
  }
  // A lossy file's peaks are those of what a decoder gives: the track's
  // is filled in by its writer, the album's starts out with room.
  if (run.writer->decodedPeaks) job->tags.back().value = provisionalAlbumPeak(run.albumPeak);
}

// Writes file k of the run into its unnamed output, on any thread. On
// failure, nothing of it is left.
IoError writeJob(void* context, size_t k) {
  auto* run = static_cast<Run*>(context);
  const OutputPlan& out = run->outputs[k];
  OutputFile* file = &run->files[k];
  FileJob job;
  job.out = &out;
  job.done = &run->streamDone[k];
  job.done->store(0);
  IoError error = run->line->replayGain ? run->measureErrors[k] : kIoOk;
  if (error == kIoOk && run->writer->tagged) tagFile(*run, k, &job);
  if (error == kIoOk) error = createOutput(run->folder, out.name, file);
  if (error == kIoOk) error = run->writer->write(&run->shared, &job, file);
  run->decodedPeaks[k] = job.decodedPeak;
  if (error != kIoOk) dropJob(run, k);
  return error;
}

// Measures one file's stream for --replaygain, on any thread.
IoError measureJob(void* context, size_t k) {
  auto* run = static_cast<Run*>(context);
  const TrackPlan& plan = run->outputs[k].plan;
  StreamCount* done = &run->streamDone[k];
  done->store(0);
  const GainTable* gains = nullptr;
  GainTable own;
  IoError error = gainsOrOwn(run->shared.fades, plan, &own, &gains);
  if (error != kIoOk) return error;
  return measureLoudness(run->shared.dataFile, plan, gains, &run->loudness[k], done);
}

void dropMeasure(void* context, size_t k) {
  auto* run = static_cast<Run*>(context);
  run->loudness[k] = Loudness{};
  run->streamDone[k].store(0);
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

Progress gProgress;  // the main thread's alone, as is everything that prints

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
  startPool(&pool, jobs, writerThreads(*run->writer, count, gProgress.shown),
            writerWindow(*run->writer));
  for (size_t k = 0; k < count; ++k) {
    drawProgress(*run, k);
    while (!awaitJobFor(&pool, k, 250)) drawProgress(*run, k);
    if (isResourceError(jobOutcome(pool, k)) && poolHasWorkers(pool)) retryAlone(&pool, k);
    run->measureErrors[k] = jobOutcome(pool, k);
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
  run->decodedPeaks.assign(count, 0.0);
  run->committed.assign(count, 0);
  PoolJobs jobs{run, count, writeJob, dropJob};
  startPhase(run, "");
  OrderedPool pool;
  startPool(&pool, jobs, writerThreads(*run->writer, count, gProgress.shown),
            writerWindow(*run->writer));
  size_t written = 0;
  for (size_t k = 0; k < count; ++k) {
    announce(*run->line, run->outputs[k]);
    drawProgress(*run, k);
    while (!awaitJobFor(&pool, k, 250)) drawProgress(*run, k);
    clearProgress();
    IoError error = jobOutcome(pool, k);
    if (error != kIoOk && isResourceError(error) && poolHasWorkers(pool)) {
      retryAlone(&pool, k);
      error = jobOutcome(pool, k);
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
      say("cannot read %s: %s\n", run->dataShown.c_str(), ioErrorText(error).c_str());
    } else if (folderRefused) {
      // Every file would fail the same way: said once, and the run stops.
      sayFolderRefused(run->folder, ioErrorText(error));
      takeJob(&pool, k);
      break;
    } else {
      say("cannot write %s: %s\n", printable(run->outputs[k].name).c_str(),
          ioErrorText(error).c_str());
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
  FileIdentity data = identityOf(run.shared.dataFile);
  for (const OutputPlan& out : run.outputs) {
    if (sameFile(identityAt(joinPath(run.folder, out.name)), data)) return &out;
  }
  return nullptr;
}

// Removes the folders a run made when it ends without writing a file into
// them, on every way out.
struct MadeFolders {
  std::vector<std::string> made;
  bool keep = false;
  ~MadeFolders() {
    if (!keep) removeFolders(made);
  }
};

// Clears the progress line on every way out.
struct ProgressLine {
  ~ProgressLine() { clearProgress(); }
};

}  // namespace

int runExtraction(const CommandLine& line) {
  Run run;
  run.line = &line;
  run.writer = &writerFor(line.format);
  run.shared.line = &line;
  std::string dataPath;
  if (openData(line, &run.shared.dataFile, &dataPath) != kExitOk) return kExitFailed;
  run.dataShown = printable(dataPath);
  run.folder = line.outputFolder.empty() ? folderOf(dataPath) : line.outputFolder;
  run.album = toValidUtf8(albumOf(dataPath));
  run.outputs = plannedOutputs(line);
  if (const OutputPlan* out = outputOverData(run)) {
    say("%s is the data file: write the files elsewhere with -o DIR\n",
        printable(joinPath(run.folder, out->name)).c_str());
    return kExitFailed;
  }
  MadeFolders folders;
  IoError error = line.outputFolder.empty() ? kIoOk : makeOutputFolder(run.folder, &folders.made);
  if (error != kIoOk) {
    say("cannot write into %s: %s\n", printable(run.folder).c_str(), ioErrorText(error).c_str());
    return kExitFailed;
  }
  if (!haveRoomFor(line, run.folder, run.outputs)) return kExitFailed;
  ProgressLine progress;
  run.writer->prepare(&run.shared, run.outputs);
  if (line.replayGain) {
    // Seconds of measuring are not spent for a folder that takes no file.
    if (!folderTakesFiles(run.folder, run.outputs.front().name)) return kExitFailed;
    measureFiles(&run);
  }
  size_t written = writeFiles(&run);
  if (run.writer->decodedPeaks && line.replayGain) {
    written -= settleAlbumPeak(run.folder, run.outputs, run.committed, run.decodedPeaks,
                               run.albumPeak);
  }
  folders.keep = written > 0;
  return written == run.outputs.size() ? kExitOk : kExitFailed;
}
