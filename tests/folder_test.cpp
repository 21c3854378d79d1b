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

using Listing = std::vector<std::pair<std::string, EntryKind>>;
using Names = std::vector<std::string>;
constexpr EntryKind kFile = EntryKind::kFile;
constexpr EntryKind kFolder = EntryKind::kFolder;
constexpr EntryKind kOther = EntryKind::kOther;
const std::string kTune = "\xe6\x9b\xb2";  // a Japanese character, U+66F2

// Test files are made by the standard library from UTF-8 names, whatever
// the code page of a Windows test program.
std::filesystem::path FromUtf8(const std::string& text) { return std::u8string(text.begin(), text.end()); }

void Make(const std::string& path, EntryKind kind = kFile) {
  if (kind == kFolder) {
    std::filesystem::create_directories(FromUtf8(path));
  } else if (!(std::ofstream(FromUtf8(path)) << "x")) {
    throw std::runtime_error("cannot make " + path);
  }
}

Listing ListOf(const std::string& folder) {
  Listing listing;
  for (const FolderEntry& entry : ListFolder(folder)) listing.emplace_back(entry.name, entry.kind);
  return listing;
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

// Upper case before lower, ASCII before any multi-byte name, and UTF-8's
// order, not UTF-16's: U+FF49 before U+1F3B5, which is D83C DFB5 in UTF-16.
TEST(ListFolder, ListsFilesAndFoldersByTheBytesOfTheirNames) {
  const Listing expected = {
      {"B.bgm", kFile},          {"Zeta", kFolder},       {"_x.bgm", kFile},
      {"a.bgm", kFolder},        {"~x", kFile},           {"\xc3\xa9.bgm", kFile},
      {kTune + "01.bgm", kFile}, {"\xef\xbd\x89", kFile}, {"\xf0\x9f\x8e\xb5.bgm", kFile},
  };
  plivex::test::ScopedTempDir dir;
  for (auto it = expected.rbegin(); it != expected.rend(); ++it) Make(dir.File("") + it->first, it->second);
  EXPECT_EQ(ListOf(dir.File("")), expected);
  EXPECT_EQ(ListOf(dir.File("Zeta")), Listing{});
}

TEST(ListFolder, SaysWhyAFolderCannotBeRead) {
  plivex::test::ScopedTempDir dir;
  Make(dir.File("file.bgm"));
  EXPECT_EQ(FaultOf([&] { ListFolder(dir.File("missing")); }), FileFault::kNotFound);
  EXPECT_EQ(FaultOf([&] { ListFolder(dir.File("file.bgm")); }), FileFault::kNotAFolder);
#ifndef _WIN32
  // (Wine says only that a name past 255 units is not there.)
  EXPECT_EQ(FaultOf([&] { ListFolder(dir.File(std::string(300, 'n'))); }), FileFault::kNameTooLong);
  EXPECT_EQ(FaultOf([&] { ListFolder(dir.File(std::string(5000, 'n'))); }), FileFault::kNameTooLong);
  // Root may read any folder, so the test reads as another user.
  Make(dir.File("locked"), kFolder);
  ASSERT_EQ(chmod(dir.File("locked").c_str(), 0), 0);
  ASSERT_EQ(chmod(dir.File("").c_str(), 0755), 0);
  const bool root = geteuid() == 0;
  ASSERT_TRUE(!root || seteuid(65534) == 0);
  const FileFault fault = FaultOf([&] { ListFolder(dir.File("locked")); });
  ASSERT_TRUE(!root || seteuid(0) == 0);
  EXPECT_EQ(fault, FileFault::kAccessDenied);
#endif
}

// On Windows a symbolic link needs a right few users have, and Wine 8 says
// it made one but makes nothing. (Wine shows a Unix link as what it points
// to, a folder's with FILE_ATTRIBUTE_REPARSE_POINT, and a broken one not at
// all.)
bool MakeLink(const std::string& link, const std::string& target, bool folder) {
#ifdef _WIN32
  const DWORD flags = (folder ? SYMBOLIC_LINK_FLAG_DIRECTORY : 0) | 0x2;  // unprivileged, where allowed
  return CreateSymbolicLinkW(FromUtf8(link).c_str(), FromUtf8(target).c_str(), flags) &&
         GetFileAttributesW(FromUtf8(link).c_str()) != INVALID_FILE_ATTRIBUTES;
#else
  (void)folder;
  return symlink(target.c_str(), link.c_str()) == 0;
#endif
}

// A walk never follows a link to a folder, so that a loop cannot make it
// endless; a link given as the path is followed.
TEST(ListFolder, LinksToFoldersAreNeverFollowed) {
  plivex::test::ScopedTempDir dir;
  Make(dir.File("file.bgm"));
  Make(dir.File("sub"), kFolder);
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
  EXPECT_EQ(ListOf(dir.File("to-folder")), Listing{});
  EXPECT_TRUE(SamePath(*Identify(dir.File("sub")), *Identify(dir.File("to-folder"))));
  EXPECT_EQ(Identify(dir.File("broken")), std::nullopt);
  EXPECT_THROW(Identify(dir.File("loop")), EFOpenError);
}

TEST(Identify, TellsWhetherTwoPathsNameTheSameThing) {
  plivex::test::ScopedTempDir dir;
  const std::string base = dir.File("");
  Make(dir.File("music/sub"), kFolder);
  Make(dir.File("other"), kFolder);
  plivex::test::WriteBytes(dir.File("music/a.bgm"), std::vector<std::uint8_t>(3000, 1));
  Make(dir.File("music/b.bgm"));
  std::filesystem::create_hard_link(dir.File("music/a.bgm"), dir.File("hard.bgm"));
  const struct {
    std::string a;
    std::string b;
    bool same;
  } rows[] = {
      {"music", "music/sub/..", true},
      {"music", "music/sub", false},
      {"music", "other", false},
      {"music/a.bgm", "hard.bgm", true},
      {"music/a.bgm", "music/b.bgm", false},
#ifdef _WIN32
      {"music", "MUSIC", true},
      {"music\\a.bgm", "Music/sub/../A.BGM", true},
#endif
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.a + " and " + row.b);
    const std::optional<PathIdentity> a = Identify(base + row.a);
    const std::optional<PathIdentity> b = Identify(base + row.b);
    ASSERT_TRUE(a && b);
    EXPECT_EQ(SamePath(*a, *b), row.same);
  }
  EXPECT_EQ(Identify(dir.File("hard.bgm"))->kind, kFile);
  EXPECT_EQ(Identify(dir.File("hard.bgm"))->size, 3000u);
  EXPECT_EQ(Identify(dir.File("music"))->kind, kFolder);
  EXPECT_EQ(Identify(dir.File("missing")), std::nullopt);
  EXPECT_EQ(Identify(dir.File("music/a.bgm/x")), std::nullopt);
#ifdef _WIN32
  const std::optional<PathIdentity> device = Identify("NUL");
  ASSERT_TRUE(device);
  EXPECT_EQ(device->kind, kOther);
  EXPECT_FALSE(SamePath(*device, *device));  // a device has no identity to compare
#else
  EXPECT_EQ(Identify("/dev/null")->kind, kOther);
  // File systems number their files alike: /proc and /sys are both 1.
  EXPECT_FALSE(SamePath(*Identify("/proc"), *Identify("/sys")));
#endif
}

TEST(MakeFolders, MakesEveryMissingLevelAndRefusesAFileInTheWay) {
  plivex::test::ScopedTempDir dir;
  const std::string base = dir.File("");
  Make(dir.File("file"));
#ifndef _WIN32
  const mode_t umask_before = umask(0);  // so that the mode asked for shows
#endif
  for (const std::string& made : Names{"a/b/c/d", "a/b/c/d", "a/b/e/", "a/" + kTune + "/f"}) {
    MakeFolders(base + made);
    EXPECT_EQ(Identify(base + made)->kind, kFolder) << made;
  }
#ifndef _WIN32
  umask(umask_before);
  struct stat info {};
  ASSERT_EQ(stat(dir.File("a/b").c_str(), &info), 0);
  EXPECT_EQ(info.st_mode & 07777, 0777u);
#endif
  for (const char* refused : {"file", "file/x/y", "a/b/c/d/../../../../file/z"}) {
    try {
      MakeFolders(base + refused);
      ADD_FAILURE() << refused << " not refused";
    } catch (const EFCreateError& error) {
      EXPECT_EQ(error.failure.fault, FileFault::kNotAFolder) << refused;
      EXPECT_NE(std::string(error.what()).find("file)"), std::string::npos) << error.what();
    }
  }
  EXPECT_EQ(ListOf(base), (Listing{{"a", kFolder}, {"file", kFile}}));
}

// Windows takes paths past 260 units in their long form only; Linux takes
// up to 4095 bytes in one call.
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
  MakeFolders(JoinPath(path, "sub"));
  plivex::test::WriteBytes(dir.File("seed"), {1});
  File input = OpenInput(dir.File("seed"));
  ASSERT_TRUE(CreateOutput(JoinPath(path, "in.bgm"), input).Close());
  EXPECT_EQ(ListOf(path), (Listing{{"in.bgm", kFile}, {"sub", kFolder}}));
  EXPECT_EQ(Identify(JoinPath(path, "in.bgm"))->size, 0u);
#ifdef _WIN32
  EXPECT_EQ(ExpandWildcards(JoinPath(path, "*.BGM")), Names{JoinPath(path, "in.bgm")});
  // Removed here: the temporary folder's removal takes no long path.
  const auto system_name = [](const std::string& name) { return ToWchar(*SystemName(name)); };
  EXPECT_TRUE(DeleteFileW(system_name(JoinPath(path, "in.bgm")).c_str()));
  EXPECT_TRUE(RemoveDirectoryW(system_name(JoinPath(path, "sub")).c_str()));
  for (std::string folder = path; folder.size() >= dir.File("").size(); folder = FolderPart(folder)) {
    EXPECT_TRUE(RemoveDirectoryW(system_name(folder).c_str())) << folder;
  }
#endif
}

TEST(FolderPart, SplitsAPathBeforeItsLastPartAndJoinPathPutsThemTogether) {
  const struct {
    const char* path;
    const char* folder;
    const char* last;
    const char* joined;  // JoinPath(folder, last)
  } rows[] = {
      {"a.bgm", "", "a.bgm", "a.bgm"},
      {"/a.bgm", "/", "a.bgm", "/a.bgm"},
#ifdef _WIN32
      {"music/a.bgm", "music", "a.bgm", "music\\a.bgm"},
      {"music\\sub//a.bgm", "music\\sub", "a.bgm", "music\\sub\\a.bgm"},
      {"a\\b\\", "a\\b", "", "a\\b\\"},
      {"C:\\a.bgm", "C:\\", "a.bgm", "C:\\a.bgm"},
      {"C:a.bgm", "C:", "a.bgm", "C:a.bgm"},
#else
      {"music//a.bgm", "music", "a.bgm", "music/a.bgm"},
      {"a/b/", "a/b", "", "a/b/"},
      {"a:/b\\c", "a:", "b\\c", "a:/b\\c"},
#endif
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.path);
    EXPECT_EQ(FolderPart(row.path), row.folder);
    EXPECT_EQ(LastPart(row.path), row.last);
    EXPECT_EQ(JoinPath(row.folder, row.last), row.joined);
  }
}

#ifdef _WIN32
TEST(ExpandWildcards, MatchesLongNamesAsTheSystemDoes) {
  plivex::test::ScopedTempDir dir;
  const std::string base = dir.File("");
  // "TRACK.bgmx" has a short name like "TRACK~1.BGM", which "*.bgm"
  // matches; "Long Track.bgm" has one like "LONGTR~1.BGM", which "*.BGM"
  // matches as it is, and the long name only with case ignored.
  for (const std::string& name : Names{"sub/", "sub2/", "A.BGM", "b.bgm", "TRACK.bgmx", "Long Track.bgm",
                                       kTune + "01.bgm", "x.wav", "sub/c.bgm", "sub2/d.bgm", "sub2/e.wav"}) {
    Make(base + name, name.ends_with('/') ? kFolder : kFile);
  }
  const struct {
    std::string pattern;
    Names matches;
  } rows[] = {
      {"*.BGM", {"A.BGM", "Long Track.bgm", "b.bgm", kTune + "01.bgm"}},
      {"?.bgm", {"A.BGM", "b.bgm"}},
      {"track.BGM?", {"TRACK.bgmx"}},
      {kTune + "*", {kTune + "01.bgm"}},
      {"*.none", {}},
      {"sub*\\*.bgm", {"sub\\c.bgm", "sub2\\d.bgm"}},  // by part: "sub\" before "sub2\"
      {"sub*/?.wav", {"sub2/e.wav"}},
      {"*\\c.bgm", {"sub\\c.bgm"}},
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
#endif

// Points standard output or error at a file (or a terminal) while it
// lives, as a redirection in a shell would.
class Redirected {
 public:
#ifdef _WIN32
  Redirected(DWORD which, const std::string& path) : which_(which), saved_(GetStdHandle(which)) {
    file_ = CreateFileW(FromUtf8(path).c_str(), GENERIC_WRITE, 0, nullptr, CREATE_ALWAYS, 0, nullptr);
    if (file_ == INVALID_HANDLE_VALUE || !SetStdHandle(which, file_)) throw std::runtime_error(path);
  }
  ~Redirected() {
    SetStdHandle(which_, saved_);
    CloseHandle(file_);
  }

 private:
  DWORD which_;
  HANDLE saved_;
  HANDLE file_;
#else
  Redirected(int which, const std::string& path)
      : which_(which),
        saved_((fflush(nullptr), dup(which))),
        file_(open(path.c_str(), O_WRONLY | O_CREAT | O_NOCTTY, 0600)) {
    if (file_ < 0 || saved_ < 0 || dup2(file_, which) < 0) throw std::runtime_error(path);
  }
  ~Redirected() {
    dup2(saved_, which_);
    close(saved_);
    close(file_);
  }

 private:
  int which_;
  int saved_;
  int file_;
#endif
};

#ifdef _WIN32
constexpr DWORD kOutput = STD_OUTPUT_HANDLE;
constexpr DWORD kError = STD_ERROR_HANDLE;
const std::string kNullDevice = "NUL";
#else
constexpr int kOutput = STDOUT_FILENO;
constexpr int kError = STDERR_FILENO;
const std::string kNullDevice = "/dev/null";
#endif

// As it is, on its own stream: no line end added, no CR before an LF,
// UTF-8 to a file as it is, nothing lost after a Ctrl-Z.
TEST(Console, WritesTextAsItIsToItsOwnStream) {
  const std::string rows[] = {"Converted a.bgm\n",
                              "a\r\nb\n",
                              "1/3 files\r",
                              kTune + "\n",
                              "\x1a"
                              "x\n",
                              ""};
  plivex::test::ScopedTempDir dir;
  for (const std::string& text : rows) {
    for (const bool error : {false, true}) {
      {
        const Redirected output(kOutput, dir.File("out"));
        const Redirected errors(kError, dir.File("err"));
        (error ? WriteError : WriteOutput)(text);
      }
      const std::vector<std::uint8_t> bytes(text.begin(), text.end());
      EXPECT_EQ(plivex::test::ReadBytes(dir.File(error ? "err" : "out")), bytes) << text;
      EXPECT_EQ(plivex::test::ReadBytes(dir.File(error ? "out" : "err")), std::vector<std::uint8_t>{});
      std::filesystem::remove(dir.File("out"));
      std::filesystem::remove(dir.File("err"));
    }
  }
}

// Not even a device, which GetFileType counts with the consoles.
TEST(Console, StandardErrorOnTheNullDeviceIsNoTerminal) {
  const Redirected errors(kError, kNullDevice);
  EXPECT_FALSE(StandardErrorIsTerminal());
  EXPECT_EQ(TerminalColumns(), 80);
}

#ifdef _WIN32
// The test program runs itself again, in a console of its own or a shared
// one, and that run answers in its exit status before any test runs.
// (Wine's consoles without a display are no consoles to GetConsoleMode, so
// only the count of their processes can be seen there.)
constexpr wchar_t kProbe[] = L"PLIVEX_CONSOLE_PROBE";
constexpr DWORD kAnswered = 0x100;
constexpr DWORD kOwnWindow = 1;

DWORD RunSelf(DWORD flags, const wchar_t* mode) {
  wchar_t self[MAX_PATH];
  std::wstring command = L"\"" + std::wstring(self, GetModuleFileNameW(nullptr, self, MAX_PATH)) + L"\"";
  STARTUPINFOW startup{};
  startup.cb = sizeof startup;
  PROCESS_INFORMATION process{};
  SetEnvironmentVariableW(kProbe, mode);
  const BOOL started = CreateProcessW(self, command.data(), nullptr, nullptr, FALSE, flags, nullptr, nullptr,
                                      &startup, &process);
  SetEnvironmentVariableW(kProbe, nullptr);
  DWORD status = 0;
  if (started && WaitForSingleObject(process.hProcess, 60000) == WAIT_OBJECT_0) {
    GetExitCodeProcess(process.hProcess, &status);
  }
  if (started) {
    TerminateProcess(process.hProcess, 0);  // one that hangs
    CloseHandle(process.hThread);
    CloseHandle(process.hProcess);
  }
  return status;
}

const bool probed = [] {
  wchar_t mode[8];
  const DWORD length = GetEnvironmentVariableW(kProbe, mode, 8);
  if (length == 0 || length >= 8) return false;
  // "share": in a console of its own, it starts one more that shares it.
  if (std::wstring_view(mode) == L"share") std::_Exit(static_cast<int>(RunSelf(0, L"answer")));
  std::_Exit(static_cast<int>(kAnswered | (ConsoleIsOwnWindow() ? kOwnWindow : 0)));
}();

TEST(Console, OwnWindowOnlyWhenNoOtherProcessSharesTheConsole) {
  EXPECT_EQ(RunSelf(CREATE_NEW_CONSOLE, L"answer"), kAnswered | kOwnWindow);
  EXPECT_EQ(RunSelf(CREATE_NEW_CONSOLE, L"share"), kAnswered);
  EXPECT_EQ(RunSelf(DETACHED_PROCESS, L"answer"), kAnswered);
}
#else
TEST(Console, TellsATerminalAndItsWidth) {
  const int terminal = posix_openpt(O_RDWR | O_NOCTTY);
  ASSERT_TRUE(terminal >= 0 && grantpt(terminal) == 0 && unlockpt(terminal) == 0);
  for (const unsigned short columns : {123, 0}) {
    winsize size{};
    size.ws_col = columns;
    ASSERT_EQ(ioctl(terminal, TIOCSWINSZ, &size), 0);
    const Redirected errors(kError, ptsname(terminal));
    EXPECT_TRUE(StandardErrorIsTerminal());
    EXPECT_EQ(TerminalColumns(), columns == 0 ? 80 : columns);
  }
  close(terminal);
  EXPECT_FALSE(ExpandWildcards("*.bgm"));  // the shell's work on POSIX
  EXPECT_FALSE(ConsoleIsOwnWindow());
}
#endif

}  // namespace
}  // namespace plivex::platform
