#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace plivex::platform {

// The program's arguments, without its own path. On POSIX these are the
// words the shell passed, with every empty one dropped; on Windows they are
// the process's command line split by SplitCommandLine. `argc` and `argv`
// are main's.
std::vector<std::string> ProgramArguments(int argc, char** argv);

// Splits a whole command line into words. Characters with codes 1 to 32
// separate words; a double quote opens a run up to the next double quote
// (or the end) in which separators belong to the word; the quotes themselves
// are dropped. A pair of adjacent double quotes where a word would begin is
// skipped like a separator, so an empty quoted word is not counted. The
// first word is the program's own path, as the system passes it.
std::vector<std::string> SplitCommandLine(std::string_view command_line);

}  // namespace plivex::platform
