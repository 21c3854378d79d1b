// Micro-benchmarks of the classifier: the CPU time of one verdict on a file
// held in memory, for the kinds of file that take different ways through
// it, next to the copying of the same bytes alone (what the reads cost at
// the least). The files are 1 MiB (read whole) or 64 MiB (read in windows,
// made up as they are read from a 1 MiB pattern): music and random bytes
// take a first look at four windows there, hiss (noise, the same in both
// channels, whose roughness is near its threshold) all 15 windows and then
// every cell, the dearest way.
#include <benchmark/benchmark.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstring>
#include <numbers>
#include <span>
#include <vector>

#include "convert/classify.h"

namespace {

using Bytes = std::vector<std::uint8_t>;

constexpr std::size_t kMiB = 1 << 20;

struct Noise {
  std::uint32_t state = 12345;
  double Next() {  // -1 to 1
    state = state * 1664525u + 1013904223u;
    return static_cast<double>(state >> 8) / (1 << 23) - 1.0;
  }
};

void Put(Bytes& bytes, double value) {
  const auto sample =
      static_cast<std::uint16_t>(static_cast<std::int16_t>(std::clamp(value, -32768.0, 32767.0)));
  bytes.push_back(static_cast<std::uint8_t>(sample));
  bytes.push_back(static_cast<std::uint8_t>(sample >> 8));
}

// 1 MiB of chords under a little noise, a new chord every half second, or
// of hiss, in blocks of `per_channel` bytes of each channel (0: frames; 1:
// mono).
Bytes Music(std::size_t per_channel, bool hiss = false) {
  const std::size_t samples = per_channel == 1 ? kMiB / 2 : kMiB / 4;
  std::vector<double> left(samples), right(samples);
  Noise noise;
  for (std::size_t i = 0; i < samples; ++i) {
    const double t = static_cast<double>(i) / 48000;
    const int chord = static_cast<int>(t * 2);
    const double envelope = 6000 * std::exp(-1.5 * (t - chord / 2.0));
    const double f = 196.0 * (1 + chord % 3 * 0.25);
    left[i] =
        envelope * (std::sin(2 * std::numbers::pi * f * t) + std::sin(2 * std::numbers::pi * 1.5 * f * t)) +
        2 * noise.Next();
    right[i] = envelope * std::sin(2 * std::numbers::pi * 1.26 * f * t + 1) + 2 * noise.Next();
    if (hiss) left[i] = right[i] = 3000 * noise.Next();
  }
  Bytes bytes;
  bytes.reserve(kMiB);
  if (per_channel <= 1) {
    for (std::size_t i = 0; i < samples; ++i) {
      if (per_channel == 1) {
        Put(bytes, left[i]);
      } else {
        Put(bytes, left[i]);
        Put(bytes, right[i]);
      }
    }
    return bytes;
  }
  const std::size_t run = per_channel / 2;
  for (std::size_t start = 0; start < samples; start += run) {
    for (std::size_t i = start; i < start + run; ++i) Put(bytes, left[i]);
    for (std::size_t i = start; i < start + run; ++i) Put(bytes, right[i]);
  }
  return bytes;
}

Bytes Random() {
  Noise noise;
  Bytes bytes(kMiB);
  for (auto& byte : bytes)
    byte = static_cast<std::uint8_t>(noise.state = noise.state * 1664525u + 1013904223u);
  return bytes;
}

// Reads a file whose bytes are the pattern over and over.
std::size_t ReadFrom(const Bytes& pattern, std::uint64_t offset, std::span<std::uint8_t> buffer) {
  std::size_t done = 0;
  while (done < buffer.size()) {
    const std::size_t at = static_cast<std::size_t>((offset + done) % pattern.size());
    const std::size_t count = std::min(buffer.size() - done, pattern.size() - at);
    std::memcpy(buffer.data() + done, pattern.data() + at, count);
    done += count;
  }
  return done;
}

// One verdict on a file of `state.range(0)` MiB of `kind`'s bytes, which
// must be called `word`.
void BM_Classify(benchmark::State& state, const Bytes& (*kind)(), const char* word) {
  const Bytes& pattern = kind();
  const std::uint64_t size = static_cast<std::uint64_t>(state.range(0)) * kMiB;
  const auto read_at = [&](std::uint64_t offset, std::span<std::uint8_t> buffer) {
    return ReadFrom(
        pattern, offset,
        buffer.first(static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - offset))));
  };
  if (plivex::VerdictWord(plivex::Classify(size, read_at)) != word) state.SkipWithError("a wrong verdict");
  for (auto _ : state) benchmark::DoNotOptimize(plivex::Classify(size, read_at));
}

template <std::size_t kPerChannel>
const Bytes& MusicAs() {
  static const Bytes bytes = Music(kPerChannel);
  return bytes;
}

const Bytes& Hiss() {
  static const Bytes bytes = Music(0x200, true);
  return bytes;
}

const Bytes& RandomBytes() {
  static const Bytes bytes = Random();
  return bytes;
}

BENCHMARK_CAPTURE(BM_Classify, bgm, MusicAs<0x200>, "bgm")->Arg(1)->Arg(64)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Classify, interleave_0x4000, MusicAs<0x4000>, "interleave-0x4000")
    ->Arg(1)
    ->Arg(64)
    ->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Classify, frames, MusicAs<0>, "frames")->Arg(1)->Arg(64)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Classify, mono, MusicAs<1>, "mono")->Arg(1)->Arg(64)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Classify, random, RandomBytes, "other")->Arg(1)->Arg(64)->Unit(benchmark::kMicrosecond);
BENCHMARK_CAPTURE(BM_Classify, hiss, Hiss, "bgm")->Arg(1)->Arg(64)->Unit(benchmark::kMicrosecond);

// The bytes a verdict reads, copied alone: a whole file of 1 MiB, or the
// windows of a larger one (15 of 64.5 KiB).
void BM_ClassifyCopyOnly(benchmark::State& state) {
  const Bytes& pattern = RandomBytes();
  Bytes into(kMiB);
  const std::size_t size = state.range(0) == 1 ? kMiB : 15 * (64 * 1024 + 512);
  for (auto _ : state) {
    benchmark::DoNotOptimize(ReadFrom(pattern, 0, std::span(into).first(size)));
    benchmark::ClobberMemory();
  }
}
BENCHMARK(BM_ClassifyCopyOnly)->Arg(1)->Arg(64)->Unit(benchmark::kMicrosecond);

}  // namespace
