#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "common/test_util.h"
#include "platform/codepage.h"

namespace lumbrella {
namespace {

using test::Utf16Of;

// The bar for the whole program: no character of a source is lost on its way through ANSI.
TEST(CodePage, EveryScalarValueGoesToAnsiAndBack) {
  std::vector<char32_t> values;
  std::u16string utf16;
  for (char32_t c = 0; c <= 0x10FFFF; ++c) {
    if (c >= 0xD800 && c <= 0xDFFF) continue;
    values.push_back(c);
    utf16 += Utf16Of(c);
  }
  const std::string utf8 = Utf16ToUtf8(utf16);
  const std::string ansi = Utf16ToAnsi(utf16);
  bool wellFormed = false;
  EXPECT_TRUE(Utf8TextToAnsi(utf8, &wellFormed) == ansi);
  EXPECT_TRUE(wellFormed);
  EXPECT_TRUE(AnsiToUtf16(ansi) == utf16);
  EXPECT_TRUE(AnsiToUtf8(ansi) == utf8);
  // Each value is one ANSI character, read back by itself.
  size_t at = 0;
  int wrong = 0;
  for (char32_t c : values) {
    ASSERT_LT(at, ansi.size());
    size_t length = 0;
    const char32_t read = AnsiCharAt(ansi, at, length);
    if ((read != c || length != AnsiCharLength(ansi, at)) && ++wrong <= 5) {
      ADD_FAILURE() << "U+" << std::hex << static_cast<uint32_t>(c) << " reads as U+"
                    << static_cast<uint32_t>(read);
    }
    at += length;
  }
  EXPECT_EQ(at, ansi.size());
}

// Each case read; where it is characters (no U+FFFD), written back to the same bytes. Codes
// as GB18030-2005 gives them where a table is easily wrong: the ends of the linear four-byte
// ranges, the exchange of 2005, the private-use codes that the C library reads as other
// characters, and the characters those libraries moved onto them.
TEST(CodePage, OneCharacterIsOneRuleForScansAndConverters) {
  const struct {
    std::string ansi;
    size_t length;
    std::u16string units;
  } cases[] = {
      {"A", 1, u"A"},
      {std::string("a\0b\0", 4), 1, std::u16string(u"a\0b\0", 4)},  // zero bytes pass through
      {"\xD6\xD0", 2, u"\u4E2D"},
      {"\x81\x30\x81\x30", 4, u"\u0080"},  // the first four-byte code
      {"\xA8\xA6", 2, u"\u00E9"},          // a Latin letter with two bytes
      {"\x84\x31\xA4\x39", 4, u"\uFFFF"},  // the last BMP code
      {"\x84\x31\xA4\x37", 4, u"\uFFFD"},
      {"\x90\x30\x81\x30", 4, u"\U00010000"},  // the first supplementary code
      {"\x95\x32\x82\x36", 4, u"\U00020000"},  // Extension B
      {"\xE3\x32\x9A\x35", 4, u"\U0010FFFF"},  // the last code
      {"\xA8\xBC", 2, u"\u1E3F"},              // 2005 gave U+1E3F two bytes
      {"\x81\x35\xF4\x37", 4, u"\uE7C7"},      // and its four-byte code to U+E7C7
      {"\xAA\xA1", 2, u"\uE000"},              // the user-defined area
      {"\xA6\xD9", 2, u"\uE78D"},              // private use, not U+FE10
      {"\xFE\x51", 2, u"\uE816"},              // private use, not U+20087
      {"\xFE\xA0", 2, u"\uE864"},              // private use, not U+9FBB
      {"\x84\x31\x82\x36", 4, u"\uFE10"},
      {"\x84\x31\x83\x35", 4, u"\uFE19"},
      {"\x82\x35\x90\x37", 4, u"\u9FB4"},
      {"\x82\x35\x91\x34", 4, u"\u9FBB"},
      {"\xA2\xE3", 2, u"\u20AC"},  // the euro sign
      {"\x80", 1, u"\u20AC"},      // code page 936's euro sign
      {"\xFF", 1, u"\uFFFD"},
      {"\x81\x30\x41\x42", 1, u"\uFFFD0AB"},  // no four-byte code: the lead stands alone
      {"\xD6", 1, u"\uFFFD"},                 // cut off by the end
      {"\x81\x30\x81", 1, u"\uFFFD0\uFFFD"},
      {"\xD6\x7F", 1, u"\uFFFD\x7F"},
      {"\x85\x30\x81\x30", 4, u"\uFFFD"},  // a code GB18030 leaves unassigned
      {"\xE3\x32\x9A\x36", 4, u"\uFFFD"},  // beyond U+10FFFF
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(testing::PrintToString(c.ansi));
    EXPECT_EQ(AnsiCharLength(c.ansi), c.length);
    EXPECT_EQ(AnsiToUtf16(c.ansi), c.units);
    EXPECT_EQ(AnsiToUtf8(c.ansi), Utf16ToUtf8(c.units));
    // The euro sign goes back as GB18030 writes it (A2 E3), not as the lone byte 0x80; U+FFFD
    // has a code of its own.
    if ((c.units.find(u'\uFFFD') == c.units.npos || c.ansi == "\x84\x31\xA4\x37") &&
        c.ansi != "\x80") {
      EXPECT_EQ(Utf16ToAnsi(c.units), c.ansi);
    }
  }
  EXPECT_EQ(AnsiToUtf16(""), u"");
  EXPECT_EQ(Utf16ToAnsi(u""), "");
}

TEST(CodePage, UnpairedSurrogatesBecomeOneQuestionMarkPerUnit) {
  const std::u16string units = {u'x', 0xD800, u'y', 0xDC00, 0xDC01, 0xD840};
  EXPECT_EQ(Utf16ToAnsi(units), "x?y???");
  EXPECT_EQ(Utf16ToUtf8(units), "x?y???");
}

// Names from a system whose code page is GBK are ANSI already.
TEST(CodePage, SystemTextKeepsPartsThatAreNotUtf8AsAnsi) {
  const std::string gbk = "\xB5\xDA\xD2\xBB\xD5\xC2";  // 第一章 in GBK, no UTF-8
  EXPECT_EQ(Utf8ToAnsi("第一章"), gbk);
  EXPECT_EQ(Utf8ToAnsi("/书/" + gbk + ".txt"), "/\xCA\xE9/" + gbk + ".txt");
  EXPECT_EQ(Utf8ToAnsi("/书/" + gbk + "/章.txt"), "/\xCA\xE9/" + gbk + "/\xD5\xC2.txt");
  EXPECT_EQ(Utf8ToAnsi("plain/ascii.txt"), "plain/ascii.txt");
}

TEST(CodePage, StrictUtf8DecodingReplacesEachMalformedSequence) {
  struct Case {
    const char* name;
    std::string in;
    std::u16string out;
  };
  const Case cases[] = {
      {"overlong", "\xC0\x80", {0xFFFD, 0xFFFD}},
      {"encoded surrogate", "\xED\xA0\x80", {0xFFFD, 0xFFFD, 0xFFFD}},
      {"above U+10FFFF", "\xF4\x90\x80\x80", {0xFFFD, 0xFFFD, 0xFFFD, 0xFFFD}},
      {"truncated", "a\xE4\xB8", {u'a', 0xFFFD}},
      {"lone continuation", "\x80z", {0xFFFD, u'z'}},
      {"four bytes", "\xF0\x9F\x98\x80", {0xD83D, 0xDE00}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    const bool expected = c.name == std::string("four bytes");
    bool wellFormed = !expected;
    EXPECT_EQ(Utf8ToUtf16(c.in, &wellFormed), c.out);
    EXPECT_EQ(wellFormed, expected);
    wellFormed = !expected;
    EXPECT_EQ(Utf8TextToAnsi(c.in, &wellFormed), Utf16ToAnsi(c.out));
    EXPECT_EQ(wellFormed, expected);
  }
}

}  // namespace
}  // namespace lumbrella
