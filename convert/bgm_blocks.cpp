#include "convert/bgm_blocks.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <memory>

namespace plivex {

namespace {

// Blocks moved per read and per write. One read and one write per block
// cost several times a plain file copy; at 1 MiB per call the system calls
// no longer count and the time goes into copying the bytes.
constexpr std::size_t kBlocksPerChunk = 1024;
constexpr std::size_t kChunkSize = kBlocksPerChunk * kBlockSize;

// Page-aligned, because the kernel copies into and out of aligned user
// memory markedly faster (measured: about 10% of a whole conversion).
struct alignas(4096) Chunk {
  std::array<std::uint8_t, kChunkSize> bytes;
};

}  // namespace

void DeinterleaveBlock(std::span<const std::uint8_t, kBlockSize> input,
                       std::span<std::uint8_t, kBlockSize> output) {
  const std::uint8_t* left = input.data();
  const std::uint8_t* right = input.data() + kChannelHalf;
  std::uint8_t* frame = output.data();
  // Two-byte copies rather than single bytes: compilers turn this loop into
  // vector word interleaves (punpcklwd/punpckhwd on x86-64), whatever the
  // host's byte order, since the bytes of a sample are never reordered.
  for (std::size_t j = 0; j < kChannelHalf / 2; ++j) {
    std::memcpy(frame + 4 * j, left + 2 * j, 2);
    std::memcpy(frame + 4 * j + 2, right + 2 * j, 2);
  }
}

void ConvertBlocks(platform::File& input, platform::File& output, platform::ByteCount input_length) {
  // Allocated once for the run: memory does not grow with the input. Not
  // zeroed: every byte that is written out was first read or padded below.
  const auto in_holder = std::make_unique_for_overwrite<Chunk>();
  const auto out_holder = std::make_unique_for_overwrite<Chunk>();
  const std::span<std::uint8_t> in_chunk(in_holder->bytes);
  const std::span<std::uint8_t> out_chunk(out_holder->bytes);

  platform::ByteCount remaining = input_length;
  while (remaining != 0) {
    const auto count = static_cast<std::size_t>(std::min<platform::ByteCount>(remaining, kChunkSize));
    input.ReadExactly(in_chunk.first(count));
    // Only the input's final block can be short; it is padded with silence,
    // never with bytes left over from the previous chunk.
    const std::size_t blocks = (count + kBlockSize - 1) / kBlockSize;
    const std::size_t used = blocks * kBlockSize;
    std::ranges::fill(in_chunk.subspan(count, used - count), std::uint8_t{0});

    for (std::size_t b = 0; b < blocks; ++b) {
      const std::size_t offset = b * kBlockSize;
      DeinterleaveBlock(in_chunk.subspan(offset).first<kBlockSize>(),
                        out_chunk.subspan(offset).first<kBlockSize>());
    }
    output.Write(out_chunk.first(used));
    remaining -= count;
  }
}

}  // namespace plivex
