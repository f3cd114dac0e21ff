#include "pool/pool.h"

#include <gtest/gtest.h>

#include <atomic>
#include <chrono>
#include <mutex>
#include <new>
#include <thread>
#include <vector>

namespace {

// Fake jobs that record what the pool does with them: when each ran, how
// many ran at once ahead of the one being taken, and which were dropped.
struct FakeJobs {
  size_t count = 0;
  std::atomic<int> running{0};
  std::atomic<int> mostAtOnce{0};
  std::atomic<size_t> taken{0};        // mirrors the caller's progress
  std::atomic<size_t> furthestAhead{0};  // largest job - taken seen in work
  std::mutex lock;
  std::vector<int> runs;      // per job: how often its work ran
  std::vector<int> drops;     // per job: how often it was dropped
  std::vector<std::thread::id> threadOf;
  std::vector<int> outcome;   // per job: what the last run left (its number + 1)
  std::chrono::milliseconds delay{0};
  size_t slowJob = SIZE_MAX;  // takes ten times the delay
  size_t failingJob = SIZE_MAX;   // returns kIoNotFound
  size_t starvedJob = SIZE_MAX;   // throws std::bad_alloc

  explicit FakeJobs(size_t n) : count(n), runs(n), drops(n), threadOf(n), outcome(n) {}

  PoolJobs jobs() {
    PoolJobs j;
    j.context = this;
    j.count = count;
    j.work = [](void* context, size_t k) {
      auto* f = static_cast<FakeJobs*>(context);
      int now = ++f->running;
      for (int most = f->mostAtOnce; now > most && !f->mostAtOnce.compare_exchange_weak(most, now);) {
      }
      size_t ahead = k - f->taken.load();
      for (size_t far = f->furthestAhead; ahead > far && !f->furthestAhead.compare_exchange_weak(far, ahead);) {
      }
      std::this_thread::sleep_for(k == f->slowJob ? f->delay * 10 : f->delay);
      {
        std::lock_guard<std::mutex> hold(f->lock);
        ++f->runs[k];
        f->threadOf[k] = std::this_thread::get_id();
        f->outcome[k] = static_cast<int>(k) + 1;
      }
      --f->running;
      if (k == f->starvedJob) throw std::bad_alloc();
      return k == f->failingJob ? kIoNotFound : kIoOk;
    };
    j.drop = [](void* context, size_t k) {
      auto* f = static_cast<FakeJobs*>(context);
      std::lock_guard<std::mutex> hold(f->lock);
      ++f->drops[k];
      f->outcome[k] = 0;
    };
    return j;
  }
};

// Takes every job in order as the tool's run does; `retry(k)` says which
// jobs to do again alone. Returns the order in which outcomes were seen.
template <typename Retry>
std::vector<int> takeAll(OrderedPool* pool, FakeJobs* f, Retry retry) {
  std::vector<int> seen;
  for (size_t k = 0; k < f->count; ++k) {
    awaitJob(pool, k);
    if (retry(k) && poolHasWorkers(*pool)) retryAlone(pool, k);
    {
      std::lock_guard<std::mutex> hold(f->lock);
      seen.push_back(f->outcome[k]);
    }
    f->taken = k + 1;
    takeJob(pool, k);
  }
  endPool(pool);
  return seen;
}

std::vector<int> oneToN(size_t n) {
  std::vector<int> v;
  for (size_t k = 0; k < n; ++k) v.push_back(static_cast<int>(k) + 1);
  return v;
}

TEST(OrderedPool, HandsEveryJobBackOnceInOrder) {
  struct Case {
    int threads;
    size_t window;
    size_t jobs;
  } cases[] = {{0, 1, 5}, {1, 1, 5}, {2, 8, 31}, {4, 2, 20}, {3, 8, 2}, {2, 8, 0}};
  for (const Case& c : cases) {
    SCOPED_TRACE(testing::Message() << c.threads << " threads, window " << c.window);
    FakeJobs f(c.jobs);
    f.delay = std::chrono::milliseconds(1);
    f.slowJob = 1;  // later jobs finish first
    OrderedPool pool;
    int started = startPool(&pool, f.jobs(), c.threads, c.window);
    EXPECT_EQ(started, c.threads);
    EXPECT_EQ(takeAll(&pool, &f, [](size_t) { return false; }), oneToN(c.jobs));
    EXPECT_EQ(f.runs, std::vector<int>(c.jobs, 1));
    EXPECT_EQ(f.drops, std::vector<int>(c.jobs, 0));
    // The window bounds how far work runs ahead of the job being taken.
    EXPECT_LT(f.furthestAhead.load(), std::max<size_t>(c.window, 1));
    if (c.threads == 0) {
      for (size_t k = 0; k < c.jobs; ++k) EXPECT_EQ(f.threadOf[k], std::this_thread::get_id());
    }
  }
}

TEST(OrderedPool, WorkersRunBesideEachOtherAndNeverOnTheCallingThread) {
  FakeJobs f(12);
  f.delay = std::chrono::milliseconds(5);
  OrderedPool pool;
  ASSERT_EQ(startPool(&pool, f.jobs(), 3, 8), 3);
  takeAll(&pool, &f, [](size_t) { return false; });
  EXPECT_GE(f.mostAtOnce.load(), 2);  // the window never holds them back to one
  EXPECT_LE(f.mostAtOnce.load(), 3);
  for (size_t k = 0; k < f.count; ++k) EXPECT_NE(f.threadOf[k], std::this_thread::get_id());
}

// A job done again alone: the workers stop, the job and every later one
// that was done is dropped, and from there on each job runs once more on
// the calling thread, so the outcomes are those of a run without workers.
TEST(OrderedPool, RetryAloneRedoesTheRestOnTheCallingThread) {
  FakeJobs f(10);
  f.delay = std::chrono::milliseconds(2);
  OrderedPool pool;
  ASSERT_EQ(startPool(&pool, f.jobs(), 2, 4), 2);
  EXPECT_EQ(takeAll(&pool, &f, [](size_t k) { return k == 3; }), oneToN(10));
  EXPECT_FALSE(poolHasWorkers(pool));
  for (size_t k = 0; k < 3; ++k) {
    EXPECT_EQ(f.runs[k], 1) << k;
    EXPECT_EQ(f.drops[k], 0) << k;
  }
  EXPECT_EQ(f.runs[3], 2);
  EXPECT_EQ(f.drops[3], 1);
  for (size_t k = 3; k < 10; ++k) {
    EXPECT_EQ(f.threadOf[k], std::this_thread::get_id()) << k;
    // Done by a worker before the retry, then dropped and done again here.
    EXPECT_EQ(f.runs[k] - f.drops[k], 1) << k;
  }
}

// Stopping part way (the run ends early): the jobs done but not taken are
// dropped, none is left running, none is dropped twice.
TEST(OrderedPool, EndPoolDropsWhatWasNotTaken) {
  FakeJobs f(16);
  f.delay = std::chrono::milliseconds(2);
  OrderedPool pool;
  ASSERT_EQ(startPool(&pool, f.jobs(), 2, 8), 2);
  for (size_t k = 0; k < 3; ++k) {
    awaitJob(&pool, k);
    f.taken = k + 1;
    takeJob(&pool, k);
  }
  endPool(&pool);
  endPool(&pool);  // harmless twice
  EXPECT_EQ(f.running.load(), 0);
  for (size_t k = 0; k < f.count; ++k) {
    EXPECT_EQ(f.drops[k], k < 3 ? 0 : f.runs[k]) << k;
    EXPECT_LE(f.runs[k], 1) << k;
  }
  // Never more than the window ahead of the last job taken.
  for (size_t k = 3 + 8; k < f.count; ++k) EXPECT_EQ(f.runs[k], 0) << k;
}

// Each job's outcome reaches the caller, on workers and without them; a job
// that runs out of memory is dropped and says so, and the rest go on.
TEST(OrderedPool, KeepsEachOutcomeAndStopsOutOfMemoryAtTheJob) {
  for (int threads : {0, 2}) {
    SCOPED_TRACE(threads);
    FakeJobs f(6);
    f.failingJob = 2;
    f.starvedJob = 4;
    OrderedPool pool;
    ASSERT_EQ(startPool(&pool, f.jobs(), threads, 3), threads);
    std::vector<IoError> outcomes;
    for (size_t k = 0; k < f.count; ++k) {
      awaitJob(&pool, k);
      outcomes.push_back(jobOutcome(pool, k));
      f.taken = k + 1;
      takeJob(&pool, k);
    }
    EXPECT_EQ(outcomes,
              (std::vector<IoError>{kIoOk, kIoOk, kIoNotFound, kIoOk, kIoNoMemory, kIoOk}));
    EXPECT_EQ(f.drops, (std::vector<int>{0, 0, 0, 0, 1, 0}));
  }
}

// A pool that goes out of scope ends itself: its workers are joined and
// what was done and not taken is dropped.
TEST(OrderedPool, EndsWhenItGoesOutOfScope) {
  FakeJobs f(8);
  f.delay = std::chrono::milliseconds(2);
  {
    OrderedPool pool;
    ASSERT_EQ(startPool(&pool, f.jobs(), 2, 4), 2);
    awaitJob(&pool, 0);
    takeJob(&pool, 0);
  }
  EXPECT_EQ(f.running.load(), 0);
  EXPECT_EQ(f.drops[0], 0);
  for (size_t k = 1; k < f.count; ++k) EXPECT_EQ(f.drops[k], f.runs[k]) << k;
}

}  // namespace
