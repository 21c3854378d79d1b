#include <windows.h>

#include <string>
#include <utility>

#include "platform/errors.h"
#include "platform/file.h"

namespace plivex::platform {

namespace {

// The most one ReadFile or WriteFile call is asked to move; their counts
// are 32-bit.
constexpr std::size_t kMaxTransfer = 0x40000000;

HANDLE ToHandle(std::intptr_t handle) { return reinterpret_cast<HANDLE>(handle); }

std::intptr_t FromHandle(HANDLE handle) { return reinterpret_cast<std::intptr_t>(handle); }

std::string Reason(const char* operation, const std::string& path, DWORD error) {
  return std::string(operation) + "(" + path + "): Windows error " + std::to_string(error);
}

}  // namespace

bool IsExistingFile(const std::string& path) {
  // Unlike a directory search, this takes the name literally: no wildcards,
  // and nothing but the attributes is looked at.
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExA(path.c_str(), GetFileExInfoStandard, &data)) return false;
  return (data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) == 0;
}

bool File::Close() noexcept {
  if (!IsOpen()) return true;
  return CloseHandle(ToHandle(std::exchange(handle_, kNoHandle))) != 0;
}

std::size_t File::Read(std::span<std::uint8_t> buffer) {
  const HANDLE handle = ToHandle(handle_);
  std::size_t done = 0;
  while (done < buffer.size()) {
    const std::size_t left = buffer.size() - done;
    const auto chunk = static_cast<DWORD>(left > kMaxTransfer ? kMaxTransfer : left);
    DWORD got = 0;
    if (!ReadFile(handle, buffer.data() + done, chunk, &got, nullptr)) {
      throw EReadError(Reason("ReadFile", "input", GetLastError()));
    }
    if (got == 0) break;  // end of file
    done += got;
  }
  return done;
}

void File::Write(std::span<const std::uint8_t> data) {
  const HANDLE handle = ToHandle(handle_);
  std::size_t done = 0;
  while (done < data.size()) {
    const std::size_t left = data.size() - done;
    const auto chunk = static_cast<DWORD>(left > kMaxTransfer ? kMaxTransfer : left);
    DWORD put = 0;
    if (!WriteFile(handle, data.data() + done, chunk, &put, nullptr)) {
      throw EWriteError(Reason("WriteFile", "output", GetLastError()));
    }
    // A write that makes no progress would loop forever.
    if (put == 0) throw EWriteError("WriteFile(output): no bytes written");
    done += put;
  }
}

std::uint64_t File::Size() const {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(ToHandle(handle_), &size)) {
    throw EReadError(Reason("GetFileSizeEx", "input", GetLastError()));
  }
  return static_cast<std::uint64_t>(size.QuadPart);
}

File OpenInput(const std::string& path) {
  // Share mode 0: while the input is open, no other open of it succeeds,
  // neither another program's nor this program's own output.
  const HANDLE handle =
      CreateFileA(path.c_str(), GENERIC_READ, 0, nullptr, OPEN_EXISTING, FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) throw EFOpenError(Reason("CreateFileA", path, GetLastError()));
  File file(FromHandle(handle));
  // A device name (NUL, CON, COM1) opens too; only a file on disk is input.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    throw EFOpenError("CreateFileA(" + path + "): not a file on disk");
  }
  return file;
}

File CreateOutput(const std::string& path, const File& /*input*/) {
  // The input is held with share mode 0, so when `path` is the input under
  // any name (another spelling, a hard link) this create fails with a
  // sharing violation before CREATE_ALWAYS empties anything. A file that
  // another program holds fails the same way.
  const HANDLE handle = CreateFileA(path.c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    throw EFCreateError(Reason("CreateFileA", path, GetLastError()));
  }
  return File(FromHandle(handle));
}

}  // namespace plivex::platform
