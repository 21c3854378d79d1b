#include "app/plivex.h"

#include <cstdint>
#include <string_view>

#include "app/dialogue.h"
#include "app/integer_text.h"
#include "app/version.h"
#include "convert/bgm_blocks.h"
#include "convert/wav_header.h"
#include "platform/console.h"
#include "platform/file.h"

namespace plivex {

namespace {

// "Plivex V1.1 By Vorn Tessil / Q.L.K" for every 1.1.x release.
constexpr std::string_view kBanner = "Plivex V" PLIVEX_BANNER_VERSION " By Vorn Tessil / Q.L.K";
constexpr std::int32_t kDefaultSampleRate = 48000;

using platform::WriteLine;

void PrintUsage() {
  WriteLine("Usage: Plivex BgmFile WavFile [Sample Rate]");
  WriteLine("");
  WriteLine("       BgmFile = PS2 Bgm File");
  WriteLine("       WavFile = Output File Windows PCM 16Bit Stereo");
  WriteLine("       Default Sample Rate Is 48000");
}

constexpr ProgramTexts kTexts = {
    .banner = kBanner,
    .print_usage = PrintUsage,
    .no_output = "Output Wav File Not Specified !",
    .standard_input = {},  // "-" is a file name like any other
    .cannot_read = "Cannot Read BgmFile !",
    .cannot_write = "Cannot Write WavFile !",
};

// True when an input of `length` bytes can be converted.
bool IsConvertibleLength(platform::ByteCount length) { return length <= kMaxBgmSize; }

}  // namespace

void RunConverter(const std::vector<std::string>& arguments) {
  StartRun(kTexts);
  platform::File input;
  platform::File output;
  try {
    const FileNames names = CheckFileNames(kTexts, arguments);
    const std::string rate_text = Argument(arguments, 2);
    const std::int32_t sample_rate = rate_text.empty() ? kDefaultSampleRate : TakeSampleRate(rate_text);

    input = platform::OpenInput(names.input);
    // Checked before the output is created, so a refused input never
    // empties an existing output file.
    const platform::ByteCount input_length = input.Size();
    if (!IsConvertibleLength(input_length)) {
      WriteLine("BgmFile Too Large !");
      throw EAbort();
    }
    // Taken before the output is created: without the memory, the run
    // ends here (std::bad_alloc, the bare ending) with no file touched.
    const BlockBuffers buffers(input_length);
    output = platform::CreateOutput(names.output, input);

    WriteWavHeader(output, sample_rate, input_length);
    WriteLine("Please Wait ...");
    WriteLine("");
    ConvertBlocks(input, output, input_length, buffers);

    CloseFiles(input, output);
    WriteLine("Operation Successfully Completed.");
  } catch (const EConvertError&) {
    FailureEnding("Invalid Sample Rate !", input, output);
  } catch (...) {
    FailureEnding(kTexts, input, output);
  }
}

}  // namespace plivex
