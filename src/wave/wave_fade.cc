// The fade of a WAV file on two threads: the writer's helper and the
// caller's.
#include <algorithm>
#include <atomic>
#include <climits>
#include <new>

#include "wave/wave.h"

namespace {

// A track's fade on two threads. Its work is a list of items that either
// thread claims in order: first the blocks of gains that the writer does not
// hold yet, then the pieces of the faded stream, each read, scaled and
// written at its own place in the file. The writer's helper thread starts on
// them at once, while the caller's thread has the kernel copy the unfaded
// part; then the caller takes its share of what is left. The bytes are those
// of scaleFrames: the same gains and products, computed elsewhere.
constexpr int64_t kGainBlockFrames = 8192;  // the gains one thread claims at a time

// One thread's part: its buffer, and the first piece it could not write.
// One thread's part of a fade: written only by the thread that does it; the
// helper's is read by the writer's thread once `finished` says it is done.
struct FadeShare {
  int16_t* samples = nullptr;  // kChunkBufferBytes
  int32_t failedPiece = INT32_MAX;
  IoError error = kIoOk;
};

struct FadeWork {
  // Set before the helper starts on it, then only read.
  FileHandle dataFile;
  OutputFile* output = nullptr;
  const TrackPlan* plan = nullptr;
  int64_t fadeStart = 0;    // stream offset of the first faded byte
  int64_t fileOffset = 0;   // where it goes in the file
  GainView gains = {};      // the table the fade uses
  int64_t tableFrames = 0;  // the frames of the table being computed
  int32_t blockCount = 0;   // its blocks; 0 when the table is kept
  int32_t pieceCount = 0;   // pieces of kChunkBufferBytes
  StreamCount* done = nullptr;  // the caller's count of the bytes written
  // Shared by both threads, no lock: each field atomic.
  std::atomic<int32_t> nextBlock{0};   // the next block to claim
  std::atomic<int32_t> blocksDone{0};  // blocks computed
  std::atomic<int32_t> nextPiece{0};   // the next piece to claim
  std::atomic<bool> stop{false};       // a thread failed: claim no more
  FadeShare helperShare;
};

// Claims and does items until none is left or a thread has failed. Returns
// once its own items are done; the other thread's may still be under way.
void doFadeWork(FadeWork* w, FadeShare* share) {
  if (w->blockCount > 0) {
    for (;;) {
      if (w->stop.load(std::memory_order_relaxed)) return;
      int32_t block = w->nextBlock.fetch_add(1, std::memory_order_relaxed);
      if (block >= w->blockCount) break;
      int64_t from = block * kGainBlockFrames;
      computeGains(w->gains, w->plan->pattern, from,
                   std::min(w->tableFrames, from + kGainBlockFrames), w->tableFrames);
      if (w->blocksDone.fetch_add(1, std::memory_order_release) + 1 == w->blockCount) {
        w->blocksDone.notify_all();
      }
    }
    // Every block is claimed; wait for those the other thread is finishing.
    for (int32_t done; (done = w->blocksDone.load(std::memory_order_acquire)) < w->blockCount;) {
      w->blocksDone.wait(done, std::memory_order_acquire);
    }
  }
  for (;;) {
    if (w->stop.load(std::memory_order_relaxed)) return;
    int32_t piece = w->nextPiece.fetch_add(1, std::memory_order_relaxed);
    if (piece >= w->pieceCount) return;
    int64_t offset = piece * int64_t{kChunkBufferBytes};
    auto n = static_cast<size_t>(std::min<int64_t>(kChunkBufferBytes, w->plan->fadeBytes - offset));
    IoError error = readRanges(w->dataFile, *w->plan, w->fadeStart + offset, share->samples, n);
    if (error == kIoOk) {
      scaleView(w->gains, share->samples, static_cast<int64_t>(n) / kFrameBytes,
                offset / kFrameBytes);
      error = writeAt(w->output, w->fileOffset + offset, share->samples, n);
      if (error == kIoOk) addToCount(w->done, static_cast<int64_t>(n));
    }
    if (error != kIoOk) {
      // Pieces are claimed in order, so every earlier one is being done.
      share->failedPiece = piece;
      share->error = error;
      w->stop.store(true, std::memory_order_relaxed);
      return;
    }
  }
}

}  // namespace

// The helper waits for a job, does its share and says so, until given none.
// The helper thread and its mailbox. `job` is written by the writer's
// thread before it adds to `posted` (release), and read by the helper once
// it sees that (acquire); the helper adds to `finished` (release) when its
// share is done, and the writer's thread waits for that (acquire) before it
// reads the share or reuses the job. `samples` is the helper's alone.
struct FadeHelper {
  ThreadHandle thread;
  std::atomic<int32_t> posted{0};    // jobs given
  std::atomic<int32_t> finished{0};  // jobs whose share is done
  FadeWork* job = nullptr;           // the latest; null to end
  alignas(16) int16_t samples[kChunkBufferBytes / 2];
};

void FadeHelperEnd::operator()(FadeHelper* helper) const {
  helper->job = nullptr;
  helper->posted.fetch_add(1, std::memory_order_release);
  helper->posted.notify_one();
  joinThread(&helper->thread);
  delete helper;
}

namespace {

void runFadeHelper(void* arg) {
  auto* helper = static_cast<FadeHelper*>(arg);
  for (int32_t seen = 0;;) {
    int32_t posted;
    while ((posted = helper->posted.load(std::memory_order_acquire)) == seen) {
      helper->posted.wait(seen, std::memory_order_acquire);
    }
    seen = posted;
    FadeWork* job = helper->job;
    if (job == nullptr) return;
    doFadeWork(job, &job->helperShare);
    helper->finished.store(seen, std::memory_order_release);
    helper->finished.notify_one();
  }
}

// The writer's helper, started if need be; null when no thread can be
// started.
FadeHelper* fadeHelper(WaveWriter* writer) {
  if (writer->helper) return writer->helper.get();
  auto* helper = new (std::nothrow) FadeHelper;
  if (helper == nullptr) return nullptr;
  if (startThread(runFadeHelper, helper, &helper->thread) != kIoOk) {
    delete helper;
    return nullptr;
  }
  writer->helper.reset(helper);
  return helper;
}

// The ranges' bytes before the fade, as they are.
IoError copyUnfaded(FileHandle dataFile, OutputFile* output, const TrackPlan& plan,
                    ChunkBuffer* buffer, StreamCount* done) {
  int32_t bytesPerSecond = plan.sampleRate * kFrameBytes;
  int64_t fadeStart = plan.dataLength - plan.fadeBytes;
  int64_t streamPos = 0;
  for (const ByteRange& r : plan.ranges) {
    int64_t plain = std::clamp(fadeStart - streamPos, int64_t{0}, r.to - r.from);
    IoError error =
        copyRange(dataFile, output, r.from, r.from + plain, bytesPerSecond, buffer, done);
    if (error != kIoOk) return error;
    streamPos += r.to - r.from;
  }
  return kIoOk;
}

}  // namespace

bool writeFadedTwoThreads(WaveWriter* writer, FileHandle dataFile, OutputFile* output,
                          const TrackPlan& plan, size_t headerBytes, IoError* error,
                          StreamCount* count) {
  if (!writesAtOffsets(*output)) return false;
  FadeWork work;
  work.dataFile = dataFile;
  work.output = output;
  work.plan = &plan;
  work.done = count;
  work.fadeStart = plan.dataLength - plan.fadeBytes;
  work.fileOffset = static_cast<int64_t>(headerBytes) + work.fadeStart;
  work.pieceCount = static_cast<int32_t>((plan.fadeBytes + kChunkBufferBytes - 1) / kChunkBufferBytes);
  int64_t n = plan.fadeBytes / kFrameBytes;
  GainTable* gains = fadeTableToFill(writer->fades, plan);
  bool kept = gainsServe(*gains, plan.pattern, n);
  FadeHelper* helper = fadeHelper(writer);
  if (helper == nullptr) return false;
  // Until every block is computed, the table holds no gains to keep.
  if (!kept && reserveGains(gains, plan.pattern, n) != kIoOk) return false;
  work.gains = gainView(*gains, n);
  if (!kept) {
    work.tableFrames = n;
    work.blockCount = static_cast<int32_t>((n + kGainBlockFrames - 1) / kGainBlockFrames);
  }
  work.helperShare.samples = helper->samples;
  helper->job = &work;
  int32_t job = helper->posted.fetch_add(1, std::memory_order_release) + 1;
  helper->posted.notify_one();

  *error = copyUnfaded(dataFile, output, plan, &writer->buffer, count);
  FadeShare mine;
  mine.samples = writer->buffer.samples;
  if (*error == kIoOk) {
    doFadeWork(&work, &mine);
  } else {
    work.stop.store(true, std::memory_order_relaxed);
  }
  for (int32_t done; (done = helper->finished.load(std::memory_order_acquire)) != job;) {
    helper->finished.wait(done, std::memory_order_acquire);
  }
  if (!kept && work.blocksDone.load(std::memory_order_relaxed) == work.blockCount) {
    gains->frames = n;
  }
  if (*error == kIoOk) {
    const FadeShare& first = mine.failedPiece < work.helperShare.failedPiece ? mine : work.helperShare;
    *error = first.error;
  }
  return true;
}

