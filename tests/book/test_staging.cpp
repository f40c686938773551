#include <gtest/gtest.h>

#include <QImage>
#include <filesystem>
#include <set>
#include <string>

#include "book/cover.h"
#include "book/staging.h"
#include "common/test_util.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "test_convert_util.h"

namespace lumbrella {
namespace {

using test::ImageBytes;
using test::ReadBytes;
using test::TempFolder;
using test::WriteBytes;

// Every file and folder under root, relative, folders ending in "/".
std::set<std::string> TreeOf(const std::string& root) {
  std::set<std::string> tree;
  for (const auto& e : std::filesystem::recursive_directory_iterator(root)) {
    std::string rel = std::filesystem::relative(e.path(), root).string();
    tree.insert(e.is_directory() ? rel + "/" : rel);
  }
  return tree;
}

std::string Repeat(const std::string& piece, size_t times) {
  std::string all;
  for (size_t i = 0; i < times; ++i)
    all += piece;
  return all;
}

TEST(Staging, WriteUtf8FileConvertsAnsiToUtf8) {
  TempFolder dir;
  const struct {
    const char* name;
    std::string ansi;
    std::string utf8;
  } cases[] = {
      {"ASCII byte for byte", "<a href=\"x\">\r\n\t</a>", "<a href=\"x\">\r\n\t</a>"},
      {"Chinese", Utf8ToAnsi("雨伞"), "\xE9\x9B\xA8\xE4\xBC\x9E"},
      // Outside the BMP: one four-byte sequence, not two three-byte halves.
      {"surrogate pair", Utf8ToAnsi("a😀"), "a\xF0\x9F\x98\x80"},
      {"zero bytes pass", std::string("a\0b", 3), std::string("a\0b", 3)},
      // Long texts are converted in slices; no character may be cut at a slice's end.
      {"two-byte characters across slices", "a" + Repeat(Utf8ToAnsi("雨"), 70000),
       "a" + Repeat("\xE9\x9B\xA8", 70000)},
      {"four-byte characters across slices", "ab" + Repeat(Utf8ToAnsi("😀"), 40000),
       "ab" + Repeat("\xF0\x9F\x98\x80", 40000)},
      {"empty", "", ""},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    WriteBytes(dir / "out.txt", "an older and longer content");
    WriteUtf8File(dir / "out.txt", c.ansi);
    EXPECT_EQ(ReadBytes(dir / "out.txt"), c.utf8);  // no byte order mark, nothing added
  }
}

TEST(Staging, TreeWithoutCover) {
  TempFolder dir;
  const std::string root = dir / "EPUB";
  StageTree(root);
  EXPECT_EQ(TreeOf(root),
            (std::set<std::string>{"mimetype", "META-INF/", "META-INF/container.xml", "OEBPS/",
                                   "OEBPS/css/", "OEBPS/css/main.css", "OEBPS/images/"}));
  EXPECT_EQ(ReadBytes(root + "/mimetype"), "application/epub+zip");
  // Staging over an existing tree is no error: the folders are there already.
  EXPECT_NO_THROW(StageTree(root));
}

TEST(Staging, TreeWhoseRootCannotBeMadeRaisesForTheMediaTypeFile) {
  TempFolder dir;
  try {
    StageTree(dir / "no/EPUB");
    FAIL() << "no exception";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message(), "Cannot create file \"" + dir.Path() +
                               "no/EPUB/mimetype\". No such file or directory");
  }
}

TEST(Cover, TargetFollowsTheExtensionWithoutRegardToCase) {
  const struct {
    const char* path;
    const char* fileName;
    const char* mediaType;
    bool convert;
  } cases[] = {
      {"/pics/Front.JPG", "cover.JPG", "image/jpeg", false},
      {"/pics/front.JpEg", "cover.JpEg", "image/jpeg", false},
      {"/pics/front.Png", "cover.Png", "image/png", false},
      {"/pics/front.GIF", "cover.GIF", "image/gif", false},
      {"/pics/front.tar.gif", "cover.gif", "image/gif", false},
      {"/pics/front.bmp", "cover.png", "image/png", true},
      {"/pics/front", "cover.png", "image/png", true},
      {"/my.pics/front", "cover.png", "image/png", true},  // the only dot is in a folder
      {"/pics/front.", "cover.png", "image/png", true},
      {"/pics/c:front.jpg", "cover.jpg", "image/jpeg", false},  // ":" is just a character
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    TCoverTarget target = CoverTargetFor(c.path);
    EXPECT_EQ(target.fileName, c.fileName);
    EXPECT_EQ(target.mediaType, c.mediaType);
    EXPECT_EQ(target.convert, c.convert);
  }
}

TEST(Cover, OtherImagesBecomePng) {
  TempFolder dir;
  test::MakeDirs(dir / "images");
  // A BMP, and a PNG whose only dot is in a folder name: both told by their content.
  test::MakeDirs(dir / "my.pics");
  WriteBytes(dir / "front.bmp", ImageBytes("BMP", 33, 17));
  WriteBytes(dir / "my.pics/front", ImageBytes("PNG", 33, 17));
  for (const char* name : {"front.bmp", "my.pics/front"}) {
    SCOPED_TRACE(name);
    std::filesystem::remove(dir / "images/cover.png");
    TCoverTarget target = PlaceCoverImage(dir / name, dir / "images/");
    EXPECT_EQ(target.fileName, "cover.png");
    QImage written;
    ASSERT_TRUE(written.load(QString::fromStdString(dir / "images/cover.png"), "PNG"));
    EXPECT_EQ(written.width(), 33);
    EXPECT_EQ(written.height(), 17);
  }
}

}  // namespace
}  // namespace lumbrella
