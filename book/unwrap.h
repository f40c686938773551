// From lines to paragraphs. A plain-text file gives its paragraphs in one of a few shapes: a
// line each, a line each with blank lines between them, or lines wrapped at a fixed width
// (Project Gutenberg's 70 columns, Chinese downloads cut every 38 to 50 characters). The
// shape of the lines at a file's start decides which (LayoutOf); TParagraphs then turns the
// lines into paragraphs as the text is read: without the blanks around them, without the
// blank lines between them, wrapped lines joined, and a break between scenes kept where the
// file marks one with blank lines.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace lumbrella {

// Whether the lines of a hard-wrapped file are joined into paragraphs: auto when the file
// looks wrapped (LayoutOf), on always, off never.
enum class TUnwrap { uwAuto, uwOn, uwOff };

// How a text's lines become paragraphs.
struct TTextLayout {
  // Lines are joined: a line goes on in the next one unless the next is blank or indented,
  // the line ends a sentence (when sentenceEndsBreak), or it was wrapped at width (0: not
  // known) and the next line's first word would have fitted on it.
  bool joinLines = false;
  size_t width = 0;
  // Joined lines meet without a space: the text is mostly Chinese, which a wrap may cut
  // anywhere. Elsewhere they meet with one, but where either side is a wide character or the
  // first ends in a hyphen or a dash.
  bool closeJoins = false;
  // How width counts: characters, or columns, where a Chinese character takes two (as a
  // file wrapped at a number of GBK bytes, or in a terminal, counts them).
  bool columns = false;
  // The file marks paragraphs neither with blank lines nor with indents, so a line that ends
  // a sentence ends its paragraph; where it does, a sentence end is no sign.
  bool sentenceEndsBreak = true;
  // Blank lines between paragraphs: a run of at least this many shows as a break between
  // scenes. One where blank lines are rare; one more than the usual run where blank lines
  // separate the paragraphs.
  size_t sceneRun = 1;
};

// Blanks at the ends of a line and of a paragraph: space, tab, U+3000 and U+00A0. A line is
// indented when it begins with two spaces or more or with another blank; a single space is
// where a wrap left the space between two words.
bool IsParagraphBlank(char32_t c);
// Characters a page leaves out (the controls XML forbids, U+FFFE and U+FFFF): at the ends of a
// paragraph they count as blanks, so that none is left there once they go.
bool IsLeftOut(char32_t c);
// A wide character: ideographs, kana, hangul, the full-width forms. Its neighbours in a
// paragraph follow it without a space between lines, and a line may end before any of them.
bool IsWide(char32_t c);
// Columns in a Chinese fixed-width font: 2 for a wide character and for the punctuation and
// symbols Chinese fonts set wide (curly quotes, dashes, the ellipsis, the middle dot), else 1.
size_t ColumnsOf(char32_t c);

// What the first pass finds about a text's lines, gathered line by line: how wide they are
// (in characters and in columns, without the blanks at their end), which end a sentence, which
// are indented, and how long the runs of blank lines between them are.
class TLineShapes {
 public:
  static constexpr size_t kMaxWidth = 255;  // wider lines are counted together

  void Text(std::string_view utf8);  // more of the current line, without line ends
  void LineEnd();

  // The layout these lines call for.
  TTextLayout Layout(TUnwrap unwrap) const;

 private:
  // The lines counted at each width, and in one bucket the wider ones.
  using THistogram = std::array<uint32_t, kMaxWidth + 2>;
  // The widths of one way of counting.
  struct TWidths {
    THistogram lines{}, ending{};  // of all lines, of those that end a sentence
    // Of a line followed by one that is neither blank nor indented: whether it ends one.
    THistogram goesOn{}, goesOnEnding{};
  };
  struct TLine {
    size_t width[2] = {};  // characters and columns up to the last character that is no blank
    size_t count[2] = {};  // all of them so far
    bool blank = true;
    size_t leadingSpaces = 0;
    bool leadingOther = false;  // a blank other than a space before the text
    bool endsSentence = false;
    bool Indented() const { return leadingOther || leadingSpaces >= 2; }
  };
  static size_t Bucket(size_t width) { return std::min(width, kMaxWidth + 1); }
  // The width most lines end close to, when the text is wrapped; else 0. near: how many do.
  size_t WrapWidth(const TWidths& widths, uint64_t& near) const;

  TLine line_;
  TLine previous_;  // the last line that was not blank
  size_t blankRun_ = 0;
  bool anyLine_ = false;  // a line that is not blank has come

  uint32_t lines_ = 0;  // not blank
  TWidths widths_[2];   // in characters, in columns
  uint32_t indentedAfterText_ = 0;
  uint64_t wide_ = 0, narrow_ = 0;  // characters other than blanks
  std::array<uint32_t, 9> runs_{};  // runs of blank lines between lines, by length (8: 8 or more)
};

// The layout is decided on the start of a text, held while it arrives: its first
// kLayoutSampleBytes (a wrapped text shows its width long before that end). LayoutOf measures
// the lines of that much of the sample (cut before a character, the last line where it ends)
// and decides.
inline constexpr size_t kLayoutSampleBytes = 64 << 10;
TTextLayout LayoutOf(std::string_view sample, TUnwrap unwrap);

// Lines in, paragraphs out, as the text arrives: blanks at both ends of each paragraph are
// left out, blank lines begin no paragraph, and joined lines meet directly where either side
// is Chinese (or after a hyphen or a dash) and with one space elsewhere. Memory does not grow
// with a line or a paragraph.
class TParagraphs {
 public:
  class TSink {
   public:
    // A paragraph begins; scene: it is the first after a break between scenes.
    virtual void BeginParagraph(bool scene) = 0;
    virtual void ParagraphText(std::string_view utf8) = 0;
    virtual void EndParagraph() = 0;

   protected:
    ~TSink() = default;
  };

  TParagraphs(const TTextLayout& layout, TSink& sink);

  void Text(std::string_view utf8);  // more of the current line: well-formed UTF-8, no line end
  void LineEnd();
  // A section ends here (at a heading that begins a page, or at the end of the text): so does
  // the open paragraph, and the next one is its section's first.
  void Close();

  // No paragraph in this section yet, not even a line begun.
  bool Empty() const { return !written_ && !lineStarted_; }

 private:
  void StartLine(char32_t first);
  size_t WidthOf(char32_t c) const;
  void Measure(std::string_view utf8);
  void Decide(bool goOn);
  void CloseParagraph();
  void ResetLine();

  const TTextLayout layout_;
  TSink& sink_;
  bool open_ = false;     // a paragraph has begun and not ended
  bool written_ = false;  // a paragraph has begun in this section
  size_t blankRun_ = 0;   // blank lines since the last line of text
  // The open paragraph's last line: whether it may go on in the next, its width and its last
  // character.
  bool goesOn_ = false;
  size_t lastWidth_ = 0;
  char32_t last_ = 0;
  // The current line.
  bool lineStarted_ = false;  // a character that is no blank has come
  size_t leadingSpaces_ = 0;  // before it
  bool leadingOther_ = false;
  size_t width_ =
      0;  // when lines are joined: its columns up to its last character that is no blank
  size_t columns_ = 0;  // and all its columns
  bool endsSentence_ = false;
  char32_t lineLast_ = 0;
  std::string blanks_;  // blanks after its last character that is no blank, not yet written
  // Whether the line goes on the open paragraph waits for its first word (held here) to show
  // whether it would have fitted on the line before, in room columns.
  bool deciding_ = false;
  bool space_ = false;  // a space between the lines, if joined
  std::string word_;
  size_t wordColumns_ = 0;
  size_t room_ = 0;
};

}  // namespace lumbrella
