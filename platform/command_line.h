#pragma once

#include <string>
#include <string_view>
#include <vector>

namespace plivex::platform {

// What becomes of an empty argument ("", or "$VAR" of an empty variable):
// dropped, so that the arguments after it move up a place, or kept in its
// place as an empty text.
enum class EmptyArguments { kDropped, kKept };

// The program's arguments, without its own path. On POSIX these are the
// words the shell passed; on Windows they are the process's command line
// split by SplitCommandLine. `argc` and `argv` are main's.
std::vector<std::string> ProgramArguments(int argc, char** argv, EmptyArguments empty);

// Splits a whole command line into words. Characters with codes 1 to 32
// separate words; a double quote opens a run up to the next double quote
// (or the end) in which separators belong to the word; the quotes themselves
// are dropped. A pair of adjacent double quotes where a word would begin is
// skipped like a separator, so an empty quoted word is not counted, unless
// `empty` keeps it as an empty word. The first word is the program's own
// path, as the system passes it.
std::vector<std::string> SplitCommandLine(std::string_view command_line,
                                          EmptyArguments empty = EmptyArguments::kDropped);

}  // namespace plivex::platform
