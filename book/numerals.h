// Numbers written with Chinese numerals, as chapter names and headings hold them: 十二, 一百零五,
// 二〇一九, 两千三百, 一萬二千.
#pragma once

#include <cstdint>
#include <string_view>

namespace lumbrella {

// 〇零一二三四五六七八九十百千万亿两, and 萬億兩 as Big5 texts write them.
bool IsChineseNumeral(char32_t c);

// The value of a run of Chinese numerals. Without a unit the digits are read place by place
// (二〇一九 is 2019, 一 is 1); with units as they are spoken (十二 is 12, 一百零五 is 105,
// 两万三千 is 23000, 十万 is 100000). A run that is no well-formed number (十十, 百一) still
// gets a value, so that runs can always be compared; values beyond 2^64 - 1 stay there.
// Characters that are no numerals count as 〇.
uint64_t ChineseNumeralValue(std::u32string_view run);

}  // namespace lumbrella
