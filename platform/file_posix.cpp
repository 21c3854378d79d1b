#include <errno.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstring>
#include <utility>

#include "platform/errors.h"
#include "platform/file.h"
#include "platform/system.h"

namespace plivex::platform {

namespace {

std::string Reason(const char* operation, const std::string& path, int error) {
  return std::string(operation) + "(" + path + "): " + std::strerror(error);
}

// Locks on Linux come in two families that do not see each other: flock,
// and record locks (lockf, fcntl F_SETLK, and the open-file-description
// locks of F_OFD_SETLK). Programs use either, so a file is locked in both,
// without waiting. A lock that the file system does not offer (a network
// file system mounted without locks; NFS's emulation of flock, which wants
// a descriptor open for writing for an exclusive lock) leaves the file
// unlocked rather than refused: the checks by device and inode still guard
// the run's own files. Only a lock that another holder keeps out (or an
// unexpected failure) refuses the file.
bool IsUnsupportedLock(int error) {
  return error == ENOLCK || error == EOPNOTSUPP || error == EINVAL || error == EBADF;
}

bool TakeFlock(int fd, bool exclusive) {
  for (;;) {
    if (flock(fd, (exclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) return true;
    if (errno != EINTR) return IsUnsupportedLock(errno);
  }
}

// An open-file-description lock on the whole file: like flock it belongs to
// this open of the file, not to the process, and it conflicts with every
// record lock of another open.
bool TakeRecordLock(int fd, bool exclusive) {
  struct flock lock {};
  lock.l_type = exclusive ? F_WRLCK : F_RDLCK;
  lock.l_whence = SEEK_SET;  // l_start 0 and l_len 0: the whole file, however long
  for (;;) {
    if (fcntl(fd, F_OFD_SETLK, &lock) == 0) return true;
    if (errno != EINTR) return IsUnsupportedLock(errno);
  }
}

// True unless another program holds a lock that conflicts: shared locks
// for an input, so readers may share it; exclusive ones for an output.
bool Lock(int fd, bool exclusive) { return TakeFlock(fd, exclusive) && TakeRecordLock(fd, exclusive); }

bool SameFile(const struct stat& a, const struct stat& b) { return a.st_dev == b.st_dev && a.st_ino == b.st_ino; }

// Whether data written to the file `info` describes would show up among the
// console's lines, or the console's lines in its data: when standard output
// goes to the same regular file or pipe, or to the same block device (by
// the device it names, so another node of it counts too). A character
// device (/dev/null, a terminal) keeps nothing, so it may be both. Without
// a standard output (fstat fails) there is nothing to clash with.
bool IsStandardOutput(const struct stat& info) {
  struct stat console {};
  if (fstat(STDOUT_FILENO, &console) != 0) return false;
  if (S_ISCHR(info.st_mode)) return false;
  if (S_ISBLK(info.st_mode)) return S_ISBLK(console.st_mode) && info.st_rdev == console.st_rdev;
  return SameFile(info, console);
}

// Opens `path`, and keeps the descriptor clear of 0, 1 and 2. When the
// program was started with a standard stream closed, open() hands out that
// number, and a console line meant for standard output would then be
// written into the file (into the middle of the output, with a success line
// after it). Returns -1 with errno set on failure.
int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd = -1;
  for (;;) {
    fd = open(path, flags, mode);
    if (fd >= 0 || errno != EINTR) break;
  }
  if (fd < 0 || fd > STDERR_FILENO) return fd;
  const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
  const int error = errno;
  // Nothing was read or written through `fd` yet, so a failed close of it
  // loses nothing; Linux releases the number either way.
  (void)close(fd);
  errno = error;
  return moved;
}

// Clears O_NONBLOCK, which was only wanted for the open itself.
bool MakeBlocking(int fd) {
  const int flags = fcntl(fd, F_GETFL);
  return flags != -1 && fcntl(fd, F_SETFL, flags & ~O_NONBLOCK) != -1;
}

}  // namespace

namespace system {

std::int64_t ReadSome(Handle handle, std::span<std::uint8_t> buffer) {
  for (;;) {
    const ssize_t got = read(static_cast<int>(handle), buffer.data(), buffer.size());
    if (got >= 0 || errno != EINTR) return got;
  }
}

std::int64_t WriteSome(Handle handle, std::span<const std::uint8_t> data) {
  for (;;) {
    const ssize_t put = write(static_cast<int>(handle), data.data(), data.size());
    if (put >= 0 || errno != EINTR) return put;
  }
}

std::string LastError() { return std::strerror(errno); }

bool Seek(Handle handle, ByteCount position) {
  static_assert(sizeof(off_t) == 8, "file positions are 64-bit");
  // off_t is signed: a larger position cannot even be asked for.
  if (position > static_cast<ByteCount>(INT64_MAX)) {
    errno = EOVERFLOW;
    return false;
  }
  return lseek(static_cast<int>(handle), static_cast<off_t>(position), SEEK_SET) != -1;
}

}  // namespace system

std::optional<ByteCount> ExistingFileSize(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0 || !S_ISREG(info.st_mode)) return std::nullopt;
  return static_cast<ByteCount>(info.st_size);
}

bool File::Close() noexcept {
  if (!IsOpen()) return true;
  const int fd = static_cast<int>(std::exchange(handle_, kNoHandle));
  // On Linux the descriptor is released even when close() reports EINTR, so
  // it must not be closed again; the error is still reported.
  return close(fd) == 0;
}

ByteCount File::Size() const {
  struct stat info {};
  if (fstat(static_cast<int>(handle_), &info) != 0) {
    throw EReadError("fstat: " + system::LastError());
  }
  return static_cast<ByteCount>(info.st_size);
}

File OpenInput(const std::string& path) {
  // O_NONBLOCK so that a FIFO put in place of the file since the existence
  // test cannot block the open; reads of a regular file ignore the flag.
  const int fd = OpenRetrying(path.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) throw EFOpenError(Reason("open", path, errno));
  File file(fd);

  struct stat info {};
  if (fstat(fd, &info) != 0) throw EFOpenError(Reason("fstat", path, errno));
  if (!S_ISREG(info.st_mode)) throw EFOpenError("open(" + path + "): not a regular file");
  // Appending standard output to the input (>> in.bgm) would make the
  // console's lines part of the samples, and the input grow as it is read.
  if (IsStandardOutput(info)) throw EFOpenError("open(" + path + "): same file as the standard output");
  if (!Lock(fd, false)) throw EFOpenError(Reason("lock", path, errno));
  return file;
}

File CreateOutput(const std::string& path, const File& input) {
  // Opened without O_TRUNC: the file is emptied only once it is known not
  // to be the input and nobody else holds it.
  // Write-only and O_NONBLOCK for a FIFO: the open fails at once when
  // nobody reads it (instead of the data vanishing into the pipe, or the
  // run blocking for good once the pipe is full), and a reader that goes
  // away makes the next write fail with EPIPE. Regular files ignore the
  // flag; it is cleared right after the open for every kind of output.
  const int fd = OpenRetrying(path.c_str(), O_WRONLY | O_CREAT | O_NONBLOCK | O_CLOEXEC, 0666);
  if (fd < 0) throw EFCreateError(Reason("open", path, errno));
  File file(fd);
  if (!MakeBlocking(fd)) throw EFCreateError(Reason("fcntl", path, errno));

  struct stat info {};
  if (fstat(fd, &info) != 0) throw EFCreateError(Reason("fstat", path, errno));
  struct stat input_info {};
  if (fstat(static_cast<int>(input.handle_), &input_info) != 0) {
    throw EFCreateError(Reason("fstat", "input", errno));
  }
  if (SameFile(info, input_info)) throw EFCreateError("open(" + path + "): same file as the input");
  // /dev/stdout while standard output is redirected, for instance.
  if (IsStandardOutput(info)) {
    throw EFCreateError("open(" + path + "): same file as the standard output");
  }
  // Only a file keeps what a lock would protect: two runs may write to
  // /dev/null at once, and a lock someone holds on a device or a pipe must
  // not stop a run.
  if (S_ISREG(info.st_mode) && !Lock(fd, true)) throw EFCreateError(Reason("lock", path, errno));
  // Devices and pipes (/dev/null, a terminal, a FIFO with a reader) are
  // written as they are. A new, empty file is not truncated: on ext4 a
  // truncation to zero makes the close wait for the data to be allocated on
  // disk, which doubles the time of a whole conversion.
  if (S_ISREG(info.st_mode) && info.st_size != 0) {
    for (;;) {
      if (ftruncate(fd, 0) == 0) break;
      if (errno != EINTR) throw EFCreateError(Reason("ftruncate", path, errno));
    }
  }
  return file;
}

}  // namespace plivex::platform
