#include <windows.h>

#include <string>

#include "platform/console.h"

namespace plivex::platform {

namespace {

// A standard handle that can be used: GetStdHandle reports a failure with
// INVALID_HANDLE_VALUE and a process started without that handle with NULL.
HANDLE StandardHandle(DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  return handle == INVALID_HANDLE_VALUE ? nullptr : handle;
}

}  // namespace

void PrepareProcess() {
  // A failed write to a closed pipe or console already comes back as an
  // error on Windows; nothing ends the process for it. What can stop a run
  // instead is a system dialog ("There is no disk in the drive") when a
  // path names an empty removable drive: in a batch run nobody answers it.
  // With these flags the open fails like any other. SetErrorMode returns
  // the previous mode and cannot fail.
  (void)SetErrorMode(SEM_FAILCRITICALERRORS | SEM_NOOPENFILEERRORBOX);
}

void WriteLine(std::string_view text) {
  const HANDLE out = StandardHandle(STD_OUTPUT_HANDLE);
  if (out == nullptr) return;
  // WriteFile passes the bytes through as they are: the line already ends
  // in CR LF, and no text mode may add a second CR.
  std::string line(text);
  line += "\r\n";
  const char* data = line.data();
  std::size_t left = line.size();
  while (left > 0) {
    const DWORD chunk = left > 0x10000 ? 0x10000 : static_cast<DWORD>(left);
    DWORD written = 0;
    if (!WriteFile(out, data, chunk, &written, nullptr) || written == 0) {
      return;  // the console is gone; the run goes on
    }
    data += written;
    left -= written;
  }
}

void WaitForEnter() {
  const HANDLE in = StandardHandle(STD_INPUT_HANDLE);
  if (in == nullptr) return;
  for (;;) {
    char c = 0;
    DWORD got = 0;
    // A console delivers the line as typed, ending in CR LF; a pipe or a
    // file ends with a read of 0 bytes or a broken pipe.
    if (!ReadFile(in, &c, 1, &got, nullptr) || got == 0 || c == '\n') return;
  }
}

}  // namespace plivex::platform
