// Converting onto a file that exists: the new book owns its own names, whatever else the
// file holds stays after them, and the result is a valid book.
#include <gtest/gtest.h>

#include <string>
#include <vector>

#include "book/convert.h"
#include "common/test_util.h"
#include "platform/codepage.h"
#include "test_convert_util.h"
#include "zip/packer.h"

namespace lumbrella {
namespace {

using Names = std::vector<std::string>;

class ConvertUpdateTest : public ::testing::Test {
 protected:
  ConvertUpdateTest() : tempDir_(dir_ / "tmp/"), converter_(tempDir_, packer_) {
    test::MakeDirs(tempDir_);
  }

  std::vector<TChapter> Chapters(int count) {
    std::vector<TChapter> rows;
    for (int i = 0; i < count; ++i) {
      std::string name = "chapter " + std::to_string(i);
      test::WriteBytes(dir_ / (name + ".txt"), "text of " + name);
      rows.push_back({name, dir_ / (name + ".txt")});
    }
    return rows;
  }
  void Convert(const TBookFields& fields, int chapters) {
    ASSERT_TRUE(converter_.Convert(fields, Chapters(chapters), book_))
        << converter_.LastPackerError();
  }

  test::TempFolder dir_;
  std::string tempDir_;
  std::string book_ = dir_ / "B.epub";
  TZipPacker packer_;
  TBookConverter converter_;
};

TEST_F(ConvertUpdateTest, ABookMadeOverAnOlderOneHoldsOnlyTheNewBook) {
  test::WriteBytes(dir_ / "cover.png", test::ImageBytes("PNG"));
  Convert({"T", "A", dir_ / "cover.png"}, 6);
  Convert({"T", "A", ""}, 2);
  test::BookDump dump = test::ReadBook(book_);
  ASSERT_EQ(dump.error, "");
  EXPECT_EQ(dump.entries,
            (Names{"mimetype", "META-INF/container.xml", "OEBPS/0.html", "OEBPS/1.html",
                   "OEBPS/content.opf", "OEBPS/css/main.css", "OEBPS/toc.ncx"}));
  EXPECT_EQ(test::EpubcheckProblems(book_), "");
}

// An ordinary archive at the chosen path: its book names give way, its other entries stay
// byte for byte behind the book, in their order, and mimetype opens the file.
TEST_F(ConvertUpdateTest, ABookMadeOverAForeignZipKeepsItsOtherEntriesBehindTheBook) {
  test::CommandResult made = test::Run(
      "python3 -c 'import sys, zipfile\n"
      "with zipfile.ZipFile(sys.argv[1], \"w\", zipfile.ZIP_DEFLATED) as z:\n"
      "  z.writestr(\"notes.txt\", \"notes \" * 100)\n"
      "  z.writestr(\"mimetype\", \"text/plain\")\n"
      "  z.writestr(\"OEBPS/9.html\", \"an old page\")\n"
      "  z.writestr(\"extra/data.bin\", bytes(range(256)))\n' " +
      test::Quote(book_));
  ASSERT_EQ(made.exitCode, 0) << made.output;
  const std::string foreignEntries =
      "python3 -c 'import sys, zipfile\n"
      "z = zipfile.ZipFile(sys.argv[1])\n"
      "for n in (\"notes.txt\", \"extra/data.bin\"):\n"
      "  i = z.getinfo(n); print(n, i.CRC, i.compress_size, z.read(n).hex())\n' " +
      test::Quote(book_);
  const std::string before = test::Run(foreignEntries).output;

  Convert({"T", "A", ""}, 1);
  test::BookDump dump = test::ReadBook(book_);
  ASSERT_EQ(dump.error, "");
  EXPECT_EQ(dump.entries,
            (Names{"mimetype", "META-INF/container.xml", "OEBPS/0.html", "OEBPS/content.opf",
                   "OEBPS/css/main.css", "OEBPS/toc.ncx", "notes.txt", "extra/data.bin"}));
  EXPECT_EQ(test::Run(foreignEntries).output, before);
  const std::string bytes = test::ReadBytes(book_);
  EXPECT_EQ(bytes.substr(0, 4), "PK\3\4");
  EXPECT_EQ(bytes.substr(8, 2), std::string(2, '\0'));   // stored
  EXPECT_EQ(bytes.substr(28, 2), std::string(2, '\0'));  // no extra field
  EXPECT_EQ(bytes.substr(30, 28), "mimetypeapplication/epub+zip");
  // The validator warns of the files the package does not list, but finds no error.
  const std::string problems = test::EpubcheckProblems(book_);
  EXPECT_TRUE(problems.empty() || problems.find(" 0 fatals / 0 errors ") != std::string::npos)
      << problems;
}

}  // namespace
}  // namespace lumbrella
