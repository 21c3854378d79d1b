#include "platform/command_line.h"

namespace plivex::platform {

namespace {

bool IsSeparator(char c) {
  const auto code = static_cast<unsigned char>(c);
  return code >= 1 && code <= 32;
}

}  // namespace

std::vector<std::string> SplitCommandLine(std::string_view command_line, EmptyArguments empty) {
  std::vector<std::string> words;
  std::size_t pos = 0;
  const std::size_t end = command_line.size();
  for (;;) {
    // Skip separators and empty quoted pairs up to the start of a word.
    for (;;) {
      while (pos < end && IsSeparator(command_line[pos])) ++pos;
      if (empty == EmptyArguments::kDropped && pos + 1 < end && command_line[pos] == '"' &&
          command_line[pos + 1] == '"') {
        pos += 2;
        continue;
      }
      break;
    }
    if (pos >= end) break;

    std::string word;
    while (pos < end && !IsSeparator(command_line[pos])) {
      if (command_line[pos] == '"') {
        ++pos;
        while (pos < end && command_line[pos] != '"') word += command_line[pos++];
        if (pos < end) ++pos;  // the closing quote
      } else {
        word += command_line[pos++];
      }
    }
    words.push_back(std::move(word));
  }
  return words;
}

}  // namespace plivex::platform
