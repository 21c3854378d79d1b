// Fuzzes the WAV header reader with any bytes as a whole file.
//
// Checked: the decision over the bytes in memory is the same as the one
// made through a reader that refuses (as a crash) any read outside the
// file; and an accepted file's layout points at the bytes after a "data"
// chunk header, inside the file, with the chunk's own size as its length,
// or the rest of the file when that size is open (0xFFFFFFFF) or runs past
// the end. ASan reports any read of the reader's outside the input, which
// libFuzzer keeps in a buffer of exactly its size.

#include <cstddef>
#include <cstdint>
#include <cstring>
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

  const auto* layout = std::get_if<plivex::WavLayout>(&header);
  if (layout == nullptr) return 0;

  Require(size >= 12 && std::memcmp(data, "RIFF", 4) == 0 && std::memcmp(data + 8, "WAVE", 4) == 0,
          "an accepted file starts with a RIFF/WAVE header");
  Require(layout->sample_rate != 0, "an accepted file has a sample rate");
  Require(layout->data_offset >= 12 + 8 && layout->data_offset <= size,
          "the data starts after the RIFF header and a chunk header, inside the file");
  Require(layout->data_length <= size - layout->data_offset, "the data ends inside the file");

  const std::uint8_t* chunk = data + layout->data_offset - 8;
  Require(std::memcmp(chunk, "data", 4) == 0, "the data follows a data chunk header");
  const std::uint32_t declared = U32(chunk + 4);
  const ByteCount rest = size - layout->data_offset;
  if (declared == 0xFFFFFFFF || declared > rest) {
    Require(layout->data_length == rest, "an open data size takes the rest of the file");
  } else {
    Require(layout->data_length == declared, "a closed data size is the length, nothing after it");
  }
  return 0;
}
