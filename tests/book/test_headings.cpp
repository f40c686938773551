#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "book/decode.h"
#include "book/headings.h"
#include "common/test_util.h"
#include "platform/codepage.h"
#include "test_convert_util.h"

namespace lumbrella {
namespace {

// The lines of a text given in pieces of one character each: a heading as "<heading>".
class TLinesSeen final : public TTextLines {
 public:
  explicit TLinesSeen(const std::string& utf8) : TTextLines(true) {
    for (size_t at = 0; at < utf8.size();) {
      size_t length = 1;
      while (at + length < utf8.size() && (utf8[at + length] & 0xC0) == 0x80)
        ++length;
      Text(std::string_view(utf8).substr(at, length));
      at += length;
    }
    Finish();
  }
  std::vector<std::string> lines;

 private:
  void Part(std::string_view utf8) override { part_ += utf8; }
  void Line(std::string_view utf8) override {
    lines.push_back(part_ + std::string(utf8));
    part_.clear();
  }
  void Heading(std::string_view ansi) override { lines.push_back("<" + AnsiToUtf8(ansi) + ">"); }
  std::string part_;
};

// Lines as a novel holds them (UTF-8 here, ANSI to the rule) and the heading each one is.
TEST(Headings, WhichLinesAreHeadings) {
  // 40 characters, 77 bytes in ANSI: characters are counted.
  const std::string forty = std::string("第一章 风起云涌") +
                            "一二三四五六七八九十一二三四五六七八九十"
                            "一二三四五六七八九十一二";
  const struct {
    std::string line;
    std::string heading;  // empty: no heading
  } cases[] = {
      {"第一章", "第一章"},
      {"第一章 风起", "第一章 风起"},
      {"　　第十二章　风起云涌　　", "第十二章　风起云涌"},
      {"\t 第100回：大结局 \t", "第100回：大结局"},
      {"第１２章 全角数字", "第１２章 全角数字"},
      {"第两千零一节", "第两千零一节"},
      {"第〇卷·序", "第〇卷·序"},
      {"第五部——归来", "第五部——归来"},
      {"第三集(上)", "第三集(上)"},
      {"第七篇《远方》", "第七篇《远方》"},
      {"第一章的故事很长", ""},          // a word goes on after 章
      {"第一次见面", ""},                // 次 is no chapter word
      {"第章", ""},                      // no number
      {"第一", ""},                      // no chapter word
      {"他翻开第一章，读了起来。", ""},  // the phrase does not begin the line
      {forty, forty},
      {forty + "　　 ", forty},  // blanks at the end do not count
      {forty + "三", ""},        // 41 characters
      {"番外", "番外"},
      {"番外：重逢", "番外：重逢"},
      {"番外　重逢", "番外　重逢"},
      {"番外篇", ""},
      {"序章", "序章"},
      {"楔子 ", "楔子"},
      {"后记，致谢", "后记，致谢"},
      {"后记得那天", ""},
      {"序幕", ""},
      {"Chapter IV", "Chapter IV"},
      {"Chapter iv.", "Chapter iv."},
      {"CHAPTER 7: The End", "CHAPTER 7: The End"},
      {"Chapter 12", "Chapter 12"},
      {"Chapter Ivy", ""},  // a word, not a numeral
      {"Chapter 3rd", ""},
      {"Chapter One", ""},
      {"chapter 1", ""},
      {"Chapter\t1", ""},
      {"Chapter ", ""},
      {"", ""},
      {"　　", ""},
      {std::string(256, ' ') + "第一章" + std::string(256, '\t'), "第一章"},
      {std::string(257, ' ') + "第一章", ""},  // more blanks than a heading has
      {"第一章" + std::string(257, ' '), ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const std::string line = Utf8ToAnsi(c.line);
    const std::optional<std::string_view> heading = HeadingOf(line);
    EXPECT_EQ(heading ? AnsiToUtf8(*heading) : "", c.heading);
    // The same line in a text read in pieces.
    const std::string seen = c.heading.empty() ? c.line : "<" + c.heading + ">";
    EXPECT_EQ(TLinesSeen("x\n" + c.line + "\r\ny").lines,
              (std::vector<std::string>{"x", seen, "y"}));
  }
}

// A line that cannot be a heading any more is passed on as it comes, not held: of a long
// line of blanks, or of a heading followed by them, never more than a heading's blanks.
TEST(Headings, ALineOfBlanksIsNotHeldWhole) {
  class TCounted final : public TTextLines {
   public:
    TCounted() : TTextLines(true) {}
    using TTextLines::Text;
    size_t passed = 0;

   private:
    void Part(std::string_view utf8) override { passed += utf8.size(); }
    void Line(std::string_view utf8) override { passed += utf8.size(); }
    void Heading(std::string_view ansi) override { passed += ansi.size(); }
  };
  const std::string piece(1000, ' ');
  for (const std::string start : {"", "第二章", "　　第二章　"}) {
    SCOPED_TRACE(start);
    TCounted lines;
    lines.Text(start);
    size_t given = start.size();
    for (int i = 0; i < 100; ++i) {
      lines.Text(piece);
      given += piece.size();
      ASSERT_LE(given - lines.passed, 2048u) << "after " << given << " bytes";
    }
  }
}

// A file is split at its first kMaxSplitHeadings headings; the lines after them that would
// be headings stay text, whole.
TEST(Headings, AFileIsSplitAtTheFirstHeadingsUpToTheBound) {
  class TCounted final : public TTextLines {
   public:
    TCounted() : TTextLines(true) {}
    using TTextLines::Finish;
    using TTextLines::Text;
    size_t headings = 0;
    std::vector<std::string> lines;

   private:
    void Part(std::string_view utf8) override { part_ += utf8; }
    void Line(std::string_view utf8) override {
      if (!part_.empty() || !utf8.empty()) lines.push_back(part_ + std::string(utf8));
      part_.clear();
    }
    void Heading(std::string_view) override { ++headings; }
    std::string part_;
  };
  TCounted lines;
  std::string text;
  for (size_t i = 0; i < kMaxSplitHeadings; ++i)
    text += "第" + std::to_string(i + 1) + "章\n";
  text += " 第一章 \n正文\n";
  lines.Text(text);
  lines.Finish();
  EXPECT_EQ(lines.headings, kMaxSplitHeadings);
  EXPECT_TRUE(lines.HeadingsLeftAsText());
  EXPECT_EQ(lines.lines, (std::vector<std::string>{" 第一章 ", "正文"}));
}

// The scan before the window's question reads a file up to its second heading, and hands
// control back after each block and each file.
TEST(Headings, TheScanBeforeTheQuestionStopsAtTheSecondHeading) {
  test::TempFolder dir;
  const std::string big = test::Repeat("雨夜。\r\n", 20000);
  const int blocks =
      static_cast<int>((big.size() + 8 + TSourceText::kBlockSize - 1) / TSourceText::kBlockSize);
  ASSERT_GT(blocks, 1);
  const struct {
    const char* name;
    std::vector<std::string> files;  // "" for one that is missing
    int allowed;                     // calls before the scan is told to stop
    bool holds;
    int calls;
  } cases[] = {
      {"two headings at the start", {"第一章\n第二章\n" + big}, 99, true, 0},
      {"one heading", {"第一章\n" + big}, 99, false, blocks + 1},
      {"GB18030, after a long file",
       {big, Utf8ToAnsi("第一章\r\n第二章\r\n")},
       99,
       true,
       blocks + 1},
      {"a file that cannot be read counts as none", {"", "第一章\n第二章\n"}, 99, true, 1},
      {"told to stop between blocks", {big, "第一章\n第二章"}, 2, false, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<TChapter> chapters;
    for (size_t i = 0; i < c.files.size(); ++i) {
      const std::string path = dir / (std::to_string(i) + ".txt");
      std::filesystem::remove(path);
      if (!c.files[i].empty()) test::WriteBytes(path, c.files[i]);
      chapters.push_back({std::to_string(i), path});
    }
    int calls = 0;
    EXPECT_EQ(AnyFileHoldsHeadings(chapters, [&] { return ++calls <= c.allowed; }), c.holds);
    EXPECT_EQ(calls, c.calls);
  }
}

}  // namespace
}  // namespace lumbrella
