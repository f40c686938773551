// The encodings a source file may be read in, their names, and the detection that decides
// the encoding of a file that has no byte order mark.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

namespace lumbrella {

class TStream;

// seAuto: the mark decides, or for a file without one its bytes (DetectEncoding).
enum class TSourceEncoding {
  seAuto,
  seUtf8,
  seGb18030,  // the ANSI code page: GBK and GB2312 text too
  seBig5,     // Windows' code page 950, Big5 with its extensions
  seBig5Hkscs,
  seUtf16LE,
  seUtf16BE,
  seShiftJis,
};

// The encoding's usual name: "UTF-8", "GB18030", "Big5", "Big5-HKSCS", "UTF-16LE",
// "UTF-16BE", "Shift_JIS"; "auto" for seAuto.
const char* EncodingName(TSourceEncoding encoding);
// The encoding a user names: one of the names above or GBK (its characters are GB18030's),
// or a common other name of one (GB2312, CP936, CP950, BIG5HKSCS, SJIS, CP932,
// Windows-31J, UTF8), letter case and "-" or "_" aside. Nothing for any other name.
std::optional<TSourceEncoding> EncodingNamed(std::string_view name);

// What a source file is read in, and what decided it.
struct TEncodingChoice {
  enum class TBy { byContent, byMark, byUser };
  TSourceEncoding encoding = TSourceEncoding::seUtf8;
  TBy by = TBy::byContent;
  // By content only: the bytes fit another encoding too, the runner-up, nearly as well.
  bool unsure = false;
  TSourceEncoding runnerUp = TSourceEncoding::seGb18030;
  // UTF-8 with a few malformed sequences (a character cut off at the end, stray bytes),
  // each read as U+FFFD.
  bool damaged = false;
};

// Decides the encoding of size bytes of file from offset (a file's body without a mark).
// Files up to 1 MiB are read whole, larger ones in 16 runs of 64 KiB spread evenly over
// them; memory does not grow with the file. In this order:
// - UTF-8 when the bytes are well-formed UTF-8 with no zero byte;
// - UTF-16 in the byte order that makes line ends and spaces of more units than the other,
//   when 95 % of its units are text (CJK characters and punctuation, ASCII, other common
//   letters and signs); without them, when 98 % of at least 16 units are text, half of them
//   CJK, a tenth of those have a low byte below 0x40 (no legacy code page's second byte
//   has), and a quarter of the bytes are 0x80 or above;
// - UTF-8 when it has a zero byte but no malformed sequence, or eight well-formed
//   characters outside ASCII or more, four for each malformed sequence (a damaged file);
// - else a legacy code page. GB18030 when it alone decodes the bytes without error (errors
//   among the first characters of a longer text aside: a file cut by size starts with half
//   a character) and reads them as likely text (under a tenth of the characters
//   user-defined). Otherwise ICU's charset detector ranks GB18030, Big5 and Shift_JIS on
//   1 KiB of slices taken from all over the sample: Big5 (or Big5-HKSCS, where that reads
//   codes Big5 leaves user-defined) wins when ICU ranks it first, it decodes without error,
//   and GB18030 reads the bytes as unlikely text; Shift_JIS when ICU ranks it first, it
//   decodes without error, and a tenth of the text is kana, little of it half-width.
//   GB18030 otherwise, and whenever ICU saw too little to rank (ten characters or fewer),
//   unless GB18030 finds errors or a quarter of user-defined characters and Big5 none.
//   Unsure when ICU ranked the winner low or another code page decodes the bytes as well.
// Raises EReadError when the file holds fewer bytes.
TEncodingChoice DetectEncoding(TStream& file, int64_t offset, int64_t size);

}  // namespace lumbrella
