// Micro-benchmarks of the block mapping in both directions: one block in
// cache, the conversion of a chunk of samples of each format into the
// halves of blocks, and whole conversions and packings (of 16-bit, 24-bit
// and float32 stereo) between files held in memory (tmpfs), next to a
// plain copy through the same file layer so that they can be compared in
// one run.
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <array>
#include <cstdint>
#include <filesystem>
#include <fstream>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "convert/bgm_blocks.h"
#include "convert/samples.h"
#include "convert/wav_reader.h"
#include "platform/file.h"

namespace {

using plivex::kBlockSize;

std::filesystem::path MemoryFolder() {
  // /dev/shm is a tmpfs on Linux: file operations there never touch a disk.
  const std::filesystem::path shm = "/dev/shm";
  std::error_code error;
  const auto base = std::filesystem::is_directory(shm, error) ? shm : std::filesystem::temp_directory_path();
  const auto folder = base / ("plivex-bench-" + std::to_string(::getpid()));
  std::filesystem::create_directories(folder);
  return folder;
}

std::vector<std::uint8_t> Noise(std::size_t count) {
  std::vector<std::uint8_t> bytes(count);
  std::uint32_t state = 12345;
  for (auto& byte : bytes) {
    state = state * 1664525u + 1013904223u;
    byte = static_cast<std::uint8_t>(state >> 24);
  }
  return bytes;
}

template <auto map_block>
void BM_MapBlock(benchmark::State& state) {
  const auto noise = Noise(kBlockSize);
  std::array<std::uint8_t, kBlockSize> in{};
  std::copy(noise.begin(), noise.end(), in.begin());
  std::array<std::uint8_t, kBlockSize> out{};
  for (auto _ : state) {
    map_block(in, out);
    benchmark::DoNotOptimize(out.data());
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * kBlockSize));
}
BENCHMARK(BM_MapBlock<plivex::DeinterleaveBlock>)->Name("BM_DeinterleaveBlock");
BENCHMARK(BM_MapBlock<plivex::InterleaveBlock>)->Name("BM_InterleaveBlock");

// A chunk of raw frames of random bytes (1 MiB of them, or as many whole
// frames as fit), converted into the halves of blocks; bytes processed are
// the raw ones.
template <plivex::SampleEncoding kEncoding, std::uint32_t kChannels>
void BM_ConvertFrames(benchmark::State& state) {
  const std::size_t frame_size = plivex::SampleSize(kEncoding) * kChannels;
  const auto raw = Noise((1 << 20) / frame_size * frame_size);
  std::vector<std::uint8_t> left(raw.size() / frame_size * 2);
  std::vector<std::uint8_t> right(left.size());
  for (auto _ : state) {
    benchmark::DoNotOptimize(plivex::ConvertFrames(raw, kEncoding, kChannels, left, right));
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * raw.size()));
}
using plivex::SampleEncoding;
BENCHMARK(BM_ConvertFrames<SampleEncoding::kUnsigned8, 2>)->Name("BM_ConvertFrames/8bit_stereo");
BENCHMARK(BM_ConvertFrames<SampleEncoding::kSigned16, 1>)->Name("BM_ConvertFrames/16bit_mono");
BENCHMARK(BM_ConvertFrames<SampleEncoding::kSigned24, 2>)->Name("BM_ConvertFrames/24bit_stereo");
BENCHMARK(BM_ConvertFrames<SampleEncoding::kSigned32, 2>)->Name("BM_ConvertFrames/32bit_stereo");
BENCHMARK(BM_ConvertFrames<SampleEncoding::kFloat32, 2>)->Name("BM_ConvertFrames/float32_stereo");
BENCHMARK(BM_ConvertFrames<SampleEncoding::kFloat64, 2>)->Name("BM_ConvertFrames/float64_stereo");

// The same chunk converted as packing converts it: one call per block, 256
// frames at most, into the block's two halves, so that what each call
// costs besides its frames (the checks, the choice of loop, a loop's start
// and end) counts too.
template <plivex::SampleEncoding kEncoding, std::uint32_t kChannels>
void BM_ConvertFramesPerBlock(benchmark::State& state) {
  constexpr std::size_t kFramesPerBlock = kBlockSize / 4;
  const std::size_t frame_size = plivex::SampleSize(kEncoding) * kChannels;
  const auto raw = Noise((1 << 20) / frame_size * frame_size);
  const std::size_t frames = raw.size() / frame_size;
  std::vector<std::uint8_t> blocks((frames + kFramesPerBlock - 1) / kFramesPerBlock * kBlockSize);
  const std::span<const std::uint8_t> all(raw);
  for (auto _ : state) {
    std::uint64_t clipped = 0;
    for (std::size_t k = 0; k < frames; k += kFramesPerBlock) {
      const std::size_t run = std::min(kFramesPerBlock, frames - k);
      const auto block = std::span(blocks).subspan(k / kFramesPerBlock * kBlockSize, kBlockSize);
      clipped += plivex::ConvertFrames(all.subspan(k * frame_size, run * frame_size), kEncoding, kChannels,
                                       block.first(2 * run), block.subspan(kBlockSize / 2, 2 * run));
    }
    benchmark::DoNotOptimize(clipped);
    benchmark::ClobberMemory();
  }
  state.SetBytesProcessed(static_cast<std::int64_t>(state.iterations() * raw.size()));
}
BENCHMARK(BM_ConvertFramesPerBlock<SampleEncoding::kUnsigned8, 2>)
    ->Name("BM_ConvertFrames/8bit_stereo/per_block");
BENCHMARK(BM_ConvertFramesPerBlock<SampleEncoding::kSigned16, 1>)
    ->Name("BM_ConvertFrames/16bit_mono/per_block");
BENCHMARK(BM_ConvertFramesPerBlock<SampleEncoding::kSigned24, 2>)
    ->Name("BM_ConvertFrames/24bit_stereo/per_block");
BENCHMARK(BM_ConvertFramesPerBlock<SampleEncoding::kSigned32, 2>)
    ->Name("BM_ConvertFrames/32bit_stereo/per_block");
BENCHMARK(BM_ConvertFramesPerBlock<SampleEncoding::kFloat32, 2>)
    ->Name("BM_ConvertFrames/float32_stereo/per_block");
BENCHMARK(BM_ConvertFramesPerBlock<SampleEncoding::kFloat64, 2>)
    ->Name("BM_ConvertFrames/float64_stereo/per_block");

// Runs `body(input, output, length)` once per iteration on a fresh output,
// with the input file of `state.range(0)` MiB held in memory.
template <typename Body>
void OverMemoryFiles(benchmark::State& state, Body body) {
  const auto folder = MemoryFolder();
  const std::string in_path = (folder / "in.bgm").string();
  const std::string out_path = (folder / "out.wav").string();
  const auto length = static_cast<plivex::platform::ByteCount>(state.range(0)) << 20;
  {
    const auto noise = Noise(static_cast<std::size_t>(length));
    std::ofstream(in_path, std::ios::binary)
        .write(reinterpret_cast<const char*>(noise.data()), static_cast<std::streamsize>(noise.size()));
  }
  for (auto _ : state) {
    state.PauseTiming();
    std::filesystem::remove(out_path);
    state.ResumeTiming();
    auto input = plivex::platform::OpenInput(in_path);
    auto output = plivex::platform::CreateOutput(out_path, input);
    body(input, output, length);
    if (!input.Close() || !output.Close()) state.SkipWithError("close failed");
  }
  state.SetBytesProcessed(state.iterations() * static_cast<std::int64_t>(length));
  std::filesystem::remove_all(folder);
}

void BM_ConvertBlocksInMemory(benchmark::State& state) {
  OverMemoryFiles(state, [](auto& input, auto& output, plivex::platform::ByteCount length) {
    plivex::ConvertBlocks(input, output, length, plivex::BlockBuffers(length));
  });
}
BENCHMARK(BM_ConvertBlocksInMemory)->Arg(64)->Unit(benchmark::kMillisecond);

// Packs the whole input as samples of `kEncoding` in 2 channels, into the
// whole blocks they fill (the limit just above them).
template <plivex::SampleEncoding kEncoding>
void BM_PackBlocksInMemory(benchmark::State& state) {
  OverMemoryFiles(state, [](auto& input, auto& output, plivex::platform::ByteCount length) {
    const plivex::WavLayout layout{44100, 0, length, 2, kEncoding, 16, false};
    const auto size = plivex::PackedSize(layout);
    plivex::PackBlocks(input, output, layout, size, size + 1, plivex::BlockBuffers(size));
  });
}
BENCHMARK(BM_PackBlocksInMemory<SampleEncoding::kSigned16>)
    ->Name("BM_PackBlocksInMemory")
    ->Arg(64)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PackBlocksInMemory<SampleEncoding::kSigned24>)
    ->Name("BM_PackBlocksInMemory/24bit")
    ->Arg(64)
    ->Unit(benchmark::kMillisecond);
BENCHMARK(BM_PackBlocksInMemory<SampleEncoding::kFloat32>)
    ->Name("BM_PackBlocksInMemory/float32")
    ->Arg(64)
    ->Unit(benchmark::kMillisecond);

// The same bytes copied unchanged through the same file layer, 1 MiB at a
// time from a page-aligned buffer as the conversion does: the floor the
// conversion is measured against.
void BM_PlainCopyInMemory(benchmark::State& state) {
  struct alignas(4096) Chunk {
    std::array<std::uint8_t, 1 << 20> bytes;
  };
  const auto chunk = std::make_unique<Chunk>();
  OverMemoryFiles(state, [&chunk](auto& input, auto& output, plivex::platform::ByteCount) {
    while (const std::size_t got = input.Read(chunk->bytes)) {
      output.Write(std::span(chunk->bytes).first(got));
    }
  });
}
BENCHMARK(BM_PlainCopyInMemory)->Arg(64)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
