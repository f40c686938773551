#include "platform/legacy_codepage.h"

#include <unicode/ucnv.h>
#include <unicode/ucnv_cb.h>
#include <unicode/ucnv_err.h>

#include <algorithm>
#include <cstdint>
#include <iterator>

#include "platform/errors.h"

namespace lumbrella {

namespace {

constexpr size_t kUnits = 4096;

const char* ConverterName(TLegacyCodePage page) {
  switch (page) {
    case TLegacyCodePage::lcBig5:
      return "windows-950-2000";
    case TLegacyCodePage::lcBig5Hkscs:
      return "ibm-1375_P100-2008";
    case TLegacyCodePage::lcShiftJis:
      return "ibm-943_P15A-2003";
  }
  return "";
}

// ICU's HKSCS table dates from before Unicode had these characters: it gives the codes
// private-use characters. HKSCS-2008 maps them to these (four to a letter with a combining
// mark).
constexpr struct {
  char16_t privateUse;
  char16_t first;
  char16_t second;  // 0: none
} kHkscs2008[] = {
    {0xF303, 0x31C0, 0},      {0xF304, 0x31C1, 0},      {0xF305, 0x31C2, 0},
    {0xF306, 0x31C3, 0},      {0xF307, 0x31C4, 0},      {0xF309, 0x31C5, 0},
    {0xF30C, 0x31C6, 0},      {0xF30D, 0x31C7, 0},      {0xF310, 0x31C8, 0},
    {0xF312, 0x31C9, 0},      {0xF313, 0x31CA, 0},      {0xF314, 0x31CB, 0},
    {0xF315, 0x31CC, 0},      {0xF317, 0x31CD, 0},      {0xF318, 0x31CE, 0},
    {0xF325, 0x00CA, 0x0304}, {0xF327, 0x00CA, 0x030C}, {0xF344, 0x00EA, 0x0304},
    {0xF346, 0x00EA, 0x030C}, {0xF34A, 0x23DA, 0},      {0xF34B, 0x23DB, 0},
    {0xF57A, 0x9FA6, 0},      {0xF5A4, 0x9FA7, 0},      {0xF5AB, 0x9FA8, 0},
    {0xF5CC, 0x9FA9, 0},      {0xF5CE, 0x9FAA, 0},      {0xF5D0, 0x9FAB, 0},
    {0xF5D5, 0x9FAC, 0},      {0xF5EC, 0x9FAD, 0},      {0xF5ED, 0x9FAE, 0},
    {0xF5EF, 0x9FAF, 0},      {0xF602, 0x9FB2, 0},      {0xF61C, 0x9FB3, 0},
    {0xF7E5, 0x31CF, 0},      {0xF7EB, 0x9FB0, 0},      {0xF7ED, 0x9FB1, 0},
};
// And two codes of HKSCS-2008 the table does not have at all.
constexpr struct {
  unsigned char lead, trail;
  char16_t character;
} kHkscs2008Added[] = {{0x87, 0xA4, 0x9F97}, {0x87, 0xAC, 0x9F96}};

// A byte sequence the converter cannot read: one U+FFFD, counted. A character cut off by
// the end of the text arrives here too, when the converter is told that no bytes follow.
void OnInvalid(const void* context, UConverterToUnicodeArgs* args, const char*, int32_t,
               UConverterCallbackReason reason, UErrorCode* error) {
  if (reason != UCNV_UNASSIGNED && reason != UCNV_ILLEGAL && reason != UCNV_IRREGULAR) return;
  auto* counts = static_cast<TDecodeCounts*>(const_cast<void*>(context));
  ++(*error == U_TRUNCATED_CHAR_FOUND ? counts->cutAtEnd : counts->errors);
  *error = U_ZERO_ERROR;
  const UChar replacement = 0xFFFD;
  ucnv_cbToUWriteUChars(args, &replacement, 1, 0, error);
}

// The same, for the codes HKSCS-2008 added that ICU's table lacks.
void OnInvalidHkscs(const void* context, UConverterToUnicodeArgs* args, const char* codeUnits,
                    int32_t length, UConverterCallbackReason reason, UErrorCode* error) {
  if (length == 2 && reason == UCNV_UNASSIGNED) {
    for (const auto& added : kHkscs2008Added) {
      if (static_cast<unsigned char>(codeUnits[0]) == added.lead &&
          static_cast<unsigned char>(codeUnits[1]) == added.trail) {
        *error = U_ZERO_ERROR;
        const UChar character = added.character;
        ucnv_cbToUWriteUChars(args, &character, 1, 0, error);
        return;
      }
    }
  }
  OnInvalid(context, args, codeUnits, length, reason, error);
}

// Writes the UTF-8 of c at out; returns the byte after it.
char* PutUtf8(char32_t c, char* out) {
  if (c < 0x80) {
    *out++ = static_cast<char>(c);
  } else if (c < 0x800) {
    *out++ = static_cast<char>(0xC0 | c >> 6);
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else if (c < 0x10000) {
    *out++ = static_cast<char>(0xE0 | c >> 12);
    *out++ = static_cast<char>(0x80 | (c >> 6 & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  } else {
    *out++ = static_cast<char>(0xF0 | c >> 18);
    *out++ = static_cast<char>(0x80 | (c >> 12 & 0x3F));
    *out++ = static_cast<char>(0x80 | (c >> 6 & 0x3F));
    *out++ = static_cast<char>(0x80 | (c & 0x3F));
  }
  return out;
}

}  // namespace

TLegacyDecoder::TLegacyDecoder(TLegacyCodePage page) : page_(page), units_(new char16_t[kUnits]) {
  UErrorCode error = U_ZERO_ERROR;
  converter_ = ucnv_open(ConverterName(page), &error);
  if (U_FAILURE(error)) {
    throw Exception(std::string("ICU has no converter ") + ConverterName(page) + ": " +
                    u_errorName(error));
  }
  ucnv_setToUCallBack(converter_, page == TLegacyCodePage::lcBig5Hkscs ? OnInvalidHkscs : OnInvalid,
                      &counts_, nullptr, nullptr, &error);
}

TLegacyDecoder::~TLegacyDecoder() {
  ucnv_close(converter_);
}

void TLegacyDecoder::AppendUtf8(std::string_view bytes, bool last, std::string& out) {
  Decode(bytes, last, &out);
}

void TLegacyDecoder::Count(std::string_view bytes, bool last) {
  Decode(bytes, last, nullptr);
}

void TLegacyDecoder::Reset() {
  ucnv_resetToUnicode(converter_);
  counts_ = {};
  high_ = 0;
}

void TLegacyDecoder::Decode(std::string_view bytes, bool last, std::string* out) {
  const char* source = bytes.data();
  const char* const end = source + bytes.size();
  UChar* const units = reinterpret_cast<UChar*>(units_.get());
  for (;;) {
    UChar* target = units;
    UErrorCode error = U_ZERO_ERROR;
    ucnv_toUnicode(converter_, &target, units + kUnits, &source, end, nullptr, last, &error);
    Emit(units_.get(), static_cast<size_t>(target - units), out);
    if (error == U_BUFFER_OVERFLOW_ERROR) continue;
    if (U_FAILURE(error)) throw Exception(std::string("Cannot decode: ") + u_errorName(error));
    break;
  }
  if (last) {
    if (high_ != 0 && out != nullptr) *out += "\xEF\xBF\xBD";
    high_ = 0;
    ucnv_resetToUnicode(converter_);
  }
}

void TLegacyDecoder::Emit(const char16_t* units, size_t count, std::string* out) {
  // A unit gives three bytes at most, a pair four, a character of HKSCS-2008 two of two.
  const size_t start = out != nullptr ? out->size() : 0;
  if (out != nullptr) out->resize(start + 4 * count + 4);
  char* to = out != nullptr ? out->data() + start : nullptr;
  for (size_t i = 0; i < count; ++i) {
    char32_t c = units[i];
    if (c < 0x80) {
      if (to != nullptr) *to++ = static_cast<char>(c);
      continue;
    }
    // A pair may be cut between two calls of the converter.
    if (c >= 0xD800 && c <= 0xDBFF) {
      high_ = units[i];
      continue;
    }
    if (c >= 0xDC00 && c <= 0xDFFF && high_ != 0)
      c = 0x10000 + ((high_ - 0xD800u) << 10) + (c - 0xDC00u);
    high_ = 0;
    char32_t second = 0;
    if (c >= 0xE000 && c <= 0xF8FF && page_ == TLegacyCodePage::lcBig5Hkscs) {
      const auto* fix = std::find_if(std::begin(kHkscs2008), std::end(kHkscs2008),
                                     [c](const auto& f) { return f.privateUse == c; });
      if (fix != std::end(kHkscs2008)) {
        c = fix->first;
        second = fix->second;
      }
    }
    if (c == 0xFFFD && counts_.characters < 4) ++counts_.errorsAtStart;
    ++counts_.characters;
    if (c >= 0xE000 && c <= 0xF8FF) ++counts_.privateUse;
    if (c >= 0x3041 && c <= 0x30FE) ++counts_.kana;
    if (c >= 0xFF61 && c <= 0xFF9F) ++counts_.halfwidthKana;
    if (to != nullptr) {
      to = PutUtf8(c, to);
      if (second != 0) to = PutUtf8(second, to);
    }
  }
  if (out != nullptr) out->resize(static_cast<size_t>(to - out->data()));
}

}  // namespace lumbrella
