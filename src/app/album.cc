// The album peak of Ogg Vorbis files with --replaygain, which must bound
// what a decoder gives of every file of the run.
#include <algorithm>
#include <cmath>

#include "app/app.h"
#include "loudness/loudness.h"
#include "ogg/ogg.h"
#include "platform/platform.h"
#include "utf8/utf8.h"

namespace {

// Half a decibel above the measured peak: room for what the encoder adds.
double provisionalPeak(int32_t measuredPeak) {
  return measuredPeak / 32768.0 * std::pow(10.0, 0.5 / 20);
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
  std::string value = peakTextAtLeast(decoded);
  size_t failed = 0;
  for (size_t k = 0; k < outputs.size(); ++k) {
    if (!committed[k]) continue;
    const std::string& name = outputs[k].name;
    FileHandle in;
    int64_t size = 0;
    OutputFile copy;
    IoError error = openDataFile(joinPath(folder, name), &in, &size);
    if (error == kIoOk) error = createOutput(folder, name, &copy);
    if (error == kIoOk) error = copyOggWithTag(in, size, &copy, "REPLAYGAIN_ALBUM_PEAK", value);
    closeFile(&in);
    if (error == kIoOk) error = commitOutput(&copy);
    if (error != kIoOk) {
      discardOutput(&copy);
      say("cannot write %s: %s\n", printable(name).c_str(), errorReason(error).c_str());
      ++failed;
    }
  }
  return failed;
}
