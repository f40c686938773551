#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include "common/test_util.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/stream.h"
#include "platform/tempdir.h"

namespace lumbrella {
namespace {

using test::TempFolder;

TEST(Files, AnsiPathsReachFilesWithChineseNames) {
  TempFolder dir;
  test::WriteBytes(dir / "第一章.txt", "abc");
  const std::string ansiPath = Utf8ToAnsi(dir / "第一章.txt");
  ASSERT_NE(ansiPath, dir / "第一章.txt");  // really GB18030 bytes
  TFileStream s(ansiPath, TFileMode::fmOpenRead);
  EXPECT_EQ(s.Size(), 3);
  std::vector<TFileInfo> entries = ListDirectory(Utf8ToAnsi(dir.Path()));
  ASSERT_EQ(entries.size(), 1u);
  EXPECT_EQ(entries[0].name, Utf8ToAnsi("第一章.txt"));
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

TEST(Files, ReadOnlyFilesCarryTheReadOnlyBit) {
  if (geteuid() == 0) GTEST_SKIP() << "root may write anything";
  TempFolder dir;
  test::WriteBytes(dir / "ro", "x");
  chmod((dir / "ro").c_str(), 0444);
  TFileInfo info;
  ASSERT_TRUE(GetFileInfo(dir / "ro", info));
  EXPECT_EQ(info.attributes, faArchive | faReadOnly);
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
  std::string bytes = test::ReadBytes(dir / "f");
  EXPECT_EQ(bytes.substr(0, 6), "HEADer");
  EXPECT_EQ(bytes.substr(20006), "tail");

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
  EXPECT_THROW(r.ReadBuffer(rest, sizeof rest), EReadError);
}

TEST(Streams, FullDiskShowsAsShortWrite) {
  if (access("/dev/full", W_OK) != 0) GTEST_SKIP() << "no /dev/full";
  TBufferedFileStream s("/dev/full", TFileMode::fmOpenReadWrite);
  std::string block(100000, 'z');
  EXPECT_LT(s.Write(block.data(), block.size()), block.size());
  EXPECT_THROW(s.WriteBuffer(block.data(), block.size()), EWriteError);
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
