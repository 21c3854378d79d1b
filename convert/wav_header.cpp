#include "convert/wav_header.h"

#include <string_view>

#include "convert/wav_format.h"

namespace plivex {

namespace {

// Appends fields little-endian, one byte at a time, whatever the host's order.
class HeaderWriter {
 public:
  explicit HeaderWriter(std::array<std::uint8_t, kWavHeaderSize>& bytes) : bytes_(bytes) {}

  void Tag(std::string_view four_chars) {
    for (char c : four_chars) bytes_[pos_++] = static_cast<std::uint8_t>(c);
  }
  void U16(std::uint32_t value) { Little(value, 2); }
  void U32(std::uint32_t value) { Little(value, 4); }

 private:
  void Little(std::uint32_t value, int bytes) {
    for (int i = 0; i < bytes; ++i) bytes_[pos_++] = static_cast<std::uint8_t>(value >> (8 * i));
  }

  std::array<std::uint8_t, kWavHeaderSize>& bytes_;
  std::size_t pos_ = 0;
};

}  // namespace

std::array<std::uint8_t, kWavHeaderSize> MakeWavHeader(std::int32_t sample_rate,
                                                       platform::ByteCount input_length) {
  const auto rate = static_cast<std::uint32_t>(sample_rate);
  const auto length = static_cast<std::uint32_t>(input_length);

  std::array<std::uint8_t, kWavHeaderSize> bytes{};
  HeaderWriter header(bytes);
  header.Tag("RIFF");
  header.U32(length + 36);  // +36 = "WAVE" + the whole "fmt " chunk + the "data" chunk header
  header.Tag("WAVE");
  header.Tag("fmt ");
  header.U32(kWavPcmFormatSize);
  header.U16(kWavFormatPcm);
  header.U16(kWavChannels);
  header.U32(rate);
  header.U32(rate * kWavBlockAlign);  // bytes per second
  header.U16(kWavBlockAlign);
  header.U16(kWavBitsPerSample);
  header.Tag("data");
  header.U32(length);
  return bytes;
}

void WriteWavHeader(platform::File& output, std::int32_t sample_rate, platform::ByteCount input_length) {
  output.Write(MakeWavHeader(sample_rate, input_length));
}

}  // namespace plivex
