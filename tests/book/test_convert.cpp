#include <gtest/gtest.h>

#include <algorithm>
#include <cerrno>
#include <climits>
#include <filesystem>
#include <map>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "book/convert.h"
#include "book/cover.h"
#include "book/failure.h"
#include "book/split.h"
#include "common/test_util.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/stream.h"
#include "platform/tempdir.h"
#include "test_convert_util.h"
#include "zip/errors.h"
#include "zip/packer.h"
#include "zip/reader.h"

namespace lumbrella {
namespace {

using test::BookDump;
using test::FilesIn;
using test::ImageBytes;
using test::MessageOf;
using test::ReadBook;
using test::ReadBytes;
using test::TempFolder;
using test::TNovel;
using test::WriteBytes;

std::string A(const std::string& utf8) {
  return Utf8ToAnsi(utf8);
}

// The chapters' texts of a book that a reader we did not write finds faultless.
std::vector<std::string> TextsOf(const std::string& book) {
  const BookDump dump = ReadBook(book);
  EXPECT_EQ(dump.error, "");
  return dump.texts;
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

  TempFolder dir_;
  std::string tempDir_;
  TZipPacker packer_;
  TBookConverter converter_;
};

// The one book the validator sees: the test chapters in their five encodings, every line end,
// markup and controls, characters the code page tables disagree on in a label, a file listed
// twice, a cover to convert, title and author full of markup, files split at their headings
// (a table of contents on three levels: file, volume, chapter; a contents block at the top that
// stays text, chapter numbers that restart in each volume) or cut for length, a file whose first
// line is its heading, and a long hard-wrapped one; written over a book of another tool to which
// a user added files, whose names differ from this book's in letter case. A reader we did not
// write finds every field, every point of the table of contents in reading order, every
// character of the sources in order (blanks and line ends aside), the wrapped text's
// paragraphs, and no empty paragraph. The names of the book, its pages and cover give way
// whatever their letter case; the files added stay behind the book, unlisted, byte for byte
// and in their order.
TEST_F(ConvertTest, AFullBookIsValidAndReadsBackAsItsSources) {
  const std::string book = dir_ / "诗集.epub";
  // The other tool's book: the names of a book, its pages and cover in other letter cases,
  // among the files a user added.
  const std::vector<std::string> added = {"notes.txt",
                                          "META-INF/calibre_bookmarks.txt",
                                          "OEBPS/Images/illustration.jpg",
                                          "OEBPS/Fonts/kai.ttf",
                                          "OEBPS/Text/afterword.xhtml",
                                          "OEBPS/9a.html",
                                          "OEBPS/css/extra.css",
                                          "extra/data.bin"};
  const std::string foreign =
      "python3 -c 'import sys, zipfile\n"
      "z = zipfile.ZipFile(sys.argv[1], sys.argv[2])\n"
      "for n in sys.argv[3:]:\n"
      "  if z.mode == \"r\": i = z.getinfo(n); print(n, i.CRC, i.compress_size, z.read(n).hex())\n"
      "  elif n.endswith(\".xhtml\"): z.writestr(n, \"<?xml version=\\\"1.0\\\"?><html "
      "xmlns=\\\"http://www.w3.org/1999/xhtml\\\"><head><title>x</title></head>"
      "<body><p>x</p></body></html>\")\n"
      "  else: z.writestr(n, (n + \" \") * 50, zipfile.ZIP_DEFLATED)\n"
      "z.close()' " +
      test::Quote(book);
  std::string kept;
  for (const std::string& name : added)
    kept += " " + test::Quote(name);
  test::CommandResult made =
      test::Run(foreign +
                " w notes.txt Mimetype META-INF/calibre_bookmarks.txt oebps/0.html OEBPS/9.html "
                "OEBPS/3-2.html oebps/Toc.ncx OEBPS/images/Cover.JPG OEBPS/Images/illustration.jpg "
                "OEBPS/Fonts/kai.ttf OEBPS/Text/afterword.xhtml OEBPS/9a.html OEBPS/CSS/Main.css "
                "OEBPS/css/extra.css extra/data.bin");
  ASSERT_EQ(made.exitCode, 0) << made.output;
  const std::string before = test::Run(foreign + " r" + kept).output;

  std::vector<TChapter> rows;
  std::vector<std::string> texts;  // what each chapter shows, lines joined by LF
  for (const std::string& path : test::SampleFiles()) {
    rows.push_back(TChapter{A(std::filesystem::path(path).stem().string()), A(path)});
    // The decoding itself is checked against iconv in the encoding tests.
    texts.push_back(test::SourceUtf8(A(path)));
  }
  ASSERT_EQ(rows.size(), 5u);
  rows.push_back(Chapter("edge <&>",
                         "a & b\r\n<c>\nd\re\n\r\x01\x1F"
                         "f😀\t\"g\"\r\n"));
  texts.push_back("a & b\n<c>\nd\ne\n\nf😀\t\"g\"\n");
  // Private-use characters the C library's table lacks, the euro sign, a vertical form.
  const TChapter twice = Chapter("\u20AC \uE816\uE78D\uFE10\u9FB4 \U0001F600", "甲\r\n乙");
  rows.push_back(twice);
  texts.push_back("甲\n乙");

  TNovel novel, opening, single, wrapped;
  novel.Line("书名：雨伞").Line("作者：某人").Line("目录").Line("第一卷 开端").Line("第一章 开端");
  novel.Line("第二章：风 & <雨>").Line("第二卷 归来").Line("第一章 重逢").Line("");
  // A volume without text of its own is shown on its first chapter's page.
  novel.Hidden("正文 第一卷 开端").Heading("正文 第一章 开端", "第一章 开端").Prose(3);
  novel.Heading("　　第二章：风 & <雨>　", "第二章：风 & <雨>").Prose(2500);  // several pages
  novel.Heading("第二卷 归来", "第二卷 归来").Line("卷首语").Heading("第一章 重逢", "第一章 重逢");
  novel.Prose(1).Heading("第三章 雨停 本章字数：2345 更新时间：2010-1-1 12:00:00 求收藏求推荐",
                         "第三章 雨停", "本章字数：2345 更新时间：2010-1-1 12:00:00 求收藏求推荐");
  novel.Heading("Chapter IV", "Chapter IV").Prose(1).Heading("番外", "番外");  // no line after
  // Begins with a heading (its page is the file's first), one follows right after it.
  opening.Heading("第一章", "第一章").Heading("第二章", "第二章").Line("").Line("x");
  single.Heading("第一章", "第一章").Prose(2);  // one heading: no split, but its page's heading
  wrapped.Wrapped(1500, 40);                    // no heading, hard-wrapped: 390 KB of XHTML
  const std::pair<const char*, std::string> novels[] = {
      {"小说", TNovel::Joined(novel.source, "\r\n")},
      {"起首", TNovel::Joined(opening.source, "\n")},
      {"单章", TNovel::Joined(single.source, "\r\n")},
      {"长文", TNovel::Joined(wrapped.source, "\r")},
  };
  for (const auto& [name, text] : novels)
    rows.push_back(Chapter(name, text));
  for (const TNovel* n : {&novel, &opening, &single, &wrapped})
    texts.push_back(TNovel::Joined(n->shown, "\n"));
  rows.push_back(twice);
  texts.push_back("甲\n乙");

  WriteBytes(dir_ / "front.bmp", ImageBytes("BMP"));
  const TBookFields fields{A("诗 & <\"Rain\">"), A("\"Li\" & <Bai>"), A(dir_ / "front.bmp")};
  converter_.SplitChapters = true;
  ASSERT_TRUE(converter_.Convert(fields, rows, A(book))) << converter_.LastPackerError();
  EXPECT_FALSE(std::filesystem::exists(Staging()));
  ASSERT_EQ(converter_.SplitFiles().size(), 2u);
  EXPECT_EQ(converter_.SplitFiles()[0].chapter, 7u);
  const THeadingReport& report = converter_.SplitFiles()[0].report;
  EXPECT_EQ(report.chapters, 6u);
  EXPECT_EQ(report.volumes, 2u);
  ASSERT_EQ(report.gaps.size(), 1u);
  EXPECT_EQ(report.gaps[0].after, A("第三章"));
  EXPECT_EQ(converter_.SplitFiles()[1].chapter, 8u);
  EXPECT_EQ(converter_.SplitFiles()[1].report.chapters, 2u);

  EXPECT_EQ(test::EpubcheckProblems(book, {"OPF-003"}), "");
  BookDump dump = ReadBook(book);
  ASSERT_EQ(dump.error, "");
  EXPECT_EQ(dump.Field("title"), "诗 & <\"Rain\">");
  EXPECT_EQ(dump.Field("doctitle"), "诗 & <\"Rain\">");
  EXPECT_EQ(dump.Field("creator"), "\"Li\" & <Bai>");
  EXPECT_EQ(dump.Field("language"), "zh-CN");
  EXPECT_EQ(dump.Field("cover"), "images/cover.png image/png");
  EXPECT_EQ(dump.Field("uid"), dump.Field("identifier"));
  EXPECT_TRUE(dump.Field("identifier").starts_with("urn:uuid:"));
  EXPECT_EQ(dump.Field("depth"), "3");
  EXPECT_EQ(dump.Field("contributor"), "Lumbrella");
  EXPECT_EQ(dump.Field("publisher") + dump.Field("source"), "");
  EXPECT_TRUE(test::Visible(dump.Field("body")) == test::Visible(TNovel::Joined(texts, "\n")));
  const auto unwrapped = std::find(dump.labels.begin(), dump.labels.end(), "长文");
  ASSERT_NE(unwrapped, dump.labels.end());
  EXPECT_TRUE(dump.texts[unwrapped - dump.labels.begin()] == TNovel::Joined(wrapped.shown, "\n"));

  // Chapters are numbered by their position; the table of contents holds each one, and under
  // a split one its headings, a chapter under its volume. Points on the same page share their
  // number: a file and a heading on its first page, a volume and its first chapter.
  const std::string label = AnsiToUtf8(twice.label);
  EXPECT_EQ(dump.Lines("toc"), (std::vector<std::string>{"1 1 01 立春",
                                                         "1 2 02 夏至",
                                                         "1 3 03 秋分",
                                                         "1 4 04 冬至",
                                                         "1 5 05 A&B <notes>",
                                                         "1 6 edge <&>",
                                                         "1 7 " + label,
                                                         "1 8 小说",
                                                         "2 9 第一卷 开端",
                                                         "3 9 第一章 开端",
                                                         "3 10 第二章：风 & <雨>",
                                                         "2 11 第二卷 归来",
                                                         "3 12 第一章 重逢",
                                                         "3 13 第三章 雨停",
                                                         "3 14 Chapter IV",
                                                         "3 15 番外",
                                                         "1 16 起首",
                                                         "2 16 第一章",
                                                         "2 17 第二章",
                                                         "1 18 单章",
                                                         "1 19 长文",
                                                         "1 20 " + label}));
  const std::vector<std::string> targets = dump.Lines("targets");
  const std::vector<std::string> pages = dump.Lines("pages");
  ASSERT_EQ(targets.size(), 22u);
  EXPECT_EQ(targets[6], "6.html");
  EXPECT_EQ(targets[21], "11.html");
  // Targets in reading order; shared only by the points above.
  size_t next = 0;
  for (size_t i = 0; i < targets.size(); ++i) {
    SCOPED_TRACE(targets[i]);
    if (i == 9 || i == 17) {  // 第一卷's first chapter, 起首's first heading
      EXPECT_EQ(targets[i], targets[i - 1]);
      continue;
    }
    while (next < pages.size() && pages[next] != targets[i])
      ++next;
    ASSERT_LT(next, pages.size()) << "not in the spine, or out of order";
    ++next;
  }
  // The long ones were cut: the second chapter of 小说 onto two more pages, 长文 onto one more.
  EXPECT_EQ(pages.size(), targets.size() - 2 + 3);
  std::set<std::string> entries = {
      "mimetype",           "META-INF/container.xml", "OEBPS/content.opf",     "OEBPS/toc.ncx",
      "OEBPS/css/main.css", "OEBPS/cover.html",       "OEBPS/images/cover.png"};
  for (const std::string& page : pages)
    entries.insert("OEBPS/" + page);
  // The files added stay behind the book, byte for byte, in their order.
  ASSERT_GT(dump.entries.size(), added.size());
  const auto bookEnd = dump.entries.end() - static_cast<std::ptrdiff_t>(added.size());
  EXPECT_EQ(std::set<std::string>(dump.entries.begin(), bookEnd), entries);
  EXPECT_EQ(std::vector<std::string>(bookEnd, dump.entries.end()), added);
  EXPECT_EQ(test::Run(foreign + " r" + kept).output, before);
  const std::string bytes = ReadBytes(book);
  EXPECT_EQ(bytes.substr(28, 2), std::string(2, '\0'));  // mimetype without extra field
}

// The title is the field, or the output's name when the field shows nothing; a new
// identifier each time.
TEST(Convert, BookInfo) {
  const struct {
    std::string title, output, expected;
  } cases[] = {
      {"T", "/b/x.epub", "T"},
      {"", "/b/myepub.epub", "myepub"},
      {"", "/b/my.book.zip", "my.book"},
      {"", "/b.d/noext", "noext"},
      {"", "/b/.epub", "myepub"},
      {"", A("/b/雨夜.epub"), A("雨夜")},
      {"\x01\x1b\x7f", "/b/x.epub", "x"},
      {A(" \t　\u0085"), "/b/x.epub", "x"},
      {"\x01T", "/b/x.epub", "\x01T"},
  };
  std::set<std::string> ids;
  for (const auto& c : cases) {
    const TBookInfo book = MakeBookInfo({c.title, "A", "/c.png"}, c.output);
    EXPECT_EQ(book.title, c.expected) << c.output;
    EXPECT_EQ(book.author, "A");
    EXPECT_TRUE(book.coverImage.empty());
    ids.insert(book.uuid);
  }
  EXPECT_EQ(ids.size(), std::size(cases));
}

// The save dialog's proposal is a name the file system takes, here and on Windows.
TEST(Convert, ProposedBookNameHoldsNoCharacterAFileNameCannot) {
  const struct {
    std::string title, name;
  } cases[] = {
      {"", "myepub"},
      {A("西游记"), A("西游记")},
      {"a/b\\c:d*e?f\"g<h>i|j", "a_b_c_d_e_f_g_h_i_j"},
      {"tab\there", "tab_here"},
      {A("墊淺/億"), A("墊淺_億")},  // their second bytes are "|", "\\" and "|"
  };
  for (const auto& c : cases)
    EXPECT_EQ(ProposedBookName(c.title), c.name) << AnsiToUtf8(c.title);
}

// The cause the window tells is decided by what was raised and where, not by its text.
TEST(Convert, FailureCauses) {
  const std::string output = "/books/out.epub";
  const std::string cover = "/pictures/front.png";
  // What the file layer raises (RaiseOpenError, RaiseCreateError) for a path and an errno.
  auto raised = [](void (*raise)(std::string_view, int), const std::string& path, int err) {
    try {
      raise(path, err);
    } catch (...) {
      return std::current_exception();
    }
    return std::exception_ptr();
  };
  const auto createError = [&](const std::string& path, int err) {
    return raised(RaiseCreateError, path, err);
  };
  using enum TFailureCause;
  const struct {
    const char* what;
    std::exception_ptr error;
    TFailureCause cause;
  } cases[] = {
      {"no end record", std::make_exception_ptr(EIncompleteZip()), fcNotAnArchive},
      {"no archive", std::make_exception_ptr(ENotAZipFile()), fcNotAnArchive},
      {"directory beyond repair", std::make_exception_ptr(EBadZipFile()), fcNotAnArchive},
      {"short write", std::make_exception_ptr(ENotEnoughRoom()), fcDiskFull},
      {"staged write", std::make_exception_ptr(EWriteError()), fcDiskFull},
      {"output denied", createError(output, EACCES), fcNoPermission},
      {"output on a read-only disk", createError(output, EROFS), fcNoPermission},
      {"output's folder gone", createError(output, ENOENT), fcFolderMissing},
      {"output's name too long", createError(output, ENAMETOOLONG), fcNameTooLong},
      {"disk full under the staging folder", createError("/tmp/EPUB/OEBPS/0.html", ENOSPC),
       fcDiskFull},
      {"staging folder denied", createError("/tmp/EPUB/OEBPS/0.html", EACCES), fcUnknown},
      {"chapter gone", raised(RaiseOpenError, "/books/1.txt", ENOENT), fcChapterUnreadable},
      {"chapter denied", raised(RaiseOpenError, "/books/1.txt", EACCES), fcChapterUnreadable},
      {"cover gone", raised(RaiseOpenError, cover, ENOENT), fcCoverUnreadable},
      {"cover no image",
       std::make_exception_ptr(EInvalidGraphic("Cannot read image \"/pictures/front.png\"")),
       fcCoverUnreadable},
      {"busy", std::make_exception_ptr(EConversionBusy()), fcBusy},
      {"another process writes the book", createError(output, EWOULDBLOCK), fcBusy},
      {"a write refused for another cause", raised(RaiseWriteError, "/tmp/EPUB/x", EIO), fcUnknown},
      {"anything else", std::make_exception_ptr(Exception("Error: Could not copy")), fcUnknown},
      {"nothing", nullptr, fcUnknown},
  };
  for (const auto& c : cases) {
    EXPECT_EQ(FailureCause(c.error, cover, output), c.cause) << c.what;
    EXPECT_EQ(FailureCauseText(c.cause).empty(), c.cause == fcUnknown) << c.what;
  }
}

// A book the folder in memory has no room for goes to disk: one its estimate says is too big,
// and one that fills the folder all the same, staged again on disk without a word. Only a
// failure there is told, naming the file and the cause. A folder on disk stays.
TEST(Convert, StagingLeavesTheFolderInMemoryForWantOfRoom) {
  if (!test::RuntimeFolderInMemory::Possible()) GTEST_SKIP() << "no tmpfs at /dev/shm";
  TempFolder disk;
  const test::RuntimeFolderInMemory runtime;
  EXPECT_FALSE(NeedsDiskStaging(runtime.Path() + "/lumbrella-x/", 1 << 20));
  EXPECT_TRUE(NeedsDiskStaging(runtime.Path() + "/lumbrella-x/", INT64_MAX));
  EXPECT_FALSE(NeedsDiskStaging(disk.Path(), INT64_MAX));

  WriteBytes(disk / "a.txt", "甲");
  const std::vector<TChapter> rows = {{"a", disk / "a.txt"}};
  struct Faults {
    ~Faults() { SetWriteFault(nullptr); }
  } faults;
  for (const bool diskFull : {false, true}) {
    SCOPED_TRACE(diskFull ? "the disk is full too" : "only the folder in memory is full");
    std::set<std::string> onDisk;  // the private folders staged into on disk
    SetWriteFault([&](const std::string& path) {
      if (path.starts_with(runtime.Path() + "/")) return ENOSPC;
      const size_t tree = path.find("/EPUB/");
      if (tree == std::string::npos) return 0;  // the book
      onDisk.insert(path.substr(0, tree));
      return diskFull ? ENOSPC : 0;
    });
    TPrivateTempDir inMemory;
    ASSERT_TRUE(inMemory.Path().starts_with(runtime.Path() + "/"));
    TZipPacker packer;
    TBookConverter converter(inMemory.Path(), packer);
    if (diskFull) {
      const std::string message = MessageOf<EWriteError>([&] {
        converter.Convert({"T", "A", ""}, rows, disk / "out.epub");
      });
      ASSERT_EQ(onDisk.size(), 1u);
      EXPECT_EQ(message, "Stream write error: \"" + *onDisk.begin() +
                             "/EPUB/mimetype\". No space left on device");
    } else {
      ASSERT_TRUE(converter.Convert({"T", "A", ""}, rows, disk / "out.epub"));
      EXPECT_EQ(TextsOf(disk / "out.epub"), std::vector<std::string>{"甲"});
      EXPECT_EQ(onDisk.size(), 1u);
    }
    EXPECT_FALSE(std::filesystem::exists(converter.StagingRoot()));
    for (const std::string& folder : onDisk)
      EXPECT_FALSE(std::filesystem::exists(folder)) << folder;
  }
}

// A chapter deleted after listing stops the conversion before packing; a packer's failure is
// reported after. Either way the tree goes and the conversion is over.
TEST_F(ConvertTest, AFailureRemovesTheTreeAndEndsTheConversion) {
  std::vector<TChapter> rows = {Chapter("a", "A"), Chapter("b", "B")};
  std::filesystem::remove(dir_ / "b.txt");
  const auto convert = [&] { converter_.Convert({"T", "A", ""}, rows, A(dir_ / "out.epub")); };
  EXPECT_EQ(MessageOf<EFOpenError>(convert),
            "Cannot open file \"" + dir_.Path() + "b.txt\". No such file or directory");
  EXPECT_FALSE(std::filesystem::exists(Staging()));
  EXPECT_FALSE(std::filesystem::exists(dir_ / "out.epub"));
  EXPECT_FALSE(converter_.Busy());

  rows.pop_back();
  EXPECT_FALSE(converter_.Convert({"T", "A", ""}, rows, A(dir_ / "missing/out.epub")));
  EXPECT_EQ(converter_.LastPackerError(), "Cannot create file \"" + dir_.Path() +
                                              "missing/out.epub\". No such file or directory");
  EXPECT_FALSE(std::filesystem::exists(Staging()));
  EXPECT_FALSE(converter_.Busy());
}

// The check made when a cover is chosen refuses what the conversion would fail on.
TEST_F(ConvertTest, ACoverThatCannotBeReadStopsTheConversion) {
  WriteBytes(dir_ / "damaged.gif.bmp", "BM not really");
  WriteBytes(dir_ / "text.png", "a text file under an image's name");
  const struct {
    std::string cover;
    std::string message;
  } cases[] = {
      {"absent.jpg",
       "Cannot open file \"" + dir_.Path() + "absent.jpg\". No such file or directory"},
      {"damaged.gif.bmp",
       "Cannot read image \"" + dir_.Path() + "damaged.gif.bmp\". Unknown or damaged image format"},
      {"text.png",
       "Cannot read image \"" + dir_.Path() + "text.png\". Unknown or damaged image format"},
  };
  const std::vector<TChapter> rows = {Chapter("a", "A")};
  for (const auto& c : cases) {
    SCOPED_TRACE(c.cover);
    const std::string cover = A(dir_ / c.cover);
    EXPECT_EQ(MessageOf([&] {
                converter_.Convert({"T", "A", cover}, rows, A(dir_ / "out.epub"));
              }),
              c.message);
    EXPECT_FALSE(std::filesystem::exists(Staging()));
    EXPECT_FALSE(std::filesystem::exists(dir_ / "out.epub"));
    EXPECT_EQ(MessageOf([&] { CheckCoverImage(cover); }), c.message);
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
  BookDump dump = ReadBook(book);
  ASSERT_EQ(dump.error, "");
  EXPECT_EQ(std::set<std::string>(dump.entries.begin(), dump.entries.end()),
            (std::set<std::string>{"mimetype", "META-INF/container.xml", "OEBPS/0.html",
                                   "OEBPS/content.opf", "OEBPS/cover.html", "OEBPS/css/main.css",
                                   "OEBPS/images/cover.png", "OEBPS/toc.ncx"}));
  EXPECT_EQ(test::Run("unzip -p " + test::Quote(book) + " OEBPS/images/cover.png").output, cover);
}

// Converting onto a book made before: the new book owns its own names, so the old one's pages
// beyond the new count and its cover go. An update that kept entries dated as new as the
// staged files, or newer, would keep the old chapters: the second conversion lands within the
// same two seconds, or (as here, to be sure) onto a book whose entries are dated later.
TEST_F(ConvertTest, ABookMadeOverAnOlderOneHoldsOnlyTheNewBook) {
  const std::string book = dir_ / "out.epub";
  std::vector<TChapter> rows;
  for (int i = 0; i < 6; ++i)
    rows.push_back(Chapter("chapter " + std::to_string(i), "old text"));
  WriteBytes(dir_ / "cover.png", ImageBytes("PNG"));
  ASSERT_TRUE(converter_.Convert({"T", "A", A(dir_ / "cover.png")}, rows, A(book)));
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

  ASSERT_TRUE(
      converter_.Convert({"T", "A", ""}, {Chapter("a", "new text"), Chapter("b", "B")}, A(book)))
      << converter_.LastPackerError();
  const BookDump dump = ReadBook(book);
  ASSERT_EQ(dump.error, "");
  EXPECT_EQ(dump.texts, (std::vector<std::string>{"new text", "B"}));
  EXPECT_EQ(dump.entries, (std::vector<std::string>{
                              "mimetype", "META-INF/container.xml", "OEBPS/0.html", "OEBPS/1.html",
                              "OEBPS/content.opf", "OEBPS/css/main.css", "OEBPS/toc.ncx"}));
}

// A file at the output that is no archive (a download cut short) cannot be updated: it is
// left alone, or, when asked, replaced by the book in one step, nothing left beside it.
TEST_F(ConvertTest, AFileThatIsNoArchiveIsReplacedOnlyWhenAsked) {
  const std::string book = dir_ / "out.epub";
  const std::string cut = "PK\3\4 the first bytes of a book, and no more";
  WriteBytes(book, cut);
  ASSERT_TRUE(HoldsNoArchive(A(book)));
  const std::vector<TChapter> rows = {Chapter("a", "A")};
  EXPECT_FALSE(converter_.Convert({"T", "A", ""}, rows, A(book)));
  EXPECT_EQ(FailureCause(converter_.LastPackerFailure(), "", A(book)),
            TFailureCause::fcNotAnArchive);
  EXPECT_EQ(ReadBytes(book), cut);

  converter_.ReplaceOutput = true;
  ASSERT_TRUE(converter_.Convert({"T", "A", ""}, rows, A(book))) << converter_.LastPackerError();
  EXPECT_FALSE(HoldsNoArchive(A(book)));
  EXPECT_EQ(TextsOf(book), std::vector<std::string>{"A"});
  std::vector<std::string> beside;
  for (const auto& [name, bytes] : FilesIn(dir_.Path()))
    beside.push_back(name);
  EXPECT_EQ(beside, (std::vector<std::string>{"a.txt", "out.epub"}));
}

// The window makes a new converter for each Convert, on the same temporary folder and packer.
TEST_F(ConvertTest, ASecondConversionIsRefusedWhileOneIsPacking) {
  const std::vector<TChapter> rows = {Chapter("a", "A")};
  std::optional<std::string> refused;  // at the first step only
  TProgress progress;
  packer_.Progress = &progress;
  progress.OnStep = [&] {
    if (refused) return;
    refused = MessageOf([&] {
      TBookConverter(tempDir_, packer_)
          .Convert({"T", "A", ""}, {Chapter("b", "B")}, A(dir_ / "other.epub"));
    });
  };
  ASSERT_TRUE(converter_.Convert({"T", "A", ""}, rows, A(dir_ / "out.epub")));
  EXPECT_EQ(refused, "A conversion is already in progress");
  EXPECT_FALSE(std::filesystem::exists(dir_ / "other.epub"));
  EXPECT_EQ(TextsOf(dir_ / "out.epub"), std::vector<std::string>{"A"});
}

}  // namespace
}  // namespace lumbrella
