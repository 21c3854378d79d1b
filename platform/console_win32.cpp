#include <windows.h>

#include "platform/console.h"
#include "platform/system.h"

namespace plivex::platform {

namespace {

// A standard handle that can be used: GetStdHandle reports a failure with
// INVALID_HANDLE_VALUE and a process started without that handle with NULL.
system::Handle StandardHandle(DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return system::kNoHandle;
  return reinterpret_cast<system::Handle>(handle);
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

namespace system {

Handle StandardInput() { return StandardHandle(STD_INPUT_HANDLE); }

void WriteConsoleLine(std::string_view line) {
  const Handle out = StandardHandle(STD_OUTPUT_HANDLE);
  if (out == kNoHandle) return;
  // WriteFile passes the bytes through as they are: the line already ends
  // in CR LF, and no text mode may add a second CR. A console that is gone
  // ends the line there; the run goes on.
  (void)WriteAll(out, AsBytes(line));
}

}  // namespace system

}  // namespace plivex::platform
