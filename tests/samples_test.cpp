#include "convert/samples.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <vector>

namespace plivex {
namespace {

using Bytes = std::vector<std::uint8_t>;

// 16-bit samples as they should come out, each little-endian.
Bytes Little16(const std::vector<std::int16_t>& samples) {
  Bytes bytes;
  for (const std::int16_t sample : samples) {
    const auto bits = static_cast<std::uint16_t>(sample);
    bytes.push_back(static_cast<std::uint8_t>(bits & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(bits >> 8));
  }
  return bytes;
}

struct Row {
  const char* name;
  SampleEncoding encoding;
  std::uint32_t channels;
  Bytes raw;                          // as stored in the file
  std::vector<std::int16_t> samples;  // left, right, left, right, ...
  std::uint64_t clipped;
};

// Each value next to its neighbours on either side of a rounding step, so
// that a result one off either way, a half rounded the other way, bytes
// taken in another order or a sample taken for signed shows.
const Row kRows[] = {
    {"8 bits, unsigned, exact",
     SampleEncoding::kUnsigned8,
     1,
     {0x00, 0x01, 0x7F, 0x80, 0x81, 0xFF},
     {-32768, -32768, -32512, -32512, -256, -256, 0, 0, 256, 256, 32512, 32512},
     0},
    {"16 bits, unchanged",
     SampleEncoding::kSigned16,
     2,
     {0x34, 0x12, 0xFF, 0xFF, 0x00, 0x80, 0xFF, 0x7F},
     {0x1234, -1, -32768, 32767},
     0},
    {"16 bits mono, in both channels",
     SampleEncoding::kSigned16,
     1,
     {0x34, 0x12, 0x01, 0x80},
     {0x1234, 0x1234, -32767, -32767},
     0},
    {"24 bits: 127 and 128, -128 and -129",
     SampleEncoding::kSigned24,
     1,
     {0x7F, 0x00, 0x00, 0x80, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF},
     {0, 0, 1, 1, 0, 0, -1, -1},
     0},
    {"24 bits: the bytes in order",
     SampleEncoding::kSigned24,
     2,
     {0x56, 0x34, 0x12, 0xC0, 0x34, 0x12},
     {4660, 4661},
     0},
    {"24 bits: negative halves round up",
     SampleEncoding::kSigned24,
     2,
     {0x00, 0x80, 0xED, 0x80, 0x80, 0xED, 0x7F, 0x80, 0xED, 0x00, 0x00, 0x80},
     {-4736, -4735, -4736, -32768},
     0},
    {"24 bits: the top rounds to 32767, not past it",
     SampleEncoding::kSigned24,
     1,
     {0xFF, 0xFF, 0x7F, 0x80, 0xFF, 0x7F, 0x7F, 0xFF, 0x7F},
     {32767, 32767, 32767, 32767, 32767, 32767},
     0},
    {"32 bits: 32767 and 32768, -32768 and -32769",
     SampleEncoding::kSigned32,
     2,
     {0xFF, 0x7F, 0x00, 0x00, 0x00, 0x80, 0x00, 0x00, 0x00, 0x80, 0xFF, 0xFF, 0xFF, 0x7F, 0xFF, 0xFF},
     {0, 1, 0, -1},
     0},
    {"32 bits: the bytes in order, the ends",
     SampleEncoding::kSigned32,
     1,
     {0x0D, 0xF0, 0xAD, 0x0B, 0xFF, 0x7F, 0x87, 0xA9, 0xFF, 0xFF, 0xFF, 0x7F, 0x00, 0x00, 0x00, 0x80},
     {2990, 2990, -22137, -22137, 32767, 32767, -32768, -32768},
     0},
    {"float: halves round up",
     SampleEncoding::kFloat32,
     2,
     {0x00, 0x00, 0x80, 0x37, 0x00, 0x00, 0x80, 0xB7, 0x00, 0x00, 0x40, 0x38,
      0x00, 0x00, 0x40, 0xB8, 0x00, 0x00, 0xA0, 0x38, 0xA8, 0x00, 0x80, 0xB7},
     {1, 0, 2, -1, 3, -1},  // 0.5, -0.5, 1.5, -1.5, 2.5, -0.50001
     0},
    {"float: full scale is no clip, beyond it is",
     SampleEncoding::kFloat32,
     2,
     {0x00, 0x00, 0x80, 0x3F, 0x00, 0x00, 0x80, 0xBF, 0x01, 0x00, 0x80, 0x3F,
      0x80, 0x00, 0x80, 0xBF, 0x00, 0xFF, 0x7F, 0x3F, 0x00, 0x00, 0x80, 0x3E},
     {32767, -32768, 32767, -32768, 32767, 8192},  // 1, -1, 1.0000001, -1.0000153, 32767.5 / 32768, 0.25
     2},
    {"float: infinities clip, NaN is silence",
     SampleEncoding::kFloat32,
     1,
     {0x00, 0x00, 0x80, 0x7F, 0x00, 0x00, 0x80, 0xFF, 0x00, 0x00,
      0xC0, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0x00, 0x00, 0xC0, 0xBF},
     {32767, 32767, -32768, -32768, 0, 0, 0, 0, -32768, -32768},  // +inf, -inf, NaN, -NaN, -1.5
     3},
    {"double: no double rounding just below a half",
     SampleEncoding::kFloat64,
     2,
     {0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xEF, 0x3E, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x3E,
      0xE3, 0x88, 0xB5, 0xF8, 0x14, 0x00, 0xF0, 0xBE, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0, 0xBE},
     {0, 1, -1, 0},  // 0.49999999999999994, 0.5, -0.50001, -0.5 (all / 32768)
     0},
    {"double: the ends, clips and NaN",
     SampleEncoding::kFloat64,
     1,
     {0x00, 0x00, 0x00, 0x00, 0xE0, 0xFF, 0xEF, 0x3F, 0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0xF0, 0xBF,
      0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF0, 0x7F, 0x00, 0x00, 0x00, 0x00, 0x00, 0x00, 0xF8, 0x7F},
     {32767, 32767, -32768, -32768, 32767, 32767, 0, 0},  // 32767.5 / 32768, -32768.5 / 32768, +inf, NaN
     2},
};

TEST(ConvertFrames, EverySampleByOneRule) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    std::vector<std::int16_t> lefts;
    std::vector<std::int16_t> rights;
    for (std::size_t i = 0; i < row.samples.size(); i += 2) {
      lefts.push_back(row.samples[i]);
      rights.push_back(row.samples[i + 1]);
    }
    // One byte more than each half needs: nothing is written past it.
    Bytes left(lefts.size() * 2 + 1, 0xA5);
    Bytes right(left.size(), 0xA5);
    EXPECT_EQ(ConvertFrames(row.raw, row.encoding, row.channels, left, right), row.clipped);
    EXPECT_EQ(left.back(), 0xA5);
    EXPECT_EQ(right.back(), 0xA5);
    left.pop_back();
    right.pop_back();
    EXPECT_EQ(left, Little16(lefts));
    EXPECT_EQ(right, Little16(rights));
  }
}

}  // namespace
}  // namespace plivex
