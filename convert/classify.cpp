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
// - Roughness: how far each word lies from what the words before it
//   predict, in any layout: the least mean of |x[i] - x[i-1]|, the
//   curvature |x[i] - 2x[i-1] + x[i-2]|, |x[i] - x[i-2]|, the curvature two
//   words on, and |(x[i] - x[i-1]) - (x[i-2] - x[i-3])|, over the mean
//   distance of the words from their mean; summed away from the grid (the
//   first 4 words of each grid cell, where a run may begin, are left out).
//   Music is near 0.005 to 0.2, random data near 1.3.
// - The byte order. Music runs on smoothly in its own byte order and not
//   in the other: where one order's roughness is at most 0.35 times the
//   other's, that order is the samples'. (Other data never came under 0.5:
//   programs, with their tables of small numbers, come closest.)
//   Noise-like sounds (hiss, explosions) are rough in both orders, but
//   they are still 16-bit samples, with one byte that varies far less than
//   the other: the high byte. Then the order whose high byte, as a signed
//   number, strays less from 0 on average is the samples', if it strays less
//   than half as far as the other's and its roughness is at most 1.05 times
//   the other's. Anything else is other: random and compressed data, ADPCM,
//   text and programs spread their two bytes alike, or are as rough in both
//   orders. Big-endian samples are big-endian, whatever their layout.
// - Like channels. Music whose two channels are the same, or nearly (a
//   mono sound in a stereo file, after lossy coding), gives its layout away
//   whatever it sounds like, noise included: the words one run apart, the
//   left and the right sample of the same moment under the right layout,
//   are far closer than neighbouring words of one channel. For every
//   layout, over the pairs of words a run apart whose first lies in the
//   first half of a block (or the two words of each frame): the sum of
//   their distances against the sum of the steps to the first word from the
//   nearer of the two before it. Below 0.25 the layout with the least is
//   the file's. Under a wrong layout the pairs lie a run apart in time, or
//   step from one channel to the other: their distances are at least as
//   large as the steps.
// - Frames. Read sample by sample, a channel runs on two words on, not
//   one: frames when |x[i] - x[i-2]| or the curvature two words on is below
//   0.95 times both |x[i] - x[i-1]| and the curvature one word on (other
//   layouts never are: a sound two samples on is at best as close as one
//   sample on).
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
// distances of 0 for identical channels), narrowest for noise-like sounds.
#include "convert/classify.h"

#include <algorithm>
#include <array>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <utility>
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
// Thresholds; see the top of the file.
constexpr std::uint32_t kQuietest = 32;
constexpr double kNoiseSpreadRatio = 2.0;
constexpr double kMostRoughnessRatio = 0.35;
constexpr double kNoiseRoughnessRatio = 1.05;
constexpr double kMostPairRatio = 0.25;
constexpr std::uint64_t kLeastPairs = 64;
constexpr double kMostFramesRatio = 0.95;
constexpr double kLeastMargin = 1.3;
constexpr std::uint32_t kLeastJump = 8;
constexpr std::uint64_t kLeastPoints = 3;

// Words read from one stretch of the file.
struct Segment {
  std::uint64_t first;  // position in the file, in words; a multiple of kGrid
  std::size_t begin;    // index of its first word in the sample
  std::size_t words;
};

// Memory for what is read, and for its words in both byte orders (3 MiB),
// kept by each thread that classifies for its next file: taken anew for
// every file, its pages cost more to map than the reads themselves. Never
// zeroed, which would cost as much again.
struct Scratch {
  std::unique_ptr<std::uint8_t[]> bytes =
      std::make_unique_for_overwrite<std::uint8_t[]>(kMostClassifiedBytes);
  std::unique_ptr<std::int16_t[]> little =
      std::make_unique_for_overwrite<std::int16_t[]>(kMostClassifiedBytes / 2);
  std::unique_ptr<std::int16_t[]> big =
      std::make_unique_for_overwrite<std::int16_t[]>(kMostClassifiedBytes / 2);
};

struct Sample {
  std::uint8_t* bytes;  // what was read, words whole
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
Sample ReadSample(std::uint64_t file_size, const ClassifyReadAt& read_at, Scratch& scratch) {
  Sample sample;
  const auto windows = Windows(file_size);
  std::uint64_t total = 0;
  for (const auto& [begin, end] : windows) total += end - begin;
  static_assert(kWindows * (kWindowBody + 2 * kWindowMargin) <= kMostClassifiedBytes);
  sample.bytes = scratch.bytes.get();  // total <= kMostClassifiedBytes
  std::size_t filled = 0;
  for (const auto& [begin, end] : windows) {
    const std::size_t want = static_cast<std::size_t>(end - begin);
    std::size_t got = 0;
    while (got < want) {
      const std::size_t count = read_at(begin + got, {sample.bytes + filled + got, want - got});
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
  const std::uint8_t* bytes = sample.bytes;
  if (sample.segments.empty() || sample.segments[0].first != 0 || sample.size < 12) return false;
  const auto has = [&](std::size_t at, const char* tag) { return std::equal(tag, tag + 4, bytes + at); };
  return (has(0, "RIFF") || has(0, "RF64") || has(0, "BW64")) && has(8, "WAVE");
}

std::uint32_t Distance(std::int32_t a, std::int32_t b) {
  return static_cast<std::uint32_t>(a > b ? a - b : b - a);
}

// The words of the sample, little-endian and big-endian, into the scratch
// memory: decoded once, so that the loops over them are plain loops over
// numbers, which the compiler vectorises.
void Words(const Sample& sample, Scratch& scratch) {
  for (std::size_t i = 0; i < sample.words; ++i) {
    const std::uint32_t first = sample.bytes[2 * i], second = sample.bytes[2 * i + 1];
    scratch.little[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(first | second << 8));
    scratch.big[i] = static_cast<std::int16_t>(static_cast<std::uint16_t>(second | first << 8));
  }
}

// How the words of one byte order run on, summed away from the grid (the
// first 4 words of each grid cell, where a run may begin, are left out),
// and how they behave at the grid points.
struct Reading {
  std::uint64_t count = 0;       // words summed
  std::uint64_t spread = 0;      // |x - mean|
  std::uint64_t high = 0;        // |high byte|, as a signed byte
  std::uint64_t step = 0;        // |x[i] - x[i-1]|
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
    const std::uint64_t least = std::min({step, curve, pair_step, pair_curve, joint});
    return (static_cast<double>(least) + 1.0) / (static_cast<double>(spread) + 1.0);
  }
  double High() const {
    return static_cast<double>(high) / static_cast<double>(std::max<std::uint64_t>(count, 1));
  }
};

// The sums of a Reading over one segment of `count` words `x`, away from
// the grid: from its fifth word on, less the first 4 words of each grid
// cell (the segment starts on the grid). One long loop that the compiler
// vectorises, all sums at once, then the few words to leave out taken off
// again.
struct Sums {
  std::uint32_t spread = 0, high = 0, step = 0, curve = 0, pair_step = 0, pair_curve = 0, joint = 0;

  void Add(const std::int16_t* x, std::size_t i, std::int32_t mean) {
    const std::int32_t v = x[i], a = x[i - 1], b = x[i - 2], c = x[i - 3], d = x[i - 4];
    spread += Distance(v, mean);
    high += Distance(v >> 8, 0);
    step += Distance(v, a);
    curve += Distance(v, 2 * a - b);
    pair_step += Distance(v, b);
    pair_curve += Distance(v, 2 * b - d);
    joint += Distance(v - b, a - c);
  }
};

void AddOffGrid(const std::int16_t* x, std::size_t count, std::int32_t mean, Reading& r) {
  const auto take = [&r](const Sums& sums, bool off) {
    const auto move = [off](std::uint64_t& total, std::uint32_t part) {
      total = off ? total - part : total + part;
    };
    move(r.spread, sums.spread);
    move(r.high, sums.high);
    move(r.step, sums.step);
    move(r.curve, sums.curve);
    move(r.pair_step, sums.pair_step);
    move(r.pair_curve, sums.pair_curve);
    move(r.joint, sums.joint);
  };
  // 32-bit sums of 2^14 terms (each below 2^18) cannot overflow.
  constexpr std::size_t kStretch = 1 << 14;
  for (std::size_t from = 4; from < count; from += kStretch) {
    Sums sums;
    const std::size_t to = std::min(count, from + kStretch);
    for (std::size_t i = from; i < to; ++i) sums.Add(x, i, mean);
    take(sums, false);
    r.count += to - from;
  }
  Sums left_out;
  for (std::size_t cell = kGrid; cell < count; cell += kGrid) {
    const std::size_t end = std::min(count, cell + 4);
    for (std::size_t i = cell; i < end; ++i) left_out.Add(x, i, mean);
    r.count -= end - cell;
  }
  take(left_out, true);
}

// The sample's words in one byte order, and with `with_points` their grid
// points.
Reading Read(const Sample& sample, const std::int16_t* words, bool with_points) {
  Reading r;
  std::int64_t sum = 0;
  for (std::size_t i = 0; i < sample.words; ++i) {
    sum += words[i];
    r.peak = std::max(r.peak, Distance(words[i], 0));
  }
  const std::int32_t mean =
      static_cast<std::int32_t>(sum / static_cast<std::int64_t>(std::max<std::uint64_t>(sample.words, 1)));
  for (const auto& s : sample.segments) AddOffGrid(words + s.begin, s.words, mean, r);
  if (!with_points) return r;
  r.points.reserve(sample.words / kGrid);
  for (const auto& s : sample.segments) {
    for (std::size_t cell = 0; cell < s.words; cell += kGrid) {
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
        const std::int32_t before = words[at - back];
        point.jump[h] = Distance(words[at], before);
        point.curve[h] = Distance(words[at], 2 * before - words[at - back - 1]);
      }
      r.points.push_back(point);
    }
  }
  return r;
}

// Whether the words are 16-bit samples, and in which byte order.
enum class Order { kNone, kLittle, kBig };

Order SampleOrder(const Reading& little, const Reading& big) {
  const double smoothness = little.Roughness() / big.Roughness();
  if (smoothness <= kMostRoughnessRatio) return Order::kLittle;
  if (1 / smoothness <= kMostRoughnessRatio) return Order::kBig;
  // Noise-like: by the bytes.
  const bool is_little = little.High() <= big.High();
  const Reading& own = is_little ? little : big;
  const Reading& other = is_little ? big : little;
  if ((other.High() + 1.0) / (own.High() + 1.0) < kNoiseSpreadRatio) return Order::kNone;
  if (own.Roughness() > kNoiseRoughnessRatio * other.Roughness()) return Order::kNone;
  return is_little ? Order::kLittle : Order::kBig;
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

// For the words of one grid cell from its third on, every kStride-th, and
// the words `run` after them: the sum of their distances, and the sum of
// the steps to each from the nearer of the two words before it.
template <std::size_t kStride>
std::pair<std::uint32_t, std::uint32_t> CellPairs(const std::int16_t* cell, std::size_t run) {
  std::uint32_t apart = 0, step = 0;
  for (std::size_t k = 2; k < kGrid; k += kStride) {
    const std::int32_t a = cell[k];
    apart += Distance(a, cell[k + run]);
    step += std::min(Distance(a, cell[k - 1]), Distance(a, cell[k - 2]));
  }
  return {apart, step};
}

// The verdict on little-endian samples, by their layout.
Verdict Layout(const Sample& sample, const std::int16_t* x, const Reading& r) {
  // Nearly identical channels: pairs of words a run apart, the first in the
  // first half of a block (level kLevels stands for frames, one word
  // apart), against the step from the nearer of the two words before the
  // first (one of which is its own channel's). Like channels show in any part of
  // the sample: every fourth grid cell is enough, less its first two words,
  // whose words before may lie across a boundary of another layout.
  int identical = -1;
  double closest = kMostPairRatio;
  for (int h = 0; h <= kLevels; ++h) {
    const std::size_t run = h == kLevels ? 1 : kGrid << h;
    std::uint64_t pairs = 0, apart = 0, step = 0;
    for (const auto& s : sample.segments) {
      for (std::size_t cell = 0; cell + kGrid + run <= s.words; cell += 4 * kGrid) {
        if (h < kLevels && (s.first + cell) / run % 2 != 0) continue;  // a second half
        const std::int16_t* cell_words = x + s.begin + cell;
        const auto [cell_apart, cell_step] =
            h == kLevels ? CellPairs<2>(cell_words, run) : CellPairs<1>(cell_words, run);
        const std::uint32_t cell_pairs = h == kLevels ? (kGrid - 2) / 2 : kGrid - 2;
        pairs += cell_pairs;
        apart += cell_apart;
        step += cell_step;
      }
    }
    const double ratio = (static_cast<double>(apart) + 1.0) / (static_cast<double>(step) + 1.0);
    if (pairs >= kLeastPairs && ratio < closest) {
      closest = ratio;
      identical = h;
    }
  }
  int layout;
  if (identical >= 0) {
    layout = identical == kLevels ? kFrames : identical;
  } else {
    const double runs = static_cast<double>(std::min(r.step, r.curve)) + 1.0;
    const double frames = static_cast<double>(std::min(r.pair_step, r.pair_curve)) + 1.0;
    if (frames < kMostFramesRatio * runs) {
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
  thread_local Scratch scratch;
  const Sample sample = ReadSample(file_size, read_at, scratch);
  if (IsWave(sample)) return {VerdictKind::kWav};
  if (file_size < kShortest || 2 * sample.words < kShortest) return {VerdictKind::kShort};
  Words(sample, scratch);
  const std::int16_t* words = scratch.little.get();
  const Reading as_little = Read(sample, words, true);
  if (as_little.peak <= kQuietest) return {VerdictKind::kSilence};
  const Reading as_big = Read(sample, scratch.big.get(), false);
  const Order order = SampleOrder(as_little, as_big);
  if (order == Order::kNone) return {VerdictKind::kOther};
  if (order == Order::kBig) return {VerdictKind::kBigEndian};
  return Layout(sample, words, as_little);
}

}  // namespace plivex
