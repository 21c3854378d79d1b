// A library the end-to-end tests preload (LD_PRELOAD) into the shipped
// program, to make this machine's file system behave like ones the tests
// cannot mount here. Each fault is switched on by an environment variable:
//
//   PLIVEX_FAULT_NO_LOCKS=1
//       flock() and fcntl() record locks fail with ENOLCK, as on a network
//       file system mounted without lock support.
//   PLIVEX_FAULT_NFS_FLOCK=1
//       flock() asking for an exclusive lock on a descriptor that is not
//       open for writing fails with EBADF, as NFS's emulation of flock with
//       byte-range locks does.
//   PLIVEX_FAULT_CLOSE=PART
//       close() of a descriptor whose file's path contains PART closes it,
//       then reports EIO, as a network file system does when data written
//       earlier could not be stored.
//   PLIVEX_FAULT_READ=PART [PLIVEX_FAULT_READ_FROM=OFFSET]
//       read() of a file whose path contains PART fails with EIO once the
//       file position is at OFFSET (0 unless given) or past it, as a disk
//       with a bad sector does: the bytes before OFFSET read normally.
//   PLIVEX_FAULT_WRITE=PART [PLIVEX_FAULT_WRITE_FROM=OFFSET]
//       [PLIVEX_FAULT_WRITE_STALL=1]
//       write() to a file whose path contains PART fails with ENOSPC once
//       the file position is at OFFSET (0 unless given) or past it, as a
//       full disk does; with PLIVEX_FAULT_WRITE_STALL it stalls there
//       instead, until a signal ends the process, so that a test can
//       interrupt a run at a known point. A signal that the program catches
//       and returns from ends the process there, with status 125, so that a
//       handler that fails to end the process shows at once. With
//       PLIVEX_FAULT_WRITE_STALL=EINTR it stalls a twentieth of a second
//       and fails with EINTR, again and again, as a write to a slow network
//       file system that signals keep breaking off: for a program that goes
//       on after a signal it catches (plivex-batch after its first Ctrl-C),
//       whichever of its threads the signal reaches.
//   PLIVEX_FAULT_XATTR=NAME
//       fsetxattr() of the extended attribute NAME fails with EOPNOTSUPP,
//       as on a file system that does not keep it.
//   PLIVEX_FAULT_LOG=FILE
//       Each fdatasync() and renameat() or renameat2() appends a line to
//       FILE: "fdatasync NAME" with the file's name, "rename FROM TO" with
//       the names given.
//
// A path "contains" PART so that the file a program writes under a
// temporary name beside "out" (out.plivex-pack-unfinished-...) matches
// "/out" as well.
//
// Nothing of this reaches the program as shipped: it is built only with the
// tests and loaded only by them.

#include <dlfcn.h>
#include <errno.h>
#include <fcntl.h>
#include <stdio.h>
#include <sys/file.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <cstdarg>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

template <typename Function>
Function Next(const char* name) {
  return reinterpret_cast<Function>(dlsym(RTLD_NEXT, name));
}

bool Enabled(const char* variable) {
  const char* value = std::getenv(variable);
  return value != nullptr && std::strcmp(value, "1") == 0;
}

bool IsLockCommand(int command) {
  return command == F_SETLK || command == F_SETLKW || command == F_GETLK || command == F_OFD_SETLK ||
         command == F_OFD_SETLKW || command == F_OFD_GETLK;
}

// The path of the file `fd` is open on, or an empty text.
std::string PathOf(int fd) {
  char link[64];
  std::snprintf(link, sizeof link, "/proc/self/fd/%d", fd);
  char target[4096];
  const ssize_t length = readlink(link, target, sizeof target);
  return length > 0 ? std::string(target, static_cast<std::size_t>(length)) : std::string();
}

bool Contains(const std::string& text, const char* part) {
  return part != nullptr && *part != '\0' && text.find(part) != std::string::npos;
}

// Whether the file position of `fd` is at the offset in `variable` (0 when
// it is not set) or past it.
bool AtOrPast(int fd, const char* variable) {
  const char* from = std::getenv(variable);
  return lseek(fd, 0, SEEK_CUR) >= (from != nullptr ? std::strtoll(from, nullptr, 10) : 0);
}

// Appends `line` and a line feed to the file PLIVEX_FAULT_LOG names.
void Log(const std::string& line) {
  const char* log = std::getenv("PLIVEX_FAULT_LOG");
  if (log == nullptr) return;
  FILE* file = std::fopen(log, "a");
  if (file == nullptr) return;
  std::fprintf(file, "%s\n", line.c_str());
  std::fclose(file);
}

std::string LastPart(const std::string& path) { return path.substr(path.rfind('/') + 1); }

// Whether the attribute `name` is the one PLIVEX_FAULT_XATTR names; errno
// is then set as its call fails.
bool AttributeRefused(const char* name) {
  const char* refused = std::getenv("PLIVEX_FAULT_XATTR");
  if (refused == nullptr || std::strcmp(refused, name) != 0) return false;
  errno = EOPNOTSUPP;
  return true;
}

}  // namespace

extern "C" int flock(int fd, int operation) {
  if (Enabled("PLIVEX_FAULT_NO_LOCKS")) {
    errno = ENOLCK;
    return -1;
  }
  if (Enabled("PLIVEX_FAULT_NFS_FLOCK") && (operation & LOCK_EX) != 0) {
    const int mode = fcntl(fd, F_GETFL);
    if (mode != -1 && (mode & O_ACCMODE) == O_RDONLY) {
      errno = EBADF;
      return -1;
    }
  }
  static const auto next = Next<int (*)(int, int)>("flock");
  return next(fd, operation);
}

extern "C" int fcntl(int fd, int command, ...) {
  // Every command takes at most one argument, an int or a pointer; on the
  // machines the tests run on both travel in the same register.
  va_list arguments;
  va_start(arguments, command);
  void* argument = va_arg(arguments, void*);
  va_end(arguments);
  if (IsLockCommand(command) && Enabled("PLIVEX_FAULT_NO_LOCKS")) {
    errno = ENOLCK;
    return -1;
  }
  static const auto next = Next<int (*)(int, int, ...)>("fcntl");
  return next(fd, command, argument);
}

extern "C" int close(int fd) {
  const bool fail = Contains(PathOf(fd), std::getenv("PLIVEX_FAULT_CLOSE"));
  static const auto next = Next<int (*)(int)>("close");
  const int result = next(fd);
  if (fail && result == 0) {
    errno = EIO;
    return -1;
  }
  return result;
}

extern "C" ssize_t read(int fd, void* buffer, size_t count) {
  if (Contains(PathOf(fd), std::getenv("PLIVEX_FAULT_READ")) && AtOrPast(fd, "PLIVEX_FAULT_READ_FROM")) {
    errno = EIO;
    return -1;
  }
  static const auto next = Next<ssize_t (*)(int, void*, size_t)>("read");
  return next(fd, buffer, count);
}

extern "C" ssize_t write(int fd, const void* buffer, size_t count) {
  if (Contains(PathOf(fd), std::getenv("PLIVEX_FAULT_WRITE")) && AtOrPast(fd, "PLIVEX_FAULT_WRITE_FROM")) {
    const char* stall = std::getenv("PLIVEX_FAULT_WRITE_STALL");
    if (stall != nullptr && std::strcmp(stall, "EINTR") == 0) {
      (void)usleep(50000);
      errno = EINTR;
      return -1;
    }
    if (Enabled("PLIVEX_FAULT_WRITE_STALL")) {
      (void)pause();
      _exit(125);
    }
    errno = ENOSPC;
    return -1;
  }
  static const auto next = Next<ssize_t (*)(int, const void*, size_t)>("write");
  return next(fd, buffer, count);
}

extern "C" int fdatasync(int fd) {
  Log("fdatasync " + LastPart(PathOf(fd)));
  static const auto next = Next<int (*)(int)>("fdatasync");
  return next(fd);
}

extern "C" int renameat(int from_folder, const char* from, int to_folder, const char* to) {
  Log(std::string("rename ") + LastPart(from) + " " + LastPart(to));
  static const auto next = Next<int (*)(int, const char*, int, const char*)>("renameat");
  return next(from_folder, from, to_folder, to);
}

extern "C" int renameat2(int from_folder, const char* from, int to_folder, const char* to, unsigned flags) {
  Log(std::string("rename ") + LastPart(from) + " " + LastPart(to));
  static const auto next = Next<int (*)(int, const char*, int, const char*, unsigned)>("renameat2");
  return next(from_folder, from, to_folder, to, flags);
}

extern "C" int fsetxattr(int fd, const char* name, const void* value, size_t size, int flags) {
  if (AttributeRefused(name)) return -1;
  static const auto next = Next<int (*)(int, const char*, const void*, size_t, int)>("fsetxattr");
  return next(fd, name, value, size, flags);
}
