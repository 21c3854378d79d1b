#include "convert/samples.h"

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

// A rounded value of -32768 to 32768 held to 16 bits; without a branch,
// which would keep the compiler from vectorising the loops, or from
// merging the stores of a sample's two bytes.
std::int32_t AtMost16(std::int32_t value) { return value - (value == 32768); }

std::uint32_t Bits32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

std::uint64_t Bits64(const std::uint8_t* at) { return Bits32(at) | std::uint64_t{Bits32(at + 4)} << 32; }

// The bits of IEEE 754 floats of either width that the rule needs.
template <typename Float>
struct Layout;
template <>
struct Layout<float> {
  using Bits = std::uint32_t;
  static constexpr Bits kMagnitude = 0x7FFFFFFF;
  static constexpr Bits kOne = 0x3F800000;       // 1.0
  static constexpr Bits kInfinity = 0x7F800000;  // above it, NaN
};
template <>
struct Layout<double> {
  using Bits = std::uint64_t;
  static constexpr Bits kMagnitude = 0x7FFFFFFFFFFFFFFF;
  static constexpr Bits kOne = 0x3FF0000000000000;
  static constexpr Bits kInfinity = 0x7FF0000000000000;
};

// Full scale x of a float sample: x * 32768 rounded to the nearest, halves
// up, limited to 16 bits.
//
// It never rounds twice: floor(y + 0.5) would round 0.49999999999999994 to
// 1, as y + 0.5 is not exact there. With t = trunc(y), d = y - t is exact
// (Sterbenz) and lies in (-1, 1), and y rounds to t + 1 when d >= 0.5, to
// t - 1 when d < -0.5, else to t. Every step is exact or keeps the sign it
// is read for, so excess precision (x87) changes nothing either.
//
// Written for the vectoriser, which on x86-64's baseline (SSE2) neither
// turns a comparison of floats into an integer nor keeps a choice between
// floats without a branch: comparisons are the sign bits of differences,
// of floats or of bit patterns (NaN and values beyond full scale are told
// apart by theirs), and choices are masks. The arithmetic only ever sees
// -1 to 1; 0 stands in for the other values until the end.
template <typename Float>
Sample FromFloat(typename Layout<Float>::Bits bits) {
  using L = Layout<Float>;
  using Bits = typename L::Bits;
  constexpr int kTop = sizeof(Bits) * 8 - 1;
  const auto sign = [](Bits difference) { return static_cast<std::int32_t>(difference >> kTop); };
  const Bits magnitude = bits & L::kMagnitude;
  const std::int32_t beyond = sign(L::kOne - magnitude);  // NaN and the infinities too
  const std::int32_t nan = sign(L::kInfinity - magnitude);
  const Float y = std::bit_cast<Float>(bits & (Bits{static_cast<std::uint32_t>(beyond)} - 1)) * Float{32768};
  const auto truncated = static_cast<std::int32_t>(y);
  const Float d = y - static_cast<Float>(truncated);
  const std::int32_t up = sign(std::bit_cast<Bits>(d - Float{0.5})) ^ 1;
  const std::int32_t down = sign(std::bit_cast<Bits>(d + Float{0.5}));
  const std::int32_t rounded = truncated + up - down;
  const std::int32_t clipped = beyond & (nan ^ 1);
  // -32768 or 32767 by the sign, for a clipped value; 0 for the others.
  const std::int32_t limit = (kMost - sign(bits) * 65535) & -clipped;
  return {AtMost16(rounded) + limit, static_cast<std::uint32_t>(clipped)};
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
    return {AtMost16(High16(at + 1) + (at[0] >> 7)), 0};
  } else if constexpr (kEncoding == SampleEncoding::kSigned32) {
    // floor((v + 32768) / 65536): the lowest byte never matters.
    return {AtMost16(High16(at + 2) + (at[1] >> 7)), 0};
  } else if constexpr (kEncoding == SampleEncoding::kFloat32) {
    return FromFloat<float>(Bits32(at));
  } else {
    return FromFloat<double>(Bits64(at));
  }
}

void Put(std::uint8_t* at, std::int32_t value) {
  at[0] = static_cast<std::uint8_t>(value);
  at[1] = static_cast<std::uint8_t>(value >> 8);
}

// One loop per encoding and channel count, so that each is compiled on its
// own (and vectorised where the compiler can: the clips are counted in 32
// bits for that, over runs of frames short enough for the count).
template <SampleEncoding kEncoding, std::uint32_t kChannels>
std::uint64_t ConvertAll(const std::uint8_t* raw, std::size_t count, std::uint8_t* left,
                         std::uint8_t* right) {
  constexpr std::size_t kSize = SizeOf(kEncoding);
  constexpr std::size_t kRun = std::size_t{1} << 30;
  std::uint64_t clipped = 0;
  for (std::size_t start = 0; start < count; start += kRun) {
    const std::size_t end = count - start < kRun ? count : start + kRun;
    std::uint32_t run_clipped = 0;
    for (std::size_t i = start; i < end; ++i) {
      const std::uint8_t* frame = raw + i * kSize * kChannels;
      const Sample first = Decode<kEncoding>(frame);
      Sample second = first;
      if constexpr (kChannels == 2) {
        second = Decode<kEncoding>(frame + kSize);
        run_clipped += second.clipped;
      }
      run_clipped += first.clipped;
      Put(left + 2 * i, first.value);
      Put(right + 2 * i, second.value);
    }
    clipped += run_clipped;
  }
  return clipped;
}

using Converter = std::uint64_t (*)(const std::uint8_t*, std::size_t, std::uint8_t*, std::uint8_t*);

template <SampleEncoding kEncoding>
Converter For(std::uint32_t channels) {
  return channels == 1 ? ConvertAll<kEncoding, 1> : ConvertAll<kEncoding, 2>;
}

}  // namespace

std::size_t SampleSize(SampleEncoding encoding) { return SizeOf(encoding); }

std::uint64_t ConvertFrames(std::span<const std::uint8_t> raw, SampleEncoding encoding,
                            std::uint32_t channels, std::span<std::uint8_t> left,
                            std::span<std::uint8_t> right) {
  if (channels != 1 && channels != 2) throw std::invalid_argument("ConvertFrames: 1 or 2 channels");
  const std::size_t count = raw.size() / (SizeOf(encoding) * channels);
  if (left.size() / 2 < count || right.size() / 2 < count) {
    throw std::invalid_argument("ConvertFrames: no room for the samples");
  }
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
  return convert(raw.data(), count, left.data(), right.data());
}

}  // namespace plivex
