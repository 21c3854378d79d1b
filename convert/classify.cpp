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
// A first look. Where the windows lie apart (from about 2 MB on), four of
// them are read first, the first, the fifth, the tenth and the last, and
// judged as below with wider margins: a sound in them, every ratio at
// least a factor 1.5 from its threshold, and a block layout that costs
// each rival, all told apart, at least twice as much. If they pass, they
// are the verdict; if not, the other eleven are read and the verdict is
// that of all 15. On the corpus nearly all music passes, always with the
// verdict of all 15 (some mono tracks do not: at the 3 grid points of the
// longest layout's boundaries that four windows hold, a quiet one leaves
// that layout untold); the first look reads and scores a quarter as much.
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
//   distance of the words from their mean; summed over the scored cells
//   (below) away from the grid (the first 4 words of each grid cell, where
//   a run may begin, are left out). Music is near 0.005 to 0.2, random
//   data near 1.3.
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
// Which cells are scored. The sums of roughness and byte order, and the
// pairs of like channels, are taken over a part of the sample's grid cells:
// those whose position in the file, counted in cells, is a multiple of a
// power of two, the least that leaves at most 256 cells for the sums and
// 128 for the pairs. A sample of 1 MiB then costs about as little as one of
// 64 KiB; ratios of sums over 256 cells stray a few percent at most from
// those over every cell, and the margins are mostly far wider. Counted in
// the file, not in the sample: every cell scored then has the same place in
// the blocks of each layout whose runs are shorter than the stride, the
// first half of a block, which the pairs need. Where a ratio compared with
// a threshold comes within a factor of 1.15 of it, the part is not
// trusted: the sample is judged again on every cell (the pairs on every
// fourth), so that near a threshold the verdict is the one the whole
// sample gives. Noise-like sounds go that way (their roughness is near 1.0
// in both byte orders, against 1.05); music hardly ever does. The grid
// points are all scored: one per cell, they cost little, and only there do
// the layouts differ.
//
// The thresholds were set on a corpus of game music and sounds laid out
// every way (bench/identify_corpus.py) and checked on other music kept
// apart from it: the margins between music and the rest are wide at most
// of them (roughness ratios of 0.02 to 0.2 against 1.0 for other data,
// distances of 0 for identical channels), narrowest for noise-like sounds.
#include "convert/classify.h"

#include <algorithm>
#include <array>
#include <bit>
#include <cstdint>
#include <cstdio>
#include <memory>
#include <optional>
#include <span>
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
// The most grid cells scored for how the words run on, and for like
// channels; see the top of the file.
constexpr std::uint64_t kMostScoredCells = 256;
constexpr std::uint64_t kMostPairCells = 128;
// Where the part is doubted, every cell is scored, and for like channels
// every fourth.
constexpr std::uint64_t kWholePairStride = 4;
// A ratio within this factor of its threshold is too near it to be judged
// on a part of the cells.
constexpr double kDoubt = 1.15;
// The windows of a first look at a large file, spread from its start to
// its end, and how clear what they show must be to be the verdict. Four:
// it takes 3 grid points of the longest layout's boundaries to tell that
// layout from one channel, and the first window holds none.
constexpr std::array<std::size_t, 4> kFirstLook = {0, (kWindows - 1) / 3, 2 * (kWindows - 1) / 3,
                                                   kWindows - 1};
constexpr double kFirstLookDoubt = 1.5;
constexpr double kFirstLookMargin = 2.0;
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

// The most grid points a sample has: one in each of its cells, and in
// each window a last one that may not be whole.
constexpr std::size_t kMostPoints = kMostClassifiedBytes / 2 / kGrid + kWindows;

// What the grid points of the sample cost each hypothesis, as jumps or as
// curvatures (see GridPoints). A point of level L (the longest run that
// ends there) costs the levels 0 to L each their own number, and every
// longer run and one channel, whose runs go on there, the same: L + 2
// columns, column min(h, L + 1) for hypothesis h. Per level, the sum of
// each column over its points, and for each point the columns where it
// costs kLeastJump or more, one bit each.
struct PointCosts {
  std::array<std::array<std::uint64_t, kLevels + 1>, kLevels> sums{};  // [level][column]
  // Level L's points are telling[begin[L]] to telling[begin[L + 1] - 1].
  std::array<std::size_t, kLevels + 1> begin;
  std::unique_ptr<std::uint16_t[]> telling = std::make_unique_for_overwrite<std::uint16_t[]>(kMostPoints);

  static int Column(int h, int level) { return std::min(h, level + 1); }
  std::span<const std::uint16_t> Telling(int level) const {
    return {telling.get() + begin[level], telling.get() + begin[level + 1]};
  }
};

// Memory kept by each thread that classifies for its next file (1 MiB and
// 32 KiB): taken anew for every file, its pages cost more to map than the
// reads themselves. The words are read into it as bytes and decoded where
// they lie, never zeroed, which would cost as much again.
struct Scratch {
  std::unique_ptr<std::int16_t[]> words =
      std::make_unique_for_overwrite<std::int16_t[]>(kMostClassifiedBytes / 2);
  PointCosts jumps, curves;
};

struct Sample {
  std::int16_t* words;            // what was read, words whole, decoded
  std::vector<Segment> segments;  // in the order read
  std::uint64_t count = 0;        // words
  bool is_wave = false;           // it starts with a WAVE file's header
  std::uint32_t peak = 0;         // the largest |word|
  bool ended = false;             // a read found the end of the file
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

// |a - b|, written as the compiler recognises an absolute value (three
// vector instructions on SSE2, one elsewhere).
std::uint32_t Distance(std::int32_t a, std::int32_t b) {
  const std::int32_t difference = a - b;
  return static_cast<std::uint32_t>(difference < 0 ? -difference : difference);
}

std::int16_t Swapped(std::int16_t word) {
  const auto bits = static_cast<std::uint16_t>(word);
  return static_cast<std::int16_t>(static_cast<std::uint16_t>(bits << 8 | bits >> 8));
}

bool IsWave(const std::uint8_t* bytes, std::size_t size) {
  if (size < 12) return false;
  const auto has = [&](std::size_t at, const char* tag) { return std::equal(tag, tag + 4, bytes + at); };
  return (has(0, "RIFF") || has(0, "RF64") || has(0, "BW64")) && has(8, "WAVE");
}

// Makes the bytes read into `words` the words they stand for, little-endian,
// and returns the largest |word|. Where little-endian is the host's order,
// they are those already; elsewhere (big-endian) the two bytes of each swap
// places. Plain loops over words, which the compiler vectorises.
std::uint32_t DecodeWords(std::int16_t* words, std::size_t count) {
  static_assert(std::endian::native == std::endian::little || std::endian::native == std::endian::big);
  if constexpr (std::endian::native == std::endian::big) {
    for (std::size_t i = 0; i < count; ++i) words[i] = Swapped(words[i]);
  }
  std::int16_t least = 0, most = 0;
  for (std::size_t i = 0; i < count; ++i) {
    least = std::min(least, words[i]);
    most = std::max(most, words[i]);
  }
  return std::max(Distance(least, 0), Distance(most, 0));
}

// Reads the stretch [begin, end) of the file into the sample's words from
// index `at` on, until it is full or the file ends; after an end nothing
// more is read. An odd byte at the end is not a word. The words are decoded
// as soon as they are read, while their bytes are still in the processor's
// cache.
void ReadStretch(const ClassifyReadAt& read_at, std::uint64_t begin, std::uint64_t end, std::size_t at,
                 Sample& sample) {
  if (sample.ended) return;
  std::int16_t* words = sample.words + at;
  auto* bytes = reinterpret_cast<std::uint8_t*>(words);
  const std::size_t want = static_cast<std::size_t>(end - begin);
  std::size_t got = 0;
  while (got < want) {
    const std::size_t count = read_at(begin + got, {bytes + got, want - got});
    if (count == 0) break;
    got += std::min(count, want - got);
  }
  if (begin == 0) sample.is_wave = IsWave(bytes, got);
  const std::size_t count = got / 2;
  if (count > 0) sample.segments.push_back({begin / 2, at, count});
  sample.peak = std::max(sample.peak, DecodeWords(words, count));
  sample.count += count;
  sample.ended = got < want;
}

// Calls body(segment, cell) for the first word of each scored grid cell:
// the cells read whole whose position in the file, in cells, is a multiple
// of `stride`.
template <typename Body>
void ForScoredCells(const Sample& sample, std::uint64_t stride, Body body) {
  for (const auto& s : sample.segments) {
    const std::uint64_t first = s.first / kGrid;
    const std::size_t skip = static_cast<std::size_t>((stride - first % stride) % stride);
    for (std::size_t cell = skip * kGrid; cell + kGrid <= s.words; cell += stride * kGrid) body(s, cell);
  }
}

// The least power of two that, as the stride of ForScoredCells, scores at
// most `most` cells.
std::uint64_t ScoredStride(const Sample& sample, std::uint64_t most) {
  for (std::uint64_t stride = 1;; stride *= 2) {
    std::uint64_t cells = 0;
    for (const auto& s : sample.segments) {
      // The multiples of `stride` from its first cell to its last whole one.
      const std::uint64_t first = s.first / kGrid, end = first + s.words / kGrid;
      cells += (end + stride - 1) / stride - (first + stride - 1) / stride;
    }
    if (cells <= most) return stride;
  }
}

// Which cells a verdict scores, and whether a ratio it compares with a
// threshold came too near it to be judged on those.
struct Scoring {
  std::uint64_t stride;       // of the cells for how the words run on (ForScoredCells)
  std::uint64_t pair_stride;  // of the cells for like channels
  double doubt;               // a ratio within this factor of its threshold is doubted (1: none is)
  double sure_margin = 0;     // so is a layout's margin below this, or a rival it cannot tell from
  bool doubtful = false;

  // Returns `ratio`, and notes whether it is doubted.
  double Weigh(double ratio, double threshold) {
    if (ratio > threshold / doubt && ratio < threshold * doubt) doubtful = true;
    return ratio;
  }
};

// How the words of one byte order run on, summed over the scored cells
// away from the grid (from the fifth word of each cell on: a run may begin
// at the start of a cell).
struct Reading {
  std::uint64_t count = 0;       // words summed
  std::uint64_t spread = 0;      // |x - mean|
  std::uint64_t high = 0;        // |high byte|, as a signed byte
  std::uint64_t step = 0;        // |x[i] - x[i-1]|
  std::uint64_t curve = 0;       // |x[i] - 2x[i-1] + x[i-2]|
  std::uint64_t pair_step = 0;   // |x[i] - x[i-2]|
  std::uint64_t pair_curve = 0;  // |x[i] - 2x[i-2] + x[i-4]|
  std::uint64_t joint = 0;       // |(x[i] - x[i-2]) - (x[i-1] - x[i-3])|

  // The sums over the cell of words `x` (mean: of all words summed).
  void AddCell(const std::array<std::int32_t, kGrid>& x, std::int32_t mean) {
    // 32-bit sums of 60 terms, each below 2^18.
    std::uint32_t cell_spread = 0, cell_high = 0, cell_step = 0, cell_curve = 0, cell_pair_step = 0,
                  cell_pair_curve = 0, cell_joint = 0;
    for (std::size_t i = 4; i < kGrid; ++i) {
      const std::int32_t v = x[i], a = x[i - 1], b = x[i - 2], c = x[i - 3], d = x[i - 4];
      cell_spread += Distance(v, mean);
      cell_high += Distance(v >> 8, 0);
      cell_step += Distance(v, a);
      cell_curve += Distance(v, 2 * a - b);
      cell_pair_step += Distance(v, b);
      cell_pair_curve += Distance(v, 2 * b - d);
      cell_joint += Distance(v - b, a - c);
    }
    count += kGrid - 4;
    spread += cell_spread;
    high += cell_high;
    step += cell_step;
    curve += cell_curve;
    pair_step += cell_pair_step;
    pair_curve += cell_pair_curve;
    joint += cell_joint;
  }

  double Roughness() const {
    const std::uint64_t least = std::min({step, curve, pair_step, pair_curve, joint});
    return (static_cast<double>(least) + 1.0) / (static_cast<double>(spread) + 1.0);
  }
  double High() const {
    return static_cast<double>(high) / static_cast<double>(std::max<std::uint64_t>(count, 1));
  }
};

// The Readings of the scored cells in both byte orders.
std::pair<Reading, Reading> ReadBothOrders(const Sample& sample, std::uint64_t stride) {
  std::int64_t little_sum = 0, big_sum = 0, count = 0;
  ForScoredCells(sample, stride, [&](const Segment& s, std::size_t cell) {
    const std::int16_t* x = sample.words + s.begin + cell;
    for (std::size_t i = 4; i < kGrid; ++i) {
      little_sum += x[i];
      big_sum += Swapped(x[i]);
    }
    count += kGrid - 4;
  });
  const std::int64_t divisor = std::max<std::int64_t>(count, 1);
  const auto little_mean = static_cast<std::int32_t>(little_sum / divisor);
  const auto big_mean = static_cast<std::int32_t>(big_sum / divisor);
  Reading little, big;
  ForScoredCells(sample, stride, [&](const Segment& s, std::size_t cell) {
    // Widened once, not at each of the five words a sum takes.
    const std::int16_t* words = sample.words + s.begin + cell;
    std::array<std::int32_t, kGrid> x, swapped;
    for (std::size_t i = 0; i < kGrid; ++i) {
      x[i] = words[i];
      swapped[i] = Swapped(words[i]);
    }
    little.AddCell(x, little_mean);
    big.AddCell(swapped, big_mean);
  });
  return {little, big};
}

// Whether the words are 16-bit samples, and in which byte order.
enum class Order { kNone, kLittle, kBig };

Order SampleOrder(const Reading& little, const Reading& big, Scoring& scoring) {
  const double smoothness = little.Roughness() / big.Roughness();
  if (scoring.Weigh(smoothness, kMostRoughnessRatio) <= kMostRoughnessRatio) return Order::kLittle;
  if (scoring.Weigh(1 / smoothness, kMostRoughnessRatio) <= kMostRoughnessRatio) return Order::kBig;
  // Noise-like: by the bytes.
  const bool is_little = little.High() <= big.High();
  const Reading& own = is_little ? little : big;
  const Reading& other = is_little ? big : little;
  const double spread = (other.High() + 1.0) / (own.High() + 1.0);
  if (scoring.Weigh(spread, kNoiseSpreadRatio) < kNoiseSpreadRatio) return Order::kNone;
  const double roughness = own.Roughness() / other.Roughness();
  if (scoring.Weigh(roughness, kNoiseRoughnessRatio) > kNoiseRoughnessRatio) return Order::kNone;
  return is_little ? Order::kLittle : Order::kBig;
}

// The costs of the grid points of level kLevel whose predecessors under
// every layout were read: their jumps |x[g] - x[predecessor]| into
// `jumps`, and their curvatures from the predecessor and the word before it
// into `curves`. One level at a time, its columns known to the compiler,
// the sums held in registers.
template <int kLevel>
void LevelPoints(const Sample& sample, PointCosts& jumps, PointCosts& curves, std::size_t& points) {
  constexpr int kColumns = kLevel + 2;
  // The cells whose level is kLevel: their positions in the file have
  // kLevel trailing zero bits (kLevels - 1 or more for the last level).
  constexpr std::uint64_t kLast = kLevel == kLevels - 1;
  constexpr std::uint64_t kPeriod = (kLast ? 1u : 2u) << kLevel;  // cells
  constexpr std::uint64_t kPhase = kLast ? 0 : 1u << kLevel;
  std::array<std::uint64_t, kColumns> jump_sums{}, curve_sums{};
  const std::int16_t* words = sample.words;
  jumps.begin[kLevel] = curves.begin[kLevel] = points;
  for (const auto& s : sample.segments) {
    const std::uint64_t first = s.first / kGrid;
    // The first of them whose predecessors were read: more than 2^kLevel
    // cells into the segment.
    std::uint64_t cell = first + (1u << kLevel) + 1;
    cell += (kPhase + kPeriod - cell % kPeriod) % kPeriod;
    for (; (cell - first) * kGrid < s.words; cell += kPeriod) {
      const std::size_t at = s.begin + static_cast<std::size_t>(cell - first) * kGrid;
      const std::int32_t x = words[at];
      unsigned jump_telling = 0, curve_telling = 0;
      for (int column = 0; column < kColumns; ++column) {
        const std::size_t back = column <= kLevel ? (kGrid << column) + 1 : 1;
        const std::int32_t before = words[at - back];
        const std::uint32_t jump = Distance(x, before);
        const std::uint32_t curve = Distance(x, 2 * before - words[at - back - 1]);
        jump_sums[column] += jump;
        curve_sums[column] += curve;
        jump_telling |= unsigned{jump >= kLeastJump} << column;
        curve_telling |= unsigned{curve >= kLeastJump} << column;
      }
      jumps.telling[points] = static_cast<std::uint16_t>(jump_telling);
      curves.telling[points] = static_cast<std::uint16_t>(curve_telling);
      ++points;
    }
  }
  for (int column = 0; column < kColumns; ++column) {
    jumps.sums[kLevel][column] = jump_sums[column];
    curves.sums[kLevel][column] = curve_sums[column];
  }
}

template <int... kLevel>
void GridPoints(const Sample& sample, PointCosts& jumps, PointCosts& curves,
                std::integer_sequence<int, kLevel...>) {
  static_assert(kLevels + 1 <= 16, "a point's telling columns fit 16 bits");
  std::size_t points = 0;
  (LevelPoints<kLevel>(sample, jumps, curves, points), ...);
  jumps.begin[kLevels] = curves.begin[kLevels] = points;
}

// The hypothesis of the grid with the least cost, and in `margin` how
// much more the cheapest rival it can be told apart from costs where the
// two differ (from `low`, the lower of their levels, up); `told_all`: every
// rival can be.
int ClearWinner(const PointCosts& costs, double& margin, bool& told_all) {
  std::array<std::uint64_t, kHypotheses> total{};
  for (int h = 0; h < kHypotheses; ++h) {
    for (int level = 0; level < kLevels; ++level) total[h] += costs.sums[level][PointCosts::Column(h, level)];
  }
  int best = kMono;
  for (int h = kLevels - 1; h >= 0; --h) {
    if (total[h] < total[best]) best = h;
  }
  margin = 1e300;
  told_all = true;
  for (int rival = 0; rival < kHypotheses; ++rival) {
    if (rival == best) continue;
    std::uint64_t mine = 0, theirs = 0, telling = 0;
    for (int level = std::min(rival, best); level < kLevels; ++level) {
      const int a = PointCosts::Column(best, level), b = PointCosts::Column(rival, level);
      mine += costs.sums[level][a];
      theirs += costs.sums[level][b];
      const unsigned either = 1u << a | 1u << b;
      std::uint32_t of_level = 0;
      for (const std::uint16_t point : costs.Telling(level)) of_level += (point & either) != 0;
      telling += of_level;
    }
    if (telling < kLeastPoints) {
      told_all = false;
      continue;
    }
    margin = std::min(margin, (static_cast<double>(theirs) + 1.0) / (static_cast<double>(mine) + 1.0));
  }
  return best;
}

// For the words of one grid cell from its third on, every kStride-th: the
// sum of their distances to the words `run` after them.
template <std::size_t kStride>
std::uint32_t Apart(const std::int16_t* cell, std::size_t run) {
  std::uint32_t apart = 0;
  for (std::size_t k = 2; k < kGrid; k += kStride) apart += Distance(cell[k], cell[k + run]);
  return apart;
}

// The verdict on little-endian samples, by their layout.
std::optional<Verdict> Layout(const Sample& sample, const Reading& r, Scoring& scoring, Scratch& scratch) {
  // Nearly identical channels: pairs of words a run apart, the first in the
  // first half of a block (level kLevels stands for frames, one word
  // apart), against the step from the nearer of the two words before the
  // first (one of which is its own channel's). Like channels show in any
  // part of the sample: the scored cells are enough, less their first two
  // words, whose words before may lie across a boundary of another layout.
  struct Pairs {
    std::uint64_t count = 0, apart = 0, step = 0;
  };
  std::array<Pairs, kLevels + 1> pairs{};
  ForScoredCells(sample, scoring.pair_stride, [&](const Segment& s, std::size_t cell) {
    const std::int16_t* x = sample.words + s.begin + cell;
    // The steps of the words from the third on, and of every second one.
    std::uint32_t steps = 0, every_second = 0;
    for (std::size_t k = 2; k < kGrid; ++k) {
      const std::int32_t a = x[k];
      const std::uint32_t step = std::min(Distance(a, x[k - 1]), Distance(a, x[k - 2]));
      steps += step;
      every_second += k % 2 == 0 ? step : 0;
    }
    for (int h = 0; h <= kLevels; ++h) {
      const std::size_t run = h == kLevels ? 1 : kGrid << h;
      if (cell + kGrid + run > s.words) continue;
      if (h < kLevels && (s.first + cell) / run % 2 != 0) continue;  // a second half
      Pairs& of = pairs[static_cast<std::size_t>(h)];
      if (h == kLevels) {
        of.count += (kGrid - 2) / 2;
        of.apart += Apart<2>(x, run);
        of.step += every_second;
      } else {
        of.count += kGrid - 2;
        of.apart += Apart<1>(x, run);
        of.step += steps;
      }
    }
  });
  int identical = -1;
  double closest = kMostPairRatio;
  for (int h = 0; h <= kLevels; ++h) {
    const Pairs& of = pairs[static_cast<std::size_t>(h)];
    const double ratio = (static_cast<double>(of.apart) + 1.0) / (static_cast<double>(of.step) + 1.0);
    if (of.count >= kLeastPairs && scoring.Weigh(ratio, kMostPairRatio) < closest) {
      closest = ratio;
      identical = h;
    }
  }
  const double runs = static_cast<double>(std::min(r.step, r.curve)) + 1.0;
  const double frames = static_cast<double>(std::min(r.pair_step, r.pair_curve)) + 1.0;
  const bool is_frames = identical < 0 && scoring.Weigh(frames / runs, kMostFramesRatio) < kMostFramesRatio;
  if (scoring.doubtful) return std::nullopt;
  int layout;
  if (identical >= 0) {
    layout = identical == kLevels ? kFrames : identical;
  } else if (is_frames) {
    layout = kFrames;
  } else {
    GridPoints(sample, scratch.jumps, scratch.curves, std::make_integer_sequence<int, kLevels>());
    double by_jump = 0, by_curve = 0;
    bool jump_told_all = true, curve_told_all = true;
    const int jump_winner = ClearWinner(scratch.jumps, by_jump, jump_told_all);
    const int curve_winner = ClearWinner(scratch.curves, by_curve, curve_told_all);
    const int winner = by_jump >= by_curve ? jump_winner : curve_winner;
    layout = std::max(by_jump, by_curve) >= kLeastMargin ? winner : kMono;
    if (scoring.sure_margin > 0 &&
        (std::max(by_jump, by_curve) < scoring.sure_margin || !jump_told_all || !curve_told_all)) {
      return std::nullopt;
    }
  }
  if (layout == kFrames) return Verdict{VerdictKind::kFrames};
  if (layout == kMono) return Verdict{VerdictKind::kMono};
  if (layout == kBgmLevel) return Verdict{VerdictKind::kBgm};
  return Verdict{VerdictKind::kInterleave, 0x80u << layout};
}

// The verdict on the sample's words (not silence), scoring the cells
// `scoring` names; none where it doubts.
std::optional<Verdict> Judge(const Sample& sample, Scoring& scoring, Scratch& scratch) {
  const auto [as_little, as_big] = ReadBothOrders(sample, scoring.stride);
  const Order order = SampleOrder(as_little, as_big, scoring);
  if (scoring.doubtful) return std::nullopt;
  if (order == Order::kNone) return Verdict{VerdictKind::kOther};
  if (order == Order::kBig) return Verdict{VerdictKind::kBigEndian};
  return Layout(sample, as_little, scoring, scratch);
}

// The verdict on the windows of a first look at a large file, if they leave
// no doubt: a sound in them, every ratio at least a factor kFirstLookDoubt
// from its threshold, and a layout that costs every rival, each told apart,
// kFirstLookMargin times as much or more.
std::optional<Verdict> FirstLook(const Sample& sample, Scratch& scratch) {
  if (sample.is_wave) return Verdict{VerdictKind::kWav};
  if (sample.peak <= kQuietest) return std::nullopt;  // silence is silence throughout
  Scoring first{ScoredStride(sample, kMostScoredCells), ScoredStride(sample, kMostPairCells), kFirstLookDoubt,
                kFirstLookMargin};
  return Judge(sample, first, scratch);
}

// The verdict on all that was read.
Verdict WholeVerdict(std::uint64_t file_size, const Sample& sample, Scratch& scratch) {
  if (sample.is_wave) return {VerdictKind::kWav};
  if (file_size < kShortest || 2 * sample.count < kShortest) return {VerdictKind::kShort};
  if (sample.peak <= kQuietest) return {VerdictKind::kSilence};
  Scoring part{ScoredStride(sample, kMostScoredCells), ScoredStride(sample, kMostPairCells), kDoubt};
  Scoring whole{1, std::min(part.pair_stride, kWholePairStride), 1};
  if (part.stride == whole.stride && part.pair_stride == whole.pair_stride) part.doubt = 1;
  if (const auto verdict = Judge(sample, part, scratch)) return *verdict;
  return *Judge(sample, whole, scratch);
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
  static_assert(kWindows * (kWindowBody + 2 * kWindowMargin) <= kMostClassifiedBytes);
  const auto windows = Windows(file_size);
  // Where each stretch's words go: the stretches one after the other.
  std::vector<std::size_t> at(windows.size() + 1, 0);
  for (std::size_t k = 0; k < windows.size(); ++k) {
    at[k + 1] = at[k] + static_cast<std::size_t>(windows[k].second - windows[k].first) / 2;
  }
  Sample sample;
  sample.words = scratch.words.get();
  const auto read = [&](std::size_t k) {
    ReadStretch(read_at, windows[k].first, windows[k].second, at[k], sample);
  };
  if (windows.size() == kWindows) {
    // The windows lie apart: a first look at four of them.
    for (const std::size_t k : kFirstLook) read(k);
    if (!sample.ended) {
      if (const auto verdict = FirstLook(sample, scratch)) return *verdict;
    }
    for (std::size_t k = 0; k < kWindows; ++k) {
      if (std::find(kFirstLook.begin(), kFirstLook.end(), k) == kFirstLook.end()) read(k);
    }
  } else {
    for (std::size_t k = 0; k < windows.size(); ++k) read(k);
  }
  return WholeVerdict(file_size, sample, scratch);
}

}  // namespace plivex
