#include <gtest/gtest.h>

#include <algorithm>
#include <climits>
#include <filesystem>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "book/convert.h"
#include "book/cover.h"
#include "book/decode.h"
#include "book/split.h"
#include "book/staging.h"
#include "common/test_util.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "test_convert_util.h"
#include "zip/packer.h"

namespace lumbrella {
namespace {

using test::BookDump;
using test::EpubcheckProblems;
using test::FilesIn;
using test::ImageBytes;
using test::ReadBook;
using test::ReadBytes;
using test::TempFolder;
using test::WithLfLineEnds;
using test::WriteBytes;

std::string A(const std::string& utf8) {
  return Utf8ToAnsi(utf8);
}

class ConvertTest : public ::testing::Test {
 protected:
  ConvertTest() : tempDir_(dir_ / "tmp/"), converter_(tempDir_, packer_) {
    test::MakeDirs(tempDir_);
  }

  // A chapter file (UTF-8 name and content) and its chapter.
  TChapter Chapter(const std::string& name, const std::string& content) {
    WriteBytes(dir_ / (name + ".txt"), content);
    return TChapter{A(name), A(dir_ / (name + ".txt"))};
  }

  std::string Staging() const { return converter_.StagingRoot(); }

  // The book of tests that stage documents without converting.
  static TBookInfo Book() {
    TBookInfo book;
    book.title = "T";
    book.uuid = "0f1e2d3c-4b5a-4978-8695-a4b3c2d1e0f9";
    return book;
  }

  TempFolder dir_;
  std::string tempDir_;
  TZipPacker packer_;
  TBookConverter converter_;
};

TEST_F(ConvertTest, SamplesMakeAValidBookThatReadsBackAsTheirText) {
  const std::vector<std::string> samples = test::SampleFiles();
  ASSERT_EQ(samples.size(), 5u);
  std::vector<TChapter> rows;
  std::vector<std::string> labels;
  std::vector<std::string> texts;
  for (const std::string& path : samples) {
    const std::string stem = std::filesystem::path(path).stem().string();
    rows.push_back(TChapter{A(stem), A(path)});
    labels.push_back(stem);
    // The decoding itself is checked against iconv in the decode tests.
    texts.push_back(WithLfLineEnds(AnsiToUtf8(LoadSourceText(A(path)))));
  }
  // Every line end kind, controls XML forbids, a character outside the BMP, markup.
  rows.push_back(Chapter("edge <&>",
                         "a & b\r\n<c>\nd\re\n\r\x01\x1F"
                         "f😀\t\"g\"\r\n"));
  labels.push_back("edge <&>");
  texts.push_back("a & b\n<c>\nd\ne\n\nf😀\t\"g\"\n");
  WriteBytes(dir_ / "front.png", ImageBytes("PNG", 24, 32, 0xFF0000));
  const TBookFields fields{A("诗 & <\"Rain\">"), A("\"Li\" & <Bai>"), A(dir_ / "front.png")};

  ASSERT_TRUE(converter_.Convert(fields, rows, A(dir_ / "诗集.epub")))
      << converter_.LastPackerError();
  EXPECT_FALSE(std::filesystem::exists(Staging()));

  const std::string book = dir_ / "诗集.epub";
  EXPECT_EQ(EpubcheckProblems(book), "");
  BookDump dump = ReadBook(book);
  ASSERT_EQ(dump.error, "");
  EXPECT_EQ(dump.Field("title"), "诗 & <\"Rain\">");
  EXPECT_EQ(dump.Field("doctitle"), "诗 & <\"Rain\">");
  EXPECT_EQ(dump.Field("creator"), "\"Li\" & <Bai>");
  EXPECT_EQ(dump.Field("language"), "zh-CN");
  EXPECT_EQ(dump.Field("cover"), "images/cover.png image/png");
  EXPECT_EQ(dump.Field("uid"), dump.Field("identifier"));
  EXPECT_TRUE(dump.Field("identifier").starts_with("urn:uuid:"));
  EXPECT_EQ(dump.labels, labels);
  ASSERT_EQ(dump.texts.size(), texts.size());
  for (size_t i = 0; i < texts.size(); ++i)
    EXPECT_EQ(dump.texts[i], texts[i]) << labels[i];
}

// Every character XML allows (all but the line ends, which make paragraphs) arrives from a
// UTF-8 and a UTF-16 source, and in a chapter label: none is lost on its way through ANSI.
TEST_F(ConvertTest, EveryCharacterXmlAllowsArrivesInTheBook) {
  std::u16string utf16 = u"\t";
  for (char32_t c = 0x20; c <= 0x10FFFF; ++c) {
    if ((c >= 0xD800 && c <= 0xDFFF) || c == 0xFFFE || c == 0xFFFF) continue;
    utf16 += test::Utf16Of(c);
  }
  const std::string utf8 = Utf16ToUtf8(utf16);
  // Private-use characters the C library's table lacks, the euro sign, a vertical form.
  const std::string label = "\u20AC \uE816\uE78D\uFE10\u9FB4 \U0001F600";
  const std::vector<TChapter> chapters = {Chapter(label, utf8),
                                          Chapter("utf-16", test::Utf16File(utf8))};

  ASSERT_TRUE(converter_.Convert({"T", "A", ""}, chapters, A(dir_ / "all.epub")))
      << converter_.LastPackerError();
  EXPECT_EQ(EpubcheckProblems(dir_ / "all.epub"), "");
  BookDump dump = ReadBook(dir_ / "all.epub");
  ASSERT_EQ(dump.error, "");
  EXPECT_EQ(dump.labels, (std::vector<std::string>{label, "utf-16"}));
  ASSERT_EQ(dump.texts.size(), 2u);
  EXPECT_TRUE(dump.texts[0] == utf8);  // a million characters: no dump on failure
  EXPECT_TRUE(dump.texts[1] == utf8);
}

TEST(Convert, BookTitle) {
  const struct {
    std::string title, output, expected;
  } cases[] = {
      {"T", "/b/x.epub", "T"},           {"", "/b/myepub.epub", "myepub"},
      {"", "/b/my.book.zip", "my.book"}, {"", "/b.d/noext", "noext"},
      {"", "/b/.epub", "myepub"},
  };
  for (const auto& c : cases)
    EXPECT_EQ(BookTitle(c.title, c.output), c.expected) << c.output;
}

// A book the folder in memory has no room for goes to disk; a folder on disk stays.
TEST(Convert, StagingLeavesTheFolderInMemoryOnlyForWantOfRoom) {
  if (!test::RuntimeFolderInMemory::Possible()) GTEST_SKIP() << "no tmpfs at /dev/shm";
  TempFolder disk;
  const test::RuntimeFolderInMemory runtime;
  EXPECT_FALSE(NeedsDiskStaging(runtime.Path() + "/lumbrella-x/", 1 << 20));
  EXPECT_TRUE(NeedsDiskStaging(runtime.Path() + "/lumbrella-x/", INT64_MAX));
  EXPECT_FALSE(NeedsDiskStaging(disk.Path(), INT64_MAX));
}

// Also: an empty title is the output's name, an image of another type becomes a PNG.
TEST_F(ConvertTest, ChaptersAreNumberedByPositionAndMayRepeatAFile) {
  TChapter b = Chapter("b", "甲\r\n乙");
  TChapter a = Chapter("a", "first file");
  WriteBytes(dir_ / "front.bmp", ImageBytes("BMP"));
  ASSERT_TRUE(converter_.Convert({"", "", A(dir_ / "front.bmp")}, {b, a, b}, A(dir_ / "雨夜.epub")))
      << converter_.LastPackerError();
  const std::string book = dir_ / "雨夜.epub";
  EXPECT_EQ(EpubcheckProblems(book), "");
  BookDump dump = ReadBook(book);
  ASSERT_EQ(dump.error, "");
  EXPECT_EQ(dump.Field("title"), "雨夜");
  EXPECT_EQ(dump.Field("doctitle"), "雨夜");
  EXPECT_EQ(dump.Field("creator"), "");
  EXPECT_EQ(dump.Field("cover"), "images/cover.png image/png");
  EXPECT_EQ(dump.labels, (std::vector<std::string>{"b", "a", "b"}));
  EXPECT_EQ(dump.texts, (std::vector<std::string>{"甲\n乙", "first file", "甲\n乙"}));
  EXPECT_EQ(
      std::set<std::string>(dump.entries.begin(), dump.entries.end()),
      (std::set<std::string>{"mimetype", "META-INF/container.xml", "OEBPS/0.html", "OEBPS/1.html",
                             "OEBPS/2.html", "OEBPS/content.opf", "OEBPS/cover.html",
                             "OEBPS/css/main.css", "OEBPS/images/cover.png", "OEBPS/toc.ncx"}));
}

TEST_F(ConvertTest, AChapterDeletedAfterListingStopsBeforePacking) {
  std::vector<TChapter> rows = {Chapter("a", "A"), Chapter("b", "B")};
  std::filesystem::remove(dir_ / "b.txt");
  try {
    converter_.Convert({"T", "A", ""}, rows, A(dir_ / "out.epub"));
    FAIL() << "no exception";
  } catch (const EFOpenError& e) {
    EXPECT_EQ(e.Message(),
              "Cannot open file \"" + dir_.Path() + "b.txt\". No such file or directory");
  }
  EXPECT_FALSE(std::filesystem::exists(Staging()));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "out.epub"));
  EXPECT_FALSE(converter_.Busy());
}

TEST_F(ConvertTest, ACoverThatCannotBeReadStopsTheConversion) {
  WriteBytes(dir_ / "damaged.gif.bmp", "BM not really");
  const struct {
    std::string cover;
    std::string message;
  } cases[] = {
      {"absent.jpg",
       "Cannot open file \"" + dir_.Path() + "absent.jpg\". No such file or directory"},
      {"damaged.gif.bmp",
       "Cannot read image \"" + dir_.Path() + "damaged.gif.bmp\". Unknown or damaged image format"},
  };
  const std::vector<TChapter> rows = {Chapter("a", "A")};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cover);
    try {
      converter_.Convert({"T", "A", A(dir_ / c.cover)}, rows, A(dir_ / "out.epub"));
      ADD_FAILURE() << "no exception";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
    EXPECT_FALSE(std::filesystem::exists(Staging()));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "out.epub"));
  }
}

TEST_F(ConvertTest, NothingOfAnEarlierTreeLeaksIntoTheBook) {
  // What a conversion that stopped half-way might have left behind.
  test::MakeDirs(Staging() + "/OEBPS/images");
  WriteBytes(Staging() + "/OEBPS/5.html", "<p>old chapter</p>");
  WriteBytes(Staging() + "/OEBPS/images/cover.png", ImageBytes("PNG", 24, 32, 0x0000FF));
  WriteBytes(Staging() + "/OEBPS/images/cover.jpg", "old");
  const std::string cover = ImageBytes("PNG", 24, 32, 0xFFFF00);
  WriteBytes(dir_ / "new.png", cover);

  ASSERT_TRUE(converter_.Convert({"T", "A", A(dir_ / "new.png")}, {Chapter("a", "A")},
                                 A(dir_ / "out.epub")));
  const std::string book = dir_ / "out.epub";
  EXPECT_EQ(EpubcheckProblems(book), "");
  BookDump dump = ReadBook(book);
  ASSERT_EQ(dump.error, "");
  EXPECT_EQ(std::set<std::string>(dump.entries.begin(), dump.entries.end()),
            (std::set<std::string>{"mimetype", "META-INF/container.xml", "OEBPS/0.html",
                                   "OEBPS/content.opf", "OEBPS/cover.html", "OEBPS/css/main.css",
                                   "OEBPS/images/cover.png", "OEBPS/toc.ncx"}));
  EXPECT_EQ(test::Run("unzip -p " + test::Quote(book) + " OEBPS/images/cover.png").output, cover);
}

// An update that keeps entries dated as new as the staged files, or newer, would keep the
// first book's chapters: the second conversion lands within the same two seconds, or (as
// here, to be sure) onto a book whose entries are dated later.
TEST_F(ConvertTest, ConvertingAgainOntoTheSameBookReplacesItsChapters) {
  const std::string book = dir_ / "out.epub";
  ASSERT_TRUE(converter_.Convert({"T", "A", ""}, {Chapter("a", "old text")}, A(book)));
  EXPECT_EQ(EpubcheckProblems(book), "");
  test::CommandResult redated = test::Run(
      "python3 -c 'import sys, zipfile\n"
      "with zipfile.ZipFile(sys.argv[1]) as old, zipfile.ZipFile(sys.argv[2], \"w\") as new:\n"
      "  for info in old.infolist():\n"
      "    data = old.read(info)\n"
      "    info.date_time = (2099, 1, 1, 0, 0, 0)\n"
      "    new.writestr(info, data)\n' " +
      test::Quote(book) + " " + test::Quote(dir_ / "later.epub") + " && mv " +
      test::Quote(dir_ / "later.epub") + " " + test::Quote(book));
  ASSERT_EQ(redated.exitCode, 0) << redated.output;

  ASSERT_TRUE(converter_.Convert({"T", "A", ""}, {Chapter("a", "new text")}, A(book)))
      << converter_.LastPackerError();
  BookDump dump = ReadBook(book);
  ASSERT_EQ(dump.error, "");
  EXPECT_EQ(dump.texts, std::vector<std::string>{"new text"});
}

TEST_F(ConvertTest, APackerFailureIsReportedAfterTheTreeIsRemoved) {
  EXPECT_FALSE(
      converter_.Convert({"T", "A", ""}, {Chapter("a", "A")}, A(dir_ / "missing/out.epub")));
  EXPECT_EQ(converter_.LastPackerError(), "Cannot create file \"" + dir_.Path() +
                                              "missing/out.epub\". No such file or directory");
  EXPECT_FALSE(std::filesystem::exists(Staging()));
  EXPECT_FALSE(converter_.Busy());
}

// The window makes a new converter for each Convert, on the same temporary folder and packer.
TEST_F(ConvertTest, ASecondConversionIsRefusedWhileOneIsPacking) {
  const std::vector<TChapter> rows = {Chapter("a", "A")};
  std::string refused;
  TProgress progress;
  packer_.Progress = &progress;
  progress.OnStep = [&] {
    if (!refused.empty()) return;
    try {
      TBookConverter second(tempDir_, packer_);
      second.Convert({"T", "A", ""}, {Chapter("b", "B")}, A(dir_ / "other.epub"));
      refused = "accepted";
    } catch (const Exception& e) {
      refused = e.Message();
    }
  };
  ASSERT_TRUE(converter_.Convert({"T", "A", ""}, rows, A(dir_ / "out.epub")));
  EXPECT_EQ(refused, "A conversion is already in progress");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "other.epub"));
  EXPECT_EQ(EpubcheckProblems(dir_ / "out.epub"), "");
  BookDump dump = ReadBook(dir_ / "out.epub");
  ASSERT_EQ(dump.error, "");
  EXPECT_EQ(dump.texts, std::vector<std::string>{"A"});
}

// A chapter text made line by line (UTF-8), and what a split book must show of it: the same
// lines, each heading as "<h2>heading</h2>" without the blanks around it.
struct TNovel {
  std::vector<std::string> source, shown;
  TNovel& Line(const std::string& line) {
    source.push_back(line);
    shown.push_back(line);
    return *this;
  }
  TNovel& Heading(const std::string& line, const std::string& heading) {
    source.push_back(line);
    shown.push_back("<h2>" + heading + "</h2>");
    return *this;
  }
  // Lines of about 90 characters, some with markup, that differ from each other.
  TNovel& Prose(int lines) {
    for (int i = 0; i < lines; ++i) {
      std::string line = "　　" + std::to_string(i) + " ";
      for (int k = 0; k < 8; ++k)
        line += i % 5 == k ? "雨 & <伞>，" : "巷子尽头有一家旧书店。";
      Line(line);
    }
    return *this;
  }
  static std::string Joined(const std::vector<std::string>& lines, const char* end) {
    std::string text;
    for (size_t i = 0; i < lines.size(); ++i)
      text += (i > 0 ? end : "") + lines[i];
    return text;
  }
};

// The validator and a reader we did not write see a book split at its headings: the
// table of contents on two levels, every page in reading order and under 256 KB, the text
// as the sources have it but for the headings.
TEST_F(ConvertTest, ASplitBookHasATwoLevelTableOfContents) {
  TNovel novel, opening, single, plain;
  novel.Line("书名：雨伞").Line("作者：某人").Heading("第一章 开端", "第一章 开端").Prose(3);
  novel.Heading("　　第二章：风 & <雨>　", "第二章：风 & <雨>").Prose(2500);   // several pages
  novel.Heading("Chapter IV", "Chapter IV").Prose(1).Heading("番外", "番外");  // no line after
  // Begins with a heading (its page is the file's first), one follows right after it.
  opening.Heading("第一章", "第一章").Heading("第二章", "第二章").Line("").Line("x");
  single.Line("第一章").Prose(2);  // one heading: no split
  plain.Prose(1100);               // no heading, 200 KB that make 300 KB of XHTML
  const std::vector<TChapter> chapters = {
      Chapter("小说", TNovel::Joined(novel.source, "\r\n")),
      Chapter("起首", TNovel::Joined(opening.source, "\n")),
      Chapter("单章", TNovel::Joined(single.source, "\r\n")),
      Chapter("长文", TNovel::Joined(plain.source, "\r")),
  };
  converter_.SplitChapters = true;
  ASSERT_TRUE(converter_.Convert({"T", "A", ""}, chapters, A(dir_ / "split.epub")))
      << converter_.LastPackerError();
  ASSERT_EQ(converter_.SplitFiles().size(), 2u);
  EXPECT_EQ(converter_.SplitFiles()[0].chapter, 0u);
  EXPECT_EQ(converter_.SplitFiles()[0].headings, 4u);
  EXPECT_EQ(converter_.SplitFiles()[1].chapter, 1u);
  EXPECT_EQ(converter_.SplitFiles()[1].headings, 2u);

  const std::string book = dir_ / "split.epub";
  EXPECT_EQ(EpubcheckProblems(book), "");
  BookDump dump = ReadBook(book);
  ASSERT_EQ(dump.error, "");
  EXPECT_EQ(dump.Field("depth"), "2");
  EXPECT_TRUE(dump.Field("body") == TNovel::Joined(novel.shown, "\n") + "\n" +
                                        TNovel::Joined(opening.shown, "\n") + "\n" +
                                        TNovel::Joined(single.shown, "\n") + "\n" +
                                        TNovel::Joined(plain.shown, "\n"));

  const std::vector<std::string> points = dump.Lines("toc");
  const std::vector<std::string> targets = dump.Lines("targets");
  const std::vector<std::string> pages = dump.Lines("pages");
  const std::vector<std::string> sizes = dump.Lines("sizes");
  ASSERT_EQ(pages.size(), sizes.size());
  EXPECT_EQ(points,
            (std::vector<std::string>{"1 1 小说", "2 2 第一章 开端", "2 3 第二章：风 & <雨>",
                                      "2 4 Chapter IV", "2 5 番外", "1 6 起首", "2 6 第一章",
                                      "2 7 第二章", "1 8 单章", "1 9 长文"}));
  // Targets in reading order; shared only by a file and its first heading (same playOrder).
  size_t next = 0;
  for (size_t i = 0; i < targets.size(); ++i) {
    SCOPED_TRACE(points[i]);
    if (i == 6) {  // 起首's first heading
      EXPECT_EQ(targets[i], targets[i - 1]);
      continue;
    }
    while (next < pages.size() && pages[next] != targets[i])
      ++next;
    ASSERT_LT(next, pages.size()) << targets[i] << " not in the spine, or out of order";
    ++next;
  }
  // The long ones were cut (the second chapter of 小说 onto two more pages, 长文 onto one
  // more), every cut page as full as the next paragraph allowed.
  size_t continuedPages = 0;
  for (size_t i = 0; i < pages.size(); ++i) {
    SCOPED_TRACE(pages[i]);
    EXPECT_LE(std::stoul(sizes[i]), kMaxPageSize);
    if (std::find(targets.begin(), targets.end(), pages[i]) == targets.end()) {
      ++continuedPages;
      EXPECT_GT(std::stoul(sizes[i - 1]), kMaxPageSize - 1024);
    }
  }
  EXPECT_EQ(continuedPages, 3u);
}

void ExpectSameFiles(const std::map<std::string, std::string>& files,
                     const std::map<std::string, std::string>& expected) {
  std::vector<std::string> names, expectedNames;
  for (const auto& [name, bytes] : files)
    names.push_back(name);
  for (const auto& [name, bytes] : expected)
    expectedNames.push_back(name);
  ASSERT_EQ(names, expectedNames);
  for (const auto& [name, bytes] : expected)
    EXPECT_TRUE(files.at(name) == bytes) << name;  // pages of 256 KB: no dump
}

// Split pages written as the sources are read in blocks are the pages, and the book's
// documents those, that the whole decoded text of each file gives; also when the blocks
// are so small that every line and line end falls across them.
TEST_F(ConvertTest, SplitPagesReadInBlocksEqualThoseOfTheWholeText) {
  const std::string prose = TNovel::Joined(TNovel().Prose(1500).source, "\r\n");  // 3 pages
  std::string markup;  // lines of "<&>" that are 13 bytes on a page
  for (int i = 0; i < 500; ++i)
    markup += std::string(i % 7, ' ') + test::Repeat("<&>", 40) + "\n";
  std::string shortChapters;
  for (int i = 1; i <= 10; ++i)
    shortChapters += "第" + std::to_string(i) + "章\r\n" +
                     TNovel::Joined(TNovel().Prose(60).source, "\n") + "\n";
  const struct {
    const char* name;
    std::string bytes;
  } files[] = {
      {"headings at the start", "第一章 开端\r\n甲\r\n\r\n第二章\r\n乙\r\n"},
      {"text before the first heading, a long section, CR",
       "楔子之前\r第一章\r" + TNovel::Joined(TNovel().Prose(2500).source, "\r") + "\r第二章\r丙"},
      {"blank prologue, LF", "\n　 \t\n第一章\n第二章\n\nx\n"},
      {"heading-less, cut into pages", prose},
      {"one heading, a line longer than a page", "第一章\r\n" + prose.substr(0, 150000) +
                                                     std::string(300000, 'x') + "\r\n" +
                                                     prose.substr(0, 200000)},
      {"markup, controls, every line end",
       "序章 <a&b>\r\n1 < 2 & 3\n\r第二章 \"q\"\r\r\n\x01&amp;\x7F\n\n 　第三章：完\r\n"},
      {"headings alone", "第一章\r\n第二章"},
      {"markup that grows fivefold, cut", markup},
      {"GB18030", Utf8ToAnsi(shortChapters + prose)},
      {"UTF-16", test::Utf16File(shortChapters + prose)},
      {"UTF-8 mark", "\xEF\xBB\xBF" + shortChapters + "\xC3("},
      {"not UTF-8, found late", shortChapters + prose + "\xFF"},
      {"empty", ""},
  };
  std::vector<TChapter> chapters;
  for (size_t i = 0; i < std::size(files); ++i)
    chapters.push_back(Chapter("c" + std::to_string(i), files[i].bytes));
  TBookInfo book = Book();
  converter_.SplitChapters = true;
  converter_.StageFixedFiles(book, "");
  converter_.WritePackageDocuments(book, chapters);

  const std::string whole = dir_ / "whole/";
  test::MakeDirs(whole);
  std::vector<TChapterPages> toc;
  for (size_t i = 0; i < chapters.size(); ++i)
    toc.push_back(WriteSplitChapter(whole, i, chapters[i].label, LoadSourceText(chapters[i].path)));
  WriteUtf8File(whole + "content.opf", PackageDocument(book, toc));
  WriteUtf8File(whole + "toc.ncx", NavigationMap(book, toc));
  const std::map<std::string, std::string> expected = FilesIn(whole);
  ExpectSameFiles(FilesIn(Staging() + "/OEBPS/"), expected);
  EXPECT_EQ(converter_.SplitFiles().size(), 8u);

  for (const size_t block : {size_t{1}, size_t{61}}) {
    for (size_t i = 0; i < chapters.size(); ++i) {
      SCOPED_TRACE(std::string(files[i].name) + ", blocks of " + std::to_string(block));
      const std::string folder = dir_ / "blocks/";
      std::filesystem::remove_all(folder);
      test::MakeDirs(folder);
      TSourceText source(chapters[i].path, block);
      const TChapterPages pages = WriteSplitChapter(folder, i, chapters[i].label, source);
      EXPECT_EQ(pages.pages, toc[i].pages);
      ASSERT_EQ(pages.headings.size(), toc[i].headings.size());
      for (size_t k = 0; k < toc[i].headings.size(); ++k) {
        EXPECT_EQ(pages.headings[k].page, toc[i].headings[k].page) << k;
        // As the table of contents shows it: blocks may give a character another ANSI form.
        EXPECT_EQ(AnsiToUtf8(pages.headings[k].label), AnsiToUtf8(toc[i].headings[k].label)) << k;
      }
      std::map<std::string, std::string> own;
      for (size_t k = 0; k < toc[i].pages; ++k)
        own[PageFileName(i, k)] = expected.at(PageFileName(i, k));
      ExpectSameFiles(FilesIn(folder), own);
    }
  }
}

// Splitting off, or nothing to split: the pages and documents one page per file has always
// made (those writers' texts are pinned in the document tests).
TEST_F(ConvertTest, WithoutASplitEveryFileIsOnePageAsAlways) {
  const std::vector<TChapter> chapters = {
      Chapter("单章", "第一章\r\n" + TNovel::Joined(TNovel().Prose(5).source, "\r\n")),
      Chapter("小说", "第一章\r\nA\r\n第二章\r\nB"),
      Chapter("长文", TNovel::Joined(TNovel().Prose(1500).source, "\r\n")),
  };
  TBookInfo book = Book();
  converter_.StageFixedFiles(book, "");
  converter_.WritePackageDocuments(book, chapters);
  const std::string folder = Staging() + "/OEBPS/";
  std::vector<std::string> labels;
  std::map<std::string, std::string> expected;
  for (size_t i = 0; i < chapters.size(); ++i) {
    labels.push_back(chapters[i].label);
    expected[ChapterFileName(i)] =
        AnsiToUtf8(ChapterPage(chapters[i].label, LoadSourceText(chapters[i].path)));
  }
  expected["content.opf"] = AnsiToUtf8(PackageDocument(book, 3));
  expected["toc.ncx"] = AnsiToUtf8(NavigationMap(book, labels));
  ExpectSameFiles(FilesIn(folder), expected);
  EXPECT_TRUE(converter_.SplitFiles().empty());

  // Split on: a file with one heading, short enough, is still the same page.
  converter_.SplitChapters = true;
  converter_.StageFixedFiles(book, "");
  converter_.WritePackageDocuments(book, chapters);
  EXPECT_EQ(ReadBytes(folder + "0.html"), expected.at("0.html"));
  EXPECT_TRUE(std::filesystem::exists(folder + "2-1.html"));  // the long one is cut
}

}  // namespace
}  // namespace lumbrella
