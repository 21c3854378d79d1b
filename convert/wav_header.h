#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

#include "platform/file.h"

namespace plivex {

inline constexpr std::size_t kWavHeaderSize = 44;

// The RIFF/WAVE header for 16-bit stereo PCM at `sample_rate` hertz. Both
// size fields describe the input: the data size is `input_length` and the
// RIFF size is `input_length` + 36, each kept to its low 32 bits.
std::array<std::uint8_t, kWavHeaderSize> MakeWavHeader(std::int32_t sample_rate,
                                                       platform::ByteCount input_length);

// Writes the 44-byte header at the output's current position (the start of
// the freshly created file). Raises EWriteError.
void WriteWavHeader(platform::File& output, std::int32_t sample_rate, platform::ByteCount input_length);

}  // namespace plivex
