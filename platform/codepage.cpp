#include "platform/codepage.h"

#include <iconv.h>
#include <bit>
#include <cerrno>
#include <cstring>
#include <stdexcept>

namespace lumbrella {

static_assert(std::endian::native == std::endian::little,
              "UTF-16LE buffers are used as char16_t arrays directly");

namespace {

constexpr char16_t kReplacement = 0xFFFD;

// One iconv descriptor per direction and thread, opened on first use.
class Converter {
 public:
  Converter(const char* to, const char* from) : cd_(iconv_open(to, from)) {
    if (cd_ == reinterpret_cast<iconv_t>(-1)) {
      throw std::runtime_error(std::string("iconv cannot convert from ") + from + " to " + to);
    }
  }
  ~Converter() { iconv_close(cd_); }
  Converter(const Converter&) = delete;
  Converter& operator=(const Converter&) = delete;

  // Converts as much as possible; returns false on an invalid or incomplete sequence,
  // leaving in/inLeft at the offending input.
  bool Run(const char*& in, size_t& inLeft, char*& out, size_t& outLeft) {
    iconv(cd_, nullptr, nullptr, nullptr, nullptr);
    char* src = const_cast<char*>(in);
    size_t r = iconv(cd_, &src, &inLeft, &out, &outLeft);
    in = src;
    if (r != static_cast<size_t>(-1)) return true;
    if (errno == E2BIG) throw std::logic_error("iconv output buffer too small");
    return false;
  }

 private:
  iconv_t cd_;
};

Converter& GbToUtf16() {
  thread_local Converter c("UTF-16LE", "GB18030");
  return c;
}

Converter& Utf16ToGb() {
  thread_local Converter c("GB18030", "UTF-16LE");
  return c;
}

bool IsHigh(char16_t u) {
  return u >= 0xD800 && u <= 0xDBFF;
}
bool IsLow(char16_t u) {
  return u >= 0xDC00 && u <= 0xDFFF;
}

// Appends the GB18030 form of a run of well-formed UTF-16 (no unpaired surrogates).
void AppendAnsi(std::string& result, const char16_t* units, size_t count) {
  if (count == 0) return;
  // GB18030 needs at most four bytes for one unit (four for a surrogate pair).
  size_t start = result.size();
  result.resize(start + count * 4);
  const char* in = reinterpret_cast<const char*>(units);
  size_t inLeft = count * 2;
  char* out = result.data() + start;
  size_t outLeft = count * 4;
  while (!Utf16ToGb().Run(in, inLeft, out, outLeft)) {
    // Defensive: a character the converter refuses becomes one "?" per unit.
    *out++ = '?';
    --outLeft;
    in += 2;
    inLeft -= 2;
  }
  result.resize(result.size() - outLeft);
}

void AppendUtf8(std::string& out, char32_t c) {
  if (c < 0x80) {
    out += static_cast<char>(c);
  } else if (c < 0x800) {
    out += static_cast<char>(0xC0 | (c >> 6));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    out += static_cast<char>(0xE0 | (c >> 12));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  } else {
    out += static_cast<char>(0xF0 | (c >> 18));
    out += static_cast<char>(0x80 | ((c >> 12) & 0x3F));
    out += static_cast<char>(0x80 | ((c >> 6) & 0x3F));
    out += static_cast<char>(0x80 | (c & 0x3F));
  }
}

}  // namespace

std::u16string AnsiToUtf16(std::string_view ansi) {
  std::u16string result;
  if (ansi.empty()) return result;
  // Every GB18030 sequence of n bytes gives at most n units.
  result.resize(ansi.size());
  const char* in = ansi.data();
  size_t inLeft = ansi.size();
  char* out = reinterpret_cast<char*>(result.data());
  size_t outLeft = ansi.size() * 2;
  while (!GbToUtf16().Run(in, inLeft, out, outLeft)) {
    // Invalid or truncated sequence: replace its first byte and go on after it.
    char16_t r = kReplacement;
    std::memcpy(out, &r, 2);
    out += 2;
    outLeft -= 2;
    ++in;
    --inLeft;
  }
  result.resize(result.size() - outLeft / 2);
  return result;
}

std::string Utf16ToAnsi(std::u16string_view units) {
  std::string result;
  result.reserve(units.size() * 2);
  size_t runStart = 0;
  size_t i = 0;
  while (i < units.size()) {
    char16_t u = units[i];
    if (IsHigh(u) && i + 1 < units.size() && IsLow(units[i + 1])) {
      i += 2;
    } else if (IsHigh(u) || IsLow(u)) {
      AppendAnsi(result, units.data() + runStart, i - runStart);
      result += '?';
      runStart = ++i;
    } else {
      ++i;
    }
  }
  AppendAnsi(result, units.data() + runStart, units.size() - runStart);
  return result;
}

std::string Utf16ToUtf8(std::u16string_view units) {
  std::string out;
  out.reserve(units.size() * 3);
  for (size_t i = 0; i < units.size(); ++i) {
    char16_t u = units[i];
    if (IsHigh(u) && i + 1 < units.size() && IsLow(units[i + 1])) {
      char32_t c = 0x10000 + ((static_cast<char32_t>(u) - 0xD800) << 10) + (units[i + 1] - 0xDC00);
      AppendUtf8(out, c);
      ++i;
    } else if (IsHigh(u) || IsLow(u)) {
      out += '?';
    } else {
      AppendUtf8(out, u);
    }
  }
  return out;
}

std::u16string Utf8ToUtf16(std::string_view utf8, bool* wellFormed) {
  if (wellFormed) *wellFormed = true;
  std::u16string out;
  out.reserve(utf8.size());
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  size_t n = utf8.size();
  size_t i = 0;
  while (i < n) {
    unsigned char b = p[i];
    if (b < 0x80) {
      out += static_cast<char16_t>(b);
      ++i;
      continue;
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
    size_t k = 1;
    if (len != 0) {
      for (; k < len && i + k < n; ++k) {
        unsigned char cb = p[i + k];
        if (k == 1 ? (cb < lo || cb > hi) : (cb & 0xC0) != 0x80) break;
        c = (c << 6) | (cb & 0x3F);
      }
    }
    if (len == 0 || k < len) {
      // Malformed: one replacement for the lead and the continuation bytes it took.
      out += kReplacement;
      if (wellFormed) *wellFormed = false;
      i += (len == 0) ? 1 : k;
      continue;
    }
    if (c >= 0x10000) {
      c -= 0x10000;
      out += static_cast<char16_t>(0xD800 + (c >> 10));
      out += static_cast<char16_t>(0xDC00 + (c & 0x3FF));
    } else {
      out += static_cast<char16_t>(c);
    }
    i += len;
  }
  return out;
}

std::string AnsiToUtf8(std::string_view ansi) {
  for (unsigned char c : ansi) {
    if (c >= 0x80) return Utf16ToUtf8(AnsiToUtf16(ansi));
  }
  return std::string(ansi);
}

std::string Utf8ToAnsi(std::string_view utf8) {
  for (unsigned char c : utf8) {
    if (c >= 0x80) return Utf16ToAnsi(Utf8ToUtf16(utf8));
  }
  return std::string(utf8);
}

}  // namespace lumbrella
