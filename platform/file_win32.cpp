#include <windows.h>
// After windows.h, which it needs.
#include <aclapi.h>

#include <algorithm>
#include <atomic>
#include <climits>
#include <cstring>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/file.h"
#include "platform/system.h"
#include "platform/wide_text.h"

namespace plivex::platform {

namespace {

// The most one ReadFile or WriteFile call is asked to move; their counts
// are 32-bit.
constexpr std::size_t kMaxTransfer = 0x40000000;

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

}  // namespace

std::optional<std::u16string> SystemName(const std::string& path) {
  const std::optional<std::u16string> wide = Utf8ToWide(path);
  if (!wide) return std::nullopt;
  return LongPathForm(*wide, FullPath(ToWchar(*wide)));
}

std::optional<std::wstring> WideName(const std::string& path) {
  const std::optional<std::u16string> name = SystemName(path);
  if (!name) {
    SetLastError(ERROR_INVALID_NAME);
    return std::nullopt;
  }
  return ToWchar(*name);
}

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

namespace {

// Error codes newer than the MinGW-w64 headers.
constexpr DWORD kErrorDirectoryNotSupported = 336;  // ERROR_DIRECTORY_NOT_SUPPORTED
constexpr DWORD kErrorDiskQuotaExceeded = 1295;     // ERROR_DISK_QUOTA_EXCEEDED

FileFault FaultOf(DWORD error) {
  switch (error) {
    case ERROR_FILE_NOT_FOUND:
    case ERROR_PATH_NOT_FOUND:
    case ERROR_INVALID_DRIVE:
    case ERROR_BAD_NETPATH:
    case ERROR_BAD_NET_NAME:  // a share that the server does not have
      return FileFault::kNotFound;
    case ERROR_ACCESS_DENIED:
      return FileFault::kAccessDenied;
    case ERROR_SHARING_VIOLATION:
    case ERROR_LOCK_VIOLATION:
      return FileFault::kHeld;
    case ERROR_DISK_FULL:
    case ERROR_HANDLE_DISK_FULL:
    case kErrorDiskQuotaExceeded:
      return FileFault::kDiskFull;
    case ERROR_FILE_TOO_LARGE:
      return FileFault::kFileTooLarge;
    case ERROR_WRITE_PROTECT:
      return FileFault::kReadOnly;
    case kErrorDirectoryNotSupported:
      return FileFault::kIsFolder;
    // Writes to a pipe whose reader has closed its end: ERROR_NO_DATA for
    // an anonymous pipe ("The pipe is being closed"), the other two for a
    // named pipe whose client has gone. Reads treat the end of a pipe as
    // the end of its data and never get here.
    case ERROR_NO_DATA:
    case ERROR_BROKEN_PIPE:
    case ERROR_PIPE_NOT_CONNECTED:
      return FileFault::kReaderGone;
    case ERROR_FILENAME_EXCED_RANGE:
      return FileFault::kNameTooLong;
    case ERROR_FILE_EXISTS:
    case ERROR_ALREADY_EXISTS:
      return FileFault::kAlreadyExists;
    default:
      return FileFault::kOther;
  }
}

// The system's own words for `error`, on one line, without the full stop
// that the console line replaces with " !".
std::string SystemText(DWORD error) {
  wchar_t text[512];
  const DWORD length = FormatMessageW(
      FORMAT_MESSAGE_FROM_SYSTEM | FORMAT_MESSAGE_IGNORE_INSERTS | FORMAT_MESSAGE_MAX_WIDTH_MASK, nullptr,
      error, 0, text, static_cast<DWORD>(sizeof text / sizeof text[0]), nullptr);
  if (length == 0) return "Windows error " + std::to_string(error);
  std::wstring_view words(text, length);
  while (!words.empty() && (words.back() == L'\r' || words.back() == L'\n' || words.back() == L' ')) {
    words.remove_suffix(1);
  }
  if (!words.empty() && words.back() == L'.') words.remove_suffix(1);
  return WideToUtf8(FromWchar(words));
}

}  // namespace

SystemFailure LastFailure() {
  const DWORD error = GetLastError();
  return {FaultOf(error), SystemText(error)};
}

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

namespace {

HANDLE OpenWide(const std::wstring& name, DWORD access, DWORD sharing, DWORD disposition) {
  return CreateFileW(name.c_str(), access, sharing, nullptr, disposition, FILE_ATTRIBUTE_NORMAL, nullptr);
}

// Opens `path` as CreateFileW does, with the rights, sharing and
// disposition given; a name that is no UTF-8 fails as an invalid name.
Handle Open(const std::string& path, DWORD access, DWORD sharing, DWORD disposition) {
  const std::optional<std::wstring> name = WideName(path);
  if (!name) return kNoHandle;
  const HANDLE handle = OpenWide(*name, access, sharing, disposition);
  return handle == INVALID_HANDLE_VALUE ? kNoHandle : FromHandle(handle);
}

constexpr DWORD kShareAll = FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE;

// Holds an SRW lock for the duration of a block: exclusively, or shared.
class LockHeld {
 public:
  explicit LockHeld(SRWLOCK& lock, bool shared = false) : lock_(lock), shared_(shared) {
    if (shared_) {
      AcquireSRWLockShared(&lock_);
    } else {
      AcquireSRWLockExclusive(&lock_);
    }
  }
  ~LockHeld() {
    if (shared_) {
      ReleaseSRWLockShared(&lock_);
    } else {
      ReleaseSRWLockExclusive(&lock_);
    }
  }
  LockHeld(const LockHeld&) = delete;
  LockHeld& operator=(const LockHeld&) = delete;

 private:
  SRWLOCK& lock_;
  bool shared_;
};

// The handles OpenExistingForWriting opened only to find out whose a held
// file is: they may read its attributes, nothing else. Lock refuses them,
// as the file is held; File::Close forgets them. Files are opened and
// closed on several threads at once (plivex-batch), hence the lock.
SRWLOCK look_only_lock = SRWLOCK_INIT;
std::vector<HANDLE> look_only_handles;

bool IsLookOnly(HANDLE handle) {
  const LockHeld held(look_only_lock, true);
  return std::find(look_only_handles.begin(), look_only_handles.end(), handle) != look_only_handles.end();
}

void ForgetLookOnly(HANDLE handle) noexcept {
  const LockHeld held(look_only_lock);
  std::erase(look_only_handles, handle);
}

// Whether `name` is the console under its oldest name (con, .\CON, and
// CON.bgm before Windows 11: all have the full form \\.\CON). CON opens the
// console's output for GENERIC_WRITE alone, and nothing for reading and
// writing: ERROR_FILE_NOT_FOUND, which would pass for a missing output
// (Wine says ERROR_INVALID_PARAMETER). And only a console handle that may
// be read tells that it is one (GetConsoleMode).
bool IsConsoleName(const std::wstring& name) {
  return CompareStringOrdinal(ToWchar(FullPath(name)).c_str(), -1, L"\\\\.\\CON", -1, TRUE) == CSTR_EQUAL;
}

// Whether `file` is a file on disk with the read-only attribute. Windows
// refuses such a file to any open for writing, but Wine lets root through,
// as Unix lets root write any file: the attribute decides on both. A file
// whose attributes cannot be read counts as writable; Identify reads them
// next, and fails the same way.
bool IsReadOnly(HANDLE file) {
  FILE_BASIC_INFO basic{};
  return GetFileType(file) == FILE_TYPE_DISK &&
         GetFileInformationByHandleEx(file, FileBasicInfo, &basic, sizeof basic) &&
         (basic.FileAttributes & FILE_ATTRIBUTE_READONLY) != 0;
}

}  // namespace

// Shared with readers only: a player, the search indexer or a virus scanner
// that reads the file does not stop the run, while any open for writing
// fails as long as the input is open, this program's own output among them.
Handle OpenForReading(const std::string& path) {
  return Open(path, GENERIC_READ, FILE_SHARE_READ, OPEN_EXISTING);
}

// Shared with nobody: nobody else may open the output while it is written.
// The input is held against writers, so when `path` is the input under any
// name (another spelling, a hard link) this open fails with a sharing
// violation; so does a file that another program has open for reading or
// writing. OPEN_ALWAYS rather than CREATE_ALWAYS: an existing file is
// emptied only after every check.
Handle OpenForWriting(const std::string& path) {
  return Open(path, GENERIC_READ | GENERIC_WRITE, 0, OPEN_ALWAYS);
}

// Opened as OpenForWriting opens an output, but only when it exists. The
// console's oldest name is opened as what it names for writing. Two
// refusals are looked at more closely:
// - Windows refuses a folder as ACCESS_DENIED; its attributes tell it from
//   a file that the user may not write.
// - A sharing violation means that another open holds the file: the
//   input's (under any of its names), that of standard output's file
//   (`> out.bgm`), or another program's. Only the file's identity tells
//   which, and an open that asks for no access to the data is not subject
//   to sharing, so such a handle is returned instead. CheckOutput then
//   names it the input or standard output, and otherwise Lock refuses it
//   as held.
Handle OpenExistingForWriting(const std::string& path) {
  const std::optional<std::wstring> name = WideName(path);
  if (!name) return kNoHandle;
  // No Windows file system takes a longer name, so none exists and none
  // can be made. Wine says only that there is none, and the whole file
  // would be written under its shorter temporary name before the rename
  // failed.
  constexpr std::size_t kMaxNameLength = 255;
  const std::size_t separator = name->find_last_of(L"\\/:");
  if ((separator == std::wstring::npos ? name->size() : name->size() - separator - 1) > kMaxNameLength) {
    SetLastError(ERROR_FILENAME_EXCED_RANGE);
    return kNoHandle;
  }
  const HANDLE file =
      OpenWide(IsConsoleName(*name) ? L"CONOUT$" : *name, GENERIC_READ | GENERIC_WRITE, 0, OPEN_EXISTING);
  if (file != INVALID_HANDLE_VALUE && !IsReadOnly(file)) return FromHandle(file);
  if (file != INVALID_HANDLE_VALUE) {
    (void)CloseHandle(file);  // nothing was written through it
    SetLastError(ERROR_ACCESS_DENIED);
    return kNoHandle;
  }
  const DWORD error = GetLastError();
  if (error == ERROR_ACCESS_DENIED) {
    const DWORD attributes = GetFileAttributesW(name->c_str());
    const bool folder = attributes != INVALID_FILE_ATTRIBUTES && (attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
    SetLastError(folder ? kErrorDirectoryNotSupported : error);
    return kNoHandle;
  }
  if (error != ERROR_SHARING_VIOLATION) return kNoHandle;
  const HANDLE look = OpenWide(*name, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING);
  if (look == INVALID_HANDLE_VALUE) {
    SetLastError(error);
    return kNoHandle;
  }
  // Only a file on disk has an identity to compare; anything else stays
  // refused as held. Nothing was written through `look`, so its close
  // loses nothing.
  if (GetFileType(look) != FILE_TYPE_DISK) {
    (void)CloseHandle(look);
    SetLastError(error);
    return kNoHandle;
  }
  try {
    const LockHeld held(look_only_lock);
    look_only_handles.push_back(look);
  } catch (...) {
    (void)CloseHandle(look);
    throw;
  }
  return FromHandle(look);
}

namespace {

// What an interruption removes, and whether one has come. The console
// calls the handler on a thread of its own, while other threads may be
// creating or renaming those very files, so all hold `guard_lock`: a
// CreateNew or Rename under way ends before the handler looks, and once it
// has looked they create and rename nothing more, as the process is
// ending. The handler gets the names ready in UTF-16, copies of its own, so
// that it needs no memory and no text another thread may free meanwhile.
struct Guarded {
  int guard;
  std::wstring name;
};
SRWLOCK guard_lock = SRWLOCK_INIT;
std::vector<Guarded> guarded_names;  // one for each Replacement under way
int last_guard = 0;
bool interrupted = false;
std::atomic<bool> deferring{false};               // DeferInterruptions was called
std::atomic<bool> interruption_requested{false};  // and a Ctrl-C has come since

// True, with the last error set, when an interruption has come: nothing
// is to be created or renamed any more.
bool Interrupted() {
  if (interrupted) SetLastError(ERROR_OPERATION_ABORTED);
  return interrupted;
}

BOOL WINAPI RemoveGuardedOnInterruption(DWORD event) {
  switch (event) {
    case CTRL_C_EVENT:
    case CTRL_BREAK_EVENT:
      // Only noted, the first time after DeferInterruptions: the process
      // goes on.
      if (deferring.load() && !interruption_requested.exchange(true)) return TRUE;
      break;
    case CTRL_CLOSE_EVENT:
    case CTRL_LOGOFF_EVENT:
    case CTRL_SHUTDOWN_EVENT:
      break;
    default:
      return FALSE;
  }
  const LockHeld held(guard_lock);
  interrupted = true;
  // The files are open with FILE_SHARE_DELETE, so this marks them, and
  // they go when the process's handles close as it ends. A name that was
  // renamed or removed already fails here, which is as good.
  for (const Guarded& guarded : guarded_names) (void)DeleteFileW(guarded.name.c_str());
  // The next handler, in the end the system's own, ends the process as it
  // would have without this one.
  return FALSE;
}

// Installed with the first guard, or by DeferInterruptions. Should the
// system refuse it, an interruption ends the run as it did before, leaving
// the files.
void InstallHandler() {
  static const bool installed = SetConsoleCtrlHandler(RemoveGuardedOnInterruption, TRUE) != 0;
  (void)installed;
}

}  // namespace

// Shared with nobody but a deleter: the interruption handler removes the
// file while it is open. It gets the rights that its folder passes on, as
// any new file there, and one that is to replace a file (`owner_only`) the
// right to be given that file's DACL (CopyAttributes), which its owner has
// whatever the folder passes on. Other programs cannot open it before the
// close, only in the moment between the close and the rename, when it has
// the rights of the file it replaces.
Handle CreateNew(Handle /*folder*/, const std::string& path, bool owner_only) {
  const std::optional<std::wstring> name = WideName(path);
  if (!name) return kNoHandle;
  const LockHeld held(guard_lock);
  if (Interrupted()) return kNoHandle;
  const HANDLE file =
      OpenWide(*name, GENERIC_WRITE | (owner_only ? WRITE_DAC : 0), FILE_SHARE_DELETE, CREATE_NEW);
  if (file == INVALID_HANDLE_VALUE) return kNoHandle;
  // A name that Windows takes for a device (CON.anything and COM1.anything
  // before Windows 11) opens the device, whatever the disposition.
  if (GetFileType(file) != FILE_TYPE_DISK) {
    (void)CloseHandle(file);  // nothing was written through it
    SetLastError(ERROR_INVALID_NAME);
    return kNoHandle;
  }
  return FromHandle(file);
}

// Paths go to the system whole, in their long form where they are long.
std::optional<Handle> OpenFolder(const std::string& /*path*/) { return kNoHandle; }

const std::string_view kPathSeparators = "\\/:";  // "C:name" is "name" in C:'s current folder

// The name of the file that `path` opens, as GetFinalPathNameByHandleW
// gives it (\\?\C:\folder\name). Symbolic links are rare on Windows, but
// under Wine every Unix link is one, and Wine shows it as a plain file
// whose renames move the file it points to: replacing the name itself
// would move the file linked to out of the way, then delete it.
std::string FinalName(const std::string& path) {
  const std::optional<std::wstring> name = WideName(path);
  if (!name) return path;
  // Opened to look only, which no sharing refuses (the run holds the file).
  const HANDLE file = OpenWide(*name, FILE_READ_ATTRIBUTES, kShareAll, OPEN_EXISTING);
  if (file == INVALID_HANDLE_VALUE) return path;
  std::wstring final_name(MAX_PATH, L'\0');
  DWORD length = 0;
  for (;;) {
    length = GetFinalPathNameByHandleW(file, final_name.data(), static_cast<DWORD>(final_name.size()),
                                       FILE_NAME_NORMALIZED | VOLUME_NAME_DOS);
    // As GetFullPathNameW: the size needed, NUL included, when too small.
    if (length < final_name.size()) break;
    final_name.assign(length, L'\0');
  }
  (void)CloseHandle(file);  // only looked at
  if (length == 0) return path;
  final_name.resize(length);
  return WideToUtf8(FromWchar(final_name));
}

namespace {

// The owner, group and DACL of a file, as GetSecurityInfo reads them
// through a handle with the right to read them: pointers into one
// descriptor, which it frees.
struct Security {
  PSID owner = nullptr;
  PSID group = nullptr;
  PACL dacl = nullptr;  // none: everyone may do anything
  PSECURITY_DESCRIPTOR descriptor = nullptr;

  Security() = default;
  Security(const Security&) = delete;
  Security& operator=(const Security&) = delete;
  ~Security() { (void)LocalFree(descriptor); }

  // Reads those of `file`, once. False, with the last error set, when the
  // system refuses.
  bool Read(HANDLE file) {
    constexpr SECURITY_INFORMATION kWhat =
        OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION | DACL_SECURITY_INFORMATION;
    const DWORD error =
        GetSecurityInfo(file, SE_FILE_OBJECT, kWhat, &owner, &group, &dacl, nullptr, &descriptor);
    SetLastError(error);
    return error == ERROR_SUCCESS;
  }

  // Whether the DACL is kept from what the folder passes on to its files.
  bool Protected() const {
    SECURITY_DESCRIPTOR_CONTROL control = 0;
    DWORD revision = 0;
    return GetSecurityDescriptorControl(descriptor, &control, &revision) &&
           (control & SE_DACL_PROTECTED) != 0;
  }
};

// Whether two files let in and keep out the same, entry for entry.
bool SameDacl(const Security& a, const Security& b) {
  if (a.Protected() != b.Protected()) return false;
  if (a.dacl == nullptr || b.dacl == nullptr) return a.dacl == b.dacl;
  if (a.dacl->AceCount != b.dacl->AceCount) return false;
  for (DWORD i = 0; i < a.dacl->AceCount; ++i) {
    void* one = nullptr;
    void* other = nullptr;
    if (!GetAce(a.dacl, i, &one) || !GetAce(b.dacl, i, &other)) return false;
    const WORD size = static_cast<const ACE_HEADER*>(one)->AceSize;
    if (size != static_cast<const ACE_HEADER*>(other)->AceSize) return false;
    if (std::memcmp(one, other, size) != 0) return false;
  }
  return true;
}

// Gives `file` the owner and group of `model` where this process may: as
// its own, or a group of its own that may own files (Administrators), but
// not another user, which needs a privilege (SeRestorePrivilege) that a run
// does not take. Through a handle of its own with the right to, which the
// creation did not ask for, as the folder need not grant it. Nothing is
// lost when it cannot: the new file is this process's, as any it makes.
void CopyOwner(HANDLE model, HANDLE file) {
  Security original;
  Security created;
  if (!original.Read(model) || !created.Read(file)) return;
  if (original.owner == nullptr || original.group == nullptr || created.owner == nullptr ||
      created.group == nullptr) {
    return;  // nothing to give, or nothing to compare with
  }
  if (EqualSid(original.owner, created.owner) && EqualSid(original.group, created.group)) return;
  const HANDLE owner = ReOpenFile(file, WRITE_OWNER, kShareAll, 0);
  if (owner == INVALID_HANDLE_VALUE) return;
  if (SetSecurityInfo(owner, SE_FILE_OBJECT, OWNER_SECURITY_INFORMATION | GROUP_SECURITY_INFORMATION,
                      original.owner, original.group, nullptr, nullptr) != ERROR_SUCCESS) {
    (void)SetSecurityInfo(owner, SE_FILE_OBJECT, GROUP_SECURITY_INFORMATION, nullptr, original.group, nullptr,
                          nullptr);
  }
  (void)CloseHandle(owner);  // nothing was written through it
}

}  // namespace

// ReplaceFileW keeps the attributes, DACL, owner and creation time of the
// file it replaces on Windows, but Wine's moves the new file in as it is,
// and so does the MoveFileExW that stands in for it where it is not
// offered. So the attributes that a user sets (hidden, system, not
// indexed), the owner and group are given here, and the DACL by
// CopyAttributes; ReplaceFileW then finds them as it would give them.
bool CopyPermissions(Handle model, Handle file) {
  CopyOwner(ToHandle(model), ToHandle(file));
  constexpr DWORD kKept = FILE_ATTRIBUTE_HIDDEN | FILE_ATTRIBUTE_SYSTEM | FILE_ATTRIBUTE_NOT_CONTENT_INDEXED;
  FILE_BASIC_INFO original{};
  if (!GetFileInformationByHandleEx(ToHandle(model), FileBasicInfo, &original, sizeof original)) return false;
  if ((original.FileAttributes & kKept) == 0) return true;
  FILE_BASIC_INFO created{};  // times of 0 are left as they are
  // Archive: the new contents are not backed up yet, whatever the old were.
  created.FileAttributes = (original.FileAttributes & kKept) | FILE_ATTRIBUTE_ARCHIVE;
  return SetFileInformationByHandle(ToHandle(file), FileBasicInfo, &created, sizeof created) != 0;
}

// The DACL, the one attribute that says who may do what: given to `file`
// as `model` has it, entries passed on by the folder and all, since the new
// file is in the same folder. Not through SetSecurityInfo, which adds what
// the folder passes on (Wine's even to a DACL that is kept from it), and
// would let in whom the original kept out. Given only where the two
// differ, and read back: a DACL that the file system cannot keep as it is
// (Wine keeps permission bits, which hold less) fails the replacement.
bool CopyAttributes(Handle model, Handle file, std::vector<AttributeNotKept>& not_kept) {
  const auto not_given = [&not_kept](SystemFailure failure) {
    not_kept.push_back({"DACL", std::move(failure)});
    return false;
  };
  Security original;
  Security created;
  if (!original.Read(ToHandle(model)) || !created.Read(ToHandle(file))) return not_given(LastFailure());
  if (SameDacl(original, created)) return true;
  // Kept from what the folder passes on, or not, as the original: said
  // outright as well as by the descriptor's own mark.
  const SECURITY_INFORMATION what =
      DACL_SECURITY_INFORMATION |
      (original.Protected() ? PROTECTED_DACL_SECURITY_INFORMATION : UNPROTECTED_DACL_SECURITY_INFORMATION);
  if (!SetKernelObjectSecurity(ToHandle(file), what, original.descriptor)) {
    return not_given(LastFailure());
  }
  Security given;
  if (!given.Read(ToHandle(file))) return not_given(LastFailure());
  if (!SameDacl(original, given)) {
    return not_given(Failure(FileFault::kAclNotKept, "the file system keeps another"));
  }
  return true;
}

bool Flush(Handle handle) { return FlushFileBuffers(ToHandle(handle)) != 0; }

// Without `replace`, MoveFileExW, which fails when `to` exists.
//
// With it, ReplaceFileW: the new file takes the place of the old one and
// keeps its attributes (hidden, say), rights, creation time and short name.
// It works in steps: the old file is moved out of the way, then the new
// one to its name. Given no backup name, it moves the old file to a name
// of its own choosing, and should the second step fail, the old file is
// gone (ERROR_UNABLE_TO_MOVE_REPLACEMENT) or left under that unknown name
// (ERROR_UNABLE_TO_MOVE_REPLACEMENT_2); Wine deletes it even before the
// second step. So it gets a backup name beside it, from which it is moved
// back after a failure, and which is deleted after success. An
// interruption waits for all of it; were the process killed outright
// between the steps, the old file would be whole under that name, which
// says what it is: the new file's name with "-original-" in place of
// "-unfinished-" (which may be deleted), so "NAME.plivex-pack-original-"
// and its digits, as short as the new file's name is.
//
// Where ReplaceFileW is not offered at all (a file system or file server
// that does not support it), a plain MoveFileExW over the old file does
// the rename: it keeps the attributes, DACL and owner that the new file was
// given (CopyPermissions, CopyAttributes), but not the creation time.
bool Rename(Handle /*folder*/, const std::string& from, const std::string& to, bool replace) {
  const std::optional<std::wstring> source = WideName(from);
  const std::optional<std::wstring> target = WideName(to);
  const std::size_t unfinished = from.rfind(kUnfinished);
  const std::string backup_name =
      unfinished == std::string::npos
          ? to + ".original"
          : from.substr(0, unfinished) + "-original-" + from.substr(unfinished + kUnfinished.size());
  const std::optional<std::wstring> backup = WideName(backup_name);
  if (!source || !target || !backup) return false;
  // An interruption waits for the names to settle, either way.
  const LockHeld held(guard_lock);
  if (Interrupted()) return false;
  if (!replace) return MoveFileExW(source->c_str(), target->c_str(), 0) != 0;
  constexpr DWORD kFlags = REPLACEFILE_IGNORE_MERGE_ERRORS | REPLACEFILE_IGNORE_ACL_ERRORS;
  if (ReplaceFileW(target->c_str(), source->c_str(), backup->c_str(), kFlags, nullptr, nullptr)) {
    // Only this name of the old file goes: its other hard links keep it.
    // Should it stay, it is a copy of the old file, not the new one.
    (void)DeleteFileW(backup->c_str());
    return true;
  }
  const DWORD error = GetLastError();
  switch (error) {
    case ERROR_UNABLE_TO_MOVE_REPLACEMENT_2:
      // The old file is under the backup name, the new one under its own.
      // Should even this fail, the old file stays whole under the backup
      // name rather than be lost.
      (void)MoveFileExW(backup->c_str(), target->c_str(), 0);
      break;
    case ERROR_FILE_NOT_FOUND:
      // The old file was removed meanwhile: the new one is put in its
      // place all the same, unless another has taken the name. (Were the
      // new one missing instead, this fails the same way.)
      return MoveFileExW(source->c_str(), target->c_str(), 0) != 0;
    case ERROR_INVALID_PARAMETER:
    case ERROR_INVALID_FUNCTION:
    case ERROR_NOT_SUPPORTED:
    case ERROR_CALL_NOT_IMPLEMENTED:
      // Both files have their names still.
      return MoveFileExW(source->c_str(), target->c_str(), MOVEFILE_REPLACE_EXISTING) != 0;
    default:
      // ERROR_UNABLE_TO_REMOVE_REPLACED, ERROR_UNABLE_TO_MOVE_REPLACEMENT
      // (given a backup name) and the rest: both have their names still.
      break;
  }
  SetLastError(error);
  return false;
}

bool Remove(Handle /*folder*/, const std::string& path) {
  const std::optional<std::wstring> name = WideName(path);
  return name && DeleteFileW(name->c_str()) != 0;
}

// As many as there are Replacements: the handler is a thread of its own,
// and may take the lock. A name that is no UTF-8 is guarded by nothing, as
// CreateNew makes no file of it.
int GuardTemporary(Handle /*folder*/, const std::string& path) {
  InstallHandler();
  std::wstring name;
  if (const std::optional<std::wstring> wide = WideName(path)) name = *wide;
  const LockHeld held(guard_lock);
  last_guard = last_guard == INT_MAX ? 1 : last_guard + 1;
  guarded_names.push_back({last_guard, std::move(name)});
  return last_guard;
}

// CreateNew holds the lock, which is all the handler needs.
void GuardCreated(int /*guard*/) noexcept {}

void ReleaseGuard(int guard) noexcept {
  if (guard < 0) return;
  const LockHeld held(guard_lock);
  std::erase_if(guarded_names, [guard](const Guarded& guarded) { return guarded.guard == guard; });
}

std::optional<FileIdentity> Identify(Handle handle) {
  const HANDLE file = ToHandle(handle);
  FileIdentity identity;
  // GetFileType tells a failure from a type it does not know only by the
  // last error.
  SetLastError(NO_ERROR);
  const DWORD type = GetFileType(file);
  if (type == FILE_TYPE_UNKNOWN && GetLastError() != NO_ERROR) return std::nullopt;
  DWORD mode = 0;
  if (type == FILE_TYPE_PIPE) identity.kind = FileKind::kPipe;
  // CON, CONOUT$ and every other way to the console, or NUL, COM1, ...
  if (type == FILE_TYPE_CHAR)
    identity.kind = GetConsoleMode(file, &mode) ? FileKind::kConsole : FileKind::kCharacterDevice;
  if (type != FILE_TYPE_DISK) return identity;

  identity.kind = FileKind::kFile;
  identity.known = true;
  BY_HANDLE_FILE_INFORMATION info{};
  FILE_ID_INFO id_info{};
  if (GetFileInformationByHandle(file, &info)) {
    identity.volume = info.dwVolumeSerialNumber;
    // The 64-bit index is the low half of the 128-bit identifier that
    // FileIdInfo gives for the same file on NTFS.
    identity.id[0] = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  } else if (GetFileInformationByHandleEx(file, FileIdInfo, &id_info, sizeof id_info)) {
    // A handle that refuses the first query: one opened without the right
    // to read attributes, or under Wine one inherited from a Unix shell
    // (`wine plivex.exe ... > out.wav`), whose volume stays unknown (0).
    // Both sources give only the low 32 bits of the volume's number.
    identity.volume = static_cast<DWORD>(id_info.VolumeSerialNumber);
    for (int i = 0; i < 16; ++i) {
      identity.id[i / 8] |= static_cast<std::uint64_t>(id_info.FileId.Identifier[i]) << (8 * (i % 8));
    }
  } else {
    return std::nullopt;
  }
  LARGE_INTEGER size{};
  if (!GetFileSizeEx(file, &size)) return std::nullopt;
  identity.size = static_cast<ByteCount>(size.QuadPart);
  return identity;
}

// The sharing rules of the open already hold the file. A handle that was
// opened only to look at a file that another open holds is refused, as
// that file is held.
bool Lock(Handle handle, LockMode /*mode*/) {
  if (!IsLookOnly(ToHandle(handle))) return true;
  SetLastError(ERROR_SHARING_VIOLATION);
  return false;
}

// The file was just opened, so its position is 0: this empties it.
bool Empty(Handle handle) { return SetEndOfFile(ToHandle(handle)) != 0; }

}  // namespace system

void DeferInterruptions() {
  system::deferring.store(true);
  system::InstallHandler();
}

bool InterruptionRequested() { return system::interruption_requested.load(); }

PathInfo LookUp(const std::string& path) {
  const std::optional<std::u16string> wide = Utf8ToWide(path);
  if (!wide) return {};
  const std::u16string full = FullPath(ToWchar(*wide));
  // A device (NUL, CON, COM1; NUL.txt too before Windows 11) has no
  // attributes, or made-up ones; its full form names it in the device
  // namespace, \\.\, and so does every name given there.
  if (full.starts_with(u"\\\\.\\")) return {PathKind::kOther, 0};
  // Unlike a directory search, this takes the name literally: no wildcards,
  // and nothing but the attributes is looked at.
  WIN32_FILE_ATTRIBUTE_DATA data{};
  if (!GetFileAttributesExW(ToWchar(LongPathForm(*wide, full)).c_str(), GetFileExInfoStandard, &data)) {
    return {PathKind::kMissing, 0, system::LastFailure()};
  }
  if ((data.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return {PathKind::kOther, 0};
  return {PathKind::kFile, (static_cast<ByteCount>(data.nFileSizeHigh) << 32) | data.nFileSizeLow};
}

bool File::Close() noexcept {
  if (!IsOpen()) return true;
  const HANDLE handle = system::ToHandle(std::exchange(handle_, system::kNoHandle));
  system::ForgetLookOnly(handle);
  return CloseHandle(handle) != 0;
}

}  // namespace plivex::platform
