#include <gtest/gtest.h>

#include <QXmlStreamReader>
#include <string>
#include <vector>

#include "book/documents.h"
#include "platform/codepage.h"

namespace lumbrella {
namespace {

using namespace std::string_literals;

// Chinese literals are UTF-8 in the source; the program's text is ANSI.
std::string A(const char* utf8) {
  return Utf8ToAnsi(utf8);
}

// Parses the document, as the UTF-8 the book holds, with a real XML reader.
std::string XmlError(const std::string& utf8) {
  QXmlStreamReader reader(QByteArray(utf8.data(), static_cast<qsizetype>(utf8.size())));
  while (!reader.atEnd())
    reader.readNext();
  return reader.hasError() ? reader.errorString().toStdString() : std::string();
}

TEST(Documents, EscapingOfInsertedValues) {
  const std::string emoji = A("😀");                                 // a four-byte GB18030 sequence
  const std::string nonCharacters = A("\xEF\xBF\xBE\xEF\xBF\xBF");  // U+FFFE U+FFFF
  ASSERT_EQ(nonCharacters.size(), 8u);
  const std::string kBad = "\x84\x31\xA4\x37";  // U+FFFD
  const struct {
    const char* name;
    std::string in, text;        // EscapeText's
    std::string attribute = "";  // EscapeAttribute's where it differs
  } cases[] = {
      {"markup", "a&b<c>d\"e'", "a&amp;b&lt;c&gt;d\"e'", "a&amp;b&lt;c&gt;d&quot;e'"},
      {"entity-looking text is escaped again", "&amp;", "&amp;amp;"},
      {"forbidden controls left out", std::string("a\x01\x08\x0B\x0C\x0E\x1F", 7) + "b", "ab"},
      {"zero byte left out", std::string("a\0b", 3), "ab"},
      {"tab and line ends kept", "a\tb\nc\rd", "a\tb\nc\rd"},
      {"Chinese untouched", A("雨伞 & 书"), A("雨伞 &amp; 书")},
      {"four-byte sequence kept", emoji + "<", emoji + "&lt;"},
      {"U+FFFE and U+FFFF left out", "x" + nonCharacters + "y", "xy"},
      // A malformed lead byte becomes the replacement character, as the converter would
      // make it, so nothing behind it can join it into another character.
      {"control behind a bad lead", "\x81\x01<", kBad + "&lt;"},
      {"no U+FFFE once a control is dropped", "\x84\x31\xA4\x01\x38", kBad + "1" + kBad + "8"},
      {"an unassigned four-byte code is one bad character", "\x85\x30\x84\x31<", kBad + "&lt;"},
      {"empty", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    EXPECT_EQ(EscapeText(c.in), c.text);
    EXPECT_EQ(EscapeAttribute(c.in), c.attribute.empty() ? c.text : c.attribute);
  }
}

// What the split measures before it writes: a page's size once finished, what a paragraph
// and its text add to a page that holds a block already, and that no byte of a text grows more
// than kMaxGrowth times.
TEST(Documents, APageWriterKnowsWhatAParagraphAddsToItsPage) {
  std::vector<std::string> texts = {"", "雨😀", "\xEF\xBF\xBE\xEF\xBF\xBF\xEF\xBF\xBD"};
  // Line ends are no text of a paragraph: lines are joined before they get here.
  for (int b = 0; b < 0x80; ++b) {
    if (b != '\r' && b != '\n') texts.push_back(std::string(3, static_cast<char>(b)));
  }
  for (const bool heading : {false, true}) {
    for (const bool scene : {false, true}) {
      for (const std::string& text : texts) {
        SCOPED_TRACE(text);
        std::string page;
        TChapterPageWriter writer(
            A("标签"), [&page](const char* data, size_t size) { page.append(data, size); });
        if (heading) {
          writer.Heading(A("第一章 <&>"));
        } else {
          writer.Begin();
          writer.Text("x");
        }
        const size_t before = writer.FinishedSize();
        writer.Begin(scene);
        writer.Text(text);
        const size_t added = TChapterPageWriter::TextSize(text);
        EXPECT_EQ(writer.FinishedSize() - before, added + TChapterPageWriter::ParagraphSize(scene));
        EXPECT_LE(added, TChapterPageWriter::kMaxGrowth * text.size());
        writer.End();
        const size_t expected = writer.FinishedSize();
        writer.Finish();
        EXPECT_EQ(page.size(), expected);
      }
    }
  }
}

TBookInfo BookWithCover() {
  return {"T", "A", "0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9", "cover.JPG", "image/jpeg"};
}

TEST(Documents, WithoutCoverNothingRefersToOne) {
  TBookInfo book = BookWithCover();
  book.coverImage.clear();
  book.coverMediaType.clear();
  const std::string opf = PackageDocument(book, 1);
  for (const char* absent : {"cover", "<guide", "linear"})
    EXPECT_EQ(opf.find(absent), std::string::npos) << absent;
  EXPECT_NE(opf.find("<spine toc=\"ncx\"><itemref idref=\"txt0\"/></spine></package>"),
            std::string::npos);
}

// The table of contents of split chapters as a reader walks it: "depth playOrder label", and
// the depth the map declares. A chapter's headings go under it, a volume's chapters under the
// volume; a book of one chapter has its headings at the top.
TEST(Documents, NavigationMapNestsHeadingsUnderTheirChapterAndVolume) {
  using TPoint = TChapterPages::TPoint;
  const TChapterPages plain{"P", 1, {}};
  const struct {
    const char* name;
    std::vector<TChapterPages> chapters;
    std::vector<std::string> points;
    std::string depth;
  } cases[] = {
      {"one chapter, text before the first heading",
       {{"L", 3, {TPoint{1, "a"}, TPoint{2, "b"}}}},
       {"1 1 L", "1 2 a", "1 3 b"},
       "1"},
      {"one chapter, a volume shown on its chapter's page",
       {{"L", 2, {TPoint{0, "V", true}, TPoint{0, "a"}, TPoint{1, "b"}}}},
       {"1 1 V", "2 1 a", "2 2 b"},
       "2"},
      {"chapters with volumes",
       {plain,
        {"L", 4, {TPoint{1, "a"}, TPoint{2, "V", true}, TPoint{2, "b"}, TPoint{3, "W", true}}},
        plain},
       {"1 1 P", "1 2 L", "2 3 a", "2 4 V", "3 4 b", "2 5 W", "1 6 P"},
       "3"},
      {"no headings", {plain, plain}, {"1 1 P", "1 2 P"}, "0"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    const std::string map = NavigationMap(BookWithCover(), c.chapters);
    QXmlStreamReader xml(QByteArray::fromStdString(map));
    std::vector<std::string> points;
    std::string depth;
    int level = 0;
    while (!xml.atEnd()) {
      xml.readNext();
      if (xml.isEndElement() && xml.name() == QStringLiteral("navPoint")) --level;
      if (!xml.isStartElement()) continue;
      if (xml.name() == QStringLiteral("meta") &&
          xml.attributes().value("name") == QStringLiteral("dtb:depth")) {
        depth = xml.attributes().value("content").toString().toStdString();
      } else if (xml.name() == QStringLiteral("navPoint")) {
        points.push_back(std::to_string(++level) + " " +
                         xml.attributes().value("playOrder").toString().toStdString());
      } else if (xml.name() == QStringLiteral("text") && !points.empty()) {
        points.back() += " " + xml.readElementText().toStdString();
      }
    }
    EXPECT_FALSE(xml.hasError()) << xml.errorString().toStdString();
    EXPECT_EQ(points, c.points);
    EXPECT_EQ(depth, c.depth);
  }
}

TEST(Documents, CoverPageShowsTheImageInADivWithTheTitleAsAlt) {
  TBookInfo book = BookWithCover();
  book.title = "\"Rain\" & <Sun>";
  const std::string page = CoverPage(book);
  EXPECT_NE(page.find("<title>\"Rain\" &amp; &lt;Sun&gt;</title>"), std::string::npos);
  EXPECT_NE(page.find("<body><div><img src=\"images/cover.JPG\" alt=\"&quot;Rain&quot; &amp; "
                      "&lt;Sun&gt;\" style=\"width:100%;\"/></div></body></html>"),
            std::string::npos);
}

// Whatever the values hold, every document stays well-formed.
TEST(Documents, HostileValuesGiveWellFormedDocuments) {
  TBookInfo book = BookWithCover();
  const std::string hostile = "]]> <!-- & \" ' < > \x01\x0B\0 "s + A("雨伞😀\xEF\xBF\xBF") +
                              "\x85\x30\x84\x31\xA4\x38\x84\x31\xA4\x01\x39\r\n";
  book.title = hostile;
  book.author = hostile;
  const std::vector<std::string> labels = {hostile, hostile};
  // A page's text arrives as UTF-8, without line ends.
  const std::string line = AnsiToUtf8(hostile.substr(0, hostile.size() - 2));
  std::string pages[2];
  for (const bool heading : {false, true}) {
    std::string& page = pages[heading];
    TChapterPageWriter writer(hostile,
                              [&page](const char* data, size_t size) { page.append(data, size); });
    if (heading) writer.Heading(hostile);
    writer.Begin();
    writer.Text(line);
    writer.Begin(true);
    writer.Text(line);
    writer.Finish();
  }
  const std::pair<const char*, std::string> documents[] = {
      {"chapter page", pages[0]},
      {"chapter page with a heading", pages[1]},
      {"cover page", AnsiToUtf8(CoverPage(book))},
      {"package document", AnsiToUtf8(PackageDocument(book, labels.size()))},
      {"navigation map", AnsiToUtf8(NavigationMap(book, labels))},
  };
  for (const auto& [name, document] : documents)
    EXPECT_EQ(XmlError(document), "") << name;
}

}  // namespace
}  // namespace lumbrella
