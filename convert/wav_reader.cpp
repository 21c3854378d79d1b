#include "convert/wav_reader.h"

#include <algorithm>
#include <array>
#include <optional>
#include <string_view>

#include "convert/wav_format.h"

namespace plivex {

namespace {

using platform::ByteCount;

constexpr ByteCount kRiffHeaderSize = 12;  // "RIFF", the RIFF size, "WAVE"
constexpr ByteCount kChunkHeaderSize = 8;  // the chunk's id, then its size

// A data size that a streaming writer leaves open: the samples run to the
// end of the file.
constexpr std::uint32_t kOpenSize = 0xFFFFFFFF;

// The fmt chunk: after the 16 bytes of plain PCM's fields,
// WAVE_FORMAT_EXTENSIBLE adds the extension's size, the valid bits, the
// channel mask and the sub-format GUID, 40 bytes in all. Nothing past those
// is ever needed.
constexpr std::size_t kExtensibleFormatSize = 40;
constexpr std::uint32_t kExtensionSize = 22;  // the extension, without its own size field

constexpr std::uint32_t kTagFloat = 3;
constexpr std::uint32_t kTagExtensible = 0xFFFE;

// An extensible format's sub-format GUID is xxxxxxxx-0000-0010-8000-00AA00389B71
// for every plain format tag, with the tag in its first two bytes (the GUID's
// first field is stored little-endian). These are its other 14 bytes.
constexpr std::array<std::uint8_t, 14> kSubFormatSuffix = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80,
                                                           0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

// Chunk headers are read through a window of this size, so a file of many
// tiny chunks costs a read per window rather than per chunk (a header of a
// usual file fits in one).
constexpr std::size_t kWindowSize = 4096;

std::uint32_t U16(std::span<const std::uint8_t> bytes, std::size_t at) {
  return static_cast<std::uint32_t>(bytes[at]) | static_cast<std::uint32_t>(bytes[at + 1]) << 8;
}

std::uint32_t U32(std::span<const std::uint8_t> bytes, std::size_t at) {
  return U16(bytes, at) | U16(bytes, at + 2) << 16;
}

bool HasId(std::span<const std::uint8_t> bytes, std::size_t at, std::string_view id) {
  return std::equal(id.begin(), id.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                    [](char c, std::uint8_t b) { return static_cast<std::uint8_t>(c) == b; });
}

WavRefusal Refuse(WavProblem problem, std::uint32_t found = 0) { return {problem, found}; }

// Reads a file's bytes at given offsets through a window of the file, and
// never asks `read_at` for anything outside the file.
class FileWindow {
 public:
  FileWindow(ByteCount file_size, const ReadAt& read_at) : file_size_(file_size), read_at_(read_at) {}

  ByteCount Size() const { return file_size_; }

  // Fills `buffer` (at most a window) with the bytes at `offset`. False when
  // they are not all in the file, or the file turns out shorter than its size.
  bool Fill(ByteCount offset, std::span<std::uint8_t> buffer) {
    if (offset > file_size_ || buffer.size() > file_size_ - offset || buffer.size() > kWindowSize) {
      return false;
    }
    const bool inside =
        offset >= start_ && offset - start_ <= length_ && buffer.size() <= length_ - (offset - start_);
    if (!inside) {
      const auto want = static_cast<std::size_t>(std::min<ByteCount>(kWindowSize, file_size_ - offset));
      start_ = offset;
      length_ = std::min(read_at_(offset, std::span(window_).first(want)), want);
      if (buffer.size() > length_) return false;
    }
    const auto from = window_.begin() + static_cast<std::ptrdiff_t>(offset - start_);
    std::copy(from, from + static_cast<std::ptrdiff_t>(buffer.size()), buffer.begin());
    return true;
  }

 private:
  ByteCount file_size_;
  const ReadAt& read_at_;
  std::array<std::uint8_t, kWindowSize> window_;
  ByteCount start_ = 0;
  std::size_t length_ = 0;  // bytes of the window that hold the file's bytes from start_
};

// Decides on the fields of a fmt chunk (its first 16 to 40 bytes): the
// sample rate of 16-bit stereo PCM, or why not.
std::variant<std::uint32_t, WavRefusal> CheckFormat(std::span<const std::uint8_t> fields) {
  std::uint32_t tag = U16(fields, 0);
  const std::uint32_t channels = U16(fields, 2);
  const std::uint32_t sample_rate = U32(fields, 4);
  const std::uint32_t block_align = U16(fields, 12);
  const std::uint32_t bits = U16(fields, 14);
  std::uint32_t valid_bits = kWavBitsPerSample;

  if (tag == kTagExtensible) {
    // The real format is the sub-format's; an extension too short to name
    // one, or a GUID outside the family of plain tags, leaves it unknown.
    if (fields.size() < kExtensibleFormatSize || U16(fields, 16) < kExtensionSize ||
        !std::equal(kSubFormatSuffix.begin(), kSubFormatSuffix.end(), fields.begin() + 26)) {
      return Refuse(WavProblem::kNotPcm, tag);
    }
    valid_bits = U16(fields, 18);
    tag = U16(fields, 24);
  }
  if (tag == kTagFloat) return Refuse(WavProblem::kFloatingPoint, tag);
  if (tag != kWavFormatPcm) return Refuse(WavProblem::kNotPcm, tag);
  if (channels != kWavChannels) return Refuse(WavProblem::kNotStereo, channels);
  if (bits != kWavBitsPerSample) return Refuse(WavProblem::kNot16Bit, bits);
  // 0 valid bits: the writer did not say, so the container's 16 count.
  if (valid_bits != kWavBitsPerSample && valid_bits != 0) return Refuse(WavProblem::kNot16Bit, valid_bits);
  if (block_align != kWavBlockAlign) return Refuse(WavProblem::kBadBlockAlign, block_align);
  if (sample_rate == 0) return Refuse(WavProblem::kNoSampleRate);
  return sample_rate;
}

// "RIFF", any RIFF size, "WAVE" at the start of the file, or why not.
// RF64 (sizes in a ds64 chunk) and RIFX (big-endian) are not RIFF: only the
// little-endian form with 32-bit sizes is read. A file that matches as far
// as it goes but ends first is cut short.
std::optional<WavRefusal> CheckRiffHeader(FileWindow& file) {
  std::array<std::uint8_t, kRiffHeaderSize> riff{};
  const auto present =
      std::span(riff).first(static_cast<std::size_t>(std::min(file.Size(), kRiffHeaderSize)));
  if (!file.Fill(0, present)) return Refuse(WavProblem::kCutShort);
  std::array<std::uint8_t, kRiffHeaderSize> expected = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
  std::copy(riff.begin() + 4, riff.begin() + 8, expected.begin() + 4);  // any RIFF size
  if (!std::equal(present.begin(), present.end(), expected.begin())) return Refuse(WavProblem::kNotRiffWave);
  if (present.size() < kRiffHeaderSize) return Refuse(WavProblem::kCutShort);
  return std::nullopt;
}

// The fmt chunk of `size` bytes whose body starts at `body`: the sample
// rate of 16-bit stereo PCM, or why not. One that runs past the end of the
// file is refused by the walk, like any chunk.
std::variant<std::uint32_t, WavRefusal> ReadFormat(FileWindow& file, ByteCount body, std::uint32_t size) {
  if (size < kWavPcmFormatSize) return Refuse(WavProblem::kCutShort);
  std::array<std::uint8_t, kExtensibleFormatSize> fields{};
  const auto needed = std::span(fields).first(std::min<std::size_t>(size, kExtensibleFormatSize));
  if (!file.Fill(body, needed)) return Refuse(WavProblem::kCutShort);
  return CheckFormat(needed);
}

// Where the samples are: the first data chunk's body, or the part of it
// that is in the file.
struct Samples {
  ByteCount offset;
  ByteCount length;
};

}  // namespace

WavHeader ParseWavHeader(ByteCount file_size, const ReadAt& read_at) {
  FileWindow file(file_size, read_at);
  if (const auto refusal = CheckRiffHeader(file)) return *refusal;

  // The chunks are walked up to the end of the file, whatever the RIFF size
  // says: writers that stream leave it open, and others get it wrong. Only
  // the first fmt and the first data chunk count; a later one is skipped
  // like any unknown chunk (or never reached, as the walk ends once both
  // are found).
  std::optional<std::uint32_t> sample_rate;
  std::optional<Samples> samples;
  ByteCount position = kRiffHeaderSize;  // never past file_size
  while ((!sample_rate || !samples) && position != file_size) {
    std::array<std::uint8_t, kChunkHeaderSize> chunk{};
    if (!file.Fill(position, chunk)) return Refuse(WavProblem::kCutShort);
    const std::uint32_t size = U32(chunk, 4);
    const ByteCount body = position + kChunkHeaderSize;
    const ByteCount room = file_size - body;  // from the body to the end of the file

    if (!sample_rate && HasId(chunk, 0, "fmt ")) {
      const auto format = ReadFormat(file, body, size);
      if (const auto* refusal = std::get_if<WavRefusal>(&format)) return *refusal;
      sample_rate = std::get<std::uint32_t>(format);
    } else if (!samples && HasId(chunk, 0, "data")) {
      if (size == kOpenSize || size > room) {
        // The samples run to the end of the file, so no chunk follows
        // them: a fmt chunk that was not before them is not there.
        samples = Samples{body, room};
        break;
      }
      samples = Samples{body, size};
    }

    // Any other chunk that runs past the end, the fmt chunk included,
    // leaves the file cut short of the chunk still missing.
    if (size > room) return Refuse(WavProblem::kCutShort);
    position = body + size;
    // An odd-sized chunk is followed by a pad byte, which a last chunk may
    // lack.
    if (size % 2 != 0 && position < file_size) ++position;
  }

  if (!sample_rate) return Refuse(WavProblem::kNoFormatChunk);
  if (!samples) return Refuse(WavProblem::kNoDataChunk);
  return WavLayout{*sample_rate, samples->offset, samples->length};
}

WavHeader ParseWavHeader(std::span<const std::uint8_t> file) {
  return ParseWavHeader(file.size(), [file](ByteCount offset, std::span<std::uint8_t> buffer) -> std::size_t {
    if (offset >= file.size()) return 0;
    const auto rest = file.subspan(static_cast<std::size_t>(offset));
    const std::size_t count = std::min(buffer.size(), rest.size());
    std::copy_n(rest.begin(), count, buffer.begin());
    return count;
  });
}

WavHeader ReadWavHeader(platform::File& input) {
  WavHeader header = ParseWavHeader(input.Size(), [&input](ByteCount offset, std::span<std::uint8_t> buffer) {
    input.Seek(offset);
    return input.Read(buffer);
  });
  if (const auto* layout = std::get_if<WavLayout>(&header)) input.Seek(layout->data_offset);
  return header;
}

}  // namespace plivex
