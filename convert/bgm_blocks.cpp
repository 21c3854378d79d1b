#include "convert/bgm_blocks.h"

#include <algorithm>
#include <array>

#include "platform/errors.h"

namespace plivex {

void DeinterleaveBlock(std::span<const std::uint8_t, kBlockSize> input,
                       std::span<std::uint8_t, kBlockSize> output) {
  const std::uint8_t* left = input.data();
  const std::uint8_t* right = input.data() + kChannelHalf;
  std::uint8_t* frame = output.data();
  for (std::size_t j = 0; j < kChannelHalf / 2; ++j) {
    frame[4 * j + 0] = left[2 * j + 0];
    frame[4 * j + 1] = left[2 * j + 1];
    frame[4 * j + 2] = right[2 * j + 0];
    frame[4 * j + 3] = right[2 * j + 1];
  }
}

void ConvertBlocks(platform::File& input, platform::File& output, std::int64_t input_length) {
  std::array<std::uint8_t, kBlockSize> in_block{};
  std::array<std::uint8_t, kBlockSize> out_block{};
  auto remaining = static_cast<std::uint64_t>(std::max<std::int64_t>(input_length, 0));
  while (remaining != 0) {
    const std::size_t count = remaining >= kBlockSize ? kBlockSize : static_cast<std::size_t>(remaining);
    // The final short block is padded with silence, not with the previous
    // block's bytes.
    if (count < kBlockSize) in_block.fill(0);
    if (input.Read(std::span(in_block).first(count)) != count) {
      throw EReadError("read: the input ended before its length");
    }
    DeinterleaveBlock(in_block, out_block);
    output.Write(out_block);
    remaining -= count;
  }
}

}  // namespace plivex
