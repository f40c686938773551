#include "book/numerals.h"

#include <algorithm>
#include <limits>

namespace lumbrella {

namespace {

constexpr uint64_t kMax = std::numeric_limits<uint64_t>::max();

uint64_t Add(uint64_t a, uint64_t b) {
  return a > kMax - b ? kMax : a + b;
}

uint64_t Multiply(uint64_t a, uint64_t b) {
  return b != 0 && a > kMax / b ? kMax : a * b;
}

// 0-9 for a digit, else -1.
int DigitValue(char32_t c) {
  constexpr std::u32string_view kDigits = U"〇一二三四五六七八九";
  if (c == U'零') return 0;
  if (c == U'两' || c == U'兩') return 2;
  const size_t at = kDigits.find(c);
  return at == std::u32string_view::npos ? -1 : static_cast<int>(at);
}

// 10, 100 or 1000 for a unit inside a group of four places, else 0.
uint64_t SmallUnit(char32_t c) {
  return c == U'十' ? 10 : c == U'百' ? 100 : c == U'千' ? 1000 : 0;
}

}  // namespace

bool IsChineseNumeral(char32_t c) {
  return DigitValue(c) >= 0 || SmallUnit(c) != 0 || c == U'万' || c == U'萬' || c == U'亿' ||
         c == U'億';
}

uint64_t ChineseNumeralValue(std::u32string_view run) {
  bool units = false;
  for (char32_t c : run)
    units = units || (DigitValue(c) < 0 && IsChineseNumeral(c));
  if (!units) {
    uint64_t value = 0;
    for (char32_t c : run)
      value = Add(Multiply(value, 10), static_cast<uint64_t>(std::max(DigitValue(c), 0)));
    return value;
  }
  // 一亿二千三百万零五: whole hundred millions, whole ten thousands, the group below, the digit.
  uint64_t yi = 0, wan = 0, group = 0, digit = 0;
  bool haveDigit = false;
  for (char32_t c : run) {
    if (const int d = DigitValue(c); d >= 0) {
      digit = static_cast<uint64_t>(d);
      haveDigit = d != 0;
    } else if (const uint64_t unit = SmallUnit(c); unit != 0) {
      group = Add(group, Multiply(haveDigit ? digit : 1, unit));  // 十二: a bare unit is one
      digit = 0;
      haveDigit = false;
    } else if (c == U'万' || c == U'萬') {
      wan = Add(wan, Multiply(std::max<uint64_t>(Add(group, digit), 1), 10000));
      group = digit = 0;
      haveDigit = false;
    } else if (c == U'亿' || c == U'億') {
      yi = Add(yi, Multiply(std::max<uint64_t>(Add(Add(wan, group), digit), 1), 100000000));
      wan = group = digit = 0;
      haveDigit = false;
    }
  }
  return Add(Add(Add(yi, wan), group), digit);
}

}  // namespace lumbrella
