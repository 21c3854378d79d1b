#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

#include "platform/file.h"

namespace plivex {

// A conversion block: 256 left samples then 256 right samples on input,
// 256 frames of (left, right) on output. Samples are 2 opaque bytes.
inline constexpr std::size_t kBlockSize = 1024;
inline constexpr std::size_t kChannelHalf = kBlockSize / 2;

// Maps one input block onto one output block: frame j of the output is
// left sample j followed by right sample j, each byte pair kept in order.
void DeinterleaveBlock(std::span<const std::uint8_t, kBlockSize> input,
                       std::span<std::uint8_t, kBlockSize> output);

// Converts the next `input_length` bytes of `input`, read from its current
// position, into sample data written to `output` at its current position:
// 1024 bytes out for every block, the final short block filled up with zero
// bytes first. The file layer raises EReadError when the input ends early or
// cannot be read, and EWriteError when the output cannot be written.
void ConvertBlocks(platform::File& input, platform::File& output, platform::ByteCount input_length);

}  // namespace plivex
