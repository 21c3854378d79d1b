#include "convert/bgm_blocks.h"

#include <gtest/gtest.h>

#include <array>
#include <bit>
#include <cstdint>
#include <limits>
#include <optional>
#include <stdexcept>
#include <vector>

#include "platform/errors.h"
#include "platform/file.h"
#include "tests/test_files.h"

namespace plivex {
namespace {

using Bytes = std::vector<std::uint8_t>;
using platform::ByteCount;

constexpr ByteCount kNoLimit = std::numeric_limits<ByteCount>::max();

// The layout of `length` bytes of samples at the start of the input, or
// with `open` of an open stream (`length` then the largest count).
WavLayout Samples(ByteCount length, SampleEncoding encoding = SampleEncoding::kSigned16,
                  std::uint32_t channels = 2, bool open = false) {
  return {44100, 0, length, channels, encoding, 16, open};
}

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
      const WavLayout layout = Samples(length);
      PackBlocks(in, out, layout, size, kNoLimit, BlockBuffers(size));
    } else {
      ConvertBlocks(in, out, length, BlockBuffers(length));
    }
    EXPECT_TRUE(in.Close());
    EXPECT_TRUE(out.Close());
    return plivex::test::ReadBytes(out_path);
  }

  // Packs the samples of `layout` in a file holding `input` into a Bgm
  // file and returns what was written; `result` gets what PackBlocks said.
  Bytes Pack(const Bytes& input, const WavLayout& layout, std::optional<ByteCount> bgm_size, ByteCount limit,
             PackResult& result) {
    plivex::test::WriteBytes(dir_.File("in.wav"), input);
    auto in = platform::OpenInput(dir_.File("in.wav"));
    auto out = platform::CreateOutput(dir_.File("out.bgm"), in);
    const ByteCount buffers_for =
        bgm_size.value_or(layout.length_is_open ? limit : PackedSize(layout));
    result = PackBlocks(in, out, layout, bgm_size, limit, BlockBuffers(buffers_for));
    EXPECT_TRUE(in.Close());
    EXPECT_TRUE(out.Close());
    return plivex::test::ReadBytes(dir_.File("out.bgm"));
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
  for (std::size_t length :
       {0, 1, 2, 3, 4, 5, 1021, 1023, 1024, 1026, 4097, 1048575, 1048576 + 1026, 2 * 1048576 + 3}) {
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

// A sample value past full scale, which only floats can store.
constexpr std::int32_t kBeyond = 40000;

// Raw samples whose conversion is known: each converts to its value (to
// 32767 for kBeyond).
Bytes Store(SampleEncoding encoding, const std::vector<std::int32_t>& values) {
  Bytes raw;
  for (const std::int32_t value : values) {
    std::uint32_t bits = static_cast<std::uint16_t>(value);
    int count = 2;
    if (encoding == SampleEncoding::kSigned24) {
      bits = bits << 8 | 0x3C;  // a low byte under 0x80 never rounds up
      count = 3;
    } else if (encoding == SampleEncoding::kFloat32) {
      bits = std::bit_cast<std::uint32_t>(static_cast<float>(value) / 32768.0f);
      count = 4;
    }
    for (int i = 0; i < count; ++i) raw.push_back(static_cast<std::uint8_t>(bits >> (8 * i)));
  }
  return raw;
}

// 16-bit stereo frames of the values, a mono value in both channels.
Bytes StereoFrames(const std::vector<std::int32_t>& values, std::uint32_t channels) {
  Bytes frames;
  for (const std::int32_t value : values) {
    const auto bits = static_cast<std::uint16_t>(std::min(value, 32767));
    for (std::uint32_t copy = 0; copy < 3 - channels; ++copy) {
      frames.push_back(static_cast<std::uint8_t>(bits));
      frames.push_back(static_cast<std::uint8_t>(bits >> 8));
    }
  }
  return frames;
}

TEST_F(ConvertBlocksTest, PacksEveryFormatConvertedToStereo16) {
  // Across the reads of raw frames (1 MiB of them) and the chunks of blocks
  // (262144 frames); each input ends in part of a frame, which is dropped.
  // For floats every 997th sample is beyond full scale, and with a Size
  // every sample of the block it cuts: only those in the Bgm file, whole,
  // are counted as clipped, a mono sample once.
  const std::optional<ByteCount> kWhole;
  const ByteCount kCutBlock = 1100 * 1024;  // in the second chunk of blocks
  const struct {
    SampleEncoding encoding;
    std::uint32_t channels;
    std::optional<ByteCount> bgm_size;
  } rows[] = {
      {SampleEncoding::kSigned16, 1, kWhole},
      {SampleEncoding::kSigned24, 2, kWhole},
      {SampleEncoding::kFloat32, 2, kWhole},
      {SampleEncoding::kFloat32, 2, kCutBlock + 512 + 2 * 100 + 1},  // half the 101st right sample
      {SampleEncoding::kFloat32, 2, kCutBlock + 301},                // 150 left samples and a half
      {SampleEncoding::kFloat32, 1, kCutBlock + 101},
  };
  const std::size_t frames = 300001;
  for (const auto& row : rows) {
    SCOPED_TRACE(::testing::Message() << "encoding " << static_cast<int>(row.encoding) << ", " << row.channels
                                      << " channels, size " << row.bgm_size.value_or(0));
    const bool floats = row.encoding == SampleEncoding::kFloat32;
    const Bytes pattern = plivex::test::PatternBytes(2 * frames * row.channels, 5);
    std::vector<std::int32_t> values;
    for (std::size_t i = 0; i < pattern.size(); i += 2) {
      values.push_back(static_cast<std::int16_t>(pattern[i] << 8 | pattern[i + 1]));
    }
    // Where sample i lands in the Bgm file: the left copy of a mono one.
    const auto offset = [&row](std::size_t i) {
      const std::size_t frame = i / row.channels;
      const std::size_t right = row.channels == 2 ? i % 2 : 0;
      return frame / 256 * 1024 + right * 512 + frame % 256 * 2;
    };
    std::uint64_t clipped = 0;
    for (std::size_t i = 0; floats && i < values.size(); ++i) {
      if (i % 997 == 0 || (row.bgm_size && offset(i) / 1024 == *row.bgm_size / 1024)) values[i] = kBeyond;
      if (values[i] == kBeyond && offset(i) + 2 <= row.bgm_size.value_or(ByteCount{1} << 40)) ++clipped;
    }
    Bytes input = Store(row.encoding, values);
    input.push_back(0x7F);  // part of a next frame
    const WavLayout layout = Samples(input.size(), row.encoding, row.channels);

    PackResult result{};
    const Bytes blocks = Pack(input, layout, row.bgm_size, kNoLimit, result);
    Bytes expected = ExpectedBlocks(StereoFrames(values, row.channels));
    expected.resize(static_cast<std::size_t>(row.bgm_size.value_or(expected.size())));
    EXPECT_EQ(blocks, expected);
    // With a Size, the frames of the blocks read: up to the cut block's end.
    EXPECT_EQ(result.frames, row.bgm_size ? (*row.bgm_size / 1024 + 1) * 256 : frames);
    EXPECT_EQ(result.clipped, clipped);
    EXPECT_EQ(result.bgm_size, blocks.size());
    EXPECT_EQ(result.samples_ended, !row.bgm_size);
    EXPECT_FALSE(result.limit_reached);
  }
}

TEST_F(ConvertBlocksTest, StreamsEndWhereTheInputEndsAndStopAtTheLimit) {
  const Bytes frames = plivex::test::PatternBytes(8 * 1024 + 3, 6);  // a part frame at the end
  const auto first = [&frames](std::size_t count) { return Bytes(frames.begin(), frames.begin() + count); };
  // 24-bit frames that convert back to the first 1000 frames, and 4 bytes of a next frame.
  std::vector<std::int32_t> values;
  for (std::size_t i = 0; i < 4000; i += 2) {
    values.push_back(static_cast<std::int16_t>(frames[i] | frames[i + 1] << 8));
  }
  Bytes wide = Store(SampleEncoding::kSigned24, values);
  wide.insert(wide.end(), {1, 2, 3, 4});

  const std::optional<ByteCount> kNone;
  // `input`: that many bytes of `frames`, or (0) `wide`; `packed`: the bytes
  // of `frames` whose blocks the Bgm file starts with, cut or followed by
  // silence to its size.
  const struct {
    const char* name;
    std::size_t input;
    ByteCount length;
    bool stream;
    std::optional<ByteCount> bgm_size;
    ByteCount limit;
    std::size_t packed;
    ByteCount frames, written;
    bool ended, limit_reached;
  } rows[] = {
      {"16 bits, open: every byte, the part frame too", frames.size(), kNoLimit, true, kNone, kNoLimit, 8195,
       2048, 9216, true, false},
      {"16 bits, a length before the end", frames.size(), 2050, false, kNone, kNoLimit, 2050, 512, 3072, true,
       false},
      {"24 bits, open: the part frame dropped", 0, kNoLimit, true, kNone, kNoLimit, 4000, 1000, 4096, true,
       false},
      {"a size that cuts", frames.size(), kNoLimit, true, 1000, kNoLimit, 8195, 256, 1000, false, false},
      {"stops below the limit", frames.size(), kNoLimit, true, kNone, 5000, 4096, 0, 4096, false, true},
      {"a limit the blocks would reach", 4096, kNoLimit, true, kNone, 4096, 3072, 0, 3072, false, true},
      {"a limit one byte more", 4096, kNoLimit, true, kNone, 4097, 4096, 1024, 4096, true, false},
      {"a file past the limit is not written", frames.size(), frames.size(), false, kNone, 9216, 0, 0, 0,
       false, true},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    const auto encoding = row.input == 0 ? SampleEncoding::kSigned24 : SampleEncoding::kSigned16;
    PackResult result{};
    const Bytes blocks = Pack(row.input == 0 ? wide : first(row.input),
                              Samples(row.length, encoding, 2, row.stream), row.bgm_size, row.limit, result);
    Bytes expected = ExpectedBlocks(first(row.packed));
    expected.resize(static_cast<std::size_t>(row.written), 0);
    EXPECT_EQ(blocks, expected);
    // Past a limit the run fails, and how much was read before it does not count.
    if (!row.limit_reached) {
      EXPECT_EQ(result.frames, row.frames);
    }
    EXPECT_EQ(result.bgm_size, row.written);
    EXPECT_EQ(result.samples_ended, row.ended);
    EXPECT_EQ(result.limit_reached, row.limit_reached);
  }
}

TEST_F(ConvertBlocksTest, AConvertedFileShorterThanItsLengthIsAReadError) {
  const auto in_path = dir_.File("short.wav");
  plivex::test::WriteBytes(in_path, plivex::test::PatternBytes(3000 * 6 + 5));
  auto in = platform::OpenInput(in_path);
  auto out = platform::CreateOutput(dir_.File("out.bgm"), in);
  const WavLayout layout = Samples(3001 * 6, SampleEncoding::kSigned24);
  EXPECT_THROW(PackBlocks(in, out, layout, std::nullopt, kNoLimit, BlockBuffers(PackedSize(layout))),
               EReadError);
}

}  // namespace
}  // namespace plivex
