#include <fcntl.h>
#include <signal.h>
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

void WriteConsoleLine(std::string_view line) {
  // A console that is gone (closed, a pipe nobody reads) ends the line
  // there; the run goes on.
  (void)WriteAll(STDOUT_FILENO, AsBytes(line));
}

}  // namespace system

}  // namespace plivex::platform
