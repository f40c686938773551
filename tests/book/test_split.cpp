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
  size_t firstLineSize = 0;  // bytes of the first paragraph's text as stored
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
  if (const size_t p = page.rawBody.find("<p>"); p != std::string::npos)
    page.firstLineSize = page.rawBody.find("</p>", p) - p - 3;
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
TWritten Write(const std::string& dir, const std::string& label, bool split, size_t block) {
  const std::string folder = dir + "pages/";
  std::filesystem::remove_all(folder);
  test::MakeDirs(folder);
  TSourceText source(dir + "chapter.txt", block);
  TWritten written;
  if (split) {
    written.chapter = WriteSplitChapter(folder, 0, label, source);
  } else {
    WriteChapterPage(folder + ChapterFileName(0), label, source);
    written.chapter.label = label;
  }
  written.pages = PagesIn(folder);
  return written;
}

constexpr size_t kBlocks[] = {1, 61, TSourceText::kBlockSize};

// Texts small enough to say each page whole: "title|body" as stored; the headings found
// "page label", a volume's "page *label". Split or not, line ends are one rule: CR LF, a lone
// LF or a lone CR.
TEST(Pages, OfSmallTextsInAnyBlocks) {
  const struct {
    const char* name;
    bool split;
    std::string text;
    std::vector<std::string> pages;
    std::vector<std::string> headings = {};
  } cases[] = {
      {"CR LF", false, "A\r\nB\r\n\r\nC", {"L|<p>A</p><p>B</p><p></p><p>C</p>"}},
      {"LF only", false, "A\nB\n\nC", {"L|<p>A</p><p>B</p><p></p><p>C</p>"}},
      {"CR only", false, "A\rB\r\rC", {"L|<p>A</p><p>B</p><p></p><p>C</p>"}},
      {"LF CR is two line ends", false, "A\n\rB", {"L|<p>A</p><p></p><p>B</p>"}},
      {"ends with CR LF", false, "A\r\n", {"L|<p>A</p><p></p>"}},
      {"ends with a lone CR", false, "A\r", {"L|<p>A</p><p></p>"}},
      {"empty", false, "", {"L|<p></p>"}},
      {"markup escaped, quotes kept",
       false,
       "1 < 2 & 3 > \"q\" 'a'\r\n",
       {"L|<p>1 &lt; 2 &amp; 3 &gt; \"q\" 'a'</p><p></p>"}},
      {"controls dropped, tab kept",
       false,
       std::string("a\x07\x1B\0\tb\x7F", 7),
       {"L|<p>a\tb\x7F</p>"}},
      {"U+FFFE and U+FFFF dropped, other characters led by EF kept",
       false,
       "\xEF\xBF\xBE\xEF\xBF\xBF\xEF\xBF\xBD\xEF\xBC\x8C",
       {"L|<p>\uFFFD，</p>"}},
      {"headings are lines when not split",
       false,
       "第一章\r\nA\r\n第二章\r\nB",
       {"L|<p>第一章</p><p>A</p><p>第二章</p><p>B</p>"}},
      {"not UTF-8: written again as ANSI", false, "a\r\nb\xC3(", {"L|<p>a</p><p>b\uFFFD(</p>"}},
      {"text before the first heading",
       true,
       "P\r\n第一章\r\nA\r\nB\r\n第二章\r\nC",
       {"L|<p>P</p>", "第一章|<h2>第一章</h2><p>A</p><p>B</p>", "第二章|<h2>第二章</h2><p>C</p>"},
       {"1 第一章", "2 第二章"}},
      {"blank text before it is left out, LF",
       true,
       "\r\n　 \n第一章\n第二章\n\nx\n",
       {"第一章|<h2>第一章</h2>", "第二章|<h2>第二章</h2><p></p><p>x</p><p></p>"},
       {"0 第一章", "1 第二章"}},
      {"empty line before a heading is kept",
       true,
       "第一章\r\n\r\n第二章",
       {"第一章|<h2>第一章</h2><p></p>", "第二章|<h2>第二章</h2>"},
       {"0 第一章", "1 第二章"}},
      {"lone CR",
       true,
       "第一章\r第二章\r",
       {"第一章|<h2>第一章</h2>", "第二章|<h2>第二章</h2><p></p>"},
       {"0 第一章", "1 第二章"}},
      {"LF CR, split",
       true,
       "第一章\n\r第二章",
       {"第一章|<h2>第一章</h2><p></p>", "第二章|<h2>第二章</h2>"},
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
        "第三章：完|<h2>第三章：完</h2><p></p>"},
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
       {"L|<p>第1章 甲</p><p>第2章 乙</p><p>第3章 丙</p><p></p>",
        "第1章 甲|<h2>第1章 甲</h2><p>A</p>", "第2章 乙|<h2>第2章 乙</h2>",
        "第3章 丙|<h2>第3章 丙</h2><p>本章字数：2345 更新时间：2010-1-1 12:00:00 求收藏求推荐</p>"},
       {"1 第1章 甲", "2 第2章 乙", "3 第3章 丙"}},
      {"a weak heading counts where its number fills the gap; a leading word goes",
       true,
       "第1回 甲\nA\n第2回乙丙 诗曰：丁\nB\n正文 第3回 戊\n第二回中说起\nC",
       {"第1回 甲|<h2>第1回 甲</h2><p>A</p>", "第2回乙丙|<h2>第2回乙丙</h2><p>诗曰：丁</p><p>B</p>",
        "第3回 戊|<h2>第3回 戊</h2><p>第二回中说起</p><p>C</p>"},
       {"0 第1回 甲", "1 第2回乙丙", "2 第3回 戊"}},
      {"one heading is no split", true, "第一章\r\nA", {"L|<p>第一章</p><p>A</p>"}},
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
      const TWritten written = Write(dir.Path(), "L", c.split, block);
      std::vector<std::string> pages, headings;
      for (const TPage& page : written.pages)
        pages.push_back(page.rawTitle + "|" + page.rawBody);
      for (const TChapterPages::TPoint& point : written.chapter.headings)
        headings.push_back(std::to_string(point.page) + (point.volume ? " *" : " ") +
                           AnsiToUtf8(point.label));
      EXPECT_EQ(pages, c.pages);
      EXPECT_EQ(headings, c.headings);
      EXPECT_EQ(written.chapter.pages, c.split ? c.pages.size() : 1u);
      EXPECT_EQ(written.chapter.label, "L");
    }
  }
}

// Long texts, split: every line on a page in order, a heading beginning each section's first
// page; a page longer than kMaxPageSize is continued, cut between lines, as full as its next
// line allowed, and only a page of one line may be longer.
TEST(Pages, LongSectionsAreCutBetweenLinesInAnyBlocks) {
  const std::string prose = TNovel::Joined(TNovel().Prose(1500).source, "\r\n");  // 3 pages
  TNovel sections;  // the second and third sections need more than a page
  sections.Line("楔子之前").Heading("第一章", "第一章").Prose(2500);
  sections.Heading("　第二章 <&>", "第二章 <&>").Prose(1).Line(std::string(300000, 'x'));
  sections.Prose(10).Heading("第三章", "第三章");  // a line longer than a page, no line after
  TNovel markup;                                   // lines of "<&>", 13 bytes on a page
  for (int i = 0; i < 500; ++i)
    markup.Line(std::string(i % 7, ' ') + test::Repeat("<&>", 40));
  TNovel chapters;  // 30 short chapters, then a long one
  for (int i = 1; i <= 30; ++i)
    chapters.Heading("第" + std::to_string(i) + "章", "第" + std::to_string(i) + "章").Prose(60);
  chapters.Prose(1500);
  const std::string chaptersText = TNovel::Joined(chapters.source, "\n");

  const struct {
    const char* name;
    std::string text;
    const TNovel* novel;  // what the pages show; none: the lines of the text as it reads
  } cases[] = {
      {"sections, CR", TNovel::Joined(sections.source, "\r"), &sections},
      {"no heading, CR LF", prose, nullptr},
      {"markup that grows fivefold, LF", TNovel::Joined(markup.source, "\n"), &markup},
      {"GB18030", Utf8ToAnsi(chaptersText), &chapters},
      {"UTF-16", test::Utf16File(chaptersText), &chapters},
      // The pages of its headings are written before its GBK tail shows it is no UTF-8; read
      // as GB18030 it holds no heading.
      {"not UTF-8, found late", chaptersText + Utf8ToAnsi(prose), nullptr},
  };
  TempFolder dir;
  for (const auto& c : cases) {
    test::WriteBytes(dir / "chapter.txt", c.text);
    std::vector<std::string> shown;
    if (c.novel != nullptr) {
      shown = c.novel->shown;
    } else {
      const std::string text = test::WithLfLineEnds(test::SourceUtf8(dir / "chapter.txt"));
      for (size_t begin = 0, end = 0; end != std::string::npos; begin = end + 1) {
        end = text.find('\n', begin);
        shown.push_back(text.substr(begin, end - begin));
      }
    }
    std::string firstBlocks;
    for (const size_t block : kBlocks) {
      SCOPED_TRACE(std::string(c.name) + ", blocks of " + std::to_string(block));
      const TWritten written = Write(dir.Path(), "L", true, block);
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
          EXPECT_GT(written.pages[k - 1].bytes.size() + TChapterPageWriter::kLineEndSize +
                        page.firstLineSize,
                    kMaxPageSize);
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
      EXPECT_TRUE(seen == shown) << seen.size() << " lines seen, " << shown.size() << " shown";
      std::string all;
      for (const TPage& page : written.pages)
        all += page.bytes;
      if (firstBlocks.empty()) firstBlocks = all;
      EXPECT_TRUE(all == firstBlocks);  // the same bytes whatever the blocks
    }
  }
}

// Not split, a long text with headings is one page of every line as it stands.
TEST(Pages, UnsplitIsOnePageWhateverItsSize) {
  TNovel novel;
  novel.Heading("第一章", "第一章").Prose(1500).Heading("第二章", "第二章").Line("x");
  TempFolder dir;
  test::WriteBytes(dir / "chapter.txt", TNovel::Joined(novel.source, "\r\n"));
  const TWritten written = Write(dir.Path(), "L", false, TSourceText::kBlockSize);
  ASSERT_EQ(written.pages.size(), 1u);
  EXPECT_GT(written.pages[0].bytes.size(), kMaxPageSize);
  EXPECT_FALSE(written.pages[0].heading);
  EXPECT_TRUE(written.pages[0].paragraphs == novel.source);
}

}  // namespace
}  // namespace lumbrella
