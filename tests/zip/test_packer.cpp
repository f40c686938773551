// The folder packer end to end: real folders packed into real archives, checked byte by
// byte where the layout is fixed and by readers we did not write everywhere.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>
#include <zlib.h>

#include <algorithm>
#include <filesystem>
#include <functional>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "test_zip_util.h"
#include "zip/dostime.h"
#include "zip/errors.h"
#include "zip/packer.h"

namespace lumbrella {
namespace {

using test::CheckArchiveWithOtherTools;
using test::ConfigureTreePacker;
using test::MakeDirs;
using test::ReadBytes;
using test::TempFolder;
using test::U16At;
using test::U32At;
using test::WriteBytes;
using test::ZipItems;
using test::ZipNames;
using Names = std::vector<std::string>;

bool Exists(const std::string& path) {
  struct stat st;
  return stat(path.c_str(), &st) == 0;
}

std::string Text(size_t size) {
  std::string text;
  for (int i = 0; text.size() < size; ++i)
    text += "line " + std::to_string(i * 7919 % 1000) + "\n";
  text.resize(size);
  return text;
}

TEST(Packer, SingleFileArchiveLayout) {
  TempFolder dir;
  MakeDirs(dir / "root");
  WriteBytes(dir / "root/hello", "hello world, hello world, hello world");
  std::time_t when = 1700000000;  // 2023-11-14
  struct utimbuf times = {when, when};
  utime((dir / "root/hello").c_str(), &times);

  TZipPacker packer;
  ConfigureTreePacker(packer, dir / "root", dir / "out.zip");
  ASSERT_EQ(packer.Zip(), 1);
  const std::string zip = ReadBytes(dir / "out.zip");
  ASSERT_GE(zip.size(), 30u + 5 + 51 + 22);
  const uint32_t compressed = U32At(zip, 18);
  const size_t central = 30 + 5 + compressed;
  EXPECT_EQ(zip.size(), central + 51 + 22);

  EXPECT_EQ(U32At(zip, 0), 0x04034B50u);
  EXPECT_EQ(U32At(zip, 10), TimeToDosDateTime(when));
  EXPECT_EQ(U32At(zip, 22), 37u);
  EXPECT_EQ(zip.substr(26, 9), std::string("\5\0\0\0hello", 9));
  // The central header repeats the local one's fields, then: no extra field, no comment,
  // disk 0, internal attributes 0, the archive bit, offset 0.
  EXPECT_EQ(zip.substr(central, 6), std::string("PK\1\2\x2d\0", 6));
  EXPECT_EQ(zip.substr(central + 6, 24), zip.substr(4, 24));
  EXPECT_EQ(zip.substr(central + 30, 21),
            std::string("\0\0\0\0\0\0\0\0\x20\0\0\0\0\0\0\0hello", 21));
  const size_t end = central + 51;
  EXPECT_EQ(zip.substr(end, 12), std::string("PK\5\6\0\0\0\0\1\0\1\0", 12));
  EXPECT_EQ(U32At(zip, end + 12), 51u);
  EXPECT_EQ(U32At(zip, end + 16), central);
  EXPECT_EQ(U16At(zip, end + 20), 0u);

  EXPECT_EQ(CheckArchiveWithOtherTools(dir / "out.zip"), "");
}

// A staging tree like the book's, with what must stay out of the archive.
void MakeBookTree(const std::string& root) {
  for (const char* folder : {"META-INF", "OEBPS/css", "OEBPS/images", "OEBPS/empty", ".git"}) {
    MakeDirs(root + "/" + folder);
  }
  WriteBytes(root + "/mimetype", "application/epub+zip");
  WriteBytes(root + "/META-INF/container.xml", "<?xml version=\"1.0\"?><container/>");
  WriteBytes(root + "/OEBPS/content.opf", Text(3000));
  WriteBytes(root + "/OEBPS/toc.ncx", Text(500));
  WriteBytes(root + "/OEBPS/1.html", Text(200000));
  WriteBytes(root + "/OEBPS/css/main.css", "body{}");
  WriteBytes(root + "/OEBPS/images/cover.jpg", test::NoiseBytes(5000, 7));
  WriteBytes(root + "/OEBPS/.DS_Store", "x");
  WriteBytes(root + "/.hidden", "x");
  WriteBytes(root + "/.git/config", "x");
  WriteBytes(root + "/B.txt", "b");
  WriteBytes(root + "/a.txt", "a");
  WriteBytes(root + "/zero.txt", "");
}

TEST(Packer, TreeIsPackedDepthFirstWithoutFolderEntriesOrHiddenFiles) {
  const Names visible = {"a.txt",
                         "B.txt",
                         "META-INF/container.xml",
                         "mimetype",
                         "OEBPS/1.html",
                         "OEBPS/content.opf",
                         "OEBPS/css/main.css",
                         "OEBPS/images/cover.jpg",
                         "OEBPS/toc.ncx",
                         "zero.txt"};
  struct Case {
    bool includeHidden;
    Names names;
  };
  Names withHidden = visible;
  withHidden.insert(withHidden.begin(), {".git/config", ".hidden"});
  withHidden.insert(withHidden.begin() + 6, "OEBPS/.DS_Store");
  for (const Case& c : {Case{false, visible}, Case{true, withHidden}}) {
    SCOPED_TRACE(c.includeHidden ? "hidden included" : "hidden skipped");
    TempFolder dir;
    MakeBookTree(dir / "EPUB");
    TZipPacker packer;
    ConfigureTreePacker(packer, dir / "EPUB", dir / "book.epub");
    packer.SetIncludeHiddenFiles(c.includeHidden);
    ASSERT_EQ(packer.Zip(), static_cast<int>(c.names.size()));

    EXPECT_EQ(ZipNames(dir / "book.epub"), c.names);
    for (const test::ZipItem& item : ZipItems(dir / "book.epub")) {
      EXPECT_EQ(item.method, 8) << item.name;  // mimetype too
      EXPECT_EQ(item.extraLength, 0u) << item.name;
      if (item.name == "zero.txt") {
        EXPECT_EQ(item.size, 0u);
        EXPECT_EQ(item.compressedSize, 2u);
        EXPECT_EQ(item.crc, 0u);
      }
    }
    EXPECT_EQ(CheckArchiveWithOtherTools(dir / "book.epub"), "");

    // The archive just written is the packer's current one.
    EXPECT_TRUE(packer.FilesList().empty());
    ASSERT_EQ(packer.Directory().Count(), c.names.size());
    EXPECT_EQ(packer.Directory().Item(2)->FullName(), c.names[2]);
    EXPECT_EQ(packer.EndCentral().totalEntries, c.names.size());
    TFileInfo info;
    ASSERT_TRUE(GetFileInfo(dir / "book.epub", info));
    EXPECT_EQ(packer.ArchiveDateTime(), info.mtime);
  }
}

TEST(Packer, OfTwoNamesThatDifferOnlyInCaseTheFirstFoundIsPacked) {
  TempFolder dir;
  MakeDirs(dir / "root");
  WriteBytes(dir / "root/Notes.txt", "one");
  WriteBytes(dir / "root/NOTES.TXT", "two");
  // Two different Chinese names whose second bytes are "A" and "a": both are packed.
  const std::string first = "\x81\x41.txt", second = "\x81\x61.txt";
  WriteBytes(dir / ("root/" + AnsiToUtf8(first)), "three");
  WriteBytes(dir / ("root/" + AnsiToUtf8(second)), "four");

  TZipPacker packer;
  ConfigureTreePacker(packer, dir / "root", dir / "out.zip");
  Names skipped;
  packer.OnSkippingFile = [&](const std::string& path, TSkipReason reason, bool&) {
    EXPECT_EQ(reason, srNoOverwrite);
    skipped.push_back(ExtractFileName(path));
  };
  ASSERT_EQ(packer.Zip(), 3);
  Names names = ZipNames(dir / "out.zip");
  ASSERT_EQ(names.size(), 3u);
  ASSERT_EQ(skipped.size(), 1u);
  EXPECT_EQ(CompareNamesIgnoringCase(skipped[0], "notes.txt"), 0);
  EXPECT_NE(std::find(names.begin(), names.end(), first), names.end());
  EXPECT_NE(std::find(names.begin(), names.end(), second), names.end());
  EXPECT_EQ(CheckArchiveWithOtherTools(dir / "out.zip"), "");
}

TEST(Packer, ArchiveNeverPacksItself) {
  TempFolder dir;
  MakeDirs(dir / "root/sub");
  WriteBytes(dir / "root/a.txt", "a");
  // Letter case makes another file on this file system: that one is packed.
  WriteBytes(dir / "root/BOOK.EPUB", "b");
  // A new archive inside its own root.
  TZipPacker packer;
  ConfigureTreePacker(packer, dir / "root", dir / "root/book.epub");
  ASSERT_EQ(packer.Zip(), 2);
  EXPECT_EQ(ZipNames(dir / "root/book.epub"), (Names{"a.txt", "BOOK.EPUB"}));

  // An existing one, reached by another spelling of its path or through a linked folder:
  // the gathered files leave it out (the handler stops the job before anything is written).
  ASSERT_EQ(symlink((dir / "root").c_str(), (dir / "alias").c_str()), 0);
  const std::string before = ReadBytes(dir / "root/book.epub");
  for (const char* spelling : {"root/sub/../book.epub", "alias/book.epub"}) {
    SCOPED_TRACE(spelling);
    TZipPacker again;
    ConfigureTreePacker(again, dir / "root", dir / spelling);
    Names gathered;
    again.OnStartZipInfo = [&](size_t, int64_t, bool& stop) {
      gathered = again.FilesList();
      stop = true;
    };
    try {
      again.Zip();
      FAIL() << "no exception";
    } catch (const EUserCanceled& e) {
      EXPECT_EQ(e.Message(), "User canceled Zip operation");
    }
    EXPECT_EQ(gathered, (Names{dir / "root/a.txt", dir / "root/BOOK.EPUB"}));
    EXPECT_EQ(ReadBytes(dir / "root/book.epub"), before);
    EXPECT_TRUE(again.FilesList().empty());
  }
}

TEST(Packer, ZipNameInAMissingFolderFailsAndLeavesNoFile) {
  TempFolder dir;
  MakeBookTree(dir / "EPUB");
  TZipPacker packer;
  ConfigureTreePacker(packer, dir / "EPUB", dir / "no/such/book.epub");
  bool completed = false;
  packer.OnZipComplete = [&](int) { completed = true; };
  try {
    packer.Zip();
    FAIL() << "no exception";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message(),
              "Cannot create file \"" + dir / "no/such/book.epub\". No such file or directory");
  }
  EXPECT_FALSE(Exists(dir / "no"));
  EXPECT_TRUE(packer.FilesList().empty());
  EXPECT_FALSE(completed);
}

TEST(Packer, BlankZipNameDoesNothing) {
  for (const char* name : {"", "   ", " \t\r\n"}) {
    TZipPacker packer;
    packer.SetRootDir("/nonexistent");
    packer.FilesList() = {"*.*"};
    packer.SetZipName(name);
    bool called = false;
    packer.OnZipComplete = [&](int) { called = true; };
    packer.OnNoSuchFile = [&](const std::string&) { called = true; };
    EXPECT_EQ(packer.Zip(), 0);
    EXPECT_EQ(packer.FilesList(), Names{"*.*"});
    EXPECT_FALSE(called);
  }
}

TEST(Packer, NothingToPackGivesAnArchiveOfTheEndRecordAlone) {
  for (bool rootExists : {true, false}) {
    TempFolder dir;
    if (rootExists) MakeDirs(dir / "root/empty");
    TZipPacker packer;
    ConfigureTreePacker(packer, dir / "root", dir / "out.zip");
    Names missing;
    packer.OnNoSuchFile = [&](const std::string& line) { missing.push_back(line); };
    int completed = -1;
    packer.OnZipComplete = [&](int n) { completed = n; };
    EXPECT_EQ(packer.Zip(), 0);
    EXPECT_EQ(completed, 0);
    EXPECT_EQ(ReadBytes(dir / "out.zip"), std::string("PK\5\6", 4) + std::string(18, '\0'));
    EXPECT_EQ(missing, rootExists ? Names{} : Names{"*.*"});
    EXPECT_TRUE(packer.FilesList().empty());
  }
}

TEST(Packer, MimetypeListedFirstAndStoredOpensTheBook) {
  TempFolder dir;
  MakeBookTree(dir / "EPUB");
  TZipPacker packer;
  ConfigureBookPacker(packer, dir / "EPUB", dir / "book.epub");
  std::vector<std::pair<std::string, TSkipReason>> skipped;
  packer.OnSkippingFile = [&](const std::string& path, TSkipReason reason, bool&) {
    skipped.emplace_back(path, reason);
  };
  ASSERT_EQ(packer.Zip(), 10);

  const std::string zip = ReadBytes(dir / "book.epub");
  EXPECT_EQ(zip.substr(0, 4), "PK\3\4");
  EXPECT_EQ(U16At(zip, 4), 20u);
  EXPECT_EQ(U16At(zip, 6), 0u);
  EXPECT_EQ(U16At(zip, 8), 0u);  // stored
  EXPECT_EQ(U32At(zip, 14), crc32(0, reinterpret_cast<const Bytef*>("application/epub+zip"), 20));
  EXPECT_EQ(U32At(zip, 18), 20u);
  EXPECT_EQ(U32At(zip, 22), 20u);
  EXPECT_EQ(U16At(zip, 26), 8u);
  EXPECT_EQ(U16At(zip, 28), 0u);  // no extra field
  EXPECT_EQ(zip.substr(30, 28), "mimetypeapplication/epub+zip");

  Names names = ZipNames(dir / "book.epub");
  ASSERT_EQ(names.size(), 10u);
  EXPECT_EQ(names[0], "mimetype");
  EXPECT_EQ(std::count(names.begin(), names.end(), "mimetype"), 1);
  ASSERT_EQ(skipped.size(), 1u);
  EXPECT_EQ(skipped[0].first, dir / "EPUB/mimetype");
  EXPECT_EQ(skipped[0].second, srNoOverwrite);
  EXPECT_EQ(CheckArchiveWithOtherTools(dir / "book.epub"), "");
}

TEST(Packer, PackLevelDecidesMethodAndFlags) {
  struct Case {
    int level;
    int method;
    int flags;
  };
  TempFolder dir;
  MakeDirs(dir / "root");
  WriteBytes(dir / "root/text.txt", Text(100000));
  WriteBytes(dir / "root/empty.txt", "");
  for (Case c :
       {Case{0, 0, 4}, Case{1, 8, 4}, Case{2, 8, 4}, Case{6, 8, 0}, Case{8, 8, 2}, Case{9, 8, 2}}) {
    SCOPED_TRACE("level " + std::to_string(c.level));
    TZipPacker packer;
    ConfigureTreePacker(packer, dir / "root", dir / "out.zip");
    packer.PackLevel = c.level;
    ASSERT_EQ(packer.Zip(), 2);
    std::vector<test::ZipItem> items = ZipItems(dir / "out.zip");
    ASSERT_EQ(items.size(), 2u);
    for (const test::ZipItem& item : items) {
      EXPECT_EQ(item.method, c.method);
      EXPECT_EQ(item.flags, c.flags);
      EXPECT_EQ(item.extraLength, 0u);
    }
    EXPECT_EQ(items[1].size, 100000u);
    if (c.method == 0) {
      EXPECT_EQ(items[1].compressedSize, 100000u);
    }
    if (c.level == 0 || c.level == 1 || c.level == 9) {  // one per kind of flags
      EXPECT_EQ(CheckArchiveWithOtherTools(dir / "out.zip"), "");
    }
    ASSERT_TRUE(DeleteFile(dir / "out.zip"));
  }
}

TEST(Packer, ReadOnlyFileCarriesTheReadOnlyAttribute) {
  if (geteuid() == 0) GTEST_SKIP() << "root may write anything";
  TempFolder dir;
  MakeDirs(dir / "root");
  WriteBytes(dir / "root/ro.txt", "x");
  WriteBytes(dir / "root/rw.txt", "x");
  chmod((dir / "root/ro.txt").c_str(), 0444);
  TZipPacker packer;
  ConfigureTreePacker(packer, dir / "root", dir / "out.zip");
  ASSERT_EQ(packer.Zip(), 2);
  std::vector<test::ZipItem> items = ZipItems(dir / "out.zip");
  ASSERT_EQ(items.size(), 2u);
  EXPECT_EQ(items[0].externalAttributes, 0x21u);
  EXPECT_EQ(items[1].externalAttributes, 0x20u);
}

// Files cannot grow past a limit while it lives (SIGXFSZ ignored, so the write fails).
struct FileSizeLimit {
  explicit FileSizeLimit(rlim_t bytes) {
    getrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, SIG_IGN);
    rlimit limit = saved;
    limit.rlim_cur = bytes;
    setrlimit(RLIMIT_FSIZE, &limit);
  }
  ~FileSizeLimit() {
    setrlimit(RLIMIT_FSIZE, &saved);
    signal(SIGXFSZ, SIG_DFL);
  }
  rlimit saved{};
};

TEST(Packer, FullDiskRaisesNotEnoughRoomAndRemovesTheOutput) {
  struct Case {
    const char* what;
    std::string content;
    rlim_t limit;
  };
  const Case cases[] = {
      {"while the data is written", test::NoiseBytes(300000, 7), 64 * 1024},
      {"when the header is rewritten", Text(2000), 40},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder dir;
    MakeDirs(dir / "root");
    WriteBytes(dir / "root/data.bin", c.content);
    TZipPacker packer;
    ConfigureTreePacker(packer, dir / "root", dir / "out.zip");
    std::string message;
    {
      FileSizeLimit limit(c.limit);
      try {
        packer.Zip();
      } catch (const ENotEnoughRoom& e) {
        message = e.Message();
      }
    }
    EXPECT_EQ(message, "Not enough room to write archive");
    EXPECT_FALSE(Exists(dir / "out.zip"));
    EXPECT_TRUE(packer.FilesList().empty());
  }
}

TEST(Packer, CancelRequestAbortsAndRemovesTheOutput) {
  TempFolder dir;
  MakeDirs(dir / "root/sub");
  for (const char* name : {"a.txt", "b.txt", "sub/c.txt"}) {
    WriteBytes(dir / ("root/" + std::string(name)), test::NoiseBytes(200000, 7));
  }
  struct Case {
    const char* when;
    int cancelAtCall;
    bool outputCreated;
  };
  for (Case c : {Case{"while gathering files", 1, false}, Case{"while writing data", 6, true}}) {
    SCOPED_TRACE(c.when);
    TZipPacker packer;
    ConfigureTreePacker(packer, dir / "root", dir / "out.zip");
    int calls = 0;
    bool created = false;
    auto pending = [&] {
      for (const auto& e : std::filesystem::directory_iterator(dir.Path())) {
        if (e.path().filename().string().starts_with(".out.zip.")) return true;
      }
      return false;
    };
    TProgress progress;
    packer.Progress = &progress;
    progress.OnStep = [&] {
      created = created || pending();
      if (++calls == c.cancelAtCall) progress.RequestCancel();
    };
    bool completed = false;
    packer.OnZipComplete = [&](int) { completed = true; };
    try {
      packer.Zip();
      FAIL() << "no exception";
    } catch (const EUserCanceled& e) {
      EXPECT_EQ(e.Message(), "User Aborted Operation");
    }
    EXPECT_EQ(calls, c.cancelAtCall);
    EXPECT_EQ(created, c.outputCreated);
    EXPECT_FALSE(Exists(dir / "out.zip"));
    EXPECT_FALSE(pending());
    EXPECT_TRUE(packer.FilesList().empty());
    EXPECT_FALSE(completed);

    // The request does not outlive the operation it stopped.
    ConfigureTreePacker(packer, dir / "root", dir / "out.zip");
    EXPECT_EQ(packer.Zip(), 3);
    ASSERT_TRUE(DeleteFile(dir / "out.zip"));
  }
}

TEST(Packer, NotificationsAndProgress) {
  TempFolder dir;
  MakeBookTree(dir / "EPUB");
  TZipPacker packer;
  ConfigureTreePacker(packer, dir / "EPUB", dir / "book.epub");
  Names recursed, started, ended;
  std::vector<int> percents;
  size_t infoFiles = 0;
  int64_t infoBytes = 0;
  int messages = 0;
  packer.OnStartZipInfo = [&](size_t files, int64_t bytes, bool&) {
    infoFiles = files;
    infoBytes = bytes;
  };
  packer.OnRecursingFile = [&](const std::string& path) {
    recursed.push_back(path.substr((dir / "EPUB/").size()));
  };
  packer.OnStartZip = [&](const std::string& path, TZipHeaderInfo& entry, bool& skip) {
    started.push_back(entry.FullName());
    skip = ExtractFileName(path) == "toc.ncx";
  };
  packer.OnEndZip = [&](const std::string&, uint64_t uncompressed, uint64_t compressed) {
    ended.push_back(std::to_string(uncompressed) + "/" + std::to_string(compressed > 0));
  };
  packer.OnTotalPercentDone = [&](int percent) { percents.push_back(percent); };
  TProgress progress;
  progress.OnStep = [&] { ++messages; };
  packer.Progress = &progress;
  ASSERT_EQ(packer.Zip(), 9);

  EXPECT_EQ(infoFiles, 10u);
  EXPECT_EQ(infoBytes, 20 + 33 + 3000 + 500 + 200000 + 6 + 5000 + 2);
  EXPECT_EQ(recursed, (Names{"a.txt", "B.txt", "META-INF/", "META-INF/container.xml", "mimetype",
                             "OEBPS/", "OEBPS/1.html", "OEBPS/content.opf", "OEBPS/css/",
                             "OEBPS/css/main.css", "OEBPS/empty/", "OEBPS/images/",
                             "OEBPS/images/cover.jpg", "OEBPS/toc.ncx", "zero.txt"}));
  EXPECT_EQ(started.size(), 10u);
  EXPECT_EQ(ended.size(), 9u);
  EXPECT_EQ(ended.back(), "0/1");
  Names names = test::WrittenNames(packer);
  EXPECT_EQ(std::count(names.begin(), names.end(), "OEBPS/toc.ncx"), 0);
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  EXPECT_GT(percents.size(), 2u);
  EXPECT_EQ(percents.back(), 100);
  EXPECT_GE(messages, 15 + 9);  // each path searched, at least one block per file

  // With dispatching switched off the callback is left alone.
  TZipPacker quiet;
  ConfigureTreePacker(quiet, dir / "EPUB", dir / "quiet.epub");
  quiet.DoProcessMessages = false;
  quiet.Progress = &progress;
  const int before = messages;
  EXPECT_EQ(quiet.Zip(), 10);
  EXPECT_EQ(messages, before);
}

TEST(Packer, SourceThatChangesSizeWhilePackedKeepsTheBytesItHadWhenOpened) {
  struct Case {
    const char* what;
    std::function<void(const std::string&)> change;
    uint64_t expectedSize;
    bool shortRead;
  };
  const std::string content = Text(150000);
  const Case cases[] = {
      {"shrinks", [](const std::string& p) { ASSERT_EQ(truncate(p.c_str(), 60000), 0); }, 60000,
       true},
      {"grows", [&](const std::string& p) { WriteBytes(p, content + content); }, 150000, false},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TempFolder dir;
    MakeDirs(dir / "root");
    WriteBytes(dir / "root/changing.txt", content);
    TZipPacker packer;
    ConfigureTreePacker(packer, dir / "root", dir / "out.zip");
    packer.OnStartZip = [&](const std::string& path, TZipHeaderInfo&, bool&) { c.change(path); };
    std::vector<uint64_t> shortRead;
    packer.OnShortRead = [&](const std::string&, uint64_t expected, uint64_t read) {
      shortRead = {expected, read};
    };
    ASSERT_EQ(packer.Zip(), 1);
    const std::vector<uint64_t> expectedShortRead =
        c.shortRead ? std::vector<uint64_t>{150000, 60000} : std::vector<uint64_t>{};
    EXPECT_EQ(shortRead, expectedShortRead);
    std::vector<test::ZipItem> items = ZipItems(dir / "out.zip");
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].size, c.expectedSize);
    EXPECT_EQ(items[0].crc, crc32(0, reinterpret_cast<const Bytef*>(content.data()),
                                  static_cast<uInt>(c.expectedSize)));
    EXPECT_EQ(CheckArchiveWithOtherTools(dir / "out.zip"), "");
  }
}

TEST(Packer, SettingCouplings) {
  TZipPacker p;
  EXPECT_EQ(p.AttributeMask(), 0x39u);
  p.SetRelativePaths(true);
  EXPECT_TRUE(p.StorePaths() && p.Recurse());
  p.SetStoreVolumes(true);
  p.SetStorePaths(false);
  EXPECT_FALSE(p.StoreVolumes() || p.RelativePaths() || !p.Recurse());
  p.SetStoreVolumes(true);
  EXPECT_TRUE(p.StorePaths() && !p.RelativePaths());
  p.SetIncludeHiddenFiles(true);
  p.SetIncludeSysFiles(true);
  p.SetIncludeReadOnlyFiles(false);
  p.SetIncludeArchiveFiles(false);
  EXPECT_EQ(p.AttributeMask(), 0x1Eu);
}

}  // namespace
}  // namespace lumbrella
