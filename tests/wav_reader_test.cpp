#include "convert/wav_reader.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdint>
#include <limits>
#include <ostream>
#include <string>
#include <string_view>
#include <vector>

#include "convert/wav_header.h"
#include "platform/file.h"
#include "tests/test_files.h"

namespace plivex {

// How gtest shows an outcome that differs from the expected one.
void PrintTo(const WavLayout& layout, std::ostream* out) {
  *out << "layout{rate " << layout.sample_rate << ", offset " << layout.data_offset << ", length "
       << layout.data_length << ", channels " << layout.channels << ", encoding "
       << static_cast<int>(layout.encoding) << ", bits " << layout.bits
       << (layout.length_is_open ? ", open}" : "}");
}

// The problem as its number: its place in the list of WavProblem.
void PrintTo(const WavRefusal& refusal, std::ostream* out) {
  *out << "refusal{problem " << static_cast<int>(refusal.problem) << ", found " << refusal.found
       << ", expected " << refusal.expected << "}";
}

namespace {

using Bytes = std::vector<std::uint8_t>;
using platform::ByteCount;

// Builds WAV files by hand, every number little-endian, byte by byte.
class Builder {
 public:
  Builder& Text(std::string_view text) {
    bytes_.insert(bytes_.end(), text.begin(), text.end());
    return *this;
  }
  Builder& U16(std::uint32_t value) { return Little(value, 2); }
  Builder& U32(std::uint32_t value) { return Little(value, 4); }
  Builder& U64(std::uint64_t value) {
    return Little(static_cast<std::uint32_t>(value), 4).Little(static_cast<std::uint32_t>(value >> 32), 4);
  }
  Builder& Raw(const Bytes& bytes) {
    bytes_.insert(bytes_.end(), bytes.begin(), bytes.end());
    return *this;
  }
  // A data chunk whose size is left open (0xFFFFFFFF), and its samples.
  Builder& OpenData(const Bytes& samples) { return Text("data").U32(0xFFFFFFFF).Raw(samples); }
  // A whole chunk: id, size, body, and the pad byte after an odd size.
  Builder& Chunk(std::string_view id, const Bytes& body) {
    Text(id).U32(static_cast<std::uint32_t>(body.size())).Raw(body);
    if (body.size() % 2 != 0) bytes_.push_back(0);
    return *this;
  }
  Bytes Build() const { return bytes_; }

 private:
  Builder& Little(std::uint32_t value, int count) {
    for (int i = 0; i < count; ++i) bytes_.push_back(static_cast<std::uint8_t>(value >> (8 * i)));
    return *this;
  }
  Bytes bytes_;
};

// "RIFF", a RIFF size (left at 0 unless given: the reader must not need it), "WAVE".
Builder Riff(std::uint32_t riff_size = 0) {
  return std::move(Builder().Text("RIFF").U32(riff_size).Text("WAVE"));
}

struct Format {
  std::uint32_t tag = 1;
  std::uint32_t channels = 2;
  std::uint32_t rate = 44100;
  std::uint32_t align = 4;
  std::uint32_t bits = 16;
};

// The 16 bytes every fmt chunk starts with.
Bytes Fields(const Format& f) {
  return Builder()
      .U16(f.tag)
      .U16(f.channels)
      .U32(f.rate)
      .U32(f.rate * f.align)
      .U16(f.align)
      .U16(f.bits)
      .Build();
}

Bytes Fmt18(const Format& f) { return Builder().Raw(Fields(f)).U16(0).Build(); }

const Bytes kPcmSuffix = {0x00, 0x00, 0x00, 0x00, 0x10, 0x00, 0x80, 0x00, 0x00, 0xAA, 0x00, 0x38, 0x9B, 0x71};

struct Extension {
  std::uint32_t sub_tag = 1;
  std::uint32_t valid_bits = 16;
  Bytes suffix = kPcmSuffix;
  std::uint32_t extension_size = 22;
};

constexpr std::uint32_t kExtensible = 0xFFFE;

// A 40-byte fmt body with the extension of WAVE_FORMAT_EXTENSIBLE.
Bytes Fmt40(const Format& f, const Extension& e) {
  return Builder()
      .Raw(Fields(f))
      .U16(e.extension_size)
      .U16(e.valid_bits)
      .U32(0x3)  // front left, front right
      .U16(e.sub_tag)
      .Raw(e.suffix)
      .Build();
}

const Bytes kSamples = plivex::test::PatternBytes(12, 7);

Bytes Take(const Bytes& bytes, std::size_t count) { return Bytes(bytes.begin(), bytes.begin() + count); }

WavRefusal Refused(WavProblem problem, std::uint32_t found = 0, std::uint32_t expected = 0) {
  return {problem, found, expected};
}

// The layout of a file's samples.
WavLayout Layout(std::uint32_t rate, ByteCount offset, ByteCount length, std::uint32_t channels,
                 SampleEncoding encoding, std::uint32_t bits) {
  return {rate, offset, length, channels, encoding, bits, false};
}

WavLayout Pcm16(std::uint32_t rate, ByteCount offset, ByteCount length) {
  return Layout(rate, offset, length, 2, SampleEncoding::kSigned16, 16);
}

// A ds64 chunk's body: the RIFF size, the data size, the sample count, then
// the table, each entry a chunk id and its size.
Bytes Ds64(std::uint64_t data_size, std::vector<std::pair<std::string, std::uint64_t>> table = {}) {
  Builder body;
  body.U64(0xFFFFFFFFFFFFFFFF)
      .U64(data_size)
      .U64(data_size / 4)
      .U32(static_cast<std::uint32_t>(table.size()));
  for (const auto& [id, size] : table) body.Text(id).U64(size);
  return body.Build();
}

// "RF64" (or `form`), a size, "WAVE".
Builder Rf64(std::string_view form = "RF64") {
  return std::move(Builder().Text(form).U32(0xFFFFFFFF).Text("WAVE"));
}

struct Case {
  std::string name;
  Bytes file;
  WavHeader expected;
};

std::vector<Case> AcceptedCases() {
  const Format pcm;
  const Format extensible{.tag = kExtensible};
  const auto with_fmt = [](const Bytes& fmt) {
    return Riff().Chunk("fmt ", fmt).Chunk("data", kSamples).Build();
  };
  const auto header = MakeWavHeader(22050, 1000);
  Bytes plivex_output(header.begin(), header.end());
  plivex_output.resize(44 + 1024, 0x5A);  // the writer's padding follows the declared data
  const Bytes odd_junk = {1, 2, 3};
  const Bytes list_info = Builder().Text("INFO").Text("ISFT").U32(6).Text("plivx").Raw({0}).Build();

  return {
      {"fmt of 16 bytes", Riff().Chunk("fmt ", Fields(pcm)).Chunk("data", kSamples).Build(),
       Pcm16(44100, 44, 12)},
      {"fmt of 18 bytes", Riff().Chunk("fmt ", Fmt18(pcm)).Chunk("data", kSamples).Build(),
       Pcm16(44100, 46, 12)},
      {"fmt of 40 bytes with tag 1", Riff().Chunk("fmt ", Fmt40(pcm, {})).Chunk("data", kSamples).Build(),
       Pcm16(44100, 68, 12)},
      {"extensible PCM",
       Riff().Chunk("fmt ", Fmt40({.tag = kExtensible, .rate = 48000}, {})).Chunk("data", kSamples).Build(),
       Pcm16(48000, 68, 12)},
      {"extensible PCM, valid bits left 0",
       Riff().Chunk("fmt ", Fmt40(extensible, {.valid_bits = 0})).Chunk("data", kSamples).Build(),
       Pcm16(44100, 68, 12)},
      {"fmt longer than 40 bytes",
       Riff()
           .Chunk("fmt ", Builder().Raw(Fmt40(extensible, {})).Raw(Bytes(10, 0xEE)).Build())
           .Chunk("data", kSamples)
           .Build(),
       Pcm16(44100, 78, 12)},
      {"odd chunk and its pad byte before fmt",
       Riff().Chunk("JUNK", odd_junk).Chunk("fmt ", Fields(pcm)).Chunk("data", kSamples).Build(),
       Pcm16(44100, 56, 12)},
      {"odd chunk and its pad byte after fmt",
       Riff().Chunk("fmt ", Fields(pcm)).Chunk("bext", odd_junk).Chunk("data", kSamples).Build(),
       Pcm16(44100, 56, 12)},
      {"LIST before the data",
       Riff().Chunk("fmt ", Fields(pcm)).Chunk("LIST", list_info).Chunk("data", kSamples).Build(),
       Pcm16(44100, 70, 12)},
      {"chunks after the data",
       Riff()
           .Chunk("fmt ", Fields(pcm))
           .Chunk("data", kSamples)
           .Chunk("id3 ", odd_junk)
           .Chunk("LIST", list_info)
           .Build(),
       Pcm16(44100, 44, 12)},
      {"fmt after the data", Riff().Chunk("data", kSamples).Chunk("fmt ", Fields({.rate = 8000})).Build(),
       Pcm16(8000, 20, 12)},
      {"fmt after odd-sized data and a chunk",
       Riff().Chunk("data", Take(kSamples, 7)).Chunk("cue ", odd_junk).Chunk("fmt ", Fields(pcm)).Build(),
       Pcm16(44100, 20, 7)},
      {"open data size",
       Riff(0xFFFFFFFF).Chunk("fmt ", Fields(pcm)).Text("data").U32(0xFFFFFFFF).Raw(kSamples).Build(),
       Pcm16(44100, 44, 12)},
      // A real size past the end keeps its length (ReadWavHeader refuses
      // the file); sox's placeholder, in whole frames, is the rest of it.
      {"data size past the end",
       Riff().Chunk("fmt ", Fields(pcm)).Text("data").U32(1000).Raw(kSamples).Build(),
       Pcm16(44100, 44, 1000)},
      {"sox's placeholder in frames of 6",
       Riff()
           .Chunk("fmt ", Fields({.align = 6, .bits = 24}))
           .Text("data")
           .U32(0x7FFFEFFC)
           .Raw(kSamples)
           .Build(),
       Layout(44100, 44, 12, 2, SampleEncoding::kSigned24, 24)},
      {"0x7FFFF000 in frames of 6 is a real size",
       Riff()
           .Chunk("fmt ", Fields({.align = 6, .bits = 24}))
           .Text("data")
           .U32(0x7FFFF000)
           .Raw(kSamples)
           .Build(),
       Layout(44100, 44, 0x7FFFF000, 2, SampleEncoding::kSigned24, 24)},
      {"open data ending in part of a frame",
       Riff().Chunk("fmt ", Fields(pcm)).Text("data").U32(0xFFFFFFFF).Raw(Take(kSamples, 9)).Build(),
       Pcm16(44100, 44, 9)},
      {"data ending in part of a frame",
       Riff().Chunk("fmt ", Fields(pcm)).Chunk("data", Take(kSamples, 9)).Build(), Pcm16(44100, 44, 9)},
      {"empty data", Riff().Chunk("fmt ", Fields(pcm)).Chunk("data", {}).Build(), Pcm16(44100, 44, 0)},
      {"bytes after the declared data are not samples", plivex_output, Pcm16(22050, 44, 1000)},
      {"a second fmt is skipped",
       Riff()
           .Chunk("fmt ", Fields(pcm))
           .Chunk("fmt ", Fields({.channels = 1, .align = 2}))
           .Chunk("data", kSamples)
           .Build(),
       Pcm16(44100, 68, 12)},
      {"a second data is skipped",
       Riff().Chunk("data", Take(kSamples, 4)).Chunk("data", kSamples).Chunk("fmt ", Fields(pcm)).Build(),
       Pcm16(44100, 20, 4)},
      {"the slowest rate", Riff().Chunk("fmt ", Fields({.rate = 1})).Chunk("data", kSamples).Build(),
       Pcm16(1, 44, 12)},
      {"the fastest rate", Riff().Chunk("fmt ", Fields({.rate = 0xFFFFFFFF})).Chunk("data", kSamples).Build(),
       Pcm16(0xFFFFFFFF, 44, 12)},

      // Every sample format taken, by the container's size.
      {"mono", with_fmt(Fields({.channels = 1, .align = 2})),
       Layout(44100, 44, 12, 1, SampleEncoding::kSigned16, 16)},
      {"8 bits", with_fmt(Fields({.align = 2, .bits = 8})),
       Layout(44100, 44, 12, 2, SampleEncoding::kUnsigned8, 8)},
      {"12 bits in 2 bytes", with_fmt(Fields({.bits = 12})),
       Layout(44100, 44, 12, 2, SampleEncoding::kSigned16, 12)},
      {"24 bits", with_fmt(Fields({.align = 6, .bits = 24})),
       Layout(44100, 44, 12, 2, SampleEncoding::kSigned24, 24)},
      {"32 bits", with_fmt(Fields({.align = 8, .bits = 32})),
       Layout(44100, 44, 12, 2, SampleEncoding::kSigned32, 32)},
      {"float 32", with_fmt(Fields({.tag = 3, .align = 8, .bits = 32})),
       Layout(44100, 44, 12, 2, SampleEncoding::kFloat32, 32)},
      {"float 64, mono", with_fmt(Fmt18({.tag = 3, .channels = 1, .align = 8, .bits = 64})),
       Layout(44100, 46, 12, 1, SampleEncoding::kFloat64, 64)},
      {"extensible, 24 valid bits of 32",
       with_fmt(Fmt40({.tag = kExtensible, .align = 8, .bits = 32}, {.valid_bits = 24})),
       Layout(44100, 68, 12, 2, SampleEncoding::kSigned32, 24)},
      {"extensible float, mono",
       with_fmt(Fmt40({.tag = kExtensible, .channels = 1, .align = 4, .bits = 32},
                      {.sub_tag = 3, .valid_bits = 32})),
       Layout(44100, 68, 12, 1, SampleEncoding::kFloat32, 32)},

      // RF64 and BW64: a data size of 0xFFFFFFFF is the ds64 chunk's.
      {"RF64: the data size in ds64, the fmt after the data",
       Rf64().Chunk("ds64", Ds64(10)).OpenData(Take(kSamples, 10)).Chunk("fmt ", Fields(pcm)).Build(),
       Pcm16(44100, 56, 10)},
      {"BW64", Rf64("BW64").Chunk("ds64", Ds64(8)).Chunk("fmt ", Fields(pcm)).OpenData(kSamples).Build(),
       Pcm16(44100, 80, 8)},
      {"RF64: a data size of its own",
       Rf64().Chunk("ds64", Ds64(8)).Chunk("fmt ", Fields(pcm)).Chunk("data", kSamples).Build(),
       Pcm16(44100, 80, 12)},
      {"RF64: a ds64 data size of 0xFFFFFFFF is a length",
       Rf64().Chunk("ds64", Ds64(0xFFFFFFFF)).Chunk("fmt ", Fields(pcm)).OpenData(kSamples).Build(),
       Pcm16(44100, 80, 0xFFFFFFFF)},
      {"RF64 as written to a pipe: ds64's data size 0",
       Rf64().Chunk("ds64", Ds64(0)).Chunk("fmt ", Fields(pcm)).OpenData(kSamples).Build(),
       Pcm16(44100, 80, 12)},
      {"RF64: a chunk's size from the table",
       Rf64()
           .Chunk("ds64", Ds64(12, {{"LIST", 100}, {"JUNK", 3}}))
           .Text("JUNK")
           .U32(0xFFFFFFFF)
           .Raw({1, 2, 3, 0})
           .Chunk("fmt ", Fields(pcm))
           .Chunk("data", kSamples)
           .Build(),
       Pcm16(44100, 116, 12)},
  };
}

std::vector<Case> RefusedCases() {
  const Format pcm;
  const Format extensible{.tag = kExtensible};
  const auto with_fmt = [](const Bytes& fmt) {
    return Riff().Chunk("fmt ", fmt).Chunk("data", kSamples).Build();
  };
  // An RF64 file whose chunk JUNK has an open 32-bit size and holds a fmt
  // and a data chunk, which a walk that went inside it would find.
  const auto open_junk = [&pcm](std::vector<std::pair<std::string, std::uint64_t>> table) {
    const Bytes inside = Builder().Chunk("fmt ", Fields(pcm)).Chunk("data", kSamples).Build();
    return Rf64().Chunk("ds64", Ds64(12, std::move(table))).Text("JUNK").U32(0xFFFFFFFF).Raw(inside).Build();
  };
  std::vector<std::pair<std::string, std::uint64_t>> past_the_table(16, {"LIST", 8});
  past_the_table.push_back({"JUNK", 0});
  const Bytes ambisonic_suffix = {0x21, 0x07, 0xD3, 0x11, 0x86, 0x44, 0xC8,
                                  0xC1, 0xCA, 0x00, 0x00, 0x00, 0x00, 0x00};

  return {
      {"no channels", with_fmt(Fields({.channels = 0, .align = 0})), Refused(WavProblem::kNotStereo, 0)},
      {"0 bits", with_fmt(Fields({.align = 0, .bits = 0})), Refused(WavProblem::kUnsupportedSampleSize, 0)},
      {"33 bits", with_fmt(Fields({.align = 10, .bits = 33})),
       Refused(WavProblem::kUnsupportedSampleSize, 33)},
      {"float 16", with_fmt(Fields({.tag = 3, .bits = 16})), Refused(WavProblem::kFloatingPoint, 16)},
      {"ADPCM", with_fmt(Fmt18({.tag = 2, .align = 2048, .bits = 4})), Refused(WavProblem::kNotPcm, 2)},
      {"MPEG layer 3", with_fmt(Fmt18({.tag = 0x55, .align = 1, .bits = 0})),
       Refused(WavProblem::kNotPcm, 0x55)},
      {"tag 0", with_fmt(Fields({.tag = 0})), Refused(WavProblem::kNotPcm, 0)},
      {"block align 6", with_fmt(Fields({.align = 6})), Refused(WavProblem::kBadBlockAlign, 6, 4)},
      {"block align 0", with_fmt(Fields({.align = 0})), Refused(WavProblem::kBadBlockAlign, 0, 4)},
      {"24 bits mono in frames of 4", with_fmt(Fields({.channels = 1, .align = 4, .bits = 24})),
       Refused(WavProblem::kBadBlockAlign, 4, 3)},
      {"sample rate 0", with_fmt(Fields({.rate = 0})), Refused(WavProblem::kNoSampleRate)},
      {"extensible ADPCM", with_fmt(Fmt40(extensible, {.sub_tag = 2})), Refused(WavProblem::kNotPcm, 2)},
      {"extensible with a GUID of another family", with_fmt(Fmt40(extensible, {.suffix = ambisonic_suffix})),
       Refused(WavProblem::kNotPcm, kExtensible)},
      {"extensible with one byte of the GUID changed",
       with_fmt(Fmt40(extensible, {.suffix =
                                       [] {
                                         Bytes suffix = kPcmSuffix;
                                         suffix.back() ^= 1;
                                         return suffix;
                                       }()})),
       Refused(WavProblem::kNotPcm, kExtensible)},
      {"extensible with a short extension", with_fmt(Fmt40(extensible, {.extension_size = 21})),
       Refused(WavProblem::kNotPcm, kExtensible)},
      {"extensible in an 18-byte fmt", with_fmt(Fmt18(extensible)),
       Refused(WavProblem::kNotPcm, kExtensible)},
      {"extensible in a 16-byte fmt", with_fmt(Fields(extensible)),
       Refused(WavProblem::kNotPcm, kExtensible)},
      {"extensible, more valid bits than the container", with_fmt(Fmt40(extensible, {.valid_bits = 17})),
       Refused(WavProblem::kUnsupportedSampleSize, 17)},
      {"extensible float, more valid bits than the container",
       with_fmt(Fmt40({.tag = kExtensible, .align = 8, .bits = 32}, {.sub_tag = 3, .valid_bits = 64})),
       Refused(WavProblem::kFloatingPoint, 64)},
      {"the first fmt counts",
       Riff()
           .Chunk("fmt ", Fields({.channels = 6, .align = 12}))
           .Chunk("fmt ", Fields(pcm))
           .Chunk("data", kSamples)
           .Build(),
       Refused(WavProblem::kNotStereo, 6)},

      {"RIFX",
       Builder().Text("RIFX").U32(0).Text("WAVE").Chunk("fmt ", Fields(pcm)).Chunk("data", kSamples).Build(),
       Refused(WavProblem::kNotRiffWave)},
      {"RF64 without ds64", Rf64().Chunk("fmt ", Fields(pcm)).Chunk("data", kSamples).Build(),
       Refused(WavProblem::kNotRiffWave)},
      {"RF64 with a ds64 of 27 bytes",
       Rf64().Chunk("ds64", Take(Ds64(12), 27)).Chunk("fmt ", Fields(pcm)).Chunk("data", kSamples).Build(),
       Refused(WavProblem::kCutShort)},
      {"RF64 with a ds64 too short for its table",
       Rf64()
           .Chunk("ds64", Take(Ds64(12, {{"JUNK", 4}}), 39))
           .Chunk("fmt ", Fields(pcm))
           .Chunk("data", kSamples)
           .Build(),
       Refused(WavProblem::kCutShort)},
      {"RF64 cut in the ds64", Take(Rf64().Chunk("ds64", Ds64(12)).Build(), 40),
       Refused(WavProblem::kCutShort)},
      {"RIFF of another form", Builder().Text("RIFF").U32(4).Text("AVI ").Build(),
       Refused(WavProblem::kNotRiffWave)},
      {"WAVE missing",
       Builder().Text("RIFF").U32(0).Chunk("fmt ", Fields(pcm)).Chunk("data", kSamples).Build(),
       Refused(WavProblem::kNotRiffWave)},
      {"lower case riff", Builder().Text("riff").U32(0).Text("WAVE").Chunk("fmt ", Fields(pcm)).Build(),
       Refused(WavProblem::kNotRiffWave)},
      {"raw samples", kSamples, Refused(WavProblem::kNotRiffWave)},
      {"short and not RIFF", Builder().Text("RIX").Build(), Refused(WavProblem::kNotRiffWave)},
      {"short and not WAVE", Builder().Text("RIFF").U32(0).Text("WB").Build(),
       Refused(WavProblem::kNotRiffWave)},

      {"data alone", Riff().Chunk("data", kSamples).Build(), Refused(WavProblem::kNoFormatChunk)},
      {"open data before fmt",
       Riff().Text("data").U32(0xFFFFFFFF).Raw(kSamples).Chunk("fmt ", Fields(pcm)).Build(),
       Refused(WavProblem::kNoFormatChunk)},
      {"data past the end before fmt", Riff().Text("data").U32(100).Chunk("fmt ", Fields(pcm)).Build(),
       Refused(WavProblem::kNoFormatChunk)},
      {"only a LIST", Riff().Chunk("LIST", Bytes(4, 'x')).Build(), Refused(WavProblem::kNoFormatChunk)},
      {"fmt and other chunks",
       Riff().Chunk("fmt ", Fields(pcm)).Chunk("LIST", Bytes(4, 'x')).Chunk("fact", Bytes(4, 0)).Build(),
       Refused(WavProblem::kNoDataChunk)},
      {"last odd chunk without its pad byte",
       Riff().Chunk("fmt ", Fields(pcm)).Text("JUNK").U32(3).Raw({1, 2, 3}).Build(),
       Refused(WavProblem::kNoDataChunk)},
      {"data id in another case", Riff().Chunk("fmt ", Fields(pcm)).Chunk("DATA", kSamples).Build(),
       Refused(WavProblem::kNoDataChunk)},

      {"fmt of 14 bytes", Riff().Chunk("fmt ", Take(Fields(pcm), 14)).Chunk("data", kSamples).Build(),
       Refused(WavProblem::kCutShort)},
      {"fmt past the end", Riff().Text("fmt ").U32(40).Raw(Fields(pcm)).Build(),
       Refused(WavProblem::kCutShort)},
      {"fmt of 50 bytes with 40 there, after the data",
       Riff().Chunk("data", kSamples).Text("fmt ").U32(50).Raw(Fmt40(pcm, {})).Build(),
       Refused(WavProblem::kCutShort)},
      {"a chunk past the end before the data",
       Riff().Chunk("fmt ", Fields(pcm)).Text("LIST").U32(100).Raw(Bytes(20, 'x')).Build(),
       Refused(WavProblem::kCutShort)},
      {"a chunk header cut short after data", Riff().Chunk("data", kSamples).Text("fmt ").U16(16).Build(),
       Refused(WavProblem::kCutShort)},

      // In RF64 a chunk whose 32-bit size is open takes its ds64 entry's
      // size, and without one its 32-bit size: here, each bigger than the
      // file, with a fmt and a data chunk inside it that are not reached.
      {"RF64: a chunk the table does not list", open_junk({}), Refused(WavProblem::kCutShort)},
      {"RF64: a chunk past the 16 entries kept of the table", open_junk(past_the_table),
       Refused(WavProblem::kCutShort)},
      {"RF64: a chunk size past the largest offset", open_junk({{"JUNK", 0xFFFFFFFFFFFFFFFF}}),
       Refused(WavProblem::kCutShort)},
  };
}

void ExpectCases(const std::vector<Case>& cases) {
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(ParseWavHeader(c.file), c.expected);
  }
}

TEST(ParseWavHeader, AcceptsEveryLayoutOf16BitStereoPcm) { ExpectCases(AcceptedCases()); }

TEST(ParseWavHeader, RefusesEverythingElseWithWhatItFound) { ExpectCases(RefusedCases()); }

// A minimal file cut at every length: a refusal until the data chunk's
// header is whole, then the declared samples (which ReadWavHeader refuses
// when they are not all there).
TEST(ParseWavHeader, MinimalFileCutAtEveryLength) {
  const Bytes whole = Riff().Chunk("fmt ", Fields({})).Chunk("data", kSamples).Build();
  ASSERT_EQ(whole.size(), 56u);
  for (std::size_t length = 0; length <= whole.size(); ++length) {
    SCOPED_TRACE(length);
    WavHeader expected = Refused(WavProblem::kCutShort);
    if (length == 12) expected = Refused(WavProblem::kNoFormatChunk);  // the RIFF header alone
    if (length == 36) expected = Refused(WavProblem::kNoDataChunk);    // ends right after fmt
    if (length >= 44) expected = Pcm16(44100, 44, 12);
    EXPECT_EQ(ParseWavHeader(Take(whole, length)), expected);
  }
}

// A file described by its first and last bytes, zero in between, that
// counts what is read of it; sizes reach past 4 GiB without memory.
class SparseFile {
 public:
  SparseFile(Bytes head, ByteCount tail_at, Bytes tail)
      : head_(std::move(head)), tail_at_(tail_at), tail_(std::move(tail)) {}

  ByteCount Size() const { return tail_at_ + tail_.size(); }

  WavHeader Parse(ByteCount claimed_size) {
    return ParseWavHeader(claimed_size, [this](ByteCount offset, std::span<std::uint8_t> buffer) {
      ++reads_;
      bytes_read_ += buffer.size();
      std::size_t got = 0;
      for (; got < buffer.size() && offset + got < Size(); ++got) buffer[got] = At(offset + got);
      return got;
    });
  }
  WavHeader Parse() { return Parse(Size()); }

  std::size_t reads() const { return reads_; }
  ByteCount bytes_read() const { return bytes_read_; }

 private:
  std::uint8_t At(ByteCount offset) const {
    if (offset < head_.size()) return head_[offset];
    if (offset >= tail_at_) return tail_[offset - tail_at_];
    return 0;
  }

  Bytes head_;
  ByteCount tail_at_;
  Bytes tail_;
  std::size_t reads_ = 0;
  ByteCount bytes_read_ = 0;
};

TEST(ParseWavHeader, SkipsHugeChunksWithoutReadingThem) {
  // A chunk of 0xFFFFFFFF bytes, and its pad byte, before fmt and data.
  const Bytes head = Riff().Text("JUNK").U32(0xFFFFFFFF).Build();
  const ByteCount after_junk = 20 + ByteCount{0xFFFFFFFF} + 1;
  SparseFile file(head, after_junk, Builder().Chunk("fmt ", Fields({})).Chunk("data", kSamples).Build());
  EXPECT_EQ(file.Parse(), (WavHeader{Pcm16(44100, after_junk + 24 + 8, 12)}));
  EXPECT_LE(file.bytes_read(), 3u * 4096);

  // Closed sizes near the 32-bit limit in a file near the 64-bit one.
  const ByteCount most = std::numeric_limits<ByteCount>::max();
  SparseFile huge(Riff().Chunk("fmt ", Fields({})).Text("data").U32(0xFFFFFFFE).Build(), most, {});
  EXPECT_EQ(huge.Parse(), (WavHeader{Pcm16(44100, 44, 0xFFFFFFFE)}));
  SparseFile open(Riff().Chunk("fmt ", Fields({})).Text("data").U32(0xFFFFFFFF).Build(), most, {});
  EXPECT_EQ(open.Parse(), (WavHeader{Pcm16(44100, 44, most - 44)}));
}

TEST(ParseWavHeader, ManyEmptyChunksCostAReadPerWindow) {
  // Zero bytes read as chunks with id 0 and size 0: 8 bytes each.
  SparseFile zeros(Riff().Chunk("fmt ", Fields({})).Build(), 36 + (ByteCount{16} << 20), {});
  EXPECT_EQ(zeros.Parse(), (WavHeader{Refused(WavProblem::kNoDataChunk)}));
  EXPECT_LE(zeros.reads(), (16u << 20) / 4096 + 2);
}

TEST(ParseWavHeader, AFileShorterThanItsSizeIsCutShort) {
  const Bytes whole = Riff().Chunk("fmt ", Fields({})).Chunk("data", kSamples).Build();
  for (const std::size_t real : {6, 12, 30, 40}) {
    SCOPED_TRACE(real);
    SparseFile file(Take(whole, real), real, {});
    EXPECT_EQ(file.Parse(whole.size()), (WavHeader{Refused(WavProblem::kCutShort)}));
  }
}

TEST(ReadWavHeader, LeavesTheInputAtTheFirstSample) {
  plivex::test::ScopedTempDir dir;
  const Bytes samples = plivex::test::PatternBytes(4096, 3);
  const struct {
    const char* name;
    Bytes file;
    ByteCount offset;
  } cases[] = {
      {"fmt then data", Riff().Chunk("fmt ", Fields({})).Chunk("data", samples).Build(), 44},
      {"a large odd chunk first",
       Riff()
           .Chunk("JUNK", Bytes((5u << 20) + 1, 'J'))
           .Chunk("fmt ", Fields({}))
           .Chunk("data", samples)
           .Build(),
       (5u << 20) + 54},
      {"fmt after the data", Riff().Chunk("data", samples).Chunk("fmt ", Fields({})).Build(), 20},
      {"open data", Riff().Chunk("fmt ", Fields({})).Text("data").U32(0xFFFFFFFF).Raw(samples).Build(), 44},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    plivex::test::WriteBytes(dir.File("in.wav"), c.file);
    auto input = platform::OpenInput(dir.File("in.wav"));
    EXPECT_EQ(ReadWavHeader(input), (WavHeader{Pcm16(44100, c.offset, samples.size())}));
    Bytes next(16);
    next.resize(input.Read(next));
    EXPECT_EQ(next, Take(samples, 16));
    EXPECT_TRUE(input.Close());
  }
}

// An open stream's layout: the length is the largest count.
WavLayout Open(WavLayout layout) {
  layout.data_length = std::numeric_limits<ByteCount>::max();
  layout.length_is_open = true;
  return layout;
}

TEST(ParseWavStream, ReadsForwardAndNothingPastTheDataChunkHeader) {
  const Format pcm;
  const struct {
    const char* name;
    Bytes stream;
    WavHeader expected;
  } rows[] = {
      {"a real data size is the length, past the end too",
       Riff().Chunk("fmt ", Fields(pcm)).Text("data").U32(1000).Raw(kSamples).Build(),
       Pcm16(44100, 44, 1000)},
      {"data size 0 is open", Riff().Chunk("fmt ", Fields(pcm)).Text("data").U32(0).Raw(kSamples).Build(),
       Open(Pcm16(44100, 44, 0))},
      {"data size 0xFFFFFFFF is open", Riff().Chunk("fmt ", Fields(pcm)).OpenData(kSamples).Build(),
       Open(Pcm16(44100, 44, 0))},
      {"sox's placeholder is open",
       Riff()
           .Chunk("fmt ", Fields({.channels = 1, .align = 3, .bits = 24}))
           .Text("data")
           .U32(0x7FFFEFFF)
           .Build(),
       Open(Layout(44100, 44, 0, 1, SampleEncoding::kSigned24, 24))},
      {"a large odd chunk, its pad byte, 24-bit mono",
       Riff()
           .Chunk("JUNK", Bytes(10001, 'J'))
           .Chunk("fmt ", Fields({.channels = 1, .align = 3, .bits = 24}))
           .Chunk("data", kSamples)
           .Build(),
       Layout(44100, 10054, 12, 1, SampleEncoding::kSigned24, 24)},
      {"RF64 as written to a pipe",
       Rf64().Chunk("ds64", Ds64(0)).Chunk("fmt ", Fields(pcm)).OpenData(kSamples).Build(),
       Open(Pcm16(44100, 80, 0))},
      {"RF64 with the data size in ds64",
       Rf64().Chunk("ds64", Ds64(8)).Chunk("fmt ", Fields(pcm)).OpenData(kSamples).Build(),
       Pcm16(44100, 80, 8)},
      {"fmt after the data", Riff().Chunk("data", kSamples).Chunk("fmt ", Fields(pcm)).Build(),
       Refused(WavProblem::kNoFormatChunk)},
      {"last odd chunk without its pad byte",
       Riff().Chunk("fmt ", Fields(pcm)).Text("JUNK").U32(3).Raw({1, 2, 3}).Build(),
       Refused(WavProblem::kNoDataChunk)},
      {"a chunk past the end",
       Riff().Chunk("fmt ", Fields(pcm)).Text("LIST").U32(100).Raw(Bytes(20, 'x')).Build(),
       Refused(WavProblem::kCutShort)},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    std::size_t next = 0;  // what the reader has taken
    const WavHeader header = ParseWavStream([&](std::span<std::uint8_t> buffer) {
      const std::size_t count = std::min(buffer.size(), row.stream.size() - next);
      std::copy_n(row.stream.begin() + static_cast<std::ptrdiff_t>(next), count, buffer.begin());
      next += count;
      return count;
    });
    EXPECT_EQ(header, row.expected);
    // The next byte of the stream is the first sample's.
    if (const auto* layout = std::get_if<WavLayout>(&header)) {
      EXPECT_EQ(next, layout->data_offset);
    }
  }
}

TEST(ReadWavStream, StartsWhereTheInputIsAndLeavesItAtTheFirstSample) {
  plivex::test::ScopedTempDir dir;
  const Bytes samples = plivex::test::PatternBytes(64, 8);
  Bytes file = Bytes(100, 'P');  // what came before, already read
  const Bytes wav =
      Riff().Chunk("LIST", Bytes(5000, 'L')).Chunk("fmt ", Fields({})).Chunk("data", samples).Build();
  file.insert(file.end(), wav.begin(), wav.end());
  plivex::test::WriteBytes(dir.File("in.wav"), file);
  auto input = platform::OpenInput(dir.File("in.wav"));
  Bytes before(100);
  ASSERT_EQ(input.Read(before), 100u);

  EXPECT_EQ(ReadWavStream(input), (WavHeader{Pcm16(44100, 5052, 64)}));
  Bytes next(16);
  next.resize(input.Read(next));
  EXPECT_EQ(next, Take(samples, 16));
  EXPECT_TRUE(input.Close());
}

}  // namespace
}  // namespace plivex
