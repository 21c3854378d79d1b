#include "convert/wav_reader.h"

#include <algorithm>
#include <array>
#include <limits>
#include <optional>
#include <stdexcept>
#include <string_view>

#include "convert/wav_format.h"
#include "platform/errors.h"

namespace plivex {

namespace {

using platform::ByteCount;

constexpr ByteCount kRiffHeaderSize = 12;  // "RIFF", the RIFF size, "WAVE"
constexpr ByteCount kChunkHeaderSize = 8;  // the chunk's id, then its size
constexpr ByteCount kMostBytes = std::numeric_limits<ByteCount>::max();

// A 32-bit size that a streaming writer leaves open: the samples run to the
// end of the file. In RF64 and BW64 it says that the real size is in the
// ds64 chunk instead.
constexpr std::uint32_t kOpenSize = 0xFFFFFFFF;

// What sox writes as the data size when it cannot know the length (to a
// pipe, or until it finishes a file), rounded down to whole frames.
constexpr std::uint32_t kSoxOpenSize = 0x7FFFF000;

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

// The ds64 chunk of RF64 and BW64, right after "WAVE": the RIFF size, the
// data size and the sample count (64 bits each), then a table of the
// 64-bit sizes of other chunks, each entry a chunk id and its size.
constexpr std::size_t kDs64FieldsSize = 28;
constexpr std::size_t kDs64EntrySize = 12;
// Entries kept from the table; writers put none or very few there (only
// chunks other than data of 4 GiB or more need one). A chunk named by a
// later entry is walked by its 32-bit size.
constexpr std::size_t kDs64Entries = 16;

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

ByteCount U64(std::span<const std::uint8_t> bytes, std::size_t at) {
  return U32(bytes, at) | ByteCount{U32(bytes, at + 4)} << 32;
}

bool HasId(std::span<const std::uint8_t> bytes, std::size_t at, std::string_view id) {
  return std::equal(id.begin(), id.end(), bytes.begin() + static_cast<std::ptrdiff_t>(at),
                    [](char c, std::uint8_t b) { return static_cast<std::uint8_t>(c) == b; });
}

WavRefusal Refuse(WavProblem problem, std::uint32_t found = 0, std::uint32_t expected = 0) {
  return {problem, found, expected};
}

// Where a chunk of `size` bytes whose body starts at `body` ends; sizes
// from a ds64 table can reach past the largest offset, which no input has.
ByteCount EndOf(ByteCount body, ByteCount size) {
  return size > kMostBytes - body ? kMostBytes : body + size;
}

// The two ways of reading the input that the chunk walk below is written
// for, both asked for offsets that never go back. Each offers:
//   Read(offset, buffer): fills the buffer (at most a window) with the bytes
//     at `offset` and returns how many the input has there;
//   Fill(offset, buffer): whether Read got all of them;
//   Reaches(offset): whether the input holds every byte before `offset`;
//   Ends(position): whether the input ends right at `position`, which it
//     reaches.

// A file of known size, read through a window at any offset, never outside
// the file.
class FileWindow {
 public:
  static constexpr bool kStream = false;

  FileWindow(ByteCount file_size, const ReadAt& read_at) : file_size_(file_size), read_at_(read_at) {}

  ByteCount Size() const { return file_size_; }

  std::size_t Read(ByteCount offset, std::span<std::uint8_t> buffer) {
    if (offset >= file_size_ || buffer.size() > kWindowSize) return 0;
    buffer = buffer.first(static_cast<std::size_t>(std::min<ByteCount>(buffer.size(), file_size_ - offset)));
    const bool inside =
        offset >= start_ && offset - start_ <= length_ && buffer.size() <= length_ - (offset - start_);
    if (!inside) {
      const auto want = static_cast<std::size_t>(std::min<ByteCount>(kWindowSize, file_size_ - offset));
      start_ = offset;
      length_ = std::min(read_at_(offset, std::span(window_).first(want)), want);
    }
    // A read that came back short leaves fewer bytes than the size promised.
    const std::size_t count =
        std::min<std::size_t>(buffer.size(), length_ - static_cast<std::size_t>(offset - start_));
    const auto from = window_.begin() + static_cast<std::ptrdiff_t>(offset - start_);
    std::copy(from, from + static_cast<std::ptrdiff_t>(count), buffer.begin());
    return count;
  }

  bool Fill(ByteCount offset, std::span<std::uint8_t> buffer) {
    return Read(offset, buffer) == buffer.size();
  }

  bool Reaches(ByteCount offset) const { return offset <= file_size_; }

  bool Ends(ByteCount position) const { return position == file_size_; }

 private:
  ByteCount file_size_;
  const ReadAt& read_at_;
  std::array<std::uint8_t, kWindowSize> window_;
  ByteCount start_ = 0;
  std::size_t length_ = 0;  // bytes of the window that hold the file's bytes from start_
};

// A stream of unknown length, read strictly forward and only as far as the
// walk asks: skipped bytes are read and dropped, and the one byte read
// ahead to see whether the stream ends is kept for the next read.
class StreamWindow {
 public:
  static constexpr bool kStream = true;

  explicit StreamWindow(const ReadNext& read_next) : read_next_(read_next) {}

  std::size_t Read(ByteCount offset, std::span<std::uint8_t> buffer) {
    if (!Reaches(offset) || buffer.empty()) return 0;
    std::size_t count = 0;
    if (ahead_) {
      buffer[0] = *ahead_;
      ahead_.reset();
      count = 1;
    }
    count += Next(buffer.subspan(count));
    position_ += count;
    return count;
  }

  bool Fill(ByteCount offset, std::span<std::uint8_t> buffer) {
    return Read(offset, buffer) == buffer.size();
  }

  bool Reaches(ByteCount offset) {
    // The walk never goes back; a stream could not.
    if (offset < position_) throw std::logic_error("StreamWindow: an offset already passed");
    if (offset > position_ && ahead_) {
      ahead_.reset();
      ++position_;
    }
    while (offset > position_) {
      const auto want = static_cast<std::size_t>(std::min<ByteCount>(offset - position_, kWindowSize));
      const std::size_t got = Next(std::span(skipped_).first(want));
      position_ += got;
      if (got < want) return false;
    }
    return true;
  }

  bool Ends(ByteCount position) {
    if (!Reaches(position)) return true;
    if (ahead_) return false;
    std::array<std::uint8_t, 1> byte{};
    if (Next(byte) == 0) return true;
    ahead_ = byte[0];
    return false;
  }

 private:
  std::size_t Next(std::span<std::uint8_t> buffer) {
    if (buffer.empty() || ended_) return 0;
    const std::size_t got = std::min(read_next_(buffer), buffer.size());
    // Nothing is asked of a stream once it has ended: a terminal would wait.
    ended_ = got < buffer.size();
    return got;
  }

  const ReadNext& read_next_;
  ByteCount position_ = 0;  // the offset of the next byte handed out (ahead_'s, when it is held)
  std::optional<std::uint8_t> ahead_;
  bool ended_ = false;
  std::array<std::uint8_t, kWindowSize> skipped_;
};

// What the fmt chunk says about the samples.
struct Format {
  std::uint32_t sample_rate;
  std::uint32_t channels;
  SampleEncoding encoding;
  std::uint32_t bits;
};

// Decides on the fields of a fmt chunk (its first 16 to 40 bytes): the
// format of accepted samples, or why not.
std::variant<Format, WavRefusal> CheckFormat(std::span<const std::uint8_t> fields) {
  std::uint32_t tag = U16(fields, 0);
  const std::uint32_t channels = U16(fields, 2);
  const std::uint32_t sample_rate = U32(fields, 4);
  const std::uint32_t block_align = U16(fields, 12);
  const std::uint32_t bits = U16(fields, 14);
  // 0: the writer did not say, so the container's bits count.
  std::uint32_t valid_bits = 0;

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
  if (tag != kWavFormatPcm && tag != kTagFloat) return Refuse(WavProblem::kNotPcm, tag);
  if (channels != 1 && channels != 2) return Refuse(WavProblem::kNotStereo, channels);

  // The container (the bits per sample, rounded up to whole bytes) decides
  // how a sample is stored; valid bits below it are samples in its top
  // bits, which convert by the container's rule.
  SampleEncoding encoding{};
  if (tag == kTagFloat) {
    if (bits != 32 && bits != 64) return Refuse(WavProblem::kFloatingPoint, bits);
    if (valid_bits > bits) return Refuse(WavProblem::kFloatingPoint, valid_bits);
    encoding = bits == 32 ? SampleEncoding::kFloat32 : SampleEncoding::kFloat64;
  } else {
    if (bits == 0 || bits > 32) return Refuse(WavProblem::kUnsupportedSampleSize, bits);
    if (valid_bits > bits) return Refuse(WavProblem::kUnsupportedSampleSize, valid_bits);
    constexpr std::array<SampleEncoding, 4> kByBytes = {SampleEncoding::kUnsigned8, SampleEncoding::kSigned16,
                                                        SampleEncoding::kSigned24, SampleEncoding::kSigned32};
    encoding = kByBytes[(bits + 7) / 8 - 1];
  }
  const auto frame_size = static_cast<std::uint32_t>(channels * SampleSize(encoding));
  if (block_align != frame_size) return Refuse(WavProblem::kBadBlockAlign, block_align, frame_size);
  if (sample_rate == 0) return Refuse(WavProblem::kNoSampleRate);
  return Format{sample_rate, channels, encoding, valid_bits != 0 ? valid_bits : bits};
}

// The forms of the file's first 12 bytes that are taken.
enum class Form { kRiff, kRf64 };

// "RIFF", "RF64" or "BW64", any size, "WAVE" at the start of the input, or
// why not. RIFX (big-endian) is not taken. An input that matches as far as
// it goes but ends first is cut short.
template <typename Window>
std::variant<Form, WavRefusal> CheckRiffHeader(Window& input) {
  std::array<std::uint8_t, kRiffHeaderSize> riff{};
  const std::size_t count = input.Read(0, riff);
  const auto matches = [&](std::string_view magic) {
    std::array<std::uint8_t, kRiffHeaderSize> expected = {0, 0, 0, 0, 0, 0, 0, 0, 'W', 'A', 'V', 'E'};
    std::copy(magic.begin(), magic.end(), expected.begin());
    std::copy(riff.begin() + 4, riff.begin() + 8, expected.begin() + 4);  // any size
    return std::equal(riff.begin(), riff.begin() + static_cast<std::ptrdiff_t>(count), expected.begin());
  };
  std::optional<Form> form;
  if (matches("RIFF")) form = Form::kRiff;
  // BW64 is RF64 under another name.
  if (matches("RF64") || matches("BW64")) form = Form::kRf64;
  if (!form) return Refuse(WavProblem::kNotRiffWave);
  if (count < kRiffHeaderSize) return Refuse(WavProblem::kCutShort);
  return *form;
}

// The sizes an RF64 file keeps in its ds64 chunk.
struct Ds64 {
  ByteCount data_size = 0;
  struct Entry {
    std::array<std::uint8_t, 4> id;
    ByteCount size;
  };
  std::array<Entry, kDs64Entries> table{};
  std::size_t entries = 0;  // at most kDs64Entries

  // The size of a chunk whose 32-bit size is open: its entry's in the table,
  // or else that 32-bit size.
  ByteCount SizeOf(std::span<const std::uint8_t> id) const {
    for (std::size_t i = 0; i < entries; ++i) {
      if (std::equal(id.begin(), id.begin() + 4, table[i].id.begin())) return table[i].size;
    }
    return kOpenSize;
  }
};

// The ds64 chunk that must follow "WAVE" in RF64 and BW64, and where the
// next chunk starts after it, or why not.
template <typename Window>
std::variant<Ds64, WavRefusal> ReadDs64(Window& input, ByteCount& position) {
  std::array<std::uint8_t, kChunkHeaderSize> chunk{};
  if (!input.Fill(kRiffHeaderSize, chunk)) return Refuse(WavProblem::kCutShort);
  // Without its sizes the file cannot be walked.
  if (!HasId(chunk, 0, "ds64")) return Refuse(WavProblem::kNotRiffWave);
  const std::uint32_t size = U32(chunk, 4);
  const ByteCount body = kRiffHeaderSize + kChunkHeaderSize;
  std::array<std::uint8_t, kDs64FieldsSize> fields{};
  if (size < kDs64FieldsSize || !input.Fill(body, fields)) return Refuse(WavProblem::kCutShort);

  Ds64 ds64;
  ds64.data_size = U64(fields, 8);
  const std::uint32_t table_length = U32(fields, 24);
  if (table_length > (size - kDs64FieldsSize) / kDs64EntrySize) return Refuse(WavProblem::kCutShort);
  ds64.entries = std::min<std::size_t>(table_length, kDs64Entries);
  for (std::size_t i = 0; i < ds64.entries; ++i) {
    std::array<std::uint8_t, kDs64EntrySize> entry{};
    if (!input.Fill(body + kDs64FieldsSize + i * kDs64EntrySize, entry)) return Refuse(WavProblem::kCutShort);
    // at(): an entry past the table would be this code's fault; it raises
    // rather than write over what follows the table.
    Ds64::Entry& kept = ds64.table.at(i);
    std::copy(entry.begin(), entry.begin() + 4, kept.id.begin());
    kept.size = U64(entry, 4);
  }
  if (!input.Reaches(body + size)) return Refuse(WavProblem::kCutShort);
  position = body + size;
  if (size % 2 != 0 && !input.Ends(position)) ++position;
  return ds64;
}

// The fmt chunk of `size` bytes whose body starts at `body`: the format of
// accepted samples, or why not. One that runs past the end of the input is
// refused by the walk, like any chunk.
template <typename Window>
std::variant<Format, WavRefusal> ReadFormat(Window& input, ByteCount body, ByteCount size) {
  if (size < kWavPcmFormatSize) return Refuse(WavProblem::kCutShort);
  std::array<std::uint8_t, kExtensibleFormatSize> fields{};
  const auto needed =
      std::span(fields).first(static_cast<std::size_t>(std::min<ByteCount>(size, kExtensibleFormatSize)));
  if (!input.Fill(body, needed)) return Refuse(WavProblem::kCutShort);
  return CheckFormat(needed);
}

// Where the samples are: the first data chunk's body, or the part of it
// that is in the file.
struct Samples {
  ByteCount offset;
  ByteCount length;
};

WavLayout Layout(const Format& format, ByteCount offset, ByteCount length, bool open) {
  return {format.sample_rate, offset, length, format.channels, format.encoding, format.bits, open};
}

std::size_t FrameSizeOf(const Format& format) { return format.channels * SampleSize(format.encoding); }

// The decision over a file or a stream, walking its chunks up to the end
// of the input, whatever the RIFF size says: writers that stream leave it
// open, and others get it wrong. Only the first fmt and the first data
// chunk count; a later one is skipped like any unknown chunk (or never
// reached, as the walk ends once both are found, or, in a stream, at the
// data chunk).
template <typename Window>
WavHeader Walk(Window& input) {
  const auto form = CheckRiffHeader(input);
  if (const auto* refusal = std::get_if<WavRefusal>(&form)) return *refusal;
  const bool rf64 = std::get<Form>(form) == Form::kRf64;

  ByteCount position = kRiffHeaderSize;  // never past the end of the input
  Ds64 ds64;
  if (rf64) {
    const auto read = ReadDs64(input, position);
    if (const auto* refusal = std::get_if<WavRefusal>(&read)) return *refusal;
    ds64 = std::get<Ds64>(read);
  }

  std::optional<Format> format;
  std::optional<Samples> samples;
  while ((!format || !samples) && !input.Ends(position)) {
    std::array<std::uint8_t, kChunkHeaderSize> chunk{};
    if (!input.Fill(position, chunk)) return Refuse(WavProblem::kCutShort);
    const std::uint32_t size32 = U32(chunk, 4);
    ByteCount size = rf64 && size32 == kOpenSize ? ds64.SizeOf(chunk) : size32;
    const ByteCount body = position + kChunkHeaderSize;

    if (!format && HasId(chunk, 0, "fmt ")) {
      const auto read = ReadFormat(input, body, size);
      if (const auto* refusal = std::get_if<WavRefusal>(&read)) return *refusal;
      format = std::get<Format>(read);
    } else if (!samples && HasId(chunk, 0, "data")) {
      // A size left open by a writer that could not go back to fill it in:
      // 0xFFFFFFFF, or in RF64 a ds64 data size still 0.
      bool open = size32 == kOpenSize;
      // Or another placeholder of a writer that knew no length (never a
      // ds64 size). Whose frames it counts in needs the format, which any
      // samples that reach the end must follow.
      bool placeholder = open;
      if (rf64 && size32 == kOpenSize) {
        size = ds64.data_size;
        open = placeholder = size == 0;
      } else if (format) {
        placeholder = IsPlaceholderSize(size32, FrameSizeOf(*format));
      }
      if constexpr (Window::kStream) {
        // The samples come next, and the stream cannot come back to them
        // from a fmt chunk after them. A writer to a pipe leaves the size
        // open, at 0, or at sox's placeholder.
        if (!format) return Refuse(WavProblem::kNoFormatChunk);
        const bool unknown = placeholder || size == 0;
        return Layout(*format, body, unknown ? kMostBytes : size, unknown);
      } else {
        const ByteCount room = input.Size() - body;  // from the body to the end of the file
        if (open || size > room) {
          // The samples run to the end of the file, so no chunk follows
          // them: a fmt chunk that was not before them is not there. A
          // real size keeps its length, which the file does not have.
          samples = Samples{body, placeholder ? room : size};
          break;
        }
        samples = Samples{body, size};
      }
    }

    // Any other chunk that runs past the end, the fmt chunk included,
    // leaves the input cut short of the chunk still missing.
    if (!input.Reaches(EndOf(body, size))) return Refuse(WavProblem::kCutShort);
    position = body + size;
    // An odd-sized chunk is followed by a pad byte, which a last chunk may
    // lack.
    if (size % 2 != 0 && !input.Ends(position)) ++position;
  }

  if (!format) return Refuse(WavProblem::kNoFormatChunk);
  if (!samples) return Refuse(WavProblem::kNoDataChunk);
  return Layout(*format, samples->offset, samples->length, false);
}

}  // namespace

std::size_t FrameSize(const WavLayout& layout) { return layout.channels * SampleSize(layout.encoding); }

ByteCount FrameCount(const WavLayout& layout) { return layout.data_length / FrameSize(layout); }

bool IsPlaceholderSize(std::uint32_t size, std::size_t frame_size) {
  return size == kOpenSize || (frame_size != 0 && size == kSoxOpenSize / frame_size * frame_size);
}

bool NeedsConversion(const WavLayout& layout) {
  return layout.channels != kWavChannels || layout.encoding != SampleEncoding::kSigned16;
}

WavHeader ParseWavHeader(ByteCount file_size, const ReadAt& read_at) {
  FileWindow file(file_size, read_at);
  return Walk(file);
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
  const ByteCount size = input.Size();
  WavHeader header = ParseWavHeader(size, [&input](ByteCount offset, std::span<std::uint8_t> buffer) {
    input.Seek(offset);
    return input.Read(buffer);
  });
  if (const auto* layout = std::get_if<WavLayout>(&header)) {
    // The same failure as reading the samples would end in, found before
    // anything is created.
    if (layout->data_length > size - layout->data_offset) {
      throw EReadError("data", {FileFault::kEndedEarly, "the file ends before its data chunk"});
    }
    input.Seek(layout->data_offset);
  }
  return header;
}

WavHeader ParseWavStream(const ReadNext& read_next) {
  StreamWindow stream(read_next);
  return Walk(stream);
}

WavHeader ReadWavStream(platform::File& input) {
  return ParseWavStream([&input](std::span<std::uint8_t> buffer) { return input.Read(buffer); });
}

}  // namespace plivex
