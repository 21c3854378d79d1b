// How Classify decides.
//
// What is read. A file of up to 1 MiB is read whole. From a larger one, 15
// windows spread evenly from its start to its end, each 64 KiB (one
// channel's run of the longest interleave, 0x10000) and 256 bytes more on
// either side, 990720 bytes in all. Every window starts on a multiple of
// 128 bytes, so the words of each window sit on the same grid as the
// file's: positions below are counted in 16-bit words from the start of
// the file, and every block layout starts a channel's run at a multiple of
// its run length, so at a multiple of 64 words (the runs of interleave
// 0x80) for all of them. Each window holds the boundaries of every layout
// up to 0x10000 together with the samples before them in the same channel.
//
// What is scored, in this order (the first that applies is the verdict):
// - A "RIFF", "RF64" or "BW64" header with "WAVE": wav. Under 16 KiB, or
//   fewer bytes than that could be read: short.
// - Every word, read little-endian, within +-32 (-60 dBFS, below the dither
//   of a quiet recording): silence.
// - The byte order. 16-bit samples have one byte that varies far less than
//   the other (the high byte); data that is not samples has none. Of the two
//   orders, the samples' is the one whose high byte (as a signed number)
//   strays less from 0 on average. Its spread must be well under the
//   other's (the other order's over 1.3 times), and music in its own order
//   runs on smoothly where the other order is rough: the roughness (below)
//   at most 0.35 times the other order's, or, for noise-like sounds whose
//   roughness tells nothing (hiss, explosions), a spread under half the
//   other's and a roughness at most 1.05 times the other's. Anything else is
//   other: random and compressed data, ADPCM, text and programs spread
//   their two bytes alike, or are as rough in both orders. Big-endian
//   samples are big-endian, whatever their layout.
// - Identical channels. Where 90% of the pairs of words one run apart (in
//   the first and second half of each block of a layout, or the two words
//   of each frame) are equal, leaving out pairs of zeros, the file is that
//   layout: music whose channels are the same gives it away exactly, noise
//   or not.
// - Frames. Roughness is the mean of |x[i] - x[i-1]| and of the curvature
//   |x[i] - 2x[i-1] + x[i-2]| (the smaller), over the mean distance of the
//   samples from their mean, away from the grid. Read sample by sample, a
//   channel also runs on two words on: |x[i] - x[i-2]|, the curvature at
//   that step, and x[i] - x[i-2] against x[i-1] - x[i-3] (both channels
//   move together). Frames when one of those is below 0.95 times the
//   roughness (other data never is: a signal two samples on is at best as
//   close as one sample on), or when the odd words differ from the word
//   before them less than half as much as the even ones (nearly identical
//   channels).
// - The block layout. At every grid point g a channel's run either goes on
//   (the word before, g - 1, is the same channel) or, for a layout whose
//   runs of S words end at g, the same channel's word before g is the last
//   of its previous run, g - S - 1. Each layout (runs of 64 to 32768 words,
//   and one channel, which has no boundaries) is scored by the jump it sees
//   at every grid point: |x[g] - x[predecessor]|, and apart from it the
//   curvature from the predecessor and the word before that. The right
//   layout sees music run on at every grid point; a wrong one jumps, at its
//   boundaries that are none, or at the real boundaries it misses. The
//   layout with the least sum wins, if every rival costs at least 1.3 times
//   as much where the two differ (as jumps or as curvatures, whichever
//   tells them apart more clearly); a rival that differs in fewer than 3
//   points where either sees a jump of 8 or more is not told apart and is
//   left out. Ties go to one channel, then to longer runs: a layout whose
//   boundaries the sample does not reach is one channel there. Without a
//   clear winner the samples show no block structure: mono.
//
// The thresholds were set on a corpus of game music and sounds laid out
// every way (bench/identify_corpus.py) and checked on other music kept
// apart from it: the margins between music and the rest are wide at most
// of them (roughness ratios of 0.02 to 0.2 against 1.0 for other data,
// exact equality for identical channels), narrowest for noise-like sounds.
#include "convert/classify.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <memory>
#include <vector>

namespace plivex {

namespace {

// Under this many bytes a file is too short to judge (or the bytes read
// from it).
constexpr std::uint64_t kShortest = 16 * 1024;

// Block layouts by their level h: runs of kGrid << h words, that is 0x80 <<
// h bytes of each channel per block, 0x80 to 0x10000. kBgmLevel is 0x200.
constexpr std::size_t kGrid = 64;
constexpr int kLevels = 10;
constexpr int kBgmLevel = 2;
constexpr std::size_t kLongestRun = kGrid << (kLevels - 1);  // words
// The hypotheses of the grid: a level, or kMono (no boundaries).
constexpr int kMono = kLevels;
constexpr int kHypotheses = kLevels + 1;
// Not a grid hypothesis: left and right sample by sample.
constexpr int kFrames = -1;

// The windows of a file larger than kMostClassifiedBytes: each a run of the
// longest layout, a multiple of the grid before and after it.
constexpr std::size_t kWindows = 15;
constexpr std::uint64_t kWindowBody = 2 * kLongestRun;  // bytes
constexpr std::uint64_t kWindowMargin = 256;            // bytes, a multiple of the grid's 128
static_assert(kWindows * (kWindowBody + 2 * kWindowMargin) <= kMostClassifiedBytes);

// Thresholds; see the top of the file.
constexpr std::uint32_t kQuietest = 32;
constexpr double kLeastSpreadRatio = 1.3;
constexpr double kNoiseSpreadRatio = 2.0;
constexpr double kMostRoughnessRatio = 0.35;
constexpr double kNoiseRoughnessRatio = 1.05;
constexpr double kLeastEqualShare = 0.9;
constexpr std::uint64_t kLeastPairs = 64;
constexpr double kMostFramesRatio = 0.95;
constexpr double kMostParityRatio = 0.5;
constexpr double kLeastMargin = 1.3;
constexpr std::uint32_t kLeastJump = 8;
constexpr std::uint64_t kLeastPoints = 3;

// Words read from one stretch of the file.
struct Segment {
  std::uint64_t first;  // position in the file, in words; a multiple of kGrid
  std::size_t begin;    // index of its first word in the sample
  std::size_t words;
};

struct Sample {
  // What was read, words whole; not zeroed first, which would cost as
  // much as the reads.
  std::unique_ptr<std::uint8_t[]> bytes;
  std::size_t size = 0;
  std::vector<Segment> segments;
  std::uint64_t words = 0;
};

// The stretches to read, in order, none overlapping.
std::vector<std::pair<std::uint64_t, std::uint64_t>> Windows(std::uint64_t file_size) {
  if (file_size <= kMostClassifiedBytes) return {{0, file_size}};
  std::vector<std::pair<std::uint64_t, std::uint64_t>> windows;
  const std::uint64_t bodies = file_size / kWindowBody;  // 16 or more
  for (std::size_t j = 0; j < kWindows; ++j) {
    const std::uint64_t body = (bodies - 1) * j / (kWindows - 1) * kWindowBody;
    std::uint64_t begin = body < kWindowMargin ? 0 : body - kWindowMargin;
    const std::uint64_t end = std::min(file_size, body + kWindowBody + kWindowMargin);
    if (!windows.empty()) {
      auto& [last_begin, last_end] = windows.back();
      if (begin <= last_end) {  // adjacent or overlapping: one stretch
        last_end = end;
        continue;
      }
    }
    windows.push_back({begin, end});
  }
  return windows;
}

// Reads the windows, each until it is full or the file ends; after an end
// nothing more is read. An odd byte at the end is not a word.
Sample ReadSample(std::uint64_t file_size, const ClassifyReadAt& read_at) {
  Sample sample;
  const auto windows = Windows(file_size);
  std::uint64_t total = 0;
  for (const auto& [begin, end] : windows) total += end - begin;
  sample.bytes = std::make_unique_for_overwrite<std::uint8_t[]>(static_cast<std::size_t>(total));
  std::size_t filled = 0;
  for (const auto& [begin, end] : windows) {
    const std::size_t want = static_cast<std::size_t>(end - begin);
    std::size_t got = 0;
    while (got < want) {
      const std::size_t count = read_at(begin + got, {sample.bytes.get() + filled + got, want - got});
      if (count == 0) break;
      got += std::min(count, want - got);
    }
    const std::size_t words = got / 2;
    if (words > 0) sample.segments.push_back({begin / 2, filled / 2, words});
    sample.words += words;
    filled += 2 * words;
    if (got < want) break;
  }
  sample.size = filled;
  return sample;
}

bool IsWave(const Sample& sample) {
  const std::uint8_t* bytes = sample.bytes.get();
  if (sample.segments.empty() || sample.segments[0].first != 0 || sample.size < 12) return false;
  const auto has = [&](std::size_t at, const char* tag) { return std::equal(tag, tag + 4, bytes + at); };
  return (has(0, "RIFF") || has(0, "RF64") || has(0, "BW64")) && has(8, "WAVE");
}

std::uint32_t Distance(std::int32_t a, std::int32_t b) { return static_cast<std::uint32_t>(a > b ? a - b : b - a); }

// Word `i` of the sample, little-endian or big-endian.
template <bool kBig>
std::int32_t Word(const std::uint8_t* bytes, std::size_t i) {
  const std::uint32_t first = bytes[2 * i], second = bytes[2 * i + 1];
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(kBig ? second | first << 8 : first | second << 8));
}

// How the words of one byte order run on, summed away from the grid (the
// first 4 words of each grid cell, where a run may begin, are left out),
// and how they behave at the grid points.
struct Reading {
  std::uint64_t count = 0;       // words summed
  std::uint64_t spread = 0;      // |x - mean|
  std::uint64_t high = 0;        // |high byte|, as a signed byte
  std::uint64_t step_even = 0;   // |x[i] - x[i-1]|, i even
  std::uint64_t step_odd = 0;    // the same, i odd
  std::uint64_t curve = 0;       // |x[i] - 2x[i-1] + x[i-2]|
  std::uint64_t pair_step = 0;   // |x[i] - x[i-2]|
  std::uint64_t pair_curve = 0;  // |x[i] - 2x[i-2] + x[i-4]|
  std::uint64_t joint = 0;       // |(x[i] - x[i-2]) - (x[i-1] - x[i-3])|
  std::uint32_t peak = 0;        // the largest |x| of all words

  // Per grid point whose predecessors for every layout that ends a run
  // there are in the sample: its level (the longest run ending there),
  // and each hypothesis's jump and curvature there.
  struct Point {
    int level;
    std::array<std::uint32_t, kHypotheses> jump;
    std::array<std::uint32_t, kHypotheses> curve;
  };
  std::vector<Point> points;

  double Roughness() const {
    const std::uint64_t least = std::min({step_even + step_odd, curve, pair_step, pair_curve, joint});
    return (static_cast<double>(least) + 1.0) / (static_cast<double>(spread) + 1.0);
  }
  double High() const { return static_cast<double>(high) / static_cast<double>(std::max<std::uint64_t>(count, 1)); }
};

// With `with_points` the whole sample, and its grid points; without, every
// fourth cell only, enough to tell one byte order from the other.
template <bool kBig>
Reading Read(const Sample& sample, bool with_points) {
  const std::uint8_t* bytes = sample.bytes.get();
  Reading r;
  std::int64_t sum = 0;
  for (std::size_t i = 0; i < sample.words; ++i) {
    const std::int32_t v = Word<kBig>(bytes, i);
    sum += v;
    r.peak = std::max(r.peak, Distance(v, 0));
  }
  const std::int32_t mean = static_cast<std::int32_t>(sum / static_cast<std::int64_t>(std::max<std::uint64_t>(sample.words, 1)));
  if (with_points) r.points.reserve(sample.words / kGrid);
  for (const auto& s : sample.segments) {
    // Cell by cell (the segment starts on the grid), in 32-bit sums: a
    // cell's fit easily.
    for (std::size_t cell = 0; cell < s.words; cell += with_points ? kGrid : 4 * kGrid) {
      const std::size_t n = std::min(kGrid, s.words - cell);
      std::array<std::int32_t, kGrid> x;
      for (std::size_t k = 0; k < n; ++k) x[k] = Word<kBig>(bytes, s.begin + cell + k);
      // One loop a sum, each of which the compiler vectorises.
      const auto sum = [&](std::size_t from, std::size_t stride, auto term) {
        std::uint32_t total = 0;
        for (std::size_t k = from; k < n; k += stride) total += term(k);
        return std::uint64_t{total};
      };
      r.count += n > 4 ? n - 4 : 0;
      r.spread += sum(4, 1, [&](std::size_t k) { return Distance(x[k], mean); });
      r.high += sum(4, 1, [&](std::size_t k) { return Distance(x[k] >> 8, 0); });
      const std::uint64_t step = sum(4, 1, [&](std::size_t k) { return Distance(x[k], x[k - 1]); });
      const std::uint64_t step_odd = sum(5, 2, [&](std::size_t k) { return Distance(x[k], x[k - 1]); });
      r.step_odd += step_odd;
      r.step_even += step - step_odd;
      r.curve += sum(4, 1, [&](std::size_t k) { return Distance(x[k], 2 * x[k - 1] - x[k - 2]); });
      r.pair_step += sum(4, 1, [&](std::size_t k) { return Distance(x[k], x[k - 2]); });
      r.pair_curve += sum(4, 1, [&](std::size_t k) { return Distance(x[k], 2 * x[k - 2] - x[k - 4]); });
      r.joint += sum(4, 1, [&](std::size_t k) { return Distance(x[k] - x[k - 2], x[k - 1] - x[k - 3]); });
      if (!with_points) continue;
      // The grid point at the start of this cell.
      const std::uint64_t g = s.first + cell;
      int level = 0;
      while (level + 1 < kLevels && g % (kGrid << (level + 1)) == 0) ++level;
      if (cell < (kGrid << level) + 2) continue;  // its predecessors were not read
      const std::size_t at = s.begin + cell;
      Reading::Point point{level, {}, {}};
      for (int h = 0; h < kHypotheses; ++h) {
        // Where this hypothesis takes the same channel's word before g.
        const std::size_t back = h <= level ? (kGrid << h) + 1 : 1;
        const std::int32_t before = Word<kBig>(bytes, at - back);
        point.jump[h] = Distance(x[0], before);
        point.curve[h] = Distance(x[0], 2 * before - Word<kBig>(bytes, at - back - 1));
      }
      r.points.push_back(point);
    }
  }
  return r;
}

// The hypothesis of the grid with the least cost, if every rival it can be
// told apart from costs at least kLeastMargin times as much where the two
// differ (from `low`, the lower of their levels, up); else kMono.
int ClearWinner(const std::vector<Reading::Point>& points,
                std::array<std::uint32_t, kHypotheses> Reading::Point::*cost, double& margin) {
  std::array<std::uint64_t, kHypotheses> total{};
  for (const auto& point : points) {
    for (int h = 0; h < kHypotheses; ++h) total[h] += (point.*cost)[h];
  }
  int best = kMono;
  for (int h = kLevels - 1; h >= 0; --h) {
    if (total[h] < total[best]) best = h;
  }
  margin = 1e300;
  for (int rival = 0; rival < kHypotheses; ++rival) {
    if (rival == best) continue;
    const int low = std::min(rival, best);
    std::uint64_t mine = 0, theirs = 0, telling = 0;
    for (const auto& point : points) {
      if (point.level < low) continue;
      const std::uint32_t a = (point.*cost)[best], b = (point.*cost)[rival];
      mine += a;
      theirs += b;
      telling += a >= kLeastJump || b >= kLeastJump;
    }
    if (telling < kLeastPoints) continue;
    margin = std::min(margin, (static_cast<double>(theirs) + 1.0) / (static_cast<double>(mine) + 1.0));
  }
  return best;
}

// The verdict on little-endian samples, by their layout.
Verdict Layout(const Sample& sample, const Reading& r) {
  // Identical channels: pairs of words a run apart, the first in the first
  // half of a block (level kLevels stands for frames, one word apart).
  // Pairs of zeros are left out: silence is the same in both channels.
  const std::uint8_t* bytes = sample.bytes.get();
  int identical = -1;
  double most = 0;
  for (int h = 0; h <= kLevels; ++h) {
    std::uint64_t pairs = 0, equal = 0;
    const auto count = [&](std::size_t first, std::size_t end, std::size_t apart) {
      for (std::size_t i = first; i < end; ++i) {
        std::uint16_t a, b;
        std::memcpy(&a, bytes + 2 * i, 2);
        std::memcpy(&b, bytes + 2 * (i + apart), 2);
        pairs += (a | b) != 0;
        equal += a == b && a != 0;
      }
    };
    for (const auto& s : sample.segments) {
      if (h == kLevels) {
        // Frames: the two halves of every 4 bytes (segments start on the grid,
        // so on a frame).
        for (std::size_t i = s.begin; i + 1 < s.begin + s.words; i += 2) count(i, i + 1, 1);
        continue;
      }
      // Blocks of 2 * run words start at multiples of 2 * run in the file;
      // a pair counts where both its words were read.
      const std::uint64_t run = kGrid << h;
      const std::uint64_t last = s.first + s.words;  // past the segment
      for (std::uint64_t block = s.first / (2 * run) * (2 * run); block + run < last; block += 2 * run) {
        const std::uint64_t from = std::max(block, s.first);
        const std::uint64_t to = std::min(block + run, last - run);
        if (from < to) {
          count(static_cast<std::size_t>(s.begin + (from - s.first)), static_cast<std::size_t>(s.begin + (to - s.first)),
                static_cast<std::size_t>(run));
        }
      }
    }
    if (pairs >= kLeastPairs && static_cast<double>(equal) >= kLeastEqualShare * static_cast<double>(pairs) &&
        static_cast<double>(equal) / static_cast<double>(pairs) > most) {
      most = static_cast<double>(equal) / static_cast<double>(pairs);
      identical = h;
    }
  }
  int layout;
  if (identical >= 0) {
    layout = identical == kLevels ? kFrames : identical;
  } else {
    const double runs = static_cast<double>(std::min(r.step_even + r.step_odd, r.curve)) + 1.0;
    const double frames = static_cast<double>(std::min({r.pair_step, r.pair_curve, r.joint})) + 1.0;
    const double parity = (static_cast<double>(r.step_odd) + 1.0) / (static_cast<double>(r.step_even) + 1.0);
    if (frames < kMostFramesRatio * runs || parity < kMostParityRatio) {
      layout = kFrames;
    } else {
      double by_jump = 0, by_curve = 0;
      const int jump_winner = ClearWinner(r.points, &Reading::Point::jump, by_jump);
      const int curve_winner = ClearWinner(r.points, &Reading::Point::curve, by_curve);
      const int winner = by_jump >= by_curve ? jump_winner : curve_winner;
      layout = std::max(by_jump, by_curve) >= kLeastMargin ? winner : kMono;
    }
  }
  if (layout == kFrames) return {VerdictKind::kFrames};
  if (layout == kMono) return {VerdictKind::kMono};
  if (layout == kBgmLevel) return {VerdictKind::kBgm};
  return {VerdictKind::kInterleave, 0x80u << layout};
}

}  // namespace

std::string VerdictWord(const Verdict& verdict) {
  switch (verdict.kind) {
    case VerdictKind::kWav:
      return "wav";
    case VerdictKind::kShort:
      return "short";
    case VerdictKind::kSilence:
      return "silence";
    case VerdictKind::kBgm:
      return "bgm";
    case VerdictKind::kInterleave: {
      char word[32];
      std::snprintf(word, sizeof word, "interleave-0x%x", static_cast<unsigned>(verdict.interleave));
      return word;
    }
    case VerdictKind::kFrames:
      return "frames";
    case VerdictKind::kMono:
      return "mono";
    case VerdictKind::kBigEndian:
      return "big-endian";
    case VerdictKind::kOther:
      break;
  }
  return "other";
}

Verdict Classify(std::uint64_t file_size, const ClassifyReadAt& read_at) {
  const Sample sample = ReadSample(file_size, read_at);
  if (IsWave(sample)) return {VerdictKind::kWav};
  if (file_size < kShortest || 2 * sample.words < kShortest) return {VerdictKind::kShort};
  const Reading as_little = Read<false>(sample, true);
  if (as_little.peak <= kQuietest) return {VerdictKind::kSilence};
  const Reading as_big = Read<true>(sample, false);
  const bool is_little = as_little.High() <= as_big.High();
  const Reading& own = is_little ? as_little : as_big;
  const Reading& other = is_little ? as_big : as_little;
  const double spread_ratio = (other.High() + 1.0) / (own.High() + 1.0);
  const double roughness_ratio = own.Roughness() / other.Roughness();
  const bool samples = spread_ratio >= kLeastSpreadRatio &&
                       (roughness_ratio <= kMostRoughnessRatio ||
                        (spread_ratio >= kNoiseSpreadRatio && roughness_ratio <= kNoiseRoughnessRatio));
  if (!samples) return {VerdictKind::kOther};
  if (!is_little) return {VerdictKind::kBigEndian};
  return Layout(sample, as_little);
}

}  // namespace plivex
