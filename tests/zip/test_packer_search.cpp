// What the packer gathers and under which names: the files list, wildcard searches,
// exclusions and stored names.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <functional>

#include "platform/files.h"
#include "test_zip_util.h"
#include "zip/packer.h"

namespace lumbrella {
namespace {

using test::CheckArchiveWithOtherTools;
using test::ConfigureTreePacker;
using test::MakeDirs;
using test::TempFolder;
using test::WriteBytes;
using test::WrittenNames;
using test::ZipItems;
using test::ZipNames;
using Names = std::vector<std::string>;

void MakeFiles(const std::string& root, const Names& files) {
  for (const std::string& f : files) {
    std::string path = root + "/" + f;
    if (path.back() == '/') {
      MakeDirs(path);
    } else {
      MakeDirs(ExtractFilePath(path));
      WriteBytes(path, "content of " + f);
    }
  }
}

TEST(PackerSearch, ExplicitFilesComeFirstThenWhatEachWildcardFinds) {
  TempFolder dir;
  MakeFiles(dir / "root", {"z.txt", "a.md", "sub/b.txt", "sub/c.md", "README", ".secret"});
  TZipPacker packer;
  ConfigureTreePacker(packer, dir / "root", dir / "out.zip");
  packer.FilesList() = {"z.txt", dir / "root/sub/b.txt", "*.md", "missing.txt", ".secret"};
  Names missing;
  packer.OnNoSuchFile = [&](const std::string& path) { missing.push_back(path); };
  ASSERT_EQ(packer.Zip(), 4);
  EXPECT_EQ(ZipNames(dir / "out.zip"), (Names{"z.txt", "sub/b.txt", "a.md", "sub/c.md"}));
  // A hidden file is not found by name either, with the default attribute mask.
  EXPECT_EQ(missing, (Names{dir / "root/missing.txt", dir / "root/.secret"}));
}

// Each line alone in the files list: what its pattern finds, and where recursion (the
// line's "|" or ">" prefix, otherwise the setting) takes the search.
TEST(PackerSearch, PatternsAndRecursion) {
  TempFolder dir;
  MakeFiles(dir / "root", {"README", "notes.txt", "a.txt", "b.md", "c.TXT", "x.tar.gz",
                           "sub/deep.txt", "empty/"});
  struct Case {
    const char* line;
    bool recurse;
    Names names;
  };
  const Names all = {"a.txt", "b.md", "c.TXT", "notes.txt", "README", "x.tar.gz"};
  const Case cases[] = {
      {"*.*", false, all},
      {"*", false, all},
      {"*.", false, {"README"}},
      {"*.TXT", false, {"a.txt", "c.TXT", "notes.txt"}},
      {"?.txt", false, {"a.txt", "c.TXT"}},
      {"<a-b>*", false, {"a.txt", "b.md"}},
      {"<!ab>*", false, {"c.TXT", "notes.txt", "README", "x.tar.gz"}},
      {"<^a-mx>*.*", false, {"notes.txt", "README"}},
      {"*.gz", false, {"x.tar.gz"}},
      {"nothing*", false, {}},
      {"*.txt", true, {"a.txt", "c.TXT", "notes.txt", "sub/deep.txt"}},
      {"|*.txt", true, {"a.txt", "c.TXT", "notes.txt"}},
      {">*.txt", false, {"a.txt", "c.TXT", "notes.txt", "sub/deep.txt"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(std::string(c.line) + (c.recurse ? " recursing" : ""));
    TZipPacker packer;
    ConfigureTreePacker(packer, dir / "root", dir / "out.zip");
    packer.SetRecurse(c.recurse);
    packer.FilesList() = {c.line};
    packer.Zip();
    EXPECT_EQ(WrittenNames(packer), c.names);
    DeleteFile(dir / "out.zip");
  }
}

TEST(PackerSearch, ExcludeListMatchesNamesOrWithAFolderThePath) {
  TempFolder dir;
  MakeFiles(dir / "root", {"keep.txt", "skip.tmp", "drafts/d.txt", "other/d.txt"});
  TZipPacker packer;
  ConfigureTreePacker(packer, dir / "root", dir / "out.zip");
  packer.FilesList() = {"skip.tmp", "*.*"};
  packer.ExcludeList() = {"*.TMP", "*/drafts/*"};
  Names skipped;
  packer.OnSkippingFile = [&](const std::string& path, TSkipReason reason, bool&) {
    EXPECT_EQ(reason, srExcludeList);
    skipped.push_back(path.substr(dir.Path().size()));
  };
  ASSERT_EQ(packer.Zip(), 2);
  EXPECT_EQ(ZipNames(dir / "out.zip"), (Names{"keep.txt", "other/d.txt"}));
  EXPECT_EQ(skipped, (Names{"root/skip.tmp", "root/drafts/d.txt", "root/skip.tmp"}));
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

TEST(PackerSearch, FolderEntriesWhenAsked) {
  TempFolder dir;
  MakeFiles(dir / "root", {"sub/x.txt", "sub/deeper/", "y.txt"});
  TZipPacker packer;
  ConfigureTreePacker(packer, dir / "root", dir / "out.zip");
  packer.AddDirEntriesOnRecurse = true;
  ASSERT_EQ(packer.Zip(), 4);
  std::vector<test::ZipItem> items = ZipItems(dir / "out.zip");
  Names names;
  for (const test::ZipItem& item : items)
    names.push_back(item.name);
  EXPECT_EQ(names, (Names{"sub/", "sub/deeper/", "sub/x.txt", "y.txt"}));
  for (size_t i : {0u, 1u}) {
    EXPECT_EQ(items[i].method, 0);
    EXPECT_EQ(items[i].size, 0u);
    EXPECT_EQ(items[i].compressedSize, 0u);
    EXPECT_EQ(items[i].crc, 0u);
    EXPECT_EQ(items[i].externalAttributes, 0x10u);
  }
  EXPECT_EQ(CheckArchiveWithOtherTools(dir / "out.zip"), "");
}

TEST(PackerSearch, LinksBackUpTheTreeAndSpecialFilesAreLeftOut) {
  TempFolder dir;
  MakeFiles(dir / "root", {"a.txt", "sub/b.txt"});
  ASSERT_EQ(symlink("..", (dir / "root/sub/loop").c_str()), 0);
  ASSERT_EQ(mkfifo((dir / "root/pipe").c_str(), 0600), 0);
  TZipPacker packer;
  ConfigureTreePacker(packer, dir / "root", dir / "out.zip");
  Names skipped;
  packer.OnSkippingFile = [&](const std::string& path, TSkipReason reason, bool&) {
    EXPECT_EQ(reason, srFileOpenError);
    skipped.push_back(ExtractFileName(path));
  };
  ASSERT_EQ(packer.Zip(), 2);
  EXPECT_EQ(ZipNames(dir / "out.zip"), (Names{"a.txt", "sub/b.txt"}));
  EXPECT_EQ(skipped, Names{"pipe"});
}

}  // namespace
}  // namespace lumbrella
