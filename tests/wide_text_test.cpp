#include "platform/wide_text.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <fstream>
#include <iterator>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/errors.h"
#include "platform/file.h"
#include "tests/test_files.h"

namespace plivex::platform {
namespace {

// The bytes of a UTF-8 text typed in as hex escapes, so that the table
// does not depend on how the compiler reads the source file.
struct RoundTripCase {
  const char* what;
  std::u16string wide;
  std::string utf8;
};

TEST(WideText, ConvertsEveryUtf16SequenceToWtf8AndBack) {
  const RoundTripCase cases[] = {
      {"empty", u"", ""},
      {"ASCII", u"in.bgm", "in.bgm"},
      {"NUL and DEL", std::u16string(u"a\0\x7f", 3), std::string("a\0\x7f", 3)},
      {"2 bytes: U+0080", u"\x0080", "\xc2\x80"},
      {"2 bytes: \u014c (O macron)", u"\x014ckami", "\xc5\x8ckami"},
      {"2 bytes: U+07FF", u"\x07ff", "\xdf\xbf"},
      {"3 bytes: U+0800", u"\x0800", "\xe0\xa0\x80"},
      {"3 bytes: Japanese",
       u"\x66f2"
       u"01",
       "\xe6\x9b\xb2"
       "01"},
      {"3 bytes: full-width digit", u"\xff11", "\xef\xbc\x91"},
      {"3 bytes: U+FFFD", u"\xfffd", "\xef\xbf\xbd"},
      {"3 bytes: U+FFFF", u"\xffff", "\xef\xbf\xbf"},
      {"4 bytes: U+10000", u"\xd800\xdc00", "\xf0\x90\x80\x80"},
      {"4 bytes: emoji U+1F3B5", u"\xd83c\xdfb5.bgm", "\xf0\x9f\x8e\xb5.bgm"},
      {"4 bytes: U+10FFFF", u"\xdbff\xdfff", "\xf4\x8f\xbf\xbf"},
      {"unpaired lead surrogate",
       u"a\xd800"
       u"b",
       "a\xed\xa0\x80"
       "b"},
      {"unpaired lead surrogate at the end", u"a\xdbff", "a\xed\xaf\xbf"},
      {"unpaired trail surrogate",
       u"\xdc00"
       u"b",
       "\xed\xb0\x80"
       "b"},
      {"unpaired trail surrogate at the end", u"a\xdfff", "a\xed\xbf\xbf"},
      {"trail before lead: two unpaired", u"\xdc00\xd800", "\xed\xb0\x80\xed\xa0\x80"},
      {"two leads, then a pair", u"\xd800\xd800\xdc00", "\xed\xa0\x80\xf0\x90\x80\x80"},
      {"a pair, then a lone trail", u"\xd800\xdc00\xdc00", "\xf0\x90\x80\x80\xed\xb0\x80"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(WideToUtf8(c.wide), c.utf8);
    EXPECT_EQ(Utf8ToWide(c.utf8), std::optional<std::u16string>(c.wide));
    EXPECT_EQ(Utf8ToWideForDisplay(c.utf8), c.wide);
    EXPECT_EQ(FromWchar(ToWchar(c.wide)), c.wide);
  }
}

TEST(WideText, EveryCodeUnitPairRoundTrips) {
  // Each unit alone and after a lead surrogate, so that every way a
  // surrogate can stand (paired, unpaired, at either end) is converted.
  for (std::uint32_t unit = 0; unit <= 0xFFFF; ++unit) {
    for (const std::u16string& wide : {std::u16string(1, static_cast<char16_t>(unit)),
                                       std::u16string{u'\xd83d', static_cast<char16_t>(unit)}}) {
      const auto back = Utf8ToWide(WideToUtf8(wide));
      ASSERT_TRUE(back.has_value()) << unit;
      ASSERT_EQ(*back, wide) << unit;
    }
  }
}

struct IllFormedCase {
  const char* what;
  std::string bytes;
  std::u16string shown;  // what Utf8ToWideForDisplay makes of it
};

TEST(WideText, TextThatIsNotWtf8NamesNothing) {
  const IllFormedCase cases[] = {
      {"lone continuation byte", "a\x80z", u"a\xfffdz"},
      {"C0 and C1: overlong forms of ASCII", "\xc0\xaf\xc1\xbf", u"\xfffd\xfffd\xfffd\xfffd"},
      {"overlong 3 bytes", "\xe0\x80\xaf", u"\xfffd\xfffd\xfffd"},
      {"overlong 4 bytes", "\xf0\x80\x80\xaf", u"\xfffd\xfffd\xfffd\xfffd"},
      {"past U+10FFFF", "\xf4\x90\x80\x80", u"\xfffd\xfffd\xfffd\xfffd"},
      {"F5 and up", "\xf5\xff", u"\xfffd\xfffd"},
      {"cut short at the end", "ab\xe6\x9b", u"ab\xfffd\xfffd"},
      {"cut short before ASCII",
       "\xe6"
       "a",
       u"\xfffd"
       u"a"},
      {"missing continuation",
       "\xc5"
       "\xc5\x8c",
       u"\xfffd\x014c"},
      // WTF-8 writes a pair as one four-byte form, never as two halves.
      {"pair as two 3-byte forms", "\xed\xa0\xbd\xed\xb2\xa9", u"\xd83d\xdca9"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Utf8ToWide(c.bytes), std::nullopt);
    EXPECT_EQ(Utf8ToWideForDisplay(c.bytes), c.shown);
  }
}

struct PathCase {
  const char* what;
  std::u16string path;       // as typed
  std::u16string full_path;  // as GetFullPathNameW gives it
  std::u16string expected;
};

TEST(LongPathForm, OnlyLongPathsBecomeVerbatim) {
  const std::u16string folders = u"music\\" + std::u16string(250, u'd');        // a long relative path
  const std::u16string slashed = u"music/" + std::u16string(250, u'd');         // the same, typed with /
  const std::u16string japanese = std::u16string(240, u'\x66f2') + u"\\a.bgm";  // long in any script
  const PathCase cases[] = {
      {"short relative", u"in.bgm", u"C:\\work\\in.bgm", u"in.bgm"},
      {"short with / . .. and a trailing dot", u"./sub/../in.bgm.", u"C:\\work\\in.bgm", u"./sub/../in.bgm."},
      {"device name", u"NUL", u"\\\\.\\NUL", u"NUL"},
      {"short UNC", u"\\\\server\\share\\in.bgm", u"\\\\server\\share\\in.bgm", u"\\\\server\\share\\in.bgm"},
      {"full form unknown", folders, u"", folders},
      {"full form one short of the limit", u"x", u"C:\\" + std::u16string(kLongPathThreshold - 4, u'x'),
       u"x"},
      {"full form at the limit", u"x", u"C:\\" + std::u16string(kLongPathThreshold - 3, u'x'),
       u"\\\\?\\C:\\" + std::u16string(kLongPathThreshold - 3, u'x')},
      // A short name in a long current folder is long as a whole.
      {"short name, long folder", u"in.bgm", u"C:\\" + folders + u"\\in.bgm",
       u"\\\\?\\C:\\" + folders + u"\\in.bgm"},
      {"long relative", folders, u"C:\\work\\" + folders, u"\\\\?\\C:\\work\\" + folders},
      {"long absolute", u"C:\\" + folders, u"C:\\" + folders, u"\\\\?\\C:\\" + folders},
      {"long with forward slashes", u"C:/" + slashed, u"C:\\" + folders, u"\\\\?\\C:\\" + folders},
      {"long in Japanese", japanese, u"D:\\" + japanese, u"\\\\?\\D:\\" + japanese},
      {"long UNC", u"\\\\server\\share\\" + folders, u"\\\\server\\share\\" + folders,
       u"\\\\?\\UNC\\server\\share\\" + folders},
      {"long UNC typed with /", u"//server/share/" + slashed, u"\\\\server\\share\\" + folders,
       u"\\\\?\\UNC\\server\\share\\" + folders},
      {"long device path", u"\\\\.\\C:\\" + folders, u"\\\\.\\C:\\" + folders, u"\\\\?\\C:\\" + folders},
      {"already verbatim", u"\\\\?\\C:\\" + folders, u"\\\\?\\C:\\" + folders, u"\\\\?\\C:\\" + folders},
      // Typed as //?/C:/..., which the full form turns into \\?\C:\...
      {"verbatim once full", u"//?/C:/" + slashed, u"\\\\?\\C:\\" + folders, u"\\\\?\\C:\\" + folders},
      {"already verbatim, short", u"\\\\?\\C:\\in.bgm", u"\\\\?\\C:\\in.bgm", u"\\\\?\\C:\\in.bgm"},
      {"already verbatim UNC", u"\\\\?\\UNC\\s\\h\\" + folders, u"\\\\?\\UNC\\s\\h\\" + folders,
       u"\\\\?\\UNC\\s\\h\\" + folders},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(LongPathForm(c.path, c.full_path), c.expected);
  }
}

#ifdef _WIN32
// Wine opens a long path without the \\?\ prefix too, so only the name
// handed to the system shows whether the long form is used.
TEST(SystemName, LongPathsReachTheSystemInTheirLongForm) {
  const std::optional<std::u16string> name = SystemName(std::string(300, 'd'));
  ASSERT_TRUE(name);
  EXPECT_TRUE(name->starts_with(u"\\\\?\\")) << WideToUtf8(*name);
  EXPECT_TRUE(name->ends_with(std::u16string(u"\\").append(300, u'd'))) << WideToUtf8(*name);
  EXPECT_EQ(SystemName("in.bgm"), u"in.bgm");
  EXPECT_EQ(SystemName("\xff.bgm"), std::nullopt);
}
#endif

// Files named in several scripts, through the program's own file services,
// checked against the names the file system lists. On Linux names are bytes
// and this holds trivially; on Windows every name goes through UTF-16, in
// a test program whose ANSI code page cannot hold these names.
std::filesystem::path FromUtf8(const std::string& text) {
  return std::filesystem::path(std::u8string(text.begin(), text.end()));
}

std::vector<std::uint8_t> ReadPath(const std::filesystem::path& path) {
  std::ifstream in(path, std::ios::binary);
  if (!in) throw std::runtime_error("cannot read " + path.string());
  return {std::istreambuf_iterator<char>(in), std::istreambuf_iterator<char>()};
}

std::set<std::u16string> Listing(const std::filesystem::path& folder) {
  std::set<std::u16string> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.insert(entry.path().filename().u16string());
  }
  return names;
}

struct NameCase {
  const char* what;
  std::u16string name;
};

TEST(WideNames, FilesInAnyScriptAreFoundOpenedAndCreatedUnderTheirOwnNames) {
  const NameCase cases[] = {
      {"Japanese",
       u"\x66f2"
       u"01 \x30aa\x30fc\x30d7\x30cb\x30f3\x30b0"},
      {"Korean", u"\xc74c\xc545 01"},
      {"Cyrillic", u"\x041c\x0443\x0437\x044b\x043a\x0430"},
      {"accented Latin", u"\x014ckami caf\x00e9"},
      {"emoji (a surrogate pair)", u"\xd83c\xdfb5 track"},
      {"full-width letters", u"\xff49\xff4e"},
  };
  plivex::test::ScopedTempDir dir;
  const std::filesystem::path folder = std::filesystem::path(dir.File("x")).parent_path();
  const std::string base = dir.File("");
  const std::vector<std::uint8_t> content = plivex::test::PatternBytes(3000);
  plivex::test::WriteBytes(dir.File("in.bgm"), content);
  plivex::test::WriteBytes(dir.File("Okami cafe.wav"), {7, 7});
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string bgm = base + WideToUtf8(c.name + u".bgm");
    const std::string wav = base + WideToUtf8(c.name + u".wav");
    EXPECT_FALSE(IsExistingFile(bgm));
    EXPECT_THROW(OpenInput(bgm), EFOpenError);
    {
      auto input = OpenInput(dir.File("in.bgm"));
      auto output = CreateOutput(bgm, input);
      output.Write(content);
      ASSERT_TRUE(output.Close());
    }
    EXPECT_TRUE(Listing(folder).contains(c.name + u".bgm"));
    EXPECT_TRUE(IsExistingFile(bgm));
    auto input = OpenInput(bgm);
    EXPECT_EQ(input.Size(), content.size());
    // The same name again as the output is refused before it is emptied.
    EXPECT_THROW(CreateOutput(bgm, input), EFCreateError);
    auto output = CreateOutput(wav, input);
    ASSERT_TRUE(output.Close());
    ASSERT_TRUE(input.Close());
    EXPECT_EQ(ReadPath(FromUtf8(bgm)), content);
    EXPECT_TRUE(Listing(folder).contains(c.name + u".wav"));
  }
  // Nothing went to a look-alike ("Okami cafe.wav", "in.bgm").
  EXPECT_EQ(plivex::test::ReadBytes(dir.File("Okami cafe.wav")), (std::vector<std::uint8_t>{7, 7}));
  EXPECT_EQ(plivex::test::ReadBytes(dir.File("in.bgm")), content);
  EXPECT_EQ(Listing(folder).size(), 2 + 2 * std::size(cases));
}

#ifdef _WIN32
TEST(WideNames, NameWithAnUnpairedSurrogateIsTakenAsItIs) {
  plivex::test::ScopedTempDir dir;
  const std::filesystem::path folder = std::filesystem::path(dir.File("x")).parent_path();
  const std::u16string name = u"lone \xd800.bgm";
  plivex::test::WriteBytes(dir.File("seed.bgm"), {1, 2, 3});
  // Made without the program's code: the file system decides whether such
  // a name can exist at all.
  std::error_code error;
  if (!std::filesystem::copy_file(dir.File("seed.bgm"), folder / ToWchar(name), error)) {
    GTEST_SKIP() << "this file system refuses a name with an unpaired surrogate (Wine's does): "
                 << error.message();
  }
  const std::string path = dir.File("") + WideToUtf8(name);
  EXPECT_TRUE(IsExistingFile(path));
  auto input = OpenInput(path);
  EXPECT_EQ(input.Size(), 3u);
  const std::u16string out_name = u"\xdc00 out.wav";
  auto output = CreateOutput(dir.File("") + WideToUtf8(out_name), input);
  ASSERT_TRUE(output.Close());
  // Listed as wide names: the standard library refuses to convert these.
  std::set<std::wstring> names;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    names.insert(entry.path().filename().wstring());
  }
  EXPECT_EQ(names, (std::set<std::wstring>{L"seed.bgm", ToWchar(name), ToWchar(out_name)}));
}
#endif

}  // namespace
}  // namespace plivex::platform
