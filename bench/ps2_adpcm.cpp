// A small PS2 ADPCM encoder, for the classifier's corpus
// (bench/identify_corpus.py): such files are everywhere on PS2 discs, next
// to the PCM music, and must never be taken for it.
//
//   plivex_ps2_adpcm < samples.s16 > samples.adpcm
//
// Reads 16-bit little-endian mono samples from standard input and writes
// 16-byte frames to standard output, each 28 samples: a byte of filter (high
// four bits) and shift (low four bits), a flag byte (1 on the last frame, 0
// elsewhere), then 14 bytes of four-bit signed steps, the first sample in
// the low four bits. A sample decodes as step * 2^(12 - shift) plus the
// filter's prediction from the two decoded samples before it. The encoder
// picks, per frame, the filter whose prediction from the input leaves the
// smallest largest residual, and the finest shift that holds it.
#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <vector>

namespace {

constexpr int kFrameSamples = 28;
// The filters' weights of the previous and the one before, in 64ths.
constexpr std::array<int, 5> kWeight1 = {0, 60, 115, 98, 122};
constexpr std::array<int, 5> kWeight2 = {0, 0, -52, -55, -60};

int Clamp16(int value) { return std::clamp(value, -32768, 32767); }

}  // namespace

int main() {
  std::vector<std::int16_t> samples;
  std::array<std::uint8_t, 1 << 16> chunk;
  std::size_t carry = 0;  // a byte of a sample split between two reads
  std::uint8_t low = 0;
  for (std::size_t got; (got = std::fread(chunk.data(), 1, chunk.size(), stdin)) > 0;) {
    for (std::size_t i = 0; i < got; ++i) {
      if (carry == 0) {
        low = chunk[i];
        carry = 1;
      } else {
        samples.push_back(static_cast<std::int16_t>(static_cast<std::uint16_t>(low | chunk[i] << 8)));
        carry = 0;
      }
    }
  }
  samples.resize((samples.size() + kFrameSamples - 1) / kFrameSamples * kFrameSamples, 0);
  int decoded1 = 0, decoded2 = 0;
  std::vector<std::uint8_t> out;
  out.reserve(samples.size() / kFrameSamples * 16);
  for (std::size_t start = 0; start < samples.size(); start += kFrameSamples) {
    const std::int16_t* x = &samples[start];
    // The filter whose prediction from the input itself leaves the smallest
    // largest residual.
    int filter = 0, widest = 1 << 30;
    for (int f = 0; f < 5; ++f) {
      int before1 = start == 0 ? 0 : samples[start - 1], before2 = start < 2 ? 0 : samples[start - 2];
      int most = 0;
      for (int i = 0; i < kFrameSamples; ++i) {
        const int predicted = (before1 * kWeight1[f] + before2 * kWeight2[f]) / 64;
        most = std::max(most, std::abs(x[i] - predicted));
        before2 = before1;
        before1 = x[i];
      }
      if (most < widest) {
        widest = most;
        filter = f;
      }
    }
    // The finest step (2^(12 - shift)) whose seven steps reach the widest
    // residual.
    int shift = 12;
    while (shift > 0 && 7 << (12 - shift) < widest) --shift;
    out.push_back(static_cast<std::uint8_t>(filter << 4 | shift));
    out.push_back(start + kFrameSamples >= samples.size() ? 1 : 0);
    std::array<int, kFrameSamples> steps{};
    for (int i = 0; i < kFrameSamples; ++i) {
      const int predicted = (decoded1 * kWeight1[filter] + decoded2 * kWeight2[filter]) / 64;
      const int unit = 1 << (12 - shift);
      const int residual = x[i] - predicted;
      const int step = std::clamp((residual + (residual < 0 ? -unit / 2 : unit / 2)) / unit, -8, 7);
      steps[i] = step;
      decoded2 = decoded1;
      decoded1 = Clamp16(predicted + step * unit);
    }
    for (int i = 0; i < kFrameSamples; i += 2) {
      out.push_back(static_cast<std::uint8_t>((steps[i] & 0xF) | (steps[i + 1] & 0xF) << 4));
    }
  }
  return std::fwrite(out.data(), 1, out.size(), stdout) == out.size() && std::fflush(stdout) == 0 ? 0 : 1;
}
