#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>

#include "convert/wav_reader.h"
#include "platform/file.h"

namespace plivex {

// The block layout of a PS2 Bgm file, and its mapping to and from WAV
// sample data. A block is 1024 bytes: 256 left samples, then 256 right
// samples. In a WAV file the same 1024 bytes are 256 frames of (left,
// right). Samples are 2 opaque bytes, never reordered or changed.
inline constexpr std::size_t kBlockSize = 1024;
inline constexpr std::size_t kChannelHalf = kBlockSize / 2;

// The longest Bgm file plivex converts and plivex-pack writes: its length
// is a signed 32-bit count. Every length up to it also fits both unsigned
// 32-bit size fields of the WAV header (the RIFF size is 36 more).
inline constexpr platform::ByteCount kMaxBgmSize = 0x7FFFFFFF;

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

// Where blocks go when they are not written to a file: something that
// looks at them, such as a comparison with a file that holds them already.
class BlockSink {
 public:
  // Takes the next bytes of the output. False stops the conversion there:
  // nothing more is read or given.
  virtual bool Take(std::span<const std::uint8_t> bytes) = 0;

 protected:
  BlockSink() = default;
  BlockSink(const BlockSink&) = default;
  BlockSink& operator=(const BlockSink&) = default;
  ~BlockSink() = default;
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

// The same into `output`, which may stop it early.
void ConvertBlocks(platform::File& input, BlockSink& output, platform::ByteCount input_length,
                   const BlockBuffers& buffers);

// The size of the Bgm file that `data_length` bytes of 16-bit stereo WAV
// sample data fill: whole blocks, the last one completed with silence.
platform::ByteCount PackedSize(platform::ByteCount data_length);

// The same for the samples of a file's `layout`, once converted to 16-bit
// stereo: the whole frames for a converted format, every byte for 16-bit
// stereo.
platform::ByteCount PackedSize(const WavLayout& layout);

// What PackBlocks did.
struct PackResult {
  // Whole WAV frames read from the input: every one when samples_ended;
  // with a Size that cuts, those of the Bgm file's last block too, whether
  // or not their samples are in it.
  platform::ByteCount frames;
  // Of the samples that are in the Bgm file, whole, the floats beyond full
  // scale; a mono sample counts once, when its left copy is in.
  platform::ByteCount clipped;
  platform::ByteCount bgm_size;  // bytes written to the Bgm file
  // Every sample was read: up to the data's length, or up to the end of an
  // open stream. False when the Bgm file's size ended the packing first (a
  // Size that cut the samples; for an open stream whose end was not
  // reached, whether any samples were left is not known) or when the limit
  // was reached.
  bool samples_ended;
  // No `bgm_size` was given and the Bgm file would have reached `limit`
  // bytes: the packing stopped there, the Bgm file unfinished.
  bool limit_reached;
  // A BlockSink stopped the packing before its end.
  bool stopped = false;
};

// The way back: the samples of `layout` in `input`, read from its current
// position (the first sample byte), become Bgm blocks in `output` at its
// start, 1024 bytes out for every 256 frames. 16-bit stereo samples are
// packed as they are, byte for byte, a part frame at the end included;
// others are first converted to 16-bit stereo (see ConvertFrames), a part
// frame at the end dropped.
//
// With `bgm_size`, the Bgm file is exactly that many bytes: cut there, even
// inside a block, when the samples are longer, or filled up with zero bytes
// (silence) when they are shorter; samples past the cut's block are never
// read. Without it, the Bgm file is the whole blocks the samples fill, the
// last one completed with silence, unless it would reach `limit` bytes: one
// of a known length is then not written at all, and an open stream's
// (whose length is not known before it ends) stops before the block that
// would reach it.
//
// The samples of an open stream (layout.length_is_open) end at the end of
// the input; any others, of a file or a stream, at the data length, and
// an input that ends before is a read error. Samples to convert are read
// into the source buffer, a whole number of frames at a time, and
// converted straight into the blocks. `buffers` are made for at least the
// Bgm file's size (for an open stream without `bgm_size`, for `limit`).
// Failures as for ConvertBlocks.
PackResult PackBlocks(platform::File& input, platform::File& output, const WavLayout& layout,
                      std::optional<platform::ByteCount> bgm_size, platform::ByteCount limit,
                      const BlockBuffers& buffers);

// The same into `output`, which may stop it early (PackResult::stopped).
PackResult PackBlocks(platform::File& input, BlockSink& output, const WavLayout& layout,
                      std::optional<platform::ByteCount> bgm_size, platform::ByteCount limit,
                      const BlockBuffers& buffers);

// How `frames` whole WAV frames fit a Bgm file of `bgm_size` bytes: how
// many of them are cut off (their right sample, or both, lie past its
// end), or how many frames of silence follow them. At most one of the two
// is not 0.
struct FrameFit {
  platform::ByteCount dropped;
  platform::ByteCount added;
};
FrameFit FitFrames(platform::ByteCount frames, platform::ByteCount bgm_size);

}  // namespace plivex
