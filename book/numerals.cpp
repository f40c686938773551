#include "book/numerals.h"

#include <algorithm>

namespace lumbrella {

namespace {

// The value of each of kChineseNumerals, in its order.
constexpr uint64_t kValues[] = {
    0, 0, 1, 1, 2, 2, 2, 2,  2,  3,  3,  3,   3,   4,    4,    5,     5,     6,         6,
    6, 7, 7, 8, 8, 9, 9, 10, 10, 20, 30, 100, 100, 1000, 1000, 10000, 10000, 100000000, 100000000,
};
static_assert(std::size(kValues) == kChineseNumerals.size());

std::optional<uint64_t> NumeralValue(char32_t c) {
  const size_t at = kChineseNumerals.find(c);
  if (at == std::u32string_view::npos) return std::nullopt;
  return kValues[at];
}

bool Add(uint64_t& to, uint64_t a, uint64_t times = 1) {
  uint64_t product = 0;
  return !__builtin_mul_overflow(a, times, &product) && !__builtin_add_overflow(to, product, &to);
}

}  // namespace

std::optional<int> DigitValue(char32_t c) {
  if (c >= '0' && c <= '9') return static_cast<int>(c - '0');
  if (c >= U'０' && c <= U'９') return static_cast<int>(c - U'０');
  return std::nullopt;
}

bool IsChineseNumeral(char32_t c) {
  return NumeralValue(c).has_value();
}

std::optional<uint64_t> ReadNumber(std::u32string_view number) {
  if (number.empty()) return std::nullopt;
  const bool digits = std::all_of(number.begin(), number.end(),
                                  [](char32_t c) { return DigitValue(c).has_value(); });
  const bool multipliers = std::any_of(
      number.begin(), number.end(), [](char32_t c) { return NumeralValue(c).value_or(0) >= 10; });
  uint64_t value = 0;
  if (digits || !multipliers) {
    for (char32_t c : number) {
      const std::optional<uint64_t> digit =
          digits ? std::optional<uint64_t>(*DigitValue(c)) : NumeralValue(c);
      if (!digit) return std::nullopt;
      uint64_t shifted = 0;
      if (!Add(shifted, value, 10) || !Add(shifted, *digit)) return std::nullopt;
      value = shifted;
    }
    return value;
  }
  uint64_t section = 0;  // below ten thousand
  uint64_t digit = 0;
  for (char32_t c : number) {
    const std::optional<uint64_t> numeral = NumeralValue(c);
    if (!numeral) return std::nullopt;
    const uint64_t v = *numeral;
    if (v < 10) {
      digit = v;
    } else if (v == 20 || v == 30) {
      section += v;
      digit = 0;
    } else if (v < 10000) {
      section += (digit == 0 ? 1 : digit) * v;  // "十二": the ten stands alone
      digit = 0;
    } else {
      uint64_t part = section + digit;
      if (part == 0) part = 1;
      if (v > 10000) {  // 亿 multiplies all before it
        uint64_t all = value;
        if (!Add(all, part) || __builtin_mul_overflow(all, v, &value)) return std::nullopt;
      } else if (!Add(value, part, v)) {
        return std::nullopt;
      }
      section = digit = 0;
    }
  }
  if (!Add(value, section + digit)) return std::nullopt;
  return value;
}

}  // namespace lumbrella
