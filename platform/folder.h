#pragma once

// Folders, for the program that converts whole folders: what one holds,
// what a path names and whether two paths name the same thing, making the
// folders an output needs, and on Windows the wildcards that its shell
// leaves to the program. Names are UTF-8 (WTF-8 on Windows, as everywhere
// in the platform layer); on Windows they reach the system in UTF-16, long
// paths in their long form.

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "platform/file.h"

namespace plivex::platform {

// What a folder entry is. kOther: devices, FIFOs, sockets, broken links,
// and every symbolic link (or junction, or mount point) to a folder, which
// a walk never follows, so that a loop of links cannot make it endless.
enum class EntryKind { kFile, kFolder, kOther };

struct FolderEntry {
  std::string name;
  EntryKind kind = EntryKind::kOther;
};

// The entries of the folder `path`, without "." and "..", sorted by the
// bytes of their names (upper case before lower case, every ASCII name
// before any name that starts with a multi-byte character). A symbolic
// link to a file counts as a file. Raises EFOpenError with the reason
// (kNotFound, kAccessDenied, kNameTooLong, kNotAFolder, ...) when the
// folder cannot be read, so that the caller can say so in one line and go
// on. Under Wine a broken link, or a link that points to itself, is not
// listed at all, and a FIFO is listed as a file.
std::vector<FolderEntry> ListFolder(const std::string& path);

// What a path names, following symbolic links (a link to a folder given by
// the user is walked; only links met inside a walk are not), and who it
// is: two paths that name the same file or folder, by whatever spelling,
// link or hard link, have the same identity.
struct PathIdentity {
  EntryKind kind = EntryKind::kOther;  // kOther: a device, a FIFO, a socket
  ByteCount size = 0;                  // of a file
  // False when the system cannot tell one such thing from another (on
  // Windows, a device): it is then nobody's twin.
  bool known = false;
  std::uint64_t volume = 0;  // the file system it is on
  std::uint64_t id[2] = {};  // the file or folder within it
};

// Nothing when `path` names nothing (missing, a broken link, a file where
// a folder of the path should be). Raises EFOpenError with the reason when
// the system cannot say (kAccessDenied, kNameTooLong, a loop of links).
std::optional<PathIdentity> Identify(const std::string& path);

// True when both identities are known and name the same file or folder.
bool SamePath(const PathIdentity& a, const PathIdentity& b);

// Makes the folder `path` and every missing folder above it (on POSIX with
// the mode 0777 less the umask). A folder that exists already is fine,
// and so is a link to one. Raises EFCreateError with the reason; a file (or
// anything else but a folder) in the way, at any level, is kNotAFolder, and
// what() names it.
void MakeFolders(const std::string& path);

// The separator the program puts between a folder and a name: '/' on POSIX,
// '\\' on Windows, where '/' is taken too.
#ifdef _WIN32
inline constexpr char kPathSeparator = '\\';
#else
inline constexpr char kPathSeparator = '/';
#endif

// `name` in the folder `folder`: joined with kPathSeparator, unless
// `folder` already ends in a separator (or, on Windows, is a drive such as
// "C:", whose "C:name" is in the current folder of that drive). An empty
// folder gives `name` itself.
std::string JoinPath(std::string_view folder, std::string_view name);

// The last part of `path`, after its last separator (on Windows also after
// the ':' of a drive): "TRACK01.BGM" of "music/TRACK01.BGM". Empty when
// `path` ends in a separator.
std::string_view LastPart(std::string_view path);

// The folder that `path` is in, spelt as in `path`, without the separators
// before the last part unless they are all of a root ("/", "C:\\"): "music"
// of "music/TRACK01.BGM", "/" of "/TRACK01.BGM", "" of "TRACK01.BGM".
std::string_view FolderPart(std::string_view path);

// Windows: when `argument` holds '*' or '?' in any of its parts (outside a
// \\?\ prefix), the existing paths it matches, each spelt as the argument
// with the matched names in place of its patterns, in the order of a walk
// (by the bytes of the names, part by part); an empty list when nothing
// matches. A pattern before the last part matches folders only. Matching
// is the system's directory search (case-insensitive: "*.bgm" matches
// "A.BGM"), except that a name is never taken for its 8.3 short name
// alone: "*.bgm" does not match "TRACK.bgmx", whose short name may be
// "TRACK~1.BGM". Raises EFOpenError with the reason when a folder cannot
// be searched.
// Nothing when the argument has no wildcard, so that the caller takes it
// literally; on POSIX, where the shell expands wildcards, always nothing.
std::optional<std::vector<std::string>> ExpandWildcards(const std::string& argument);

}  // namespace plivex::platform
