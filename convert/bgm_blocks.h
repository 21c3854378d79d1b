#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <span>

#include "platform/file.h"

namespace plivex {

// The block layout of a PS2 Bgm file, and its mapping to and from WAV
// sample data. A block is 1024 bytes: 256 left samples, then 256 right
// samples. In a WAV file the same 1024 bytes are 256 frames of (left,
// right). Samples are 2 opaque bytes, never reordered or changed.
inline constexpr std::size_t kBlockSize = 1024;
inline constexpr std::size_t kChannelHalf = kBlockSize / 2;

// Maps one Bgm block onto 256 WAV frames: frame j is left sample j followed
// by right sample j, each byte pair kept in order.
void DeinterleaveBlock(std::span<const std::uint8_t, kBlockSize> input,
                       std::span<std::uint8_t, kBlockSize> output);

// The reverse: 256 WAV frames onto one Bgm block, left sample j (the first
// two bytes of frame j) to bytes 2j and 2j + 1, right sample j to 512 + 2j
// and 513 + 2j.
void InterleaveBlock(std::span<const std::uint8_t, kBlockSize> frames,
                     std::span<std::uint8_t, kBlockSize> block);

// The two buffers a conversion moves its data through, one chunk of blocks
// at a time: what was read, and what is written. They are taken before the
// output is created, so that a run that cannot get its memory fails with
// every file untouched. Page-aligned, because the kernel copies into and out
// of aligned memory markedly faster (about 10% of a whole conversion).
class BlockBuffers {
 public:
  // Buffers for writing `length` bytes of blocks: whole blocks enough for
  // them, but never more than one chunk (1 MiB) each, and a page more to
  // write from (see MapBlocks); none for an empty output. Raises
  // std::bad_alloc.
  explicit BlockBuffers(platform::ByteCount length);

  std::span<std::uint8_t> Source() const { return {source_.get(), size_}; }
  std::span<std::uint8_t> Target() const { return {target_.get(), size_ == 0 ? 0 : size_ + kPageSize}; }

  static constexpr std::size_t kPageSize = 4096;

 private:
  struct Release {
    void operator()(std::uint8_t* bytes) const;
  };
  using Buffer = std::unique_ptr<std::uint8_t[], Release>;
  static Buffer Allocate(std::size_t size);

  std::size_t size_ = 0;
  Buffer source_;
  Buffer target_;
};

// Converts the next `input_length` bytes of `input`, read from its current
// position, into sample data written to `output` at its current position,
// which is right after the 44-byte WAV header: 1024 bytes out for every
// block, the final short block filled up with zero bytes first, through
// `buffers` (made for at least `input_length`). The file layer raises
// EReadError when the input ends early or cannot be read, and EWriteError
// when the output cannot be written.
void ConvertBlocks(platform::File& input, platform::File& output, platform::ByteCount input_length,
                   const BlockBuffers& buffers);

// The size of the Bgm file that `data_length` bytes of WAV sample data fill:
// whole blocks, the last one completed with silence.
platform::ByteCount PackedSize(platform::ByteCount data_length);

// The way back: the next `data_length` bytes of WAV sample data in `input`
// become Bgm blocks in `output` at its start, 1024 bytes out for every 256
// frames, until `bgm_size` bytes are written: cut there, even inside a
// block, when the samples are longer, or filled up with zero bytes
// (silence) when they are shorter. Samples past the cut are never read.
// `buffers` are made for at least `bgm_size`. Failures as for
// ConvertBlocks.
void PackBlocks(platform::File& input, platform::File& output, platform::ByteCount data_length,
                platform::ByteCount bgm_size, const BlockBuffers& buffers);

// How the whole frames of `data_length` bytes of WAV sample data fit a Bgm
// file of `bgm_size` bytes: how many of them are cut off (their right
// sample, or both, lie past its end), or how many frames of silence follow
// them. At most one of the two is not 0.
struct FrameFit {
  platform::ByteCount dropped;
  platform::ByteCount added;
};
FrameFit FitFrames(platform::ByteCount data_length, platform::ByteCount bgm_size);

}  // namespace plivex
