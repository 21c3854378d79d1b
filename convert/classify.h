#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <string>

namespace plivex {

// What a file holds, judged from its bytes alone: the first of these that
// applies.
enum class VerdictKind {
  kWav,         // a RIFF, RF64 or BW64 WAVE file: a header, not headerless data
  kShort,       // under 16 KiB: too little to judge
  kSilence,     // every sample zero or nearly so: converting it is harmless
  kBgm,         // 16-bit little-endian stereo, 1024-byte blocks of 256 left then 256 right samples
  kInterleave,  // the same with blocks of another size (Verdict::interleave)
  kFrames,      // 16-bit little-endian stereo, left and right sample by sample (a WAV's body)
  kMono,        // 16-bit little-endian mono
  kBigEndian,   // 16-bit big-endian samples, in any of the layouts above
  kOther,       // anything else: ADPCM, compressed or other data
};

struct Verdict {
  VerdictKind kind;
  // For kInterleave: the bytes of one channel in a block, a power of two
  // from 0x80 to 0x10000, never 0x200 (that is kBgm). 0 for the others.
  std::uint32_t interleave = 0;

  bool operator==(const Verdict&) const = default;
};

// The verdict's word, as scripts and the CSV listing use it: "wav",
// "short", "silence", "bgm", "interleave-0x400" (the bytes per channel in
// hexadecimal), "frames", "mono", "big-endian", "other".
std::string VerdictWord(const Verdict& verdict);

// Reads bytes at `offset` into `buffer`; returns how many it got: any count
// from 1 up to the buffer's size, or 0 at the end of the file. A read may
// return fewer bytes than asked anywhere; the classifier asks again.
using ClassifyReadAt = std::function<std::size_t(std::uint64_t offset, std::span<std::uint8_t> buffer)>;

// The most bytes Classify reads from one file.
inline constexpr std::size_t kMostClassifiedBytes = 1 << 20;

// Decides what a file of `file_size` bytes holds. Reads at most
// kMostClassifiedBytes through `read_at`, from places spread over the file
// (a file of up to that size is read whole), each byte once; from a file of
// about 2 MB or more, where what the first quarter of that shows leaves no
// doubt, only that. A file that ends before `file_size` (a read that
// returns 0 early) is judged on what was read. The verdict depends only on
// the bytes, never on how many a read returns. Whatever `read_at` raises
// passes through.
Verdict Classify(std::uint64_t file_size, const ClassifyReadAt& read_at);

}  // namespace plivex
