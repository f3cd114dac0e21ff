// The fade kernel: frames per second of scaleFrames for each curve, once
// with the gains already computed (every track after the first in a run with
// one fade length) and once computing them (the first track).
#include <benchmark/benchmark.h>

#include <cmath>
#include <memory>

#include "audio/audio.h"

namespace {

constexpr int64_t kFadeFrames = 30 * 44100;  // the longest fade
constexpr int64_t kChunkFrames = kChunkBufferBytes / kFrameBytes;

// Music at a typical level: a chord peaking near -8 dBFS.
void fillChunk(ChunkBuffer* buffer) {
  for (int i = 0; i < kChunkBufferBytes / 2; ++i) {
    double t = (i / 2) / 44100.0;
    double v = 6000 * std::sin(2 * 3.14159265 * 220 * t) + 5000 * std::sin(2 * 3.14159265 * 277 * t) +
               2000 * std::sin(2 * 3.14159265 * 330 * t + (i % 2));
    buffer->samples[i] = static_cast<int16_t>(v);
  }
}

// A whole 30-second fade, chunk by chunk: with the gains kept from before
// (kCold false: every track after the first in a run with one fade length),
// or computed first (kCold true: the run's first track).
template <bool kCold>
void BM_Fade(benchmark::State& state) {
  auto pattern = static_cast<FadePattern>(state.range(0));
  auto buffer = std::make_unique<ChunkBuffer>();
  GainTable gains;
  fillChunk(buffer.get());
  scaleFrames(&gains, buffer->samples, 1, 0, kFadeFrames, pattern);  // computes the gains
  for (auto _ : state) {
    if (kCold) gains = GainTable();
    for (int64_t t = 0; t < kFadeFrames; t += kChunkFrames) {
      scaleFrames(&gains, buffer->samples, kChunkFrames, t, kFadeFrames, pattern);
    }
    benchmark::DoNotOptimize(buffer->samples);
  }
  state.SetItemsProcessed(state.iterations() * kFadeFrames);
}

// The curve itself, evaluated per frame as the formula states.
void BM_FadeGainFormula(benchmark::State& state) {
  auto pattern = static_cast<FadePattern>(state.range(0));
  double sum = 0;
  for (auto _ : state) {
    for (int64_t t = 0; t < kChunkFrames; ++t) sum += fadeGain(pattern, t, kFadeFrames);
  }
  benchmark::DoNotOptimize(sum);
  state.SetItemsProcessed(state.iterations() * kChunkFrames);
}

BENCHMARK_TEMPLATE(BM_Fade, false)
    ->Name("BM_FadeWarm")
    ->DenseRange(0, 3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK_TEMPLATE(BM_Fade, true)
    ->Name("BM_FadeCold")
    ->DenseRange(0, 3)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_FadeGainFormula)->DenseRange(0, 3)->Unit(benchmark::kMicrosecond);

}  // namespace
