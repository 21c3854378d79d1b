#pragma once

// The words plivex-pack uses for what it found in a WAV file, for why a
// file operation failed and for how the music fitted a Size. Shared with
// plivex-batch, which reports the same faults in the same words. Each is
// part of a console line that stays fixed byte for byte.

#include <cstdint>
#include <string>
#include <string_view>

#include "convert/wav_reader.h"
#include "platform/errors.h"
#include "platform/file.h"

namespace plivex {

// `count` and the noun for it: "1 Frame", "0 Frames", "2 Frames".
std::string Count(std::uint64_t count, std::string_view one, std::string_view many);

// `frames` at `rate` frames a second, to the millisecond, rounded to the
// nearest: "12.345 Seconds". A few frames read as "0.001 Seconds", never as
// nothing. `rate` is 1 or more.
std::string Seconds(platform::ByteCount frames, std::uint32_t rate);

// What the user is told about a WAV file that is not taken, naming what
// was found: "WavFile Is Not Stereo (6 Channels) !". A whole line.
std::string RefusalMessage(const WavRefusal& refusal);

// What the samples of `layout` are: "16Bit Stereo", "24Bit Mono",
// "32Bit Float Stereo".
std::string Kind(const WavLayout& layout);

// Why a file operation failed, in a few capitalised words: "Disk Full",
// "File Ended Early"; for a failure the program has no words for, the
// system's own ("Input/output error"), or "Unknown Error" when it gave
// none. With `creating`, a missing name is a missing folder ("Folder Not
// Found"), else a missing file ("File Not Found"). The reason of the
// "Cannot ... \"name\": reason !" lines.
std::string Why(const SystemFailure& failure, bool creating);

// An extended attribute of the replaced file that the new one could not be
// given, and why: "Attribute \"user.comment\" Not Kept: Permission Denied".
std::string NotKept(const platform::AttributeNotKept& attribute);

// How the music fitted the Size: at most one of the two is not empty.
struct FitWords {
  std::string cut_off;        // "Last 22050 Frames (0.459 Seconds) Cut Off"
  std::string silence_added;  // "22050 Frames (0.459 Seconds) Of Silence Added"
};

// The fit of `frames` whole frames at `rate` frames a second in a Bgm file
// of `bgm_size` bytes (see FitFrames): both empty when they fill it
// exactly.
FitWords DescribeFit(platform::ByteCount frames, std::uint32_t rate, platform::ByteCount bgm_size);

// What a Size cut off an open stream, whose length nobody knows.
inline constexpr std::string_view kRestOfStreamCutOff = "Rest Of Stream Cut Off";

// The line plivex-pack prints for a fit: "WavFile Longer Than Size: " and
// the words cut off, then " !", since a cut needs the user's eye; or
// "WavFile Shorter Than Size: " and the words of the silence added. Empty
// when both are empty.
std::string FitLine(const FitWords& fit);

}  // namespace plivex
