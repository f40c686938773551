// The folder packer end to end: real folders packed into real archives, checked byte by
// byte where the layout is fixed, by walking the archive elsewhere, and by readers we did
// not write for archives that hold every kind of entry the packer makes.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <algorithm>
#include <array>
#include <filesystem>
#include <functional>
#include <tuple>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "test_zip_util.h"
#include "zip/dostime.h"
#include "zip/errors.h"
#include "zip/packer.h"

namespace lumbrella {
namespace {

using test::ConfigureTreePacker;
using test::ListZip;
using test::MakeDirs;
using test::MakeFiles;
using test::ReadBytes;
using test::TempFolder;
using test::U16At;
using test::U32At;
using test::WriteBytes;
using test::WrittenNames;
using test::ZipItem;
using test::ZipNames;
using Names = std::vector<std::string>;
using Skips = std::vector<std::pair<std::string, TSkipReason>>;

// The files a packer would write, in order, without writing them: its handler stops the job
// before anything is written.
Names Gathered(TZipPacker& packer) {
  Names gathered;
  packer.OnStartZipInfo = [&](size_t, int64_t, bool& stop) {
    gathered = packer.FilesList();
    stop = true;
  };
  EXPECT_EQ(test::Outcome([&] { packer.Zip(); }), "EUserCanceled User canceled Zip operation");
  EXPECT_TRUE(packer.FilesList().empty());
  return gathered;
}

// Text that deflate shrinks a lot, and quickly.
std::string Text(size_t size) {
  std::string text;
  for (int i = 0; text.size() < size; ++i)
    text += "line " + std::to_string(i * 7919 % 1000) + "\n";
  text.resize(size);
  return text;
}

// A staging tree like the book's, with what must stay out of the archive.
void MakeBookTree(const std::string& root) {
  MakeFiles(root,
            {"mimetype", "META-INF/container.xml", "OEBPS/content.opf", "OEBPS/toc.ncx",
             "OEBPS/1.html", "OEBPS/css/main.css", "OEBPS/images/cover.jpg", "OEBPS/empty/",
             "OEBPS/.DS_Store", ".hidden", ".git/config", "B.txt", "a.txt", "zero.txt"},
            {{"mimetype", "application/epub+zip"},
             {"OEBPS/content.opf", Text(3000)},
             {"OEBPS/toc.ncx", Text(500)},
             {"OEBPS/1.html", Text(200000)},
             {"OEBPS/images/cover.jpg", test::NoiseBytes(5000, 7)},
             {"zero.txt", ""}});
}

// Each central header repeats its local header's fields.
void ExpectLocalHeadersMatch(const std::string& zip) {
  for (const ZipItem& item : ListZip(zip).items) {
    const std::string local = zip.substr(item.offset, 30 + item.name.size());
    std::string fields;  // all but the version needed, the time and the lengths
    test::AppendFields(
        fields, "422444",
        {0x04034B50, static_cast<uint64_t>(item.flags), static_cast<uint64_t>(item.method),
         item.crc, item.compressedSize, item.size});
    EXPECT_EQ(local.substr(0, 4) + local.substr(6, 4) + local.substr(14, 12) + local.substr(30),
              fields + item.name);
  }
}

// A tree like the book's, packed with the book's settings: mimetype first and stored, then
// the tree, the first entry and the end record byte for byte; then with the general settings,
// which pack the tree depth first, names relative to the root, without folder entries or
// hidden files unless asked, and tell their handlers as they go.
TEST(Packer, ABookTreeWithTheBooksSettingsAndTheGeneralOnes) {
  TempFolder dir;
  MakeBookTree(dir / "EPUB");
  const std::time_t when = 1700000000;  // 2023-11-14
  struct utimbuf times = {when, when};
  ASSERT_EQ(utime((dir / "EPUB/mimetype").c_str(), &times), 0);
  TZipPacker book;
  ConfigureBookPacker(book, dir / "EPUB", dir / "book.epub");
  Skips skipped;
  book.OnSkippingFile = [&](const std::string& path, TSkipReason reason, bool&) {
    skipped.emplace_back(path, reason);
  };
  ASSERT_EQ(book.Zip(), 10);
  // Listed first and found again by "*.*": the second one is a duplicate name.
  EXPECT_EQ(skipped, (Skips{{dir / "EPUB/mimetype", srNoOverwrite}}));

  // Version 2.0 needed, no flags, stored, the file's time, no extra field; in the central
  // header made by 4.5, no comment, disk 0, internal attributes 0, the archive bit, offset 0.
  const std::string zip = ReadBytes(dir / "book.epub"), content = "application/epub+zip";
  const uint64_t time = TimeToDosDateTime(when), crc = test::Crc(content);
  const size_t central = zip.size() - 22 - U32At(zip, zip.size() - 10);
  std::string local, header, end;
  test::AppendFields(local, "4222444422", {0x04034B50, 20, 0, 0, time, crc, 20, 20, 8, 0});
  test::AppendFields(header, "4222244442222244",
                     {0x02014B50, 45, 20, 0, 0, time, crc, 20, 20, 8, 0, 0, 0, 0, 0x20, 0});
  test::AppendFields(end, "42222442",
                     {0x06054B50, 0, 0, 10, 10, zip.size() - 22 - central, central, 0});
  EXPECT_EQ(zip.substr(0, 58), local + "mimetype" + content);
  EXPECT_EQ(zip.substr(central, 54), header + "mimetype");
  EXPECT_EQ(zip.substr(zip.size() - 22), end);
  ASSERT_EQ(ListZip(zip).items.size(), 10u);
  ExpectLocalHeadersMatch(zip);

  TZipPacker packer;
  ConfigureTreePacker(packer, dir / "EPUB", dir / "tree.zip");
  Names recursed, started, ended;
  std::vector<int> percents;
  int64_t infoFiles = 0, infoBytes = 0;
  int steps = 0;
  TProgress progress;
  progress.OnStep = [&] { ++steps; };
  packer.Progress = &progress;
  packer.OnStartZipInfo = [&](size_t files, int64_t bytes, bool&) {
    std::tie(infoFiles, infoBytes) = std::make_tuple(files, bytes);
  };
  packer.OnRecursingFile = [&](const std::string& path) {
    recursed.push_back(path.substr((dir / "EPUB/").size()));
  };
  packer.OnStartZip = [&](const std::string& path, TZipHeaderInfo& entry, bool& skip) {
    started.push_back(entry.FullName());
    skip = ExtractFileName(path) == "toc.ncx";
  };
  packer.OnEndZip = [&](const std::string&, uint64_t uncompressed, uint64_t compressed) {
    ended.push_back(std::to_string(uncompressed) + "/" + std::to_string(compressed));
  };
  packer.OnTotalPercentDone = [&](int percent) { percents.push_back(percent); };
  ASSERT_EQ(packer.Zip(), 9);

  const Names written = {"a.txt",
                         "B.txt",
                         "META-INF/container.xml",
                         "mimetype",
                         "OEBPS/1.html",
                         "OEBPS/content.opf",
                         "OEBPS/css/main.css",
                         "OEBPS/images/cover.jpg",
                         "zero.txt"};
  // Each entry deflated (mimetype too), without an extra field, and told as it ends.
  const std::vector<ZipItem> items = ListZip(ReadBytes(dir / "tree.zip")).items;
  ASSERT_EQ(items.size(), written.size());
  ASSERT_EQ(ended.size(), written.size());
  for (size_t i = 0; i < written.size(); ++i) {
    const ZipItem& item = items[i];
    EXPECT_EQ(
        std::make_tuple(item.name, item.method, item.extraLength, ended[i]),
        std::make_tuple(written[i], 8, size_t{0},
                        std::to_string(item.size) + "/" + std::to_string(item.compressedSize)));
  }
  const ZipItem& zero = items.back();  // an empty deflate stream
  EXPECT_EQ(std::tie(zero.size, zero.compressedSize, zero.crc),
            (std::tuple<uint64_t, uint64_t, uint32_t>{0, 2, 0}));

  EXPECT_EQ(infoFiles, 10);
  int64_t visibleBytes = FileSize(dir / "EPUB/OEBPS/toc.ncx");
  for (const std::string& name : written)
    visibleBytes += FileSize(dir / "EPUB/" + name);
  EXPECT_EQ(infoBytes, visibleBytes);
  EXPECT_EQ(recursed, (Names{"a.txt", "B.txt", "META-INF/", "META-INF/container.xml", "mimetype",
                             "OEBPS/", "OEBPS/1.html", "OEBPS/content.opf", "OEBPS/css/",
                             "OEBPS/css/main.css", "OEBPS/empty/", "OEBPS/images/",
                             "OEBPS/images/cover.jpg", "OEBPS/toc.ncx", "zero.txt"}));
  EXPECT_EQ(started.size(), 10u);
  EXPECT_TRUE(std::is_sorted(percents.begin(), percents.end()));
  EXPECT_GT(percents.size(), 2u);
  EXPECT_EQ(percents.back(), 100);
  EXPECT_GE(steps, 15 + 9);  // each path searched, at least one block per file

  // The archive just written is the packer's current one.
  EXPECT_TRUE(packer.FilesList().empty());
  EXPECT_EQ(WrittenNames(packer), written);
  EXPECT_EQ(packer.EndCentral().totalEntries, written.size());
  TFileInfo info;
  ASSERT_TRUE(GetFileInfo(dir / "tree.zip", info));
  EXPECT_EQ(packer.ArchiveDateTime(), info.mtime);

  // Hidden files when asked; with DoProcessMessages off the owner gets no turn.
  TZipPacker hidden;
  ConfigureTreePacker(hidden, dir / "EPUB", dir / "hidden.epub");
  hidden.SetIncludeHiddenFiles(true);
  hidden.DoProcessMessages = false;
  hidden.Progress = &progress;
  const int before = steps;
  ASSERT_EQ(hidden.Zip(), 13);
  EXPECT_EQ(steps, before);
  const Names names = ZipNames(dir / "hidden.epub");
  EXPECT_EQ(Names(names.begin(), names.begin() + 3), (Names{".git/config", ".hidden", "a.txt"}));
  EXPECT_EQ(names[6], "OEBPS/.DS_Store");
}

// One archive with every kind of entry the packer makes: readers we did not write accept it.
// (Updated archives meet them in the update's tests.)
TEST(Packer, EveryKindOfEntryPassesOtherReaders) {
  TempFolder dir;
  const std::string shrinks = Text(150000), grows = Text(120000);
  // Two different Chinese names whose second bytes are "A" and "a": both are packed; of two
  // names that differ in letter case only the first found is.
  const std::string gbk1 = "\x81\x41.txt", gbk2 = "\x81\x61.txt";
  MakeFiles(dir / "root",
            {"big.txt", "cover.jpg", "empty.txt", "grows.txt", "NOTES.TXT", "Notes.txt",
             "shrinks.txt", "sub/deeper/x.txt", AnsiToUtf8(gbk1), AnsiToUtf8(gbk2)},
            {{"big.txt", test::NoiseBytes(100000, 3) + Text(200000)},
             {"cover.jpg", test::NoiseBytes(3000, 5)},
             {"empty.txt", ""},
             {"grows.txt", grows},
             {"shrinks.txt", shrinks}});
  // What is no regular file, or leads back up the tree, is left out.
  ASSERT_EQ(symlink("..", (dir / "root/sub/loop").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "root/pipe").c_str(), 0600), 0);

  TZipPacker packer;
  ConfigureTreePacker(packer, dir / "root", dir / "all.zip");
  packer.PackLevel = 9;
  packer.AddDirEntriesOnRecurse = true;
  packer.NoCompressList() = {"*.jpg"};
  Skips skipped;
  packer.OnSkippingFile = [&](const std::string& path, TSkipReason reason, bool&) {
    skipped.emplace_back(ExtractFileName(path), reason);
  };
  // A source that changes while it is packed keeps the bytes it had when opened.
  packer.OnStartZip = [&](const std::string& path, TZipHeaderInfo&, bool&) {
    if (path.ends_with("shrinks.txt")) {
      ASSERT_EQ(truncate(path.c_str(), 60000), 0);
    }
    if (path.ends_with("grows.txt")) WriteBytes(path, grows + grows);
  };
  std::vector<uint64_t> shortRead;
  packer.OnShortRead = [&](const std::string&, uint64_t expected, uint64_t read) {
    shortRead = {expected, read};
  };
  ASSERT_EQ(packer.Zip(), 11);  // nine files and two folders
  EXPECT_EQ(shortRead, (std::vector<uint64_t>{150000, 60000}));
  EXPECT_EQ(skipped, (Skips{{"Notes.txt", srNoOverwrite}, {"pipe", srFileOpenError}}));

  const std::string zip = ReadBytes(dir / "all.zip");
  const test::ZipListing listing = ListZip(zip);
  ASSERT_EQ(listing.items.size(), 11u);
  std::map<std::string, ZipItem> items;
  for (const ZipItem& item : listing.items)
    items[item.name] = item;
  EXPECT_EQ(items.count(gbk1) + items.count(gbk2) + items.count("NOTES.TXT"), 3u);
  for (const char* folder : {"sub/", "sub/deeper/"}) {
    const ZipItem& item = items[folder];
    EXPECT_EQ(std::make_tuple(item.method, item.size + item.compressedSize + item.crc,
                              item.externalAttributes),
              std::make_tuple(0, uint64_t{0}, 0x10u))
        << folder;
  }
  EXPECT_EQ(items["cover.jpg"].method, 0);
  EXPECT_EQ(items["big.txt"].method, 8);
  EXPECT_EQ(test::Extract(zip, items["shrinks.txt"]), shrinks.substr(0, 60000));
  EXPECT_EQ(test::Extract(zip, items["grows.txt"]), grows);
  ExpectLocalHeadersMatch(zip);

  EXPECT_EQ(test::CheckArchiveWithOtherTools(dir / "all.zip"), "");
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

  // An existing one, reached by another spelling of its path or through a linked folder, is
  // left out of the gathered files.
  ASSERT_EQ(symlink((dir / "root").c_str(), (dir / "alias").c_str()), 0);
  const std::string before = ReadBytes(dir / "root/book.epub");
  for (const char* spelling : {"root/sub/../book.epub", "alias/book.epub"}) {
    SCOPED_TRACE(spelling);
    TZipPacker again;
    ConfigureTreePacker(again, dir / "root", dir / spelling);
    EXPECT_EQ(Gathered(again), (Names{dir / "root/a.txt", dir / "root/BOOK.EPUB"}));
    EXPECT_EQ(ReadBytes(dir / "root/book.epub"), before);
  }
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

TEST(Packer, PackLevelDecidesMethodAndFlags) {
  TempFolder dir;
  MakeFiles(dir / "root", {"text.txt", "empty.txt"},
            {{"text.txt", Text(100000)}, {"empty.txt", ""}});
  // Level, method, flags.
  for (const auto& [level, method, flags] : std::vector<std::array<int, 3>>{
           {0, 0, 4}, {1, 8, 4}, {2, 8, 4}, {6, 8, 0}, {8, 8, 2}, {9, 8, 2}}) {
    SCOPED_TRACE("level " + std::to_string(level));
    TZipPacker packer;
    ConfigureTreePacker(packer, dir / "root", dir / "out.zip");
    packer.PackLevel = level;
    ASSERT_EQ(packer.Zip(), 2);
    const std::string zip = ReadBytes(dir / "out.zip");
    const std::vector<ZipItem> items = ListZip(zip).items;
    ASSERT_EQ(items.size(), 2u);
    for (const ZipItem& item : items) {
      EXPECT_EQ(std::make_tuple(item.method, item.flags, item.extraLength),
                std::make_tuple(method, flags, size_t{0}));
    }
    EXPECT_EQ(test::Extract(zip, items[1]), Text(100000));
    ExpectLocalHeadersMatch(zip);
    ASSERT_TRUE(DeleteFile(dir / "out.zip"));
  }
}

TEST(Packer, ReadOnlyFileCarriesTheReadOnlyAttribute) {
  TempFolder dir;
  MakeFiles(dir / "root", {"ro.txt", "rw.txt"});
  ASSERT_EQ(chmod(dir.Path().c_str(), 0755), 0);
  ASSERT_EQ(chmod((dir / "root/ro.txt").c_str(), 0444), 0);
  ASSERT_EQ(chown((dir / "root/rw.txt").c_str(), test::UnprivilegedUser(), -1), 0);
  MakeDirs(dir / "out");
  ASSERT_EQ(chown((dir / "out").c_str(), test::UnprivilegedUser(), -1), 0);
  // Root may write anything: the file is read-only to someone it binds.
  EXPECT_TRUE(test::AsUnprivilegedUser([&] {
    TZipPacker packer;
    ConfigureTreePacker(packer, dir / "root", dir / "out/out.zip");
    return packer.Zip() == 2;
  }));
  const std::vector<ZipItem> items = ListZip(ReadBytes(dir / "out/out.zip")).items;
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

// An archive that cannot be written raises its error, leaves no file and does not complete.
TEST(Packer, FailuresLeaveNoOutput) {
  TempFolder dir;
  const std::string noRoom = "ENotEnoughRoom Not enough room to write archive";
  struct Case {
    const char* what;
    std::string zipName, content;
    rlim_t limit;
    std::string message;
  } cases[] = {
      {"a full disk while the data is written", "out.zip", test::NoiseBytes(300000, 7), 64 * 1024,
       noRoom},
      {"a full disk when the header is rewritten", "out.zip", Text(2000), 40, noRoom},
      {"a missing folder", "no/such/book.epub", Text(2000), RLIM_INFINITY,
       "EFCreateError Cannot create file \"" + dir.Path() +
           "no/such/book.epub\". No such file or directory"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    MakeFiles(dir / "root", {"data.bin"}, {{"data.bin", c.content}});
    TZipPacker packer;
    ConfigureTreePacker(packer, dir / "root", dir / c.zipName);
    bool completed = false;
    packer.OnZipComplete = [&](int) { completed = true; };
    EXPECT_EQ(test::Outcome([&] {
                FileSizeLimit limit(c.limit);
                packer.Zip();
              }),
              c.message);
    EXPECT_EQ(FileSize(dir / c.zipName), -1);
    EXPECT_EQ(FileSize(dir / "no"), -1);
    EXPECT_TRUE(packer.FilesList().empty());
    EXPECT_FALSE(completed);
  }
}

TEST(Packer, CancelRequestAbortsAndRemovesTheOutput) {
  TempFolder dir;
  MakeFiles(dir / "root", {"a.txt", "b.txt", "sub/c.txt"},
            {{"a.txt", test::NoiseBytes(200000, 7)},
             {"b.txt", test::NoiseBytes(200000, 8)},
             {"sub/c.txt", test::NoiseBytes(200000, 9)}});
  for (auto [when, cancelAtCall, outputCreated] :
       {std::tuple{"while gathering files", 1, false}, {"while writing data", 6, true}}) {
    SCOPED_TRACE(when);
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
      if (++calls == cancelAtCall) progress.RequestCancel();
    };
    bool completed = false;
    packer.OnZipComplete = [&](int) { completed = true; };
    EXPECT_EQ(test::Outcome([&] { packer.Zip(); }), "EUserCanceled User Aborted Operation");
    EXPECT_EQ(calls, cancelAtCall);
    EXPECT_EQ(created, outputCreated);
    EXPECT_EQ(FileSize(dir / "out.zip"), -1);
    EXPECT_FALSE(pending());
    EXPECT_TRUE(packer.FilesList().empty());
    EXPECT_FALSE(completed);

    // The request does not outlive the operation it stopped.
    ConfigureTreePacker(packer, dir / "root", dir / "out.zip");
    EXPECT_EQ(packer.Zip(), 3);
    ASSERT_TRUE(DeleteFile(dir / "out.zip"));
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

// --- What is gathered, and under which names ----------------------------------------------

TEST(PackerSearch, ExplicitFilesComeFirstThenWhatEachLineFinds) {
  TempFolder dir;
  MakeFiles(dir / "root", {"z.txt", "a.md", "b.txt", "sub/b.txt", "sub/c.md", "README", ".secret",
                           "skip.tmp", "drafts/d.txt", "other/d.txt"});
  struct Case {
    Names lines;
    bool recurse;
    Names found;    // under root/
    Names missing;  // lines that find nothing and files left out (with the reason), as met
    Names exclude = {};
  };
  const Case cases[] = {
      // A hidden file is not found by name either, with the default attribute mask.
      {{"z.txt", "sub/b.txt", "*.md", "missing.txt", ".secret"},
       true,
       {"z.txt", "sub/b.txt", "a.md", "sub/c.md"},
       {"missing.txt", ".secret"}},
      // "*.*" is every file; a line's "|" or ">" overrides the recursion setting.
      {{"*.*"}, false, {"a.md", "b.txt", "README", "skip.tmp", "z.txt"}, {}},
      {{"|*.txt"}, true, {"b.txt", "z.txt"}, {}},
      {{">*.txt"}, false, {"b.txt", "drafts/d.txt", "other/d.txt", "sub/b.txt", "z.txt"}, {}},
      {{"sub/*.md"}, false, {"sub/c.md"}, {}},
      // The exclude list matches names, or with a folder in it the path.
      {{"skip.tmp", "*.*"},
       true,
       {"a.md", "b.txt", "other/d.txt", "README", "sub/b.txt", "sub/c.md", "z.txt"},
       {"excluded skip.tmp", "excluded drafts/d.txt", "excluded skip.tmp"},
       {"*.TMP", "*/drafts/*"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.lines.front());
    TZipPacker packer;
    ConfigureTreePacker(packer, dir / "root", dir / "out.zip");
    packer.SetRecurse(c.recurse);
    packer.FilesList() = c.lines;
    packer.ExcludeList() = c.exclude;
    for (std::string& line : packer.FilesList()) {
      if (line.find('/') != line.npos) line = dir / "root/" + line;
    }
    Names missing;
    packer.OnNoSuchFile = [&](const std::string& path) {
      missing.push_back(path.substr((dir / "root/").size()));
    };
    packer.OnSkippingFile = [&](const std::string& path, TSkipReason reason, bool&) {
      missing.push_back((reason == srExcludeList ? "excluded " : "skipped ") +
                        path.substr((dir / "root/").size()));
    };
    Names found;
    for (const std::string& path : Gathered(packer))
      found.push_back(path.substr((dir / "root/").size()));
    EXPECT_EQ(found, c.found);
    EXPECT_EQ(missing, c.missing);
  }
}

TEST(PackerSearch, StoredNames) {
  TempFolder dir;
  MakeFiles(dir / "root", {"sub/x.txt", "y.txt"});
  MakeFiles(dir / "outside", {"o.txt"});
  const std::string absolute = dir.Path().substr(1);  // the tree's path without the leading "/"
  struct Case {
    const char* what;
    std::function<void(TZipPacker&)> configure;
    Names names;
  };
  const Case cases[] = {
      {"relative to the root", [](TZipPacker&) {}, {"sub/x.txt", "y.txt"}},
      {"full paths",
       [](TZipPacker& p) {
         p.SetRelativePaths(false);
         p.SetRecurse(true);
       },
       {absolute + "root/sub/x.txt", absolute + "root/y.txt"}},
      {"no paths", [](TZipPacker& p) { p.SetStorePaths(false); }, {"x.txt", "y.txt"}},
      {"no climbing out of the archive",
       [&](TZipPacker& p) { p.FilesList() = {dir / "root/../outside/./o.txt"}; },
       {"outside/o.txt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TZipPacker packer;
    ConfigureTreePacker(packer, dir / "root", dir / "out.zip");
    c.configure(packer);
    packer.Zip();
    EXPECT_EQ(WrittenNames(packer), c.names);
    DeleteFile(dir / "out.zip");
  }
}

}  // namespace
}  // namespace lumbrella
