#include "convert/bgm_blocks.h"

#include <gtest/gtest.h>

#include <array>
#include <cstdint>
#include <optional>
#include <stdexcept>
#include <vector>

#include "platform/errors.h"
#include "platform/file.h"
#include "tests/test_files.h"

namespace plivex {
namespace {

using Bytes = std::vector<std::uint8_t>;

// Where input byte `i` of a block lands in the output block, worked out
// from the input side: byte b of left sample j goes to 4j + b, byte b of
// right sample j to 4j + 2 + b.
std::size_t OutputOffset(std::size_t i) {
  const bool right = i >= 512;
  const std::size_t in_half = right ? i - 512 : i;
  return 4 * (in_half / 2) + (right ? 2 : 0) + in_half % 2;
}

// The expected sample data for an input, built independently of the code
// under test: zero-padded to whole blocks, every byte placed by OutputOffset.
Bytes ExpectedData(const Bytes& input) {
  const std::size_t blocks = (input.size() + 1023) / 1024;
  Bytes out(blocks * 1024, 0);
  for (std::size_t i = 0; i < input.size(); ++i) {
    out[i / 1024 * 1024 + OutputOffset(i % 1024)] = input[i];
  }
  return out;
}

TEST(DeinterleaveBlock, PlacesEverySampleInItsFrame) {
  const Bytes pattern = plivex::test::PatternBytes(1024);
  std::array<std::uint8_t, 1024> in{};
  std::copy(pattern.begin(), pattern.end(), in.begin());
  std::array<std::uint8_t, 1024> out{};
  out.fill(0x55);
  DeinterleaveBlock(in, out);

  EXPECT_EQ(Bytes(out.begin(), out.end()), ExpectedData(pattern));
}

// The Bgm file that packing WAV sample data should give, built the other
// way round: the byte at output offset OutputOffset(i) of a block of frames
// came from block byte i.
Bytes ExpectedBlocks(const Bytes& frames) {
  const std::size_t blocks = (frames.size() + 1023) / 1024;
  Bytes padded = frames;
  padded.resize(blocks * 1024, 0);
  Bytes out(blocks * 1024);
  for (std::size_t i = 0; i < out.size(); ++i) out[i] = padded[i / 1024 * 1024 + OutputOffset(i % 1024)];
  return out;
}

TEST(InterleaveBlock, PlacesEveryFrameInItsHalves) {
  const Bytes frames = plivex::test::PatternBytes(1024, 77);
  std::array<std::uint8_t, 1024> in{};
  std::copy(frames.begin(), frames.end(), in.begin());
  std::array<std::uint8_t, 1024> block{};
  block.fill(0x55);
  InterleaveBlock(in, block);
  EXPECT_EQ(Bytes(block.begin(), block.end()), ExpectedBlocks(frames));

  // And the two directions undo each other.
  std::array<std::uint8_t, 1024> back{};
  DeinterleaveBlock(block, back);
  EXPECT_EQ(back, in);
}

TEST(BlockBuffers, HoldWholeBlocksUpToOneChunkPageAligned) {
  const struct {
    platform::ByteCount length;
    std::size_t size;
  } rows[] = {{0, 0},           {1, 1024},       {1023, 1024},           {1024, 1024},
              {1025, 2048},     {600000, 600064}, {1048575, 1048576},     {1048576, 1048576},
              {1048577, 1048576}, {std::uint64_t{1} << 40, 1048576}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.length);
    const BlockBuffers buffers(row.length);
    EXPECT_EQ(buffers.Source().size(), row.size);
    // A page more to carry the bytes past the last whole page of a write.
    EXPECT_EQ(buffers.Target().size(), row.size == 0 ? 0 : row.size + 4096);
    if (row.size == 0) continue;
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffers.Source().data()) % 4096, 0u);
    EXPECT_EQ(reinterpret_cast<std::uintptr_t>(buffers.Target().data()) % 4096, 0u);
    EXPECT_NE(buffers.Source().data(), buffers.Target().data());
  }
}

class ConvertBlocksTest : public ::testing::Test {
 protected:
  // Converts (or, with `pack`, packs into `bgm_size` bytes, by default
  // whole blocks) `input` through real files and returns what was written.
  Bytes Convert(const Bytes& input, platform::ByteCount length, bool pack = false,
                std::optional<platform::ByteCount> bgm_size = std::nullopt) {
    const auto in_path = dir_.File("in.bgm");
    const auto out_path = dir_.File("out.wav");
    plivex::test::WriteBytes(in_path, input);
    auto in = platform::OpenInput(in_path);
    auto out = platform::CreateOutput(out_path, in);
    if (pack) {
      const platform::ByteCount size = bgm_size.value_or(PackedSize(length));
      PackBlocks(in, out, length, size, BlockBuffers(size));
    } else {
      ConvertBlocks(in, out, length, BlockBuffers(length));
    }
    EXPECT_TRUE(in.Close());
    EXPECT_TRUE(out.Close());
    return plivex::test::ReadBytes(out_path);
  }

  plivex::test::ScopedTempDir dir_;
};

TEST_F(ConvertBlocksTest, WholeAndShortBlocks) {
  // Beyond a few blocks the lengths straddle the sizes the conversion
  // may read at once (powers of two from 64 KiB to 1 MiB).
  for (std::size_t length : {0, 1, 2, 100, 511, 512, 513, 600, 1023, 1024, 1025, 2048, 5000,
                             65536 + 7, 131072, 131073, 262144 - 1, 262144 + 513, 1048576 + 1024,
                             3 * 1048576 + 999}) {
    SCOPED_TRACE(length);
    const Bytes input = plivex::test::PatternBytes(length, static_cast<std::uint32_t>(length));
    const Bytes output = Convert(input, length);
    ASSERT_EQ(output.size(), (length + 1023) / 1024 * 1024);
    EXPECT_EQ(output, ExpectedData(input));
  }
}

TEST_F(ConvertBlocksTest, PacksWholeAndShortBlocksAndPartFrames) {
  // Lengths that end inside a frame (not a multiple of 4), inside a block,
  // on a block, and across the chunk sizes the loop reads at once.
  for (std::size_t length : {0, 1, 2, 3, 4, 5, 1021, 1023, 1024, 1026, 4097, 1048575, 1048576 + 1026,
                             2 * 1048576 + 3}) {
    SCOPED_TRACE(length);
    const Bytes frames = plivex::test::PatternBytes(length, static_cast<std::uint32_t>(length) + 3);
    const Bytes blocks = Convert(frames, length, true);
    ASSERT_EQ(blocks.size(), (length + 1023) / 1024 * 1024);
    EXPECT_EQ(blocks, ExpectedBlocks(frames));
    // Packed then converted, whole blocks give back the frames, padded.
    Bytes padded = frames;
    padded.resize(blocks.size(), 0);
    EXPECT_EQ(Convert(blocks, blocks.size()), padded);
  }
}

TEST_F(ConvertBlocksTest, PackingStopsAtItsLength) {
  // Bytes after the given length (what follows a WAV file's data chunk)
  // are not samples.
  const Bytes file = plivex::test::PatternBytes(5000, 9);
  const Bytes blocks = Convert(file, 2050, true);
  EXPECT_EQ(blocks, ExpectedBlocks(Bytes(file.begin(), file.begin() + 2050)));
}

TEST_F(ConvertBlocksTest, PacksIntoAGivenSize) {
  // The whole layout, cut after `size` bytes or followed by zero bytes:
  // cuts inside the left half, inside the right half (of a sample too), on
  // a block, across chunks; silence of less than a block and of several
  // chunks.
  const std::size_t kMiB = 1 << 20;
  const struct {
    std::size_t data;
    platform::ByteCount size;
  } rows[] = {{5000, 1},    {5000, 511},  {5000, 513},         {5000, 1024}, {5000, 4096 + 700},
              {5000, 5121}, {5000, 8192}, {5000, 3 * kMiB + 3}, {0, 100},     {3, 2048},
              {3 * kMiB + 40, kMiB + 1029}};
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << row.data << " bytes into " << row.size);
    const Bytes frames = plivex::test::PatternBytes(row.data, static_cast<std::uint32_t>(row.size));
    Bytes expected = ExpectedBlocks(frames);
    expected.resize(static_cast<std::size_t>(row.size), 0);
    EXPECT_EQ(Convert(frames, frames.size(), true, row.size), expected);
  }
  // The samples past the cut are not read: a data length far beyond the
  // end of the file is no read error when the size ends first, a block
  // into the second chunk.
  const Bytes frames = plivex::test::PatternBytes(kMiB + 5000, 4);
  Bytes expected = ExpectedBlocks(frames);
  expected.resize(kMiB + 1029);
  EXPECT_EQ(Convert(frames, 1u << 30, true, kMiB + 1029), expected);
}

TEST_F(ConvertBlocksTest, ShortFinalBlockIsPaddedWithSilence) {
  // 600 bytes: right samples 44 to 255 and nothing else are padding.
  Bytes input(600, 0xFF);
  Bytes output = Convert(input, 600);
  ASSERT_EQ(output.size(), 1024u);
  for (std::size_t frame = 0; frame < 256; ++frame) {
    SCOPED_TRACE(frame);
    EXPECT_EQ(output[4 * frame], 0xFF);
    EXPECT_EQ(output[4 * frame + 1], 0xFF);
    const std::uint8_t right = frame < 44 ? 0xFF : 0x00;
    EXPECT_EQ(output[4 * frame + 2], right);
    EXPECT_EQ(output[4 * frame + 3], right);
  }

  // 1025 bytes: the second block's left sample 0 is the last byte and a zero.
  input.assign(1025, 0xEE);
  output = Convert(input, 1025);
  ASSERT_EQ(output.size(), 2048u);
  EXPECT_EQ(output[1024], 0xEE);
  for (std::size_t i = 1025; i < 2048; ++i) ASSERT_EQ(output[i], 0) << "byte " << i;
}

TEST_F(ConvertBlocksTest, NoBuffersIsAnErrorNotAHang) {
  const auto in_path = dir_.File("in.bgm");
  plivex::test::WriteBytes(in_path, plivex::test::PatternBytes(2048));
  auto in = platform::OpenInput(in_path);
  auto out = platform::CreateOutput(dir_.File("out.wav"), in);
  EXPECT_THROW(ConvertBlocks(in, out, 2048, BlockBuffers(0)), std::invalid_argument);
}

TEST_F(ConvertBlocksTest, InputShorterThanItsLengthIsAReadError) {
  // The input ends in the middle of a block, at a block's end, inside the
  // first chunk read at once, and several chunks after the start.
  const struct {
    std::size_t actual;
    platform::ByteCount length;
  } cases[] = {{0, 1},           {3000, 3001},       {3000, 4096},       {3072, 3073},
               {3000, 100000},   {1500000, 1500001}, {1500000, 1500160}, {1500160, 1501184},
               {1500000, 4000000}};
  for (const auto& c : cases) {
    SCOPED_TRACE(::testing::Message() << c.actual << " bytes read as " << c.length);
    const auto in_path = dir_.File("short.bgm");
    plivex::test::WriteBytes(in_path, plivex::test::PatternBytes(c.actual));
    auto in = platform::OpenInput(in_path);
    auto out = platform::CreateOutput(dir_.File("out.wav"), in);
    EXPECT_THROW(ConvertBlocks(in, out, c.length, BlockBuffers(c.length)), EReadError);
  }
}

}  // namespace
}  // namespace plivex
