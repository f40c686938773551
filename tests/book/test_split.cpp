// The pages a chapter file becomes, written as it is read: each one checked against what the
// text says it must be, and the same whatever blocks the source is read in.
#include <gtest/gtest.h>

#include <QXmlStreamReader>
#include <filesystem>
#include <optional>
#include <string>
#include <vector>

#include "book/decode.h"
#include "book/documents.h"
#include "book/split.h"
#include "common/test_util.h"
#include "platform/codepage.h"
#include "test_convert_util.h"

namespace lumbrella {
namespace {

using test::TempFolder;
using test::TNovel;

// What a page holds, as stored and as a reader sees it.
struct TPage {
  std::string bytes;
  std::string rawTitle;  // between <title> and </title>, escaped
  std::string rawBody;   // between <body> and </body>
  std::string title;     // the texts, unescaped
  std::optional<std::string> heading;
  std::vector<std::string> paragraphs;
  size_t firstParagraphSize = 0;  // bytes of the first paragraph as stored, tags and all
};

std::string Between(const std::string& bytes, const std::string& open, const std::string& close) {
  const size_t begin = bytes.find(open);
  const size_t end = bytes.find(close, begin);
  if (begin == std::string::npos || end == std::string::npos) return "(no " + open + ")";
  return bytes.substr(begin + open.size(), end - begin - open.size());
}

TPage PageOf(const std::string& bytes) {
  TPage page;
  page.bytes = bytes;
  page.rawTitle = Between(bytes, "<title>", "</title>");
  page.rawBody = Between(bytes, "<body>", "</body>");
  if (const size_t p = page.rawBody.find("<p"); p != std::string::npos)
    page.firstParagraphSize = page.rawBody.find("</p>", p) + 4 - p;
  QXmlStreamReader xml(QByteArray(bytes.data(), static_cast<qsizetype>(bytes.size())));
  while (!xml.atEnd()) {
    if (xml.readNext() != QXmlStreamReader::StartElement) continue;
    const QString name = xml.name().toString();
    if (name == "title" || name == "h2" || name == "p") {
      const std::string text = xml.readElementText().toStdString();
      if (name == "title") page.title = text;
      if (name == "h2") page.heading = text;
      if (name == "p") page.paragraphs.push_back(text);
    }
  }
  EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
  EXPECT_TRUE(bytes.starts_with("<?xml version=\"1.0\" encoding=\"UTF-8\"?>"));
  return page;
}

// The pages of chapter 0 in folder, in reading order; the folder must hold nothing else.
std::vector<TPage> PagesIn(const std::string& folder) {
  const std::map<std::string, std::string> files = test::FilesIn(folder);
  std::vector<TPage> pages;
  while (files.count(PageFileName(0, pages.size())) != 0)
    pages.push_back(PageOf(files.at(PageFileName(0, pages.size()))));
  EXPECT_EQ(pages.size(), files.size()) << "files that are no pages of the chapter";
  return pages;
}

struct TWritten {
  std::vector<TPage> pages;
  TChapterPages chapter;
};

// The chapter written, unsplit or split, from its file read in blocks of the given size; every
// file of the chapter is written anew.
TWritten Write(const std::string& dir, const std::string& label, bool split, size_t block,
               TUnwrap unwrap = TUnwrap::uwAuto) {
  const std::string folder = dir + "pages/";
  std::filesystem::remove_all(folder);
  test::MakeDirs(folder);
  TSourceText source(dir + "chapter.txt", block);
  TWritten written;
  written.chapter =
      split ? WriteSplitChapter(folder, 0, label, source, BuiltInHeadingRule(), nullptr, unwrap)
            : WriteChapterPage(folder, 0, label, source, unwrap);
  written.pages = PagesIn(folder);
  return written;
}

constexpr size_t kBlocks[] = {1, 61, TSourceText::kBlockSize};

// The text as a page stores it.
std::string Escaped(const std::string& text) {
  std::string out;
  for (const char c : text)
    out += c == '&' ? "&amp;" : c == '<' ? "&lt;" : c == '>' ? "&gt;" : std::string(1, c);
  return out;
}

// Texts small enough to say each page whole: "title|body" as stored; the headings found
// "page label", a volume's "page *label". Line ends are one rule: CR LF, a lone LF or a lone
// CR. A paragraph has no blanks at its ends, a blank line makes none, and a run of blank lines
// longer than the text has between paragraphs shows as a break ("scene").
TEST(Pages, OfSmallTextsInAnyBlocks) {
  // Wrapped at 24 characters: Chinese paragraphs, each indented, then a short line that is
  // no paragraph's.
  TNovel chinese;
  chinese.Wrapped(6, 24).Line("——完");
  std::string chineseBody, chineseLines;
  for (const std::string& paragraph : chinese.shown)
    chineseBody += "<p>" + Escaped(paragraph) + "</p>";
  for (const std::string& line : chinese.source)
    chineseLines += "<p>" + Escaped(test::Trimmed(line)) + "</p>";
  // Wrapped at 40 columns, a Chinese character taking two: Chinese with digits and Latin
  // letters, whose lines hold between 20 and 24 characters.
  static const std::string kMixed[] = {"他在2019年走进ABC书店，", "买了3本旧书和1支笔，",
                                       "店主说OK，下次再来。", "雨下了整整一个下午，",
                                       "门外的2辆车都没有动。"};
  std::string mixed, mixedBody;
  for (int i = 0; i < 5; ++i) {
    std::string paragraph;
    for (int k = 0; k < 3 + i % 3; ++k)
      paragraph += kMixed[(i + k) % 5];
    mixedBody += "<p>" + paragraph + "</p>";
    size_t columns = 4;
    mixed += "　　";
    for (size_t at = 0, length = 0; at < paragraph.size(); at += length) {
      length = static_cast<unsigned char>(paragraph[at]) < 0x80 ? 1 : 3;
      columns += length == 1 ? 1 : 2;
      if (columns > 40) {
        mixed += "\n";
        columns = length == 1 ? 1 : 2;
      }
      mixed += paragraph.substr(at, length);
    }
    mixed += "\n";
  }
  // Wrapped at 40 columns: English, blank lines between paragraphs (so a line that ends a
  // sentence goes on), and a line that ends where the next word would have fitted.
  const std::string english =
      "It was a bright cold day in April, and\n"
      "the clocks were striking thirteen.\n"
      "Winston Smith, his chin nuzzled into his\n"
      "breast in an effort to escape the vile\n"
      "wind, slipped quickly through the glass\n"
      "doors of Victory Mansions.\n"
      "\n"
      "The hallway smelt of boiled cabbage and\n"
      "old rag mats. At one end of it a\n"
      "coloured poster, too large for indoor\n"
      "display, had been tacked to the wall.\n"
      "It depicted simply an enormous face,\n"
      "more than a metre wide.\n"
      "\n"
      "Big Brother is watching you.\n";
  const std::string englishBody =
      "<p>It was a bright cold day in April, and the clocks were striking thirteen. Winston "
      "Smith, his chin nuzzled into his breast in an effort to escape the vile wind, slipped "
      "quickly through the glass doors of Victory Mansions.</p><p>The hallway smelt of boiled "
      "cabbage and old rag mats. At one end of it a coloured poster, too large for indoor "
      "display, had been tacked to the wall.</p><p>It depicted simply an enormous face, more "
      "than a metre wide.</p><p>Big Brother is watching you.</p>";
  // Lines of one width, every one a sentence of its own: not wrapped.
  std::string sentences, sentencesBody;
  for (int i = 0; i < 10; ++i) {
    const std::string sentence =
        "第" + std::to_string(i) + "句，巷子尽头有一家旧书店，店主是个老人。";
    sentences += sentence + "\r\n";
    sentencesBody += "<p>" + sentence + "</p>";
  }

  const struct {
    const char* name;
    bool split;
    std::string text;
    std::vector<std::string> pages;
    std::vector<std::string> headings = {};
    TUnwrap unwrap = TUnwrap::uwAuto;
  } cases[] = {
      // Where blank lines are rare, each run is a break between scenes.
      {"line ends: CR LF, a lone CR, and LF CR is two",
       false,
       "A\r\nB\rC\n\rD",
       {"L|<p>A</p><p>B</p><p>C</p><p class=\"scene\">D</p>"}},
      // Where they separate paragraphs, a longer run is a break.
      {"blank lines between paragraphs",
       false,
       "A\n\nB\n\nC\n\n\nD\n\nE\n\n",
       {"L|<p>A</p><p>B</p><p>C</p><p class=\"scene\">D</p><p>E</p>"}},
      {"ends with CR LF", false, "A\r\n", {"L|<p>A</p>"}},
      {"empty", false, "", {"L|<p></p>"}},
      {"blanks alone", false, " \r\n\t\xC2\xA0\r\n　", {"L|<p></p>"}},
      {"one indent: the blanks at both ends go, those inside stay",
       false,
       "　　A b　\r\n \u00A0B\t \r\n\tC  c　 ",
       {"L|<p>A b</p><p>B</p><p>C  c</p>"}},
      {"markup escaped, quotes kept",
       false,
       "1 < 2 & 3 > \"q\" 'a'\r\n",
       {"L|<p>1 &lt; 2 &amp; 3 &gt; \"q\" 'a'</p>"}},
      {"controls dropped, tab kept, no blank left at the ends",
       false,
       std::string("\x01 a\x07\x1B\0\tb\x7F \x02", 11),
       {"L|<p>a\tb\x7F</p>"}},
      {"U+FFFE and U+FFFF dropped, other characters led by EF kept",
       false,
       "\xEF\xBF\xBE\xEF\xBF\xBF\xEF\xBF\xBD\xEF\xBC\x8C",
       {"L|<p>\uFFFD，</p>"}},
      {"a first line that is a heading is the page's, later ones are lines",
       false,
       "\r\n　第一章 出山 \r\nA\r\n第二章\r\nB",
       {"L|<h2>第一章 出山</h2><p>A</p><p>第二章</p><p>B</p>"}},
      {"a first line that is no heading",
       false,
       "第一章之前\r\n第一章",
       {"L|<p>第一章之前</p><p>第一章</p>"}},
      {"not UTF-8: written again as ANSI", false, "a\r\nb\xC3(", {"L|<p>a</p><p>b\uFFFD(</p>"}},
      {"wrapped Chinese", false, TNovel::Joined(chinese.source, "\r\n"), {"L|" + chineseBody}},
      {"wrapped Chinese, unwrapping off",
       false,
       TNovel::Joined(chinese.source, "\r\n"),
       {"L|" + chineseLines},
       {},
       TUnwrap::uwOff},
      {"wrapped English", false, english, {"L|" + englishBody}},
      {"wrapped at a number of columns", false, mixed, {"L|" + mixedBody}},
      {"not wrapped", false, sentences, {"L|" + sentencesBody}},
      {"unwrapping on: Latin lines meet with a space, Chinese and after a hyphen without; a "
       "sentence ends its paragraph",
       false,
       "one\ntwo well-\nknown\n中文\n接着 “Oh.”\nlast",
       {"L|<p>one two well-known中文接着 “Oh.”</p><p>last</p>"},
       {},
       TUnwrap::uwOn},
      {"text before the first heading",
       true,
       "P\r\n第一章\r\nA\r\nB\r\n第二章\r\nC",
       {"L|<p>P</p>", "第一章|<h2>第一章</h2><p>A</p><p>B</p>", "第二章|<h2>第二章</h2><p>C</p>"},
       {"1 第一章", "2 第二章"}},
      {"blank text before it is left out, and blank lines around headings",
       true,
       "\r\n　 \n第一章\n\n第二章\n\nx\n",
       {"第一章|<h2>第一章</h2>", "第二章|<h2>第二章</h2><p>x</p>"},
       {"0 第一章", "1 第二章"}},
      {"lone CR",
       true,
       "第一章\r第二章\r",
       {"第一章|<h2>第一章</h2>", "第二章|<h2>第二章</h2>"},
       {"0 第一章", "1 第二章"}},
      {"a heading-like line inside the text",
       true,
       "序章\r\n他说第一章\r\n第1章",
       {"序章|<h2>序章</h2><p>他说第一章</p>", "第1章|<h2>第1章</h2>"},
       {"0 序章", "1 第1章"}},
      {"headings trimmed and escaped, controls dropped",
       true,
       "序章 <a&b>\r\n1 < 2\x01\n 　第三章：完\r\n",
       {"序章 &lt;a&amp;b&gt;|<h2>序章 &lt;a&amp;b&gt;</h2><p>1 &lt; 2</p>",
        "第三章：完|<h2>第三章：完</h2>"},
       {"0 序章 <a&b>", "1 第三章：完"}},
      {"a volume with text has a page, one without shows on its chapter's",
       true,
       "第一卷 上\r\n卷首\r\n第一章\r\nA\r\n第二卷 下\r\n\r\n第一章 又\r\nB",
       {"第一卷 上|<h2>第一卷 上</h2><p>卷首</p>", "第一章|<h2>第一章</h2><p>A</p>",
        "第一章 又|<h2>第一章 又</h2><p>B</p>"},
       {"0 *第一卷 上", "1 第一章", "2 *第二卷 下", "2 第一章 又"}},
      {"a volume and its chapter on one line",
       true,
       "第一卷 风 第1章 甲\nA\n第一卷 风 第2章 乙\nB\n第二卷 雨 第3章 丙",
       {"第一卷 风 第1章 甲|<h2>第一卷 风 第1章 甲</h2><p>A</p>",
        "第一卷 风 第2章 乙|<h2>第一卷 风 第2章 乙</h2><p>B</p>",
        "第二卷 雨 第3章 丙|<h2>第二卷 雨 第3章 丙</h2>"},
       {"0 *第一卷 风", "0 第1章 甲", "1 第2章 乙", "2 *第二卷 雨", "2 第3章 丙"}},
      {"a contents block stays text; a long heading's rest is a paragraph",
       true,
       "第1章 甲\n第2章 乙\n第3章 丙\n\n第1章 甲\nA\n第2章 乙\n"
       "第3章 丙 本章字数：2345 更新时间：2010-1-1 12:00:00 求收藏求推荐",
       {"L|<p>第1章 甲</p><p>第2章 乙</p><p>第3章 丙</p>", "第1章 甲|<h2>第1章 甲</h2><p>A</p>",
        "第2章 乙|<h2>第2章 乙</h2>",
        "第3章 丙|<h2>第3章 丙</h2><p>本章字数：2345 更新时间：2010-1-1 12:00:00 求收藏求推荐</p>"},
       {"1 第1章 甲", "2 第2章 乙", "3 第3章 丙"}},
      {"a weak heading counts where its number fills the gap; a leading word goes",
       true,
       "第1回 甲\nA\n第2回乙丙 诗曰：丁\nB\n正文 第3回 戊\n第二回中说起\nC",
       {"第1回 甲|<h2>第1回 甲</h2><p>A</p>", "第2回乙丙|<h2>第2回乙丙</h2><p>诗曰：丁</p><p>B</p>",
        "第3回 戊|<h2>第3回 戊</h2><p>第二回中说起</p><p>C</p>"},
       {"0 第1回 甲", "1 第2回乙丙", "2 第3回 戊"}},
      {"one heading is no split", true, "第一章\r\nA", {"L|<h2>第一章</h2><p>A</p>"}},
      {"empty, split", true, "", {"L|<p></p>"}},
      {"not UTF-8, split",
       true,
       "Chapter 1\nA\nChapter 2\nB\xC3(",
       {"Chapter 1|<h2>Chapter 1</h2><p>A</p>", "Chapter 2|<h2>Chapter 2</h2><p>B\uFFFD(</p>"},
       {"0 Chapter 1", "1 Chapter 2"}},
  };
  TempFolder dir;
  for (const auto& c : cases) {
    test::WriteBytes(dir / "chapter.txt", c.text);
    for (const size_t block : kBlocks) {
      SCOPED_TRACE(std::string(c.name) + ", blocks of " + std::to_string(block));
      const TWritten written = Write(dir.Path(), "L", c.split, block, c.unwrap);
      std::vector<std::string> pages, headings;
      for (const TPage& page : written.pages)
        pages.push_back(page.rawTitle + "|" + page.rawBody);
      for (const TChapterPages::TPoint& point : written.chapter.headings)
        headings.push_back(std::to_string(point.page) + (point.volume ? " *" : " ") +
                           AnsiToUtf8(point.label));
      EXPECT_EQ(pages, c.pages);
      EXPECT_EQ(headings, c.headings);
      EXPECT_EQ(written.chapter.pages, c.pages.size());
      EXPECT_EQ(written.chapter.label, "L");
    }
  }
}

// Long texts: every paragraph on a page in order, a heading beginning each section's first
// page; a page longer than kMaxPageSize is continued, cut between paragraphs, as full as its
// next paragraph allowed, and only a page of one paragraph may be longer.
TEST(Pages, LongTextsAreCutBetweenParagraphsInAnyBlocks) {
  const std::string prose = TNovel::Joined(TNovel().Prose(1500).source, "\r\n");  // 3 pages
  TNovel sections;  // the second and third sections need more than a page
  sections.Line("楔子之前").Heading("第一章", "第一章").Prose(2500);
  sections.Heading("　第二章 <&>", "第二章 <&>").Prose(1).Line(std::string(300000, 'x'));
  sections.Prose(10).Heading("第三章", "第三章");  // a line longer than a page, no line after
  TNovel markup;                                   // lines of "<&>", 13 bytes on a page
  for (int i = 0; i < 500; ++i)
    markup.Line(std::string(i % 7, ' ') + test::Repeat("<&>", 40) + ".");
  TNovel chapters;  // 30 short chapters, then a long one
  for (int i = 1; i <= 30; ++i)
    chapters.Heading("第" + std::to_string(i) + "章", "第" + std::to_string(i) + "章").Prose(60);
  chapters.Prose(1500);
  const std::string chaptersText = TNovel::Joined(chapters.source, "\n");
  TNovel wrapped;  // 600 KB
  wrapped.Wrapped(4000, 38);

  const struct {
    const char* name;
    bool split;
    std::string text;
    const TNovel* novel;  // what the pages show; none: the lines of the text as it reads
    TUnwrap unwrap = TUnwrap::uwAuto;
  } cases[] = {
      {"sections, CR", true, TNovel::Joined(sections.source, "\r"), &sections},
      {"no heading, CR LF", true, prose, nullptr},
      {"no heading, unsplit", false, prose, nullptr},
      {"wrapped, unsplit", false, TNovel::Joined(wrapped.source, "\r\n"), &wrapped},
      {"markup that grows fivefold, LF", true, TNovel::Joined(markup.source, "\n"), &markup},
      {"GB18030", true, Utf8ToAnsi(chaptersText), &chapters},
      {"UTF-16", true, test::Utf16File(chaptersText), &chapters},
      // The pages of its headings are written before its GBK tail shows it is no UTF-8; as
      // ANSI it holds no heading, and its prose lines of one width end no sentence.
      {"not UTF-8, found late", true, chaptersText + Utf8ToAnsi(prose), nullptr, TUnwrap::uwOff},
  };
  TempFolder dir;
  for (const auto& c : cases) {
    test::WriteBytes(dir / "chapter.txt", c.text);
    std::vector<std::string> shown;
    if (c.novel != nullptr) {
      shown = c.novel->shown;
    } else {
      // Split at CR and at LF: the empty line between CR and LF shows nothing.
      const std::string text = test::SourceUtf8(dir / "chapter.txt");
      for (size_t begin = 0, end = 0; end != std::string::npos; begin = end + 1) {
        end = text.find_first_of("\r\n", begin);
        const std::string line = test::Trimmed(text.substr(begin, end - begin));
        if (!line.empty()) shown.push_back(line);
      }
    }
    std::string firstBlocks;
    for (const size_t block : kBlocks) {
      SCOPED_TRACE(std::string(c.name) + ", blocks of " + std::to_string(block));
      const TWritten written = Write(dir.Path(), "L", c.split, block, c.unwrap);
      ASSERT_EQ(written.chapter.pages, written.pages.size());
      std::vector<std::string> seen;
      size_t heading = 0;
      size_t continued = 0;
      for (size_t k = 0; k < written.pages.size(); ++k) {
        SCOPED_TRACE("page " + std::to_string(k));
        const TPage& page = written.pages[k];
        if (page.heading) {
          seen.push_back("<h2>" + *page.heading + "</h2>");
          EXPECT_EQ(page.title, *page.heading);
          ASSERT_LT(heading, written.chapter.headings.size());
          EXPECT_EQ(written.chapter.headings[heading].page, k);
          EXPECT_EQ(AnsiToUtf8(written.chapter.headings[heading++].label), *page.heading);
        } else if (k > 0) {  // continued
          ++continued;
          EXPECT_EQ(page.title, written.pages[k - 1].title);
          EXPECT_GT(written.pages[k - 1].bytes.size() + page.firstParagraphSize, kMaxPageSize);
        } else {
          EXPECT_EQ(page.title, "L");
        }
        seen.insert(seen.end(), page.paragraphs.begin(), page.paragraphs.end());
        if (page.bytes.size() > kMaxPageSize) {
          EXPECT_EQ(page.paragraphs.size(), 1u);
        }
      }
      EXPECT_EQ(heading, written.chapter.headings.size());
      EXPECT_GT(continued, 0u);
      EXPECT_TRUE(seen == shown) << seen.size() << " paragraphs seen, " << shown.size() << " shown";
      std::string all;
      for (const TPage& page : written.pages)
        all += page.bytes;
      if (firstBlocks.empty()) firstBlocks = all;
      EXPECT_TRUE(all == firstBlocks);  // the same bytes whatever the blocks
    }
  }
}

}  // namespace
}  // namespace lumbrella
