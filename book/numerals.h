// Numbers as chapter names and headings write them: digits (ASCII or full-width), or Chinese
// numerals with their financial and Traditional forms: 十二, 一百零五, 二〇一九, 两千三百,
// 一萬二千, 第壹佰章, 廿一.
#pragma once

#include <cstdint>
#include <optional>
#include <string_view>

namespace lumbrella {

// Every Chinese numeral the program reads: digits below ten, then the multipliers (廿 and 卅
// are twenty and thirty).
inline constexpr std::u32string_view kChineseNumerals =
    U"〇零一壹二贰貳两兩三叁參叄四肆五伍六陆陸七柒八捌九玖十拾廿卅百佰千仟万萬亿億";

// 0-9 for an ASCII or a full-width digit.
std::optional<int> DigitValue(char32_t c);

bool IsChineseNumeral(char32_t c);

// The value of a run of digits, or of Chinese numerals: with multipliers as they are spoken
// ("十二" is 12, "一百零五" 105, "两万三千" 23000, "十万" 100000), else digit by digit
// ("一一九" is 119, "二〇二四" 2024). None for a run that mixes digits with numerals, holds
// anything else, or is beyond 2^64 - 1.
std::optional<uint64_t> ReadNumber(std::u32string_view number);

}  // namespace lumbrella
