// Chapter headings inside a source text: a whole novel in one file ("第一章 …", "Chapter 1")
// is divided at them into one page per chapter, listed in the table of contents, with the
// volumes ("第一卷 …") one level above their chapters. A first pass reads the whole source and
// decides which heading lines are taken (THeadingPlan); the second writes the pages, the lines
// cut again the same way (TTextLines).
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "book/chapter.h"

namespace lumbrella {

// A volume or a chapter named by a heading line. Texts are ANSI.
struct THeadingPart {
  std::string label;     // as the table of contents shows it
  std::string numbered;  // the number with the words around it as written ("第二十回",
                         // "Chapter IV"); the label when there is no number
  std::optional<uint64_t> number;
  char32_t unit = 0;  // 章 回 节 卷 部 ...; 0 for a named part (序章, 番外 ...)
  int rank = 0;       // 0 a chapter; a volume 1 (卷 篇 集), 2 (部) or 3 (季)
};

// What a heading line holds: a volume, a chapter, or a volume and one of its chapters.
struct THeadingLine {
  std::string text;                             // ANSI: the heading as its page shows it
  std::optional<THeadingPart> volume, chapter;  // one at least
  // "第五十八回潘金莲…", with nothing between the number and the title: a heading only where
  // its number fills the gap between the headings around it.
  bool weak = false;
};

// Which lines are headings: the built-in rule, or the user's regular expressions.
//
// The built-in rule takes the line without the blanks at both ends (space, tab, U+3000),
// perhaps after a leading word: 正文, or any prefix of at most 6 characters and a blank before
// a 第 heading ("《》目录 第一回 …"), which the heading leaves out. A heading is
//   - 第, a number, then a unit: 章 回 节 節 for chapters, 卷 篇 集 (volumes), 部, 季 (larger
//     volumes); blanks may stand between them ("第　一　回"). A number is written in digits
//     (0-9, ０-９), in Chinese numerals (〇零一二三四五六七八九十百千万亿两廿卅), their financial
//     and Traditional forms (壹贰貳叁參肆伍陆陸柒捌玖拾佰仟萬億兩), or digit by digit ("一一九");
//   - 卷 and a number ("卷一：木兰歌"), a volume;
//   - 序章 序言 楔子 引子 前言 尾声 尾聲 后记 後記 终章 終章 番外, chapters without a number;
//   - "Chapter " or "CHAPTER ", then digits or a Roman numeral (one letter case), on a line of
//     at most 64 characters;
//   - after 正文 only, a bare number ("正文 1 …").
// At most 40 characters long (the leading word not counted), a heading is followed by nothing,
// a blank or a punctuation mark, then any title; the whole line is the heading. A longer line
// is a heading only when a 第 form and a blank begin it; the heading is then cut after its
// title (at its first blank or punctuation mark after a character of it, at most 40 characters in
// all), and the rest of the line is a paragraph after it. A title carrying the chapter's poem
// ("…诗曰：…") is cut before 诗曰 or 词曰 at any length. A volume followed by a chapter on one
// line ("第十三卷 风云 第2040章 大结局") holds both. A 章 or 回 form with the title right after
// the unit ("第五十八回潘金莲…") is weak.
//
// A user's rule is one or two regular expressions (Perl syntax, Unicode) that a line without
// its blanks at both ends, at most 40 characters, is matched against: one for volumes, one for
// chapters (the volume's first). The whole line is the heading; its number is read where the
// line begins.
class THeadingRule {
 public:
  THeadingRule();  // the built-in rule
  // The user's rule; an empty expression matches nothing. Raises Exception when an expression
  // is invalid (PatternError tells which).
  THeadingRule(const std::string& chapterRegex, const std::string& volumeRegex);
  ~THeadingRule();
  THeadingRule(const THeadingRule&) = delete;
  THeadingRule& operator=(const THeadingRule&) = delete;

  // Why the expression (UTF-8) is not a valid one, as the library says it; empty when it is.
  static std::string PatternError(const std::string& regex);

  bool BuiltIn() const { return user_ == nullptr; }

  // Lines longer than this many characters (after their leading blanks) are decided by their
  // first ones.
  static constexpr size_t kWindowChars = 64;

  // Where a heading stands in the characters of its line: [begin, end).
  struct TSpan {
    size_t begin = 0, end = 0;
  };
  struct TFormPart {
    TSpan label, numbered;
    std::optional<uint64_t> number;
    char32_t unit = 0;
    int rank = 0;
  };
  struct TForm {
    TSpan text;
    size_t rest = 0;  // where the rest of the line begins
    std::optional<TFormPart> volume, chapter;
    bool weak = false;
  };
  // The heading the characters of a line hold: chars is the line after its leading blanks,
  // whole when the line ends there, else its first kWindowChars characters.
  std::optional<TForm> Parse(std::u32string_view chars, bool whole) const;

 private:
  struct TUser;
  std::unique_ptr<TUser> user_;
};

// The built-in rule, made once.
const THeadingRule& BuiltInHeadingRule();

// The heading a line (ANSI, without its line end) is, by the built-in rule, or nothing; a weak
// one is none. The heading is a piece of the line; of a long line, the text after it (and after
// the blanks there) is a paragraph of its own.
std::optional<std::string_view> HeadingOf(std::string_view line);

// A text that arrives as pieces of well-formed UTF-8 (a source read in blocks), cut into lines,
// each line told whether it may be a heading. A line ends at CR LF, a lone LF or a lone CR (LF
// CR is two line ends); this is where the book's line ends are decided, and each line becomes a
// paragraph of its page. A line is held only while it may still be a heading, and then no more
// than its first kWindowChars characters and the blanks before them; all others go on as views
// into the pieces, valid during the call.
class TTextLines {
 public:
  // Without a rule no line is a heading. The rule must outlive the lines.
  explicit TTextLines(const THeadingRule* rule);
  virtual ~TTextLines();
  TTextLines(const TTextLines&) = delete;
  TTextLines& operator=(const TTextLines&) = delete;

  void Text(std::string_view utf8);  // the next piece, cut between characters
  void Finish();                     // the text ends: so does its last line

 protected:
  // Some of a line, more of which follows.
  virtual void Part(std::string_view utf8) = 0;
  // The rest of a line (all of it, unless parts came before), which ends here. Every line
  // end is followed by a line, the last one perhaps empty.
  virtual void Line(std::string_view utf8) = 0;
  // A line that holds a heading. True takes it: the rest of its line, when there is any,
  // follows as a line of its own (through Part and Line). False leaves it a line like any
  // other, given whole through Part and Line.
  virtual bool Heading(const THeadingLine& heading) = 0;

 private:
  enum class State { kBlank, kPrefix, kPrefixGap, kMaybe, kFull, kPlain };
  const char* Classify(const char* p, const char* end);
  const char* LineEndIn(const char* p, const char* end);
  const char* AfterLineEnd(const char* at, const char* end);
  size_t Decide(std::string_view raw, bool whole);
  void NextLine();

  const THeadingRule* const rule_;
  State state_;
  size_t count_ = 0;      // the line's characters after its leading blanks, so far
  size_t leadBytes_ = 0;  // the bytes of those blanks
  size_t leadBlanks_ = 0;  // and their number
  // Made when a line is decided: its characters after the leading blanks, and where each of
  // them and the end of the last stand in its bytes.
  std::u32string chars_;
  std::vector<size_t> offsets_;
  bool afterCr_ = false;
  const char* nextLf_ = nullptr;  // in the piece: the next LF, or its end
  std::string held_;              // the line so far, while it may be a heading
};

class TSourceText;

// What the numbers of a file's headings say, for the user to see before and after a split.
struct THeadingReport {
  size_t chapters = 0;
  size_t volumes = 0;
  std::vector<std::string> first, last;  // ANSI: the first and the last few headings' labels
  // A numbered chapter followed by one of its unit whose number is not the next one: a gap
  // ("第226章", "第229章") or a repeat. The first of a volume may begin anew from 0 or 1. ANSI,
  // as written.
  struct TGap {
    std::string before, after;
  };
  std::vector<TGap> gaps;
  bool headingsLeftAsText = false;  // more heading lines followed than a file is split at
};

// What the first pass over a source decides: for each line that may be a heading, in order,
// what it is in the book.
struct THeadingPlan {
  enum class TRole {
    hrText,              // a line like any other: a weak heading whose number does not fit,
                         // or a line of the contents block at the top
    hrChapter,           // a page of its own, a point of the table of contents
    hrVolume,            // a point above the chapters after it, on a page of its own when
                         // text follows it, else on its first chapter's
    hrVolumeAndChapter,  // a new volume and its first chapter on one line and page
  };
  struct TEntry {
    THeadingLine line;
    TRole role = TRole::hrText;
    bool page = false;  // begins a page
  };
  std::vector<TEntry> entries;
  bool textBeforeFirst = false;  // a character other than a blank before the first heading
  // Heading lines came after kMaxSplitHeadings of them: they stay text.
  bool headingsLeftAsText = false;
  bool Split() const;            // two headings or more: the file is split at them
  THeadingReport Report() const;
};

// The most heading lines a file is split at; those after them stay text, so that the pages,
// the table of contents and the time to write them stay within bounds.
inline constexpr size_t kMaxSplitHeadings = 100000;

// Reads the source to its end and plans its split. between, when given, runs after each piece;
// when it returns false the reading stops there, and the plan is empty.
THeadingPlan PlanHeadings(TSourceText& source, const THeadingRule& rule,
                          const std::function<bool()>& between = {});

// A file of the list that splits: its position and what its headings are.
struct TSplitFile {
  size_t chapter;
  THeadingReport report;
};

// The pass before the window asks whether to split: the files that would be split, read whole.
// A file that cannot be read counts as none (the conversion reports it). between runs after
// each block and each file; when it returns false the scan stops and finds nothing.
std::vector<TSplitFile> FilesToSplit(const std::vector<TChapter>& chapters,
                                     const THeadingRule& rule,
                                     const std::function<bool()>& between);

}  // namespace lumbrella
