#include "convert/bgm_blocks.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

namespace plivex {

namespace {

// Blocks moved per read and per write. One read and one write per block
// cost several times a plain file copy; at 1 MiB per call the system calls
// no longer count and the time goes into copying the bytes.
constexpr std::size_t kBlocksPerChunk = 1024;
constexpr std::size_t kChunkSize = kBlocksPerChunk * kBlockSize;

constexpr std::align_val_t kPageAlignment{4096};

}  // namespace

void BlockBuffers::Release::operator()(std::uint8_t* bytes) const {
  ::operator delete[](bytes, kPageAlignment);
}

BlockBuffers::Buffer BlockBuffers::Allocate(std::size_t size) {
  if (size == 0) return Buffer();
  // Not zeroed: every byte that is written out is first read or padded.
  return Buffer(static_cast<std::uint8_t*>(::operator new[](size, kPageAlignment)));
}

BlockBuffers::BlockBuffers(platform::ByteCount length)
    : size_(static_cast<std::size_t>((std::min<platform::ByteCount>(length, kChunkSize) + kBlockSize - 1) /
                                     kBlockSize * kBlockSize)),
      source_(Allocate(size_)),
      target_(Allocate(size_)) {}

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

void InterleaveBlock(std::span<const std::uint8_t, kBlockSize> frames,
                     std::span<std::uint8_t, kBlockSize> block) {
  const std::uint8_t* frame = frames.data();
  std::uint8_t* left = block.data();
  std::uint8_t* right = block.data() + kChannelHalf;
  // Two-byte copies, as in DeinterleaveBlock: they become vector word
  // shuffles.
  for (std::size_t j = 0; j < kChannelHalf / 2; ++j) {
    std::memcpy(left + 2 * j, frame + 4 * j, 2);
    std::memcpy(right + 2 * j, frame + 4 * j + 2, 2);
  }
}

namespace {

// The loop both directions share: `length` bytes read a chunk at a time,
// the last block filled up with zero bytes (silence), every block mapped by
// `map_block`, whole blocks written. A template, so that the mapping is
// compiled into the loop.
template <auto map_block>
void MapBlocks(platform::File& input, platform::File& output, platform::ByteCount length,
               const BlockBuffers& buffers) {
  const std::span<std::uint8_t> in_chunk = buffers.Source();
  const std::span<std::uint8_t> out_chunk = buffers.Target();

  if (length != 0 && in_chunk.empty()) throw std::invalid_argument("MapBlocks: no buffers");
  platform::ByteCount remaining = length;
  while (remaining != 0) {
    const auto count = static_cast<std::size_t>(std::min<platform::ByteCount>(remaining, in_chunk.size()));
    input.ReadExactly(in_chunk.first(count));
    // Only the input's final block can be short; it is padded with silence,
    // never with bytes left over from the previous chunk.
    const std::size_t blocks = (count + kBlockSize - 1) / kBlockSize;
    const std::size_t used = blocks * kBlockSize;
    std::ranges::fill(in_chunk.subspan(count, used - count), std::uint8_t{0});

    for (std::size_t b = 0; b < blocks; ++b) {
      const std::size_t offset = b * kBlockSize;
      map_block(in_chunk.subspan(offset).first<kBlockSize>(), out_chunk.subspan(offset).first<kBlockSize>());
    }
    output.Write(out_chunk.first(used));
    remaining -= count;
  }
}

}  // namespace

void ConvertBlocks(platform::File& input, platform::File& output, platform::ByteCount input_length,
                   const BlockBuffers& buffers) {
  MapBlocks<DeinterleaveBlock>(input, output, input_length, buffers);
}

void PackBlocks(platform::File& input, platform::File& output, platform::ByteCount data_length,
                const BlockBuffers& buffers) {
  MapBlocks<InterleaveBlock>(input, output, data_length, buffers);
}

}  // namespace plivex
