// Test helper for the Windows build: keeps a file open, as another program
// (a player, an editor) would, until its standard input ends.
//
//   plivex_hold_file ACCESS SHARE NAME
//
// ACCESS is r, w or rw; SHARE is what it lets others do meanwhile: r, rw or
// none. Prints "held" once the file is open, or "cannot open" and ends with
// status 1.

#include <windows.h>

#include <cstdio>
#include <cwchar>

namespace {

bool Parse(const wchar_t* text, DWORD read, DWORD write, DWORD* flags) {
  if (std::wcscmp(text, L"r") == 0) {
    *flags = read;
  } else if (std::wcscmp(text, L"w") == 0) {
    *flags = write;
  } else if (std::wcscmp(text, L"rw") == 0) {
    *flags = read | write;
  } else if (std::wcscmp(text, L"none") == 0) {
    *flags = 0;
  } else {
    return false;
  }
  return true;
}

}  // namespace

int wmain(int argc, wchar_t** argv) {
  DWORD access = 0;
  DWORD share = 0;
  if (argc != 4 || !Parse(argv[1], GENERIC_READ, GENERIC_WRITE, &access) ||
      !Parse(argv[2], FILE_SHARE_READ, FILE_SHARE_WRITE, &share)) {
    std::fputs("usage: plivex_hold_file r|w|rw r|rw|none NAME\n", stderr);
    return 2;
  }
  const HANDLE file =
      CreateFileW(argv[3], access, share, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (file == INVALID_HANDLE_VALUE) {
    std::printf("cannot open (Windows error %lu)\n", GetLastError());
    return 1;
  }
  std::puts("held");
  std::fflush(stdout);
  while (std::getchar() != EOF) {
  }
  return CloseHandle(file) ? 0 : 1;
}
