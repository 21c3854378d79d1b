#pragma once

#include <cstddef>
#include <cstdint>
#include <span>

namespace plivex {

// How one sample of a WAV file is stored: little-endian, in the bytes its
// name says.
enum class SampleEncoding {
  kUnsigned8,  // 0 to 255, silence at 128
  kSigned16,
  kSigned24,
  kSigned32,
  kFloat32,  // IEEE 754, full scale from -1.0 to 1.0
  kFloat64,
};

// The bytes one sample takes: 1, 2, 3, 4, 4 or 8.
std::size_t SampleSize(SampleEncoding encoding);

// Converts the whole frames of `raw`, each `channels` (1 or 2) samples of
// `encoding` as a WAV file stores them, into 16-bit samples laid out as a
// Bgm block holds them: the left sample of frame j at bytes 2j and 2j + 1
// of `left`, its right sample likewise in `right`, little-endian; the one
// sample of a mono frame goes to both. A part frame at the end of `raw` is
// left alone. `left` and `right` hold at least 2 bytes for every whole
// frame.
//
// Every sample becomes 16 bits by one rule, without dither, the same on
// every machine:
// - 8 bits: (u - 128) * 256, exact.
// - 16 bits: unchanged.
// - 24 and 32 bits: scaled to 16 bits and rounded to the nearest, halves
//   up (toward +infinity): v is floor((v + 128) / 256), or
//   floor((v + 32768) / 65536); the few top values that round to 32768
//   become 32767, which is rounding, not clipping.
// - Floats: x * 32768 rounded the same way, then limited to -32768..32767.
//   A value beyond full scale (x > 1.0 or x < -1.0, infinities included)
//   is clipped; NaN becomes 0 and is not.
// Returns the number of samples of `raw` that were clipped (a mono sample
// counts once).
std::uint64_t ConvertFrames(std::span<const std::uint8_t> raw, SampleEncoding encoding,
                            std::uint32_t channels, std::span<std::uint8_t> left,
                            std::span<std::uint8_t> right);

}  // namespace plivex
