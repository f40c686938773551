#include <gtest/gtest.h>

#include <sys/stat.h>
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
using test::Repeat;
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
  // A root that cannot be made: the media-type file is the first thing that fails.
  EXPECT_EQ(test::MessageOf<EFCreateError>([&] { StageTree(dir / "no/EPUB"); }),
            "Cannot create file \"" + dir.Path() + "no/EPUB/mimetype\". No such file or directory");
}

// A GIF of one pixel (Qt reads GIF but does not write it).
const std::string kGif(
    "GIF89a\x01\0\x01\0\x80\0\0\xFF\xFF\xFF\0\0\0,\0\0\0\0\x01\0\x01\0\0\x02\x02"
    "D\x01\0;",
    35);

TEST(Cover, IsStoredUnderTheTypeItsFirstBytesTell) {
  TempFolder dir;
  test::MakeDirs(dir / "my.pics");
  const std::string jpeg = ImageBytes("JPEG", 33, 17);
  const std::string png = ImageBytes("PNG", 33, 17);
  const std::string bmp = ImageBytes("BMP", 33, 17);
  const struct {
    const char* name;
    const std::string& bytes;
    const char* fileName;
    const char* mediaType;
    bool copied;
  } cases[] = {
      {"Front.JPG", jpeg, "cover.JPG", "image/jpeg", true},  // letter case kept
      {"front.JpEg", jpeg, "cover.JpEg", "image/jpeg", true},
      {"front.png", jpeg, "cover.jpg", "image/jpeg", true},  // the name is wrong
      {"front.Png", png, "cover.Png", "image/png", true},
      {"my.pics/front", png, "cover.png", "image/png", true},  // the only dot is in a folder
      {"front.GIF", kGif, "cover.GIF", "image/gif", true},
      {"front.gif.jpg", kGif, "cover.gif", "image/gif", true},
      {"front.bmp", bmp, "cover.png", "image/png", false},
      {"front.jpg", bmp, "cover.png", "image/png", false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::filesystem::remove_all(dir / "images");
    test::MakeDirs(dir / "images");
    WriteBytes(dir / c.name, c.bytes);
    const TCoverTarget target = PlaceCoverImage(dir / c.name, dir / "images/");
    EXPECT_EQ(target.fileName, c.fileName);
    EXPECT_EQ(target.mediaType, c.mediaType);
    EXPECT_EQ(TreeOf(dir / "images"), std::set<std::string>{c.fileName});
    if (c.copied) {
      EXPECT_EQ(ReadBytes(dir / "images/" + c.fileName), c.bytes);
    } else {
      QImage written;
      ASSERT_TRUE(written.load(QString::fromStdString(dir / "images/" + c.fileName), "PNG"));
      EXPECT_EQ(written.size(), QSize(33, 17));
    }
  }
}

TEST(Cover, WhatIsNoImageOrNoRegularFileIsRefused) {
  TempFolder dir;
  test::MakeDirs(dir / "images");
  WriteBytes(dir / "text.png", "not an image at all");
  ASSERT_EQ(mkfifo((dir / "pipe.jpg").c_str(), 0600), 0);
  const struct {
    std::string path;
    std::string message;
  } cases[] = {
      {dir / "text.png",
       "Cannot read image \"" + dir / "text.png" + "\". Unknown or damaged image format"},
      {"/dev/zero", "Cannot open file \"/dev/zero\". Not a regular file"},
      {dir / "pipe.jpg", "Cannot open file \"" + dir / "pipe.jpg" + "\". Not a regular file"},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    EXPECT_EQ(test::MessageOf([&] { PlaceCoverImage(c.path, dir / "images/"); }), c.message);
  }
}

}  // namespace
}  // namespace lumbrella
