#include "app/plivex.h"

#include <cstdint>
#include <string_view>

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

std::string Argument(const std::vector<std::string>& arguments, std::size_t index) {
  return index < arguments.size() ? arguments[index] : std::string();
}

// Where every failed run ends: the failure's own line (if it has one that
// was not printed yet), both files closed, "Abort !!!", and a wait for Enter
// so that a console window opened just for this run stays readable.
void FailureEnding(std::string_view message, platform::File& input, platform::File& output) {
  if (!message.empty()) WriteLine(message);
  // The run has failed already and said so; a failed close changes nothing.
  (void)input.Close();
  (void)output.Close();
  WriteLine("");
  WriteLine("Abort !!!");
  platform::WaitForEnter();
}

}  // namespace

bool IsConvertibleLength(std::uint64_t length) {
  // The header's sizes and the length itself are 32-bit signed counts.
  constexpr std::uint64_t kMaxInputLength = 0x7FFFFFFF;
  return length <= kMaxInputLength;
}

void PrintUsage() {
  WriteLine("Usage: Plivex BgmFile WavFile [Sample Rate]");
  WriteLine("");
  WriteLine("       BgmFile = PS2 Bgm File");
  WriteLine("       WavFile = Output File Windows PCM 16Bit Stereo");
  WriteLine("       Default Sample Rate Is 48000");
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
    const std::uint64_t input_length = input.Size();
    if (!IsConvertibleLength(input_length)) {
      WriteLine("BgmFile Too Large !");
      throw EAbort();
    }
    output = platform::CreateOutput(wav_file, input);

    const auto length = static_cast<std::int64_t>(input_length);
    WriteWavHeader(output, sample_rate, length);
    WriteLine("Please Wait ...");
    WriteLine("");
    ConvertBlocks(input, output, length);

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
