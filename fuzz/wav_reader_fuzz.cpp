// Fuzzes the WAV header reader with any bytes as a whole file, and as a
// stream.
//
// Checked: the decision over the bytes in memory is the same as the one
// made through a reader that refuses (as a crash) any read outside the
// file; an accepted file starts as RIFF, RF64 or BW64 (those two with a
// ds64 chunk first) and describes mono or stereo samples whose frame size
// fits their encoding, at a nonzero rate; its layout points at the bytes
// after a "data" chunk header, inside the file, with the chunk's own size
// as its length (for RF64 the ds64 chunk's data size when that is
// 0xFFFFFFFF), or the rest of the file when that size is open, or is
// sox's placeholder (0x7FFFF000 in whole frames) and runs past the end.
// Only a length that is neither may run past the end of the file.
//
// The stream reader, over the same bytes read strictly forward, must
// decide as the file reader does wherever the fmt chunk comes before the
// data: the same refusal, or the same samples, their length the declared
// one, or open (the largest count) for 0 and the placeholders; only a data
// chunk before the fmt chunk may make it refuse with kNoFormatChunk where
// the file is taken. It must read nothing past the data chunk's header,
// and nothing at all once the stream has ended. ASan reports any read of
// the reader's outside the input, which libFuzzer keeps in a buffer of
// exactly its size.

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <limits>
#include <span>
#include <variant>

#include "convert/wav_reader.h"
#include "fuzz/fuzz_check.h"

namespace {

using plivex::fuzz::Require;
using plivex::platform::ByteCount;

std::uint32_t U32(const std::uint8_t* bytes) {
  return static_cast<std::uint32_t>(bytes[0]) | static_cast<std::uint32_t>(bytes[1]) << 8 |
         static_cast<std::uint32_t>(bytes[2]) << 16 | static_cast<std::uint32_t>(bytes[3]) << 24;
}

ByteCount U64(const std::uint8_t* bytes) { return U32(bytes) | ByteCount{U32(bytes + 4)} << 32; }

bool SameSamples(const plivex::WavLayout& a, const plivex::WavLayout& b) {
  return a.sample_rate == b.sample_rate && a.data_offset == b.data_offset && a.channels == b.channels &&
         a.encoding == b.encoding && a.bits == b.bits;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
  const std::span<const std::uint8_t> file(data, size);
  const plivex::WavHeader header = plivex::ParseWavHeader(file);

  const plivex::WavHeader strict =
      plivex::ParseWavHeader(size, [file](ByteCount offset, std::span<std::uint8_t> buffer) {
        Require(offset <= file.size() && buffer.size() <= file.size() - offset,
                "the reader asks only for bytes inside the file");
        std::memcpy(buffer.data(), file.data() + offset, buffer.size());
        return buffer.size();
      });
  Require(strict == header, "the decision does not depend on how the bytes are read");

  std::size_t taken = 0;
  bool ended = false;
  const plivex::WavHeader streamed = plivex::ParseWavStream([&](std::span<std::uint8_t> buffer) {
    Require(!ended, "nothing is read from a stream that has ended");
    const std::size_t count = std::min(buffer.size(), size - taken);
    std::memcpy(buffer.data(), data + taken, count);
    taken += count;
    ended = count < buffer.size();
    return count;
  });

  const auto* layout = std::get_if<plivex::WavLayout>(&header);
  const auto* stream_layout = std::get_if<plivex::WavLayout>(&streamed);
  if (const auto* refusal = std::get_if<plivex::WavRefusal>(&streamed)) {
    Require(refusal->problem == plivex::WavProblem::kNoFormatChunk || streamed == header,
            "a stream is refused as the file is");
  } else {
    Require(layout != nullptr && SameSamples(*layout, *stream_layout),
            "a stream taken is the file taken, at the same place");
    Require(!layout->length_is_open, "only a stream's length is open");
    Require(taken == stream_layout->data_offset, "a stream is read up to its first sample and no further");
  }
  if (layout == nullptr) return 0;

  const bool rf64 = size >= 4 && (std::memcmp(data, "RF64", 4) == 0 || std::memcmp(data, "BW64", 4) == 0);
  Require(size >= 12 && (std::memcmp(data, "RIFF", 4) == 0 || rf64) && std::memcmp(data + 8, "WAVE", 4) == 0,
          "an accepted file starts with a RIFF/WAVE, RF64/WAVE or BW64/WAVE header");
  Require(!rf64 || (size >= 48 && std::memcmp(data + 12, "ds64", 4) == 0 && U32(data + 16) >= 28),
          "an accepted RF64 file starts with a whole ds64 chunk");
  Require(layout->sample_rate != 0, "an accepted file has a sample rate");
  Require(layout->channels == 1 || layout->channels == 2, "the samples are mono or stereo");
  const std::size_t sample_size = plivex::SampleSize(layout->encoding);
  // Valid bits may be fewer than the container's, never more.
  Require(layout->bits >= 1 && layout->bits <= 8 * sample_size, "the bits named fit the container");
  Require(plivex::FrameSize(*layout) == layout->channels * sample_size, "a frame is a sample per channel");
  Require(layout->data_offset >= 12 + 8 && layout->data_offset <= size,
          "the data starts after the RIFF header and a chunk header, inside the file");
  const std::uint8_t* chunk = data + layout->data_offset - 8;
  Require(std::memcmp(chunk, "data", 4) == 0, "the data follows a data chunk header");
  const std::uint32_t declared = U32(chunk + 4);
  ByteCount length = declared;
  bool open = declared == 0xFFFFFFFF;
  if (rf64 && declared == 0xFFFFFFFF) {
    length = U64(data + 28);  // ds64: id, size, RIFF size, then the data size
    open = length == 0;
  }
  const std::size_t frame = plivex::FrameSize(*layout);
  const bool placeholder = open || (length == declared && declared == 0x7FFFF000 - 0x7FFFF000 % frame);
  const ByteCount rest = size - layout->data_offset;
  if (placeholder && (open || length > rest)) {
    Require(layout->data_length == rest, "an open data size takes the rest of the file");
  } else {
    Require(layout->data_length == length, "a real data size is the length, past the end too");
  }
  if (stream_layout != nullptr) {
    const bool unknown = placeholder || length == 0;
    Require(stream_layout->length_is_open == unknown, "a stream's length is open only for a placeholder or 0");
    Require(stream_layout->data_length == (unknown ? std::numeric_limits<ByteCount>::max() : length),
            "a stream's length is the declared one");
  }
  return 0;
}
