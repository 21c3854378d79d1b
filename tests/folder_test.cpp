#include "platform/folder.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
#else
#include <fcntl.h>
#include <sys/ioctl.h>
#include <sys/stat.h>
#include <unistd.h>
#endif

#include "platform/console.h"
#include "platform/errors.h"
#include "platform/wide_text.h"
#include "tests/test_files.h"

namespace plivex::platform {
namespace {

// Test folders and files are made with the standard library, from UTF-8
// names, whatever the code page of a Windows test program.
std::filesystem::path FromUtf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

void Touch(const std::string& path) {
  std::ofstream file(FromUtf8(path), std::ios::binary);
  file << "x";
  if (!file) throw std::runtime_error("cannot make " + path);
}

template <typename Call>
FileFault FaultOf(Call call) {
  try {
    call();
  } catch (const FileError& error) {
    return error.failure.fault;
  }
  ADD_FAILURE() << "nothing was raised";
  return FileFault::kOther;
}

using Listing = std::vector<std::pair<std::string, EntryKind>>;

Listing ListOf(const std::string& folder) {
  Listing listing;
  for (const FolderEntry& entry : ListFolder(folder)) listing.emplace_back(entry.name, entry.kind);
  return listing;
}

// A Japanese character (U+66F2), in UTF-8.
const std::string kTune = "\xe6\x9b\xb2";

constexpr EntryKind kFile = EntryKind::kFile;
constexpr EntryKind kFolder = EntryKind::kFolder;
constexpr EntryKind kOther = EntryKind::kOther;

// Upper case before lower, ASCII before every multi-byte name, and UTF-8's
// order rather than UTF-16's: U+FF49 before U+1F3B5, which UTF-16 writes as
// a surrogate pair, D83C DFB5.
TEST(ListFolder, ListsFilesAndFoldersByTheBytesOfTheirNames) {
  const Listing expected = {
      {"B.bgm", kFile},
      {"Zeta", kFolder},
      {"_x.bgm", kFile},
      {"a.bgm", kFolder},
      {"~x", kFile},
      {"\xc3\xa9.bgm", kFile},
      {kTune + "01.bgm", kFile},
      {"\xef\xbd\x89.bgm", kFile},
      {"\xf0\x9f\x8e\xb5.bgm", kFile},
  };
  plivex::test::ScopedTempDir dir;
  const std::string base = dir.File("");
  for (auto it = expected.rbegin(); it != expected.rend(); ++it) {
    if (it->second == kFolder) {
      std::filesystem::create_directory(FromUtf8(base + it->first));
    } else {
      Touch(base + it->first);
    }
  }
  EXPECT_EQ(ListOf(base), expected);
  EXPECT_EQ(ListOf(base + "Zeta"), Listing{});
}

TEST(ListFolder, SaysWhyAFolderCannotBeRead) {
  plivex::test::ScopedTempDir dir;
  Touch(dir.File("file.bgm"));
  EXPECT_EQ(FaultOf([&] { ListFolder(dir.File("missing")); }), FileFault::kNotFound);
  EXPECT_EQ(FaultOf([&] { ListFolder(dir.File("file.bgm")); }), FileFault::kNotAFolder);
#ifndef _WIN32
  // Wine says only that a name past 255 units is not there.
  EXPECT_EQ(FaultOf([&] { ListFolder(dir.File(std::string(300, 'n'))); }), FileFault::kNameTooLong);
  EXPECT_EQ(FaultOf([&] { ListFolder(dir.File(std::string(5000, 'n'))); }), FileFault::kNameTooLong);
  // Root reads every folder: the test looks as another user would.
  std::filesystem::create_directory(dir.File("locked"));
  ASSERT_EQ(chmod(dir.File("locked").c_str(), 0), 0);
  ASSERT_EQ(chmod(dir.File("").c_str(), 0755), 0);
  const bool root = geteuid() == 0;
  ASSERT_TRUE(!root || seteuid(65534) == 0);
  const FileFault fault = FaultOf([&] { ListFolder(dir.File("locked")); });
  ASSERT_TRUE(!root || seteuid(0) == 0);
  EXPECT_EQ(fault, FileFault::kAccessDenied);
#endif
}

#ifdef _WIN32
// A symbolic link on Windows needs a right that few users have. Wine 8
// says it made one and makes nothing; a Unix link shows there as what it
// points to, a link to a folder with FILE_ATTRIBUTE_REPARSE_POINT, and a
// broken one not at all.
bool MakeLink(const std::string& link, const std::string& target, bool folder) {
  const DWORD flags = (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | 0x2;  // unprivileged, where allowed
  return CreateSymbolicLinkW(FromUtf8(link).c_str(), FromUtf8(target).c_str(), flags) != 0 &&
         GetFileAttributesW(FromUtf8(link).c_str()) != INVALID_FILE_ATTRIBUTES;
}
#else
bool MakeLink(const std::string& link, const std::string& target, bool /*folder*/) {
  return symlink(target.c_str(), link.c_str()) == 0;
}
#endif

// A walk never follows a link to a folder (a loop would never end), but a
// link given as a path is followed.
TEST(ListFolder, LinksToFoldersAreNeverFollowed) {
  plivex::test::ScopedTempDir dir;
  Touch(dir.File("file.bgm"));
  std::filesystem::create_directory(dir.File("sub"));
  const struct {
    const char* name;
    const char* target;
    bool folder;
    EntryKind kind;
  } links[] = {
      {"to-file", "file.bgm", false, kFile}, {"to-folder", "sub", true, kOther},
      {"to-parent", "..", true, kOther},     {"broken", "missing", false, kOther},
      {"loop", "loop", false, kOther},
  };
  Listing expected = {{"file.bgm", kFile}, {"sub", kFolder}};
  for (const auto& link : links) {
    if (!MakeLink(dir.File(link.name), link.target, link.folder)) GTEST_SKIP() << "no symbolic links here";
    expected.emplace_back(link.name, link.kind);
  }
  std::ranges::sort(expected);
  EXPECT_EQ(ListOf(dir.File("")), expected);

  const std::optional<PathIdentity> sub = Identify(dir.File("sub"));
  const std::optional<PathIdentity> through_link = Identify(dir.File("to-folder"));
  ASSERT_TRUE(sub && through_link);
  EXPECT_TRUE(SamePath(*sub, *through_link));
  EXPECT_EQ(ListOf(dir.File("to-folder")), Listing{});
  EXPECT_EQ(Identify(dir.File("broken")), std::nullopt);
  EXPECT_THROW(Identify(dir.File("loop")), EFOpenError);
}

TEST(Identify, TellsWhetherTwoPathsNameTheSameThing) {
  plivex::test::ScopedTempDir dir;
  const std::string base = dir.File("");
  std::filesystem::create_directories(dir.File("music/sub"));
  std::filesystem::create_directory(dir.File("other"));
  plivex::test::WriteBytes(dir.File("music/a.bgm"), std::vector<std::uint8_t>(3000, 1));
  Touch(dir.File("music/b.bgm"));
  std::filesystem::create_hard_link(dir.File("music/a.bgm"), dir.File("hard.bgm"));
  const struct {
    std::string a;
    std::string b;
    bool same;
  } rows[] = {
      {"music", "music/", true},
      {"music", "music/.", true},
      {"music", "music/sub/..", true},
      {"music", "./music", true},
      {"music", "other", false},
      {"music", "music/sub", false},
      {"music/a.bgm", "hard.bgm", true},
      {"music/a.bgm", "music/sub/../a.bgm", true},
      {"music/a.bgm", "music/b.bgm", false},
#ifdef _WIN32
      {"music", "MUSIC", true},
      {"music\\a.bgm", "Music/A.BGM", true},
#endif
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.a + " and " + row.b);
    const std::optional<PathIdentity> a = Identify(base + row.a);
    const std::optional<PathIdentity> b = Identify(base + row.b);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(SamePath(*a, *b), row.same);
  }
  const std::optional<PathIdentity> file = Identify(dir.File("hard.bgm"));
  ASSERT_TRUE(file);
  EXPECT_EQ(file->kind, kFile);
  EXPECT_EQ(file->size, 3000u);
  EXPECT_EQ(Identify(dir.File("music"))->kind, kFolder);
  EXPECT_EQ(Identify(dir.File("missing")), std::nullopt);
  EXPECT_EQ(Identify(dir.File("music/a.bgm/x")), std::nullopt);
#ifdef _WIN32
  const std::optional<PathIdentity> device = Identify("NUL");
#else
  const std::optional<PathIdentity> device = Identify("/dev/null");
#endif
  ASSERT_TRUE(device);
  EXPECT_EQ(device->kind, kOther);
#ifdef _WIN32
  EXPECT_FALSE(SamePath(*device, *device));  // a device has no identity to compare
#endif
}

TEST(MakeFolders, MakesEveryMissingLevelAndRefusesAFileInTheWay) {
  plivex::test::ScopedTempDir dir;
  const std::string base = dir.File("");
  Touch(dir.File("file"));
#ifndef _WIN32
  const mode_t umask_before = umask(0);  // so that the mode it asks for shows
#endif
  for (const std::string& made :
       std::vector<std::string>{"a/b/c/d", "a/b/c/d", "a/b/e/", "a/" + kTune + "/f"}) {
    SCOPED_TRACE(made);
    MakeFolders(base + made);
    EXPECT_EQ(Identify(base + made)->kind, kFolder);
  }
#ifndef _WIN32
  umask(umask_before);
  struct stat info {};
  ASSERT_EQ(stat(dir.File("a/b").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0777u);
#endif
  for (const char* refused : {"file", "file/x/y", "a/b/c/d/../../../../file/z"}) {
    SCOPED_TRACE(refused);
    try {
      MakeFolders(base + refused);
      ADD_FAILURE() << "not refused";
    } catch (const EFCreateError& error) {
      EXPECT_EQ(error.failure.fault, FileFault::kNotAFolder);
      EXPECT_NE(std::string(error.what()).find("file)"), std::string::npos) << error.what();
    }
  }
  EXPECT_EQ(ListOf(base), (Listing{{"a", kFolder}, {"file", kFile}}));
}

// Windows takes paths past 260 units only in their long form; Linux takes
// a path of up to 4095 bytes in one call.
TEST(MakeFolders, LongPathsAreMadeAndListed) {
  plivex::test::ScopedTempDir dir;
#ifdef _WIN32
  const std::size_t length = 400;
#else
  const std::size_t length = 4060;
#endif
  std::string path = dir.File("");
  while (path.size() + 101 < length) path += std::string(100, 'd') + kPathSeparator;
  path += std::string(length - path.size(), 'e');
  ASSERT_EQ(path.size(), length);
  MakeFolders(path);
  MakeFolders(JoinPath(path, "sub"));
  plivex::test::WriteBytes(dir.File("seed"), {1});
  auto input = OpenInput(dir.File("seed"));
  ASSERT_TRUE(CreateOutput(JoinPath(path, "in.bgm"), input).Close());
  EXPECT_EQ(ListOf(path), (Listing{{"in.bgm", kFile}, {"sub", kFolder}}));
  EXPECT_EQ(Identify(JoinPath(path, "in.bgm"))->size, 0u);
#ifdef _WIN32
  EXPECT_EQ(ExpandWildcards(JoinPath(path, "*.BGM")), std::vector<std::string>{JoinPath(path, "in.bgm")});
  // What the temporary folder's removal cannot reach without the long form.
  ASSERT_TRUE(input.Close());
  for (const char* name : {"in.bgm", "sub"}) {
    const std::wstring wide = ToWchar(*SystemName(JoinPath(path, name)));
    EXPECT_TRUE(DeleteFileW(wide.c_str()) || RemoveDirectoryW(wide.c_str())) << name;
  }
  for (std::string folder = path; folder.size() + 1 > dir.File("").size(); folder = FolderPart(folder)) {
    EXPECT_TRUE(RemoveDirectoryW(ToWchar(*SystemName(folder)).c_str())) << folder;
  }
#endif
}

TEST(JoinPath, AddsOneSeparatorWhereNoneIs) {
  const struct {
    const char* folder;
    const char* name;
    std::string joined;
  } rows[] = {
      {"music", "a.bgm", std::string("music") + kPathSeparator + "a.bgm"},
      {"music/", "a.bgm", "music/a.bgm"},
      {"/", "a.bgm", "/a.bgm"},
      {"", "a.bgm", "a.bgm"},
#ifdef _WIN32
      {"music\\", "a.bgm", "music\\a.bgm"},
      {"C:", "a.bgm", "C:a.bgm"},
#endif
  };
  for (const auto& row : rows) EXPECT_EQ(JoinPath(row.folder, row.name), row.joined);
}

TEST(FolderPart, SplitsAPathBeforeItsLastPart) {
  const struct {
    const char* path;
    const char* folder;
    const char* last;
  } rows[] = {
      {"music/a.bgm", "music", "a.bgm"},
      {"music//a.bgm", "music", "a.bgm"},
      {"a/b/", "a/b", ""},
      {"/a.bgm", "/", "a.bgm"},
      {"a.bgm", "", "a.bgm"},
#ifdef _WIN32
      {"C:\\a.bgm", "C:\\", "a.bgm"},
      {"C:a.bgm", "C:", "a.bgm"},
      {"C:\\music\\a.bgm", "C:\\music", "a.bgm"},
      {"music\\sub/a.bgm", "music\\sub", "a.bgm"},
#else
      {"a:/b", "a:", "b"},
      {"a\\b", "", "a\\b"},
#endif
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(FolderPart(row.path), row.folder);
    EXPECT_EQ(LastPart(row.path), row.last);
  }
}

#ifdef _WIN32
TEST(ExpandWildcards, MatchesLongNamesAsTheSystemDoes) {
  plivex::test::ScopedTempDir dir;
  const std::string base = dir.File("");
  // "TRACK.bgmx" has a short name like "TRACK~1.BGM", which "*.bgm"
  // matches; "Long Track.bgm" has one like "LONGTR~1.BGM", which "*.BGM"
  // matches as it is, and the long name only with case ignored.
  for (const std::string& name :
       std::vector<std::string>{"A.BGM", "b.bgm", "TRACK.bgmx", "Long Track.bgm", kTune + "01.bgm", "x.wav",
                                "sub/c.bgm", "sub2/d.bgm", "sub2/e.wav"}) {
    std::filesystem::create_directories(FromUtf8(base + name).parent_path());
    Touch(base + name);
  }
  using Names = std::vector<std::string>;
  const struct {
    std::string pattern;
    Names matches;
  } rows[] = {
      {"*.BGM", {"A.BGM", "Long Track.bgm", "b.bgm", kTune + "01.bgm"}},
      {"?.bgm", {"A.BGM", "b.bgm"}},
      {"track.BGM?", {"TRACK.bgmx"}},
      {kTune + "*", {kTune + "01.bgm"}},
      {"*.none", {}},
      {"sub*\\*.bgm", {"sub\\c.bgm", "sub2\\d.bgm"}},
      {"sub*/?.wav", {"sub2/e.wav"}},
      {"*\\c.bgm", {"sub\\c.bgm"}},
      {"*.bgm\\x", {}},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.pattern);
    Names expected;
    for (const std::string& match : row.matches) expected.push_back(base + match);
    EXPECT_EQ(ExpandWildcards(base + row.pattern), expected);
  }
  EXPECT_EQ(ExpandWildcards(base + "b.bgm"), std::nullopt);
  EXPECT_EQ(ExpandWildcards("\\\\?\\" + base + "b.bgm"), std::nullopt);
}
#else
TEST(ExpandWildcards, LeavesThemToTheShell) {
  plivex::test::ScopedTempDir dir;
  Touch(dir.File("a.bgm"));
  EXPECT_EQ(ExpandWildcards(dir.File("*.bgm")), std::nullopt);
}
#endif

// Standard output or error pointed at a file (or a terminal) while it
// lives, as a redirection in a shell would.
#ifdef _WIN32
class Redirected {
 public:
  Redirected(DWORD which, const std::string& path) : which_(which), saved_(GetStdHandle(which)) {
    file_ = CreateFileW(FromUtf8(path).c_str(), GENERIC_READ | GENERIC_WRITE, FILE_SHARE_READ, nullptr,
                        CREATE_ALWAYS, 0, nullptr);
    if (file_ == INVALID_HANDLE_VALUE || !SetStdHandle(which, file_)) throw std::runtime_error("no " + path);
  }
  ~Redirected() {
    SetStdHandle(which_, saved_);
    CloseHandle(file_);
  }

 private:
  DWORD which_;
  HANDLE saved_;
  HANDLE file_;
};
constexpr DWORD kOutput = STD_OUTPUT_HANDLE;
constexpr DWORD kError = STD_ERROR_HANDLE;
#else
class Redirected {
 public:
  Redirected(int which, int fd) : which_(which) { Point(fd); }
  Redirected(int which, const std::string& path) : which_(which) {
    const int fd = open(path.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    Point(fd);
    close(fd);
  }
  ~Redirected() {
    dup2(saved_, which_);
    close(saved_);
  }

 private:
  void Point(int fd) {
    fflush(nullptr);
    saved_ = dup(which_);
    if (fd < 0 || saved_ < 0 || dup2(fd, which_) < 0) throw std::runtime_error("no redirection");
  }
  int which_;
  int saved_ = -1;
};
constexpr int kOutput = STDOUT_FILENO;
constexpr int kError = STDERR_FILENO;
#endif

// The text goes out as it is, on its own stream: no line end added, no CR
// before an LF, UTF-8 as it is to a file, nothing lost after a Ctrl-Z.
TEST(Console, WritesTextAsItIsToItsOwnStream) {
  const std::string rows[] = {
      "Converted a.bgm\n",
      "a\r\nb\n",
      "12/345 files\r",
      kTune + "01.bgm\n",
      "\x1a" + std::string("after\n"),
      "",
  };
  plivex::test::ScopedTempDir dir;
  for (const std::string& text : rows) {
    SCOPED_TRACE(text);
    for (const bool error : {false, true}) {
      {
        const Redirected output(kOutput, dir.File("out"));
        const Redirected errors(kError, dir.File("err"));
        (error ? WriteError : WriteOutput)(text);
      }
      const std::string out = dir.File(error ? "err" : "out");
      const std::string other = dir.File(error ? "out" : "err");
      EXPECT_EQ(plivex::test::ReadBytes(out), std::vector<std::uint8_t>(text.begin(), text.end()));
      EXPECT_EQ(plivex::test::ReadBytes(other), std::vector<std::uint8_t>{});
    }
  }
}

#ifdef _WIN32
// The console tests run this program again, in a console of its own or
// shared, and it answers in its exit status before any test runs. (Wine's
// consoles without a display are no consoles to GetConsoleMode, so only
// the count of their processes can be seen there.)
constexpr wchar_t kProbe[] = L"PLIVEX_CONSOLE_PROBE";
constexpr DWORD kAnswered = 1 << 20;
constexpr DWORD kOwnWindow = 1;

DWORD RunSelf(DWORD flags, const wchar_t* mode) {
  wchar_t self[MAX_PATH];
  if (GetModuleFileNameW(nullptr, self, MAX_PATH) == 0) return 0;
  std::wstring command = std::wstring(L"\"") + self + L"\" --gtest_list_tests";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  SetEnvironmentVariableW(kProbe, mode);
  const BOOL started = CreateProcessW(self, command.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                                      &startup, &process);
  SetEnvironmentVariableW(kProbe, nullptr);
  if (!started) return 0;
  DWORD status = 0;
  if (WaitForSingleObject(process.hProcess, 60000) != WAIT_OBJECT_0 ||
      !GetExitCodeProcess(process.hProcess, &status)) {
    TerminateProcess(process.hProcess, 0);
  }
  CloseHandle(process.hThread);
  CloseHandle(process.hProcess);
  return status;
}

const bool probed = [] {
  wchar_t mode[8];
  const DWORD length = GetEnvironmentVariableW(kProbe, mode, 8);
  if (length == 0 || length >= 8) return false;
  // "share": in a console of its own, starts one more that shares it.
  if (std::wstring_view(mode) == L"share") std::_Exit(static_cast<int>(RunSelf(0, L"answer")));
  std::_Exit(static_cast<int>(kAnswered | (ConsoleIsOwnWindow() ? kOwnWindow : 0)));
}();

TEST(Console, OwnWindowOnlyWhenNoOtherProcessSharesTheConsole) {
  const struct {
    const char* what;
    DWORD flags;
    const wchar_t* mode;
    DWORD answer;
  } rows[] = {
      {"a console of its own", CREATE_NEW_CONSOLE, L"answer", kAnswered | kOwnWindow},
      {"a console shared with its parent", CREATE_NEW_CONSOLE, L"share", kAnswered},
      {"no console", DETACHED_PROCESS, L"answer", kAnswered},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.what);
    EXPECT_EQ(RunSelf(row.flags, row.mode), row.answer);
  }
}
#else
TEST(Console, TellsATerminalAndItsWidth) {
  const int master = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_GE(master, 0);
  ASSERT_EQ(grantpt(master), 0);
  ASSERT_EQ(unlockpt(master), 0);
  const int terminal = open(ptsname(master), O_RDWR | O_NOCTTY | O_CLOEXEC);
  ASSERT_GE(terminal, 0);
  for (const unsigned short columns : {123, 0}) {
    SCOPED_TRACE(columns);
    winsize size{};
    size.ws_col = columns;
    size.ws_row = 24;
    ASSERT_EQ(ioctl(terminal, TIOCSWINSZ, &size), 0);
    const Redirected errors(kError, terminal);
    EXPECT_TRUE(StandardErrorIsTerminal());
    EXPECT_EQ(TerminalColumns(), columns == 0 ? 80 : columns);
  }
  close(terminal);
  close(master);
  EXPECT_FALSE(ConsoleIsOwnWindow());
}
#endif

// A device that keeps nothing is no terminal either.
TEST(Console, StandardErrorInAFileIsNoTerminal) {
  plivex::test::ScopedTempDir dir;
#ifdef _WIN32
  const std::string null_device = "NUL";
#else
  const std::string null_device = "/dev/null";
#endif
  for (const std::string& path : {dir.File("err"), null_device}) {
    SCOPED_TRACE(path);
    const Redirected errors(kError, path);
    EXPECT_FALSE(StandardErrorIsTerminal());
    EXPECT_EQ(TerminalColumns(), 80);
  }
}

}  // namespace
}  // namespace plivex::platform
