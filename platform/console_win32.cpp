#include <windows.h>

#include <string>

#include "platform/console.h"
#include "platform/system.h"
#include "platform/wide_text.h"

namespace plivex::platform {

namespace {

// A standard handle that can be used: GetStdHandle reports a failure with
// INVALID_HANDLE_VALUE and a process started without that handle with NULL.
system::Handle StandardHandle(DWORD which) {
  const HANDLE handle = GetStdHandle(which);
  if (handle == INVALID_HANDLE_VALUE || handle == nullptr) return system::kNoHandle;
  return system::FromHandle(handle);
}

// Writes all of `text` to a console, a call at a time, until it is out or a
// call fails or makes no progress.
void WriteConsoleAll(HANDLE console, const std::wstring& text) {
  std::size_t done = 0;
  while (done < text.size()) {
    const std::size_t left = text.size() - done;
    // Older consoles take at most some 64 KiB per call, and a line naming
    // a long path can be longer. A surrogate pair is not cut in two.
    std::size_t count = left > 8192 ? 8192 : left;
    if (count < left && IS_HIGH_SURROGATE(text[done + count - 1])) --count;
    DWORD put = 0;
    if (!WriteConsoleW(console, text.data() + done, static_cast<DWORD>(count), &put, nullptr) || put == 0) {
      return;
    }
    done += put;
  }
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

Handle StandardOutput() { return StandardHandle(STD_OUTPUT_HANDLE); }

bool IsTerminal(Handle handle) {
  DWORD mode = 0;
  return GetConsoleMode(ToHandle(handle), &mode) != 0;
}

Handle DuplicateStandardInput() {
  const Handle in = StandardInput();
  if (in == kNoHandle) {
    SetLastError(ERROR_INVALID_HANDLE);
    return kNoHandle;
  }
  HANDLE copy = nullptr;
  const HANDLE process = GetCurrentProcess();
  if (!DuplicateHandle(process, ToHandle(in), process, &copy, 0, FALSE, DUPLICATE_SAME_ACCESS)) {
    return kNoHandle;
  }
  return FromHandle(copy);
}

void WriteConsoleLine(std::string_view line) {
  const Handle out = StandardOutput();
  if (out == kNoHandle) return;
  // A console shows UTF-16 as it is, whatever its code page, so a name in
  // any script shows as typed; the console's code page is left alone.
  DWORD mode = 0;
  if (GetConsoleMode(ToHandle(out), &mode)) {
    WriteConsoleAll(ToHandle(out), ToWchar(Utf8ToWideForDisplay(line)));
    return;
  }
  // A file or a pipe gets the UTF-8 bytes through WriteFile as they are:
  // the line already ends in CR LF, and no text mode may add a second CR.
  // A console that is gone ends the line there; the run goes on.
  (void)WriteAll(out, AsBytes(line));
}

}  // namespace system

}  // namespace plivex::platform
