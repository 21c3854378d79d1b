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

// Writes `text` to the standard handle `handle` (kNoHandle: none) as the
// console shows text. A console shows UTF-16 as it is, whatever its code
// page, so a name in any script shows as typed; the console's code page is
// left alone. A file or a pipe gets the UTF-8 bytes through WriteFile as
// they are: no text mode may add a CR to a line's LF. A console that is
// gone ends the text there; the run goes on.
void WriteText(system::Handle handle, std::string_view text) {
  if (handle == system::kNoHandle) return;
  DWORD mode = 0;
  if (GetConsoleMode(system::ToHandle(handle), &mode)) {
    WriteConsoleAll(system::ToHandle(handle), ToWchar(Utf8ToWideForDisplay(text)));
    return;
  }
  (void)system::WriteAll(handle, system::AsBytes(text));
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

void WriteConsoleLine(std::string_view line) { WriteText(StandardOutput(), line); }

}  // namespace system

void WriteOutput(std::string_view text) { WriteText(system::StandardOutput(), text); }

void WriteError(std::string_view text) { WriteText(StandardHandle(STD_ERROR_HANDLE), text); }

bool StandardErrorIsTerminal() {
  const system::Handle error = StandardHandle(STD_ERROR_HANDLE);
  return error != system::kNoHandle && system::IsTerminal(error);
}

int TerminalColumns() {
  const system::Handle error = StandardHandle(STD_ERROR_HANDLE);
  CONSOLE_SCREEN_BUFFER_INFO info{};
  if (error == system::kNoHandle || !GetConsoleScreenBufferInfo(system::ToHandle(error), &info)) return 80;
  // The visible part of the screen buffer, which may be wider.
  const int columns = info.srWindow.Right - info.srWindow.Left + 1;
  return columns > 0 ? columns : 80;
}

// A console made for a process alone (a double click, files dropped onto
// the program) has that process as its only one; a command prompt, a
// script or a terminal has its own process on the console too. Without a
// console the count is 0. Given room for two, the count is exact up to two
// and at least two beyond.
bool ConsoleIsOwnWindow() {
  DWORD processes[2];
  return GetConsoleProcessList(processes, 2) == 1;
}

}  // namespace plivex::platform
