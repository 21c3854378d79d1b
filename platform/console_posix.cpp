#include <fcntl.h>
#include <signal.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <span>

#include "platform/console.h"
#include "platform/system.h"

namespace plivex::platform {

void PrepareProcess() {
  // Writing to a closed pipe must fail with EPIPE, which WriteLine ignores,
  // instead of killing the process in the middle of a conversion. Likewise a
  // write past the user's file size limit must fail with EFBIG (and be
  // reported) instead of killing the process with SIGXFSZ.
  // signal() only fails for an invalid signal number; these are valid.
  (void)signal(SIGPIPE, SIG_IGN);
  (void)signal(SIGXFSZ, SIG_IGN);
}

namespace system {

Handle StandardInput() { return STDIN_FILENO; }

Handle StandardOutput() { return STDOUT_FILENO; }

bool IsTerminal(Handle handle) { return isatty(static_cast<int>(handle)) == 1; }

// Clear of 0, 1 and 2, as every file the program opens.
Handle DuplicateStandardInput() { return fcntl(STDIN_FILENO, F_DUPFD_CLOEXEC, STDERR_FILENO + 1); }

void WriteConsoleLine(std::string_view line) { WriteOutput(line); }

}  // namespace system

// A console that is gone (closed, a pipe nobody reads) ends the text
// there; the run goes on.
void WriteOutput(std::string_view text) { (void)system::WriteAll(STDOUT_FILENO, system::AsBytes(text)); }

void WriteError(std::string_view text) { (void)system::WriteAll(STDERR_FILENO, system::AsBytes(text)); }

bool StandardErrorIsTerminal() { return system::IsTerminal(STDERR_FILENO); }

int TerminalColumns() {
  winsize size{};
  // A terminal that does not know its size says 0.
  if (ioctl(STDERR_FILENO, TIOCGWINSZ, &size) != 0 || size.ws_col == 0) return 80;
  return size.ws_col;
}

bool ConsoleIsOwnWindow() { return false; }

}  // namespace plivex::platform
