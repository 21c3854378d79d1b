#include "convert/samples.h"

#include <algorithm>
#include <bit>
#include <stdexcept>

namespace plivex {

namespace {

// A sample brought to 16 bits, and whether it was clipped on the way.
struct Sample {
  std::int32_t value;
  std::uint32_t clipped;  // 0 or 1, so that a loop can add it up without a branch
};

constexpr std::int32_t kMost = 32767;

constexpr std::size_t SizeOf(SampleEncoding encoding) {
  switch (encoding) {
    case SampleEncoding::kUnsigned8:
      return 1;
    case SampleEncoding::kSigned16:
      return 2;
    case SampleEncoding::kSigned24:
      return 3;
    case SampleEncoding::kSigned32:
    case SampleEncoding::kFloat32:
      return 4;
    case SampleEncoding::kFloat64:
      return 8;
  }
  return 0;
}

// The top two bytes of a little-endian integer sample, as a signed 16-bit
// value: the sample divided by 256 (24 bits) or 65536 (32 bits), rounded
// down.
std::int32_t High16(const std::uint8_t* top) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(top[0] | top[1] << 8));
}

std::uint64_t Bits(const std::uint8_t* at, int count) {
  std::uint64_t bits = 0;
  for (int i = 0; i < count; ++i) bits |= static_cast<std::uint64_t>(at[i]) << (8 * i);
  return bits;
}

// Full scale x of a float sample: x * 32768 rounded to the nearest, halves
// up, limited to 16 bits. Written without a branch and without rounding
// twice: floor(y + 0.5) would round 0.49999999999999994 to 1, as y + 0.5
// is not exact there. Here y - floor(y) is exact for every |y| <= 32768 in
// either width, and the limits come first, so the conversion to an
// integer never overflows.
template <typename Float>
Sample FromFloat(Float x) {
  const bool over = x > Float{1};
  const bool under = x < Float{-1};
  // NaN fails every comparison and becomes silence.
  const Float inside = x >= Float{-1} && x <= Float{1} ? x : Float{0};
  const Float y = (over ? Float{1} : under ? Float{-1} : inside) * Float{32768};
  const auto truncated = static_cast<std::int32_t>(y);
  const std::int32_t floor = truncated - (y < static_cast<Float>(truncated) ? 1 : 0);
  const std::int32_t rounded = floor + (y - static_cast<Float>(floor) >= Float{0.5} ? 1 : 0);
  return {std::min(rounded, kMost), static_cast<std::uint32_t>(over || under)};
}

template <SampleEncoding kEncoding>
Sample Decode(const std::uint8_t* at) {
  if constexpr (kEncoding == SampleEncoding::kUnsigned8) {
    return {(static_cast<std::int32_t>(at[0]) - 128) * 256, 0};
  } else if constexpr (kEncoding == SampleEncoding::kSigned16) {
    return {High16(at), 0};
  } else if constexpr (kEncoding == SampleEncoding::kSigned24) {
    // floor((v + 128) / 256): the top two bytes, plus one when the low
    // byte is 128 or more.
    return {std::min(High16(at + 1) + (at[0] >> 7), kMost), 0};
  } else if constexpr (kEncoding == SampleEncoding::kSigned32) {
    // floor((v + 32768) / 65536): the lowest byte never matters.
    return {std::min(High16(at + 2) + (at[1] >> 7), kMost), 0};
  } else if constexpr (kEncoding == SampleEncoding::kFloat32) {
    return FromFloat(std::bit_cast<float>(static_cast<std::uint32_t>(Bits(at, 4))));
  } else {
    return FromFloat(std::bit_cast<double>(Bits(at, 8)));
  }
}

void Put(std::uint8_t* at, std::int32_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}

// One loop per encoding and channel count, so that each is compiled on its
// own (and vectorised where the compiler can).
template <SampleEncoding kEncoding, std::uint32_t kChannels>
std::uint64_t ConvertAll(const std::uint8_t* raw, std::size_t count, std::uint8_t* frames) {
  constexpr std::size_t kSize = SizeOf(kEncoding);
  std::uint64_t clipped = 0;
  for (std::size_t i = 0; i < count; ++i) {
    const std::uint8_t* frame = raw + i * kSize * kChannels;
    const Sample left = Decode<kEncoding>(frame);
    Sample right = left;
    if constexpr (kChannels == 2) {
      right = Decode<kEncoding>(frame + kSize);
      clipped += right.clipped;
    }
    clipped += left.clipped;
    Put(frames + 4 * i, left.value);
    Put(frames + 4 * i + 2, right.value);
  }
  return clipped;
}

using Converter = std::uint64_t (*)(const std::uint8_t*, std::size_t, std::uint8_t*);

template <SampleEncoding kEncoding>
Converter For(std::uint32_t channels) {
  return channels == 1 ? ConvertAll<kEncoding, 1> : ConvertAll<kEncoding, 2>;
}

}  // namespace

std::size_t SampleSize(SampleEncoding encoding) { return SizeOf(encoding); }

std::uint64_t ConvertFrames(std::span<const std::uint8_t> raw, SampleEncoding encoding,
                            std::uint32_t channels, std::span<std::uint8_t> frames) {
  if (channels != 1 && channels != 2) throw std::invalid_argument("ConvertFrames: 1 or 2 channels");
  const std::size_t count = raw.size() / (SizeOf(encoding) * channels);
  if (frames.size() / 4 < count) throw std::invalid_argument("ConvertFrames: no room for the frames");
  Converter convert = nullptr;
  switch (encoding) {
    case SampleEncoding::kUnsigned8:
      convert = For<SampleEncoding::kUnsigned8>(channels);
      break;
    case SampleEncoding::kSigned16:
      convert = For<SampleEncoding::kSigned16>(channels);
      break;
    case SampleEncoding::kSigned24:
      convert = For<SampleEncoding::kSigned24>(channels);
      break;
    case SampleEncoding::kSigned32:
      convert = For<SampleEncoding::kSigned32>(channels);
      break;
    case SampleEncoding::kFloat32:
      convert = For<SampleEncoding::kFloat32>(channels);
      break;
    case SampleEncoding::kFloat64:
      convert = For<SampleEncoding::kFloat64>(channels);
      break;
  }
  if (convert == nullptr) throw std::invalid_argument("ConvertFrames: unknown encoding");
  return convert(raw.data(), count, frames.data());
}

}  // namespace plivex
