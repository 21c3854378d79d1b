#include "convert/samples.h"

#include <gtest/gtest.h>

#include <cstdint>
#include <iterator>
#include <sstream>
#include <string>
#include <vector>

namespace plivex {
namespace {

using Bytes = std::vector<std::uint8_t>;

Bytes Hex(const std::string& text) {
  Bytes bytes;
  for (std::size_t i = 0; i + 1 < text.size(); i += text[i] == ' ' ? 1 : 2) {
    if (text[i] != ' ')
      bytes.push_back(static_cast<std::uint8_t>(std::stoul(text.substr(i, 2), nullptr, 16)));
  }
  return bytes;
}

// 16-bit samples, little-endian, from decimal text.
Bytes Little16(const std::string& text) {
  Bytes bytes;
  std::istringstream values(text);
  for (int value = 0; values >> value;) {
    bytes.push_back(static_cast<std::uint8_t>(value & 0xFF));
    bytes.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(value) >> 8));
  }
  return bytes;
}

constexpr auto k8 = SampleEncoding::kUnsigned8;
constexpr auto k16 = SampleEncoding::kSigned16;
constexpr auto k24 = SampleEncoding::kSigned24;
constexpr auto k32 = SampleEncoding::kSigned32;
constexpr auto kF32 = SampleEncoding::kFloat32;
constexpr auto kF64 = SampleEncoding::kFloat64;

// Each value next to its neighbours on either side of a rounding step, so
// that a result one off either way, a half rounded the other way, bytes
// taken in another order or a sample taken for signed shows. The samples
// out are the left channel's, then the right channel's; a mono sample must
// be in both.
struct Row {
  const char* name;
  SampleEncoding encoding;
  std::uint32_t channels;
  const char* raw;    // as stored in the file, in hex
  const char* left;   // 16-bit values
  const char* right;  // the same as left for mono
  std::uint64_t clipped;
};
const Row kRows[] = {
    {"8 bits, unsigned", k8, 1, "00 01 7F 80 81 FF", "-32768 -32512 -256 0 256 32512", nullptr, 0},
    {"16 bits", k16, 1, "3412 FFFF 0080 FF7F", "4660 -1 -32768 32767", nullptr, 0},
    {"24 bits: 127, 128, -128, -129", k24, 1, "7F0000 800000 80FFFF 7FFFFF", "0 1 0 -1", nullptr, 0},
    {"24 bits: byte order, halves", k24, 2, "563412 C03412 0080ED 8080ED 7F80ED 000080", "4660 -4736 -4736",
     "4661 -4735 -32768", 0},
    {"24 bits: the top to 32767", k24, 1, "FFFF7F 80FF7F 7FFF7F", "32767 32767 32767", nullptr, 0},
    {"32 bits: 32767, 32768, -32768, -32769", k32, 2, "FF7F0000 00800000 0080FFFF FF7FFFFF", "0 0", "1 -1",
     0},
    {"32 bits: byte order, the ends", k32, 1, "0DF0AD0B FF7F87A9 FFFFFF7F 00000080",
     "2990 -22137 32767 -32768", nullptr, 0},
    // 0.5, -0.5, 1.5, -1.5, 2.5, -0.50001 (all / 32768)
    {"float: halves up", kF32, 2, "00008037 000080B7 00004038 000040B8 0000A038 A80080B7", "1 2 3", "0 -1 -1",
     0},
    // 1, -1, 1.0000001, -1.0000153, 32767.5 / 32768, 0.25
    {"float: full scale, beyond it", kF32, 2, "0000803F 000080BF 0100803F 800080BF 00FF7F3F 0000803E",
     "32767 32767 32767", "-32768 -32768 8192", 2},
    // +inf, -inf, NaN, -NaN, -1.5
    {"float: infinities, NaN", kF32, 1, "0000807F 000080FF 0000C07F FFFFFFFF 0000C0BF",
     "32767 -32768 0 0 -32768", nullptr, 3},
    // 0.49999999999999994, 0.5, -0.50001, -0.5 (all / 32768)
    {"double: no double rounding", kF64, 2,
     "FFFFFFFFFFFFEF3E 000000000000F03E E388B5F81400F0BE 000000000000F0BE", "0 -1", "1 0", 0},
    // 32767.5 / 32768, -32768.5 / 32768, +inf, NaN
    {"double: the ends, clips, NaN", kF64, 1,
     "00000000E0FFEF3F 000000001000F0BF 000000000000F07F 000000000000F87F", "32767 -32768 32767 0", nullptr,
     2},
};

TEST(ConvertFrames, EverySampleByOneRule) {
  for (const Row& row : kRows) {
    SCOPED_TRACE(row.name);
    const Bytes lefts = Little16(row.left);
    const Bytes rights = Little16(row.right != nullptr ? row.right : row.left);
    // One byte more than each half needs: nothing is written past it.
    Bytes left(lefts.size() + 1, 0xA5);
    Bytes right(left.size(), 0xA5);
    EXPECT_EQ(ConvertFrames(Hex(row.raw), row.encoding, row.channels, left, right), row.clipped);
    EXPECT_EQ(left.back(), 0xA5);
    EXPECT_EQ(right.back(), 0xA5);
    left.pop_back();
    right.pop_back();
    EXPECT_EQ(left, lefts);
    EXPECT_EQ(right, rights);
  }
}

// 24-bit samples at the edges of a rounding step, each with what it
// becomes. 24-bit runs go four frames (eight mono samples) at a time
// through shifts and masks of their own for each place in the group: a
// run of 76 samples, the edges in turn, puts each edge in every place of a
// group in both channels and in mono (9 is prime to 4 and 8), and in the
// frames after the last whole group.
TEST(ConvertFrames, TwentyFourBitsInEveryPlaceOfAGroup) {
  const struct {
    const char* raw;
    int value;
  } kEdges[] = {
      {"FFFF7F", 32767}, {"80FF7F", 32767}, {"7FFF7F", 32767},  {"800000", 1},    {"7F0000", 0},
      {"80FFFF", 0},     {"7FFFFF", -1},    {"000080", -32768}, {"563412", 4660},
  };
  constexpr std::size_t kSamples = 76;
  Bytes raw;
  std::vector<int> values;
  for (std::size_t i = 0; i < kSamples; ++i) {
    const auto& edge = kEdges[i % std::size(kEdges)];
    const Bytes bytes = Hex(edge.raw);
    raw.insert(raw.end(), bytes.begin(), bytes.end());
    values.push_back(edge.value);
  }
  for (const std::uint32_t channels : {1u, 2u}) {
    SCOPED_TRACE(channels == 1 ? "mono" : "stereo");
    std::string lefts;
    std::string rights;
    for (std::size_t i = 0; i < kSamples; i += channels) {
      lefts += std::to_string(values[i]) + " ";
      rights += std::to_string(values[i + channels - 1]) + " ";
    }
    Bytes left(2 * kSamples / channels);
    Bytes right(left.size());
    EXPECT_EQ(ConvertFrames(raw, k24, channels, left, right), 0u);
    EXPECT_EQ(left, Little16(lefts));
    EXPECT_EQ(right, Little16(rights));
  }
}

}  // namespace
}  // namespace plivex
