#include "book/headings.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "book/decode.h"
#include "platform/codepage.h"
#include "platform/errors.h"

namespace lumbrella {

namespace {

constexpr size_t kMaxHeadingChars = 40;
// Blanks a heading's line may have before it and after it, each: a line with more is text,
// so that a line of blanks is never held whole while it might still be a heading.
constexpr size_t kMaxHeadingBlanks = 256;
constexpr char32_t kIdeographicSpace = 0x3000;

bool IsBlank(char32_t c) {
  return c == ' ' || c == '\t' || c == kIdeographicSpace;
}

// What may stand between a heading's number or word and its title: ASCII punctuation, and
// the punctuation of Chinese text: the middle dot, the general punctuation block (dashes,
// curly quotes, the ellipsis), the CJK marks and brackets (、。〈〉《》「」『』【】〔〕 …), the
// katakana middle dot, the vertical and small forms, and the full-width forms of the ASCII
// marks (：，！（）…). Letters, digits and ideographs are not.
bool IsPunctuation(char32_t c) {
  if (c < 0x80) {
    return (c >= 0x21 && c <= 0x2F) || (c >= 0x3A && c <= 0x40) || (c >= 0x5B && c <= 0x60) ||
           (c >= 0x7B && c <= 0x7E);
  }
  return c == 0x00B7 || (c >= 0x2010 && c <= 0x2027) || (c >= 0x2030 && c <= 0x205E) ||
         (c >= 0x3001 && c <= 0x3003) || (c >= 0x3008 && c <= 0x3011) ||
         (c >= 0x3014 && c <= 0x301F) || c == 0x30FB || (c >= 0xFE10 && c <= 0xFE19) ||
         (c >= 0xFE30 && c <= 0xFE6B) || (c >= 0xFF01 && c <= 0xFF0F) ||
         (c >= 0xFF1A && c <= 0xFF20) || (c >= 0xFF3B && c <= 0xFF40) ||
         (c >= 0xFF5B && c <= 0xFF65);
}

// A heading's first character, once the blanks before it are passed.
bool BeginsHeading(char32_t c) {
  return c == U'第' || c == 'C' ||
         std::u32string_view(U"序楔引前尾后终番").find(c) != std::u32string_view::npos;
}

bool IsChineseNumber(char32_t c) {
  return (c >= '0' && c <= '9') || (c >= U'０' && c <= U'９') ||
         std::u32string_view(U"〇零一二三四五六七八九十百千万两").find(c) !=
             std::u32string_view::npos;
}

// The characters of a trimmed line that may be a heading.
using TLine = std::u32string_view;

// After the number or the word: the end, or a blank or punctuation before the title.
bool EndsHeadingWord(TLine line, size_t at) {
  return at == line.size() || IsBlank(line[at]) || IsPunctuation(line[at]);
}

bool IsNumberedChapter(TLine line) {
  if (line.empty() || line[0] != U'第') return false;
  size_t at = 1;
  while (at < line.size() && IsChineseNumber(line[at]))
    ++at;
  if (at == 1 || at == line.size()) return false;
  if (std::u32string_view(U"章回节集卷部篇").find(line[at]) == std::u32string_view::npos) {
    return false;
  }
  return EndsHeadingWord(line, at + 1);
}

bool IsNamedPart(TLine line) {
  static constexpr std::u32string_view kWords[] = {U"序章", U"序言", U"楔子", U"引子", U"前言",
                                                   U"尾声", U"后记", U"终章", U"番外"};
  return std::any_of(std::begin(kWords), std::end(kWords), [line](std::u32string_view word) {
    return line.starts_with(word) && EndsHeadingWord(line, word.size());
  });
}

bool IsEnglishChapter(TLine line) {
  if (!line.starts_with(U"Chapter ") && !line.starts_with(U"CHAPTER ")) return false;
  const size_t start = 8;
  size_t at = start;
  if (at < line.size() && line[at] >= '0' && line[at] <= '9') {
    while (at < line.size() && line[at] >= '0' && line[at] <= '9')
      ++at;
  } else {
    // "IV" or "iv", not "Ivy": a numeral is written in one case.
    const std::u32string_view digits =
        at < line.size() && line[at] >= 'a' ? U"ivxlcdm" : U"IVXLCDM";
    while (at < line.size() && digits.find(line[at]) != std::u32string_view::npos)
      ++at;
  }
  return at > start && EndsHeadingWord(line, at);
}

}  // namespace

std::optional<std::string_view> HeadingOf(std::string_view line) {
  size_t at = 0;
  size_t length = 0;
  char32_t c = 0;
  size_t leading = 0;
  while (at < line.size()) {
    c = AnsiCharAt(line, at, length);
    if (!IsBlank(c)) break;
    at += length;
    if (++leading > kMaxHeadingBlanks) return std::nullopt;
  }
  if (at == line.size()) return std::nullopt;
  // Most lines are turned away by their first character, before anything is counted.
  if (!BeginsHeading(c)) return std::nullopt;
  const size_t begin = at;
  size_t end = at;
  std::array<char32_t, kMaxHeadingChars> chars{};
  size_t count = 0;    // characters up to the last one that is no blank
  size_t pending = 0;  // blanks after it: inside the heading unless the line ends there
  while (at < line.size()) {
    c = AnsiCharAt(line, at, length);
    at += length;
    if (IsBlank(c)) {
      if (count + pending < kMaxHeadingChars) chars[count + pending] = c;
      if (++pending > kMaxHeadingBlanks) return std::nullopt;
      continue;
    }
    if (count + pending + 1 > kMaxHeadingChars) return std::nullopt;
    count += pending;  // the blanks inside the heading, kept above
    pending = 0;
    chars[count++] = c;
    end = at;
  }
  const TLine trimmed(chars.data(), count);
  if (IsNumberedChapter(trimmed) || IsNamedPart(trimmed) || IsEnglishChapter(trimmed)) {
    return line.substr(begin, end - begin);
  }
  return std::nullopt;
}

// --- Lines of a text read in pieces ----------------------------------------------------

namespace {

bool HoldsMoreThanBlanks(std::string_view utf8) {
  for (size_t at = 0, length = 0; at < utf8.size(); at += length) {
    if (!IsBlank(Utf8CharAt(utf8, at, length))) return true;
  }
  return false;
}

}  // namespace

TTextLines::TTextLines(bool findHeadings) : findHeadings_(findHeadings) {
  NextLine();
}

void TTextLines::NextLine() {
  state_ = findHeadings_ ? State::kBlank : State::kPlain;
  pending_ = 0;
}

// Steps over the characters of the line that leave it undecided.
const char* TTextLines::Classify(const char* p, const char* end) {
  while (p != end && *p != '\r' && *p != '\n') {
    size_t length = 0;
    const char32_t c = Utf8CharAt({p, static_cast<size_t>(end - p)}, 0, length);
    p += length;
    if (IsBlank(c)) {
      // Before the heading (kBlank) or after it (kMaybe); more than a heading may have make
      // the line text, held no longer.
      if (++pending_ > kMaxHeadingBlanks) {
        state_ = State::kPlain;
        break;
      }
    } else if (state_ == State::kBlank) {
      if (!BeginsHeading(c)) {
        state_ = State::kPlain;
        break;
      }
      state_ = State::kMaybe;
      count_ = 1;
      pending_ = 0;
    } else if (count_ + pending_ + 1 > kMaxHeadingChars) {
      state_ = State::kPlain;
      break;
    } else {
      count_ += pending_ + 1;
      pending_ = 0;
    }
  }
  return p;
}

// The first CR or LF from p on. The next LF is kept for the lines before it: in a text whose
// lines end in CR alone it would be looked for anew from each line to the piece's end.
const char* TTextLines::LineEndIn(const char* p, const char* end) {
  if (nextLf_ == nullptr || nextLf_ < p) {
    const void* lf = std::memchr(p, '\n', static_cast<size_t>(end - p));
    nextLf_ = lf != nullptr ? static_cast<const char*>(lf) : end;
  }
  const void* cr = std::memchr(p, '\r', static_cast<size_t>(nextLf_ - p));
  return cr != nullptr ? static_cast<const char*>(cr) : nextLf_;
}

const char* TTextLines::AfterLineEnd(const char* at, const char* end) {
  if (*at++ == '\r') {
    if (at == end) {
      afterCr_ = true;  // an LF at the start of the next piece belongs to this line end
    } else if (*at == '\n') {
      ++at;
    }
  }
  return at;
}

void TTextLines::EndUndecided(std::string_view line) {
  if (state_ == State::kMaybe) {
    const std::string ansi = Utf8TextToAnsi(line);
    if (const std::optional<std::string_view> heading = HeadingOf(ansi)) {
      if (headings_ < kMaxSplitHeadings) {
        ++headings_;
        Heading(*heading);
        return;
      }
      headingsLeftAsText_ = true;
    }
  }
  Line(line);
}

void TTextLines::Text(std::string_view utf8) {
  const char* p = utf8.data();
  const char* const end = p + utf8.size();
  if (afterCr_ && p != end) {
    afterCr_ = false;
    if (*p == '\n') ++p;
  }
  const char* line = p;  // the current line's first byte in this piece
  nextLf_ = nullptr;
  while (p != end) {
    if (state_ != State::kPlain) {
      p = Classify(p, end);
      if (state_ != State::kPlain) {
        if (p == end) {
          held_.append(line, end);
          return;
        }
        std::string_view text(line, static_cast<size_t>(p - line));
        if (!held_.empty()) text = held_.append(text);
        EndUndecided(text);
        held_.clear();
        line = p = AfterLineEnd(p, end);
        NextLine();
        continue;
      }
      if (!held_.empty()) {
        Part(held_);
        held_.clear();
      }
    }
    const char* at = LineEndIn(p, end);
    if (at == end) {
      if (line != end) Part({line, static_cast<size_t>(end - line)});
      return;
    }
    Line({line, static_cast<size_t>(at - line)});
    line = p = AfterLineEnd(at, end);
    NextLine();
  }
}

void TTextLines::Finish() {
  if (state_ == State::kPlain) {
    Line({});
  } else {
    EndUndecided(held_);
  }
  held_.clear();
  afterCr_ = false;
  NextLine();
}

namespace {

// The first pass: counts headings and looks for text before the first.
class THeadingCounter final : public TTextLines {
 public:
  THeadingCounter(size_t limit, TSourceText& source)
      : TTextLines(true), limit_(limit), source_(source) {}
  THeadingScan scan;

 private:
  void Part(std::string_view utf8) override { Before(utf8); }
  void Line(std::string_view utf8) override { Before(utf8); }
  void Heading(std::string_view) override {
    if (scan.headings < limit_ && ++scan.headings == limit_) source_.Stop();
  }
  void Before(std::string_view utf8) {
    if (scan.headings == 0 && !scan.textBeforeFirst)
      scan.textBeforeFirst = HoldsMoreThanBlanks(utf8);
  }
  const size_t limit_;
  TSourceText& source_;
};

}  // namespace

THeadingScan ScanHeadings(TSourceText& source, size_t limit, const std::function<bool()>& between) {
  std::optional<THeadingCounter> counter(std::in_place, limit, source);
  bool stopped = false;
  source.Read(
      [&](std::string_view utf8) {
        counter->Text(utf8);
        stopped = counter->scan.headings >= limit;
        if (!stopped && between && !between()) {
          stopped = true;
          source.Stop();
        }
      },
      [&] { counter.emplace(limit, source); });
  if (!stopped) counter->Finish();
  return counter->scan;
}

bool AnyFileHoldsHeadings(const std::vector<TChapter>& chapters,
                          const std::function<bool()>& between) {
  bool go = true;
  const std::function<bool()> next = [&] { return go = !between || between(); };
  for (const TChapter& chapter : chapters) {
    bool holds = false;
    try {
      TSourceText source(chapter.path, chapter.encoding);
      holds = ScanHeadings(source, kHeadingsToSplit, next).headings >= kHeadingsToSplit;
    } catch (const Exception&) {
      // Left to the conversion, which stops with this file's error.
    }
    if (!go) return false;
    if (holds) return true;
    if (!next()) return false;
  }
  return false;
}

}  // namespace lumbrella
