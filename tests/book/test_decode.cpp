#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <climits>

#include "book/decode.h"
#include "common/test_util.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "test_convert_util.h"

namespace lumbrella {
namespace {

using test::SourceUtf8;
using test::TempFolder;

// Expected texts are UTF-8 written out (ANSI as Python's gb18030 codec reads it, but the lone
// byte 0x80, which code page 936 makes the euro sign), not made with the converters under test.
TEST(Decode, MarksAndUnmarkedFilesGiveKnownText) {
  using std::string_literals::operator""s;
  const struct {
    const char* what;
    std::string file;
    SourceMark mark;
    std::string utf8;
  } cases[] = {
      {"empty file", "", SourceMark::None, ""},
      {"one ASCII byte", "A", SourceMark::None, "A"},
      {"one high byte is ANSI that forms no character", "\xB0", SourceMark::None, "\uFFFD"},
      {"only FF FE", "\xFF\xFE", SourceMark::Utf16LE, ""},
      {"only EF BB BF", "\xEF\xBB\xBF", SourceMark::Utf8, ""},
      {"EF BB alone is no mark", "\xEF\xBB", SourceMark::None, "锘"},
      {"EF BB 41 42 keeps its third byte", "\xEF\xBB\x41\x42", SourceMark::None, "锘AB"},
      {"UTF-16LE with a surrogate pair", "\xFF\xFE\x2D\x4E\x3D\xD8\x00\xDE\r\0\n\0"s,
       SourceMark::Utf16LE, "中😀\r\n"},
      {"UTF-16BE with a surrogate pair", "\xFE\xFF\x4E\x2D\xD8\x3D\xDE\x00\0\r\0\n"s,
       SourceMark::Utf16BE, "中😀\r\n"},
      {"UTF-16LE goes on after U+0000", "\xFF\xFE\x41\0\0\0\x42\0"s, SourceMark::Utf16LE, "A\0B"s},
      {"UTF-16 unpaired surrogates", "\xFF\xFE\x3D\xD8\x41\0\x00\xDE"s, SourceMark::Utf16LE, "?A?"},
      {"UTF-16 odd trailing byte dropped", "\xFE\xFF\0\x41\x42"s, SourceMark::Utf16BE, "A"},
      {"unmarked UTF-8 with four-byte sequences",
       "\xF0\xA0\x80\x80\xF0\x9F\x98\x80\xE4\xB8\xAD\r\n", SourceMark::None, "𠀀😀中\r\n"},
      {"marked UTF-8 with a four-byte sequence", "\xEF\xBB\xBF\xF0\x9F\x98\x80", SourceMark::Utf8,
       "😀"},
      {"marked UTF-8 keeps the text around a malformed sequence", "\xEF\xBB\xBF\x41\xC3(B",
       SourceMark::Utf8, "A\uFFFD(B"},
      {"marked UTF-8: overlong, surrogate, cut off at the end",
       "\xEF\xBB\xBF\xC0\x80\xED\xA0\x80\xE9\x9B", SourceMark::Utf8,
       "\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD\uFFFD"},  // C0, 80, ED, A0, 80, E9 9B
      {"unmarked malformed UTF-8 is ANSI", "A\xC3(B", SourceMark::None, "A\uFFFD(B"},
      {"unmarked encoded surrogate is ANSI", "\xED\xA0\x80", SourceMark::None, "頎€"},
      {"GBK text is taken as ANSI", "\xC4\xE3\xBA\xC3\r\n", SourceMark::None, "你好\r\n"},
      {"GB18030 four-byte characters are taken as ANSI", "\x95\x32\x82\x36\xD6\xD0",
       SourceMark::None, "𠀀中"},
      {"ASCII with mixed line ends", "a\r\nb\nc\r", SourceMark::None, "a\r\nb\nc\r"},
  };
  TempFolder dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    const std::string path = dir / "chapter.txt";
    test::WriteBytes(path, c.file);
    EXPECT_EQ(TSourceText(path).Mark(), c.mark);
    // Wherever the blocks cut the text: blocks of one byte, of 61, the program's, one block.
    for (const size_t block : {size_t{1}, size_t{61}, TSourceText::kBlockSize, size_t{1} << 30})
      EXPECT_EQ(SourceUtf8(path, block), c.utf8) << "blocks of " << block;
  }
}

// Every scalar value arrives from a UTF-8, a UTF-16 (both orders) and a GB18030 source: none is
// lost on its way.
TEST(Decode, EveryCharacterArrivesFromEveryEncoding) {
  std::u16string utf16;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c < 0xD800 || c > 0xDFFF) utf16 += test::Utf16Of(c);
  }
  const std::string utf8 = Utf16ToUtf8(utf16);
  const struct {
    const char* what;
    std::string file;
  } cases[] = {
      {"UTF-8", utf8},
      {"UTF-8 with its mark", "\xEF\xBB\xBF" + utf8},
      {"UTF-16LE", test::Utf16File(utf8)},
      {"UTF-16BE", test::Utf16File(utf8, true)},
      {"GB18030", Utf8ToAnsi(utf8)},
  };
  TempFolder dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    test::WriteBytes(dir / "all.txt", c.file);
    EXPECT_TRUE(SourceUtf8(dir / "all.txt") == utf8);  // four megabytes: no dump on failure
  }
}

TEST(Decode, OpenErrorsNameTheAbsolutePath) {
  TempFolder dir;
  test::MakeDirs(dir / "folder.txt");
  ASSERT_EQ(mkfifo((dir / "pipe.txt").c_str(), 0600), 0);
  char previous[PATH_MAX];
  ASSERT_NE(getcwd(previous, sizeof previous), nullptr);
  ASSERT_EQ(chdir(dir.Path().c_str()), 0);
  const struct {
    const char* path;
    std::string message;
  } cases[] = {
      {"sub/../missing.txt",
       "Cannot open file \"" + dir.Path() + "missing.txt\". No such file or directory"},
      {"folder.txt", "Cannot open file \"" + dir.Path() + "folder.txt\". Is a directory"},
      // Read to the end, these would fill the memory or give an empty chapter.
      {"pipe.txt", "Cannot open file \"" + dir.Path() + "pipe.txt\". Not a regular file"},
      {"/dev/zero", "Cannot open file \"/dev/zero\". Not a regular file"},
      {"/proc/self/status", "Cannot open file \"/proc/self/status\". Not a regular file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(test::MessageOf<EFOpenError>([&] { TSourceText source(c.path); }), c.message);
  }
  ASSERT_EQ(chdir(previous), 0);
}

}  // namespace
}  // namespace lumbrella
