#include <gtest/gtest.h>

#include "platform/codepage.h"

namespace lumbrella {
namespace {

// 中 is D6 D0 in GBK; U+20000 (CJK Extension B) is the four-byte GB18030 sequence 95 32 82 36.
TEST(CodePage, AnsiAndUtf16AgreeOnKnownBytes) {
  const std::string ansi("A\xD6\xD0\x95\x32\x82\x36", 7);
  const std::u16string units = {u'A', 0x4E2D, 0xD840, 0xDC00};
  EXPECT_EQ(AnsiToUtf16(ansi), units);
  EXPECT_EQ(Utf16ToAnsi(units), ansi);
}

TEST(CodePage, ZeroBytesAndUnitsPassThrough) {
  const std::string ansi("a\0b\0", 4);
  const std::u16string units(u"a\0b\0", 4);
  EXPECT_EQ(AnsiToUtf16(ansi), units);
  EXPECT_EQ(Utf16ToAnsi(units), ansi);
  EXPECT_EQ(AnsiToUtf16(""), u"");
  EXPECT_EQ(Utf16ToAnsi(u""), "");
}

TEST(CodePage, UnpairedSurrogatesBecomeOneQuestionMarkPerUnit) {
  const std::u16string units = {u'x', 0xD800, u'y', 0xDC00, 0xDC01, 0xD840};
  EXPECT_EQ(Utf16ToAnsi(units), "x?y???");
  EXPECT_EQ(Utf16ToUtf8(units), "x?y???");
}

TEST(CodePage, InvalidAnsiBytesBecomeReplacementCharacters) {
  // 0x80 and 0xFF never start a GB18030 sequence; a lead byte at the end is truncated.
  EXPECT_EQ(AnsiToUtf16(std::string("\x80"
                                    "a\xFF",
                                    3)),
            (std::u16string{0xFFFD, u'a', 0xFFFD}));
  EXPECT_EQ(AnsiToUtf16(std::string("a\xD6", 2)), (std::u16string{u'a', 0xFFFD}));
}

TEST(CodePage, Utf8RoundTripsThroughAnsi) {
  const std::string utf8 = "第一章 \xF0\x9F\x98\x80 \xF0\xA0\x80\x80 end";  // emoji, Ext. B
  EXPECT_EQ(AnsiToUtf8(Utf8ToAnsi(utf8)), utf8);
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
    bool wellFormed = true;
    EXPECT_EQ(Utf8ToUtf16(c.in, &wellFormed), c.out) << c.name;
    EXPECT_EQ(wellFormed, c.name == std::string("four bytes")) << c.name;
  }
}

}  // namespace
}  // namespace lumbrella
