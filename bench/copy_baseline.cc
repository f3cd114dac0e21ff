// The benchmark's baseline: writes the same files as kvbgm2wav for the same
// settings, header and byte ranges alike, but with nothing else: each range
// goes from kvbgm.dat to the file by the kernel's file-to-file copy, with no
// temporary file and no fade (faded ranges are copied as they are). This is
// the fastest a program can produce those bytes on this machine.
//
//   copy_baseline [setting ...]      (the tool's own settings; run in the data's folder)
#include <fcntl.h>
#include <unistd.h>

#include <cstdio>
#include <string>

#include "app/app.h"
#include "wave/wave.h"

namespace {

bool copyAll(int in, int64_t from, int64_t to, int out) {
  loff_t offset = from;
  while (offset < to) {
    ssize_t n = copy_file_range(in, &offset, out, nullptr, static_cast<size_t>(to - offset), 0);
    if (n <= 0) return false;
  }
  return true;
}

}  // namespace

int main(int argc, char** argv) {
  prepareCatalog();
  CommandLine line = parseCommandLine(argc - 1, argv + 1);
  if (!checkCommandLine(line).empty() || line.split) return 2;
  const ExtractOptions& options = line.options;
  int in = open(kDataFileName, O_RDONLY);
  if (in < 0) return 1;
  for (int i = firstIndex(options); i < options.lastTrack; ++i) {
    const char* name = trackFileName(i);
    TrackPlan plan = planTrack(trackEntry(i), renderSettings(line), sampleRateFor(name));
    int out = open(name, O_WRONLY | O_CREAT | O_TRUNC, 0666);
    WaveHeader header = buildWaveHeader(static_cast<uint32_t>(plan.dataLength),
                                        plan.sampleRate, plan.loop);
    if (out < 0 || write(out, header.bytes, header.size) != static_cast<ssize_t>(header.size)) {
      return 1;
    }
    for (const ByteRange& r : plan.ranges) {
      if (!copyAll(in, r.from, r.to, out)) return 1;
    }
    if (close(out) != 0) return 1;
  }
  close(in);
  return 0;
}
