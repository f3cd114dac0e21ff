// The album peak of Ogg Vorbis files with --replaygain, which must bound
// what a decoder gives of every file of the run.
#include <algorithm>
#include <cmath>

#include "app/app.h"
#include "loudness/loudness.h"
#include "ogg/ogg.h"
#include "platform/platform.h"
#include "pool/pool.h"
#include "utf8/utf8.h"

namespace {

// Half a decibel above the measured peak: room for what the encoder adds.
double provisionalPeak(int32_t measuredPeak) {
  return measuredPeak / 32768.0 * std::pow(10.0, 0.5 / 20);
}

// The files of a run copied with the album peak settled: copy k of file k.
struct AlbumCopies {
  const std::string& folder;
  const std::vector<OutputPlan>& outputs;
  const std::vector<uint8_t>& committed;
  std::string value;               // the album peak's new text
  std::vector<OutputFile> files;   // the copies, unnamed until committed
};

IoError copyJob(void* context, size_t k) {
  auto* copies = static_cast<AlbumCopies*>(context);
  if (!copies->committed[k]) return kIoOk;
  FileHandle in;
  FileCloser owner{&in};
  int64_t size = 0;
  OutputFile* copy = &copies->files[k];
  IoError error = openDataFile(joinPath(copies->folder, copies->outputs[k].name), &in, &size);
  if (error == kIoOk) error = createOutput(copies->folder, copies->outputs[k].name, copy);
  if (error == kIoOk) {
    error = copyOggWithTag(in, size, copy, "REPLAYGAIN_ALBUM_PEAK", copies->value);
  }
  return error;
}

void dropCopy(void* context, size_t k) {
  discardOutput(&static_cast<AlbumCopies*>(context)->files[k]);
}

}  // namespace

std::string provisionalAlbumPeak(int32_t measuredPeak) {
  return peakTextAtLeast(provisionalPeak(measuredPeak));
}

size_t settleAlbumPeak(const std::string& folder, const std::vector<OutputPlan>& outputs,
                       const std::vector<uint8_t>& committed,
                       const std::vector<double>& decodedPeaks, int32_t measuredPeak) {
  double decoded = 0;
  for (size_t k = 0; k < outputs.size(); ++k) {
    if (committed[k]) decoded = std::max(decoded, decodedPeaks[k]);
  }
  // The tag holds the provisional peak rounded up to a millionth.
  double written = provisionalPeak(measuredPeak);
  if (written >= decoded && written + 1e-6 <= decoded * std::pow(10.0, 1.0 / 20)) return 0;
  AlbumCopies copies{folder, outputs, committed, peakTextAtLeast(decoded),
                     std::vector<OutputFile>(outputs.size())};
  // One copy at a time, on this thread; the pool is where a copy's
  // std::bad_alloc stops.
  OrderedPool pool;
  startPool(&pool, PoolJobs{&copies, outputs.size(), copyJob, dropCopy}, 0, 1);
  size_t failed = 0;
  for (size_t k = 0; k < outputs.size(); ++k) {
    awaitJob(&pool, k);
    IoError error = jobOutcome(pool, k);
    if (error == kIoOk && committed[k]) error = commitOutput(&copies.files[k]);
    if (error != kIoOk) {
      discardOutput(&copies.files[k]);
      say("cannot write %s: %s\n", printable(outputs[k].name).c_str(),
          ioErrorText(error).c_str());
      ++failed;
    }
    takeJob(&pool, k);
  }
  return failed;
}
