// The legacy decoders on the codes where code pages and libraries part: Big5's extensions,
// user-defined codes, HKSCS-2008's characters, bytes that are no character, a character
// cut between two pieces.
#include <gtest/gtest.h>

#include "platform/legacy_codepage.h"

namespace lumbrella {
namespace {

using enum TLegacyCodePage;

TEST(LegacyCodePage, DecodesTheCodesWhereCodePagesDiffer) {
  const std::string fffd = "\xEF\xBF\xBD";
  const struct {
    const char* what;
    TLegacyCodePage page;
    std::string bytes;
    std::string utf8;
    size_t errors, privateUse;
  } cases[] = {
      {"Big5 with the ETEN extensions and the euro", lcBig5, "\xA4\xA4\xF9\xD6\xF9\xD9\xA3\xE1",
       "中碁墻€", 0, 0},
      {"a user-defined code becomes a private-use character", lcBig5, "\x81\x40", "\xEE\xBA\xB8", 0,
       1},
      // U+31C0, U+9F97 (new in HKSCS-2008), U+00CA U+0304, U+27267 (beyond the BMP).
      {"HKSCS-2008 characters", lcBig5Hkscs, "\x88\x40\x87\xA4\x88\x62\x87\x45",
       "\xE3\x87\x80\xE9\xBE\x97\xC3\x8A\xCC\x84\xF0\xA7\x89\xA7", 0, 0},
      {"Shift_JIS as Windows writes it", lcShiftJis, "\x82\xA0\x81\x60\x87\x40\xB1", "あ～①ｱ", 0,
       0},
      {"a lead before a digit: one U+FFFD, the digit kept", lcBig5, "\xA4\x31", fffd + "1", 1, 0},
      {"no character at a pair of valid bytes", lcShiftJis, "\x85\x40\x41", fffd + "A", 1, 0},
      {"a character cut off by the end", lcBig5, "A\xA4", "A" + fffd, 0, 0},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TLegacyDecoder whole(c.page);
    std::string utf8;
    whole.AppendUtf8(c.bytes, true, utf8);
    EXPECT_EQ(utf8, c.utf8);
    EXPECT_EQ(whole.Counts().errors, c.errors);
    EXPECT_EQ(whole.Counts().privateUse, c.privateUse);
    // Byte by byte the same: a cut character waits for its other bytes.
    TLegacyDecoder bytewise(c.page);
    std::string pieces;
    for (size_t i = 0; i < c.bytes.size(); ++i)
      bytewise.AppendUtf8(c.bytes.substr(i, 1), i + 1 == c.bytes.size(), pieces);
    EXPECT_EQ(pieces, c.utf8);
    // Reset forgets a cut character.
    bytewise.AppendUtf8("\xA4", false, pieces);
    bytewise.Reset();
    pieces.clear();
    bytewise.AppendUtf8("B", true, pieces);
    EXPECT_EQ(pieces, "B");
  }
}

}  // namespace
}  // namespace lumbrella
