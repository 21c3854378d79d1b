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

#include "platform/file.h"

namespace plivex::platform::system {

// A Windows HANDLE (a pointer) as a Handle, and back.
inline void* ToHandle(Handle handle) { return reinterpret_cast<void*>(handle); }
inline Handle FromHandle(void* handle) { return reinterpret_cast<Handle>(handle); }

// One read or write, retried when a signal interrupts it. Returns the count
// of bytes moved (0 from ReadSome at the end of the input), or -1 when the
// system reports a failure; LastError() then says which.
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

// The system's reason for the last failure, for the texts of the failure
// kinds (which help debugging; the console never shows them).
std::string LastError();

// Standard input and output, or kNoHandle when the process has none.
Handle StandardInput();
Handle StandardOutput();

// Writes one whole console line (already ending in CR LF) to standard
// output, the way the backend shows text. Failures are ignored: the console
// is only ever informative.
void WriteConsoleLine(std::string_view line);

// Moves the position of `handle` to `position` bytes from the start.
// Returns false when the system refuses; LastError() then says why.
bool Seek(Handle handle, ByteCount position);

// Opens an existing file for reading, or creates (without emptying) a file
// for writing, each held against other programs as far as the open itself
// can (the Windows sharing rules). Returns kNoHandle on failure, with
// LastError() saying why; a name that cannot be a file's fails too.
Handle OpenForReading(const std::string& path);
Handle OpenForWriting(const std::string& path);

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

// The identity of `handle`, or nothing when the system refuses; LastError()
// then says why.
std::optional<FileIdentity> Identify(Handle handle);

// Takes the locks that keep out other programs: shared ones that let other
// readers in, or exclusive ones. False when another program holds a lock
// that conflicts, or the system refuses; LastError() then says why. On
// Windows the sharing rules of the open do this, and Lock does nothing.
enum class LockMode { kShared, kExclusive };
bool Lock(Handle handle, LockMode mode);

// Empties the file open in `handle` for writing at position 0.
bool Empty(Handle handle);

}  // namespace plivex::platform::system
