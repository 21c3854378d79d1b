#include <windows.h>

#include <string>
#include <utility>

#include "platform/errors.h"
#include "platform/file.h"
#include "platform/system.h"

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

namespace system {

std::int64_t ReadSome(Handle handle, std::span<std::uint8_t> buffer) {
  const auto count = static_cast<DWORD>(buffer.size() > kMaxTransfer ? kMaxTransfer : buffer.size());
  DWORD got = 0;
  if (!ReadFile(ToHandle(handle), buffer.data(), count, &got, nullptr)) {
    // A pipe whose writer has gone is the end of its data, not a failure.
    return GetLastError() == ERROR_BROKEN_PIPE ? 0 : -1;
  }
  return got;
}

std::int64_t WriteSome(Handle handle, std::span<const std::uint8_t> data) {
  const auto count = static_cast<DWORD>(data.size() > kMaxTransfer ? kMaxTransfer : data.size());
  DWORD put = 0;
  if (!WriteFile(ToHandle(handle), data.data(), count, &put, nullptr)) return -1;
  return put;
}

std::string LastError() { return "Windows error " + std::to_string(GetLastError()); }

bool Seek(Handle handle, ByteCount position) {
  // The distance is signed: a larger position cannot even be asked for.
  if (position > static_cast<ByteCount>(INT64_MAX)) {
    SetLastError(ERROR_NEGATIVE_SEEK);
    return false;
  }
  LARGE_INTEGER distance{};
  distance.QuadPart = static_cast<LONGLONG>(position);
  return SetFilePointerEx(ToHandle(handle), distance, nullptr, FILE_BEGIN) != 0;
}

}  // namespace system

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

ByteCount File::Size() const {
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(ToHandle(handle_), &size)) {
    throw EReadError("GetFileSizeEx: " + system::LastError());
  }
  return static_cast<ByteCount>(size.QuadPart);
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
