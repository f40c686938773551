#include "book/headings.h"

#include <QRegularExpression>
#include <QString>
#include <algorithm>
#include <cstring>
#include <iterator>
#include <optional>
#include <string>
#include <string_view>

#include "book/decode.h"
#include "book/numerals.h"
#include "platform/codepage.h"
#include "platform/errors.h"

namespace lumbrella {

namespace {

using TSpan = THeadingRule::TSpan;
using TForm = THeadingRule::TForm;
using TFormPart = THeadingRule::TFormPart;
using TChars = std::u32string_view;

constexpr size_t kMaxHeadingChars = 40;
constexpr size_t kMaxPrefixChars = 6;
// Blanks a heading's line may have before its text: a line with more is text, so that a long
// line of blanks is never held whole while it might still be a heading.
constexpr size_t kMaxLeadingBlanks = 256;
constexpr size_t kMinTitleChars = 1;  // of a long line's title, before it may be cut
constexpr size_t kMaxNumberChars = 18;
constexpr char32_t kIdeographicSpace = 0x3000;
constexpr char32_t kBareNumber = U'#';  // the unit of "正文 1"

// --- The tables of the built-in rule ----------------------------------------------------

// The units of 第 headings: chapters (rank 0) and volumes above them. A weak unit may run into
// its title ("第五十八回潘金莲…"); others never do ("第一节课", "第九部队", "第一部分").
struct TUnit {
  char32_t unit;
  int rank;
  bool weak;
};
constexpr TUnit kUnits[] = {
    {U'章', 0, true},  {U'回', 0, true},  {U'节', 0, false}, {U'節', 0, false}, {U'卷', 1, false},
    {U'篇', 1, false}, {U'集', 1, false}, {U'部', 2, false}, {U'季', 3, false},
};

// Chapters named by a word instead of a number.
constexpr std::u32string_view kNamedParts[] = {
    U"序章", U"序言", U"楔子", U"引子", U"前言", U"尾声",
    U"尾聲", U"后记", U"後記", U"终章", U"終章", U"番外",
};

// The word some files put before every heading.
constexpr std::u32string_view kLeadWord = U"正文";

// What introduces the poem a classical chapter's heading line goes on with.
constexpr std::u32string_view kPoemMarks[] = {U"诗曰", U"詩曰", U"词曰", U"詞曰"};

constexpr std::u32string_view kEnglishWords[] = {U"Chapter ", U"CHAPTER "};

// A heading's first character, once the blanks before it are passed.
constexpr std::u32string_view kHeadingStarts = U"第C卷正序楔引前尾后後终終番";

// Where a long heading's title may end: the marks between clauses, and those that open a
// bracket or a quotation.
constexpr std::u32string_view kTitleEnds = U"，。、；：？！,.;:?!（(【[「『《〈“‘";

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

bool BeginsHeading(char32_t c) {
  return kHeadingStarts.find(c) != TChars::npos;
}

bool IsNumberChar(char32_t c) {
  return DigitValue(c) || IsChineseNumeral(c);
}

const TUnit* UnitOf(char32_t c) {
  for (const TUnit& unit : kUnits) {
    if (unit.unit == c) return &unit;
  }
  return nullptr;
}

// The number of a heading, at most kMaxNumberChars characters (ReadNumber).
std::optional<uint64_t> HeadingNumber(TChars number) {
  if (number.size() > kMaxNumberChars) return std::nullopt;
  return ReadNumber(number);
}

std::optional<uint64_t> ReadRoman(TChars numeral) {
  constexpr std::u32string_view kLetters = U"IVXLCDM";
  constexpr int64_t kValues[] = {1, 5, 10, 50, 100, 500, 1000};
  int64_t value = 0;
  for (size_t i = 0; i < numeral.size(); ++i) {
    const size_t k = kLetters.find(numeral[i] >= 'a' ? numeral[i] - 0x20 : numeral[i]);
    if (k == TChars::npos) return std::nullopt;
    const size_t next =
        i + 1 < numeral.size()
            ? kLetters.find(numeral[i + 1] >= 'a' ? numeral[i + 1] - 0x20 : numeral[i + 1])
            : 0;
    if (next != TChars::npos && next > k) {
      value -= kValues[k];
    } else {
      value += kValues[k];
    }
  }
  if (value <= 0) return std::nullopt;
  return static_cast<uint64_t>(value);
}

// The heading forms of the built-in rule, read from a line's characters.
class TParser {
 public:
  TParser(TChars chars, bool whole) : c_(chars), whole_(whole), n_(chars.size()) {
    if (whole_) {
      while (n_ > 0 && IsBlank(c_[n_ - 1]))
        --n_;
    }
  }

  std::optional<TForm> Parse() const {
    std::optional<TForm> form = At(0, false);
    if (!form && c_.starts_with(kLeadWord)) form = At(Blanks(kLeadWord.size()), true);
    if (!form) {
      // A prefix of a few characters and a blank before a 第 heading: "《》目录 第一回 …".
      size_t k = 0;
      while (k < n_ && k <= kMaxPrefixChars && !IsBlank(c_[k]))
        ++k;
      const size_t s = Blanks(k);
      if (k > 0 && k <= kMaxPrefixChars && s > k && s < n_ && c_[s] == U'第') form = At(s, false);
    }
    if (form && whole_ && form->rest >= n_) form->rest = c_.size();
    return form;
  }

  // The number and unit of a 第 heading at s, and how it ends.
  enum class TEnding { kNone, kStrong, kWeak };
  struct TNumbered {
    TFormPart part;
    size_t after = 0;  // the character after the unit
    TEnding ending = TEnding::kNone;
  };
  std::optional<TNumbered> Numbered(size_t s) const {
    if (s >= n_ || c_[s] != U'第') return std::nullopt;
    const size_t number = Blanks(s + 1);
    const size_t numberEnd = NumberEnd(number);
    if (numberEnd == number) return std::nullopt;
    const size_t at = Blanks(numberEnd);
    const TUnit* unit = at < n_ ? UnitOf(c_[at]) : nullptr;
    if (unit == nullptr) return std::nullopt;
    TNumbered numbered;
    numbered.after = at + 1;
    numbered.part.numbered = {s, at + 1};
    numbered.part.number = HeadingNumber(c_.substr(number, numberEnd - number));
    numbered.part.unit = unit->unit;
    numbered.part.rank = unit->rank;
    numbered.ending = Ending(s, numbered.after, unit->weak);
    return numbered;
  }

 private:
  size_t Blanks(size_t at) const {
    while (at < n_ && IsBlank(c_[at]))
      ++at;
    return at;
  }
  // Where the run of digits or numerals that begins at at ends.
  size_t NumberEnd(size_t at) const {
    while (at < n_ && IsNumberChar(c_[at]))
      ++at;
    return at;
  }
  size_t TrimEnd(size_t at, size_t floor) const {
    while (at > floor && IsBlank(c_[at - 1]))
      --at;
    return at;
  }
  bool Long(size_t s) const { return !whole_ || n_ - s > kMaxHeadingChars; }
  // After a heading's number or word: the end, a blank, or (on a short line) punctuation.
  TEnding Ending(size_t s, size_t after, bool weak) const {
    if (after >= n_ || IsBlank(c_[after])) return TEnding::kStrong;
    if (IsPunctuation(c_[after]) && !Long(s)) return TEnding::kStrong;
    return weak ? TEnding::kWeak : TEnding::kNone;
  }
  bool PoemAt(size_t at) const {
    return std::any_of(std::begin(kPoemMarks), std::end(kPoemMarks), [&](TChars mark) {
      return c_.substr(at, n_ - std::min(at, n_)).starts_with(mark);
    });
  }

  // Where the heading (or its chapter) that begins at s, its title at t, ends; rest: where the
  // text after it begins. A short line is the heading whole, but for a poem after the title.
  size_t Cut(size_t s, size_t t, bool isLong, size_t& rest) const {
    const size_t limit = s + kMaxHeadingChars;
    for (size_t i = t; i < n_; ++i) {
      if (PoemAt(i)) {
        rest = i;
        return TrimEnd(i, t);
      }
      if (!isLong) continue;
      if (i >= limit) {
        rest = i;
        return i;
      }
      if (i >= t + kMinTitleChars && (IsBlank(c_[i]) || kTitleEnds.find(c_[i]) != TChars::npos)) {
        rest = Blanks(i);
        return i;
      }
    }
    rest = n_;
    return n_;
  }

  // A whole form: the part begins at s, the title at t.
  TForm Make(size_t s, size_t t, TFormPart part, bool volume, bool weak) const {
    TForm form;
    form.weak = weak;
    form.text = {s, Cut(s, t, Long(s), form.rest)};
    part.label = form.text;
    if (part.numbered.end == 0) part.numbered = part.label;
    (volume ? form.volume : form.chapter) = part;
    return form;
  }

  // A volume at s with a chapter after it on the line: "第十三卷 风云 第2040章 大结局".
  std::optional<TForm> VolumeAndChapter(size_t s, size_t t, const TFormPart& volume) const {
    for (size_t q = std::max(t, s + 1); q < n_; ++q) {
      if (!IsBlank(c_[q - 1])) continue;
      const std::optional<TNumbered> chapter = Numbered(q);
      if (!chapter || chapter->part.rank != 0 || chapter->ending != TEnding::kStrong) continue;
      TForm form;
      const size_t end = Cut(q, Blanks(chapter->after), Long(s), form.rest);
      form.text = {s, end};
      form.volume = volume;
      form.volume->label = {s, TrimEnd(q, s)};
      form.chapter = chapter->part;
      form.chapter->label = {q, end};
      return form;
    }
    return std::nullopt;
  }

  std::optional<TForm> At(size_t s, bool afterLeadWord) const {
    if (s >= n_) return std::nullopt;
    if (c_[s] == U'第') {
      const std::optional<TNumbered> numbered = Numbered(s);
      if (!numbered || numbered->ending == TEnding::kNone) return std::nullopt;
      if (numbered->ending == TEnding::kWeak)
        return Make(s, numbered->after, numbered->part, false, true);
      const size_t t = Blanks(numbered->after);
      if (numbered->part.rank == 0) return Make(s, t, numbered->part, false, false);
      if (std::optional<TForm> both = VolumeAndChapter(s, t, numbered->part)) return both;
      return Make(s, t, numbered->part, true, false);
    }
    if (c_[s] == U'卷') {  // "卷一：木兰歌"
      const size_t number = Blanks(s + 1);
      const size_t at = NumberEnd(number);
      if (at == number || Ending(s, at, false) != TEnding::kStrong) return std::nullopt;
      TFormPart part;
      part.numbered = {s, at};
      part.number = HeadingNumber(c_.substr(number, at - number));
      part.unit = U'卷';
      part.rank = 1;
      const size_t t = Blanks(at);
      if (std::optional<TForm> both = VolumeAndChapter(s, t, part)) return both;
      return Make(s, t, part, true, false);
    }
    if (!Long(s)) {
      for (TChars word : kNamedParts) {
        if (c_.substr(s).starts_with(word) &&
            Ending(s, s + word.size(), false) == TEnding::kStrong) {
          return Make(s, Blanks(s + word.size()), TFormPart{}, false, false);
        }
      }
    }
    // English words take more letters: a line of the window's length may be a heading.
    if (whole_) {
      for (TChars word : kEnglishWords) {
        if (c_.substr(s, n_ - s).starts_with(word)) return English(s, s + word.size());
      }
    }
    if (afterLeadWord) {  // "正文 1 …"
      const size_t at = NumberEnd(s);
      if (at == s || Ending(s, at, false) != TEnding::kStrong) return std::nullopt;
      TFormPart part;
      part.numbered = {s, at};
      part.number = HeadingNumber(c_.substr(s, at - s));
      part.unit = kBareNumber;
      return Make(s, Blanks(at), part, false, false);
    }
    return std::nullopt;
  }

  // "Chapter 12", "CHAPTER IV."
  std::optional<TForm> English(size_t s, size_t start) const {
    size_t at = start;
    std::optional<uint64_t> number;
    if (at < n_ && DigitValue(c_[at]) && c_[at] < 0x80) {
      while (at < n_ && c_[at] >= '0' && c_[at] <= '9')
        ++at;
      number = HeadingNumber(c_.substr(start, at - start));
    } else {
      // "IV" or "iv", not "Ivy": a numeral is written in one case.
      const TChars digits = at < n_ && c_[at] >= 'a' ? U"ivxlcdm" : U"IVXLCDM";
      while (at < n_ && digits.find(c_[at]) != TChars::npos)
        ++at;
      number = ReadRoman(c_.substr(start, at - start));
    }
    if (at == start || !(at == n_ || IsBlank(c_[at]) || IsPunctuation(c_[at]))) return std::nullopt;
    TFormPart part;
    part.numbered = part.label = {s, n_};
    part.numbered.end = at;
    part.number = number;
    part.unit = U'C';
    TForm form;
    form.text = part.label;
    form.rest = n_;
    form.chapter = part;
    return form;
  }

  const TChars c_;
  const bool whole_;
  size_t n_;  // without the blanks at the end of a whole line
};

}  // namespace

// --- The rule -----------------------------------------------------------------------------

struct THeadingRule::TUser {
  QRegularExpression chapter, volume;
};

namespace {

QRegularExpression Pattern(const std::string& regex) {
  return QRegularExpression(QString::fromUtf8(regex),
                            QRegularExpression::UseUnicodePropertiesOption);
}

}  // namespace

THeadingRule::THeadingRule() = default;

THeadingRule::THeadingRule(const std::string& chapterRegex, const std::string& volumeRegex)
    : user_(std::make_unique<TUser>()) {
  for (const std::string* regex : {&chapterRegex, &volumeRegex}) {
    if (const std::string error = PatternError(*regex); !error.empty()) throw Exception(error);
  }
  // An empty expression would match every line.
  if (!chapterRegex.empty()) user_->chapter = Pattern(chapterRegex);
  if (!volumeRegex.empty()) user_->volume = Pattern(volumeRegex);
}

THeadingRule::~THeadingRule() = default;

std::string THeadingRule::PatternError(const std::string& regex) {
  const QRegularExpression pattern = Pattern(regex);
  if (pattern.isValid()) return {};
  return pattern.errorString().toStdString() + " at offset " +
         std::to_string(pattern.patternErrorOffset());
}

std::optional<THeadingRule::TForm> THeadingRule::Parse(std::u32string_view chars,
                                                       bool whole) const {
  const TParser parser(chars, whole);
  if (user_ == nullptr) return parser.Parse();
  size_t n = chars.size();
  while (n > 0 && IsBlank(chars[n - 1]))
    --n;
  if (!whole || n == 0 || n > kMaxHeadingChars) return std::nullopt;
  const QString line = QString::fromUcs4(chars.data(), static_cast<qsizetype>(n));
  const auto matches = [&line](const QRegularExpression& pattern) {
    return !pattern.pattern().isEmpty() && pattern.match(line).hasMatch();
  };
  const bool volume = matches(user_->volume);
  if (!volume && !matches(user_->chapter)) return std::nullopt;
  // The number the line begins with, as a built-in heading has it, or in digits or numerals
  // alone ("一 灭门", "01").
  TFormPart part;
  part.unit = volume ? U'V' : U'U';
  part.rank = volume ? 1 : 0;
  std::optional<TFormPart> read;
  if (const std::optional<TForm> form = parser.Parse()) {
    read = volume ? form->volume : form->chapter;
    if (!read) read = volume ? form->chapter : form->volume;
  }
  if (read && read->number) {
    part.numbered = read->numbered;
    part.number = read->number;
  } else {
    size_t at = 0;
    while (at < n && IsNumberChar(chars[at]))
      ++at;
    part.number = HeadingNumber(chars.substr(0, at));
  }
  TForm heading;
  heading.text = part.label = {0, n};
  if (part.numbered.end == 0) part.numbered = part.label;
  heading.rest = chars.size();
  (volume ? heading.volume : heading.chapter) = part;
  return heading;
}

const THeadingRule& BuiltInHeadingRule() {
  static const THeadingRule rule;
  return rule;
}

namespace {

// The heading line a form makes, its texts taken from the line by text(span).
template <class TText>
THeadingLine LineOf(const TForm& form, TText&& text) {
  THeadingLine line;
  line.text = text(form.text);
  line.weak = form.weak;
  const auto part = [&text](const std::optional<TFormPart>& from) {
    std::optional<THeadingPart> to;
    if (from) {
      to.emplace();
      to->label = text(from->label);
      to->numbered = text(from->numbered);
      to->number = from->number;
      to->unit = from->unit;
      to->rank = from->rank;
    }
    return to;
  };
  line.volume = part(form.volume);
  line.chapter = part(form.chapter);
  return line;
}

}  // namespace

std::optional<std::string_view> HeadingOf(std::string_view line) {
  size_t at = 0;
  size_t length = 0;
  for (size_t blanks = 0; at < line.size() && IsBlank(AnsiCharAt(line, at, length)); ++blanks) {
    if (blanks == kMaxLeadingBlanks) return std::nullopt;
    at += length;
  }
  std::u32string chars;
  std::vector<size_t> offsets = {at};
  while (at < line.size() && chars.size() < THeadingRule::kWindowChars) {
    chars.push_back(AnsiCharAt(line, at, length));
    at += length;
    offsets.push_back(at);
  }
  const std::optional<TForm> form = BuiltInHeadingRule().Parse(chars, at == line.size());
  if (!form || form->weak) return std::nullopt;
  return line.substr(offsets[form->text.begin],
                     offsets[form->text.end] - offsets[form->text.begin]);
}

// --- Lines of a text read in pieces ----------------------------------------------------

namespace {

// The character that begins at p in well-formed UTF-8, and its length.
inline char32_t NextChar(const char* p, size_t& length) {
  const auto* b = reinterpret_cast<const unsigned char*>(p);
  if (b[0] < 0x80) {
    length = 1;
    return b[0];
  }
  if (b[0] < 0xE0) {
    length = 2;
    return static_cast<char32_t>(((b[0] & 0x1F) << 6) | (b[1] & 0x3F));
  }
  if (b[0] < 0xF0) {
    length = 3;
    return static_cast<char32_t>(((b[0] & 0x0F) << 12) | ((b[1] & 0x3F) << 6) | (b[2] & 0x3F));
  }
  length = 4;
  return static_cast<char32_t>(((b[0] & 0x07) << 18) | ((b[1] & 0x3F) << 12) |
                               ((b[2] & 0x3F) << 6) | (b[3] & 0x3F));
}

bool HoldsMoreThanBlanks(std::string_view utf8) {
  for (size_t at = 0, length = 0; at < utf8.size(); at += length) {
    if (!IsBlank(NextChar(utf8.data() + at, length))) return true;
  }
  return false;
}

}  // namespace

TTextLines::TTextLines(const THeadingRule* rule) : rule_(rule) {
  NextLine();
}

TTextLines::~TTextLines() = default;

void TTextLines::NextLine() {
  state_ = rule_ != nullptr ? State::kBlank : State::kPlain;
  count_ = 0;
  leadBytes_ = 0;
  leadBlanks_ = 0;
}

// Steps over the characters of the line that leave it undecided. Stops at the line's end, at
// the piece's end, or at the character where the line is decided: kPlain when it cannot be a
// heading, kFull when it is longer than the window (the character is not taken). Only counts:
// the characters are read again when the line is decided, which most lines never are.
const char* TTextLines::Classify(const char* p, const char* end) {
  const bool builtIn = rule_->BuiltIn();
  while (p != end && *p != '\r' && *p != '\n') {
    size_t length = 0;
    const char32_t c = NextChar(p, length);
    const bool blank = IsBlank(c);
    // Most lines are turned away by their first characters.
    switch (state_) {
      case State::kBlank:
        if (blank) {
          if (++leadBlanks_ > kMaxLeadingBlanks) {
            state_ = State::kPlain;
            return p;
          }
          leadBytes_ += length;
          p += length;
          continue;
        }
        state_ = !builtIn || BeginsHeading(c) ? State::kMaybe : State::kPrefix;
        break;
      case State::kPrefix:
        if (blank) {
          state_ = State::kPrefixGap;
        } else if (count_ >= kMaxPrefixChars) {
          state_ = State::kPlain;
          return p;
        }
        break;
      case State::kPrefixGap:
        if (!blank) {
          if (c != U'第') {
            state_ = State::kPlain;
            return p;
          }
          state_ = State::kMaybe;
        }
        break;
      default:
        break;
    }
    if (count_ == THeadingRule::kWindowChars) {
      state_ = State::kFull;
      return p;
    }
    ++count_;
    p += length;
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

// Decides the line from its characters so far (raw: its bytes so far; whole: it ends there).
// Returns where in raw its text begins: 0 for a line that is no heading, after the heading for
// one taken, raw's size when nothing follows the heading in raw; npos when the line was a
// heading and ends with it.
size_t TTextLines::Decide(std::string_view raw, bool whole) {
  if (state_ != State::kMaybe && state_ != State::kFull) return 0;
  chars_.clear();
  offsets_.assign(1, leadBytes_);
  for (size_t at = leadBytes_, length = 0; at < raw.size(); at += length) {
    chars_.push_back(NextChar(raw.data() + at, length));
    offsets_.push_back(at + length);
  }
  const std::optional<THeadingRule::TForm> form = rule_->Parse(chars_, whole);
  if (!form) return 0;
  const auto text = [&](TSpan span) {
    return Utf8TextToAnsi(
        raw.substr(offsets_[span.begin], offsets_[span.end] - offsets_[span.begin]));
  };
  if (!Heading(LineOf(*form, text))) return 0;
  if (form->rest < chars_.size()) return offsets_[form->rest];
  return whole ? std::string_view::npos : raw.size();
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
      const bool decided = state_ == State::kPlain || state_ == State::kFull;
      if (!decided && p == end) {
        held_.append(line, end);
        return;
      }
      std::string_view raw(line, static_cast<size_t>(p - line));
      if (!held_.empty()) raw = held_.append(raw);
      if (!decided) {  // the line ends undecided
        if (const size_t from = Decide(raw, true); from != std::string_view::npos)
          Line(raw.substr(from));
        held_.clear();
        line = p = AfterLineEnd(p, end);
        NextLine();
        continue;
      }
      const size_t from = Decide(raw, false);
      state_ = State::kPlain;
      if (held_.empty()) {
        line += from;  // the rest of the line goes on from there
      } else {
        if (from < raw.size()) Part(raw.substr(from));
        held_.clear();
        line = p;
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
  } else if (const size_t from = Decide(held_, true); from != std::string_view::npos) {
    Line(std::string_view(held_).substr(from));
  }
  held_.clear();
  afterCr_ = false;
  NextLine();
}

// --- The first pass ---------------------------------------------------------------------

namespace {

using TRole = THeadingPlan::TRole;

constexpr size_t kHeadingsToSplit = 2;
constexpr size_t kContentsBlock = 3;  // heading lines in a row at the top that list the others
constexpr size_t kReportedHeadings = 3;

// Every line of a source that may be a heading, and whether text stands before it.
class TPlanner final : public TTextLines {
 public:
  explicit TPlanner(const THeadingRule& rule) : TTextLines(&rule) {}

  struct TFound {
    THeadingLine line;
    bool textBefore;  // since the line before that may be a heading
  };
  std::vector<TFound> found;
  bool text = false;  // since the last of them
  bool more = false;  // heading lines after kMaxSplitHeadings of them

 private:
  void Part(std::string_view utf8) override { Seen(utf8); }
  void Line(std::string_view utf8) override { Seen(utf8); }
  bool Heading(const THeadingLine& heading) override {
    // Beyond the bound a heading line stays text, and so do the pages it would have made.
    if (found.size() >= kMaxSplitHeadings) {
      more = true;
      return false;
    }
    found.push_back({heading, text});
    text = false;
    return true;
  }
  void Seen(std::string_view utf8) {
    if (!text) text = HoldsMoreThanBlanks(utf8);
  }
};

bool HoldsChapter(const THeadingLine& line) {
  return line.chapter.has_value();
}

// Weak headings found from i to j count where their numbers go on from the heading before them
// to the one after, one by one, in one unit.
bool FillsGap(const std::vector<TPlanner::TFound>& found, size_t i, size_t j) {
  if (i == 0 || j >= found.size()) return false;
  const std::optional<THeadingPart>& before = found[i - 1].line.chapter;
  const std::optional<THeadingPart>& after = found[j].line.chapter;
  if (!before || !after || !before->number || !after->number) return false;
  uint64_t next = *before->number;
  for (size_t k = i; k <= j; ++k) {
    const THeadingPart& part = *found[k].line.chapter;
    if (part.unit != before->unit || !part.number || *part.number != ++next) return false;
  }
  return true;
}

bool SameVolume(const THeadingPart& a, const THeadingPart& b) {
  return a.label == b.label || (a.number && b.number && a.unit == b.unit && *a.number == *b.number);
}

THeadingPlan MakePlan(std::vector<TPlanner::TFound> found, bool textAtEnd) {
  const size_t n = found.size();
  THeadingPlan plan;
  plan.entries.resize(n);
  std::vector<bool> taken(n, true);
  for (size_t i = 0; i < n;) {
    if (!found[i].line.weak) {
      ++i;
      continue;
    }
    size_t j = i;
    while (j < n && found[j].line.weak)
      ++j;
    const bool fits = FillsGap(found, i, j);
    for (; i < j; ++i)
      taken[i] = fits;
  }

  // A file without numbered chapters takes its smallest volumes for chapters ("第一卷" …
  // alone), and keeps the larger ones ("第一部") above them.
  bool numberedChapters = false;
  for (size_t k = 0; k < n; ++k)
    numberedChapters |= taken[k] && found[k].line.chapter && found[k].line.chapter->unit != 0;
  if (!numberedChapters) {
    int smallest = 0;
    for (size_t k = 0; k < n; ++k) {
      if (taken[k] && found[k].line.volume &&
          (smallest == 0 || found[k].line.volume->rank < smallest))
        smallest = found[k].line.volume->rank;
    }
    for (TPlanner::TFound& f : found) {
      if (f.line.volume && !f.line.chapter && f.line.volume->rank == smallest) {
        f.line.chapter = std::move(f.line.volume);
        f.line.volume.reset();
      }
    }
  }

  // Text between each taken heading and the next one.
  std::vector<bool> textAfter(n);
  bool text = textAtEnd;
  for (size_t k = n; k-- > 0;) {
    if (taken[k]) {
      textAfter[k] = text;
      text = found[k].textBefore;
    } else {
      text = true;
    }
  }
  plan.textBeforeFirst = text;

  // The contents block at the top: the first headings in a row, without text between them,
  // but for the last one and the volumes right before it, which begin the book itself.
  std::vector<size_t> run;
  for (size_t k = 0; k < n; ++k) {
    if (!taken[k]) continue;
    run.push_back(k);
    if (textAfter[k]) break;
  }
  if (run.size() >= kContentsBlock) {
    size_t begin = run.size() - 1;
    while (begin > 0 && !HoldsChapter(found[run[begin - 1]].line))
      --begin;
    for (size_t r = 0; r < begin; ++r)
      taken[run[r]] = false;
    if (begin > 0) plan.textBeforeFirst = true;
  }

  const THeadingPart* volume = nullptr;
  for (size_t k = 0; k < n; ++k) {
    THeadingPlan::TEntry& entry = plan.entries[k];
    entry.line = std::move(found[k].line);
    if (!taken[k]) continue;
    const THeadingLine& line = entry.line;
    if (line.volume && !(line.chapter && volume != nullptr && SameVolume(*volume, *line.volume))) {
      volume = &*line.volume;
      entry.role = line.chapter ? TRole::hrVolumeAndChapter : TRole::hrVolume;
    } else {
      entry.role = TRole::hrChapter;
    }
  }
  // A volume without text of its own is shown on its first chapter's page.
  TRole next = TRole::hrText;
  for (size_t k = n; k-- > 0;) {
    THeadingPlan::TEntry& entry = plan.entries[k];
    if (entry.role == TRole::hrText) continue;
    entry.page = entry.role != TRole::hrVolume || textAfter[k] || next != TRole::hrChapter;
    next = entry.role;
  }
  return plan;
}

}  // namespace

bool THeadingPlan::Split() const {
  return std::count_if(entries.begin(), entries.end(), [](const TEntry& entry) {
           return entry.role != TRole::hrText;
         }) >= static_cast<ptrdiff_t>(kHeadingsToSplit);
}

THeadingReport THeadingPlan::Report() const {
  THeadingReport report;
  report.headingsLeftAsText = headingsLeftAsText;
  std::vector<const std::string*> labels;
  // The last numbered chapter of each unit, and whether the volume has had one of it: the
  // first of a volume may begin the numbers anew, or go on from the volume before.
  struct TLast {
    const THeadingPart* part;
    bool inVolume;
  };
  std::vector<TLast> lastOfUnit;
  for (const TEntry& entry : entries) {
    if (entry.role == TRole::hrText) continue;
    if (entry.role != TRole::hrChapter) {
      ++report.volumes;
      labels.push_back(&entry.line.volume->label);
      for (TLast& last : lastOfUnit)
        last.inVolume = false;
    }
    if (entry.role == TRole::hrVolume) continue;
    const THeadingPart& chapter = *entry.line.chapter;
    ++report.chapters;
    labels.push_back(&chapter.label);
    if (!chapter.number) continue;
    const auto last = std::find_if(lastOfUnit.begin(), lastOfUnit.end(),
                                   [&](const TLast& l) { return l.part->unit == chapter.unit; });
    if (last == lastOfUnit.end()) {
      lastOfUnit.push_back({&chapter, true});
      continue;
    }
    const uint64_t number = *chapter.number;
    if (number != *last->part->number + 1 && (last->inVolume || number > 1))
      report.gaps.push_back({last->part->numbered, chapter.numbered});
    *last = {&chapter, true};
  }
  // All of them when they are few.
  const bool few = labels.size() <= 2 * kReportedHeadings;
  for (size_t k = 0; k < labels.size(); ++k) {
    if (few || k < kReportedHeadings) {
      report.first.push_back(*labels[k]);
    } else if (k >= labels.size() - kReportedHeadings) {
      report.last.push_back(*labels[k]);
    }
  }
  return report;
}

THeadingPlan PlanHeadings(TSourceText& source, const THeadingRule& rule,
                          const std::function<bool()>& between) {
  std::optional<TPlanner> planner(std::in_place, rule);
  bool stopped = false;
  source.Read(
      [&](std::string_view utf8) {
        planner->Text(utf8);
        if (between && !between()) {
          stopped = true;
          source.Stop();
        }
      },
      [&] { planner.emplace(rule); });
  if (stopped) return {};
  planner->Finish();
  THeadingPlan plan = MakePlan(std::move(planner->found), planner->text);
  plan.headingsLeftAsText = planner->more;
  return plan;
}

std::vector<TSplitFile> FilesToSplit(const std::vector<TChapter>& chapters,
                                     const THeadingRule& rule,
                                     const std::function<bool()>& between) {
  bool go = true;
  const std::function<bool()> next = [&] { return go = !between || between(); };
  std::vector<TSplitFile> files;
  for (size_t i = 0; i < chapters.size(); ++i) {
    try {
      TSourceText source(chapters[i].path, chapters[i].encoding);
      const THeadingPlan plan = PlanHeadings(source, rule, next);
      if (go && plan.Split()) files.push_back({i, plan.Report()});
    } catch (const Exception&) {
      // Left to the conversion, which stops with this file's error.
    }
    if (!go || !next()) return {};
  }
  return files;
}

}  // namespace lumbrella
