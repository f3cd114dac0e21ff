// An ordered pool: jobs 0, 1, ... done on worker threads, at most `window`
// of them ahead of the one the calling thread takes next, and handed back
// to the calling thread strictly in order. Knows nothing of what a job
// makes: the caller keeps what a job made in its own context, and the pool
// keeps each job's outcome, an IoError. A job is where a thread's
// std::bad_alloc stops: it becomes the outcome kIoNoMemory.
//
// The calling thread drives it, one job at a time, k = 0, 1, ...:
// awaitJob(k), then retryAlone(k) if the caller wants k done again with no
// worker beside it, then jobOutcome(k) and takeJob(k). The pool ends
// (endPool) when it goes out of scope, on every way out, or before.
#pragma once

#include <condition_variable>
#include <cstddef>
#include <cstdint>
#include <mutex>
#include <vector>

#include "platform/platform.h"

struct PoolJobs {
  void* context = nullptr;
  size_t count = 0;
  // Does job k, on a worker or on the calling thread, and returns its
  // outcome. Where it throws std::bad_alloc, the pool drops the job (drop)
  // and its outcome is kIoNoMemory; it throws nothing else.
  IoError (*work)(void* context, size_t job) = nullptr;
  // Releases what a job that was done made, when the caller will not take
  // it (the pool stops, or the job is to be done again), or when the job
  // ran out of memory. On the thread that did the job, or the calling one.
  void (*drop)(void* context, size_t job) = nullptr;
};

// Which thread touches what: `jobs`, `window` and `threads` are set by the
// calling thread while no worker runs (startPool, stopWorkers), and only
// read by workers. `next`, `taken`, `done` and `stopping` are read and
// written under `lock` by every thread; `outcome[k]` is written by the
// thread that does job k before it sets done[k] under `lock`, and read by
// the calling thread after it saw done[k] under `lock`.
struct OrderedPool {
  PoolJobs jobs;
  size_t window = 1;         // jobs claimed ahead of `taken`, that one included
  std::mutex lock;
  std::condition_variable changed;
  size_t next = 0;           // the next job a worker claims
  size_t taken = 0;          // jobs [0, taken) are handed back
  std::vector<uint8_t> done; // per job: its work has returned
  std::vector<IoError> outcome;  // per job: what its work returned
  bool stopping = false;     // workers claim no more
  std::vector<ThreadHandle> threads;  // the workers running

  OrderedPool() = default;
  OrderedPool(const OrderedPool&) = delete;
  OrderedPool& operator=(const OrderedPool&) = delete;
  ~OrderedPool();  // endPool
};

// Starts up to `threads` workers (startThread), which claim jobs in order,
// each only while it is fewer than `window` (>= 1) jobs ahead of the next
// one to be taken. Returns how many started: fewer when the system gives
// no more threads, 0 when it gives none (then the calling thread does
// every job itself, in awaitJob). Requires an empty pool.
int startPool(OrderedPool* pool, const PoolJobs& jobs, int threads, size_t window);

// True while workers run beside the calling thread.
bool poolHasWorkers(const OrderedPool& pool);

// Returns once job k, the next one to take, is done: done by a worker, or
// here when no worker has claimed it (always so once the pool has none).
void awaitJob(OrderedPool* pool, size_t k);

// The same, waiting at most `milliseconds` for a worker: true once job k
// is done, false when the time ran out first (then call again). Without
// workers it does the job here and returns true.
bool awaitJobFor(OrderedPool* pool, size_t k, int milliseconds);

// Does job k again on the calling thread, with no worker beside it: stops
// the workers and waits for them, drops job k and every later job that
// was done, then does job k here. Every later job is then done here, one
// at a time, by awaitJob. Requires awaitJob(k) first.
void retryAlone(OrderedPool* pool, size_t k);

// The outcome of job k, once awaitJob(k) (or retryAlone(k)) returned.
IoError jobOutcome(const OrderedPool& pool, size_t k);

// Hands job k back: the window moves on by one job.
void takeJob(OrderedPool* pool, size_t k);

// Stops the workers, waits for the jobs they are doing, and drops every
// job that was done and not taken. Safe to call more than once, and on a
// pool never started.
void endPool(OrderedPool* pool);
