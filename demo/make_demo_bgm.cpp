// Writes a few seconds of block-interleaved stereo for the demo: a low tone
// on the left that fades in, a higher tone on the right that fades out, so a
// listener hears at once whether the two channels came out separate.
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <numbers>
#include <vector>

namespace {

constexpr int kSampleRate = 48000;
constexpr int kSeconds = 4;
constexpr int kSamplesPerHalf = 256;  // one channel half of a 1024-byte block

std::int16_t Tone(double frequency, double gain, int n) {
  const double t = static_cast<double>(n) / kSampleRate;
  return static_cast<std::int16_t>(
      std::lround(12000.0 * gain * std::sin(2 * std::numbers::pi * frequency * t)));
}

void PutSample(std::vector<unsigned char>& out, std::int16_t sample) {
  const auto bits = static_cast<std::uint16_t>(sample);
  out.push_back(static_cast<unsigned char>(bits & 0xFF));
  out.push_back(static_cast<unsigned char>(bits >> 8));
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 2) {
    std::fprintf(stderr, "usage: make_demo_bgm OUTPUT\n");
    return 2;
  }
  constexpr int total = kSampleRate * kSeconds;
  std::vector<unsigned char> bytes;
  for (int block = 0; block * kSamplesPerHalf < total; ++block) {
    const int first = block * kSamplesPerHalf;
    for (int j = 0; j < kSamplesPerHalf; ++j) {
      const int n = first + j;
      PutSample(bytes, Tone(330.0, static_cast<double>(n) / total, n));
    }
    for (int j = 0; j < kSamplesPerHalf; ++j) {
      const int n = first + j;
      PutSample(bytes, Tone(880.0, 1.0 - static_cast<double>(n) / total, n));
    }
  }
  std::FILE* file = std::fopen(argv[1], "wb");
  if (file == nullptr) {
    std::perror(argv[1]);
    return 1;
  }
  const bool written = std::fwrite(bytes.data(), 1, bytes.size(), file) == bytes.size();
  if (std::fclose(file) != 0 || !written) {
    std::perror(argv[1]);
    return 1;
  }
  return 0;
}
