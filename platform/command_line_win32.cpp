#include <windows.h>

#include <string_view>

#include "platform/command_line.h"
#include "platform/wide_text.h"

namespace plivex::platform {

std::vector<std::string> ProgramArguments(int /*argc*/, char** /*argv*/, EmptyArguments empty) {
  // The command line in UTF-16 holds every name as typed; the ANSI one
  // would turn what the code page lacks into '?' or a look-alike. It is
  // split in its WTF-8 form: separators and the double quote are ASCII,
  // and no byte of a longer sequence is, so the words are the same.
  // The C runtime's argv follows its own quoting rules (backslashes before
  // a quote, "" inside a quoted run); the program splits the command line
  // itself so that every Windows build reads it the same way. The first
  // word is the program's own path, however it was spelt.
  const wchar_t* command_line = GetCommandLineW();
  const std::wstring_view wide =
      command_line != nullptr ? std::wstring_view(command_line) : std::wstring_view();
  std::vector<std::string> words = SplitCommandLine(WideToUtf8(FromWchar(wide)), empty);
  if (!words.empty()) words.erase(words.begin());
  return words;
}

}  // namespace plivex::platform
