// Updating an archive that exists at the output path: archives of other tools, the merge
// rules, data copied rather than compressed again, damaged targets, and the replacement of
// the target.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>
#include <utime.h>

#include <filesystem>
#include <functional>
#include <map>
#include <thread>
#include <tuple>

#include "platform/errors.h"
#include "platform/files.h"
#include "test_zip_util.h"
#include "zip/errors.h"
#include "zip/packer.h"

namespace lumbrella {
namespace {

using test::BuildZip;
using test::BuiltZip;
using test::FixtureEntry;
using test::Put16;
using test::Put32;
using test::ThreeEntries;
using Names = std::vector<std::string>;

constexpr std::time_t kOld = 1420070400;  // 2015-01-01, when the old book was made

class UpdateTest : public ::testing::Test {
 protected:
  UpdateTest() : staging_(tmp_ / "EPUB") { test::MakeDirs(staging_); }

  void Stage(const std::string& name, const std::string& bytes, std::time_t mtime = 0) {
    const std::string path = staging_ + "/" + name;
    test::MakeDirs(ExtractFilePath(path));
    test::WriteBytes(path, bytes);
    const struct utimbuf times = {mtime, mtime};
    if (mtime != 0) {
      ASSERT_EQ(utime(path.c_str(), &times), 0);
    }
  }
  void ClearStaging() {
    std::filesystem::remove_all(staging_);
    test::MakeDirs(staging_);
  }
  // Packs the staging folder into target as a conversion does.
  int Pack(TZipPacker& packer, const std::string& target, TZipAction action = zaUpdate) {
    test::ConfigureTreePacker(packer, staging_, target);
    packer.ZipAction = action;
    return packer.Zip();
  }
  int Pack(const std::string& target, TZipAction action = zaUpdate) {
    TZipPacker packer;
    return Pack(packer, target, action);
  }
  // What is wrong with newPath as an update of oldPath ("" when nothing): the old entries
  // in their order, those named in replaced holding the staged file now, then the added
  // names (staged files) in that order; a kept entry keeps its data bytes, CRC, sizes,
  // method, flags and comment; no entry has a data descriptor, the archive no comment, and
  // every entry's data match its header.
  std::string Compare(const std::string& oldPath, const std::string& newPath, const Names& replaced,
                      const Names& added) {
    const std::string before = test::ReadBytes(oldPath), after = test::ReadBytes(newPath);
    const test::ZipListing old = before.empty() ? test::ZipListing() : test::ListZip(before);
    const test::ZipListing now = test::ListZip(after);
    std::string problems = test::DataProblems(after, now);
    Names expected, got;
    std::map<std::string, test::ZipItem> byName;
    for (const test::ZipItem& item : old.items)
      expected.push_back(item.name);
    expected.insert(expected.end(), added.begin(), added.end());
    for (const test::ZipItem& item : now.items) {
      got.push_back(item.name);
      byName[item.name] = item;
      if (item.flags & 8) problems += item.name + " has a data descriptor\n";
    }
    if (got != expected) problems += "names differ from the old ones and the added\n";
    if (!now.comment.empty()) problems += "the archive comment was carried over\n";
    const auto holdsStaged = [&](const std::string& name) {
      const auto n = byName.find(name);
      return n != byName.end() &&
             test::Extract(after, n->second) == test::ReadBytes(staging_ + "/" + name);
    };
    for (const test::ZipItem& o : old.items) {
      const auto n = byName.find(o.name);
      if (n == byName.end() || std::count(replaced.begin(), replaced.end(), o.name) != 0) continue;
      const test::ZipItem& k = n->second;
      if (std::tie(o.crc, o.compressedSize, o.size, o.method, o.comment) !=
              std::tie(k.crc, k.compressedSize, k.size, k.method, k.comment) ||
          (o.flags & ~8) != k.flags || test::StoredData(before, o) != test::StoredData(after, k)) {
        problems += o.name + " was not kept byte for byte\n";
      }
    }
    for (const Names* staged : {&replaced, &added}) {
      for (const std::string& name : *staged) {
        if (!holdsStaged(name)) problems += name + " does not hold the staged file\n";
      }
    }
    return problems;
  }
  // Temporary archives (".<name>.XXXXXX") left anywhere under the test's folder.
  Names Leftovers() {
    Names found;
    for (const auto& e : std::filesystem::recursive_directory_iterator(tmp_.Path())) {
      if (e.path().filename().string().starts_with(".")) found.push_back(e.path());
    }
    return found;
  }

  test::TempFolder tmp_;
  std::string staging_;
};

TEST_F(UpdateTest, ArchivesOfOtherToolsAreUpdated) {
  auto& fixtures = test::ToolFixtures::Get();
  ASSERT_TRUE(fixtures.Ok());
  Stage("mimetype", "application/epub+zip");
  Stage("new/added.txt", "a chapter that was not there before");
  // Every other update is written in a temporary folder elsewhere, then copied beside the
  // target and renamed.
  test::MakeDirs(tmp_ / "elsewhere");
  Names targets;
  for (const std::string& archive : fixtures.Archives()) {
    SCOPED_TRACE(archive);
    std::string original = fixtures.Dir() + archive;
    targets.push_back(tmp_ / ("book-" + archive));
    std::filesystem::copy_file(original, targets.back());
    TZipPacker packer;
    if (targets.size() % 2 == 0) packer.TempPath = tmp_ / "elsewhere";
    ASSERT_EQ(Pack(packer, targets.back()), 2);
    Names added = {"new/added.txt"};
    if (archive == "empty.zip") added.insert(added.begin(), "mimetype");
    EXPECT_EQ(Compare(original, targets.back(), {"mimetype"}, added), "");
  }
  EXPECT_EQ(test::CheckArchivesWithOtherTools(targets), "");
  EXPECT_TRUE(Leftovers().empty());
}

TEST_F(UpdateTest, MergeRules) {
  struct Case {
    std::string what;
    TZipAction action;
    std::vector<std::pair<std::string, std::time_t>> staged;  // 0: now
    int written;
    Names replaced;
    Names added = {};
    Names names = {};  // when set, the names of the result instead of a comparison with the old
    std::string skipped = "";  // a file OnStartZip leaves out
  };
  const Case cases[] = {
      {"newer pages replace theirs in place, missing ones stay",
       zaUpdate,
       {{"2.html", 0}, {"1.html", 0}},
       2,
       {"1.html", "2.html"}},
      {"same two-second unit or older: the old entry stays, the file is not written",
       zaUpdate,
       {{"1.html", kOld + 1}, {"2.html", kOld - 3600}, {"3.html", 0}},
       1,
       {"3.html"}},
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
      {"freshen adds nothing new", zaFreshen, {{"2.html", 0}, {"8.html", 0}}, 1, {"2.html"}},
      {"names are matched without regard to case, the staged one is stored",
       zaUpdate,
       {{"3.HTML", 0}},
       1,
       {},
       {},
       {"1.html", "2.html", "3.HTML"}},
      // An unreadable file goes the same way.
      {"a newer file that is then left out does not cost the archive its old entry",
       zaUpdate,
       {{"2.html", 0}},
       0,
       {},
       {},
       {},
       "2.html"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    ClearStaging();
    for (const char* page : {"1.html", "2.html", "3.html"}) {
      Stage(page, std::string("old page ") + page, kOld);
    }
    const std::string target = tmp_ / "book.epub", old = tmp_ / "old.epub";
    std::filesystem::remove(target);
    ASSERT_EQ(Pack(target), 3);
    std::filesystem::copy_file(target, old, std::filesystem::copy_options::overwrite_existing);

    ClearStaging();
    for (const auto& [name, time] : c.staged)
      Stage(name, "new " + name, time);
    TZipPacker packer;
    packer.OnStartZip = [&](const std::string& path, TZipHeaderInfo&, bool& skip) {
      skip = !c.skipped.empty() && path.ends_with(c.skipped);
    };
    EXPECT_EQ(Pack(packer, target, c.action), c.written);
    if (c.names.empty()) {
      EXPECT_EQ(Compare(old, target, c.replaced, c.added), "");
    } else {
      EXPECT_EQ(test::ZipNames(target), c.names);
    }
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
}

// A file whose bytes an old entry holds already (same size and CRC-32) gets that entry's
// data copied, not compressed again, so the archive comes out as one packed anew; data the
// directory vouches for but that do not inflate to those bytes are compressed anew.
TEST_F(UpdateTest, UnchangedDataIsCopiedOnceItsBytesAreProved) {
  const std::string text = "长夜漫漫，雨落在旧书店的门前。\n";
  std::string chapter;
  for (int i = 0; i < 3000; ++i)
    chapter += std::to_string(i) + text;
  const auto stageAll = [&](std::time_t when, const std::string& last) {
    Stage("mimetype", "application/epub+zip", when);
    Stage("OEBPS/1.html", chapter, when);
    Stage("OEBPS/2.html", chapter + "two", when);
    Stage("OEBPS/3.html", last, when);
  };
  stageAll(kOld, "three");
  const std::string old = tmp_ / "old.epub";
  TZipPacker oldPacker;
  ASSERT_EQ(Pack(oldPacker, old), 4);
  const bool haveZip = test::HaveProgram("zip");
  const std::string foreign = tmp_ / "foreign.epub";
  if (haveZip) {
    ASSERT_EQ(test::Run("cd " + test::Quote(staging_) + " && zip -q -6 -r -D " +
                        test::Quote(foreign) + " .")
                  .exitCode,
              0);
  }
  // The old book with one byte of 1.html's data changed, its directory as it was.
  std::string damaged = test::ReadBytes(old);
  const TZipHeaderInfo& first = *oldPacker.Directory().Item(1);
  ASSERT_EQ(first.FullName(), "OEBPS/1.html");
  damaged[first.relativeOffset + kLocalHeaderSize + first.nameLength + 100] ^= 0x55;

  stageAll(kOld + 3600, "three, changed");
  const std::string fresh = tmp_ / "fresh.epub";
  ASSERT_EQ(Pack(fresh), 4);
  for (const char* name : {"copy.epub", "damaged.epub"}) {
    SCOPED_TRACE(name);
    const std::string target = tmp_ / name;
    test::WriteBytes(target, name[0] == 'c' ? test::ReadBytes(old) : damaged);
    ASSERT_EQ(Pack(target), 4);
    EXPECT_TRUE(test::ReadBytes(target) == test::ReadBytes(fresh));
  }
  if (haveZip) {
    const std::vector<test::ZipItem> before = test::ListZip(test::ReadBytes(foreign)).items;
    ASSERT_EQ(Pack(foreign), 4);
    const std::string bytes = test::ReadBytes(foreign);
    const std::vector<test::ZipItem> after = test::ListZip(bytes).items;
    std::map<std::string, uint32_t> expected;
    for (const test::ZipItem& item : test::ListZip(test::ReadBytes(fresh)).items)
      expected[item.name] = item.crc;
    ASSERT_EQ(after.size(), before.size());
    for (size_t i = 0; i < after.size(); ++i) {
      SCOPED_TRACE(after[i].name);
      EXPECT_EQ(after[i].crc, expected[after[i].name]);
      // zip's own deflate stream stays where the bytes are the same (zip stores the tiny
      // mimetype, which this packer deflates).
      EXPECT_EQ(after[i].compressedSize == before[i].compressedSize,
                after[i].name != "OEBPS/3.html" && before[i].method == 8);
    }
    EXPECT_EQ(test::DataProblems(bytes, test::ListZip(bytes)), "");
  }
}

// A CRC-32 known from when a file was written spares reading it: the update believes the
// record while the file stands as recorded (here a record that lies, so that it shows),
// and reads a file written since.
TEST_F(UpdateTest, AKnownCrcCountsWhileTheFileStandsAsRecorded) {
  Stage("1.html", "old page", kOld);
  const std::string target = tmp_ / "book.epub";
  ASSERT_EQ(Pack(target), 1);
  const std::string old = test::ReadBytes(target);
  Stage("1.html", "new page", kOld + 3600);
  TKnownCrcs known;
  {
    TFileStream file(staging_ + "/1.html", TFileMode::fmOpenRead);
    known.Record(file.Handle(), test::Crc("old page"));
  }
  TZipPacker packer;
  packer.KnownCrcs = &known;
  for (const char* expected : {"old page", "new page"}) {
    ASSERT_EQ(Pack(packer, target), 1);
    const std::string bytes = test::ReadBytes(target);
    EXPECT_EQ(test::Extract(bytes, test::ListZip(bytes).items.at(0)), expected);
    test::WriteBytes(target, old);
    Stage("1.html", "new page", kOld + 7200);
  }
}

// Damaged and crafted targets, each with its outcome: a failure with its message, which
// leaves the file as it was and no temporary file behind; or, where reading gets over the
// damage, an update that other tools accept.
TEST_F(UpdateTest, DamagedTargets) {
  Stage("mimetype", "application/epub+zip");
  struct Case {
    std::string what;
    std::string bytes;
    std::string outcome;  // the failure, or "ok"
    Names names;          // of the result when the update succeeds
  };
  std::vector<Case> cases;
  auto fails = [&](std::string what, std::string bytes, std::string message) {
    cases.push_back({std::move(what), std::move(bytes), std::move(message), {}});
  };
  auto repaired = [&](std::string what, std::string bytes, Names names) {
    cases.push_back({std::move(what), std::move(bytes), "ok", std::move(names)});
  };
  auto patched = [](const std::function<void(BuiltZip&)>& patch,
                    std::vector<FixtureEntry> entries = ThreeEntries()) {
    BuiltZip z = BuildZip(entries);
    patch(z);
    return z.bytes;
  };
  const std::string incomplete = "EIncompleteZip Incomplete Zip File",
                    bad = "EBadZipFile Not a valid zip file!";

  std::string text;
  for (int i = 0; i < 3000; ++i)
    text += "not an archive at all\n";
  // Every prefix of an archive is incomplete (ReaderTest.FilesWithoutAnEndRecord); one
  // stands here for them.
  fails("text file", text, incomplete);
  const std::string valid = BuildZip(ThreeEntries()).bytes;
  fails("all but its last byte", valid.substr(0, valid.size() - 1), incomplete);

  auto end16 = [](size_t field, uint32_t v) {
    return [=](BuiltZip& z) { Put16(z.bytes, z.endAt + field, v); };
  };
  auto end32 = [](size_t field, uint32_t v) {
    return [=](BuiltZip& z) { Put32(z.bytes, z.endAt + field, v); };
  };
  fails("absurd total entries", patched(end16(10, 0xFFFF)), bad);
  fails("more entries than the directory can hold", patched(end16(10, 9)), bad);
  fails("central offset past the end", patched(end32(16, 0xFFFFFF00)), bad);
  fails("central size past the end record", patched(end32(12, 0x7FFFFFFF)), bad);
  fails("part of a multi-part set", patched(end16(4, 1)), incomplete);
  fails("this disk before the directory's disk", patched(end16(6, 2)), incomplete);
  fails("entry on another disk",
        patched([](BuiltZip& z) { Put16(z.bytes, z.centralAt[1] + 34, 1); }), bad);
  fails("offset without a local header", patched([](BuiltZip& z) {
          Put32(z.bytes, z.centralAt[2] + 42, static_cast<uint32_t>(z.localAt[2] + 1));
        }),
        bad);
  fails("overlapping entries", patched([](BuiltZip& z) {
          Put32(z.bytes, z.centralAt[0] + 20, static_cast<uint32_t>(z.localAt[2] - z.localAt[0]));
        }),
        bad);
  fails("two entries sharing data (a zip bomb's trick)", patched([](BuiltZip& z) {
          // Entry 2's header is moved onto entry 1's data, which it then shares.
          Put32(z.bytes, z.centralAt[2] + 42, static_cast<uint32_t>(z.localAt[1] + 40));
          z.bytes.replace(z.localAt[1] + 40, 30, z.bytes.substr(z.localAt[2], 30));
        }),
        bad);
  fails("last entry running into the directory",
        patched([](BuiltZip& z) { Put32(z.bytes, z.centralAt[2] + 20, 4000); }), bad);
  fails("damaged directory and damaged data of an entry only the scan vouches for",
        patched([](BuiltZip& z) {
          z.bytes[z.centralAt[1] + 1] = 'X';
          z.bytes[z.localAt[2] + 30 + 12 + 3] ^= 0x55;
        }),
        bad);
  std::vector<FixtureEntry> described = ThreeEntries();
  described[2].descriptor = true;  // its local header has no sizes to follow
  fails("damaged directory before an entry with a data descriptor",
        patched([](BuiltZip& z) { z.bytes[z.centralAt[1]] = 'X'; }, described), bad);
  std::vector<FixtureEntry> twins = ThreeEntries();
  twins[2].name = "OEBPS/1.html";
  fails("the same name twice", BuildZip(twins).bytes, "EListError Duplicate Object index");

  const Names three = {"mimetype", "OEBPS/1.html", "OEBPS/2.html"};
  twins[2].name = "OEBPS/1.HTML";  // another file on this file system
  repaired("two names differing only in case", BuildZip(twins).bytes,
           {"mimetype", "OEBPS/1.html", "OEBPS/1.HTML"});
  repaired("central extra length too long (read by the retry rule)",
           patched([](BuiltZip& z) { Put16(z.bytes, z.centralAt[1] + 30, 11); }), three);
  repaired("damaged central header",
           patched([](BuiltZip& z) { z.bytes[z.centralAt[1] + 2] = 'X'; }), three);
  repaired("two central headers with one offset", patched([](BuiltZip& z) {
             Put32(z.bytes, z.centralAt[2] + 42, static_cast<uint32_t>(z.localAt[1]));
           }),
           three);
  const std::string inner = BuildZip(ThreeEntries()).bytes;
  repaired("damaged directory, a stored zip inside",
           patched([](BuiltZip& z) { z.bytes[z.centralAt[0]] = 'X'; },
                   {test::Entry("mimetype", "application/epub+zip", false),
                    test::Entry("inner.zip", inner, false), test::Entry("after.txt", "after")}),
           {"mimetype", "inner.zip", "after.txt"});
  repaired("outer directory gone: the end record found is the stored zip's",
           patched([](BuiltZip& z) { z.bytes.resize(z.centralOffset); },
                   {test::Entry("a.txt", "first"), test::Entry("b.txt", ""),
                    test::Entry("inner.zip", inner, false)}),
           {"a.txt", "b.txt", "inner.zip", "mimetype"});

  const std::string target = tmp_ / "book.epub";
  Names repairedBooks;
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::WriteBytes(target, c.bytes);
    TZipPacker packer;
    ASSERT_EQ(test::Outcome([&] { EXPECT_EQ(Pack(packer, target), 1); }), c.outcome);
    EXPECT_TRUE(packer.FilesList().empty());
    if (c.outcome != "ok") {
      ASSERT_EQ(test::ReadBytes(target), c.bytes);
      ASSERT_TRUE(Leftovers().empty());
      continue;
    }
    EXPECT_EQ(test::ZipNames(target), c.names);
    repairedBooks.push_back(tmp_ / ("repaired-" + std::to_string(repairedBooks.size())));
    std::filesystem::rename(target, repairedBooks.back());
  }
  EXPECT_EQ(test::CheckArchivesWithOtherTools(repairedBooks), "");
}

// A user who may write the book's folder swaps the temporary archive for a link while the
// update runs: nothing is written through the link, and the link does not become the book.
TEST_F(UpdateTest, ATemporarySwappedForALinkIsNeitherFollowedNorCommitted) {
  Stage("chapter.html", test::NoiseBytes(300000, 3));
  const std::string target = tmp_ / "book.epub", victim = tmp_ / "victim";
  const std::string old = BuildZip(ThreeEntries()).bytes;
  test::WriteBytes(target, old);
  test::WriteBytes(victim, "precious");
  ASSERT_EQ(chmod(victim.c_str(), 0600), 0);
  TZipPacker packer;
  bool swapped = false;
  TProgress progress;
  packer.Progress = &progress;
  progress.OnStep = [&] {
    for (const std::string& temp : Leftovers()) {
      if (swapped || temp.ends_with(".lock")) continue;
      swapped = std::filesystem::remove(temp) && symlink(victim.c_str(), temp.c_str()) == 0;
    }
  };
  EXPECT_THROW(Pack(packer, target), Exception);
  EXPECT_TRUE(swapped);
  EXPECT_EQ(test::ReadBytes(target), old);
  EXPECT_EQ(test::ReadBytes(victim), "precious");
  EXPECT_EQ(std::filesystem::status(victim).permissions(), std::filesystem::perms(0600));
}

// Two conversions onto one book at once: the second waits for the first and then updates
// what it wrote, so both succeed and neither's work is lost.
TEST_F(UpdateTest, ConcurrentUpdatesOfOneBookAreSerialised) {
  const std::string target = tmp_ / "book.epub";
  test::WriteBytes(target, BuildZip(ThreeEntries()).bytes);
  std::vector<pid_t> children;
  for (const char* name : {"first.html", "second.html"}) {
    const std::string staging = tmp_ / (std::string("staging-") + name);
    test::MakeDirs(staging);
    test::WriteBytes(staging + "/" + name, test::NoiseBytes(6000000, 9));
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      TZipPacker packer;
      test::ConfigureTreePacker(packer, staging, target);
      try {
        _exit(packer.Zip() == 1 ? 0 : 1);
      } catch (...) {
        _exit(2);
      }
    }
    children.push_back(child);
  }
  for (pid_t child : children) {
    int status = 0;
    waitpid(child, &status, 0);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0) << status;
  }
  Names names = test::ZipNames(target);
  std::sort(names.begin(), names.end());
  EXPECT_EQ(names,
            (Names{"OEBPS/1.html", "OEBPS/2.html", "first.html", "mimetype", "second.html"}));
  EXPECT_TRUE(Leftovers().empty());
}

// An entry encrypted by Info-ZIP keeps what its password is checked against.
TEST_F(UpdateTest, AnEncryptedEntryStaysDecryptable) {
  if (!test::HaveProgram("zip")) GTEST_SKIP() << "zip is not installed";
  test::MakeDirs(tmp_ / "src");
  test::WriteBytes(tmp_ / "src/secret.txt", "the secret chapter");
  const std::string target = tmp_ / "book.epub";
  ASSERT_EQ(test::Run("cd " + test::Quote(tmp_ / "src") + " && zip -q -P pw " +
                      test::Quote(target) + " secret.txt")
                .exitCode,
            0);
  Stage("mimetype", "application/epub+zip");
  ASSERT_EQ(Pack(target), 1);
  test::CommandResult r = test::Run(
      "python3 -c 'import sys,zipfile; print(zipfile.ZipFile(sys.argv[1]).read(\"secret.txt\", "
      "pwd=b\"pw\").decode(), end=\"\")' " +
      test::Quote(target));
  EXPECT_EQ(r.output, "the secret chapter");
  EXPECT_EQ(test::Run("unzip -t -P pw " + test::Quote(target)).exitCode, 0);
  if (test::HaveProgram("7z")) {
    EXPECT_EQ(test::Run("7z t -ppw " + test::Quote(target)).exitCode, 0);
  }
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
