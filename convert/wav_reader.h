#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <variant>

#include "platform/file.h"

namespace plivex {

// Where the samples of an accepted WAV file are: 16-bit stereo PCM, block
// align 4.
struct WavLayout {
  std::uint32_t sample_rate;        // as written in the fmt chunk, 1 or more
  platform::ByteCount data_offset;  // where the first sample byte is
  // The sample bytes: the data chunk's size, or the rest of the file when
  // that size is 0xFFFFFFFF (left open by a streaming writer) or runs past
  // the end of the file. It may end in part of a frame.
  platform::ByteCount data_length;

  bool operator==(const WavLayout&) const = default;
};

// Why a file is not taken.
enum class WavProblem {
  kNotRiffWave,    // no "RIFF" size "WAVE" at the start (RF64 and RIFX included)
  kCutShort,       // the file ends inside a header or the fmt chunk's fields, a chunk
                   // walked past runs past the end, or the fmt chunk is under 16 bytes
  kNoFormatChunk,  // no "fmt " chunk before the end, or none before a data chunk whose
                   // samples take the rest of the file (open or past the end)
  kNoDataChunk,    // no "data" chunk
  kFloatingPoint,  // IEEE float samples; found: the (sub-)format tag, 3
  kNotPcm,         // found: the (sub-)format tag, or 0xFFFE for an extensible
                   // format that names no known sub-format
  kNotStereo,      // found: the channel count
  kNot16Bit,       // found: the bits per sample (for an extensible format, the
                   // container's, or the valid bits when those are not 16)
  kBadBlockAlign,  // found: the block align
  kNoSampleRate,   // the sample rate is 0
};

struct WavRefusal {
  WavProblem problem;
  std::uint32_t found;  // what was seen, as listed above; 0 for the other problems

  bool operator==(const WavRefusal&) const = default;
};

using WavHeader = std::variant<WavLayout, WavRefusal>;

// Reads bytes of a file at `offset` into the buffer and returns how many it
// got, which is less than asked for only at the end of the file.
using ReadAt = std::function<std::size_t(platform::ByteCount offset, std::span<std::uint8_t> buffer)>;

// Decides on the header of a file of `file_size` bytes, reading it through
// `read_at` in windows of up to 4 KiB, only inside the file. Of what is
// read, only the chunk headers and at most 40 bytes of the fmt chunk are
// looked at; a new window is read only when one of those is not in the
// last, so a chunk's body is skipped by its size, not read, and a file of
// many small chunks costs a read per window. A read that comes back short
// (the file is shorter than `file_size`) is a header cut short. Whatever
// `read_at` raises passes through.
WavHeader ParseWavHeader(platform::ByteCount file_size, const ReadAt& read_at);

// The same decision over a whole file held in memory.
WavHeader ParseWavHeader(std::span<const std::uint8_t> file);

// Decides on the header of `input`, read from its start, and on success
// leaves `input` positioned at the first sample byte. Raises EReadError
// when the file cannot be read or positioned.
WavHeader ReadWavHeader(platform::File& input);

}  // namespace plivex
