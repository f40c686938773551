#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>

#include "common/test_util.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/stream.h"
#include "platform/tempdir.h"

namespace lumbrella {
namespace {

using test::TempFolder;

// Names on disk are UTF-8, or GBK bytes where an archive made on Windows was unpacked. ANSI
// text cannot tell the two apart; the file is found under the form it has.
TEST(Files, AnsiPathsReachFilesInTheFormTheirNamesHaveOnDisk) {
  TempFolder dir;
  const std::string gbkFolder = "\xCE\xC4\xBC\xFE";            // 文件 in GBK
  const std::string gbkName = "\xB5\xDA\xD2\xBB\xD5\xC2.txt";  // 第一章.txt in GBK
  test::MakeDirs(dir / gbkFolder);
  test::WriteBytes(dir / gbkFolder + "/" + gbkName, "gbk");
  test::WriteBytes(dir / "第二章.txt", "utf-8");

  std::vector<TFileInfo> entries = ListDirectory(dir.Path());
  ASSERT_EQ(entries.size(), 2u);
  EXPECT_EQ(entries[0].name, Utf8ToAnsi("第二章.txt"));  // B5 DA ... before CE C4 ...
  EXPECT_EQ(entries[1].name, gbkFolder);
  const std::string folder = Utf8ToAnsi(dir / gbkFolder);
  entries = ListDirectory(folder);
  ASSERT_EQ(entries.size(), 1u);
  ASSERT_EQ(AnsiToUtf8(entries[0].name), "第一章.txt");

  const std::string gbkPath = folder + "/" + entries[0].name;
  EXPECT_EQ(FsPath(gbkPath), dir / gbkFolder + "/" + gbkName);
  EXPECT_EQ(TFileStream(gbkPath, TFileMode::fmOpenRead).Size(), 3);
  EXPECT_EQ(TFileStream(Utf8ToAnsi(dir / "第二章.txt"), TFileMode::fmOpenRead).Size(), 5);
  // A name that is not there yet is made in UTF-8; where both forms exist, UTF-8 wins.
  EXPECT_EQ(FsPath(folder + "/" + Utf8ToAnsi("书.epub")), dir / gbkFolder + "/书.epub");
  test::WriteBytes(dir / gbkFolder + "/第一章.txt", "utf-8");
  EXPECT_EQ(FsPath(gbkPath), dir / gbkFolder + "/第一章.txt");
}

// Qt gives such a name with U+FFFD for its bytes; the file is found again where no other
// name of its folder reads the same.
TEST(Files, ShownPathsWithReplacementCharactersFindTheNameOnDisk) {
  TempFolder dir;
  test::MakeDirs(dir / "\xCE\xC4");                             // 文
  test::WriteBytes(dir / "\xCE\xC4/\xB5\xDA\xD2\xBB.txt", "");  // 第一.txt
  test::WriteBytes(dir / "\xCE\xC4/\xB6\xDA.txt", "");          // two names that read
  test::WriteBytes(dir / "\xCE\xC4/\xB7\xDB.txt", "");          // the same
  const std::u16string folder = Utf8ToUtf16(dir.Path()) + u"\uFFFD\uFFFD/";
  EXPECT_EQ(ShownPathToAnsi(folder + u"\uFFFD\uFFFD\uFFFD\u04BB.txt"),
            dir / "\xCE\xC4/\xB5\xDA\xD2\xBB.txt");
  EXPECT_EQ(ShownPathToAnsi(folder + u"\uFFFD.txt"), dir / "\xCE\xC4/" + Utf8ToAnsi("\uFFFD.txt"));
  EXPECT_EQ(ShownPathToAnsi(u"/a/书.txt"), Utf8ToAnsi("/a/书.txt"));
}

TEST(Files, NameParts) {
  EXPECT_EQ(ExtractFileExt("/a/my.notes.txt"), ".txt");
  EXPECT_EQ(ExtractFileExt("/a/books.2/Story"), "");
  EXPECT_EQ(ExtractFileExt("C:front"), "");
  EXPECT_EQ(ExtractFileName("/a/b/c.txt"), "c.txt");
  EXPECT_EQ(ExtractFilePath("/a/b/c.txt"), "/a/b/");
  EXPECT_EQ(ExtractFilePath("c.txt"), "");
  EXPECT_EQ(ExpandFileName("/a/./b//../c/"), "/a/c/");
}

TEST(Files, DirectoryListingIsSortedWithoutRegardToCaseAndMarksHiddenEntries) {
  TempFolder dir;
  for (const char* name : {"b.txt", "a.txt", "A.txt", "c", ".hidden", "B2", "a.TXT"}) {
    test::WriteBytes(dir / name, "x");
  }
  test::MakeDirs(dir / "sub");
  std::vector<std::string> names;
  for (const TFileInfo& e : ListDirectory(dir.Path())) {
    names.push_back(e.name);
    EXPECT_EQ((e.attributes & faHidden) != 0, e.name == ".hidden");
    EXPECT_EQ(e.IsDirectory(), e.name == "sub");
  }
  EXPECT_EQ(names, (std::vector<std::string>{".hidden", "A.txt", "a.TXT", "a.txt", "b.txt", "B2",
                                             "c", "sub"}));
}

// Root may write anything: the file is read-only to someone it binds.
TEST(Files, ReadOnlyFilesCarryTheReadOnlyBit) {
  TempFolder dir;
  ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
  test::WriteBytes(dir / "ro", "x");
  ASSERT_EQ(chmod((dir / "ro").c_str(), 0444), 0);
  EXPECT_TRUE(test::AsUnprivilegedUser([&] {
    TFileInfo info;
    return GetFileInfo(dir / "ro", info) && info.attributes == (faArchive | faReadOnly);
  }));
}

TEST(Files, CopyNeverOverwritesAndRemoveTreeTakesEverything) {
  TempFolder dir;
  test::WriteBytes(dir / "a", "new");
  test::WriteBytes(dir / "b", "old");
  EXPECT_FALSE(CopyFileNoOverwrite(dir / "a", dir / "b"));
  EXPECT_EQ(test::ReadBytes(dir / "b"), "old");
  test::MakeDirs(dir / "t/x/y");
  EXPECT_TRUE(CopyFileNoOverwrite(dir / "a", dir / "t/x/y/c"));
  symlink((dir / "a").c_str(), (dir / "t/link").c_str());
  EXPECT_TRUE(RemoveTree(dir / "t"));
  EXPECT_FALSE(DirectoryExists(dir / "t"));
  EXPECT_TRUE(FileExists(dir / "a"));  // the link's target stays
}

TEST(Files, PrivateTempDirIsOwnerOnlyAndRemovedAfterUse) {
  std::string path;
  {
    TPrivateTempDir temp;
    path = temp.Path();
    ASSERT_EQ(path.back(), '/');
    EXPECT_NE(path.find("/lumbrella-"), std::string::npos);
    struct stat st;
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    test::MakeDirs(path + "EPUB/OEBPS");
    test::WriteBytes(path + "EPUB/OEBPS/0.html", "x");
  }
  EXPECT_FALSE(DirectoryExists(path));
}

TEST(Streams, BufferedWritesRewriteInPlaceAndReadBack) {
  TempFolder dir;
  {
    TBufferedFileStream s(dir / "f", TFileMode::fmCreate);
    std::string big(20000, 'x');
    s.WriteBuffer("header", 6);
    s.WriteBuffer(big.data(), big.size());
    int64_t end = s.Position();
    EXPECT_EQ(end, 20006);
    s.SetPosition(0);
    s.WriteBuffer("HEAD", 4);
    s.SetPosition(end);
    s.WriteBuffer("tail", 4);
    EXPECT_EQ(s.Size(), 20010);
  }
  EXPECT_EQ(test::ReadBytes(dir / "f"), "HEADer" + std::string(20000, 'x') + "tail");

  TBufferedFileStream r(dir / "f", TFileMode::fmOpenRead);
  char buf[6];
  r.ReadBuffer(buf, 6);
  EXPECT_EQ(std::string(buf, 6), "HEADer");
  r.SetPosition(20006);
  r.ReadBuffer(buf, 4);
  EXPECT_EQ(std::string(buf, 4), "tail");
  EXPECT_EQ(r.Read(buf, 6), 0u);
  r.SetPosition(20000);
  char rest[20];
  try {
    r.ReadBuffer(rest, sizeof rest);
    ADD_FAILURE() << "no exception";
  } catch (const EReadError& e) {
    EXPECT_EQ(e.Message(), "Stream read error: \"" + dir / "f" + "\". Unexpected end of file");
  }
}

TEST(Streams, FullDiskShowsAsShortWrite) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  TBufferedFileStream s("/dev/full", TFileMode::fmOpenReadWrite);
  std::string block(100000, 'z');
  EXPECT_LT(s.Write(block.data(), block.size()), block.size());
  try {
    s.WriteBuffer(block.data(), block.size());
    ADD_FAILURE() << "no exception";
  } catch (const EWriteError& e) {
    EXPECT_EQ(e.Message(), "Stream write error: \"/dev/full\". No space left on device");
    EXPECT_EQ(e.SysError(), ENOSPC);
  }
}

TEST(Streams, OpeningANamedPipeForReadingDoesNotWaitForAWriter) {
  TempFolder dir;
  ASSERT_EQ(mkfifo((dir / "pipe.txt").c_str(), 0600), 0);
  TFileStream s(dir / "pipe.txt", TFileMode::fmOpenRead);
  char c;
  EXPECT_EQ(s.Read(&c, 1), 0u);
}

TEST(Streams, MemoryStream) {
  TMemoryStream m;
  m.WriteBuffer("hello", 5);
  m.SetPosition(1);
  m.WriteBuffer("E", 1);
  EXPECT_EQ(m.Data(), "hEllo");
  m.SetPosition(3);
  char c[2];
  m.ReadBuffer(c, 2);
  EXPECT_EQ(std::string(c, 2), "lo");
  EXPECT_THROW(m.ReadBuffer(c, 1), EReadError);
}

}  // namespace
}  // namespace lumbrella
