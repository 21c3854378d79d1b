#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cstring>
#include <string>
#include <utility>

#include "platform/file.h"
#include "platform/system.h"

namespace plivex::platform {

namespace {

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

bool TakeFlock(int fd, system::LockMode mode) {
  for (;;) {
    if (flock(fd, (mode == system::LockMode::kExclusive ? LOCK_EX : LOCK_SH) | LOCK_NB) == 0) return true;
    if (errno != EINTR) return IsUnsupportedLock(errno);
  }
}

// An open-file-description lock on the whole file: like flock it belongs to
// this open of the file, not to the process, and it conflicts with every
// record lock of another open.
bool TakeRecordLock(int fd, system::LockMode mode) {
  struct flock lock {};
  lock.l_type = mode == system::LockMode::kExclusive ? F_WRLCK : F_RDLCK;
  lock.l_whence = SEEK_SET;  // l_start 0 and l_len 0: the whole file, however long
  for (;;) {
    if (fcntl(fd, F_OFD_SETLK, &lock) == 0) return true;
    if (errno != EINTR) return IsUnsupportedLock(errno);
  }
}

// Opens `path`, and keeps the descriptor clear of 0, 1 and 2. When the
// program was started with a standard stream closed, open() hands out that
// number, and a console line meant for standard output would then be
// written into the file (into the middle of the output, with a success line
// after it). O_NONBLOCK so that a FIFO put in place of the file since the
// existence test cannot block the open; it is cleared again right after
// it. Returns -1 with errno set on failure.
int OpenRetrying(const char* path, int flags, mode_t mode = 0) {
  int fd = -1;
  do {
    fd = open(path, flags | O_NONBLOCK | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  if (fd >= 0 && fd <= STDERR_FILENO) {
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    // Nothing was read or written through `fd` yet, so a failed close of
    // it loses nothing; Linux releases the number either way.
    (void)close(fd);
    errno = error;
    fd = moved;
  }
  if (fd < 0) return fd;
  const int status = fcntl(fd, F_GETFL);
  if (status != -1 && fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != -1) return fd;
  const int error = errno;
  (void)close(fd);
  errno = error;
  return -1;
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

SystemFailure LastFailure() {
  const int error = errno;
  FileFault fault = FileFault::kOther;
  switch (error) {
    case ENOENT:
    case ENOTDIR:  // a file where a folder should be
      fault = FileFault::kNotFound;
      break;
    case EACCES:
    case EPERM:
      fault = FileFault::kAccessDenied;
      break;
    case ENOSPC:
    case EDQUOT:
      fault = FileFault::kDiskFull;
      break;
    case EFBIG:
      fault = FileFault::kFileTooLarge;
      break;
    case EROFS:
      fault = FileFault::kReadOnly;
      break;
    case EWOULDBLOCK:  // a lock that another holder keeps
      fault = FileFault::kHeld;
      break;
    case EISDIR:
      fault = FileFault::kIsFolder;
      break;
    case ENXIO:  // a FIFO opened without waiting for its reader
      fault = FileFault::kNoReader;
      break;
    case EPIPE:
      fault = FileFault::kReaderGone;
      break;
    case ENAMETOOLONG:
      fault = FileFault::kNameTooLong;
      break;
    case EEXIST:
      fault = FileFault::kAlreadyExists;
      break;
    default:
      break;
  }
  return {fault, std::strerror(error)};
}

bool Seek(Handle handle, ByteCount position) {
  static_assert(sizeof(off_t) == 8, "file positions are 64-bit");
  // off_t is signed: a larger position cannot even be asked for.
  if (position > static_cast<ByteCount>(INT64_MAX)) {
    errno = EOVERFLOW;
    return false;
  }
  return lseek(static_cast<int>(handle), static_cast<off_t>(position), SEEK_SET) != -1;
}

Handle OpenForReading(const std::string& path) { return OpenRetrying(path.c_str(), O_RDONLY); }

// Write-only, and opened without waiting for a FIFO's reader: the open
// fails at once when nobody reads it (instead of the data vanishing into
// the pipe, or the run blocking for good once the pipe is full), and a
// reader that goes away makes the next write fail with EPIPE.
Handle OpenForWriting(const std::string& path) {
  return OpenRetrying(path.c_str(), O_WRONLY | O_CREAT, 0666);
}

// The same rules for a FIFO as OpenForWriting's.
Handle OpenExistingForWriting(const std::string& path) { return OpenRetrying(path.c_str(), O_WRONLY); }

Handle CreateNew(const std::string& path, bool owner_only) {
  return OpenRetrying(path.c_str(), O_WRONLY | O_CREAT | O_EXCL, owner_only ? 0600 : 0666);
}

const std::string_view kPathSeparators = "/";

std::string FinalName(const std::string& path) {
  // Linux follows at most 40 links in a row; a longer chain (or a loop)
  // fails the open before anything gets here.
  std::string name = path;
  for (int links = 0; links < 40; ++links) {
    struct stat info {};
    if (lstat(name.c_str(), &info) != 0 || !S_ISLNK(info.st_mode)) return name;
    std::string target(static_cast<std::size_t>(info.st_size) + 1, '\0');
    const ssize_t length = readlink(name.c_str(), target.data(), target.size());
    // A link that changed meanwhile to a longer target: left as it is.
    if (length <= 0 || static_cast<std::size_t>(length) >= target.size()) return name;
    target.resize(static_cast<std::size_t>(length));
    // A relative target is relative to the folder of the link.
    const std::size_t slash = name.rfind('/');
    name = target[0] == '/' || slash == std::string::npos ? target : name.substr(0, slash + 1) + target;
  }
  return name;
}

bool CopyPermissions(Handle model, Handle file) {
  struct stat original {};
  struct stat created {};
  if (fstat(static_cast<int>(model), &original) != 0 || fstat(static_cast<int>(file), &created) != 0) {
    return false;
  }
  // The owner and group only as far as this process may give them (root:
  // any; others: a group of their own). Before the mode, since a change of
  // owner clears the set-user-ID and set-group-ID bits.
  const bool other_owner = original.st_uid != created.st_uid || original.st_gid != created.st_gid;
  if (other_owner && fchown(static_cast<int>(file), original.st_uid, original.st_gid) != 0 &&
      fchown(static_cast<int>(file), static_cast<uid_t>(-1), original.st_gid) != 0) {
    // Neither is allowed: the new file keeps this process's owner and group.
  }
  return fchmod(static_cast<int>(file), original.st_mode & 07777) == 0;
}

bool Flush(Handle handle) {
  for (;;) {
    if (fdatasync(static_cast<int>(handle)) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool Rename(const std::string& from, const std::string& to, bool replace) {
  if (replace) return rename(from.c_str(), to.c_str()) == 0;
  // A file that has taken the name since the run began is not replaced. A
  // file system (or kernel, or emulator) that cannot refuse a rename that
  // way gets a plain one.
  if (renameat2(AT_FDCWD, from.c_str(), AT_FDCWD, to.c_str(), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  return rename(from.c_str(), to.c_str()) == 0;
}

bool Remove(const std::string& path) { return unlink(path.c_str()) == 0; }

namespace {

// The name the interruption handler removes; a pointer, which is read and
// written in one step.
std::atomic<const char*> guarded{nullptr};
static_assert(std::atomic<const char*>::is_always_lock_free);

constexpr int kInterruptions[] = {SIGINT, SIGTERM, SIGHUP, SIGQUIT};

// Removes the guarded file, then ends the process as the signal would have:
// the handler was reset on entry (SA_RESETHAND), and the signal raised here
// is delivered once the handler returns. Only async-signal-safe calls.
extern "C" void RemoveGuardedAndEnd(int number) {
  const int error = errno;
  if (const char* path = guarded.load()) (void)unlink(path);
  (void)raise(number);
  errno = error;
}

}  // namespace

void GuardTemporary(const char* path) {
  static const bool installed = [] {
    for (const int number : kInterruptions) {
      struct sigaction current {};
      // A signal that is ignored (nohup) stays ignored.
      if (sigaction(number, nullptr, &current) != 0 || current.sa_handler == SIG_IGN) continue;
      struct sigaction action {};
      action.sa_handler = RemoveGuardedAndEnd;
      action.sa_flags = SA_RESETHAND;
      (void)sigemptyset(&action.sa_mask);
      (void)sigaction(number, &action, nullptr);
    }
    return true;
  }();
  (void)installed;
  guarded.store(path);
}

std::optional<FileIdentity> Identify(Handle handle) {
  struct stat info {};
  if (fstat(static_cast<int>(handle), &info) != 0) return std::nullopt;
  FileIdentity identity;
  identity.known = true;
  identity.kind = S_ISREG(info.st_mode)    ? FileKind::kFile
                  : S_ISBLK(info.st_mode)  ? FileKind::kBlockDevice
                  : S_ISCHR(info.st_mode)  ? FileKind::kCharacterDevice
                  : S_ISFIFO(info.st_mode) ? FileKind::kPipe
                                           : FileKind::kOther;
  // A block device is known by the device it names, wherever its node is
  // (volume 1 stands for all of them); Linux numbers no file system 0.
  identity.volume = identity.kind == FileKind::kBlockDevice ? 1 : info.st_dev;
  identity.id[0] = identity.kind == FileKind::kBlockDevice ? info.st_rdev : info.st_ino;
  identity.size = static_cast<ByteCount>(info.st_size);
  return identity;
}

bool Lock(Handle handle, LockMode mode) {
  return TakeFlock(static_cast<int>(handle), mode) && TakeRecordLock(static_cast<int>(handle), mode);
}

bool Empty(Handle handle) {
  for (;;) {
    if (ftruncate(static_cast<int>(handle), 0) == 0) return true;
    if (errno != EINTR) return false;
  }
}

}  // namespace system

PathInfo LookUp(const std::string& path) {
  struct stat info {};
  if (stat(path.c_str(), &info) != 0) return {PathKind::kMissing, 0, system::LastFailure()};
  if (!S_ISREG(info.st_mode)) return {PathKind::kOther, 0};
  return {PathKind::kFile, static_cast<ByteCount>(info.st_size)};
}

bool File::Close() noexcept {
  if (!IsOpen()) return true;
  const int fd = static_cast<int>(std::exchange(handle_, system::kNoHandle));
  // On Linux the descriptor is released even when close() reports EINTR, so
  // it must not be closed again; the error is still reported.
  return close(fd) == 0;
}

}  // namespace plivex::platform
