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
  // Buffers for converting `length` bytes: whole blocks enough for them,
  // but never more than one chunk (1 MiB) each; none for an empty input.
  // Raises std::bad_alloc.
  explicit BlockBuffers(platform::ByteCount length);

  std::span<std::uint8_t> Source() const { return {source_.get(), size_}; }
  std::span<std::uint8_t> Target() const { return {target_.get(), size_}; }

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
// position, into sample data written to `output` at its current position:
// 1024 bytes out for every block, the final short block filled up with zero
// bytes first, through `buffers` (made for at least `input_length`). The
// file layer raises EReadError when the input ends early or cannot be read,
// and EWriteError when the output cannot be written.
void ConvertBlocks(platform::File& input, platform::File& output, platform::ByteCount input_length,
                   const BlockBuffers& buffers);

// The way back: the next `data_length` bytes of WAV sample data in `input`
// become Bgm blocks in `output`, 1024 bytes out for every 256 frames, the
// final block (and a trailing part of a frame) completed with zero bytes,
// through `buffers` (made for at least `data_length`). Failures as for
// ConvertBlocks.
void PackBlocks(platform::File& input, platform::File& output, platform::ByteCount data_length,
                const BlockBuffers& buffers);

}  // namespace plivex
