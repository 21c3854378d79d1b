#pragma once

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

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

// True when `path` names an existing regular file. Opens nothing.
bool IsExistingFile(const std::string& path);

// The size of the existing regular file `path` names, or nothing when it
// names none (missing, a folder, a device). Opens nothing.
std::optional<ByteCount> ExistingFileSize(const std::string& path);

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
  // Raises EReadError when the system reports a failure.
  std::size_t Read(std::span<std::uint8_t> buffer);

  // Fills all of `buffer`, or raises EReadError (a failure, or the file
  // ended first).
  void ReadExactly(std::span<std::uint8_t> buffer);

  // Writes all of `data` at the current position, or raises EWriteError.
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

  friend File OpenInput(const std::string& path);
  friend File CreateOutput(const std::string& path, const File& input);

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

// Creates `path`, or empties an existing file of that name, for writing.
// Fails with EFCreateError, before anything is emptied, when `path` is the
// same file as `input`, when it is the file, pipe or block device that
// standard output (the console) writes to, when it is a Windows console
// (CON, CONOUT$, under any spelling), when another program holds it
// (Windows: has it open for reading or writing; Linux: has locked it, in
// either family), and when it is a pipe that nobody reads. Only a regular
// file is locked on Linux; devices and pipes are written as they are.
File CreateOutput(const std::string& path, const File& input);

}  // namespace plivex::platform
