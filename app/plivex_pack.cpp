#include "app/plivex_pack.h"

#include <cstdint>
#include <cstdio>
#include <string>
#include <string_view>
#include <variant>

#include "app/dialogue.h"
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
  WriteLine("Usage: Plivex-Pack WavFile BgmFile");
  WriteLine("");
  WriteLine("       WavFile = Windows PCM 16Bit Stereo, Any Sample Rate");
  WriteLine("       BgmFile = Output File PS2 Bgm");
}

constexpr ProgramTexts kTexts = {
    .banner = kBanner,
    .print_usage = PrintUsage,
    .no_output = "Output Bgm File Not Specified !",
    .cannot_read = "Cannot Read WavFile !",
    .cannot_write = "Cannot Write BgmFile !",
};

std::string Count(std::uint32_t count, std::string_view one, std::string_view many) {
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
      return "WavFile Is Floating Point, Not PCM !";
    case WavProblem::kNotPcm: {
      char tag[16];
      std::snprintf(tag, sizeof tag, "0x%04X", static_cast<unsigned>(refusal.found));
      return "WavFile Is Not PCM (Format " + std::string(tag) + ") !";
    }
    case WavProblem::kNotStereo:
      return "WavFile Is Not Stereo (" + Count(refusal.found, "Channel", "Channels") + ") !";
    case WavProblem::kNot16Bit:
      return "WavFile Is Not 16Bit (" + std::to_string(refusal.found) + "Bit) !";
    case WavProblem::kBadBlockAlign:
      return "WavFile Block Align Is Not 4 (" + std::to_string(refusal.found) + ") !";
    case WavProblem::kNoSampleRate:
      return "WavFile Has No Sample Rate !";
  }
  // Never reached: the switch covers every WavProblem, and the reader makes
  // no other. It is here because an enum can hold a value outside its list,
  // and compilers warn about a function that can end without a return.
  return "WavFile Is Not 16Bit Stereo PCM !";
}

}  // namespace

bool RunPacker(const std::vector<std::string>& arguments) {
  StartRun(kTexts);
  platform::File input;
  platform::File output;
  try {
    const FileNames names = CheckFileNames(kTexts, arguments);
    input = platform::OpenInput(names.input);
    // The whole header is read and checked, and the memory taken, before
    // the output is created: a refused file never empties an existing one.
    const WavHeader header = ReadWavHeader(input);
    if (const auto* refusal = std::get_if<WavRefusal>(&header)) {
      WriteLine(RefusalMessage(*refusal));
      throw EAbort();
    }
    const WavLayout layout = std::get<WavLayout>(header);
    const BlockBuffers buffers(layout.data_length);
    output = platform::CreateOutput(names.output, input);

    WriteLine("Please Wait ...");
    WriteLine("");
    PackBlocks(input, output, layout.data_length, buffers);

    CloseFiles(input, output);
    // The Bgm file keeps no sample rate: the game plays it at its own, so
    // the user needs to know the one the samples were made for.
    WriteLine("WavFile Sample Rate Is " + std::to_string(layout.sample_rate) + " Hz (Not Stored In BgmFile)");
    WriteLine("Operation Successfully Completed.");
    return true;
  } catch (...) {
    FailureEnding(kTexts, input, output);
  }
  return false;
}

}  // namespace plivex
