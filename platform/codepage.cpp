#include "platform/codepage.h"

#include <iconv.h>

#include <algorithm>
#include <cstdint>
#include <stdexcept>
#include <type_traits>

namespace lumbrella {

namespace {

constexpr char32_t kReplacement = 0xFFFD;
constexpr char32_t kMalformed = 0xFFFFFFFF;

bool IsHigh(char32_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLow(char32_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}

// --- GB18030 ------------------------------------------------------------------------------
//
// Two-byte codes: leads 81-FE, trails 40-7E and 80-FE; each of the 23,940 stands for one BMP
// character. Four-byte codes b1 b2 b3 b4 (81-FE 30-39 81-FE 30-39) count linearly: from
// 81 30 81 30 the 39,420 BMP characters above U+007F that have no two-byte code, in code
// point order (but for one exchange, below), and from 90 30 81 30 the characters U+10000 to
// U+10FFFF. So the two-byte table decides the whole code page.

constexpr unsigned kTrailSpan = 0xC0;  // trails 40-FF, 7F and FF unused
constexpr uint32_t kFourByteBmpCount = 39420;
constexpr uint32_t kSupplementaryStart = 189000;  // linear index of 90 30 81 30

// Where the C library's table is not GB18030-2005: it gives these codes the characters
// that later editions moved onto them (the vertical forms U+FE10-FE19, U+9FB4-9FBB, six
// characters of CJK Extension B), so the private-use characters that GB18030-2005 puts
// here had no code at all, and the four-byte codes of those 18 characters read wrongly.
constexpr struct {
  uint16_t code;
  char16_t character;
} kTwoByte2005[] = {
    {0xA6D9, 0xE78D}, {0xA6DA, 0xE78E}, {0xA6DB, 0xE78F}, {0xA6DC, 0xE790}, {0xA6DD, 0xE791},
    {0xA6DE, 0xE792}, {0xA6DF, 0xE793}, {0xA6EC, 0xE794}, {0xA6ED, 0xE795}, {0xA6F3, 0xE796},
    {0xFE51, 0xE816}, {0xFE52, 0xE817}, {0xFE53, 0xE818}, {0xFE59, 0xE81E}, {0xFE61, 0xE826},
    {0xFE66, 0xE82B}, {0xFE67, 0xE82C}, {0xFE6C, 0xE831}, {0xFE6D, 0xE832}, {0xFE76, 0xE83B},
    {0xFE7E, 0xE843}, {0xFE90, 0xE854}, {0xFE91, 0xE855}, {0xFEA0, 0xE864},
};

// GB18030-2005 gave U+1E3F the two-byte code A8 BC and its old four-byte code 81 35 F4 37
// to U+E7C7, which A8 BC had before; the four-byte order is otherwise that of 2000.
constexpr char32_t kMovedToTwoBytes = 0x1E3F;
constexpr char32_t kTakesItsPlace = 0xE7C7;

uint32_t FourByteCode(uint32_t index) {
  const uint32_t b4 = 0x30 + index % 10;
  index /= 10;
  const uint32_t b3 = 0x81 + index % 126;
  index /= 126;
  const uint32_t b2 = 0x30 + index % 10;
  const uint32_t b1 = 0x81 + index / 10;
  return b1 << 24 | b2 << 16 | b3 << 8 | b4;
}

[[noreturn]] void TableFault(const char* what) {
  throw std::runtime_error(std::string("GB18030 table: ") + what);
}

// The conversion tables, made once from the C library's two-byte table and the
// corrections above; the conversions themselves are lookups.
struct Gb18030Tables {
  char16_t twoByte[126 * kTrailSpan] = {};  // by (lead - 81) * C0 + (trail - 40)
  char16_t fourByte[kFourByteBmpCount] = {};
  // The code of each BMP character, its bytes packed big-endian: one byte below 0x100,
  // two below 0x10000, else four. A surrogate has none and becomes "?".
  uint32_t fromBmp[0x10000] = {};

  Gb18030Tables() {
    FillTwoByteFromCLibrary();
    for (const auto& fix : kTwoByte2005)
      twoByte[((fix.code >> 8) - 0x81u) * kTrailSpan + (fix.code & 0xFFu) - 0x40] = fix.character;

    for (char32_t c = 0; c < 0x80; ++c)
      fromBmp[c] = c;
    for (char32_t c = 0xD800; c <= 0xDFFF; ++c)
      fromBmp[c] = '?';
    for (uint32_t lead = 0x81; lead <= 0xFE; ++lead) {
      for (uint32_t trail = 0x40; trail <= 0xFE; ++trail) {
        if (trail == 0x7F) continue;
        const char16_t c = twoByte[(lead - 0x81) * kTrailSpan + trail - 0x40];
        if (c < 0x80 || (c >= 0xD800 && c <= 0xDFFF) || fromBmp[c] != 0) {
          TableFault("a two-byte code without a character of its own");
        }
        fromBmp[c] = lead << 8 | trail;
      }
    }
    uint32_t index = 0;
    for (char32_t c = 0x80; c < 0x10000; ++c) {
      char32_t placed = c;
      if (c == kMovedToTwoBytes) {
        placed = kTakesItsPlace;
      } else if (c == kTakesItsPlace || fromBmp[c] != 0) {
        continue;
      }
      if (index == kFourByteBmpCount) TableFault("too few two-byte codes");
      fourByte[index] = static_cast<char16_t>(placed);
      fromBmp[placed] = FourByteCode(index);
      ++index;
    }
    if (index != kFourByteBmpCount) TableFault("too many two-byte codes");
  }

  // One call for all 23,940 codes; code by code only if the library refuses one. A code
  // it refuses, or reads as a character outside the BMP, stays 0 and is caught above
  // unless a correction fills it.
  void FillTwoByteFromCLibrary() {
    iconv_t cd = iconv_open("UTF-32LE", "GB18030");
    if (cd == reinterpret_cast<iconv_t>(-1)) TableFault("iconv has no GB18030");
    std::string codes;
    for (uint32_t lead = 0x81; lead <= 0xFE; ++lead) {
      for (uint32_t trail = 0x40; trail <= 0xFE; ++trail) {
        if (trail == 0x7F) continue;
        codes += static_cast<char>(lead);
        codes += static_cast<char>(trail);
      }
    }
    std::u32string chars(codes.size() / 2, U'\0');
    auto convert = [cd](const char* in, size_t inLeft, char32_t* out, size_t count) {
      char* src = const_cast<char*>(in);
      char* dst = reinterpret_cast<char*>(out);
      size_t outLeft = count * sizeof(char32_t);
      iconv(cd, nullptr, nullptr, nullptr, nullptr);
      return iconv(cd, &src, &inLeft, &dst, &outLeft) != static_cast<size_t>(-1) && outLeft == 0;
    };
    if (!convert(codes.data(), codes.size(), chars.data(), chars.size())) {
      for (size_t i = 0; i < chars.size(); ++i) {
        if (!convert(codes.data() + 2 * i, 2, &chars[i], 1)) chars[i] = 0;
      }
    }
    iconv_close(cd);
    for (size_t i = 0; i < chars.size(); ++i) {
      const auto lead = static_cast<unsigned char>(codes[2 * i]);
      const auto trail = static_cast<unsigned char>(codes[2 * i + 1]);
      if (chars[i] < 0x10000) {
        twoByte[(lead - 0x81u) * kTrailSpan + trail - 0x40u] = static_cast<char16_t>(chars[i]);
      }
    }
  }
};

const Gb18030Tables& Tables() {
  static const Gb18030Tables tables;
  return tables;
}

bool IsLead(unsigned b) {
  return b - 0x81 < 0x7E;
}
bool IsDigit(unsigned b) {
  return b - 0x30 < 10;
}
bool IsTrail(unsigned b) {
  return b >= 0x40 && b != 0x7F && b != 0xFF;
}

// Reads one character at p (p < end), stepping by AnsiCharLength.
inline char32_t ReadAnsi(const unsigned char*& p, const unsigned char* end,
                         const Gb18030Tables& t) {
  const unsigned b0 = p[0];
  if (b0 < 0x80) {
    ++p;
    return b0;
  }
  if (IsLead(b0) && end - p >= 2) {
    const unsigned b1 = p[1];
    if (IsTrail(b1)) {
      p += 2;
      return t.twoByte[(b0 - 0x81) * kTrailSpan + b1 - 0x40];
    }
    if (IsDigit(b1) && end - p >= 4 && IsLead(p[2]) && IsDigit(p[3])) {
      const uint32_t index =
          (((b0 - 0x81) * 10 + b1 - 0x30) * 126 + p[2] - 0x81) * 10 + p[3] - 0x30;
      p += 4;
      if (index < kFourByteBmpCount) return t.fourByte[index];
      if (index - kSupplementaryStart < 0x100000) return 0x10000 + index - kSupplementaryStart;
      return kReplacement;
    }
  }
  ++p;
  return b0 == 0x80 ? 0x20AC : kReplacement;  // 0x80 is code page 936's euro sign
}

inline uint32_t AnsiCode(char32_t c, const Gb18030Tables& t) {
  return c < 0x10000 ? t.fromBmp[c] : FourByteCode(kSupplementaryStart + (c - 0x10000));
}

// --- UTF-8 --------------------------------------------------------------------------------

// Reads one UTF-8 sequence at p (p < end). A malformed one takes its lead and the
// continuation bytes accepted before the fault, and gives kMalformed.
inline char32_t ReadUtf8(const unsigned char*& p, const unsigned char* end) {
  const unsigned char b = *p;
  if (b < 0x80) {
    ++p;
    return b;
  }
  size_t len = 0;
  char32_t c = 0;
  unsigned char lo = 0x80, hi = 0xBF;  // allowed range of the first continuation byte
  if (b >= 0xC2 && b <= 0xDF) {
    len = 2;
    c = b & 0x1F;
  } else if (b >= 0xE0 && b <= 0xEF) {
    len = 3;
    c = b & 0x0F;
    if (b == 0xE0) lo = 0xA0;  // overlong
    if (b == 0xED) hi = 0x9F;  // surrogates
  } else if (b >= 0xF0 && b <= 0xF4) {
    len = 4;
    c = b & 0x07;
    if (b == 0xF0) lo = 0x90;  // overlong
    if (b == 0xF4) hi = 0x8F;  // above U+10FFFF
  }
  if (len == 0) {
    ++p;
    return kMalformed;
  }
  size_t k = 1;
  for (; k < len && p + k < end; ++k) {
    const unsigned char cb = p[k];
    if (k == 1 ? (cb < lo || cb > hi) : (cb & 0xC0) != 0x80) break;
    c = (c << 6) | (cb & 0x3F);
  }
  p += k;
  return k < len ? kMalformed : c;
}

// --- Output -------------------------------------------------------------------------------

// Gathers output in a fixed block and appends it to the target block by block, so the
// target is never zero-filled to its worst-case size (four bytes per character).
template <typename Char>
class Output {
 public:
  explicit Output(std::basic_string<Char>& target) : target_(target) {}
  ~Output() { target_.append(block_, used_); }
  Output(const Output&) = delete;
  Output& operator=(const Output&) = delete;

  void Unit(char32_t c) {
    Room();
    block_[used_++] = static_cast<Char>(c);
  }
  // Packed ANSI bytes as AnsiCode gives them.
  void Ansi(uint32_t code) {
    Room();
    if (code >= 0x10000) {
      block_[used_++] = static_cast<Char>(code >> 24);
      block_[used_++] = static_cast<Char>(code >> 16 & 0xFF);
    }
    if (code >= 0x100) block_[used_++] = static_cast<Char>(code >> 8 & 0xFF);
    block_[used_++] = static_cast<Char>(code & 0xFF);
  }
  void Utf8(char32_t c) {
    Room();
    if (c < 0x80) {
      block_[used_++] = static_cast<Char>(c);
    } else if (c < 0x800) {
      block_[used_++] = static_cast<Char>(0xC0 | c >> 6);
      block_[used_++] = static_cast<Char>(0x80 | (c & 0x3F));
    } else if (c < 0x10000) {
      block_[used_++] = static_cast<Char>(0xE0 | c >> 12);
      block_[used_++] = static_cast<Char>(0x80 | (c >> 6 & 0x3F));
      block_[used_++] = static_cast<Char>(0x80 | (c & 0x3F));
    } else {
      block_[used_++] = static_cast<Char>(0xF0 | c >> 18);
      block_[used_++] = static_cast<Char>(0x80 | (c >> 12 & 0x3F));
      block_[used_++] = static_cast<Char>(0x80 | (c >> 6 & 0x3F));
      block_[used_++] = static_cast<Char>(0x80 | (c & 0x3F));
    }
  }
  void Utf16(char32_t c) {
    Room();
    if (c < 0x10000) {
      block_[used_++] = static_cast<Char>(c);
    } else {
      block_[used_++] = static_cast<Char>(0xD800 + ((c - 0x10000) >> 10));
      block_[used_++] = static_cast<Char>(0xDC00 + ((c - 0x10000) & 0x3FF));
    }
  }

 private:
  static constexpr size_t kBlock = 8192;
  void Room() {
    if (used_ > kBlock - 4) {
      target_.append(block_, used_);
      used_ = 0;
    }
  }

  std::basic_string<Char>& target_;
  Char block_[kBlock];
  size_t used_ = 0;
};

const unsigned char* Begin(std::string_view s) {
  return reinterpret_cast<const unsigned char*>(s.data());
}

bool IsAscii(std::string_view s) {
  for (unsigned char c : s) {
    if (c >= 0x80) return false;
  }
  return true;
}

// Where a converter of a piece of text must stop when more text follows: the longest
// character (four bytes) must lie whole in front of it. With last, at the end.
const unsigned char* ConvertUpTo(const unsigned char* end, size_t size, bool last) {
  return last ? end : end - std::min<size_t>(size, 3);
}

// ANSI to UTF-16 (char16_t) or UTF-8 (char), appended to target; returns the bytes taken.
template <typename Char>
size_t AppendFromAnsi(std::string_view ansi, bool last, std::basic_string<Char>& target) {
  const Gb18030Tables& t = Tables();
  Output<Char> out(target);
  const unsigned char* p = Begin(ansi);
  const unsigned char* end = p + ansi.size();
  const unsigned char* stop = ConvertUpTo(end, ansi.size(), last);
  while (p < stop) {
    if (*p < 0x80) {
      out.Unit(*p++);
    } else if constexpr (std::is_same_v<Char, char16_t>) {
      out.Utf16(ReadAnsi(p, end, t));
    } else {
      out.Utf8(ReadAnsi(p, end, t));
    }
  }
  return static_cast<size_t>(p - Begin(ansi));
}

// Strict UTF-8 to UTF-16 (char16_t), ANSI (char, toAnsi) or UTF-8 again (char), appended
// to target; returns the bytes taken. wellFormed is cleared at a malformed sequence.
template <typename Char>
size_t AppendFromUtf8(std::string_view utf8, bool last, bool toAnsi,
                      std::basic_string<Char>& target, bool& wellFormed) {
  const Gb18030Tables* t = toAnsi ? &Tables() : nullptr;
  Output<Char> out(target);
  const unsigned char* p = Begin(utf8);
  const unsigned char* end = p + utf8.size();
  const unsigned char* stop = ConvertUpTo(end, utf8.size(), last);
  while (p < stop) {
    if (*p < 0x80) {
      out.Unit(*p++);
      continue;
    }
    char32_t c = ReadUtf8(p, end);
    if (c == kMalformed) {
      wellFormed = false;
      c = kReplacement;
    }
    if constexpr (std::is_same_v<Char, char16_t>) {
      out.Utf16(c);
    } else if (toAnsi) {
      out.Ansi(AnsiCode(c, *t));
    } else {
      out.Utf8(c);
    }
  }
  return static_cast<size_t>(p - Begin(utf8));
}

template <typename Char>
std::basic_string<Char> FromAnsi(std::string_view ansi, size_t expected) {
  std::basic_string<Char> result;
  result.reserve(expected);
  AppendFromAnsi(ansi, true, result);
  return result;
}

template <typename Char>
std::basic_string<Char> FromUtf8(std::string_view utf8, bool* wellFormed) {
  std::basic_string<Char> result;
  result.reserve(utf8.size());
  bool ok = true;
  AppendFromUtf8(utf8, true, std::is_same_v<Char, char>, result, ok);
  if (wellFormed) *wellFormed = ok;
  return result;
}

// One UTF-16 unit from two bytes.
char16_t Unit16(const unsigned char* p, bool bigEndian) {
  return static_cast<char16_t>(bigEndian ? p[0] << 8 | p[1] : p[1] << 8 | p[0]);
}

// The character of a UTF-16 unit and the one after it (when there is one); a pair counts
// two units, an unpaired surrogate becomes "?".
char32_t Utf16Char(char16_t u, const char16_t* next, size_t& units) {
  units = 1;
  if (IsHigh(u) && next != nullptr && IsLow(*next)) {
    units = 2;
    return 0x10000 + ((u - 0xD800u) << 10) + (*next - 0xDC00u);
  }
  return IsHigh(u) || IsLow(u) ? '?' : u;
}

}  // namespace

size_t AnsiCharLength(std::string_view text, size_t at) {
  const unsigned char* p = Begin(text) + at;
  const size_t n = text.size() - at;
  if (n < 2 || !IsLead(p[0])) return 1;
  if (IsTrail(p[1])) return 2;
  return IsDigit(p[1]) && n >= 4 && IsLead(p[2]) && IsDigit(p[3]) ? 4 : 1;
}

char32_t AnsiCharAt(std::string_view text, size_t at, size_t& length) {
  const unsigned char* start = Begin(text) + at;
  const unsigned char* p = start;
  const char32_t c = ReadAnsi(p, Begin(text) + text.size(), Tables());
  length = static_cast<size_t>(p - start);
  return c;
}

std::u16string AnsiToUtf16(std::string_view ansi) {
  return FromAnsi<char16_t>(ansi, ansi.size());
}

std::string AnsiToUtf8(std::string_view ansi) {
  if (IsAscii(ansi)) return std::string(ansi);
  return FromAnsi<char>(ansi, ansi.size() + ansi.size() / 2);
}

std::string Utf16ToAnsi(std::u16string_view units) {
  const Gb18030Tables& t = Tables();
  std::string result;
  result.reserve(units.size() * 2);
  {
    Output<char> out(result);
    for (size_t i = 0; i < units.size();) {
      if (units[i] < 0x80) {
        out.Unit(units[i++]);
        continue;
      }
      size_t used = 0;
      const char16_t* next = i + 1 < units.size() ? &units[i + 1] : nullptr;
      out.Ansi(AnsiCode(Utf16Char(units[i], next, used), t));
      i += used;
    }
  }  // the last block goes into result here
  return result;
}

std::string Utf16ToUtf8(std::u16string_view units) {
  std::string result;
  result.reserve(units.size() * 3);
  {
    Output<char> out(result);
    for (size_t i = 0; i < units.size();) {
      size_t used = 0;
      out.Utf8(Utf16Char(units[i], i + 1 < units.size() ? &units[i + 1] : nullptr, used));
      i += used;
    }
  }  // the last block goes into result here
  return result;
}

std::u16string Utf8ToUtf16(std::string_view utf8, bool* wellFormed) {
  return FromUtf8<char16_t>(utf8, wellFormed);
}

std::string Utf8TextToAnsi(std::string_view utf8, bool* wellFormed) {
  return FromUtf8<char>(utf8, wellFormed);
}

size_t AppendAnsiAsUtf8(std::string_view ansi, bool last, std::string& out) {
  return AppendFromAnsi(ansi, last, out);
}

size_t AppendUtf8Repaired(std::string_view utf8, bool last, std::string& out) {
  bool wellFormed = true;
  return AppendFromUtf8(utf8, last, false, out, wellFormed);
}

size_t AppendUtf16AsUtf8(std::string_view bytes, bool bigEndian, bool last, std::string& out) {
  Output<char> o(out);
  const unsigned char* p = Begin(bytes);
  const size_t n = bytes.size();
  // Two units for a pair; with more text to come, a unit is taken only with the one after
  // it. An odd byte at the very end is no unit and is dropped.
  size_t i = 0;
  for (; last ? i + 2 <= n : i + 4 <= n;) {
    const char16_t next = i + 4 <= n ? Unit16(p + i + 2, bigEndian) : 0;
    size_t used = 0;
    o.Utf8(Utf16Char(Unit16(p + i, bigEndian), i + 4 <= n ? &next : nullptr, used));
    i += 2 * used;
  }
  return last ? n : i;
}

char32_t Utf8CharAt(std::string_view utf8, size_t at, size_t& length) {
  const unsigned char* start = Begin(utf8) + at;
  const unsigned char* p = start;
  const char32_t c = ReadUtf8(p, Begin(utf8) + utf8.size());
  length = static_cast<size_t>(p - start);
  return c == kMalformed ? kReplacement : c;
}

size_t WellFormedUtf8Length(std::string_view utf8) {
  const unsigned char* p = Begin(utf8);
  const unsigned char* end = p + utf8.size();
  while (p < end) {
    if (*p < 0x80) {
      ++p;
      continue;
    }
    const unsigned char* q = p;
    if (ReadUtf8(q, end) == kMalformed) break;
    p = q;
  }
  return static_cast<size_t>(p - Begin(utf8));
}

std::string Utf8ToAnsi(std::string_view utf8) {
  if (IsAscii(utf8)) return std::string(utf8);
  bool wellFormed = false;
  std::string ansi = Utf8TextToAnsi(utf8, &wellFormed);
  if (wellFormed) return ansi;
  ansi.clear();
  for (size_t start = 0;;) {
    const size_t slash = utf8.find('/', start);
    const std::string_view part = utf8.substr(start, slash - start);
    std::string converted = Utf8TextToAnsi(part, &wellFormed);
    if (wellFormed) {
      ansi += converted;
    } else {
      ansi += part;
    }
    if (slash == std::string_view::npos) break;
    ansi += '/';
    start = slash + 1;
  }
  return ansi;
}

}  // namespace lumbrella
