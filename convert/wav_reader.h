#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <span>
#include <variant>

#include "convert/samples.h"
#include "platform/file.h"

namespace plivex {

// Where the samples of an accepted WAV file are, and how they are stored:
// integer PCM in containers of 1 to 4 bytes or IEEE float of 4 or 8 bytes,
// mono or stereo.
struct WavLayout {
  std::uint32_t sample_rate;        // as written in the fmt chunk, 1 or more
  platform::ByteCount data_offset;  // where the first sample byte is
  // The sample bytes: the data chunk's size (for RF64 and BW64 the ds64
  // chunk's when that is 0xFFFFFFFF). A placeholder size (see
  // IsPlaceholderSize) is the rest of a file, and leaves a stream's length
  // open. A file's other sizes are taken as they are, even when they run
  // past its end (ReadWavHeader refuses that file). It may end in part of a
  // frame.
  platform::ByteCount data_length;
  std::uint32_t channels;   // 1 or 2
  SampleEncoding encoding;  // how each sample is stored, decided by the container size
  std::uint32_t bits;       // what to call the samples: the valid bits of an extensible
                            // format when it gives them, else the bits per sample
  // A stream whose data size is a placeholder: its samples end where the
  // stream does, which only reading it finds, and data_length is the
  // largest ByteCount. A stream's real size is read exactly, as a file's.
  bool length_is_open;

  bool operator==(const WavLayout&) const = default;
};

// The data sizes that writers put in a header when they do not know the
// length, because they write to a pipe or have not finished: 0xFFFFFFFF
// (ffmpeg, and RIFF files of unknown length in general), and 0x7FFFF000
// rounded down to whole frames of `frame_size` bytes (sox, 0x7FFFEFFC for
// 24-bit stereo). A stream's data size of 0 is one too; a file's means no
// samples.
bool IsPlaceholderSize(std::uint32_t size, std::size_t frame_size);

// The bytes of one frame (the block align): channels times the sample size.
std::size_t FrameSize(const WavLayout& layout);

// The whole frames of the data, data_length / FrameSize; for an open
// stream, the most a ByteCount holds.
platform::ByteCount FrameCount(const WavLayout& layout);

// True unless the samples are 16-bit stereo, which are packed as they are.
bool NeedsConversion(const WavLayout& layout);

// Why a file is not taken.
enum class WavProblem {
  kNotRiffWave,            // no "RIFF", "RF64" or "BW64", a size, "WAVE" at the start
                           // (RIFX included), or an RF64/BW64 whose first chunk is not ds64
  kCutShort,               // the file ends inside a header, the ds64 chunk or the fmt chunk's
                           // fields, a chunk walked past runs past the end, the fmt chunk is
                           // under 16 bytes, or the ds64 chunk is under 28 bytes or too short
                           // for its table
  kNoFormatChunk,          // no "fmt " chunk before the end, or none before a data chunk whose
                           // samples take the rest of the file (open or past the end, or any
                           // data chunk of a stream)
  kNoDataChunk,            // no "data" chunk
  kFloatingPoint,          // IEEE float samples of another size than 32 or 64 bits; found: the
                           // bits per sample (or valid bits above them)
  kNotPcm,                 // found: the (sub-)format tag, or 0xFFFE for an extensible
                           // format that names no known sub-format
  kNotStereo,              // 0 or more than 2 channels; found: the channel count
  kUnsupportedSampleSize,  // integer samples of 0 or more than 32 bits; found: the
                           // bits per sample (or valid bits above them)
  kBadBlockAlign,          // expected: channels times the container's bytes; found: the block align
  kNoSampleRate,           // the sample rate is 0
};

struct WavRefusal {
  WavProblem problem;
  std::uint32_t found;         // what was seen, as listed above; 0 for the other problems
  std::uint32_t expected = 0;  // what was needed instead, for kBadBlockAlign; else 0

  bool operator==(const WavRefusal&) const = default;
};

using WavHeader = std::variant<WavLayout, WavRefusal>;

// Reads bytes of a file at `offset` into the buffer and returns how many it
// got, which is less than asked for only at the end of the file.
using ReadAt = std::function<std::size_t(platform::ByteCount offset, std::span<std::uint8_t> buffer)>;

// Decides on the header of a file of `file_size` bytes, reading it through
// `read_at` in windows of up to 4 KiB, only inside the file. Of what is
// read, only the chunk headers, the ds64 chunk's fields and table, and at
// most 40 bytes of the fmt chunk are looked at; a new window is read only
// when one of those is not in the last, so a chunk's body is skipped by its
// size, not read, and a file of many small chunks costs a read per window.
// A read that comes back short (the file is shorter than `file_size`) is a
// header cut short. Whatever `read_at` raises passes through.
WavHeader ParseWavHeader(platform::ByteCount file_size, const ReadAt& read_at);

// The same decision over a whole file held in memory.
WavHeader ParseWavHeader(std::span<const std::uint8_t> file);

// Decides on the header of `input`, read from its start, and on success
// leaves `input` positioned at the first sample byte. Raises EReadError
// when the file cannot be read or positioned, and (kEndedEarly) when it
// ends before its data chunk does: a writer stopped before the end, whose
// size was no placeholder.
WavHeader ReadWavHeader(platform::File& input);

// Reads the next bytes of a stream into the buffer and returns how many it
// got, which is less than asked for only at the end of the stream.
using ReadNext = std::function<std::size_t(std::span<std::uint8_t> buffer)>;

// Decides on the header of a stream (a pipe) read strictly forward through
// `read_next`, never asking for its size: the same decision as
// ParseWavHeader's, except that the samples must come after the fmt chunk
// (a data chunk before it is kNoFormatChunk), that a placeholder data size
// (and a ds64 data size of 0) leaves the length open (length_is_open), and
// that any other size is the length whatever follows (no end of the stream
// is known yet). Chunk bodies are skipped by reading them. Reads nothing
// past the data chunk's header, so the next byte of the stream is the
// first sample byte; data_offset is the count of bytes read. Whatever
// `read_next` raises passes through.
WavHeader ParseWavStream(const ReadNext& read_next);

// ParseWavStream over `input` from its current position, through
// File::Read; on success the next byte read is the first sample byte.
// Never seeks and never asks for the size. Raises EReadError when the
// input cannot be read.
WavHeader ReadWavStream(platform::File& input);

}  // namespace plivex
