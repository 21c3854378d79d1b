#include <errno.h>
#include <fcntl.h>
#include <signal.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <sys/xattr.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <atomic>
#include <cstring>
#include <string>
#include <string_view>
#include <system_error>
#include <utility>
#include <vector>

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

// Keeps a descriptor just opened clear of 0, 1 and 2. When the program was
// started with a standard stream closed, open() hands out that number, and
// a console line meant for standard output would then be written into the
// file (into the middle of the output, with a success line after it).
// Returns the descriptor to use, or -1 with errno set.
int ClearOfStandardStreams(int fd) {
  if (fd >= 0 && fd <= STDERR_FILENO) {
    const int moved = fcntl(fd, F_DUPFD_CLOEXEC, STDERR_FILENO + 1);
    const int error = errno;
    // Nothing was read or written through `fd` yet, so a failed close of
    // it loses nothing; Linux releases the number either way.
    (void)close(fd);
    errno = error;
    fd = moved;
  }
  return fd;
}

// Opens `path` in `folder` (AT_FDCWD: the current one), clear of the
// standard streams. O_NONBLOCK so that a FIFO put in place of the file
// since the existence test cannot block the open; it is cleared again right
// after it. Returns -1 with errno set on failure.
int OpenRetrying(int folder, const char* path, int flags, mode_t mode = 0) {
  int fd = -1;
  do {
    fd = openat(folder, path, flags | O_NONBLOCK | O_CLOEXEC, mode);
  } while (fd < 0 && errno == EINTR);
  fd = ClearOfStandardStreams(fd);
  if (fd < 0) return fd;
  const int status = fcntl(fd, F_GETFL);
  if (status != -1 && fcntl(fd, F_SETFL, status & ~O_NONBLOCK) != -1) return fd;
  const int error = errno;
  (void)close(fd);
  errno = error;
  return -1;
}

// The last part of `path`, the name of the file in its folder.
const char* LastPart(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  return path.c_str() + (slash == std::string::npos ? 0 : slash + 1);
}

// Whether a deferred Ctrl-C has come (DeferInterruptions), set by the
// signal handler below.
std::atomic<bool> interruption_requested{false};
static_assert(std::atomic<bool>::is_always_lock_free);

}  // namespace

bool InterruptionRequested() { return interruption_requested.load(); }

namespace system {

// A call that a deferred Ctrl-C breaks off (a read of a pipe that brings
// nothing) is not tried again: File::Read and File::Write then raise
// EInterrupted.
std::int64_t ReadSome(Handle handle, std::span<std::uint8_t> buffer) {
  for (;;) {
    const ssize_t got = read(static_cast<int>(handle), buffer.data(), buffer.size());
    if (got >= 0 || errno != EINTR || InterruptionRequested()) return got;
  }
}

std::int64_t WriteSome(Handle handle, std::span<const std::uint8_t> data) {
  for (;;) {
    const ssize_t put = write(static_cast<int>(handle), data.data(), data.size());
    if (put >= 0 || errno != EINTR || InterruptionRequested()) return put;
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
    case EINTR:  // only once a deferred Ctrl-C has come, or the process is ending
      fault = FileFault::kInterrupted;
      break;
    default:
      break;
  }
  // Not strerror, which need not be safe on several threads at once
  // (plivex-batch's); the standard library's words for the code are.
  return {fault, std::generic_category().message(error)};
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

Handle OpenForReading(const std::string& path) { return OpenRetrying(AT_FDCWD, path.c_str(), O_RDONLY); }

// Write-only, and opened without waiting for a FIFO's reader: the open
// fails at once when nobody reads it (instead of the data vanishing into
// the pipe, or the run blocking for good once the pipe is full), and a
// reader that goes away makes the next write fail with EPIPE.
Handle OpenForWriting(const std::string& path) {
  return OpenRetrying(AT_FDCWD, path.c_str(), O_WRONLY | O_CREAT, 0666);
}

// The same rules for a FIFO as OpenForWriting's.
Handle OpenExistingForWriting(const std::string& path) {
  return OpenRetrying(AT_FDCWD, path.c_str(), O_WRONLY);
}

// O_PATH: only to find files in, which needs no right to read the folder
// (a folder of mode 0333 takes new files all the same).
std::optional<Handle> OpenFolder(const std::string& path) {
  const std::size_t slash = path.rfind('/');
  const std::string folder = slash == std::string::npos ? std::string(".") : path.substr(0, slash + 1);
  int fd = -1;
  do {
    fd = open(folder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  } while (fd < 0 && errno == EINTR);
  fd = ClearOfStandardStreams(fd);
  if (fd < 0) return std::nullopt;
  return fd;
}

Handle CreateNew(Handle folder, const std::string& path, bool owner_only) {
  return OpenRetrying(static_cast<int>(folder), LastPart(path), O_WRONLY | O_CREAT | O_EXCL,
                      owner_only ? 0600 : 0666);
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

namespace {

// Whether the attribute `name` says who may do what with the file: Linux
// keeps access control lists in the namespace "system." (POSIX ACLs as
// system.posix_acl_access; NFSv4 and CIFS ones on those file systems).
bool ControlsAccess(std::string_view name) { return name.starts_with("system."); }

// What flistxattr or fgetxattr gives for `fd`: a size query, then the
// bytes, again when they grew in between (ERANGE). Nothing when the call
// fails; errno says why.
template <typename Call>
std::optional<std::vector<char>> Fetch(Call call) {
  for (;;) {
    const ssize_t size = call(nullptr, 0);
    if (size < 0) return std::nullopt;
    std::vector<char> bytes(static_cast<std::size_t>(size));
    const ssize_t got = size == 0 ? 0 : call(bytes.data(), bytes.size());
    if (got >= 0) {
      bytes.resize(static_cast<std::size_t>(got));
      return bytes;
    }
    if (errno != ERANGE) return std::nullopt;
  }
}

// The names of the attributes of `fd`. A file system without extended
// attributes has none, and so has a system without the calls (an
// emulator, qemu-user, built without them).
std::optional<std::vector<std::string>> ListAttributes(int fd) {
  const std::optional<std::vector<char>> list =
      Fetch([fd](char* buffer, std::size_t size) { return flistxattr(fd, buffer, size); });
  if (!list) {
    if (errno == ENOTSUP || errno == ENOSYS) return std::vector<std::string>();
    return std::nullopt;
  }
  std::vector<std::string> names;
  for (std::size_t at = 0; at < list->size(); at += names.back().size() + 1) {
    names.emplace_back(list->data() + at, strnlen(list->data() + at, list->size() - at));  // each ends in NUL
  }
  return names;
}

std::optional<std::vector<char>> ReadAttribute(int fd, const std::string& name) {
  return Fetch(
      [fd, &name](char* buffer, std::size_t size) { return fgetxattr(fd, name.c_str(), buffer, size); });
}

}  // namespace

// As `cp -p --preserve=xattr`. The ACL travels as the attribute
// system.posix_acl_access, whose bytes the kernel reads and writes as they
// are; giving it sets the group bits of the mode to its mask.
bool CopyAttributes(Handle model, Handle file, std::vector<AttributeNotKept>& not_kept) {
  const int from = static_cast<int>(model);
  const int to = static_cast<int>(file);
  // Notes why `name` was not kept (none: the attributes could not be
  // listed, so whether there is an ACL cannot be told); true when the run
  // may go on without it.
  const auto not_given = [&not_kept](const std::string& name) {
    SystemFailure failure = LastFailure();
    not_kept.push_back({name, std::move(failure)});
    return !name.empty() && !ControlsAccess(name);
  };
  const std::optional<std::vector<std::string>> names = ListAttributes(from);
  if (!names) return not_given("");
  for (const std::string& name : *names) {
    const std::optional<std::vector<char>> value = ReadAttribute(from, name);
    if (!value && errno == ENODATA) continue;  // removed since it was listed
    if (!value && !not_given(name)) return false;
    if (!value || ReadAttribute(to, name) == value) continue;
    if (fsetxattr(to, name.c_str(), value->data(), value->size(), 0) != 0 && !not_given(name)) return false;
  }
  // An ACL that the new file got from the folder's default ACL, which the
  // original does not have, would let in whom that default names.
  const std::optional<std::vector<std::string>> own = ListAttributes(to);
  if (!own) return not_given("");
  for (const std::string& name : *own) {
    if (!ControlsAccess(name) || std::find(names->begin(), names->end(), name) != names->end()) continue;
    if (fremovexattr(to, name.c_str()) != 0 && errno != ENODATA && !not_given(name)) return false;
  }
  return true;
}

bool Flush(Handle handle) {
  for (;;) {
    if (fdatasync(static_cast<int>(handle)) == 0) return true;
    if (errno != EINTR) return false;
  }
}

bool Rename(Handle folder, const std::string& from, const std::string& to, bool replace) {
  const int at = static_cast<int>(folder);
  if (replace) return renameat(at, LastPart(from), at, LastPart(to)) == 0;
  // A file that has taken the name since the run began is not replaced. A
  // file system (or kernel, or emulator) that cannot refuse a rename that
  // way gets a plain one.
  if (renameat2(at, LastPart(from), at, LastPart(to), RENAME_NOREPLACE) == 0) return true;
  if (errno != EINVAL && errno != ENOSYS) return false;
  return renameat(at, LastPart(from), at, LastPart(to)) == 0;
}

bool Remove(Handle folder, const std::string& path) {
  return unlinkat(static_cast<int>(folder), LastPart(path), 0) == 0;
}

namespace {

// The guards of the temporary files: a fixed table that the signal handler
// reads with atomic loads only. Each guard goes through these states,
// moved by its owner (the thread of its Replacement) and by the handler:
//
//   free --owner--> claimed (name being written) --owner--> creating
//   creating --owner: GuardCreated--> armed --owner: ReleaseGuard--> free
//   creating or armed --handler--> removing --handler--> removed
//
// The handler waits for another thread's guard that is creating (a file
// that open() may be making that very moment); one of its own thread's it
// takes as it is, since that thread is stopped inside the handler. Once it
// has begun (`ending`), no guard becomes creating.
enum GuardState : int { kFree, kClaimed, kCreating, kArmed, kRemoving, kRemoved };

struct Guard {
  std::atomic<int> state{kFree};
  int folder = -1;
  pid_t owner = 0;
  char name[256] = {};  // the file's name in `folder`: a name has at most 255 bytes
};

// Threads that convert files at once, one Replacement each: 128 is more
// than the cores of most machines. A thread that finds every guard taken
// waits for one to be let go.
constexpr int kGuards = 128;
Guard guards[kGuards];
std::atomic<unsigned> guards_released{0};  // counts ReleaseGuard, for the waiters
std::atomic<bool> ending{false};           // the handler is removing every file
std::atomic<bool> deferring{false};        // DeferInterruptions was called
static_assert(std::atomic<int>::is_always_lock_free && std::atomic<bool>::is_always_lock_free);

// Every signal whose default action ends the process, but SIGKILL and
// SIGSTOP, which cannot be caught, and SIGPIPE and SIGXFSZ, which the
// program ignores (PrepareProcess); the real-time signals come on top.
constexpr int kEndingSignals[] = {
    SIGHUP,    SIGINT,  SIGQUIT, SIGILL,  SIGTRAP, SIGABRT,   SIGBUS,  SIGFPE,  SIGUSR1,
    SIGSEGV,   SIGUSR2, SIGALRM, SIGTERM, SIGXCPU, SIGVTALRM, SIGPROF, SIGPOLL, SIGSYS,
#ifdef SIGSTKFLT
    SIGSTKFLT,
#endif
#ifdef SIGPWR
    SIGPWR,
#endif
#ifdef SIGEMT  // MIPS, SPARC, Alpha
    SIGEMT,
#endif
};

// Waits a millisecond, for another thread to move a guard on.
void PauseBriefly() {
  struct timespec pause {
    0, 1000000
  };
  (void)nanosleep(&pause, nullptr);
}

// Removes the file of every guard. Only async-signal-safe calls.
void RemoveEveryGuarded() {
  ending.store(true);
  const pid_t self = gettid();
  for (Guard& guard : guards) {
    int state = guard.state.load();
    while (state == kCreating || state == kArmed || state == kRemoving) {
      if (state == kRemoving || (state == kCreating && guard.owner != self)) {
        PauseBriefly();  // another handler removes it, or its thread creates it
        state = guard.state.load();
      } else if (guard.state.compare_exchange_weak(state, kRemoving)) {
        (void)unlinkat(guard.folder, guard.name, 0);
        guard.state.store(kRemoved);
        break;
      }
    }
  }
}

// Removes the guarded files, then ends the process as the signal would
// have: with the default action back, the signal raised here is delivered
// as soon as the handler returns (every signal is blocked until then). The
// first Ctrl-C after DeferInterruptions is only noted. Only
// async-signal-safe calls.
extern "C" void RemoveGuardedAndEnd(int number) {
  const int error = errno;
  if (number == SIGINT && deferring.load() && !interruption_requested.exchange(true)) {
    errno = error;
    return;
  }
  RemoveEveryGuarded();
  struct sigaction action {};
  action.sa_handler = SIG_DFL;
  (void)sigemptyset(&action.sa_mask);
  (void)sigaction(number, &action, nullptr);
  (void)raise(number);
  errno = error;
}

void Install(int number) {
  struct sigaction current {};
  // A signal that is ignored (nohup, a background job's SIGINT) stays
  // ignored, and one that has a handler (a sanitizer's, a profiler's)
  // keeps it.
  if (sigaction(number, nullptr, &current) != 0 || (current.sa_flags & SA_SIGINFO) != 0 ||
      current.sa_handler != SIG_DFL) {
    return;
  }
  struct sigaction action {};
  action.sa_handler = RemoveGuardedAndEnd;
  // No SA_RESTART: a deferred Ctrl-C breaks off a read that waits.
  action.sa_flags = 0;
  (void)sigfillset(&action.sa_mask);
  (void)sigaction(number, &action, nullptr);
}

void InstallHandlers() {
  static const bool installed = [] {
    for (const int number : kEndingSignals) Install(number);
    for (int number = SIGRTMIN; number <= SIGRTMAX; ++number) Install(number);
    return true;
  }();
  (void)installed;
}

}  // namespace

int GuardTemporary(Handle folder, const std::string& path) {
  InstallHandlers();
  const std::string_view name = LastPart(path);
  if (name.size() >= sizeof Guard::name) {
    errno = ENAMETOOLONG;
    return -1;
  }
  for (;;) {
    const unsigned released = guards_released.load();
    for (int index = 0; index < kGuards; ++index) {
      Guard& guard = guards[index];
      int state = kFree;
      if (!guard.state.compare_exchange_strong(state, kClaimed)) continue;
      guard.folder = static_cast<int>(folder);
      guard.owner = gettid();
      std::memcpy(guard.name, name.data(), name.size());
      guard.name[name.size()] = '\0';
      guard.state.store(kCreating);
      // A handler that began before the store above finds the guard
      // claimed and passes it by; one that begins later waits for it.
      if (ending.load()) {
        guard.state.store(kFree);
        errno = EINTR;
        return -1;
      }
      return index;
    }
    guards_released.wait(released);
  }
}

void GuardCreated(int guard) noexcept {
  int state = kCreating;
  (void)guards[guard].state.compare_exchange_strong(state, kArmed);
}

void ReleaseGuard(int guard) noexcept {
  if (guard < 0) return;
  std::atomic<int>& state = guards[guard].state;
  int now = state.load();
  while (now == kCreating || now == kArmed) {
    if (state.compare_exchange_weak(now, kFree)) {
      guards_released.fetch_add(1);
      guards_released.notify_all();
      return;
    }
  }
  // The handler has taken it: the process is ending, and the folder must
  // stay open until it has.
  for (;;) (void)pause();
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

void DeferInterruptions() {
  system::deferring.store(true);
  system::InstallHandlers();
}

bool File::Close() noexcept {
  if (!IsOpen()) return true;
  const int fd = static_cast<int>(std::exchange(handle_, system::kNoHandle));
  // On Linux the descriptor is released even when close() reports EINTR, so
  // it must not be closed again; the error is still reported.
  return close(fd) == 0;
}

}  // namespace plivex::platform
