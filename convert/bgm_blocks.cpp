#include "convert/bgm_blocks.h"

#include <algorithm>
#include <cstring>
#include <vector>

#include "platform/errors.h"

namespace plivex {

namespace {

// Blocks moved per read and per write. Two system calls per kilobyte cost
// several times a plain file copy; with 128 KiB per call (what `cat` and
// `dd` commonly use) the conversion runs as fast as a copy, and both
// buffers together still fit in a typical L2 cache.
constexpr std::size_t kBlocksPerChunk = 128;
constexpr std::size_t kChunkSize = kBlocksPerChunk * kBlockSize;

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

void ConvertBlocks(platform::File& input, platform::File& output, std::int64_t input_length) {
  // Allocated once for the run: memory does not grow with the input.
  std::vector<std::uint8_t> in_chunk(kChunkSize);
  std::vector<std::uint8_t> out_chunk(kChunkSize);

  auto remaining = static_cast<std::uint64_t>(std::max<std::int64_t>(input_length, 0));
  while (remaining != 0) {
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(remaining, kChunkSize));
    if (input.Read(std::span(in_chunk).first(count)) != count) {
      throw EReadError("read: the input ended before its length");
    }
    // Only the input's final block can be short; it is padded with silence,
    // never with bytes left over from the previous chunk.
    const std::size_t blocks = (count + kBlockSize - 1) / kBlockSize;
    const std::size_t used = blocks * kBlockSize;
    std::fill(in_chunk.begin() + static_cast<std::ptrdiff_t>(count),
              in_chunk.begin() + static_cast<std::ptrdiff_t>(used), std::uint8_t{0});

    for (std::size_t b = 0; b < blocks; ++b) {
      const std::size_t offset = b * kBlockSize;
      DeinterleaveBlock(std::span(in_chunk).subspan(offset).first<kBlockSize>(),
                        std::span(out_chunk).subspan(offset).first<kBlockSize>());
    }
    output.Write(std::span(out_chunk).first(used));
    remaining -= count;
  }
}

}  // namespace plivex
