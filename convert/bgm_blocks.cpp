#include "convert/bgm_blocks.h"

#include <algorithm>
#include <cstring>
#include <new>
#include <stdexcept>

#include "convert/wav_format.h"
#include "convert/wav_header.h"

namespace plivex {

namespace {

// Blocks moved per read and per write. One read and one write per block
// cost several times a plain file copy; at 1 MiB per call the system calls
// no longer count and the time goes into copying the bytes.
constexpr std::size_t kBlocksPerChunk = 1024;
constexpr std::size_t kChunkSize = kBlocksPerChunk * kBlockSize;

constexpr std::align_val_t kPageAlignment{BlockBuffers::kPageSize};

platform::ByteCount RoundUpToBlocks(platform::ByteCount length) {
  return (length + kBlockSize - 1) / kBlockSize * kBlockSize;
}

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
    : size_(static_cast<std::size_t>(RoundUpToBlocks(std::min<platform::ByteCount>(length, kChunkSize)))),
      source_(Allocate(size_)),
      target_(Allocate(size_ == 0 ? 0 : size_ + kPageSize)) {}

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

// The loop both directions share. It reads at most `input_length` bytes a
// chunk at a time, maps them block by block with `map_block`, the last
// block filled up with zero bytes (silence), and writes exactly
// `output_length` bytes of blocks: cut there, or followed by silence.
// Nothing the output does not need is read. A template, so that the mapping
// is compiled into the loop.
//
// Every write but the first starts on a page boundary both in the file and
// in memory: the kernel copies into the page cache markedly slower from a
// source that is not aligned like its destination (a quarter more CPU for a
// whole conversion after a 44-byte header). The output starts `position`
// bytes into the file, so the blocks are mapped that far into the page-
// aligned target buffer; each write ends on a page boundary, and the bytes
// past it move to the buffer's start, ahead of the next chunk.
template <auto map_block>
void MapBlocks(platform::File& input, platform::File& output, platform::ByteCount input_length,
               platform::ByteCount output_length, platform::ByteCount position, const BlockBuffers& buffers) {
  constexpr std::size_t kPage = BlockBuffers::kPageSize;
  const std::span<std::uint8_t> in_chunk = buffers.Source();
  const std::span<std::uint8_t> target = buffers.Target();

  if (output_length != 0 && in_chunk.empty()) throw std::invalid_argument("MapBlocks: no buffers");
  platform::ByteCount to_read = input_length;
  platform::ByteCount to_write = output_length;
  std::size_t begin = static_cast<std::size_t>(position % kPage);  // where the next write starts
  std::size_t end = begin;                                         // past the bytes mapped so far
  while (to_write != 0) {
    // As many blocks as both buffers hold (one at least: the target has a
    // page more than the source, and less than a page is carried) and the
    // output still needs.
    const std::size_t room = std::min(in_chunk.size(), target.size() - end) / kBlockSize;
    const auto blocks =
        static_cast<std::size_t>(std::min<platform::ByteCount>(room, RoundUpToBlocks(to_write) / kBlockSize));
    const auto count = static_cast<std::size_t>(std::min<platform::ByteCount>(to_read, blocks * kBlockSize));
    input.ReadExactly(in_chunk.first(count));
    to_read -= count;
    // Only the input's final block can be short; it is padded with silence,
    // never with bytes left over from the previous chunk.
    const std::size_t read_blocks = (count + kBlockSize - 1) / kBlockSize;
    std::ranges::fill(in_chunk.subspan(count, read_blocks * kBlockSize - count), std::uint8_t{0});
    for (std::size_t b = 0; b < read_blocks; ++b) {
      map_block(in_chunk.subspan(b * kBlockSize).first<kBlockSize>(),
                target.subspan(end + b * kBlockSize).first<kBlockSize>());
    }
    // Past the samples, whole blocks of silence.
    std::ranges::fill(target.subspan(end + read_blocks * kBlockSize, (blocks - read_blocks) * kBlockSize),
                      std::uint8_t{0});

    const auto produced =
        static_cast<std::size_t>(std::min<platform::ByteCount>(to_write, blocks * kBlockSize));
    end += produced;
    to_write -= produced;
    const std::size_t upto = to_write == 0 ? end : end / kPage * kPage;
    if (upto > begin) {
      output.Write(target.subspan(begin, upto - begin));
      std::copy(target.begin() + static_cast<std::ptrdiff_t>(upto),
                target.begin() + static_cast<std::ptrdiff_t>(end), target.begin());
      end -= upto;
      begin = 0;
    }
  }
}

}  // namespace

void ConvertBlocks(platform::File& input, platform::File& output, platform::ByteCount input_length,
                   const BlockBuffers& buffers) {
  MapBlocks<DeinterleaveBlock>(input, output, input_length, RoundUpToBlocks(input_length), kWavHeaderSize,
                               buffers);
}

platform::ByteCount PackedSize(platform::ByteCount data_length) { return RoundUpToBlocks(data_length); }

void PackBlocks(platform::File& input, platform::File& output, platform::ByteCount data_length,
                platform::ByteCount bgm_size, const BlockBuffers& buffers) {
  MapBlocks<InterleaveBlock>(input, output, data_length, bgm_size, 0, buffers);
}

FrameFit FitFrames(platform::ByteCount data_length, platform::ByteCount bgm_size) {
  // Frame j of a block is whole when its right sample, at bytes 512 + 2j
  // and 513 + 2j of the block, is.
  const platform::ByteCount frames = data_length / kWavBlockAlign;
  const platform::ByteCount in_last_block = bgm_size % kBlockSize;
  const platform::ByteCount whole = bgm_size / kBlockSize * (kBlockSize / kWavBlockAlign) +
                                    (in_last_block > kChannelHalf ? (in_last_block - kChannelHalf) / 2 : 0);
  if (frames > whole) return {frames - whole, 0};
  return {0, whole - frames};
}

}  // namespace plivex
