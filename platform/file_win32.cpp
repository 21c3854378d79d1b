#include <windows.h>

#include <optional>
#include <string>
#include <utility>

#include "platform/errors.h"
#include "platform/file.h"
#include "platform/system.h"
#include "platform/wide_text.h"

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

// What GetFullPathNameW makes of `path`, or an empty text when it fails.
std::u16string FullPath(const std::wstring& path) {
  std::wstring full(MAX_PATH, L'\0');
  for (;;) {
    const DWORD needed =
        GetFullPathNameW(path.c_str(), static_cast<DWORD>(full.size()), full.data(), nullptr);
    if (needed == 0) return {};
    // On success the count leaves out the terminating NUL; when the buffer
    // is too small it is the size needed, NUL included.
    if (needed < full.size()) {
      full.resize(needed);
      return FromWchar(full);
    }
    full.assign(needed, L'\0');
  }
}

// The name the wide file services get for `path` (UTF-8, as the program
// holds it), or nothing when `path` is not the UTF-8 form of any name.
std::optional<std::wstring> SystemName(const std::string& path) {
  const std::optional<std::u16string> wide = Utf8ToWide(path);
  if (!wide) return std::nullopt;
  const std::wstring as_typed = ToWchar(*wide);
  return ToWchar(LongPathForm(*wide, FullPath(as_typed)));
}

// Who a file on disk is, whatever name it was opened by.
struct FileIdentity {
  // The volume's serial number (its low 32 bits, which both sources give);
  // 0 when the system could not name the volume.
  DWORD volume = 0;
  FILE_ID_128 id{};
  LONGLONG size = 0;
};

std::optional<FileIdentity> Identify(HANDLE handle) {
  FileIdentity identity;
  BY_HANDLE_FILE_INFORMATION info{};
  FILE_ID_INFO id_info{};
  if (GetFileInformationByHandle(handle, &info)) {
    identity.volume = info.dwVolumeSerialNumber;
    // The 64-bit index, laid out as the low half of a 128-bit identifier,
    // which is what FileIdInfo gives for the same file on NTFS.
    const ULONGLONG index = (static_cast<ULONGLONG>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
    for (int i = 0; i < 8; ++i) identity.id.Identifier[i] = static_cast<BYTE>(index >> (8 * i));
  } else if (GetFileInformationByHandleEx(handle, FileIdInfo, &id_info, sizeof id_info)) {
    // A handle that refuses the first query: one opened without the right
    // to read attributes, or under Wine one inherited from a Unix shell
    // (`wine plivex.exe ... > out.wav`), whose volume stays unknown (0).
    identity.volume = static_cast<DWORD>(id_info.VolumeSerialNumber);
    identity.id = id_info.FileId;
  } else {
    return std::nullopt;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(handle, &size)) return std::nullopt;
  identity.size = size.QuadPart;
  return identity;
}

bool SameFile(const FileIdentity& a, const FileIdentity& b) {
  for (int i = 0; i < 16; ++i) {
    if (a.id.Identifier[i] != b.id.Identifier[i]) return false;
  }
  if (a.volume != 0 && b.volume != 0) return a.volume == b.volume;
  // One volume is unknown: the same identifier on another volume is a
  // different file, so both must also have the same size right now (one
  // file seen through two handles always has).
  return a.size == b.size;
}

// True when `file` is the file on disk that standard output goes to: the
// console lines would land in its data. A console, a pipe or a device
// (NUL) keeps no file, so it may be both; so may a standard output that
// cannot be identified.
bool IsStandardOutputFile(const FileIdentity& file) {
  const HANDLE out = GetStdHandle(STD_OUTPUT_HANDLE);
  if (out == INVALID_HANDLE_VALUE || out == nullptr || GetFileType(out) != FILE_TYPE_DISK) return false;
  const std::optional<FileIdentity> console = Identify(out);
  return console && SameFile(*console, file);
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

std::optional<ByteCount> ExistingFileSize(const std::string& path) {
  const std::optional<std::wstring> name = SystemName(path);
  if (!name) return std::nullopt;
  // Unlike a directory search, this takes the name literally: no wildcards,
  // and nothing but the attributes is looked at.
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(name->c_str(), GetFileExInfoStandard, &data)) return std::nullopt;
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return std::nullopt;
  return (static_cast<ByteCount>(data.nFileSizeHigh) << 32) | data.nFileSizeLow;
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
  const std::optional<std::wstring> name = SystemName(path);
  if (!name) throw EFOpenError("open(" + path + "): not the name of a file");
  // Shared with readers only: a player, the search indexer or a virus
  // scanner that reads the file does not stop the run, while any open for
  // writing fails as long as the input is open, this program's own output
  // among them.
  const HANDLE handle = CreateFileW(name->c_str(), GENERIC_READ, FILE_SHARE_READ, nullptr, OPEN_EXISTING,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) throw EFOpenError(Reason("CreateFileW", path, GetLastError()));
  File file(FromHandle(handle));
  // A device name (NUL, CON, COM1) opens too; only a file on disk is input.
  if (GetFileType(handle) != FILE_TYPE_DISK) {
    throw EFOpenError("CreateFileW(" + path + "): not a file on disk");
  }
  // Standard output appended to the input (`>> in.bgm`) would feed the
  // console lines into the conversion. A shell's handle need not be held
  // by the sharing rules (one inherited from a Unix shell under Wine is
  // not), so the file is compared by identity.
  const std::optional<FileIdentity> identity = Identify(handle);
  if (!identity) throw EFOpenError(Reason("GetFileInformationByHandle", path, GetLastError()));
  if (IsStandardOutputFile(*identity)) {
    throw EFOpenError("CreateFileW(" + path + "): the file standard output goes to");
  }
  return file;
}

File CreateOutput(const std::string& path, const File& input) {
  const std::optional<std::wstring> name = SystemName(path);
  if (!name) throw EFCreateError("create(" + path + "): not the name of a file");
  // Share mode 0: nobody else may open the output while it is written. The
  // input is held against writers, so when `path` is the input under any
  // name (another spelling, a hard link) this open fails with a sharing
  // violation; so does a file that another program has open.
  // OPEN_ALWAYS rather than CREATE_ALWAYS: an existing file is emptied only
  // once it is known not to be the input nor standard output's file.
  const HANDLE handle = CreateFileW(name->c_str(), GENERIC_READ | GENERIC_WRITE, 0, nullptr, OPEN_ALWAYS,
                                    FILE_ATTRIBUTE_NORMAL, nullptr);
  if (handle == INVALID_HANDLE_VALUE) {
    throw EFCreateError(Reason("CreateFileW", path, GetLastError()));
  }
  File file(FromHandle(handle));
  // Devices (NUL) and pipes are written as they are. GetFileType tells a
  // failure from a type it does not know only by the last error.
  SetLastError(NO_ERROR);
  const DWORD type = GetFileType(handle);
  if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) {
    throw EFCreateError(Reason("GetFileType", path, GetLastError()));
  }
  if (type != FILE_TYPE_DISK) return file;

  // The sharing rules already keep the input out; its identity is compared
  // as well, so that no file system's view of sharing decides alone
  // whether the input is emptied.
  const std::optional<FileIdentity> identity = Identify(handle);
  if (!identity) throw EFCreateError(Reason("GetFileInformationByHandle", path, GetLastError()));
  const std::optional<FileIdentity> input_identity = Identify(ToHandle(input.handle_));
  if (!input_identity) throw EFCreateError(Reason("GetFileInformationByHandle", "input", GetLastError()));
  if (SameFile(*identity, *input_identity))
    throw EFCreateError("CreateFileW(" + path + "): same file as the input");
  if (IsStandardOutputFile(*identity)) {
    throw EFCreateError("CreateFileW(" + path + "): the file standard output goes to");
  }
  // The file was just opened, so its position is 0: this empties it.
  if (!SetEndOfFile(handle)) throw EFCreateError(Reason("SetEndOfFile", path, GetLastError()));
  return file;
}

}  // namespace plivex::platform
