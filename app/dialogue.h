#pragma once

// The console dialogue both programs share: the banner, the checks of the
// two file names, the closing of the files, and the one way every failed
// run ends. Each program brings its own texts.

#include <cstddef>
#include <cstdint>
#include <stdexcept>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"

namespace plivex {

// Raised right after a check has printed its own message (or the usage
// text): the failure ending adds nothing of its own.
struct EAbort : std::runtime_error {
  EAbort() : std::runtime_error("abort") {}
};

// What tells the programs apart in the dialogue they share.
struct ProgramTexts {
  std::string_view banner;
  void (*print_usage)();
  std::string_view no_output;     // the second name is missing
  std::string_view standard_input;  // the first name that means standard input, if any
  std::string_view cannot_read;   // reading the input failed (EReadError)
  std::string_view cannot_write;  // writing the output failed (EWriteError)
};

// Readies the process and writes the banner and an empty line.
void StartRun(const ProgramTexts& texts);

struct FileNames {
  std::string input;
  std::string output;
};

// Takes the first two arguments (after the program's own path) and checks
// them in order: a missing first one or exactly "/?" prints the usage text;
// one that is not an existing regular file (nor the program's name of
// standard input) prints the File Not Found line;
// a missing second one prints `texts.no_output`. Each raises EAbort after
// its message.
FileNames CheckFileNames(const ProgramTexts& texts, const std::vector<std::string>& arguments);

// Argument `index` (0 for the first after the program's own path), or an
// empty text when there are fewer.
std::string Argument(const std::vector<std::string>& arguments, std::size_t index);

// A sample rate argument: an integer (ParseInteger's syntax, which raises
// EConvertError) from 1000 to 48000 hertz. Outside that range it prints
// "Invalid Sample Rate !" and raises EAbort.
std::int32_t TakeSampleRate(std::string_view text);

// Closes both files at the end of a run that went well. Nothing was written
// to the input, so a failed close of it loses nothing; for the output it may
// mean lost data, which raises EWriteError.
void CloseFiles(platform::File& input, platform::File& output);

// When the failure ending waits for Enter: always (plivex: a console window
// opened just for the run stays readable, and a script gives it
// </dev/null), or only when standard input is a terminal, where someone can
// press it (plivex-pack: a script's input is never read).
enum class Wait { kAlways, kAtTerminal };

// Where every failed run ends: `message` (when not empty), both files
// closed, an empty line, "Abort !!!", and the wait for Enter. The files are
// closed before the wait, so nothing stays held while nobody answers.
void FailureEnding(std::string_view message, platform::File& input, platform::File& output,
                   Wait wait = Wait::kAlways);

// The failure ending for the failure being handled; called only from inside
// a catch block. Read and write failures get the program's message; every
// other failure (EAbort, whose message is out already, a file that cannot
// be opened or created, a lack of memory, anything unforeseen) the ending
// alone.
void FailureEnding(const ProgramTexts& texts, platform::File& input, platform::File& output);

}  // namespace plivex
