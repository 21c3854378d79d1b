#include "convert/wav_header.h"

#include <string_view>

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

constexpr std::uint32_t kChannels = 2;
constexpr std::uint32_t kBitsPerSample = 16;
constexpr std::uint32_t kBlockAlign = kChannels * kBitsPerSample / 8;  // one frame

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
  header.U32(16);  // size of the PCM format fields that follow
  header.U16(1);   // PCM
  header.U16(kChannels);
  header.U32(rate);
  header.U32(rate * kBlockAlign);  // bytes per second
  header.U16(kBlockAlign);
  header.U16(kBitsPerSample);
  header.Tag("data");
  header.U32(length);
  return bytes;
}

void WriteWavHeader(platform::File& output, std::int32_t sample_rate, platform::ByteCount input_length) {
  output.Write(MakeWavHeader(sample_rate, input_length));
}

}  // namespace plivex
