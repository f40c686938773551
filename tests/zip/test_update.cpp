#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>
#include <utime.h>

#include <filesystem>
#include <functional>
#include <thread>

#include "common/test_util.h"
#include "platform/errors.h"
#include "zip/errors.h"
#include "zip/packer.h"
#include "zip/test_reader_fixtures.h"

namespace lumbrella {
namespace {

using test::BuildZip;
using test::BuiltZip;
using test::FixtureEntry;
using test::Put16;
using test::Put32;
using test::TempFolder;
using test::ThreeEntries;

constexpr std::time_t kOld = 1420070400;  // 2015-01-01, when the old book was made

class UpdateTest : public ::testing::Test {
 protected:
  UpdateTest() : staging_(tmp_ / "EPUB") { test::MakeDirs(staging_); }

  void Stage(const std::string& name, const std::string& bytes, std::time_t mtime = 0) {
    std::string path = staging_ + "/" + name;
    test::MakeDirs(std::filesystem::path(path).parent_path().string());
    test::WriteBytes(path, bytes);
    if (mtime != 0) SetTime(path, mtime);
  }
  static void SetTime(const std::string& path, std::time_t mtime) {
    struct utimbuf times {
      mtime, mtime
    };
    ASSERT_EQ(utime(path.c_str(), &times), 0);
  }
  void ClearStaging() {
    std::filesystem::remove_all(staging_);
    test::MakeDirs(staging_);
  }
  // Packs the staging folder into target as a conversion does.
  int Pack(TZipPacker& packer, const std::string& target, TZipAction action = zaUpdate) {
    packer.SetRootDir(staging_);
    packer.FilesList() = {"*.*"};
    packer.SetRelativePaths(true);
    packer.SetZipName(target);
    packer.ZipAction = action;
    return packer.Zip();
  }
  int Pack(const std::string& target, TZipAction action = zaUpdate) {
    TZipPacker packer;
    return Pack(packer, target, action);
  }
  // What compare_archives.py finds wrong with new made from old ("" when nothing).
  std::string Compare(const std::string& oldPath, const std::string& newPath,
                      const std::vector<std::string>& replaced,
                      const std::vector<std::string>& added) {
    std::string cmd =
        "python3 " + test::Quote(LUMBRELLA_SOURCE_DIR "/tests/zip/compare_archives.py") + " " +
        test::Quote(oldPath) + " " + test::Quote(newPath) + " " + test::Quote(staging_);
    for (const std::string& n : replaced)
      cmd += " " + test::Quote(n);
    cmd += " --";
    for (const std::string& n : added)
      cmd += " " + test::Quote(n);
    test::CommandResult r = test::Run(cmd);
    return r.exitCode == 0 ? "" : r.output + "(exit " + std::to_string(r.exitCode) + ")";
  }
  // Temporary archives left anywhere under the test's folder.
  std::vector<std::string> Leftovers() {
    std::vector<std::string> found;
    for (const auto& e : std::filesystem::recursive_directory_iterator(tmp_.Path())) {
      if (e.path().filename().string().rfind("WTX", 0) == 0) found.push_back(e.path());
    }
    return found;
  }

  TempFolder tmp_;
  std::string staging_;
};

TEST_F(UpdateTest, ArchivesOfOtherToolsAreUpdated) {
  auto& fixtures = test::ToolFixtures::Get();
  ASSERT_TRUE(fixtures.Ok());
  Stage("mimetype", "application/epub+zip");
  Stage("new/added.txt", "a chapter that was not there before");
  for (const std::string& archive : fixtures.Archives()) {
    SCOPED_TRACE(archive);
    std::string original = fixtures.Dir() + archive;
    std::string target = tmp_ / ("book-" + archive);
    std::filesystem::copy_file(original, target);
    ASSERT_EQ(Pack(target), 2);
    bool empty = archive == "empty.zip";
    EXPECT_EQ(Compare(original, target, {"mimetype"},
                      empty ? std::vector<std::string>{"mimetype", "new/added.txt"}
                            : std::vector<std::string>{"new/added.txt"}),
              "");
    EXPECT_EQ(test::CheckArchiveWithOtherTools(target), "");
  }
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(UpdateTest, MergeRules) {
  struct Case {
    std::string what;
    TZipAction action;
    std::vector<std::pair<std::string, std::time_t>> staged;  // 0: now
    int written;
    std::vector<std::string> replaced;
    std::vector<std::string> added;
  };
  const Case cases[] = {
      {"newer pages replace theirs in place, missing ones stay",
       zaUpdate,
       {{"2.html", 0}, {"1.html", 0}},
       2,
       {"1.html", "2.html"},
       {}},
      {"same two-second unit or older: the old entry stays, the file is not written",
       zaUpdate,
       {{"1.html", kOld + 1}, {"2.html", kOld - 3600}, {"3.html", 0}},
       1,
       {"3.html"},
       {}},
      {"new names follow the old entries",
       zaUpdate,
       {{"9.html", 0}, {"0.html", 0}},
       2,
       {},
       {"0.html", "9.html"}},
      {"replace ignores the dates",
       zaReplace,
       {{"1.html", kOld - 3600}, {"4.html", 0}},
       2,
       {"1.html"},
       {"4.html"}},
      {"freshen adds nothing new", zaFreshen, {{"2.html", 0}, {"8.html", 0}}, 1, {"2.html"}, {}},
      {"names are matched without regard to case", zaUpdate, {{"3.HTML", 0}}, 1, {"3.html"}, {}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ClearStaging();
    for (const char* page : {"1.html", "2.html", "3.html"}) {
      Stage(page, std::string("old page ") + page, kOld);
    }
    std::string target = tmp_ / "book.epub";
    std::string old = tmp_ / "old.epub";
    std::filesystem::remove(target);
    ASSERT_EQ(Pack(target), 3);
    std::filesystem::copy_file(target, old, std::filesystem::copy_options::overwrite_existing);

    ClearStaging();
    for (const auto& [name, time] : c.staged)
      Stage(name, "new " + name, time);
    EXPECT_EQ(Pack(target, c.action), c.written);
    std::vector<std::string> replaced = c.replaced;
    if (c.what.find("case") != std::string::npos) {
      // The old entry keeps its place; the new one is stored under the staged name.
      test::CommandResult r = test::Run(
          "python3 -c 'import sys,zipfile; print(\",\".join(zipfile.ZipFile(sys.argv[1])"
          ".namelist()))' " +
          test::Quote(target));
      EXPECT_EQ(r.output, "1.html,2.html,3.HTML\n");
      continue;
    }
    EXPECT_EQ(Compare(old, target, replaced, c.added), "");
  }
}

TEST_F(UpdateTest, SuccessiveConversionsOfOneFolder) {
  Stage("mimetype", "application/epub+zip", kOld);
  Stage("OEBPS/1.html", "page one", kOld);
  Stage("OEBPS/2.html", "page two", kOld);
  std::string target = tmp_ / "book.epub";
  TZipPacker packer;
  ASSERT_EQ(Pack(packer, target), 3);
  std::string first = test::ReadBytes(target);
  // Nothing newer: every entry is carried over, and the archive comes out the same.
  EXPECT_EQ(Pack(packer, target), 0);
  EXPECT_EQ(test::ReadBytes(target), first);
  // The files written anew (as each conversion does) replace their entries in place.
  Stage("OEBPS/1.html", "page one, second edition");
  Stage("OEBPS/2.html", "page two, second edition");
  EXPECT_EQ(Pack(packer, target), 2);
  std::string old = tmp_ / "first.epub";
  test::WriteBytes(old, first);
  EXPECT_EQ(Compare(old, target, {"OEBPS/1.html", "OEBPS/2.html"}, {}), "");
  EXPECT_EQ(packer.Directory().Count(), 3u);
  EXPECT_TRUE(packer.FilesList().empty());
}

// A newer file that is then left out (here by OnStartZip; an unreadable file goes the same
// way) does not cost the archive its old entry.
TEST_F(UpdateTest, AnEntryWhoseNewFileIsSkippedIsKept) {
  Stage("1.html", "old one", kOld);
  Stage("2.html", "old two", kOld);
  std::string target = tmp_ / "book.epub";
  ASSERT_EQ(Pack(target), 2);
  std::string old = tmp_ / "old.epub";
  std::filesystem::copy_file(target, old);
  Stage("2.html", "new two");
  TZipPacker packer;
  packer.OnStartZip = [](const std::string& path, TZipHeaderInfo&, bool& skip) {
    skip = path.ends_with("2.html");
  };
  EXPECT_EQ(Pack(packer, target), 0);
  EXPECT_EQ(Compare(old, target, {}, {}), "");
}

// Targets that cannot be updated: each fails with its exception and leaves the file as it
// was, with no temporary file behind.
TEST_F(UpdateTest, DamagedTargetsAreLeftAsTheyWere) {
  Stage("mimetype", "application/epub+zip");
  std::string text;
  for (int i = 0; i < 3000; ++i)
    text += "not an archive at all\n";
  std::vector<FixtureEntry> small = ThreeEntries();
  small[1].data = "short";
  std::string valid = BuildZip(small).bytes;

  struct Case {
    std::string what;
    std::string bytes;
    std::string message;
  };
  std::vector<Case> cases = {{"text file", text, "Incomplete Zip File"}};
  for (size_t n = 1; n <= 21; ++n) {
    cases.push_back({std::to_string(n) + " bytes",
                     std::string("PK\x05\x06", 4).append(17, '\0').substr(0, n),
                     "Incomplete Zip File"});
  }
  for (size_t n = 1; n < valid.size(); ++n) {
    cases.push_back(
        {"prefix of " + std::to_string(n) + " bytes", valid.substr(0, n), "Incomplete Zip File"});
  }
  {
    BuiltZip z = BuildZip(ThreeEntries());
    Put16(z.bytes, z.endAt + 10, 0xFFFF);
    cases.push_back({"absurd count", z.bytes, "Not a valid zip file!"});
    z = BuildZip(ThreeEntries());
    Put32(z.bytes, z.endAt + 16, 0xFFFFFF00);
    cases.push_back({"absurd offset", z.bytes, "Not a valid zip file!"});
    z = BuildZip(ThreeEntries());
    Put32(z.bytes, z.centralAt[0] + 20, static_cast<uint32_t>(z.localAt[2]));
    cases.push_back({"overlapping entries", z.bytes, "Not a valid zip file!"});
    std::vector<FixtureEntry> twins = ThreeEntries();
    twins[2].name = "OEBPS/1.HTML";
    cases.push_back(
        {"two names differing only in case", BuildZip(twins).bytes, "Duplicate Object index"});
  }
  std::string target = tmp_ / "book.epub";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::WriteBytes(target, c.bytes);
    try {
      Pack(target);
      ADD_FAILURE() << "the update succeeded";
    } catch (const Exception& e) {
      EXPECT_EQ(e.Message(), c.message);
    }
    ASSERT_EQ(test::ReadBytes(target), c.bytes);
    ASSERT_TRUE(Leftovers().empty());
  }
}

// Damage that reading gets over: the update succeeds and other tools accept the result.
TEST_F(UpdateTest, RepairedTargetsAreUpdated) {
  Stage("mimetype", "application/epub+zip");
  const std::vector<std::string> names = {"mimetype", "OEBPS/1.html", "OEBPS/2.html"};
  std::string inner = BuildZip(ThreeEntries()).bytes;
  struct Case {
    std::string what;
    std::function<std::string()> make;
    std::vector<std::string> names;
  };
  const Case cases[] = {
      {"central extra length too long",
       [] {
         BuiltZip z = BuildZip(ThreeEntries());
         Put16(z.bytes, z.centralAt[1] + 30, 11);
         return z.bytes;
       },
       names},
      {"damaged central header",
       [] {
         BuiltZip z = BuildZip(ThreeEntries());
         z.bytes[z.centralAt[1] + 2] = 'X';
         return z.bytes;
       },
       names},
      {"damaged directory, a stored zip inside",
       [&] {
         BuiltZip z =
             BuildZip({test::Entry("mimetype", "application/epub+zip", false),
                       test::Entry("inner.zip", inner, false), test::Entry("after.txt", "after")});
         z.bytes[z.centralAt[0]] = 'X';
         return z.bytes;
       },
       {"mimetype", "inner.zip", "after.txt"}},
  };
  std::string target = tmp_ / "book.epub";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::WriteBytes(target, c.make());
    ASSERT_EQ(Pack(target), 1);
    EXPECT_EQ(test::CheckArchiveWithOtherTools(target), "");
    test::CommandResult r = test::Run(
        "python3 -c 'import sys,zipfile; print(\",\".join(zipfile.ZipFile(sys.argv[1])"
        ".namelist()))' " +
        test::Quote(target));
    std::string expected;
    for (const std::string& n : c.names)
      expected += (expected.empty() ? "" : ",") + n;
    EXPECT_EQ(r.output, expected + "\n");
  }
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(UpdateTest, TheTargetIsReplacedInOneStep) {
  Stage("mimetype", "application/epub+zip");
  std::string old = BuildZip(ThreeEntries()).bytes;

  // A link keeps pointing to the file, which is updated in its own folder.
  test::MakeDirs(tmp_ / "real");
  std::string real = tmp_ / "real/book.epub";
  std::string link = tmp_ / "link.epub";
  test::WriteBytes(real, old);
  ASSERT_EQ(chmod(real.c_str(), 0640), 0);
  ASSERT_EQ(symlink(real.c_str(), link.c_str()), 0);
  ASSERT_EQ(Pack(link), 1);
  struct stat st;
  ASSERT_EQ(lstat(link.c_str(), &st), 0);
  EXPECT_TRUE(S_ISLNK(st.st_mode));
  ASSERT_EQ(stat(real.c_str(), &st), 0);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_EQ(test::CheckArchiveWithOtherTools(real), "");
  EXPECT_NE(test::ReadBytes(real), old);

  // A temporary folder elsewhere: the result is copied beside the target, then renamed.
  test::MakeDirs(tmp_ / "elsewhere");
  std::string target = tmp_ / "book.epub";
  test::WriteBytes(target, old);
  TZipPacker packer;
  packer.TempPath = tmp_ / "elsewhere";
  ASSERT_EQ(Pack(packer, target), 1);
  EXPECT_EQ(test::CheckArchiveWithOtherTools(target), "");
  EXPECT_TRUE(Leftovers().empty());
}

// A pipe (or a device) at the output path is no archive to update: reading it could wait
// forever, and renaming the new book over it would take the node's place.
TEST_F(UpdateTest, ATargetThatIsNoRegularFileIsLeftAlone) {
  Stage("mimetype", "application/epub+zip");
  std::string fifo = tmp_ / "book.epub";
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // A writer that comes and goes at once, so that a reader of the pipe would not wait.
  std::thread writer([&] { close(open(fifo.c_str(), O_WRONLY)); });
  EXPECT_THROW(Pack(fifo), EFCreateError);
  int fd = open(fifo.c_str(), O_RDONLY | O_NONBLOCK);  // lets the writer go if nobody did
  writer.join();
  close(fd);
  struct stat st;
  ASSERT_EQ(lstat(fifo.c_str(), &st), 0);
  EXPECT_TRUE(S_ISFIFO(st.st_mode));
  EXPECT_TRUE(Leftovers().empty());
}

}  // namespace
}  // namespace lumbrella
