#include <windows.h>

#include "platform/command_line.h"

namespace plivex::platform {

std::vector<std::string> ProgramArguments(int /*argc*/, char** /*argv*/) {
  // The C runtime's argv follows its own quoting rules (backslashes before
  // a quote, "" inside a quoted run); the program splits the command line
  // itself so that every Windows build reads it the same way. The first
  // word is the program's own path, however it was spelt.
  const char* command_line = GetCommandLineA();
  std::vector<std::string> words = SplitCommandLine(command_line != nullptr ? command_line : "");
  if (!words.empty()) words.erase(words.begin());
  return words;
}

}  // namespace plivex::platform
