#pragma once

#include <stdexcept>
#include <string>
#include <utility>

namespace plivex {

// Why a file operation failed, in terms a user can act on. The system's
// many reasons fold into these; kOther keeps the system's own words.
enum class FileFault {
  kOther,
  kNotFound,              // no such file, or a folder on the way is missing
  kAccessDenied,          // the rights of the file or its folder
  kDiskFull,              // no space left, or the user's quota is used up
  kFileTooLarge,          // past a file size limit (ulimit -f, a FAT volume)
  kReadOnly,              // a read-only file system or write-protected disk
  kHeld,                  // another program holds it (a lock, a sharing mode)
  kSameAsInput,           // the output is the input under another name
  kSameAsStandardOutput,  // the file, pipe or device the console lines go to
  kIsFolder,
  kNotAFolder,            // a file (or a device) where a folder is needed
  kIsConsole,             // a console window, under any of its names
  kNoReader,              // a named pipe that nobody reads
  kReaderGone,            // the reader of a pipe went away
  kEndedEarly,            // the file ended before the length it was read for
  kNameTooLong,
  kAlreadyExists,         // a new file's name was taken meanwhile
  kAclNotKept,            // the new file could not be given the ACL of the file it replaces
  kInterrupted,           // Ctrl-C, when the program asked to be told of it (DeferInterruptions)
};

// What the system said about a failure: the fault and its own words for it
// (empty when it said nothing).
struct SystemFailure {
  FileFault fault = FileFault::kOther;
  std::string text;
};

// The ways a file operation can fail. Each is raised where the failure is
// found and caught only by a program's failure ending. plivex shows none of
// their texts (its console lines are fixed); plivex-pack names the fault.
// what() names the operation, the path and the reason, for debugging.
struct FileError : std::runtime_error {
  FileError(const std::string& operation, SystemFailure failure)
      : std::runtime_error(operation + ": " + failure.text), failure(std::move(failure)) {}

  SystemFailure failure;
};

// The input file cannot be opened (missing, locked, access denied).
struct EFOpenError : FileError {
  using FileError::FileError;
};

// The output file cannot be created (bad path, locked, same file as the input).
struct EFCreateError : FileError {
  using FileError::FileError;
};

// Reading the input failed or ended before the expected length.
struct EReadError : FileError {
  using FileError::FileError;
};

// Writing or closing the output failed, or wrote fewer bytes than asked.
struct EWriteError : FileError {
  using FileError::FileError;
};

// A read or write after a deferred Ctrl-C (platform::DeferInterruptions):
// the run is to stop, abandoning what it was writing.
struct EInterrupted : FileError {
  using FileError::FileError;
};

// The complete output could not be put in the place of the file it replaces;
// that file is as it was.
struct EReplaceError : FileError {
  using FileError::FileError;
};

}  // namespace plivex
