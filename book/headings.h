// Chapter headings inside a source text: a whole novel in one file ("第一章 …", "Chapter 1")
// is divided at them into one page per chapter, listed under the file in the table of
// contents. They are found as the source is read, line by line (TTextLines).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "book/chapter.h"

namespace lumbrella {

// The heading a line is, or nothing. The line (without its line end) is taken without the
// blanks at both ends (space, tab, U+3000; at most 256 at each end); that text is the heading
// when it is at most 40 characters long and
//   - begins with 第, a number (digits 0-9 or ０-９, or the numerals 〇零一二三四五六七八九十
//     百千万两), one of 章回节集卷部篇, then nothing, a blank or a punctuation mark (and any
//     title);
//   - is one of 序章 序言 楔子 引子 前言 尾声 后记 终章 番外, alone or followed by a blank or a
//     punctuation mark (and any title);
//   - begins with "Chapter " or "CHAPTER ", digits or a Roman numeral (one letter case), then
//     nothing, a blank or a punctuation mark.
std::optional<std::string_view> HeadingOf(std::string_view line);

// A file is split when it holds two headings or more.
inline constexpr size_t kHeadingsToSplit = 2;
// The most headings a file is split at; the text after them stays on the last one's pages, so
// that pages, the table of contents and the time to write them stay within bounds.
inline constexpr size_t kMaxSplitHeadings = 100000;

// A text that arrives as pieces of well-formed UTF-8 (a source read in blocks), cut into lines,
// each line told whether it is a heading. A line ends at CR LF, a lone LF or a lone CR (LF CR
// is two line ends); this is where the book's line ends are decided, and each line becomes a
// paragraph of its page. A line is held only while it may still be a heading (at most 256
// blanks each side of at most 40 characters, beginning as a heading does: under 2 KiB); all
// others go on as views into the pieces, valid during the call.
class TTextLines {
 public:
  // Without findHeadings no line is a heading.
  explicit TTextLines(bool findHeadings);
  virtual ~TTextLines() = default;
  TTextLines(const TTextLines&) = delete;
  TTextLines& operator=(const TTextLines&) = delete;

  void Text(std::string_view utf8);  // the next piece, cut between characters
  void Finish();                     // the text ends: so does its last line
  // True when a heading came after kMaxSplitHeadings of them: it and those after it were
  // told as lines.
  bool HeadingsLeftAsText() const { return headingsLeftAsText_; }

 protected:
  // Some of a line, more of which follows.
  virtual void Part(std::string_view utf8) = 0;
  // The rest of a line (all of it, unless parts came before), which ends here. Every line
  // end is followed by a line, the last one perhaps empty.
  virtual void Line(std::string_view utf8) = 0;
  // A whole line that is a heading: HeadingOf the line, as ANSI.
  virtual void Heading(std::string_view ansi) = 0;

 private:
  enum class State { kBlank, kMaybe, kPlain };
  const char* Classify(const char* p, const char* end);
  const char* LineEndIn(const char* p, const char* end);
  const char* AfterLineEnd(const char* at, const char* end);
  void EndUndecided(std::string_view line);
  void NextLine();

  const bool findHeadings_;
  State state_;
  size_t count_ = 0;    // as HeadingOf counts: characters up to the last that is no blank
  size_t pending_ = 0;  // and blanks after it
  bool afterCr_ = false;
  const char* nextLf_ = nullptr;  // in the piece: the next LF, or its end
  std::string held_;              // the line so far, while it may be a heading
  size_t headings_ = 0;           // told so far
  bool headingsLeftAsText_ = false;
};

class TSourceText;

// What a first pass over a source finds: its headings, up to a limit.
struct THeadingScan {
  size_t headings = 0;
  bool textBeforeFirst = false;  // a character other than a blank before the first heading
};
// Reads the source to its end or to its limit-th heading. between, when given, runs after each
// piece; when it returns false the reading stops there, with what was found so far.
THeadingScan ScanHeadings(TSourceText& source, size_t limit,
                          const std::function<bool()>& between = {});

// The fast pass before the window asks whether to split: whether any of the files holds two
// headings, each read in blocks up to its second. A file that cannot be read counts as none
// (the conversion reports it). between runs after each block and each file; when it returns
// false the scan stops and the answer is false.
bool AnyFileHoldsHeadings(const std::vector<TChapter>& chapters,
                          const std::function<bool()>& between);

}  // namespace lumbrella
