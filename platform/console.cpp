#include "platform/console.h"

#include <string>

#include "platform/system.h"

namespace plivex::platform {

void WriteLine(std::string_view text) {
  std::string line(text);
  line += "\r\n";
  system::WriteConsoleLine(line);
}

void WaitForEnter() {
  const system::Handle in = system::StandardInput();
  if (in == system::kNoHandle) return;
  for (;;) {
    std::uint8_t c = 0;
    // A console delivers the line as typed, ending in CR LF (Windows) or LF;
    // a pipe or a file ends with a read of 0 bytes, a closed input with a
    // failure.
    if (system::ReadSome(in, std::span(&c, 1)) != 1 || c == '\n') return;
  }
}

bool StandardInputIsTerminal() {
  const system::Handle in = system::StandardInput();
  return in != system::kNoHandle && system::IsTerminal(in);
}

void WaitForEnterAtTerminal() {
  if (StandardInputIsTerminal()) WaitForEnter();
}

}  // namespace plivex::platform
