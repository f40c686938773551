#include "book/unwrap.h"

#include <algorithm>

#include "book/decode.h"
#include "book/headings.h"
#include "platform/codepage.h"

namespace lumbrella {

namespace {

// The character classes, inline for the loops below that ask them of every character.

inline bool Blank(char32_t c) {
  return c == ' ' || c == '\t' || c == 0x3000 || c == 0x00A0;
}

inline bool LeftOut(char32_t c) {
  return (c < 0x20 && c != '\t' && c != '\n' && c != '\r') || c == 0xFFFE || c == 0xFFFF;
}

// Neither text nor indent: a blank, or a character the page leaves out.
inline bool IsVoid(char32_t c) {
  return c <= ' ' || c == 0x3000 || c == 0x00A0 || c == 0xFFFE || c == 0xFFFF;
}

inline bool Wide(char32_t c) {
  return c >= 0x1100 &&
         (c <= 0x115F || c == 0x2329 || c == 0x232A ||
          (c >= 0x2E80 && c <= 0xA4CF && c != 0x303F) || (c >= 0xAC00 && c <= 0xD7A3) ||
          (c >= 0xF900 && c <= 0xFAFF) || (c >= 0xFE10 && c <= 0xFE19) ||
          (c >= 0xFE30 && c <= 0xFE6F) || (c >= 0xFF00 && c <= 0xFF60) ||
          (c >= 0xFFE0 && c <= 0xFFE6) || (c >= 0x1F300 && c <= 0x1F64F) ||
          (c >= 0x1F900 && c <= 0x1F9FF) || (c >= 0x20000 && c <= 0x3FFFD));
}

inline size_t Columns(char32_t c) {
  if (c < 0xA7) return 1;
  const bool setWide = c == 0xA7 || c == 0xB0 || c == 0xB1 || c == 0xB7 || c == 0xD7 || c == 0xF7 ||
                       (c >= 0x2010 && c <= 0x203F) || (c >= 0x2103 && c <= 0x2199) ||
                       (c >= 0x2460 && c <= 0x26FF) || (c >= 0x0391 && c <= 0x03C9) ||
                       (c >= 0x0401 && c <= 0x0451);
  return setWide || Wide(c) ? 2 : 1;
}

}  // namespace

bool IsParagraphBlank(char32_t c) {
  return Blank(c);
}

bool IsLeftOut(char32_t c) {
  return LeftOut(c);
}

bool IsWide(char32_t c) {
  return Wide(c);
}

size_t ColumnsOf(char32_t c) {
  return Columns(c);
}

namespace {

// What ends a sentence, Chinese or Latin, and what may close one after it (quotes, brackets).
inline bool EndsSentence(char32_t c) {
  switch (c) {
    case U'。':
    case U'．':
    case U'｡':
    case U'！':
    case U'？':
    case U'!':
    case U'?':
    case U'.':
    case U'…':
      return true;
    default:
      return false;
  }
}
inline bool ClosesSentence(char32_t c) {
  switch (c) {
    case U'”':
    case U'’':
    case U'」':
    case U'』':
    case U'）':
    case U')':
    case U'"':
    case U'\'':
    case U'》':
    case U'〉':
    case U'】':
    case U'〕':
    case U'］':
    case U']':
      return true;
    default:
      return false;
  }
}

// The character at p, which moves past it: ASCII and well-formed sequences of two and three
// bytes read here, anything else by the code page's reader.
inline char32_t NextChar(const unsigned char*& p, const unsigned char* end) {
  const unsigned char b = *p;
  if (b < 0x80) {
    ++p;
    return b;
  }
  if ((b & 0xE0) == 0xC0 && end - p >= 2 && (p[1] & 0xC0) == 0x80 && b >= 0xC2) {
    const char32_t c = (static_cast<char32_t>(b & 0x1F) << 6) | (p[1] & 0x3F);
    p += 2;
    return c;
  }
  if ((b & 0xF0) == 0xE0 && end - p >= 3 && (p[1] & 0xC0) == 0x80 && (p[2] & 0xC0) == 0x80) {
    const char32_t c = (static_cast<char32_t>(b & 0x0F) << 12) |
                       (static_cast<char32_t>(p[1] & 0x3F) << 6) | (p[2] & 0x3F);
    if (c >= 0x800 && (c < 0xD800 || c > 0xDFFF)) {
      p += 3;
      return c;
    }
  }
  size_t length = 0;
  const char32_t c = Utf8CharAt(
      std::string_view(reinterpret_cast<const char*>(p), static_cast<size_t>(end - p)), 0, length);
  p += length;
  return c;
}

// Whether a line ends a sentence so far, after its next character (one that is no blank).
inline bool EndingAfter(bool ending, char32_t c) {
  return EndsSentence(c) || (ending && ClosesSentence(c));
}

// Lines of Latin text joined meet without a space where either side is Chinese (or
// Japanese, or Korean), and after a hyphen or a dash, which English sets closed.
bool JoinsDirectly(char32_t last, char32_t first) {
  return IsWide(last) || IsWide(first) || last == '-' || (last >= 0x2010 && last <= 0x2015);
}

// Wrapped text: a width that most lines end close to.
constexpr size_t kMinLines = 8;   // fewer lines tell nothing
constexpr size_t kMinWidth = 24;  // narrower lines are verse or lists, not wrapped prose
size_t Tolerance(size_t width) {  // how far short of it a full line may end: a long word
  return std::max<size_t>(3, width / 8);
}

}  // namespace

// --- The first pass -------------------------------------------------------------------------

void TLineShapes::Text(std::string_view utf8) {
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto* const end = p + utf8.size();
  while (p != end && line_.count[0] <= kMaxWidth) {
    const char32_t c = NextChar(p, end);
    ++line_.count[0];
    if (c >= 0x4E00 && c <= 0x9FFF) {  // most of a Chinese text: an ideograph, two columns
      line_.count[1] += 2;
      ++wide_;
      line_.blank = line_.endsSentence = false;
      line_.width[0] = line_.count[0];
      line_.width[1] = line_.count[1];
      continue;
    }
    line_.count[1] += Columns(c);
    if (IsVoid(c)) {
      if (line_.blank && c == ' ') {
        ++line_.leadingSpaces;
      } else if (line_.blank && Blank(c)) {
        line_.leadingOther = true;
      }
      continue;
    }
    ++(Wide(c) ? wide_ : narrow_);
    line_.blank = false;
    line_.width[0] = line_.count[0];
    line_.width[1] = line_.count[1];
    line_.endsSentence = EndingAfter(line_.endsSentence, c);
  }
  if (p == end) return;
  // Wider than any wrap: only whether it ends a sentence counts, which its last characters
  // tell. Read backwards over blanks and closing quotes, the first other character decides;
  // none, and what came before decides.
  const auto* q = end;
  while (q != p) {
    const auto* lead = q - 1;
    while (lead != p && (*lead & 0xC0) == 0x80)
      --lead;
    const auto* at = lead;
    const char32_t c = NextChar(at, q);
    q = lead;
    if (IsVoid(c)) continue;
    line_.blank = false;
    line_.width[0] = line_.width[1] = kMaxWidth + 1;
    if (ClosesSentence(c)) continue;
    line_.endsSentence = EndsSentence(c);
    return;
  }
}

void TLineShapes::LineEnd() {
  if (line_.blank) {
    if (anyLine_) ++blankRun_;
    line_ = {};
    return;
  }
  ++lines_;
  const bool goesOn = anyLine_ && blankRun_ == 0 && !line_.Indented();
  for (int m = 0; m < 2; ++m) {
    TWidths& widths = widths_[m];
    const size_t bucket = Bucket(line_.width[m]);
    ++widths.lines[bucket];
    if (line_.endsSentence) ++widths.ending[bucket];
    if (goesOn) {
      const size_t before = Bucket(previous_.width[m]);
      ++widths.goesOn[before];
      if (previous_.endsSentence) ++widths.goesOnEnding[before];
    }
  }
  if (anyLine_ && blankRun_ > 0) ++runs_[std::min(blankRun_, runs_.size() - 1)];
  if (anyLine_ && blankRun_ == 0 && line_.Indented()) ++indentedAfterText_;
  previous_ = line_;
  anyLine_ = true;
  blankRun_ = 0;
  line_ = {};
}

namespace {

uint64_t Sum(const std::array<uint32_t, TLineShapes::kMaxWidth + 2>& h, size_t from, size_t to) {
  uint64_t n = 0;
  for (size_t w = from; w < to && w < h.size(); ++w)
    n += h[w];
  return n;
}

}  // namespace

size_t TLineShapes::WrapWidth(const TWidths& widths, uint64_t& near) const {
  // The width most lines end close to; the text is wrapped there when at least half of its
  // lines do, hardly any is wider, and at most a third of those close to it end a sentence
  // (one paragraph a line would end nearly all).
  near = 0;
  if (lines_ < kMinLines) return 0;
  size_t width = 0;
  for (size_t w = kMinWidth; w <= kMaxWidth; ++w) {
    const uint64_t n = Sum(widths.lines, w - Tolerance(w), w + 1);
    if (n > 0 && n >= near) {
      width = w;
      near = n;
    }
  }
  // The widest line there: the width the text was wrapped at.
  while (width > 0 && widths.lines[width] == 0)
    --width;
  if (width < kMinWidth) return 0;
  const uint64_t ending = Sum(widths.ending, width - Tolerance(width), width + 1);
  const uint64_t wider = Sum(widths.lines, width + 1, widths.lines.size());
  if (near * 2 < lines_ || wider * 20 > lines_ || ending * 3 > near) return 0;
  return width;
}

TTextLayout TLineShapes::Layout(TUnwrap unwrap) const {
  TTextLayout layout;
  uint64_t runs = 0;
  for (const uint32_t n : runs_)
    runs += n;
  // Blank lines or indents between paragraphs, once in ten lines at least: the file marks
  // its paragraphs, and a wrapped line that happens to end a sentence goes on.
  layout.sentenceEndsBreak = (runs + indentedAfterText_) * 10 < lines_;
  layout.closeJoins = wide_ > narrow_;

  // Wrapped at a number of characters, or of columns: whichever more lines end close to.
  uint64_t near[2];
  const size_t width[2] = {WrapWidth(widths_[0], near[0]), WrapWidth(widths_[1], near[1])};
  const int m = width[1] != 0 && (width[0] == 0 || near[1] > near[0]) ? 1 : 0;
  layout.joinLines = unwrap == TUnwrap::uwOn || (unwrap == TUnwrap::uwAuto && width[m] != 0);
  if (layout.joinLines) {
    layout.width = width[m];
    layout.columns = m == 1;
  }

  // Where paragraphs meet without a blank line between them: at an indent, and after every
  // line that does not go on in the next (as a guess, one of a wrapped text that ends well
  // short of its width).
  const TWidths& widths = widths_[m];
  uint64_t unmarked = indentedAfterText_;
  if (layout.joinLines) {
    const size_t full = layout.width != 0 ? layout.width - Tolerance(layout.width) : 0;
    unmarked += Sum(widths.goesOn, 0, full);
    if (layout.sentenceEndsBreak) unmarked += Sum(widths.goesOnEnding, full, widths.goesOn.size());
  } else {
    unmarked += Sum(widths.goesOn, 0, widths.goesOn.size());
  }
  // Blank lines between most paragraphs: the usual run separates them, a longer one marks a
  // break. Blank lines between few: each run is a break.
  if (runs > 0 && runs >= unmarked) {
    const auto usual = std::max_element(runs_.begin(), runs_.end());
    layout.sceneRun = static_cast<size_t>(usual - runs_.begin()) + 1;
  }
  return layout;
}

namespace {

// The lines of the first pass, none of them a heading.
class TShapeReader final : public TTextLines {
 public:
  TShapeReader() : TTextLines(nullptr) {}
  TLineShapes shapes;

 private:
  void Part(std::string_view utf8) override { shapes.Text(utf8); }
  void Line(std::string_view utf8) override {
    shapes.Text(utf8);
    shapes.LineEnd();
  }
  bool Heading(const THeadingLine&) override { return false; }
};

}  // namespace

TTextLayout LayoutOf(std::string_view sample, TUnwrap unwrap) {
  // Its first kLayoutSampleBytes exactly, cut before the character the limit falls in.
  if (sample.size() > kLayoutSampleBytes) {
    size_t cut = kLayoutSampleBytes;
    while (cut > 0 && (static_cast<unsigned char>(sample[cut]) & 0xC0) == 0x80)
      --cut;
    sample = sample.substr(0, cut);
  }
  TShapeReader reader;
  reader.Text(sample);
  reader.Finish();
  return reader.shapes.Layout(unwrap);
}

// --- Paragraphs as the text arrives ---------------------------------------------------------

namespace {

// Blanks held at the end of a line, in case text follows them; beyond twice this many, the
// first ones are written (so a line of blanks alone does not fill memory).
constexpr size_t kHeldBlanks = 4096;

// The length of utf8 without the blanks (and the characters a page leaves out) at its end.
size_t WithoutTrailingBlanks(std::string_view utf8) {
  size_t keep = utf8.size();
  while (keep > 0) {
    // A lead byte ends no other character: these bytes at the end are the character itself.
    if (static_cast<unsigned char>(utf8[keep - 1]) <= ' ') {
      keep -= 1;
    } else if (keep >= 3 && (utf8.substr(keep - 3, 3) == "\xE3\x80\x80" ||
                             utf8.substr(keep - 3, 3) == "\xEF\xBF\xBE" ||
                             utf8.substr(keep - 3, 3) == "\xEF\xBF\xBF")) {
      keep -= 3;
    } else if (keep >= 2 && utf8.substr(keep - 2, 2) == "\xC2\xA0") {
      keep -= 2;
    } else {
      break;
    }
  }
  return keep;
}

}  // namespace

TParagraphs::TParagraphs(const TTextLayout& layout, TSink& sink) : layout_(layout), sink_(sink) {}

void TParagraphs::ResetLine() {
  lineStarted_ = leadingOther_ = endsSentence_ = false;
  width_ = columns_ = leadingSpaces_ = 0;
  lineLast_ = 0;
  blanks_.clear();
}

void TParagraphs::CloseParagraph() {
  if (open_) sink_.EndParagraph();
  open_ = goesOn_ = false;
}

// The line's first character, which is no blank: the line goes on the open paragraph, or
// begins one, or waits for its first word to tell.
void TParagraphs::StartLine(char32_t first) {
  if (open_ && goesOn_ && !leadingOther_ && leadingSpaces_ < 2) {
    // A space the wrap moved to the line's start stays between the lines.
    space_ = leadingSpaces_ == 1 || (!layout_.closeJoins && !JoinsDirectly(last_, first));
    if (layout_.width == 0) {
      if (space_) sink_.ParagraphText(" ");
      return;
    }
    deciding_ = true;
    word_.clear();
    wordColumns_ = 0;
    const size_t used = lastWidth_ + (space_ ? 1 : 0);
    room_ = layout_.width > used ? layout_.width - used : 0;
    return;
  }
  CloseParagraph();
  sink_.BeginParagraph(written_ && blankRun_ >= layout_.sceneRun);
  open_ = written_ = true;
  blankRun_ = 0;
}

// The first word would not have fitted on the line before, which therefore goes on in this
// one; or it would have, and the line before ended its paragraph.
void TParagraphs::Decide(bool goOn) {
  deciding_ = false;
  if (goOn) {
    if (space_) sink_.ParagraphText(" ");
  } else {
    CloseParagraph();
    sink_.BeginParagraph(false);
    open_ = true;
  }
  sink_.ParagraphText(word_);
  word_.clear();
}

size_t TParagraphs::WidthOf(char32_t c) const {
  return layout_.columns ? Columns(c) : 1;
}

void TParagraphs::Measure(std::string_view utf8) {
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto* const end = p + utf8.size();
  while (p != end) {
    const char32_t c = NextChar(p, end);
    columns_ += WidthOf(c);
    if (!IsVoid(c)) {
      width_ = columns_;
      endsSentence_ = EndingAfter(endsSentence_, c);
      lineLast_ = c;
    }
  }
}

void TParagraphs::Text(std::string_view utf8) {
  size_t at = 0;
  if (!lineStarted_) {
    char32_t c = 0;
    size_t length = 0;
    for (; at < utf8.size(); at += length) {
      c = Utf8CharAt(utf8, at, length);
      if (!IsVoid(c)) break;
      if (c == ' ') {
        ++leadingSpaces_;
      } else if (IsParagraphBlank(c)) {
        leadingOther_ = true;
      }
      columns_ += WidthOf(c);
    }
    if (at == utf8.size()) return;
    lineStarted_ = true;
    StartLine(c);
  }
  std::string_view text = utf8.substr(at);
  if (layout_.joinLines) Measure(text);
  if (deciding_) {
    // The first word: up to a blank, or a wide character, which is a word of its own.
    size_t end = 0;
    bool ended = false;
    while (end < text.size() && wordColumns_ <= room_) {
      size_t length = 0;
      const char32_t c = Utf8CharAt(text, end, length);
      const bool wide = IsWide(c);
      if (IsParagraphBlank(c) || (wide && wordColumns_ > 0)) {
        ended = true;
        break;
      }
      wordColumns_ += WidthOf(c);
      end += length;
      if (wide) {
        ended = true;
        break;
      }
    }
    word_.append(text.substr(0, end));
    text.remove_prefix(end);
    if (!ended && wordColumns_ <= room_) return;  // the word goes on in the next piece
    Decide(wordColumns_ > room_);
  }
  // Blanks at the end wait until text follows them.
  const size_t keep = WithoutTrailingBlanks(text);
  if (keep > 0) {
    if (!blanks_.empty()) sink_.ParagraphText(blanks_);
    blanks_.clear();
    sink_.ParagraphText(text.substr(0, keep));
  }
  blanks_.append(text.substr(keep));
  while (blanks_.size() > 2 * kHeldBlanks) {
    size_t cut = kHeldBlanks;
    while ((static_cast<unsigned char>(blanks_[cut]) & 0xC0) == 0x80)
      ++cut;
    sink_.ParagraphText(std::string_view(blanks_).substr(0, cut));
    blanks_.erase(0, cut);
  }
}

void TParagraphs::LineEnd() {
  if (deciding_) Decide(wordColumns_ > room_);
  if (!lineStarted_) {
    CloseParagraph();
    ++blankRun_;
  } else if (layout_.joinLines) {
    goesOn_ = !(layout_.sentenceEndsBreak && endsSentence_);
    lastWidth_ = width_;
    last_ = lineLast_;
  } else {
    CloseParagraph();
  }
  ResetLine();
}

void TParagraphs::Close() {
  CloseParagraph();
  ResetLine();
  blankRun_ = 0;
  written_ = false;
}

}  // namespace lumbrella
