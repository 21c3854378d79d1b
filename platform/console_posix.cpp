#include <errno.h>
#include <signal.h>
#include <unistd.h>

#include <string>

#include "platform/console.h"

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

void WriteLine(std::string_view text) {
  std::string line(text);
  line += "\r\n";
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const ssize_t written = write(STDOUT_FILENO, data, left);
    if (written < 0 && errno == EINTR) continue;
    if (written <= 0) return;  // the console is gone; the run goes on
    data += written;
    left -= static_cast<std::size_t>(written);
  }
}

void WaitForEnter() {
  for (;;) {
    char c = 0;
    const ssize_t got = read(STDIN_FILENO, &c, 1);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0 || c == '\n') return;  // end of input, error, or Enter
  }
}

}  // namespace plivex::platform
