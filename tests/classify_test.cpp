#include "convert/classify.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <map>
#include <numbers>
#include <span>
#include <stdexcept>
#include <string>
#include <vector>

namespace plivex {
namespace {

using Bytes = std::vector<std::uint8_t>;
using Channel = std::vector<std::int16_t>;

constexpr int kRate = 48000;

// Random numbers that are the same on every machine.
struct Noise {
  std::uint32_t state;
  double Next() {  // -1 to 1
    state = state * 1664525u + 1013904223u;
    return static_cast<double>(state >> 8) / (1 << 23) - 1.0;
  }
};

std::int16_t Clip(double value) {
  return static_cast<std::int16_t>(std::lround(std::clamp(value, -32768.0, 32767.0)));
}

// Synthetic music with the traits that make layouts hard to tell apart.
enum class Music {
  kChords,           // a new three-note chord every half second, the right voiced apart from the left
  kDecays,           // short notes that die away into silence
  kNoiseBursts,      // a bass line under decaying bursts of noise (percussion)
  kQuiet,            // chords near -50 dB, with dither
  kSilentStart,      // 10 seconds of silence before the chords (a file larger than what is read)
  kJingle,           // one second
  kIdentical,        // the same in both channels
  kHardPanned,       // the left channel only; the right is silent
  kNoisy,            // chords under loud noise, overdriven into clipping
  kHiss,             // noise alone, the same in both channels (a mono sound effect)
  kNearlyIdentical,  // hiss and a tone, the channels apart by a faint noise of their own (as lossy coding
                     // leaves them)
  kPhrase,           // one second of chords in the middle of 14 seconds of silence
  kBlip,             // a sound effect of 0.4 seconds: a decaying tone in a burst of noise
  kBass,             // loud low notes, 55 Hz on the left, 82 Hz on the right: the smoothest there is
};

struct Stereo {
  Channel left, right;
};

Stereo Make(Music music) {
  const double seconds = music == Music::kJingle                                   ? 1.0
                         : music == Music::kBlip                                   ? 0.4
                         : music == Music::kSilentStart || music == Music::kPhrase ? 14.0
                                                                                   : 6.0;
  const std::size_t frames = static_cast<std::size_t>(seconds * kRate);
  const std::size_t silent = music == Music::kSilentStart ? 10 * kRate
                             : music == Music::kPhrase    ? 6 * kRate
                                                          : 0;
  const std::size_t sounding = music == Music::kPhrase ? kRate : frames;
  const double level = music == Music::kQuiet ? 50.0 : 6000.0;
  const double decay = music == Music::kDecays ? 12.0 : 1.5;  // per second
  static const double kNotes[] = {196.0, 246.9, 293.7, 329.6, 392.0, 440.0, 493.9, 587.3};
  Noise noise{7};
  Stereo out{Channel(frames), Channel(frames)};
  for (std::size_t i = silent; i < std::min(frames, silent + sounding); ++i) {
    const double t = static_cast<double>(i - silent) / kRate;
    const int chord = static_cast<int>(t * 2);
    const double since = t - chord / 2.0;
    const double envelope = std::exp(-decay * since) * std::min(1.0, since * 200);
    double left = 0, right = 0;
    for (int note = 0; note < 3; ++note) {
      const double f = kNotes[(chord * 3 + note * 2) % 8];
      left += std::sin(2 * std::numbers::pi * f * t);
      right += std::sin(2 * std::numbers::pi * f * 1.5 * t + note);
    }
    left *= level * envelope;
    right *= level * envelope;
    if (music == Music::kNoiseBursts) {
      const double beat = std::fmod(t, 0.25);
      const double burst = 9000 * std::exp(-beat * 40) * noise.Next();
      const double bass = 5000 * std::sin(2 * std::numbers::pi * 55.0 * (1 + chord % 3) * t);
      left = 0.3 * left + burst + bass;
      right = 0.3 * right + 0.7 * burst + bass;
    } else if (music == Music::kQuiet) {
      left += 2 * noise.Next();
      right += 2 * noise.Next();
    } else if (music == Music::kNearlyIdentical) {
      left = 3000 * noise.Next() + 2000 * std::sin(2 * std::numbers::pi * 220 * t);
      right = left + 20 * noise.Next();
    } else if (music == Music::kBass) {
      left = 12000 * std::sin(2 * std::numbers::pi * 55 * t) + 30 * noise.Next();
      right = 12000 * std::sin(2 * std::numbers::pi * 82 * t) + 30 * noise.Next();
    } else if (music == Music::kBlip) {
      const double fade = std::exp(-t * 15);
      left = fade * (4000 * noise.Next() + 8000 * std::sin(2 * std::numbers::pi * 880 * t));
      right = fade * (4000 * noise.Next() + 8000 * std::sin(2 * std::numbers::pi * 660 * t));
    } else if (music == Music::kHiss) {
      left = 3000 * noise.Next();
    } else if (music == Music::kNoisy) {
      left = 3 * (left + 3000 * noise.Next());
      right = 3 * (right + 3000 * noise.Next());
    }
    out.left[i] = Clip(left);
    const bool identical = music == Music::kIdentical || music == Music::kHiss;
    out.right[i] = Clip(identical ? left : music == Music::kHardPanned ? 0.0 : right);
  }
  return out;
}

void Put(Bytes& bytes, std::int16_t sample) {
  bytes.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(sample)));
  bytes.push_back(static_cast<std::uint8_t>(static_cast<std::uint16_t>(sample) >> 8));
}

// Blocks of `per_channel` bytes of left, then right samples; the last one
// filled up with silence.
Bytes Blocks(const Stereo& music, std::size_t per_channel) {
  const std::size_t run = per_channel / 2;
  Bytes bytes;
  bytes.reserve(4 * (music.left.size() + run));
  for (std::size_t start = 0; start < music.left.size(); start += run) {
    for (const Channel* channel : {&music.left, &music.right}) {
      for (std::size_t i = start; i < start + run; ++i) Put(bytes, i < channel->size() ? (*channel)[i] : 0);
    }
  }
  return bytes;
}

Bytes Frames(const Stereo& music) {
  Bytes bytes;
  bytes.reserve(4 * music.left.size());
  for (std::size_t i = 0; i < music.left.size(); ++i) {
    Put(bytes, music.left[i]);
    Put(bytes, music.right[i]);
  }
  return bytes;
}

Bytes Mono(const Stereo& music) {
  Bytes bytes;
  for (std::size_t i = 0; i < music.left.size(); ++i)
    Put(bytes, Clip((music.left[i] + music.right[i]) / 2.0));
  return bytes;
}

Bytes Swapped(Bytes bytes) {
  for (std::size_t i = 0; i + 1 < bytes.size(); i += 2) std::swap(bytes[i], bytes[i + 1]);
  return bytes;
}

// A file in memory, read `chunk` bytes at most at a time (0: as asked),
// or, with `varied`, any count from 1 to that; every read is recorded.
class MemoryFile {
 public:
  explicit MemoryFile(const Bytes& bytes, std::size_t chunk = 0, bool varied = false)
      : bytes_(bytes), chunk_(chunk), varied_(varied) {}

  Verdict Classify() { return Classify(bytes_.size()); }
  // As if the file were `claimed_size` bytes long (it ends early when that
  // is more than it holds).
  Verdict Classify(std::uint64_t claimed_size) {
    Noise counts{99};
    return plivex::Classify(claimed_size, [&](std::uint64_t offset, std::span<std::uint8_t> buffer) {
      if (buffer.empty()) throw std::logic_error("a read of nothing");
      if (offset >= bytes_.size()) {
        reads_.push_back({offset, 0});
        return std::size_t{0};
      }
      std::size_t count = std::min<std::size_t>(buffer.size(), bytes_.size() - offset);
      if (chunk_ != 0) count = std::min(count, chunk_);
      if (varied_)
        count = std::max<std::size_t>(1, static_cast<std::size_t>((counts.Next() + 1) / 2 * count));
      std::copy_n(bytes_.begin() + static_cast<std::ptrdiff_t>(offset), count, buffer.begin());
      reads_.push_back({offset, count});
      return count;
    });
  }

  // (offset, count) of each read, in order.
  const std::vector<std::pair<std::uint64_t, std::size_t>>& Reads() const { return reads_; }

 private:
  const Bytes& bytes_;
  std::size_t chunk_;
  bool varied_;
  std::vector<std::pair<std::uint64_t, std::size_t>> reads_;
};

std::string WordOf(const Bytes& bytes) { return VerdictWord(MemoryFile{bytes}.Classify()); }

const Stereo& Cached(Music music) {
  static std::map<Music, Stereo> made;
  auto found = made.find(music);
  if (found == made.end()) found = made.emplace(music, Make(music)).first;
  return found->second;
}

// Every layout of every kind of music is named for what it is: a verdict
// that ignored block boundaries would call 0x400 bgm, one that ignored the
// byte order would call big-endian samples by their layout, and mono must
// not pass for bgm.
TEST(Classify, NamesEveryLayoutOfEveryKindOfMusic) {
  const struct {
    const char* word;
    std::size_t per_channel;  // bytes of a channel per block; 0: frames, 1: mono
    bool swapped;
  } layouts[] = {
      {"bgm", 0x200, false},
      {"interleave-0x80", 0x80, false},
      {"interleave-0x100", 0x100, false},
      {"interleave-0x400", 0x400, false},
      {"interleave-0x800", 0x800, false},
      {"interleave-0x1000", 0x1000, false},
      {"interleave-0x4000", 0x4000, false},
      {"interleave-0x10000", 0x10000, false},
      {"frames", 0, false},
      {"mono", 1, false},
      {"big-endian", 0x200, true},
      {"big-endian", 0x4000, true},
      {"big-endian", 0, true},
  };
  const struct {
    const char* name;
    Music music;
  } musics[] = {
      {"chords", Music::kChords},
      {"decays", Music::kDecays},
      {"noise bursts", Music::kNoiseBursts},
      {"quiet", Music::kQuiet},
      {"silent start", Music::kSilentStart},
      {"jingle", Music::kJingle},
      {"identical channels", Music::kIdentical},
      {"hard panned", Music::kHardPanned},
      {"noisy", Music::kNoisy},
      {"hiss", Music::kHiss},
      {"nearly identical channels", Music::kNearlyIdentical},
      {"a phrase in silence", Music::kPhrase},
      {"blip", Music::kBlip},
      {"bass", Music::kBass},
  };
  for (const auto& music : musics) {
    const Stereo& stereo = Cached(music.music);
    for (const auto& layout : layouts) {
      // Runs that hold the whole sound have no boundary inside it: one
      // channel, silence, the other channel, as a mono file could be.
      if (layout.per_channel / 2 >= stereo.left.size()) continue;
      SCOPED_TRACE(std::string(music.name) + " as " + layout.word + " " + std::to_string(layout.per_channel));
      const Bytes bytes = layout.per_channel == 0   ? Frames(stereo)
                          : layout.per_channel == 1 ? Mono(stereo)
                                                    : Blocks(stereo, layout.per_channel);
      EXPECT_EQ(WordOf(layout.swapped ? Swapped(bytes) : bytes), layout.word);
    }
  }
}

// A small 4-bit ADPCM in the PS2's frames: 16 bytes for 28 samples, a
// shift and filter byte, a flag byte, then the steps, each sample predicted
// from the one before (filter 1) and its error coded in 4 bits.
Bytes Adpcm(const Channel& samples) {
  Bytes bytes;
  int previous = 0;
  for (std::size_t start = 0; start + 28 <= samples.size(); start += 28) {
    int widest = 0;
    for (std::size_t i = start; i < start + 28; ++i) {
      widest = std::max(widest, std::abs(samples[i] - (i == 0 ? 0 : samples[i - 1])));
    }
    int shift = 12;
    while (shift > 0 && (7 << (12 - shift)) < widest) --shift;
    bytes.push_back(static_cast<std::uint8_t>(0x10 | shift));
    bytes.push_back(start + 56 > samples.size() ? 1 : 0);
    std::uint8_t pending = 0;
    for (std::size_t i = start; i < start + 28; ++i) {
      const int unit = 1 << (12 - shift);
      const int step = std::clamp((samples[i] - previous) / unit, -8, 7);
      previous = std::clamp(previous + step * unit, -32768, 32767);
      if ((i - start) % 2 == 0) {
        pending = static_cast<std::uint8_t>(step & 0xF);
      } else {
        bytes.push_back(static_cast<std::uint8_t>(pending | (step & 0xF) << 4));
      }
    }
  }
  return bytes;
}

Bytes RandomBytes(std::size_t count, std::uint32_t seed) {
  Noise noise{seed};
  Bytes bytes(count);
  for (auto& byte : bytes) byte = static_cast<std::uint8_t>((noise.Next() + 1) * 127.9);
  return bytes;
}

Bytes Text(std::size_t count) {
  const std::string prose =
      "Music runs on smoothly from sample to sample; read under the right layout, each channel runs on "
      "across "
      "block boundaries as smoothly as within a block.\n";
  Bytes bytes;
  while (bytes.size() < count) bytes.insert(bytes.end(), prose.begin(), prose.end());
  bytes.resize(count);
  return bytes;
}

// A WAV file's start: `riff`, a size, "WAVE" and "fmt ", then zeros up to
// `size` bytes (or cut there).
Bytes Header(const std::string& riff, std::size_t size) {
  const std::string start = riff + "\xFF\xFF\xFF\xFF" + "WAVEfmt ";
  Bytes bytes(start.begin(), start.end());
  bytes.resize(size, 0);
  return bytes;
}

// `count` bytes of one sample over and over.
Bytes Filled(std::size_t count, std::uint8_t low, std::uint8_t high) {
  Bytes bytes(count);
  for (std::size_t i = 0; i < count; ++i) bytes[i] = i % 2 == 0 ? low : high;
  return bytes;
}

Bytes Poked(Bytes bytes, std::size_t at, std::uint8_t first, std::uint8_t second) {
  bytes[at] = first;
  bytes[at + 1] = second;
  return bytes;
}

Bytes Before(Bytes bytes, const Bytes& after) {
  bytes.insert(bytes.end(), after.begin(), after.end());
  return bytes;
}

// 0.6 seconds of a mono sound effect: a drum (a thud that falls in pitch,
// every quarter second), whose sharp starts show as jumps where no block
// boundary is; or a tone of 1500 Hz under a little noise, whose period
// divides the shortest run, so that words one run apart are nearly alike,
// though far less so than two channels of one sound.
Bytes MonoSound(bool drum) {
  Noise noise{5};
  Bytes bytes;
  for (std::size_t i = 0; i < kRate * 6 / 10; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double since = std::fmod(t, 0.25);
    Put(bytes, Clip(drum ? 14000 * std::exp(-since * 25) *
                               std::sin(2 * std::numbers::pi * (90 - since * 200) * since * 10)
                         : 8000 * std::sin(2 * std::numbers::pi * 1500 * t) * std::exp(-4 * t) +
                               200 * noise.Next()));
  }
  return bytes;
}

// Data that is not 16-bit music is other, however large; a header is
// wav, however small; too little to judge is short; samples at or near
// zero are silence; and mono sounds that look a little like a block layout
// are mono.
TEST(Classify, TellsMusicFromOtherDataSilenceAndShortFiles) {
  const Bytes chords = Blocks(Cached(Music::kChords), 0x200);
  const Bytes cut = [](Bytes bytes, std::size_t size) {
    bytes.resize(size);
    return bytes;
  }(chords, 16384);
  const struct {
    const char* name;
    Bytes bytes;
    const char* word;
  } rows[] = {
      {"random, 16 KiB", RandomBytes(16384, 1), "other"},
      {"random, 300 kB", RandomBytes(300000, 2), "other"},
      {"random, 3 MB", RandomBytes(3000000, 3), "other"},
      {"ADPCM of chords", Adpcm(Cached(Music::kChords).left), "other"},
      {"ADPCM of noise bursts", Adpcm(Cached(Music::kNoiseBursts).left), "other"},
      {"ADPCM of a quiet passage", Adpcm(Cached(Music::kQuiet).left), "other"},
      {"text", Text(200000), "other"},
      {"empty", {}, "short"},
      {"one byte", {0x41}, "short"},
      {"chords, 16 KiB less a byte", Bytes(chords.begin(), chords.begin() + 16383), "short"},
      {"chords, 16 KiB", cut, "bgm"},
      {"random, 16 KiB less a byte", RandomBytes(16383, 4), "short"},
      {"zeros, 16 KiB", Bytes(16384), "silence"},
      {"zeros, 5 MB", Bytes(5000000), "silence"},
      {"every sample 32", Filled(100000, 32, 0), "silence"},
      {"every sample -32", Filled(100000, 0xE0, 0xFF), "silence"},
      {"zeros but a sample of 33", Poked(Bytes(100000), 5000, 33, 0), "other"},
      {"zeros but a sample of -33", Poked(Bytes(100000), 5000, 0xDF, 0xFF), "other"},
      {"RIFF header alone", Header("RIFF", 12), "wav"},
      {"RF64 header", Header("RF64", 44), "wav"},
      {"BW64 before chords", Before(Header("BW64", 44), chords), "wav"},
      {"RIFX, big-endian RIFF, before chords", Before(Header("RIFX", 1024), chords), "bgm"},
      {"RIFF without WAVE before chords", Before(Poked(Header("RIFF", 1024), 8, 'A', 'V'), chords), "bgm"},
      {"RIFF header 11 bytes long", Header("RIFF", 11), "short"},
      {"a drum, mono", MonoSound(true), "mono"},
      {"a tone of 1500 Hz, mono", MonoSound(false), "mono"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    EXPECT_EQ(WordOf(row.bytes), row.word);
  }
}

// At most kMostClassifiedBytes are read, each byte once, from stretches
// spread from the start of the file to its end; a file up to that size is
// read whole. A large file whose first look leaves no doubt is read in four
// of its windows, a quarter of the most, from its start to its end;
// one that leaves a doubt in all of them. The files here are music over and
// over (whole blocks), made up as it is read, so that they can be of any
// size: chords as bgm, clear everywhere, and noisy music as mono, whose
// roughness is near its threshold.
TEST(Classify, ReadsABoundedSampleSpreadOverTheFile) {
  const struct {
    const char* name;
    Bytes pattern;
    const char* word;
    bool doubtful;
  } musics[] = {
      {"chords as bgm", Blocks(Cached(Music::kChords), 0x200), "bgm", false},
      {"noisy as mono", Mono(Cached(Music::kNoisy)), "mono", true},
  };
  const std::uint64_t kMiB = 1 << 20;
  const std::uint64_t sizes[] = {16384,
                                 kMiB - 2,
                                 kMiB,
                                 kMiB + 2,
                                 5'000'000,
                                 64 * kMiB,
                                 (std::uint64_t{1} << 31) + 1,
                                 std::uint64_t{1} << 40};
  for (const auto& music : musics) {
    for (const std::uint64_t size : sizes) {
      SCOPED_TRACE(std::string(music.name) + " in " + std::to_string(size) + " bytes");
      std::vector<std::pair<std::uint64_t, std::size_t>> reads;
      const Verdict verdict = Classify(size, [&](std::uint64_t offset, std::span<std::uint8_t> buffer) {
        EXPECT_LT(offset, size);
        const std::size_t count =
            static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - offset));
        for (std::size_t i = 0; i < count; ++i)
          buffer[i] = music.pattern[(offset + i) % music.pattern.size()];
        reads.push_back({offset, count});
        return count;
      });
      if (size > 16384) {
        EXPECT_EQ(VerdictWord(verdict), music.word);
      }
      std::sort(reads.begin(), reads.end());
      std::uint64_t total = 0, end = 0, widest_gap = 0;
      for (const auto& [offset, count] : reads) {
        EXPECT_GE(offset, end) << "a byte read twice";
        widest_gap = std::max(widest_gap, offset - end);
        end = offset + count;
        total += count;
      }
      ASSERT_FALSE(reads.empty());
      EXPECT_EQ(reads.front().first, 0u);  // the header, if any
      if (size <= kMostClassifiedBytes) {
        EXPECT_EQ(total, size);
        continue;
      }
      EXPECT_LE(total, kMostClassifiedBytes);
      EXPECT_GE(end, size - size / 16) << "the end of the file is not read";
      // From about 2 MB on the windows lie apart, and a first look can do.
      if (!music.doubtful && size > 2'000'000) {
        EXPECT_LT(total, kMostClassifiedBytes / 3) << "more than a first look";
        EXPECT_LE(widest_gap, size / 8 * 3) << "a part of the file is left out";
      } else {
        EXPECT_GT(total, kMostClassifiedBytes / 2);
        EXPECT_LE(widest_gap, size / 12) << "a part of the file is left out";
      }
    }
  }
}

// A file larger than what is read, `size` bytes of `pattern` over and
// over (a whole number of blocks), made up as it is read: its 15 windows
// lie apart, each starting off the grid of every coarser layout.
Verdict ClassifyRepeated(const Bytes& pattern, std::uint64_t size) {
  return Classify(size, [&](std::uint64_t offset, std::span<std::uint8_t> buffer) {
    const std::size_t count = static_cast<std::size_t>(std::min<std::uint64_t>(buffer.size(), size - offset));
    for (std::size_t i = 0; i < count; ++i) buffer[i] = pattern[(offset + i) % pattern.size()];
    return count;
  });
}

// In a large file the cells scored for like channels and for how the words
// run on lie where the file's blocks put them, whatever the windows'
// places: channels alike, whose layout only the pairs across a block tell,
// are still found in every layout, and music whose roughness is near its
// threshold gets the verdict that every cell gives. Where a first look at
// four windows decides, it decides as all of them would. The first sounds
// come after 2 seconds of silence (whole blocks of every layout), so that
// the first window, which starts on every grid, tells nothing.
TEST(Classify, JudgesLargeFilesByTheirPlacesInTheFile) {
  const Bytes silence(393216);
  const struct {
    const char* name;
    Bytes pattern;
    const char* word;
  } rows[] = {
      {"hiss as 0x100", Before(silence, Blocks(Cached(Music::kHiss), 0x100)), "interleave-0x100"},
      {"hiss as bgm", Before(silence, Blocks(Cached(Music::kHiss), 0x200)), "bgm"},
      {"hiss as 0x1000", Before(silence, Blocks(Cached(Music::kHiss), 0x1000)), "interleave-0x1000"},
      {"nearly identical channels as 0x800", Before(silence, Blocks(Cached(Music::kNearlyIdentical), 0x800)),
       "interleave-0x800"},
      {"noisy as mono", Before(silence, Mono(Cached(Music::kNoisy))), "mono"},
      {"chords as 0x10000", Blocks(Cached(Music::kChords), 0x10000), "interleave-0x10000"},
      {"bass as mono", Mono(Cached(Music::kBass)), "mono"},
      {"decays as frames", Frames(Cached(Music::kDecays)), "frames"},
      {"hard panned as big-endian 0x80", Swapped(Blocks(Cached(Music::kHardPanned), 0x80)), "big-endian"},
      {"a WAVE header before chords", Before(Header("RIFF", 44), Blocks(Cached(Music::kChords), 0x200)),
       "wav"},
  };
  for (const auto& row : rows) {
    for (const std::uint64_t size : {std::uint64_t{64} << 20, (std::uint64_t{1} << 31) + 2}) {
      SCOPED_TRACE(std::string(row.name) + " in " + std::to_string(size) + " bytes");
      EXPECT_EQ(VerdictWord(ClassifyRepeated(row.pattern, size)), row.word);
    }
  }
}

// The verdict depends on the bytes alone: reads of one byte, or of any
// count, give the same as reads of all that is asked; and a file that ends
// before its size is judged on what it has.
TEST(Classify, VerdictDoesNotDependOnTheCountsReadsReturn) {
  const struct {
    const char* name;
    Bytes bytes;
    const char* word;
  } rows[] = {
      {"chords as bgm", Blocks(Cached(Music::kChords), 0x200), "bgm"},
      {"silent start as 0x1000", Blocks(Cached(Music::kSilentStart), 0x1000), "interleave-0x1000"},
      {"jingle as 0x4000", Blocks(Cached(Music::kJingle), 0x4000), "interleave-0x4000"},
      {"identical channels as bgm", Blocks(Cached(Music::kIdentical), 0x200), "bgm"},
      {"noise bursts as frames", Frames(Cached(Music::kNoiseBursts)), "frames"},
      {"quiet as big-endian bgm", Swapped(Blocks(Cached(Music::kQuiet), 0x200)), "big-endian"},
      {"random", RandomBytes(300001, 5), "other"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    for (const auto& [chunk, varied] :
         {std::pair<std::size_t, bool>{0, false}, {1, false}, {3, true}, {4093, true}}) {
      SCOPED_TRACE(chunk);
      MemoryFile file(row.bytes, chunk, varied);
      EXPECT_EQ(VerdictWord(file.Classify()), row.word);
    }
  }
  const Bytes chords = Blocks(Cached(Music::kChords), 0x200);
  const struct {
    const char* name;
    std::size_t has;
    std::uint64_t claimed;
    const char* word;
  } ended[] = {
      {"a tenth of the size", chords.size(), 10 * chords.size(), "bgm"},
      {"40 kB of 5 MB", 40000, 5'000'000, "bgm"},
      {"16 KiB less a byte of 2 MiB", 16383, 2 << 20, "short"},
      {"nothing of 2 MiB", 0, 2 << 20, "short"},
  };
  for (const auto& row : ended) {
    SCOPED_TRACE(row.name);
    const Bytes start(chords.begin(), chords.begin() + static_cast<std::ptrdiff_t>(row.has));
    MemoryFile file(start, 0, false);
    EXPECT_EQ(VerdictWord(file.Classify(row.claimed)), row.word);
    // Once a read finds the end, nothing more is read.
    std::size_t at_end = 0;
    for (const auto& [offset, count] : file.Reads()) at_end += count == 0;
    EXPECT_LE(at_end, 1u);
    EXPECT_EQ(file.Reads().back().second, 0u);
  }
}

TEST(Classify, PassesReadErrorsThrough) {
  const Bytes chords = Blocks(Cached(Music::kChords), 0x200);
  for (const int failing : {1, 3}) {
    SCOPED_TRACE(failing);
    int reads = 0;
    EXPECT_THROW(Classify(50 << 20,
                          [&](std::uint64_t offset, std::span<std::uint8_t> buffer) -> std::size_t {
                            if (++reads == failing) throw std::runtime_error("unreadable");
                            for (std::size_t i = 0; i < buffer.size(); ++i)
                              buffer[i] = chords[(offset + i) % chords.size()];
                            return buffer.size();
                          }),
                 std::runtime_error);
  }
}

TEST(VerdictWord, NamesEveryVerdict) {
  const struct {
    Verdict verdict;
    const char* word;
  } rows[] = {
      {{VerdictKind::kWav}, "wav"},
      {{VerdictKind::kShort}, "short"},
      {{VerdictKind::kSilence}, "silence"},
      {{VerdictKind::kBgm}, "bgm"},
      {{VerdictKind::kInterleave, 0x80}, "interleave-0x80"},
      {{VerdictKind::kInterleave, 0x400}, "interleave-0x400"},
      {{VerdictKind::kInterleave, 0x10000}, "interleave-0x10000"},
      {{VerdictKind::kFrames}, "frames"},
      {{VerdictKind::kMono}, "mono"},
      {{VerdictKind::kBigEndian}, "big-endian"},
      {{VerdictKind::kOther}, "other"},
  };
  for (const auto& row : rows) EXPECT_EQ(VerdictWord(row.verdict), row.word);
}

}  // namespace
}  // namespace plivex
