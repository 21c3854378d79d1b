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

// The end of a line of text, as programs of this system end theirs
// (plivex and plivex-pack end theirs in CR LF everywhere).
#ifdef _WIN32
inline constexpr std::string_view kLineEnd = "\r\n";
#else
inline constexpr std::string_view kLineEnd = "\n";
#endif

// Write `text` as it is, with no line end added (the caller ends its
// lines, and a progress line may end in a carriage return instead), to
// standard output and standard error: on a Windows console in UTF-16, so
// that a name in any script shows as typed, and elsewhere as its bytes.
// Failures are ignored: the console is only ever informative. They keep
// no state, so any thread may call them.
void WriteOutput(std::string_view text);
void WriteError(std::string_view text);

// True when standard error is a terminal (on Windows, a console), where a
// line redrawn in place can be seen.
bool StandardErrorIsTerminal();

// The width of standard error's terminal in characters, or 80 when it has
// none or does not say.
int TerminalColumns();

// Windows: true when the console was made for this process alone, as when
// it was started by a double click or by files dropped onto it, so that
// its window closes with it; false when it shares a console with another
// process (a command prompt, a script) or has none. POSIX: always false.
// Under Wine a program run from a Unix terminal gets a console of its own
// too, so there it is true as well.
bool ConsoleIsOwnWindow();

}  // namespace plivex::platform
