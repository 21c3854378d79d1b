#include "app/dialogue.h"

#include "app/integer_text.h"
#include "platform/console.h"
#include "platform/errors.h"

namespace plivex {

using platform::WriteLine;

void StartRun(const ProgramTexts& texts) {
  platform::PrepareProcess();
  WriteLine(texts.banner);
  WriteLine("");
}

std::string Argument(const std::vector<std::string>& arguments, std::size_t index) {
  return index < arguments.size() ? arguments[index] : std::string();
}

std::int32_t TakeSampleRate(std::string_view text) {
  constexpr std::int32_t kMinSampleRate = 1000;
  constexpr std::int32_t kMaxSampleRate = 48000;
  const std::int32_t rate = ParseInteger(text);
  if (rate > kMaxSampleRate || rate < kMinSampleRate) {
    WriteLine("Invalid Sample Rate !");
    throw EAbort();
  }
  return rate;
}

FileNames CheckFileNames(const ProgramTexts& texts, const std::vector<std::string>& arguments) {
  FileNames names{Argument(arguments, 0), Argument(arguments, 1)};
  if (names.input.empty() || names.input == "/?") {
    texts.print_usage();
    throw EAbort();
  }
  if (names.input != texts.standard_input && !platform::IsExistingFile(names.input)) {
    WriteLine("File Not Found \"" + names.input + "\" !");
    throw EAbort();
  }
  if (names.output.empty()) {
    WriteLine(texts.no_output);
    throw EAbort();
  }
  return names;
}

void CloseFiles(platform::File& input, platform::File& output) {
  (void)input.Close();
  output.CloseWritten();
}

void FailureEnding(std::string_view message, platform::File& input, platform::File& output, Wait wait) {
  if (!message.empty()) WriteLine(message);
  // The run has failed already and said so; a failed close changes nothing.
  (void)input.Close();
  (void)output.Close();
  WriteLine("");
  WriteLine("Abort !!!");
  if (wait == Wait::kAlways) {
    platform::WaitForEnter();
  } else {
    platform::WaitForEnterAtTerminal();
  }
}

void FailureEnding(const ProgramTexts& texts, platform::File& input, platform::File& output) {
  std::string_view message;
  try {
    throw;
  } catch (const EReadError&) {
    message = texts.cannot_read;
  } catch (const EWriteError&) {
    message = texts.cannot_write;
  } catch (...) {
  }
  FailureEnding(message, input, output);
}

}  // namespace plivex
