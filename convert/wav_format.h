#pragma once

#include <cstdint>

namespace plivex {

// The one sample format both programs take and make: 16-bit stereo PCM,
// as the format fields of a "fmt " chunk describe it.
inline constexpr std::uint32_t kWavFormatPcm = 1;  // the format tag
inline constexpr std::uint32_t kWavChannels = 2;
inline constexpr std::uint32_t kWavBitsPerSample = 16;
inline constexpr std::uint32_t kWavBlockAlign = kWavChannels * kWavBitsPerSample / 8;  // one frame
// The fields of plain PCM: tag, channels, rate, bytes per second, block
// align and bits per sample.
inline constexpr std::uint32_t kWavPcmFormatSize = 16;

}  // namespace plivex
