#pragma once

// What each backend provides to the platform layer's shared code: one
// system call's worth of reading or writing, the standard handles, and the
// facts about an open file that the rules for opening and creating files
// need. The loops that move a whole buffer, those rules, console lines and
// the wait for Enter are written once on top of these (file.cpp,
// console.cpp). Internal to platform/: nothing outside it includes this
// header.

#include <cstdint>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/errors.h"
#include "platform/file.h"

namespace plivex::platform::system {

// A Windows HANDLE (a pointer) as a Handle, and back.
inline void* ToHandle(Handle handle) { return reinterpret_cast<void*>(handle); }
inline Handle FromHandle(void* handle) { return reinterpret_cast<Handle>(handle); }

// One read or write, retried when a signal interrupts it. Returns the count
// of bytes moved (0 from ReadSome at the end of the input), or -1 when the
// system reports a failure; LastFailure() then says which.
std::int64_t ReadSome(Handle handle, std::span<std::uint8_t> buffer);
std::int64_t WriteSome(Handle handle, std::span<const std::uint8_t> data);

// Writes all of `data` through WriteSome, a call at a time; written once,
// for files and the console alike (file.cpp). Returns the count written,
// which is less than the size of `data` only after a failure.
std::size_t WriteAll(Handle handle, std::span<const std::uint8_t> data);

// The bytes of a text, for WriteAll.
inline std::span<const std::uint8_t> AsBytes(std::string_view text) {
  return {reinterpret_cast<const std::uint8_t*>(text.data()), text.size()};
}

// The system's reason for the last failure of a call made through this
// header: the fault it amounts to, and the system's own words.
SystemFailure LastFailure();

// A failure of the program's own finding, with its words for debugging
// (the console names the fault, never these words).
inline SystemFailure Failure(FileFault fault, std::string text) { return {fault, std::move(text)}; }

// Standard input and output, or kNoHandle when the process has none.
Handle StandardInput();
Handle StandardOutput();

// True when `handle` is a terminal (on Windows, a console), where a person
// types and reads.
bool IsTerminal(Handle handle);

// A handle of its own on standard input, or kNoHandle when there is none
// (LastFailure() then says why).
Handle DuplicateStandardInput();

// Writes one whole console line (already ending in CR LF) to standard
// output, the way the backend shows text. Failures are ignored: the console
// is only ever informative.
void WriteConsoleLine(std::string_view line);

// Moves the position of `handle` to `position` bytes from the start.
// Returns false when the system refuses; LastFailure() then says why.
bool Seek(Handle handle, ByteCount position);

// Opens an existing file for reading, or creates (without emptying) a file
// for writing, each held against other programs as far as the open itself
// can (the Windows sharing rules). Returns kNoHandle on failure, with
// LastFailure() saying why; a name that cannot be a file's fails too.
Handle OpenForReading(const std::string& path);
Handle OpenForWriting(const std::string& path);

// Opens an existing file (or device, or pipe) for writing, held against
// other programs as the open itself can, without creating or emptying
// anything. kNoHandle on failure; LastFailure() says why, kNotFound when
// `path` names nothing.
Handle OpenExistingForWriting(const std::string& path);

// The folder that the file `path` is in (the last part of `path` taken
// away), opened to create, rename and remove files in it by their names: on
// Linux a descriptor of it, so that its path, however long, is walked once,
// and the calls below get only the short last part. Windows needs nothing
// opened and gives kNoHandle. Nothing when the folder cannot be opened
// (LastFailure() says why: kNotFound for a missing one). The calls below
// take the folder and the whole path of a file in it; each backend uses
// what it needs.
std::optional<Handle> OpenFolder(const std::string& path);

// Creates the file `path` in `folder`, which must not exist yet, for
// writing, shared with nobody. kNoHandle on failure (an existing file of
// that name too). With `owner_only` nobody else may read it until
// CopyPermissions gives it the rights of the file it is to replace, which
// may be stricter than those a new file gets.
Handle CreateNew(Handle folder, const std::string& path, bool owner_only);

// `path` with the symbolic links of its last part followed: the name of
// the file that writing to `path` would write, which a rename must replace
// to leave the links as they are. `path` itself when it is not a link, or
// the links cannot be read.
std::string FinalName(const std::string& path);

// The characters after which a path's last part begins.
extern const std::string_view kPathSeparators;

// What a temporary name says of its file, before its eight digits
// (Replacement::TemporaryName).
inline constexpr std::string_view kUnfinished = "-unfinished-";

// Gives the new file `file` the permission bits (on Windows the attributes
// a user sets: hidden, system), and as far as this process may the owner
// and group, of the file `model`. False when the permission bits cannot be
// set.
bool CopyPermissions(Handle model, Handle file);

// Gives the new file `file` the extended attributes of `model`, after
// CopyPermissions (an ACL holds the group bits of the mode as its mask),
// skipping those that `file` has already with the same value (a security
// label); an access control list that `file` has and `model` has not (one
// inherited from the folder's default ACL) is taken away. Appends each
// attribute that cannot be given to `not_kept`, and goes on. Returns false,
// with the last entry of `not_kept` saying which and why, when the access
// to `file` could not be made that of `model`: an ACL could not be read,
// given or taken away, or the attributes could not be listed (the entry's
// name is then empty). On Windows the one such attribute is the DACL,
// which is given exactly or not at all (the entry "DACL").
bool CopyAttributes(Handle model, Handle file, std::vector<AttributeNotKept>& not_kept);

// Makes the system write the data of `handle` out to the disk.
bool Flush(Handle handle);

// Gives the file `from` in `folder` the name `to` in the same folder, in one
// step: over an existing file `to` when `replace` is true, and otherwise
// only when `to` does not exist. False when the system refuses; `from` is
// then as it was.
bool Rename(Handle folder, const std::string& from, const std::string& to, bool replace);

// Removes the file `path` in `folder`.
bool Remove(Handle folder, const std::string& path);

// The files that an interruption (a signal that ends the process; on
// Windows the console's break and close events) removes before the process
// ends, several at once, one for each Replacement under way, on any thread.
// Signals and events that are ignored stay ignored.
//
// GuardTemporary guards the file `path` in `folder` before it is created,
// so that no interruption can leave it behind, and returns the guard; it
// waits while every guard is taken (on Linux there are 128). -1, with
// LastFailure() saying why, when the file is not to be created: its name is
// too long for any folder, or the process is ending. GuardCreated says that
// the attempt to create it is over, made or not; ReleaseGuard lets go of a
// guard once its file has been renamed or removed, or was not made (and
// does nothing with -1).
int GuardTemporary(Handle folder, const std::string& path);
void GuardCreated(int guard) noexcept;
void ReleaseGuard(int guard) noexcept;

enum class FileKind { kFile, kBlockDevice, kCharacterDevice, kConsole, kPipe, kOther };

// What an open handle is, and who: two handles on one file (opened by any
// names) have equal identities, and SameFile (file.cpp) compares them.
struct FileIdentity {
  FileKind kind = FileKind::kOther;
  // False when the system cannot tell one such thing from another (on
  // Windows, anything but a file on disk): it is then nobody's twin.
  bool known = false;
  // The file system it is on, 0 when the system could not say; the file
  // within it. A block device is known by the device it names, so every
  // node of it is the same.
  std::uint64_t volume = 0;
  std::uint64_t id[2] = {};
  ByteCount size = 0;
};

// The identity of `handle`, or nothing when the system refuses;
// LastFailure() then says why.
std::optional<FileIdentity> Identify(Handle handle);

// Takes the locks that keep out other programs: shared ones that let other
// readers in, or exclusive ones. False when another program holds a lock
// that conflicts (LastFailure() is then kHeld), or the system refuses. On
// Windows the sharing rules of the open do this, and Lock does nothing.
enum class LockMode { kShared, kExclusive };
bool Lock(Handle handle, LockMode mode);

// Empties the file open in `handle` for writing at position 0.
bool Empty(Handle handle);

}  // namespace plivex::platform::system
