#include "app/plivex_pack.h"

#include <cstdint>
#include <cstdio>
#include <limits>
#include <optional>
#include <string>
#include <string_view>
#include <variant>

#include "app/dialogue.h"
#include "app/integer_text.h"
#include "app/version.h"
#include "convert/bgm_blocks.h"
#include "convert/wav_reader.h"
#include "platform/console.h"
#include "platform/file.h"

namespace plivex {

namespace {

constexpr std::string_view kBanner = "Plivex-Pack V" PLIVEX_BANNER_VERSION " By Vorn Tessil / Q.L.K";

using platform::WriteLine;

void PrintUsage() {
  WriteLine("Usage: Plivex-Pack WavFile BgmFile [Size]");
  WriteLine("");
  WriteLine("       WavFile = Windows PCM 16Bit Stereo, Any Sample Rate");
  WriteLine("       BgmFile = Output File PS2 Bgm");
  WriteLine("       Size    = BgmFile Size In Bytes, Or A File Of That Size");
}

constexpr ProgramTexts kTexts = {
    .banner = kBanner,
    .print_usage = PrintUsage,
    .no_output = "Output Bgm File Not Specified !",
    .cannot_read = "Cannot Read WavFile !",
    .cannot_write = "Cannot Write BgmFile !",
};

std::string Count(std::uint64_t count, std::string_view one, std::string_view many) {
  return std::to_string(count) + " " + std::string(count == 1 ? one : many);
}

// What the user is told about a WAV file that is not taken: what was found.
std::string RefusalMessage(const WavRefusal& refusal) {
  switch (refusal.problem) {
    case WavProblem::kNotRiffWave:
      return "WavFile Is Not A RIFF/WAVE File !";
    case WavProblem::kCutShort:
      return "WavFile Header Is Cut Short !";
    case WavProblem::kNoFormatChunk:
      return "WavFile Has No Format Chunk !";
    case WavProblem::kNoDataChunk:
      return "WavFile Has No Data Chunk !";
    case WavProblem::kFloatingPoint:
      return "WavFile Is Not 32 Or 64Bit Floating Point (" + std::to_string(refusal.found) + "Bit) !";
    case WavProblem::kNotPcm: {
      char tag[16];
      std::snprintf(tag, sizeof tag, "0x%04X", static_cast<unsigned>(refusal.found));
      return "WavFile Is Not PCM (Format " + std::string(tag) + ") !";
    }
    case WavProblem::kNotStereo:
      return "WavFile Is Not Stereo (" + Count(refusal.found, "Channel", "Channels") + ") !";
    case WavProblem::kUnsupportedSampleSize:
      return "WavFile Is Not 8, 16, 24 Or 32Bit (" + std::to_string(refusal.found) + "Bit) !";
    case WavProblem::kBadBlockAlign:
      return "WavFile Block Align Is Not " + std::to_string(refusal.expected) + " (" +
             std::to_string(refusal.found) + ") !";
    case WavProblem::kNoSampleRate:
      return "WavFile Has No Sample Rate !";
  }
  // Never reached: the switch covers every WavProblem, and the reader makes
  // no other. It is here because an enum can hold a value outside its list,
  // and compilers warn about a function that can end without a return.
  return "WavFile Is Not 16Bit Stereo PCM !";
}

// The size the Bgm file must have, from the third argument: a byte count in
// the syntax of plivex's sample rate, or else the name of an existing file
// (typically the original that the music replaces), whose size is taken.
// Nothing when the argument is not given. Checked before any file is
// opened, so naming the output itself (to replace the original in place)
// takes its size before it is emptied.
std::optional<platform::ByteCount> TakeBgmSize(const std::string& text) {
  if (text.empty()) return std::nullopt;
  std::optional<platform::ByteCount> size;
  try {
    const std::int32_t number = ParseInteger(text);
    if (number > 0) size = static_cast<platform::ByteCount>(number);
  } catch (const EConvertError&) {
    size = platform::ExistingFileSize(text);
    if (!size) {
      WriteLine("Size File Not Found \"" + text + "\" !");
      throw EAbort();
    }
  }
  if (!size || *size == 0) {
    WriteLine("Invalid Size !");
    throw EAbort();
  }
  return size;
}

// "12.345 Seconds": `frames` at `rate` frames a second, to the millisecond.
std::string Seconds(platform::ByteCount frames, std::uint32_t rate) {
  platform::ByteCount whole = frames / rate;
  platform::ByteCount milliseconds = ((frames % rate) * 1000 + rate / 2) / rate;
  if (milliseconds == 1000) {
    ++whole;
    milliseconds = 0;
  }
  char fraction[8];
  std::snprintf(fraction, sizeof fraction, "%03u", static_cast<unsigned>(milliseconds));
  return std::to_string(whole) + "." + fraction + " Seconds";
}

// Tells how the music fitted the size the user asked for. A cut is what
// was asked for, so the run still succeeds, but it ends in " !" like every
// line that needs the user's eye.
void ReportFit(const WavLayout& layout, platform::ByteCount bgm_size) {
  const FrameFit fit = FitFrames(FrameCount(layout), bgm_size);
  const auto amount = [&](platform::ByteCount frames) {
    return Count(frames, "Frame", "Frames") + " (" + Seconds(frames, layout.sample_rate) + ")";
  };
  if (fit.dropped != 0) WriteLine("WavFile Longer Than Size: Last " + amount(fit.dropped) + " Cut Off !");
  if (fit.added != 0) WriteLine("WavFile Shorter Than Size: " + amount(fit.added) + " Of Silence Added");
}

}  // namespace

bool RunPacker(const std::vector<std::string>& arguments) {
  StartRun(kTexts);
  platform::File input;
  platform::File output;
  try {
    const FileNames names = CheckFileNames(kTexts, arguments);
    const std::optional<platform::ByteCount> bgm_size = TakeBgmSize(Argument(arguments, 2));
    input = platform::OpenInput(names.input);
    // The whole header is read and checked, and the memory taken, before
    // the output is created: a refused file never empties an existing one.
    const WavHeader header = ReadWavHeader(input);
    if (const auto* refusal = std::get_if<WavRefusal>(&header)) {
      WriteLine(RefusalMessage(*refusal));
      throw EAbort();
    }
    const WavLayout layout = std::get<WavLayout>(header);
    const platform::ByteCount output_size = bgm_size.value_or(PackedSize(layout));
    const BlockBuffers buffers(output_size);
    output = platform::CreateOutput(names.output, input);

    WriteLine("Please Wait ...");
    WriteLine("");
    PackBlocks(input, output, layout, output_size, std::numeric_limits<platform::ByteCount>::max(), buffers);

    CloseFiles(input, output);
    // The Bgm file keeps no sample rate: the game plays it at its own, so
    // the user needs to know the one the samples were made for.
    WriteLine("WavFile Sample Rate Is " + std::to_string(layout.sample_rate) + " Hz (Not Stored In BgmFile)");
    if (bgm_size) ReportFit(layout, *bgm_size);
    WriteLine("Operation Successfully Completed.");
    return true;
  } catch (...) {
    FailureEnding(kTexts, input, output);
  }
  return false;
}

}  // namespace plivex
