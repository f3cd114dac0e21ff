// The fade curves, their gain tables, and the gains a run owns.
#include <algorithm>
#include <bit>
#include <cmath>

#include "audio/audio.h"

static_assert(std::endian::native == std::endian::little,
              "samples are read and written in host byte order");

// Where the loader picks among builds of a function at run time, the
// scaling loops come in an AVX2 build as well. Products and truncations give
// the same results in any width of register.
#if defined(__x86_64__) && defined(__linux__)
#define KVBGM_VECTOR_CLONES __attribute__((target_clones("avx2", "default")))
#else
#define KVBGM_VECTOR_CLONES
#endif

namespace {

// Both samples of frame j times gains[j], truncated toward zero (conversion
// to an integer truncates; |sample * gain| always fits in 16 bits).
KVBGM_VECTOR_CLONES
void scaleByGains(int16_t* __restrict s, const double* __restrict gains, int64_t frames) {
  for (int64_t j = 0; j < frames; ++j) {
    s[2 * j] = static_cast<int16_t>(static_cast<int32_t>(s[2 * j] * gains[j]));
    s[2 * j + 1] = static_cast<int16_t>(static_cast<int32_t>(s[2 * j + 1] * gains[j]));
  }
}

// The same for pairs of frames, the first of each pair scaled by even[k],
// the second by odd[k].
KVBGM_VECTOR_CLONES
void scaleByPairs(int16_t* __restrict s, const double* __restrict even,
                  const double* __restrict odd, int64_t pairs) {
  for (int64_t k = 0; k < pairs; ++k) {
    s[4 * k] = static_cast<int16_t>(static_cast<int32_t>(s[4 * k] * even[k]));
    s[4 * k + 1] = static_cast<int16_t>(static_cast<int32_t>(s[4 * k + 1] * even[k]));
    s[4 * k + 2] = static_cast<int16_t>(static_cast<int32_t>(s[4 * k + 2] * odd[k]));
    s[4 * k + 3] = static_cast<int16_t>(static_cast<int32_t>(s[4 * k + 3] * odd[k]));
  }
}

}  // namespace

double fadeGain(FadePattern pattern, int64_t t, int64_t n) {
  double x = static_cast<double>(t) / static_cast<double>(n);
  switch (pattern) {
    case FadePattern::Exponential: return std::pow(0.001, x);
    case FadePattern::Linear: return 1.0 - x;
    case FadePattern::Blend: return (std::pow(0.001, x) + (1.0 - x)) * 0.5;
    case FadePattern::RaisedCosine:
      return (std::cos(static_cast<double>(t) * 3.1415926535 /
                       static_cast<double>(n)) + 1.0) * 0.5;
  }
  return 1.0;
}

bool gainsServe(const GainTable& table, FadePattern pattern, int64_t n) {
  return n > 0 && table.frames > 0 && table.pattern == pattern &&
         (table.frames == n || table.frames == 2 * n);
}

IoError reserveGains(GainTable* table, FadePattern pattern, int64_t n) {
  table->frames = 0;
  table->pattern = pattern;
  try {
    table->values.clear();
    table->values.resize(static_cast<size_t>(n));
  } catch (const std::bad_alloc&) {
    table->values = PageVector<double>();
    return kIoNoMemory;
  }
  return kIoOk;
}

GainView gainView(const GainTable& table, int64_t n) {
  const double* values = table.values.data();
  if (table.frames == 2 * n) return {values, nullptr};
  return {values, values + (n + 1) / 2};
}

void computeGains(GainView view, FadePattern pattern, int64_t from, int64_t to, int64_t n) {
  auto* even = const_cast<double*>(view.even);
  auto* odd = const_cast<double*>(view.odd);
  for (int64_t t = from; t < to; ++t) {
    (t % 2 == 0 ? even : odd)[t / 2] = fadeGain(pattern, t, n);
  }
}

IoError prepareGains(GainTable* table, FadePattern pattern, int64_t n) {
  if (gainsServe(*table, pattern, n)) return kIoOk;
  IoError error = reserveGains(table, pattern, n);
  if (error != kIoOk) return error;
  computeGains(gainView(*table, n), pattern, 0, n, n);
  table->frames = n;
  return kIoOk;
}

void scaleView(GainView g, int16_t* samples, int64_t frameCount, int64_t firstFrame) {
  int16_t* s = samples;
  if (g.odd == nullptr) {
    scaleByGains(s, g.even + firstFrame, frameCount);
    return;
  }
  int64_t t = firstFrame, end = firstFrame + frameCount;
  if (t < end && t % 2 != 0) {  // an odd frame first
    scaleByGains(s, g.odd + t / 2, 1);
    s += 2, ++t;
  }
  int64_t pairs = (end - t) / 2;
  scaleByPairs(s, g.even + t / 2, g.odd + t / 2, pairs);
  s += 4 * pairs, t += 2 * pairs;
  if (t < end) scaleByGains(s, g.even + t / 2, 1);  // an even frame last
}

IoError scaleFrames(GainTable* gains, int16_t* samples, int64_t frameCount, int64_t firstFrame,
                    int64_t n, FadePattern pattern) {
  IoError error = prepareGains(gains, pattern, n);
  if (error == kIoOk) scaleView(gainView(*gains, n), samples, frameCount, firstFrame);
  return error;
}

IoError prepareFades(const std::vector<const TrackPlan*>& plans, FadeGains* fades) {
  std::vector<const TrackPlan*> faded;
  for (const TrackPlan* plan : plans) {
    if (plan->fadeBytes > 0) faded.push_back(plan);
  }
  std::stable_sort(faded.begin(), faded.end(), [](const TrackPlan* a, const TrackPlan* b) {
    return a->fadeBytes > b->fadeBytes;
  });
  for (const TrackPlan* plan : faded) {
    if (gainsFor(*fades, *plan) != nullptr) continue;
    fades->tables.emplace_back();
    IoError error =
        prepareGains(&fades->tables.back(), plan->pattern, plan->fadeBytes / kFrameBytes);
    if (error != kIoOk) return error;
  }
  return kIoOk;
}

const GainTable* gainsFor(const FadeGains& fades, const TrackPlan& plan) {
  if (plan.fadeBytes <= 0) return nullptr;
  for (const GainTable& table : fades.tables) {
    if (gainsServe(table, plan.pattern, plan.fadeBytes / kFrameBytes)) return &table;
  }
  return nullptr;
}

IoError gainsOrOwn(const FadeGains& fades, const TrackPlan& plan, GainTable* own,
                   const GainTable** gains) {
  *gains = gainsFor(fades, plan);
  if (*gains != nullptr || plan.fadeBytes <= 0) return kIoOk;
  *gains = own;
  return prepareGains(own, plan.pattern, plan.fadeBytes / kFrameBytes);
}

GainTable* fadeTableToFill(FadeGains* fades, const TrackPlan& plan) {
  int64_t n = plan.fadeBytes / kFrameBytes;
  for (GainTable& table : fades->tables) {
    if (gainsServe(table, plan.pattern, n)) return &table;
  }
  for (GainTable& table : fades->tables) {
    if (table.pattern == plan.pattern) return &table;
  }
  fades->tables.emplace_back();
  fades->tables.back().pattern = plan.pattern;
  return &fades->tables.back();
}
