// Decoders for the legacy code pages of Traditional Chinese and Japanese text, through ICU's
// converters: Big5 as Windows' code page 950 (Big5 with its extensions: the ETEN characters
// F9D6-F9FE, the euro sign A3E1; user-defined codes become private-use characters, as
// Windows reads them), Big5-HKSCS as HKSCS-2008, Shift_JIS as Windows' code page 932. The
// ANSI code page (GB18030) has its own converters in codepage.h.
#pragma once

#include <cstddef>
#include <memory>
#include <string>
#include <string_view>

struct UConverter;

namespace lumbrella {

enum class TLegacyCodePage { lcBig5, lcBig5Hkscs, lcShiftJis };

// What a decoder has met since it was made or reset.
struct TDecodeCounts {
  size_t characters = 0;     // characters outside ASCII
  size_t privateUse = 0;     // of them in the private use area: user-defined codes
  size_t kana = 0;           // full-width hiragana and katakana
  size_t halfwidthKana = 0;  // half-width katakana
  size_t errors = 0;         // byte sequences that are no character of the code page
  size_t cutAtEnd = 0;       // a character cut off by the end of the text
  // Of the errors, those among the first four characters outside ASCII: where a text cut
  // out of a longer one begins with the second byte of a character, the bytes after it pair
  // up wrongly until a byte that is a character of its own.
  size_t errorsAtStart = 0;
};

class TLegacyDecoder {
 public:
  // Raises Exception when ICU lacks the converter.
  explicit TLegacyDecoder(TLegacyCodePage page);
  ~TLegacyDecoder();
  TLegacyDecoder(const TLegacyDecoder&) = delete;
  TLegacyDecoder& operator=(const TLegacyDecoder&) = delete;

  // Appends the UTF-8 of the bytes to out. A character cut at the end waits in the decoder
  // for the bytes that follow; with last there are none, and it becomes U+FFFD. Each byte
  // sequence that is no character becomes one U+FFFD.
  void AppendUtf8(std::string_view bytes, bool last, std::string& out);
  // The same decoding, only counted.
  void Count(std::string_view bytes, bool last);
  const TDecodeCounts& Counts() const { return counts_; }
  // Forgets a cut character and the counts: the next bytes start a text.
  void Reset();

 private:
  void Decode(std::string_view bytes, bool last, std::string* out);
  void Emit(const char16_t* units, size_t count, std::string* out);

  TLegacyCodePage page_;
  UConverter* converter_ = nullptr;
  TDecodeCounts counts_;  // the converter's error handler counts here too
  std::unique_ptr<char16_t[]> units_;
  char16_t high_ = 0;  // the first half of a pair whose second is still to come
};

}  // namespace lumbrella
