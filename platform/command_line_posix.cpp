#include "platform/command_line.h"

namespace plivex::platform {

std::vector<std::string> ProgramArguments(int argc, char** argv, EmptyArguments empty) {
  // The shell has already split the words. An empty word ("") is dropped
  // when asked, as the Windows command line splitter drops an empty quoted
  // pair, so that `plivex "" in out` behaves the same everywhere.
  std::vector<std::string> arguments;
  for (int i = 1; i < argc; ++i) {
    if (argv[i] == nullptr) continue;
    if (argv[i][0] != '\0' || empty == EmptyArguments::kKept) arguments.emplace_back(argv[i]);
  }
  return arguments;
}

}  // namespace plivex::platform
