#include "app/plivex.h"

#include <cstdint>
#include <string_view>

#include "app/dialogue.h"
#include "app/integer_text.h"
#include "app/version.h"
#include "convert/bgm_blocks.h"
#include "convert/wav_header.h"
#include "platform/console.h"
#include "platform/errors.h"
#include "platform/file.h"

namespace plivex {

namespace {

// "Plivex V1.1 By Vorn Tessil / Q.L.K" for every 1.1.x release.
constexpr std::string_view kBanner = "Plivex V" PLIVEX_BANNER_VERSION " By Vorn Tessil / Q.L.K";
constexpr std::int32_t kDefaultSampleRate = 48000;
constexpr std::int32_t kMinSampleRate = 1000;
constexpr std::int32_t kMaxSampleRate = 48000;

using platform::WriteLine;

void PrintUsage() {
  WriteLine("Usage: Plivex BgmFile WavFile [Sample Rate]");
  WriteLine("");
  WriteLine("       BgmFile = PS2 Bgm File");
  WriteLine("       WavFile = Output File Windows PCM 16Bit Stereo");
  WriteLine("       Default Sample Rate Is 48000");
}

}  // namespace

bool IsConvertibleLength(platform::ByteCount length) {
  // The input length is a signed 32-bit count; every length up to its
  // largest value also fits both unsigned 32-bit size fields of the header
  // (the RIFF size is 36 more).
  constexpr platform::ByteCount kMaxInputLength = 0x7FFFFFFF;
  return length <= kMaxInputLength;
}

void RunConverter(const std::vector<std::string>& arguments) {
  platform::PrepareProcess();
  WriteLine(kBanner);
  WriteLine("");

  platform::File input;
  platform::File output;
  try {
    const std::string bgm_file = Argument(arguments, 0);
    const std::string wav_file = Argument(arguments, 1);
    const std::string rate_text = Argument(arguments, 2);

    if (bgm_file.empty() || bgm_file == "/?") {
      PrintUsage();
      throw EAbort();
    }
    if (!platform::IsExistingFile(bgm_file)) {
      WriteLine("File Not Found \"" + bgm_file + "\" !");
      throw EAbort();
    }
    if (wav_file.empty()) {
      WriteLine("Output Wav File Not Specified !");
      throw EAbort();
    }
    const std::int32_t sample_rate = rate_text.empty() ? kDefaultSampleRate : ParseInteger(rate_text);
    if (sample_rate > kMaxSampleRate || sample_rate < kMinSampleRate) {
      WriteLine("Invalid Sample Rate !");
      throw EAbort();
    }

    input = platform::OpenInput(bgm_file);
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
    output = platform::CreateOutput(wav_file, input);

    WriteWavHeader(output, sample_rate, input_length);
    WriteLine("Please Wait ...");
    WriteLine("");
    ConvertBlocks(input, output, input_length, buffers);

    // Nothing was written to the input, so a failed close loses nothing.
    (void)input.Close();
    // For the output a failed close may mean lost data: not a success.
    if (!output.Close()) throw EWriteError("close: the output may be incomplete");
    WriteLine("Operation Successfully Completed.");
  } catch (const EConvertError&) {
    FailureEnding("Invalid Sample Rate !", input, output);
  } catch (const EReadError&) {
    FailureEnding("Cannot Read BgmFile !", input, output);
  } catch (const EWriteError&) {
    FailureEnding("Cannot Write WavFile !", input, output);
  } catch (...) {
    // EAbort (the message is out already), EFOpenError, EFCreateError, and
    // anything unforeseen: the ending alone.
    FailureEnding("", input, output);
  }
}

}  // namespace plivex
