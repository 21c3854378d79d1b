#include "convert/samples.h"

#include <bit>
#include <cstring>
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
// value: a 24-bit sample divided by 256, rounded down.
std::int32_t High16(const std::uint8_t* top) {
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(top[0] | top[1] << 8));
}

// A rounded value of -32768 to 32768 held to 16 bits, without a branch,
// which would keep the compiler from vectorising the loops.
std::int32_t AtMost16(std::int32_t value) { return value - (value == 32768); }

std::uint32_t Bits32(const std::uint8_t* at) {
  return static_cast<std::uint32_t>(at[0]) | static_cast<std::uint32_t>(at[1]) << 8 |
         static_cast<std::uint32_t>(at[2]) << 16 | static_cast<std::uint32_t>(at[3]) << 24;
}

std::uint64_t Bits64(const std::uint8_t* at) { return Bits32(at) | std::uint64_t{Bits32(at + 4)} << 32; }

// Full scale x of a float sample: x * 32768 rounded to the nearest, halves
// up, limited to 16 bits.
//
// It never rounds twice: floor(y + 0.5) would round 0.49999999999999994 to
// 1, as y + 0.5 is not exact there. Instead z = 2y = x * 65536 is exact,
// and so are t = trunc(z) and its comparison with z; floor(y + 0.5) is
// floor((z + 1) / 2) = (floor(z) + 1) >> 1, where floor(z) + 1 is t + 1
// when t <= z, else t (z negative and not whole). Every step is exact, so
// excess precision (x87) changes nothing either.
//
// Written for the vectoriser, which on x86-64's baseline (SSE2) keeps a
// choice between floats as a branch: NaN and values beyond full scale are
// told apart by their bit patterns, and choices are masks. The arithmetic
// only ever sees values that round to -32768 to 32767; 0 stands in for the
// others (the limited values) until the end, where the limit goes in its
// place. Among them are the positive values that round to 32768 (from
// 32767.5 / 32768 up), so that no cap is left to do on the rounded value:
// a cap there would be narrowed to 16 bits apart from the value, at twice
// the shuffles.
//
// z is made by adding 16 to the exponent's bits rather than by a
// multiplication: exact for every normal x, and it turns 0 and the
// subnormal numbers, on which x86 arithmetic is many times slower, into
// normal ones under 2^-110, which round to 0 as they do.
constexpr std::uint32_t kMagnitude32 = 0x7FFFFFFF;
constexpr std::uint32_t kTimes65536 = 16 << 23;   // to the exponent's bits
constexpr std::int32_t kRoundsUp32 = 0x3F7FFF00;  // 32767.5 / 32768
constexpr std::int32_t kOne32 = 0x3F800000;       // 1.0
constexpr std::int32_t kInfinity32 = 0x7F800000;  // above it, NaN

inline Sample FromFloat32(std::uint32_t bits) {
  // The magnitude's bits order like the magnitudes, as signed 32-bit values
  // too (which SSE2 compares); a negative value's bits are below every
  // positive one's.
  const auto magnitude = static_cast<std::int32_t>(bits & kMagnitude32);
  const auto signed_bits = static_cast<std::int32_t>(bits);
  const std::int32_t beyond = -static_cast<std::int32_t>(magnitude > kOne32);  // NaN and the infinities too
  const std::int32_t nan = -static_cast<std::int32_t>(magnitude > kInfinity32);
  const std::int32_t limited = beyond | -static_cast<std::int32_t>(signed_bits >= kRoundsUp32);
  const float z = std::bit_cast<float>((bits & ~static_cast<std::uint32_t>(limited)) + kTimes65536);
  const auto truncated = static_cast<std::int32_t>(z);
  const std::int32_t floor_z_plus_1 = truncated + (static_cast<float>(truncated) <= z);
  // For a limited value (0 in its place, so floor(z) + 1 = 1), the bits
  // that make it 2 * 32767 + 1 or 2 * -32768 + 1 by the sign; 0 for the
  // others. The last step is the shift, which needs all 32 bits: the
  // vectoriser then narrows the value to 16 bits once, and not both halves
  // of an OR apart.
  const std::int32_t limit = (2 * kMost ^ (signed_bits >> 31)) & limited & ~nan;
  // 0 - (0 or -1): the loop's sum of it becomes one subtraction of the
  // mask.
  return {(floor_z_plus_1 | limit) >> 1, 0 - static_cast<std::uint32_t>(beyond & ~nan)};
}

// The same for float64, whose 64-bit lanes SSE2 neither compares as
// integers nor turns from comparisons of floats into 32-bit results: there
// comparisons are the sign bits of differences, of bit patterns (which
// never overflow, both being under 2^63) or of floats (exact here). z is
// made from the exponent as for float32, and 0 stands in for the values
// beyond full scale. Those that round to 32768 are capped at the end: to
// tell them apart as for float32 would take more steps in 64-bit lanes
// than the cap does in 32-bit ones.
constexpr std::uint64_t kMagnitude64 = 0x7FFFFFFFFFFFFFFF;
constexpr std::uint64_t kTimes65536_64 = std::uint64_t{16} << 52;  // to the exponent's bits
constexpr std::uint64_t kOne64 = 0x3FF0000000000000;
constexpr std::uint64_t kInfinity64 = 0x7FF0000000000000;

inline Sample FromFloat64(std::uint64_t bits) {
  // -1 when `difference` is negative (its top bit set), else 0.
  const auto negative = [](std::uint64_t difference) { return -static_cast<std::int32_t>(difference >> 63); };
  const std::uint64_t magnitude = bits & kMagnitude64;
  const std::int32_t beyond = negative(kOne64 - magnitude);  // NaN and the infinities too
  const std::int32_t nan = negative(kInfinity64 - magnitude);
  const std::uint64_t kept = ((kOne64 - magnitude) >> 63) - 1;
  const double z = std::bit_cast<double>((bits & kept) + kTimes65536_64);
  const auto truncated = static_cast<std::int32_t>(z);
  // floor(z) + 1: t + 1, less 1 where z - t is negative. z - t is exact,
  // and +0 where they are equal.
  const std::int32_t floor_z_plus_1 =
      truncated + 1 + negative(std::bit_cast<std::uint64_t>(z - static_cast<double>(truncated)));
  const std::int32_t clipped = beyond & ~nan;
  const std::int32_t limit = (kMost ^ negative(bits)) & clipped;
  const std::int32_t value = (floor_z_plus_1 >> 1) + limit;
  return {AtMost16(value), 0 - static_cast<std::uint32_t>(clipped)};
}

// One sample of `kEncoding` at `at`, brought to 16 bits. Declared inline,
// as FromFloat32 and FromFloat64 are: GCC must inline them into both
// channels' places in a loop for the loop to vectorise, and without the
// hint it stops doing so once they are this long.
template <SampleEncoding kEncoding>
inline Sample Decode(const std::uint8_t* at) {
  if constexpr (kEncoding == SampleEncoding::kUnsigned8) {
    return {(static_cast<std::int32_t>(at[0]) - 128) * 256, 0};
  } else if constexpr (kEncoding == SampleEncoding::kSigned16) {
    return {High16(at), 0};
  } else if constexpr (kEncoding == SampleEncoding::kSigned24) {
    // floor((v + 128) / 256): the top two bytes, plus one when the low
    // byte is 128 or more.
    return {AtMost16(High16(at + 1) + (at[0] >> 7)), 0};
  } else if constexpr (kEncoding == SampleEncoding::kSigned32) {
    // floor((v + 32768) / 65536), which is (floor(v / 32768) + 1) >> 1,
    // held to 32767 before the shift. Read as one 32-bit value, which the
    // vectoriser shifts in 32-bit lanes (from the bytes at + 1 and at + 2
    // it gathered the parts with a dozen word shuffles), and the shift
    // comes last, as it needs all 32 bits: the value is then narrowed to
    // 16 bits once, not the value and its cap apart.
    const std::int32_t floor_plus_1 = (static_cast<std::int32_t>(Bits32(at)) >> 15) + 1;
    return {(floor_plus_1 - (floor_plus_1 == 65536)) >> 1, 0};
  } else if constexpr (kEncoding == SampleEncoding::kFloat32) {
    return FromFloat32(Bits32(at));
  } else {
    return FromFloat64(Bits64(at));
  }
}

// Stores the low 16 bits of `value` at `at`, little-endian. One 16-bit
// store where that is the host's order: written byte by byte, the samples
// would be bytes to the vectoriser, which would then convert 16 frames per
// iteration and spill registers.
void Put(std::uint8_t* at, std::int32_t value) {
  if constexpr (std::endian::native == std::endian::little) {
    const auto sample = static_cast<std::uint16_t>(value);
    std::memcpy(at, &sample, 2);
  } else {
    at[0] = static_cast<std::uint8_t>(value);
    at[1] = static_cast<std::uint8_t>(value >> 8);
  }
}

// 24-bit samples four at a time, in 64-bit integers.
//
// A 24-bit sample takes 3 bytes, and GCC cannot vectorise a loop that
// reads one every 3 or 6 bytes (it would have to shuffle bytes, which
// x86-64's baseline, SSE2, cannot). So 4 stereo frames or 8 mono samples
// (24 bytes) are read as three little-endian 64-bit words, whose bits are
// moved with shifts and masks into words of four 16-bit lanes: each
// sample's top two bytes into its lane of one word, its low byte's top bit
// (the rounding) to the lane's bit 0 in another. GCC vectorises that loop
// two groups at a time with 64-bit lanes, which SSE2 shifts, masks and
// adds.
namespace by_words {

using Word = std::uint64_t;

// Bits kFrom to kFrom + kWidth - 1 of the 192 bits of `words` (word 0 the
// lowest) moved to bits kTo to kTo + kWidth - 1 of a word, the other bits
// 0: a shift and a mask, or two of each where the bits straddle two words.
template <int kFrom, int kTo, int kWidth>
Word Move(const Word* words) {
  constexpr int kBit = kFrom % 64;
  if constexpr (kBit + kWidth > 64) {
    constexpr int kLow = 64 - kBit;
    return Move<kFrom, kTo, kLow>(words) | Move<kFrom + kLow, kTo + kLow, kWidth - kLow>(words);
  } else {
    constexpr Word kMask = ((Word{1} << kWidth) - 1) << kTo;
    const Word word = words[kFrom / 64];
    if constexpr (kTo >= kBit) {
      return word << (kTo - kBit) & kMask;
    } else {
      return word >> (kBit - kTo) & kMask;
    }
  }
}

// The top bit of each 16-bit lane.
constexpr Word kLaneTops = 0x8000800080008000;

// Four 24-bit samples of `words`, the first at byte kFirst and each of the
// others kStride bytes after the one before, converted to 16 bits in the
// lanes of a word as Decode converts them: floor((v + 128) / 256), the top
// two bytes plus the rounding bit, 32768 held to 32767.
template <int kFirst, int kStride>
Word Four(const Word* words) {
  constexpr int kBits = 8 * kFirst;
  constexpr int kStep = 8 * kStride;
  const Word high = Move<kBits + 8, 0, 16>(words) | Move<kBits + kStep + 8, 16, 16>(words) |
                    Move<kBits + 2 * kStep + 8, 32, 16>(words) | Move<kBits + 3 * kStep + 8, 48, 16>(words);
  const Word half = Move<kBits + 7, 0, 1>(words) | Move<kBits + kStep + 7, 16, 1>(words) |
                    Move<kBits + 2 * kStep + 7, 32, 1>(words) | Move<kBits + 3 * kStep + 7, 48, 1>(words);
  // Each lane plus its 0 or 1, without a carry into the next lane: the
  // lanes' top bits are left out of the addition and put back after it.
  const Word sum = ((high & ~kLaneTops) + half) ^ (high & kLaneTops);
  // A lane that went from 32767 to 32768 (its top bit set now but not
  // before) goes back to 32767.
  return sum - ((sum & ~high & kLaneTops) >> 15);
}

Word Read(const std::uint8_t* at) { return Bits64(at); }

// Stores the four lanes of `lanes` at `at`, each little-endian: one 64-bit
// store where that is the host's order.
void Write(std::uint8_t* at, Word lanes) {
  if constexpr (std::endian::native == std::endian::little) {
    std::memcpy(at, &lanes, sizeof lanes);
  } else {
    for (std::size_t byte = 0; byte < sizeof lanes; ++byte)
      at[byte] = static_cast<std::uint8_t>(lanes >> 8 * byte);
  }
}

// Converts the first count / 4 * 4 frames (stereo) or count / 8 * 8
// samples (mono) of `raw`; returns how many.
template <std::uint32_t kChannels>
std::size_t Convert24(const std::uint8_t* raw, std::size_t count, std::uint8_t* left, std::uint8_t* right) {
  constexpr std::size_t kFrames = kChannels == 2 ? 4 : 8;  // in 24 bytes
  const std::size_t groups = count / kFrames;
  for (std::size_t g = 0; g < groups; ++g) {
    const std::uint8_t* at = raw + 24 * g;
    const Word words[3] = {Read(at), Read(at + 8), Read(at + 16)};
    if constexpr (kChannels == 2) {
      Write(left + 8 * g, Four<0, 6>(words));
      Write(right + 8 * g, Four<3, 6>(words));
    } else {
      const Word first = Four<0, 3>(words);
      const Word second = Four<12, 3>(words);
      Write(left + 16 * g, first);
      Write(left + 16 * g + 8, second);
      Write(right + 16 * g, first);
      Write(right + 16 * g + 8, second);
    }
  }
  return groups * kFrames;
}

}  // namespace by_words

// One loop per encoding and channel count, so that each is compiled on its
// own (and vectorised where the compiler can: the clips are counted in 32
// bits for that, over runs of frames short enough for the count).
template <SampleEncoding kEncoding, std::uint32_t kChannels>
std::uint64_t ConvertAll(const std::uint8_t* raw, std::size_t count, std::uint8_t* left,
                         std::uint8_t* right) {
  constexpr std::size_t kSize = SizeOf(kEncoding);
  constexpr std::size_t kRun = std::size_t{1} << 30;
  std::uint64_t clipped = 0;
  std::size_t done = 0;
  if constexpr (kEncoding == SampleEncoding::kSigned24) {
    // The frames after the last whole group one by one, below.
    done = by_words::Convert24<kChannels>(raw, count, left, right);
  }
  for (std::size_t start = done; start < count; start += kRun) {
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
