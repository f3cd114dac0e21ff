#include "pool/pool.h"

#include <chrono>

#include <new>

namespace {

// Does job k on this thread: the one place where a job's std::bad_alloc
// stops. Its outcome is written before done[k] is set.
void doJob(OrderedPool* pool, size_t k) {
  IoError outcome = kIoNoMemory;
  try {
    outcome = pool->jobs.work(pool->jobs.context, k);
  } catch (const std::bad_alloc&) {
    pool->jobs.drop(pool->jobs.context, k);
  }
  pool->outcome[k] = outcome;
}

// A worker: claims the next job while the window allows, does it, says so.
void runWorker(void* arg) {
  auto* pool = static_cast<OrderedPool*>(arg);
  for (;;) {
    size_t k;
    {
      std::unique_lock<std::mutex> hold(pool->lock);
      pool->changed.wait(hold, [&] {
        return pool->stopping || pool->next >= pool->jobs.count ||
               pool->next < pool->taken + pool->window;
      });
      if (pool->stopping || pool->next >= pool->jobs.count) return;
      k = pool->next++;
    }
    doJob(pool, k);
    std::lock_guard<std::mutex> hold(pool->lock);
    pool->done[k] = 1;
    pool->changed.notify_all();
  }
}

// Stops and joins the workers; the jobs they had not claimed are left for
// the calling thread.
void stopWorkers(OrderedPool* pool) {
  {
    std::lock_guard<std::mutex> hold(pool->lock);
    pool->stopping = true;
    pool->changed.notify_all();
  }
  for (ThreadHandle& thread : pool->threads) joinThread(&thread);
  pool->threads.clear();
}

}  // namespace

int startPool(OrderedPool* pool, const PoolJobs& jobs, int threads, size_t window) {
  pool->jobs = jobs;
  pool->window = window < 1 ? 1 : window;
  pool->done.assign(jobs.count, 0);
  pool->outcome.assign(jobs.count, kIoOk);
  // Reserved first: a started worker's handle must not move.
  pool->threads.reserve(threads > 0 ? static_cast<size_t>(threads) : 0);
  for (int t = 0; t < threads; ++t) {
    pool->threads.emplace_back();
    if (startThread(runWorker, pool, &pool->threads.back()) != kIoOk) {
      pool->threads.pop_back();
      break;
    }
  }
  return static_cast<int>(pool->threads.size());
}

bool poolHasWorkers(const OrderedPool& pool) { return !pool.threads.empty(); }

void awaitJob(OrderedPool* pool, size_t k) {
  {
    std::unique_lock<std::mutex> hold(pool->lock);
    if (!pool->threads.empty()) {
      // k is inside the window, so a worker claims it if none has.
      pool->changed.wait(hold, [&] { return pool->done[k] != 0; });
      return;
    }
    if (pool->done[k] != 0) return;
    if (pool->next <= k) pool->next = k + 1;
  }
  doJob(pool, k);
  std::lock_guard<std::mutex> hold(pool->lock);
  pool->done[k] = 1;
}

bool awaitJobFor(OrderedPool* pool, size_t k, int milliseconds) {
  {
    std::unique_lock<std::mutex> hold(pool->lock);
    if (!pool->threads.empty()) {
      return pool->changed.wait_for(hold, std::chrono::milliseconds(milliseconds),
                                    [&] { return pool->done[k] != 0; });
    }
  }
  awaitJob(pool, k);
  return true;
}

void retryAlone(OrderedPool* pool, size_t k) {
  stopWorkers(pool);
  for (size_t j = k; j < pool->jobs.count; ++j) {
    if (pool->done[j] != 0) pool->jobs.drop(pool->jobs.context, j);
    pool->done[j] = 0;
  }
  pool->next = k + 1;
  doJob(pool, k);
  pool->done[k] = 1;
}

IoError jobOutcome(const OrderedPool& pool, size_t k) { return pool.outcome[k]; }

void takeJob(OrderedPool* pool, size_t k) {
  std::lock_guard<std::mutex> hold(pool->lock);
  pool->taken = k + 1;
  pool->changed.notify_all();
}

void endPool(OrderedPool* pool) {
  stopWorkers(pool);
  for (size_t j = pool->taken; j < pool->done.size(); ++j) {
    if (pool->done[j] != 0) pool->jobs.drop(pool->jobs.context, j);
    pool->done[j] = 0;
  }
}

OrderedPool::~OrderedPool() { endPool(this); }
