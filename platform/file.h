#pragma once

#include <cstddef>
#include <cstdint>
#include <memory>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/errors.h"

#include "platform/errors.h"

namespace plivex::platform {

// A count of bytes in a file: sizes, lengths, positions. Unsigned 64 bits
// on every platform; the programs check their own limits against it.
using ByteCount = std::uint64_t;

namespace system {
// An open file or standard stream as the backend knows it: a descriptor on
// POSIX, a HANDLE on Windows.
using Handle = std::intptr_t;
inline constexpr Handle kNoHandle = -1;
}  // namespace system

// What a path names, looked at without opening it: nothing (or nothing
// that can be reached), a regular file and its size, or something else (a
// folder, a device, a pipe).
enum class PathKind { kMissing, kFile, kOther };
struct PathInfo {
  PathKind kind = PathKind::kMissing;
  ByteCount size = 0;  // of a regular file
  // Why nothing could be looked at (kMissing): kNotFound when nothing is
  // there, else the reason, such as a folder on the way that may not be
  // entered or a name part too long for the file system.
  SystemFailure failure{FileFault::kNotFound, {}};
};
PathInfo LookUp(const std::string& path);

// True when `path` names an existing regular file. Opens nothing.
bool IsExistingFile(const std::string& path);

class Replacement;

// An open file, read and written at its current position. Move-only; a
// File that is destroyed while still open is closed and the result of that
// close is ignored, so callers that care close explicitly.
class File {
 public:
  File() = default;
  File(File&& other) noexcept;
  File& operator=(File&& other) noexcept;
  File(const File&) = delete;
  File& operator=(const File&) = delete;
  ~File();

  bool IsOpen() const noexcept { return handle_ != system::kNoHandle; }

  // Fills `buffer` from the current position. Returns the number of bytes
  // read, which is less than the buffer's size only at the end of the file.
  // Raises EReadError when the system reports a failure, and EInterrupted
  // once a deferred Ctrl-C has come (DeferInterruptions).
  std::size_t Read(std::span<std::uint8_t> buffer);

  // Fills all of `buffer`, or raises EReadError (a failure, or the file
  // ended first).
  void ReadExactly(std::span<std::uint8_t> buffer);

  // Writes all of `data` at the current position, or raises EWriteError
  // (EInterrupted once a deferred Ctrl-C has come).
  void Write(std::span<const std::uint8_t> data);

  // The file's size in bytes. Raises EReadError when it cannot be taken.
  ByteCount Size() const;

  // Moves the current position to `position` bytes from the start. A
  // position past the end is allowed (reads there get nothing). Raises
  // EReadError when the system refuses it.
  void Seek(ByteCount position);

  // Closes the file. Returns false when the system reports a failure (for a
  // written file this can mean data did not reach the disk). Closing a file
  // that is not open does nothing and returns true.
  [[nodiscard]] bool Close() noexcept;

  // Closes a file that was written, or raises EWriteError when the system
  // reports a failure: its data may not have reached the disk.
  void CloseWritten();

  friend File OpenInput(const std::string& path);
  friend File OpenStandardInput();
  friend File CreateOutput(const std::string& path, const File& input);
  friend class Replacement;
  friend Replacement BeginReplacement(const std::string& path, const File& input);

 private:
  explicit File(system::Handle handle) noexcept : handle_(handle) {}

  system::Handle handle_ = system::kNoHandle;
};

// Opens an existing regular file for reading, or raises EFOpenError.
// Other programs may read it meanwhile; one that writes is kept out as far
// as the platform allows. On Windows it is opened with read sharing only:
// no open for writing succeeds while it is held, and one already made
// makes this open fail. On Linux it takes shared advisory locks (flock and
// an open-file-description record lock), which keep out a program that
// locks the file to write it (another run's output) but not one that
// writes without locking; where the file system offers no locks, it is not
// locked. An input that is the file standard output goes to is refused.
File OpenInput(const std::string& path);

// Standard input as a File of its own, to read a WAV file from a pipe: a
// duplicate of the handle, so that closing it leaves standard input to the
// process. Read it only forward: a pipe cannot seek. A regular file given
// as standard input is held as OpenInput holds a file, and refused as it
// would be when it is the file standard output goes to. Raises EFOpenError
// (standard input closed, for one).
File OpenStandardInput();

// Creates `path`, or empties an existing file of that name, for writing.
// Fails with EFCreateError, before anything is emptied, when `path` is the
// same file as `input`, when it is the file, pipe or block device that
// standard output (the console) writes to, when it is a Windows console
// (CON, CONOUT$, under any spelling), when another program holds it
// (Windows: has it open for reading or writing; Linux: has locked it, in
// either family), and when it is a pipe that nobody reads. Only a regular
// file is locked on Linux; devices and pipes are written as they are.
File CreateOutput(const std::string& path, const File& input);

// An extended attribute of the file a Replacement replaces that the new
// file could not be given (on Linux, `user.comment` say), and why.
struct AttributeNotKept {
  std::string name;
  SystemFailure failure;
};

// The output of a run that must never damage the file it replaces: the new
// file is written in full under a temporary name beside it, and only then
// put in its place by a rename. Until that rename the file of that name
// stays exactly as it was (bytes, size, times), or absent, whatever goes
// wrong: a refusal, a failed read or write, a full disk, an interruption
// (any signal that ends the process but SIGKILL; a closed console window),
// in which case the temporary file is removed before the process ends.
//
// The file being written goes through these states:
//
//   (none) --Begin--> writing --Commit--> replaced (or written, for a device)
//                        |
//                        +--Abandon, a failed Commit, an interruption--> removed
//
// Several may be under way at once, on several threads: each is begun,
// committed and abandoned by one thread at a time, and an interruption
// removes the files of all of them. Devices and pipes (/dev/null, NUL, a
// FIFO) have nothing to keep: they are written directly, as CreateOutput
// does. Move-only; destroying one that is still writing abandons it.
class Replacement {
 public:
  Replacement() = default;
  Replacement(Replacement&& other) noexcept;
  Replacement& operator=(Replacement&& other) noexcept;
  Replacement(const Replacement&) = delete;
  Replacement& operator=(const Replacement&) = delete;
  ~Replacement();

  // Where the new contents are written.
  File& Output() noexcept { return file_; }

  // Gives the new file the owner, group and permission bits of the file it
  // replaces, and its extended attributes (its ACL among them), flushes it,
  // closes it and puts it in place of the output. Raises EFCreateError when
  // the new file cannot be given the permissions or the ACL (the fault
  // kAclNotKept: rather fail than let anyone in whom the original kept
  // out), EWriteError when the close (or the flush before it) fails, and
  // EReplaceError when the rename fails; any of them removes the temporary
  // file and leaves the output as it was. After an interruption that was
  // deferred, a Replacement whose last write came before it may still be
  // committed: its file is complete.
  void Commit();

  // Closes and removes the new file, and lets go of the output, which is as
  // it was. Does nothing when nothing is being written.
  void Abandon() noexcept;

  // After a Commit that replaced a file: its extended attributes (other
  // than the ACL) that the new file could not be given, in the order the
  // system listed them, each with the reason. Empty when all were kept.
  const std::vector<AttributeNotKept>& AttributesNotKept() const noexcept { return not_kept_; }

  // Begins the replacement of `path` (following symbolic links to the file
  // they name, so that a link stays a link). An existing `path` is checked
  // as CreateOutput checks it, by the same rules, and must be open to
  // writing; it is held against other programs until the rename. Raises
  // EFCreateError, with nothing created, when any check fails or the
  // temporary file cannot be created in the output's folder. The folder is
  // opened once, and the temporary file created, renamed and removed by
  // its name in it: a path that plivex can write (up to 4095 bytes on
  // Linux) can be replaced, however little room it leaves for the longer
  // temporary name.
  friend Replacement BeginReplacement(const std::string& path, const File& input);

  // The name a file being written for `final_path` gets, in the same
  // folder: the name it is for (cut short when long, at a whole
  // character), then ".", the temporary tag (SetTemporaryTag),
  // "-unfinished-" and the eight hexadecimal digits of `unique`, so that a
  // user who finds one left by a power cut can tell what it is, which
  // program left it, and that it may be deleted.
  static std::string TemporaryName(const std::string& final_path, std::uint32_t unique);

 private:
  File file_;              // what is being written: the temporary file, or a device
  File original_;          // the existing output, held until the rename
  File folder_;            // the output's folder, open while a temporary file is in it (Linux)
  std::string temporary_;  // the temporary file's path, empty when there is none
  std::string final_;      // the name it takes on Commit
  int guard_ = -1;         // the interruption guard of the temporary file (system::GuardTemporary)
  bool replaces_ = false;  // an existing file of that name is replaced
  std::vector<AttributeNotKept> not_kept_;
};

Replacement BeginReplacement(const std::string& path, const File& input);

// The program's name in the temporary names of its Replacements
// (TemporaryName), "plivex-pack" unless it says otherwise: plivex-batch,
// which writes WAV files as well as Bgm files, sets its own, so that a file
// left by a power cut names the program that left it. Call it once, at the
// program's start, before any Replacement begins. Keep it short: with up to
// 31 bytes every temporary name fits in the 255 bytes a name may have.
void SetTemporaryTag(std::string_view tag);

// From this call on, the first Ctrl-C (SIGINT; on Windows CTRL_C_EVENT and
// CTRL_BREAK_EVENT) does not end the process: it is noted, and every
// File::Read and File::Write after it raises EInterrupted (on Linux, so does
// one that the signal breaks off, on the thread it reached), so that each
// Replacement under way is abandoned (its file removed) by the code that
// handles the failure. A second Ctrl-C, and every other signal or event
// that ends the process, removes every guarded file and ends the process as
// today. A Ctrl-C that is ignored (a background job, nohup) stays ignored.
// Call it once, before any thread starts. plivex and plivex-pack never call
// it: their first Ctrl-C ends them.
void DeferInterruptions();

// True once a deferred Ctrl-C has come.
bool InterruptionRequested();

}  // namespace plivex::platform
