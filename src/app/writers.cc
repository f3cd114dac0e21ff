// The writers, one row per format: what the run asks of each, and how each
// writes one planned file into an unnamed output.
#include <algorithm>
#include <iterator>
#include <memory>
#include <thread>

#include "app/app.h"
#include "flac/flac.h"
#include "loudness/loudness.h"
#include "ogg/ogg.h"
#include "wave/wave.h"

namespace {

// Fills the fade tables of every file up front: encoders read them on any
// thread. Where one cannot be had, a job makes its own (gainsOrOwn).
void prepareSharedFades(WriterShared* shared, const std::vector<OutputPlan>& outputs) {
  std::vector<const TrackPlan*> plans;
  for (const OutputPlan& out : outputs) plans.push_back(&out.plan);
  if (prepareFades(plans, &shared->fades) != kIoOk) shared->fades.tables.clear();
}

void prepareWave(WriterShared* shared, const std::vector<OutputPlan>&) {
  shared->wave.reset(new WaveWriter);
  shared->wave->fades = &shared->fades;
}

IoError writeWave(WriterShared* shared, FileJob* job, OutputFile* file) {
  return writeTrack(shared->wave.get(), shared->dataFile, file, job->out->plan, job->done);
}

IoError writeFlac(WriterShared* shared, FileJob* job, OutputFile* file) {
  GainTable own;
  const GainTable* gains = nullptr;
  IoError error = gainsOrOwn(shared->fades, job->out->plan, &own, &gains);
  if (error != kIoOk) return error;
  const CommandLine& line = *shared->line;
  int compression = line.compression >= 0 ? line.compression : kFlacDefaultCompression;
  return writeFlacTrack(shared->dataFile, file, job->out->plan, job->tags, compression, gains,
                        job->expect, job->done);
}

IoError writeOgg(WriterShared* shared, FileJob* job, OutputFile* file) {
  GainTable own;
  const GainTable* gains = nullptr;
  IoError error = gainsOrOwn(shared->fades, job->out->plan, &own, &gains);
  if (error != kIoOk) return error;
  // With ReplayGain, the track peak is that of what a decoder gives.
  PeakTag peak{"REPLAYGAIN_TRACK_PEAK", peakTextAtLeast, 0};
  error = writeOggTrack(shared->dataFile, file, job->out->plan, job->tags, shared->line->quality,
                        oggSerial(job->out->trackNumber, job->out->part), gains, job->expect,
                        shared->line->replayGain ? &peak : nullptr, job->done);
  job->decodedPeak = peak.peak;
  return error;
}

const WriterRow kWriterTable[] = {
    {OutputFormat::Wav, "wav", ".wav", false, false, false, prepareWave, writeWave},
    {OutputFormat::Flac, "flac", ".flac", true, true, false, prepareSharedFades, writeFlac},
    {OutputFormat::Ogg, "ogg", ".ogg", true, true, true, prepareSharedFades, writeOgg},
};

}  // namespace

void WaveWriterFree::operator()(WaveWriter* writer) const { delete writer; }

const WriterRow& writerFor(OutputFormat format) {
  for (const WriterRow& row : kWriterTable) {
    if (row.format == format) return row;
  }
  return kWriterTable[0];
}

const WriterRow* writerNamed(const std::string& name) {
  for (const WriterRow& row : kWriterTable) {
    if (name == row.name) return &row;
  }
  return nullptr;
}

std::string writerNamesText() {
  std::string text;
  size_t count = std::size(kWriterTable);
  for (size_t k = 0; k < count; ++k) {
    if (k > 0) text += k + 1 == count ? " or " : ", ";
    text += kWriterTable[k].name;
  }
  return text;
}

const char* formatExtension(OutputFormat format) { return writerFor(format).extension; }

int writerThreads(const WriterRow& writer, size_t files, bool progressShown) {
  if (!writer.encodes) return progressShown ? 1 : 0;
  unsigned cores = std::thread::hardware_concurrency();
  if (cores <= 1) return 0;
  return static_cast<int>(std::min({size_t{cores}, size_t{kMaxOutputsInProgress}, files}));
}

size_t writerWindow(const WriterRow& writer) {
  return writer.encodes ? kMaxOutputsInProgress : 1;
}
