#include <windows.h>

#include <algorithm>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/folder.h"
#include "platform/system.h"
#include "platform/wide_text.h"

namespace plivex::platform {

namespace {

std::string Operation(const char* operation, const std::string& path) {
  return std::string(operation) + "(" + path + ")";
}

// A handle that is only read through, closed by `Close` on the way out:
// nothing was written through it, so a failed close loses nothing.
template <typename Close>
class ReadHandle {
 public:
  explicit ReadHandle(HANDLE handle) : handle_(handle) {}
  ReadHandle(const ReadHandle&) = delete;
  ReadHandle& operator=(const ReadHandle&) = delete;
  ~ReadHandle() {
    if (handle_ != INVALID_HANDLE_VALUE) (void)Close{}(handle_);
  }
  HANDLE get() const { return handle_; }

 private:
  HANDLE handle_;
};

struct CloseLook {
  BOOL operator()(HANDLE handle) const { return CloseHandle(handle); }
};
struct CloseSearch {
  BOOL operator()(HANDLE handle) const { return FindClose(handle); }
};
using LookHandle = ReadHandle<CloseLook>;
using SearchHandle = ReadHandle<CloseSearch>;

// Opens `name` to read its attributes, following links to what they name.
// Folders open only with FILE_FLAG_BACKUP_SEMANTICS; shared with everyone,
// so that nothing another program holds refuses it.
HANDLE OpenToLook(const std::wstring& name) {
  return CreateFileW(name.c_str(), FILE_READ_ATTRIBUTES,
                     FILE_SHARE_READ | FILE_SHARE_WRITE | FILE_SHARE_DELETE, nullptr, OPEN_EXISTING,
                     FILE_FLAG_BACKUP_SEMANTICS, nullptr);
}

// What one directory search finds: the long name, the 8.3 short name
// (empty when the long name is one already, or the volume makes none) and
// the attributes.
struct Found {
  std::wstring name;
  std::wstring short_name;
  DWORD attributes = 0;
  DWORD reparse_tag = 0;  // when attributes hold FILE_ATTRIBUTE_REPARSE_POINT
};

// Every name that the directory search for `pattern` (a folder, a
// separator and a last part with or without wildcards) finds, "." and ".."
// left out, or nothing when the search fails, with the last error saying
// why. A search that finds nothing at all (ERROR_FILE_NOT_FOUND: no name
// matches, which the root of an empty drive says even for "*") is an empty
// list. `short_names`: whether the short names are wanted, which the
// system may then have to look up.
std::optional<std::vector<Found>> Search(const std::string& pattern, bool short_names) {
  const std::optional<std::wstring> name = WideName(pattern);
  if (!name) return std::nullopt;
  WIN32_FIND_DATAW data{};
  const SearchHandle search(FindFirstFileExW(name->c_str(),
                                             short_names ? FindExInfoStandard : FindExInfoBasic, &data,
                                             FindExSearchNameMatch, nullptr, FIND_FIRST_EX_LARGE_FETCH));
  std::vector<Found> found;
  if (search.get() == INVALID_HANDLE_VALUE) {
    if (GetLastError() == ERROR_FILE_NOT_FOUND) return found;
    return std::nullopt;
  }
  do {
    const std::wstring_view long_name = data.cFileName;
    if (long_name == L"." || long_name == L"..") continue;
    found.push_back(
        {std::wstring(long_name), data.cAlternateFileName, data.dwFileAttributes, data.dwReserved0});
  } while (FindNextFileW(search.get(), &data));
  if (GetLastError() != ERROR_NO_MORE_FILES) return std::nullopt;
  return found;
}

// Whether a reparse point is a link to somewhere else: a symbolic link, a
// junction or a mount point (their tags are "name surrogates"). Wine shows
// a Unix link to a folder as a reparse point without a tag. Other reparse
// points (a cloud file's placeholder, a deduplicated file) are what they
// hold.
bool IsLink(const Found& found) {
  constexpr DWORD kNameSurrogate = 0x20000000;  // IsReparseTagNameSurrogate
  return (found.attributes & FILE_ATTRIBUTE_REPARSE_POINT) != 0 &&
         (found.reparse_tag == 0 || (found.reparse_tag & kNameSurrogate) != 0);
}

// What the entry `found` of the folder `folder` is. A link to a file
// counts as a file when it leads to one: it is opened to see. (Under Wine a
// Unix link to a file shows as the file itself.)
EntryKind KindOf(const std::string& folder, const Found& found) {
  const bool folder_attribute = (found.attributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  if (!IsLink(found)) return folder_attribute ? EntryKind::kFolder : EntryKind::kFile;
  if (folder_attribute) return EntryKind::kOther;
  const std::optional<std::wstring> name = WideName(JoinPath(folder, WideToUtf8(FromWchar(found.name))));
  if (!name) return EntryKind::kOther;
  const LookHandle target(OpenToLook(*name));
  BY_HANDLE_FILE_INFORMATION info{};
  // A broken link, or one the user may not follow: nothing to convert.
  if (target.get() == INVALID_HANDLE_VALUE || !GetFileInformationByHandle(target.get(), &info)) {
    return EntryKind::kOther;
  }
  return (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0 ? EntryKind::kOther : EntryKind::kFile;
}

// The reason for the last failure of a folder service.
SystemFailure FolderFailure() {
  // FindFirstFileExW says this of a file searched as a folder.
  if (GetLastError() == ERROR_DIRECTORY) return system::Failure(FileFault::kNotAFolder, "not a folder");
  return system::LastFailure();
}

}  // namespace

std::vector<FolderEntry> ListFolder(const std::string& path) {
  // The folder is looked at first: a search in a file, or in nothing, says
  // only that it found no file, as an empty drive does.
  const std::optional<std::wstring> name = WideName(path);
  const DWORD attributes = name ? GetFileAttributesW(name->c_str()) : INVALID_FILE_ATTRIBUTES;
  if (attributes == INVALID_FILE_ATTRIBUTES) throw EFOpenError(Operation("open", path), FolderFailure());
  if ((attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) {
    throw EFOpenError(Operation("open", path), system::Failure(FileFault::kNotAFolder, "not a folder"));
  }
  const std::optional<std::vector<Found>> found = Search(JoinPath(path, "*"), false);
  if (!found) throw EFOpenError(Operation("FindFirstFileExW", path), FolderFailure());
  std::vector<FolderEntry> entries;
  entries.reserve(found->size());
  for (const Found& one : *found) entries.push_back({WideToUtf8(FromWchar(one.name)), KindOf(path, one)});
  // std::string compares its characters as unsigned char: by the bytes of
  // the UTF-8 names, whatever order the file system keeps them in.
  std::ranges::sort(entries, {}, &FolderEntry::name);
  return entries;
}

std::optional<PathIdentity> Identify(const std::string& path) {
  const std::optional<std::wstring> name = WideName(path);
  if (!name) throw EFOpenError(Operation("open", path), system::LastFailure());
  const LookHandle handle(OpenToLook(*name));
  if (handle.get() == INVALID_HANDLE_VALUE) {
    // A missing file, folder on the way, drive, server or share, or a
    // broken link: it names nothing.
    const SystemFailure failure = system::LastFailure();
    if (failure.fault == FileFault::kNotFound) return std::nullopt;
    throw EFOpenError(Operation("open", path), failure);
  }
  // A device (NUL, COM1) is neither a file nor a folder, and has no
  // identity to compare.
  if (GetFileType(handle.get()) != FILE_TYPE_DISK) return PathIdentity{};
  BY_HANDLE_FILE_INFORMATION info{};
  if (!GetFileInformationByHandle(handle.get(), &info)) {
    throw EFOpenError(Operation("identify", path), system::LastFailure());
  }
  PathIdentity identity;
  const bool folder = (info.dwFileAttributes & FILE_ATTRIBUTE_DIRECTORY) != 0;
  identity.kind = folder ? EntryKind::kFolder : EntryKind::kFile;
  if (!folder) identity.size = (static_cast<ByteCount>(info.nFileSizeHigh) << 32) | info.nFileSizeLow;
  identity.known = true;
  identity.volume = info.dwVolumeSerialNumber;
  identity.id[0] = (static_cast<std::uint64_t>(info.nFileIndexHigh) << 32) | info.nFileIndexLow;
  return identity;
}

void MakeFolders(const std::string& path) {
  const std::optional<std::wstring> name = WideName(path);
  if (!name) throw EFCreateError(Operation("CreateDirectoryW", path), system::LastFailure());
  if (CreateDirectoryW(name->c_str(), nullptr)) return;
  DWORD error = GetLastError();
  if (error == ERROR_PATH_NOT_FOUND) {
    // A folder above is missing, or is a file: made first, or named as
    // what is in the way.
    const std::string parent(FolderPart(path));
    if (!parent.empty() && parent.size() < path.size()) {
      MakeFolders(parent);
      if (CreateDirectoryW(name->c_str(), nullptr)) return;
      error = GetLastError();
    }
  }
  // Whatever the refusal (ERROR_ALREADY_EXISTS; ERROR_ACCESS_DENIED for the
  // root of a drive), a folder in its place is what was asked for.
  const DWORD attributes = GetFileAttributesW(name->c_str());
  if (attributes != INVALID_FILE_ATTRIBUTES) {
    if ((attributes & FILE_ATTRIBUTE_DIRECTORY) != 0) return;
    throw EFCreateError(Operation("CreateDirectoryW", path),
                        system::Failure(FileFault::kNotAFolder, "not a folder"));
  }
  SetLastError(error);
  throw EFCreateError(Operation("CreateDirectoryW", path), system::LastFailure());
}

namespace {

bool IsWildcard(char c) { return c == '*' || c == '?'; }

bool IsSlash(char c) { return c == '\\' || c == '/'; }

// Whether two units are the same letter, case aside, as NTFS compares
// names: ordinal, through the upper case of each unit.
bool SameUnit(wchar_t a, wchar_t b) {
  return a == b || CompareStringOrdinal(&a, 1, &b, 1, TRUE) == CSTR_EQUAL;
}

// Whether `name` matches `pattern`: '*' stands for any run of units, '?'
// for one (half of a surrogate pair, as for the system). This is the directory search's matching less the
// finer rules it keeps for names of the 8.3 age ("*.*" for names without a dot,
// '?' before a dot); it only decides which of the names the search found
// were found for their short name alone.
bool Matches(std::wstring_view pattern, std::wstring_view name) {
  std::size_t p = 0;
  std::size_t n = 0;
  std::size_t star = std::wstring_view::npos;  // the last '*' passed, and where its run would end
  std::size_t star_end = 0;
  while (n < name.size()) {
    if (p < pattern.size() && pattern[p] == L'*') {
      star = p++;
      star_end = n;
    } else if (p < pattern.size() && pattern[p] == L'?') {
      ++p;
      ++n;
    } else if (p < pattern.size() && SameUnit(pattern[p], name[n])) {
      ++p;
      ++n;
    } else if (star != std::wstring_view::npos) {
      // The last '*' takes one more character, and the rest is tried again.
      p = star + 1;
      n = ++star_end;
    } else {
      return false;
    }
  }
  while (p < pattern.size() && pattern[p] == L'*') ++p;
  return p == pattern.size();
}

// Whether the search for `pattern` found `found` for its short name alone
// ("TRACK~1.BGM" of "TRACK.bgmx" for "*.bgm"): the short name matches and
// the long name does not.
bool FoundForShortNameAlone(std::wstring_view pattern, const Found& found) {
  return !found.short_name.empty() && Matches(pattern, found.short_name) && !Matches(pattern, found.name);
}

bool Exists(const std::string& path) {
  const std::optional<std::wstring> name = WideName(path);
  return name && GetFileAttributesW(name->c_str()) != INVALID_FILE_ATTRIBUTES;
}

// Adds to `matches` every existing path that `spelt` followed by `rest`
// matches: `spelt` is literal, and the first part of `rest` that holds a
// wildcard is searched for in the folder before it. A pattern before the
// last part matches folders only.
void Expand(const std::string& spelt, std::string_view rest, std::vector<std::string>& matches) {
  const std::size_t wildcard = std::ranges::find_if(rest, IsWildcard) - rest.begin();
  if (wildcard == rest.size()) {
    // A literal end after a pattern: "*\track.bgm" names what exists.
    if (Exists(spelt + std::string(rest))) matches.push_back(spelt + std::string(rest));
    return;
  }
  const std::size_t separator = rest.substr(0, wildcard).find_last_of("\\/:");
  const std::size_t start = separator == std::string_view::npos ? 0 : separator + 1;
  const std::size_t end = std::min(rest.find_first_of("\\/", wildcard), rest.size());
  const std::string folder = spelt + std::string(rest.substr(0, start));
  const std::string pattern(rest.substr(start, end - start));
  const std::string_view after = rest.substr(end);
  const std::optional<std::vector<Found>> found = Search(folder + pattern, true);
  if (!found) {
    // A pattern that cannot be a name (a '|' in it) names nothing either.
    const DWORD error = GetLastError();
    const SystemFailure failure = system::LastFailure();
    if (error == ERROR_INVALID_NAME || failure.fault == FileFault::kNotFound) return;
    throw EFOpenError(Operation("FindFirstFileExW", folder + pattern), failure);
  }
  const std::optional<std::u16string> wide_pattern = Utf8ToWide(pattern);
  std::vector<std::string> names;
  for (const Found& one : *found) {
    if (!after.empty() && (one.attributes & FILE_ATTRIBUTE_DIRECTORY) == 0) continue;
    if (wide_pattern && FoundForShortNameAlone(ToWchar(*wide_pattern), one)) continue;
    names.push_back(WideToUtf8(FromWchar(one.name)));
  }
  // In the order of a walk: "sub\\x" before "sub2\\x", though '2' is
  // less than '\\'.
  std::ranges::sort(names);
  for (const std::string& name : names) {
    if (after.empty()) {
      matches.push_back(folder + name);
    } else {
      Expand(folder + name, after, matches);
    }
  }
}

}  // namespace

std::optional<std::vector<std::string>> ExpandWildcards(const std::string& argument) {
  // The '?' of a \\?\ prefix is not a wildcard.
  const bool verbatim = argument.size() >= 4 && IsSlash(argument[0]) && IsSlash(argument[1]) &&
                        argument[2] == '?' && IsSlash(argument[3]);
  const std::size_t start = verbatim ? 4 : 0;
  const std::string_view rest = std::string_view(argument).substr(start);
  if (std::ranges::none_of(rest, IsWildcard)) return std::nullopt;
  std::vector<std::string> matches;
  Expand(argument.substr(0, start), rest, matches);
  return matches;
}

}  // namespace plivex::platform
