#pragma once

#include <cstddef>
#include <cstdint>
#include <span>
#include <string>

namespace plivex::platform {

// A count of bytes in a file: sizes, lengths, positions. Unsigned 64 bits
// on every platform; the programs check their own limits against it.
using ByteCount = std::uint64_t;

// True when `path` names an existing regular file. Opens nothing.
bool IsExistingFile(const std::string& path);

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

  bool IsOpen() const noexcept { return handle_ != kNoHandle; }

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
  using Handle = std::intptr_t;  // a descriptor, or a Windows HANDLE
  static constexpr Handle kNoHandle = -1;

  explicit File(Handle handle) noexcept : handle_(handle) {}

  Handle handle_ = kNoHandle;
};

// Opens an existing file for reading, held so that no other open of it
// succeeds while it is open. Raises EFOpenError.
File OpenInput(const std::string& path);

// Creates `path`, or empties an existing file of that name, for writing,
// held the same way. Fails with EFCreateError, before anything is emptied,
// when `path` is the same file as `input`, when it is the file or pipe
// that standard output (the console) writes to, and when it is a pipe
// that nobody reads.
File CreateOutput(const std::string& path, const File& input);

}  // namespace plivex::platform
