#pragma once

#include <string_view>

namespace plivex::platform {

// Makes writes that fail report an error instead of ending the process: a
// closed standard output or a full quota must not end a conversion half-way.
// On Windows it also keeps the system from holding a run up with a dialog
// (a path on an empty removable drive simply fails to open).
void PrepareProcess();

// Writes `text` and CR LF to standard output, unchanged byte for byte.
// A failed write is ignored: the console is only ever informative.
void WriteLine(std::string_view text);

// Reads standard input up to and including a line feed. Returns at once at
// the end of the input or on a read error, so a closed standard input never
// makes the program hang.
void WaitForEnter();

// WaitForEnter, but only when standard input is a terminal (on Windows, a
// console), where someone can press Enter. A pipe, a file or a closed
// input is never read, so that a script's own input stays its own.
void WaitForEnterAtTerminal();

// True when standard input is a terminal (on Windows, a console).
bool StandardInputIsTerminal();

}  // namespace plivex::platform
