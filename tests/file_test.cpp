#include "platform/file.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <filesystem>
#include <limits>
#include <string>
#include <vector>

#ifdef _WIN32
#include <windows.h>
// After windows.h, which they need.
#include <aclapi.h>
#include <sddl.h>
#else
#include <fcntl.h>
#include <grp.h>
#include <signal.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <sys/xattr.h>
#include <unistd.h>

#include <atomic>
#include <chrono>
#include <functional>
#include <thread>
#endif

#include "platform/errors.h"
#include "tests/test_files.h"

namespace plivex::platform {
namespace {

using plivex::test::ReadBytes;
using plivex::test::WriteBytes;

TEST(IsExistingFile, OnlyRegularFilesCount) {
  plivex::test::ScopedTempDir dir;
  WriteBytes(dir.File("file.bgm"), {1, 2, 3});
  WriteBytes(dir.File("empty.bgm"), {});
  std::filesystem::create_directory(dir.File("folder"));

  EXPECT_TRUE(IsExistingFile(dir.File("file.bgm")));
  EXPECT_TRUE(IsExistingFile(dir.File("empty.bgm")));
  EXPECT_FALSE(IsExistingFile(dir.File("folder")));
  EXPECT_FALSE(IsExistingFile(dir.File("missing.bgm")));
  EXPECT_FALSE(IsExistingFile(dir.File("*.bgm")));  // no wildcard matching
  EXPECT_FALSE(IsExistingFile(dir.File("file.bgm/x")));
  EXPECT_FALSE(IsExistingFile(""));
}

TEST(File, ReadsAndWritesEveryByteValueUnchanged) {
  plivex::test::ScopedTempDir dir;
  std::vector<std::uint8_t> all(256 * 3);
  for (std::size_t i = 0; i < all.size(); ++i) all[i] = static_cast<std::uint8_t>(i);
  WriteBytes(dir.File("in.bgm"), all);

  auto input = OpenInput(dir.File("in.bgm"));
  EXPECT_EQ(input.Size(), all.size());
  std::vector<std::uint8_t> buffer(all.size() + 10, 0);
  EXPECT_EQ(input.Read(buffer), all.size());  // short only at the end
  buffer.resize(all.size());
  EXPECT_EQ(buffer, all);
  EXPECT_EQ(input.Read(buffer), 0u);

  auto output = CreateOutput(dir.File("out.wav"), input);
  output.Write(all);
  EXPECT_TRUE(output.Close());
  EXPECT_FALSE(output.IsOpen());
  EXPECT_TRUE(output.Close());  // closing twice is harmless
  EXPECT_EQ(ReadBytes(dir.File("out.wav")), all);
}

// Bytes that a text mode would change: CR LF pairs, lone CR or LF, and
// Ctrl-Z (0x1A), which ends a text file on Windows.
TEST(File, LineAndEndOfTextBytesAreNotTranslated) {
  const std::vector<std::uint8_t> contents[] = {
      {'\r', '\n'},
      {'a', '\r', '\n', 'b'},
      {'\n'},
      {'\r'},
      {'\r', '\r', '\n', '\n'},
      {0x1A},
      {'x', 0x1A, 'y', '\r', '\n'},
      {'\n', 0x1A, 0x1A, '\r'},
  };
  plivex::test::ScopedTempDir dir;
  WriteBytes(dir.File("other.bgm"), {1});
  for (const auto& content : contents) {
    SCOPED_TRACE(std::string(content.begin(), content.end()));
    {
      auto holder = OpenInput(dir.File("other.bgm"));
      auto output = CreateOutput(dir.File("out.wav"), holder);
      output.Write(content);
      ASSERT_TRUE(output.Close());
    }
    EXPECT_EQ(ReadBytes(dir.File("out.wav")), content);

    auto input = OpenInput(dir.File("out.wav"));
    EXPECT_EQ(input.Size(), content.size());
    std::vector<std::uint8_t> buffer(content.size() + 4, 0xEE);
    ASSERT_EQ(input.Read(buffer), content.size());
    buffer.resize(content.size());
    EXPECT_EQ(buffer, content);
  }
}

TEST(File, InputsAreSharedWithReadersOutputsWithNobody) {
  plivex::test::ScopedTempDir dir;
  const std::vector<std::uint8_t> content = plivex::test::PatternBytes(2000);
  WriteBytes(dir.File("in.bgm"), content);
  WriteBytes(dir.File("other.bgm"), {1, 2});

  auto input = OpenInput(dir.File("in.bgm"));
  // Another reader (a second run converting the same file) may share it.
  auto reader = OpenInput(dir.File("in.bgm"));
  EXPECT_EQ(ReadBytes(dir.File("in.bgm")), content);
  // Naming the input as the output fails before anything is emptied.
  EXPECT_THROW(CreateOutput(dir.File("in.bgm"), input), EFCreateError);
  EXPECT_THROW(CreateOutput(dir.File("in.bgm"), reader), EFCreateError);
  EXPECT_EQ(ReadBytes(dir.File("in.bgm")), content);

  auto other = OpenInput(dir.File("other.bgm"));
  auto output = CreateOutput(dir.File("out.wav"), other);
  EXPECT_THROW(OpenInput(dir.File("out.wav")), EFOpenError);
  EXPECT_THROW(CreateOutput(dir.File("out.wav"), other), EFCreateError);

  // Once closed, the output is free again.
  ASSERT_TRUE(output.Close());
  EXPECT_NO_THROW(OpenInput(dir.File("out.wav")));

  // A File given another file closes the one it held, and lets it go.
  output = CreateOutput(dir.File("first.wav"), other);
  output = CreateOutput(dir.File("second.wav"), other);
  EXPECT_NO_THROW(OpenInput(dir.File("first.wav")));
  EXPECT_THROW(OpenInput(dir.File("second.wav")), EFOpenError);
}

TEST(File, SeekMovesTheReadPosition) {
  plivex::test::ScopedTempDir dir;
  const std::vector<std::uint8_t> content = plivex::test::PatternBytes(3000);
  WriteBytes(dir.File("in.bin"), content);
  auto input = OpenInput(dir.File("in.bin"));

  std::vector<std::uint8_t> got(10);
  for (const ByteCount position : {2990u, 0u, 1234u}) {
    input.Seek(position);
    ASSERT_EQ(input.Read(got), 10u);
    EXPECT_EQ(got, std::vector<std::uint8_t>(content.begin() + position, content.begin() + position + 10));
  }
  input.Seek(5000);  // past the end: nothing to read there
  EXPECT_EQ(input.Read(got), 0u);
  EXPECT_THROW(input.Seek(std::numeric_limits<ByteCount>::max()), EReadError);
}

TEST(File, OpenAndCreateFailuresAreReported) {
  plivex::test::ScopedTempDir dir;
  WriteBytes(dir.File("in.bgm"), {1});
  std::filesystem::create_directory(dir.File("folder"));
  EXPECT_THROW(OpenInput(dir.File("missing.bgm")), EFOpenError);
  EXPECT_THROW(OpenInput(dir.File("folder")), EFOpenError);

  auto input = OpenInput(dir.File("in.bgm"));
  EXPECT_THROW(CreateOutput(dir.File("folder"), input), EFCreateError);
  EXPECT_THROW(CreateOutput(dir.File("no-such-folder/out.wav"), input), EFCreateError);
  EXPECT_FALSE(std::filesystem::exists(dir.File("no-such-folder")));
}

// What a user finds after a power cut: the name it was for, cut at a whole
// character when long, so that the name fits in 255 bytes, then the tag of
// the program that left it.
TEST(Replacement, TemporaryNames) {
  const std::string folder = "music/";
  const struct {
    std::string final_path;
    std::string_view tag;  // empty: the default
    std::uint32_t unique;
    std::string expected;
  } rows[] = {
      {folder + "track01.bgm", "", 0x3fa2c91e, folder + "track01.bgm.plivex-pack-unfinished-3fa2c91e"},
      {"x.wav", "plivex-batch", 0xabc, "x.wav.plivex-batch-unfinished-00000abc"},
      // The 200th byte begins a two-byte character (e with an acute accent).
      {std::string(199, 'a') + "\xC3\xA9", "", 2, std::string(199, 'a') + ".plivex-pack-unfinished-00000002"},
      // The 200th byte is the third of a four-byte one (a musical note;
      // two UTF-16 units on Windows).
      {std::string(198, 'b') + "\xF0\x9F\x8E\xB5", "", 3,
       std::string(198, 'b') + ".plivex-pack-unfinished-00000003"},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.final_path);
    SetTemporaryTag(row.tag.empty() ? "plivex-pack" : row.tag);
    EXPECT_EQ(Replacement::TemporaryName(row.final_path, row.unique), row.expected);
  }
  SetTemporaryTag("plivex-pack");
}

#ifdef _WIN32
TEST(File, SameFileUnderAnotherNameIsRefused) {
  plivex::test::ScopedTempDir dir;
  const std::vector<std::uint8_t> content = plivex::test::PatternBytes(3000);
  WriteBytes(dir.File("in.bgm"), content);
  std::filesystem::create_directory(dir.File("sub"));
  std::filesystem::create_hard_link(dir.File("in.bgm"), dir.File("hard.wav"));

  auto input = OpenInput(dir.File("in.bgm"));
  for (const char* name : {"IN.BGM", "In.Bgm", "sub\\..\\in.bgm", ".\\in.bgm", "./in.bgm", "hard.wav"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(CreateOutput(dir.File(name), input), EFCreateError);
  }
  // Another reader, under another name, may share it.
  EXPECT_NO_THROW(OpenInput(dir.File("hard.wav")));
  ASSERT_TRUE(input.Close());
  EXPECT_EQ(ReadBytes(dir.File("in.bgm")), content);
}

// What another program holds is refused as held, though the sharing rules
// refuse the input named again alike (that is told apart as the same file:
// SameFile in fault_matrix_test.py). A read-only file is refused even where
// Wine runs as root.
TEST(Replacement, RefusesOutputsItMustNotReplace) {
  plivex::test::ScopedTempDir dir;
  const std::vector<std::uint8_t> content = plivex::test::PatternBytes(300);
  for (const char* name : {"in.bgm", "held.bgm", "readonly.bgm"}) WriteBytes(dir.File(name), content);
  const std::wstring readonly = std::filesystem::path(dir.File("readonly.bgm")).wstring();
  ASSERT_TRUE(SetFileAttributesW(readonly.c_str(), FILE_ATTRIBUTE_READONLY));
  auto input = OpenInput(dir.File("in.bgm"));
  auto reader = OpenInput(dir.File("held.bgm"));  // as another program would
  const struct {
    const char* name;
    FileFault fault;
  } rows[] = {
      {"held.bgm", FileFault::kHeld},
      {"readonly.bgm", FileFault::kAccessDenied},
  };
  for (const auto& row : rows) {
    SCOPED_TRACE(row.name);
    try {
      (void)BeginReplacement(dir.File(row.name), input);
      ADD_FAILURE() << "not refused";
    } catch (const EFCreateError& error) {
      EXPECT_EQ(error.failure.fault, row.fault) << error.what();
    }
    EXPECT_EQ(ReadBytes(dir.File(row.name)), content);
  }
  // No temporary file was left beside them.
  const auto folder = std::filesystem::path(dir.File("in.bgm")).parent_path();
  EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), 3);
  ASSERT_TRUE(SetFileAttributesW(readonly.c_str(), FILE_ATTRIBUTE_NORMAL));  // so that it can be removed
}

// The SDDL form of this process's user, for DACLs that name it.
std::wstring UserSid() {
  HANDLE token = nullptr;
  if (!OpenProcessToken(GetCurrentProcess(), TOKEN_QUERY, &token)) return L"?";
  DWORD size = 0;
  (void)GetTokenInformation(token, TokenUser, nullptr, 0, &size);
  std::vector<BYTE> user(size);
  LPWSTR text = nullptr;
  std::wstring sid = L"?";
  if (GetTokenInformation(token, TokenUser, user.data(), size, &size) &&
      ConvertSidToStringSidW(reinterpret_cast<TOKEN_USER*>(user.data())->User.Sid, &text)) {
    sid = text;
    LocalFree(text);
  }
  CloseHandle(token);
  return sid;
}

// The DACL of the file `name` in SDDL form, or why it cannot be read.
std::wstring DaclOf(const std::wstring& name) {
  PSECURITY_DESCRIPTOR descriptor = nullptr;
  const DWORD error = GetNamedSecurityInfoW(name.c_str(), SE_FILE_OBJECT, DACL_SECURITY_INFORMATION, nullptr,
                                            nullptr, nullptr, nullptr, &descriptor);
  if (error != ERROR_SUCCESS) return L"Windows error " + std::to_wstring(error);
  LPWSTR text = nullptr;
  std::wstring dacl = L"?";
  if (ConvertSecurityDescriptorToStringSecurityDescriptorW(descriptor, SDDL_REVISION_1,
                                                           DACL_SECURITY_INFORMATION, &text, nullptr)) {
    dacl = text;
    LocalFree(text);
  }
  LocalFree(descriptor);
  return dacl;
}

// ReplaceFileW keeps the attributes and the DACL of the file it replaces on
// Windows, but Wine's keeps neither, and nor does the MoveFileExW that
// stands in for it: the new file is given them before the rename. Under
// Wine a DACL stands for permission bits; one that they cannot hold as it
// is refuses the replacement, which leaves the original as it was.
TEST(Replacement, KeepsTheAttributesOfTheFileItReplaces) {
  plivex::test::ScopedTempDir dir;
  WriteBytes(dir.File("in.bgm"), {1});
  auto input = OpenInput(dir.File("in.bgm"));
  const std::vector<std::uint8_t> old_content = {9, 9};
  const std::vector<std::uint8_t> content = plivex::test::PatternBytes(3000);
  const std::wstring user = L"(A;;FA;;;" + UserSid() + L")";
  const struct {
    DWORD attribute;
    std::wstring dacl;  // SDDL; empty: the one a new file gets
    bool may_be_refused;
  } rows[] = {
      {FILE_ATTRIBUTE_HIDDEN, L"", false},
      {FILE_ATTRIBUTE_SYSTEM, L"", false},
      {0, L"D:P" + user, false},                   // the user alone: nobody else may read it
      {0, L"D:" + user + L"(A;;FA;;;WD)", false},  // everyone may write it
      // Everyone may only run it, which Wine holds as the execute bit alone
      // and shows as an entry that grants nothing, which no file can be given.
      {0, L"D:" + user + L"(A;;FX;;;WD)", true},
  };
  int number = 0;
  for (const auto& row : rows) {
    SCOPED_TRACE(std::to_string(row.attribute) + " " + std::string(row.dacl.begin(), row.dacl.end()));
    const std::string name = dir.File("out" + std::to_string(++number) + ".bgm");
    const std::wstring wide = std::filesystem::path(name).wstring();
    WriteBytes(name, old_content);
    if (row.attribute != 0) {
      ASSERT_TRUE(SetFileAttributesW(wide.c_str(), row.attribute));
    }
    if (!row.dacl.empty()) {
      PSECURITY_DESCRIPTOR descriptor = nullptr;
      ASSERT_TRUE(ConvertStringSecurityDescriptorToSecurityDescriptorW(row.dacl.c_str(), SDDL_REVISION_1,
                                                                       &descriptor, nullptr));
      const BOOL given = SetFileSecurityW(wide.c_str(), DACL_SECURITY_INFORMATION, descriptor);
      LocalFree(descriptor);
      ASSERT_TRUE(given);
    }
    const std::wstring dacl = DaclOf(wide);
    auto replacement = BeginReplacement(name, input);
    replacement.Output().Write(content);
    try {
      replacement.Commit();
      EXPECT_EQ(ReadBytes(name), content);
    } catch (const EFCreateError& error) {
      EXPECT_TRUE(row.may_be_refused) << error.what();
      EXPECT_EQ(error.failure.fault, FileFault::kAclNotKept) << error.what();
      EXPECT_EQ(ReadBytes(name), old_content);
    }
    EXPECT_EQ(DaclOf(wide), dacl);
    EXPECT_EQ(GetFileAttributesW(wide.c_str()) & row.attribute, row.attribute);
    // Neither the new file's name nor the original's, moved aside, is left.
    const auto folder = std::filesystem::path(name).parent_path();
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(folder), {}), number + 1);
  }
}

// A device has no attributes, or made-up ones: it is neither missing nor a
// file to take a size from.
TEST(LookUp, DevicesAreNotFiles) {
  for (const char* name : {"NUL", "nul.txt", "CON", "COM1"}) {
    SCOPED_TRACE(name);
    EXPECT_EQ(LookUp(name).kind, PathKind::kOther);
  }
}

TEST(File, DevicesAreWrittenButNotRead) {
  plivex::test::ScopedTempDir dir;
  WriteBytes(dir.File("in.bgm"), {1});
  auto input = OpenInput(dir.File("in.bgm"));
  auto null_device = CreateOutput("NUL", input);
  null_device.Write(std::vector<std::uint8_t>(4096, 1));
  EXPECT_TRUE(null_device.Close());

  // A device opens like a file, but it is not a file to convert.
  EXPECT_THROW(OpenInput("NUL"), EFOpenError);
}
#else
TEST(File, SameFileUnderAnotherNameIsRefused) {
  plivex::test::ScopedTempDir dir;
  const std::vector<std::uint8_t> content = plivex::test::PatternBytes(3000);
  WriteBytes(dir.File("in.bgm"), content);
  std::filesystem::create_hard_link(dir.File("in.bgm"), dir.File("hard.wav"));
  std::filesystem::create_symlink(dir.File("in.bgm"), dir.File("soft.wav"));

  auto input = OpenInput(dir.File("in.bgm"));
  for (const char* name : {"hard.wav", "soft.wav", "./in.bgm"}) {
    SCOPED_TRACE(name);
    EXPECT_THROW(CreateOutput(dir.File(name), input), EFCreateError);
    EXPECT_EQ(ReadBytes(dir.File("in.bgm")), content);
  }
}

TEST(File, DevicesAreWrittenWithoutTruncation) {
  plivex::test::ScopedTempDir dir;
  WriteBytes(dir.File("in.bgm"), {1});
  auto input = OpenInput(dir.File("in.bgm"));
  auto null_device = CreateOutput("/dev/null", input);
  null_device.Write(std::vector<std::uint8_t>(4096, 1));
  EXPECT_TRUE(null_device.Close());

  auto full_device = CreateOutput("/dev/full", input);
  EXPECT_THROW(full_device.Write(std::vector<std::uint8_t>(44, 1)), EWriteError);
}

TEST(File, FifoOutputNeedsAReader) {
  plivex::test::ScopedTempDir dir;
  WriteBytes(dir.File("in.bgm"), {1});
  const auto fifo = dir.File("out.wav");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  auto input = OpenInput(dir.File("in.bgm"));
  // Nobody reads: the data would go nowhere, so the output is refused.
  EXPECT_THROW(CreateOutput(fifo, input), EFCreateError);

  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);
  ASSERT_GE(reader, 0);
  auto output = CreateOutput(fifo, input);
  const std::vector<std::uint8_t> data = plivex::test::PatternBytes(3000);
  output.Write(data);
  EXPECT_TRUE(output.Close());
  std::vector<std::uint8_t> got(4000);
  const ssize_t count = read(reader, got.data(), got.size());
  ASSERT_EQ(count, 3000);
  got.resize(3000);
  EXPECT_EQ(got, data);
  EXPECT_EQ(close(reader), 0);
}

// Runs `child` in a process of its own, which ends with what it returns
// (0 when each of its checks passed, else the number of the one that
// failed), and tells how that process ended. Signals, DeferInterruptions
// and other users stay out of the test program that way. A child that
// hangs is ended by SIGALRM.
std::string RunInChild(const std::function<int()>& child) {
  const pid_t pid = fork();
  if (pid == 0) {
    alarm(15);
    int code = 99;
    try {
      code = child();
    } catch (...) {
      code = 98;
    }
    _exit(code);
  }
  int status = 0;
  while (waitpid(pid, &status, 0) < 0) {
    if (errno != EINTR) return "not waited for";
  }
  if (WIFSIGNALED(status)) return "signal " + std::to_string(WTERMSIG(status));
  return "exit " + std::to_string(WEXITSTATUS(status));
}

std::vector<std::string> Names(const plivex::test::ScopedTempDir& dir) {
  std::vector<std::string> names;
  const auto folder = std::filesystem::path(dir.File("x")).parent_path();
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.push_back(entry.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

// plivex-batch's Ctrl-C: noted, so that every read and write after it
// fails and the run can abandon its files and tell what it did.
TEST(Interruption, TheFirstDeferredCtrlCIsOnlyNoted) {
  plivex::test::ScopedTempDir dir;
  const std::vector<std::uint8_t> content = plivex::test::PatternBytes(3000);
  WriteBytes(dir.File("in.bgm"), content);
  WriteBytes(dir.File("out.bgm"), {7, 7});
  EXPECT_EQ(RunInChild([&] {
              DeferInterruptions();
              auto input = OpenInput(dir.File("in.bgm"));
              auto output = BeginReplacement(dir.File("out.bgm"), input);
              output.Output().Write(content);
              if (InterruptionRequested()) return 1;
              (void)kill(getpid(), SIGINT);
              if (!InterruptionRequested()) return 2;
              try {
                output.Output().Write(content);
                return 3;
              } catch (const EInterrupted& error) {
                if (error.failure.fault != FileFault::kInterrupted) return 4;
              }
              std::vector<std::uint8_t> buffer(10);
              try {
                (void)input.Read(buffer);
                return 5;
              } catch (const EInterrupted&) {
              }
              output.Abandon();
              return 0;
            }),
            "exit 0");
  EXPECT_EQ(Names(dir), (std::vector<std::string>{"in.bgm", "out.bgm"}));
  EXPECT_EQ(ReadBytes(dir.File("out.bgm")), (std::vector<std::uint8_t>{7, 7}));
}

// A second Ctrl-C ends the process, and every file under way on any thread
// goes first; SIGTERM does the same without the first.
TEST(Interruption, EndsWithTheFilesOfEveryThreadRemoved) {
  const struct {
    int signal;
    int count;  // how many are sent
  } rows[] = {{SIGINT, 2}, {SIGTERM, 1}};
  for (const auto& row : rows) {
    SCOPED_TRACE(row.signal);
    plivex::test::ScopedTempDir dir;
    const std::vector<std::uint8_t> content = plivex::test::PatternBytes(3000);
    WriteBytes(dir.File("in.bgm"), content);
    for (const char* name : {"a.bgm", "b.bgm"}) WriteBytes(dir.File(name), {7});
    EXPECT_EQ(RunInChild([&] {
                DeferInterruptions();
                auto input = OpenInput(dir.File("in.bgm"));
                Replacement outputs[3];
                {
                  std::jthread threads[3];
                  const char* names[3] = {"a.bgm", "b.bgm", "new.bgm"};
                  for (int i = 0; i < 3; ++i) {
                    threads[i] = std::jthread([&, i] {
                      outputs[i] = BeginReplacement(dir.File(names[i]), input);
                      outputs[i].Output().Write(content);
                    });
                  }
                }
                for (int i = 0; i < row.count; ++i) (void)kill(getpid(), row.signal);
                return 1;  // still running
              }),
              "signal " + std::to_string(row.signal));
    EXPECT_EQ(Names(dir), (std::vector<std::string>{"a.bgm", "b.bgm", "in.bgm"}));
    EXPECT_EQ(ReadBytes(dir.File("a.bgm")), std::vector<std::uint8_t>{7});
  }
}

// Every guard taken: the next replacement waits for one, and goes on once
// another replacement lets go of its own.
TEST(Replacement, WaitsForAGuardWhenAllAreTaken) {
  plivex::test::ScopedTempDir dir;
  WriteBytes(dir.File("in.bgm"), {1});
  EXPECT_EQ(RunInChild([&] {
              auto input = OpenInput(dir.File("in.bgm"));
              constexpr int kGuards = 128;
              std::vector<Replacement> held(kGuards);
              for (int i = 0; i < kGuards; ++i) {
                held[i] = BeginReplacement(dir.File(std::to_string(i)), input);
              }
              std::atomic<int> state{0};  // 1: begun, 2: failed
              std::jthread next([&] {
                try {
                  Replacement last = BeginReplacement(dir.File("last"), input);
                  state = 1;
                  last.Output().Write(std::vector<std::uint8_t>{5});
                  last.Commit();
                } catch (...) {
                  state = 2;
                }
              });
              std::this_thread::sleep_for(std::chrono::milliseconds(200));
              if (state != 0) return 1;
              held[17].Abandon();
              next.join();
              if (state != 1) return 2;
              return 0;
            }),
            "exit 0");
  EXPECT_EQ(Names(dir), (std::vector<std::string>{"in.bgm", "last"}));
  EXPECT_EQ(ReadBytes(dir.File("last")), std::vector<std::uint8_t>{5});
}

// An attribute that an ordinary user may not give (one of the security
// namespace, which root set) is listed with the reason, and the rest is
// kept.
TEST(Replacement, ListsTheAttributesItCouldNotGive) {
  if (geteuid() != 0) GTEST_SKIP() << "needs root, to give the original an attribute others may not give";
  plivex::test::ScopedTempDir dir;
  const auto folder = std::filesystem::path(dir.File("x")).parent_path();
  std::filesystem::permissions(folder, std::filesystem::perms::all);
  WriteBytes(dir.File("in.bgm"), {1});
  WriteBytes(dir.File("out.bgm"), {7});
  ASSERT_EQ(chmod(dir.File("out.bgm").c_str(), 0666), 0);
  ASSERT_EQ(setxattr(dir.File("out.bgm").c_str(), "user.note", "kept", 4, 0), 0);
  if (setxattr(dir.File("out.bgm").c_str(), "security.plivex", "label", 5, 0) != 0) {
    GTEST_SKIP() << "this file system keeps no security.plivex";
  }
  EXPECT_EQ(RunInChild([&] {
              constexpr uid_t kNobody = 65534;
              if (setgroups(0, nullptr) != 0 || setgid(kNobody) != 0 || setuid(kNobody) != 0) return 1;
              auto input = OpenInput(dir.File("in.bgm"));
              auto output = BeginReplacement(dir.File("out.bgm"), input);
              output.Output().Write(std::vector<std::uint8_t>{5});
              output.Commit();
              const auto& not_kept = output.AttributesNotKept();
              if (not_kept.size() != 1 || not_kept[0].name != "security.plivex") return 2;
              if (not_kept[0].failure.fault != FileFault::kAccessDenied) return 3;
              return 0;
            }),
            "exit 0");
  EXPECT_EQ(ReadBytes(dir.File("out.bgm")), std::vector<std::uint8_t>{5});
  char value[8] = {};
  EXPECT_EQ(getxattr(dir.File("out.bgm").c_str(), "user.note", value, sizeof value), 4);
  EXPECT_STREQ(value, "kept");
}
#endif

}  // namespace
}  // namespace plivex::platform
