// Chapter headings inside a source text: a whole novel in one file ("第一章 …", "Chapter 1")
// is divided at them into one page per chapter, listed under the file in the table of
// contents. Everything here works on views into the decoded (ANSI) text; nothing copies it.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string_view>
#include <vector>

#include "book/chapter.h"

namespace lumbrella {

// The heading a line is, or nothing. The line (without its line end) is taken without the
// blanks at both ends (space, tab, U+3000); that text is the heading when it is at most 40
// characters long and
//   - begins with 第, a number (digits 0-9 or ０-９, or the numerals 〇零一二三四五六七八九十
//     百千万两), one of 章回节集卷部篇, then nothing, a blank or a punctuation mark (and any
//     title);
//   - is one of 序章 序言 楔子 引子 前言 尾声 后记 终章 番外, alone or followed by a blank or a
//     punctuation mark (and any title);
//   - begins with "Chapter " or "CHAPTER ", digits or a Roman numeral (one letter case), then
//     nothing, a blank or a punctuation mark.
std::optional<std::string_view> HeadingOf(std::string_view line);

// Where the line that begins at from ends, as paragraphs end on a page (CR LF, a lone LF or
// a lone CR): its line end at `at`, the next line at `next`; both the text's size when the
// text ends first. ANSI trail bytes are never CR or LF, so no character is cut.
struct TLineEnd {
  size_t at;
  size_t next;
};
TLineEnd LineEndFrom(std::string_view text, size_t from);

// A heading line of a text.
struct THeading {
  size_t lineBegin = 0;   // its first byte
  size_t lineEnd = 0;     // the byte after it: its line end, or the end of the text
  std::string_view text;  // HeadingOf the line: the label and the page's <h2>
};

// The heading lines of the text in order, at most limit of them (the scan stops there).
std::vector<THeading> FindHeadings(std::string_view text, size_t limit = SIZE_MAX);

// A file is split when it holds two headings or more.
inline constexpr size_t kHeadingsToSplit = 2;

// One page's worth of a split text, before long ones are cut: the text before the first
// heading (heading empty), or a heading with the lines after it up to the next heading.
struct TTextSection {
  std::string_view heading;
  // The lines, without the line end that ends the last one (it belongs to the heading line
  // after it). Absent when no line follows the heading before the next one or the end.
  std::optional<std::string_view> lines;
};

// The sections of a text at its headings (two or more). The text before the first heading is
// left out when it holds nothing but blanks and line ends.
std::vector<TTextSection> SectionsAtHeadings(std::string_view text,
                                             const std::vector<THeading>& headings);

// The fast pass before the window asks whether to split: whether any of the files holds two
// headings, each decoded and scanned up to its second. A file that cannot be read counts as none
// (the conversion reports it). betweenFiles runs after each file; when it returns false the scan
// stops and the answer is false.
bool AnyFileHoldsHeadings(const std::vector<TChapter>& chapters,
                          const std::function<bool()>& betweenFiles);

}  // namespace lumbrella
