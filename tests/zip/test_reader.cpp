// Reading an existing archive: what the reader makes of the end record, the central
// directory and its damage. Damaged targets of an update are in test_update.cpp.
#include <gtest/gtest.h>
#include <utime.h>

#include <ctime>
#include <tuple>

#include "platform/errors.h"
#include "test_zip_util.h"
#include "zip/dostime.h"
#include "zip/errors.h"
#include "zip/reader.h"

namespace lumbrella {
namespace {

using test::BuildZip;
using test::BuiltZip;
using test::FixtureEntry;
using test::Put16;
using test::Put32;
using test::ThreeEntries;
using Names = std::vector<std::string>;

const Names kThree = {"mimetype", "OEBPS/1.html", "OEBPS/2.html"};

// A reader whose protected parts the tests reach.
class ProbeReader : public TZipReader {
 public:
  using TZipReader::CopyEntry;
  using TZipReader::ScanProofWork;
  bool Scanned() const { return scanned_; }
};

class ReaderTest : public ::testing::Test {
 protected:
  // Writes bytes as an archive file and opens it: "ok", or the class and message of the
  // failure.
  std::string OpenBytes(const std::string& bytes, TIncompleteZipMode mode = izAssumeMulti,
                        const std::string& name = "book.epub") {
    std::string path = tmp_ / name;
    test::WriteBytes(path, bytes);
    reader_.SetZipName(path);
    reader_.IncompleteZipMode = mode;
    return OpenOutcome();
  }
  std::string OpenOutcome() {
    return test::Outcome([&] { reader_.Open(); });
  }
  Names DirectoryNames() const {
    Names names;
    for (size_t i = 0; i < reader_.Directory().Count(); ++i) {
      names.push_back(reader_.Directory().Item(i)->FullName());
    }
    return names;
  }

  test::TempFolder tmp_;
  ProbeReader reader_;
};

TEST_F(ReaderTest, ReadsTheArchivesOfOtherTools) {
  auto& fixtures = test::ToolFixtures::Get();
  ASSERT_TRUE(fixtures.Ok());
  for (const std::string& archive : fixtures.Archives()) {
    SCOPED_TRACE(archive);
    const std::string bytes = test::ReadBytes(fixtures.Dir() + archive);
    const std::vector<test::ZipItem> expected =
        bytes.empty() ? std::vector<test::ZipItem>() : test::ListZip(bytes).items;
    reader_.SetZipName(fixtures.Dir() + archive);
    ASSERT_EQ(OpenOutcome(), "ok");
    ASSERT_EQ(reader_.Directory().Count(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      const TZipHeaderInfo* e = reader_.Directory().Item(i);
      const test::ZipItem& x = expected[i];
      EXPECT_EQ(std::make_tuple(e->FullName(), e->crc32, e->compressedSize, e->uncompressedSize,
                                reader_.EntryComment(i)),
                std::make_tuple(x.name, x.crc, x.compressedSize, x.size, x.comment));
    }
    EXPECT_FALSE(reader_.Scanned());
    if (expected.empty()) continue;
    // A kept entry carries one Zip64 block in its local header, however many it had (zip -fz
    // writes one): at an offset past 4 GiB, the one that gives it.
    TZipHeaderInfo entry(*reader_.Directory().Item(0));
    test::FarStream out(0x100000000ll);
    reader_.CopyEntry(entry, out);
    const std::string& h = out.Data();
    const size_t extraEnd = 30 + test::U16At(h, 26) + test::U16At(h, 28);
    int zip64Blocks = 0;
    for (size_t at = 30 + test::U16At(h, 26); at + 4 <= extraEnd;
         at += 4 + test::U16At(h, at + 2)) {
      zip64Blocks += test::U16At(h, at) == 1;
    }
    EXPECT_EQ(std::make_pair(test::U32At(h, 0), zip64Blocks), std::make_pair(0x04034B50u, 1));
  }
  reader_.SetZipName(fixtures.Dir() + "comment.zip");
  ASSERT_EQ(OpenOutcome(), "ok");
  EXPECT_EQ(reader_.ArchiveComment(), "archive comment, which an update does not keep");
  EXPECT_FALSE(reader_.EndCentral().modified);
}

// A file without an end record, by the reader's mode; the repair scan (skipping the stub
// of an .exe) reads what it can vouch for.
TEST_F(ReaderTest, FilesWithoutAnEndRecord) {
  std::string text;
  for (int i = 0; i < 5000; ++i)
    text += "Chapter line " + std::to_string(i) + "\n";
  BuiltZip z = BuildZip(ThreeEntries());
  const std::string cut = z.bytes.substr(0, z.endAt);
  std::vector<FixtureEntry> described = ThreeEntries();
  described[2].descriptor = true;
  BuiltZip d = BuildZip(described);
  struct Case {
    std::string what;
    std::string bytes;
    TIncompleteZipMode mode;
    std::string outcome;
    size_t firstOffset = 0;  // of the archive read
  };
  const std::string bad = "EBadZipFile Not a valid zip file!";
  const Case cases[] = {
      {"text", text, izAssumeMulti, "EIncompleteZip Incomplete Zip File"},
      {"text", text, izAssumeNotAZip, "ENotAZipFile Not a valid zip file!"},
      {"text", text, izAssumeBad, bad},
      {"archive without its end record", cut, izAssumeBad, "ok"},
      {"the same with a data descriptor that hides the sizes", d.bytes.substr(0, d.endAt),
       izAssumeBad, bad},
      {"setup.exe", std::string(14000, 'M') + cut, izAssumeBad, "ok", 14000},
      {"stub.EXE", std::string(200, 'M') + cut, izAssumeBad, bad},  // inside the skipped part
      {"setup.bin", std::string(200, 'M') + cut, izAssumeBad, "ok", 200},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what + " " + std::to_string(c.mode));
    ASSERT_EQ(OpenBytes(c.bytes, c.mode, c.what), c.outcome);
    if (c.outcome != "ok") continue;
    EXPECT_EQ(DirectoryNames(), kThree);
    EXPECT_EQ(reader_.Directory().Item(0)->relativeOffset, c.firstOffset);
    // Without a stub, the central headers the scan finds behind the entries confirm them.
    EXPECT_EQ(reader_.Directory().Item(2)->externalAttributes, c.firstOffset == 0 ? 0x20u : 0u);
  }
  // Every prefix of an archive, and of an empty one.
  std::vector<FixtureEntry> small = ThreeEntries();
  small[1].data = "short";
  for (const std::string& whole : {BuildZip(small).bytes, BuildZip({}).bytes}) {
    for (size_t n = 1; n < whole.size(); ++n) {
      ASSERT_EQ(OpenBytes(whole.substr(0, n)), "EIncompleteZip Incomplete Zip File") << n;
    }
  }
}

// A copy of an end record in the archive comment (an empty archive's would empty the
// archive) is passed over: the record taken is the one whose directory ends in front of it.
TEST_F(ReaderTest, AnEndRecordInTheCommentIsPassedOver) {
  BuiltZip plain = BuildZip(ThreeEntries());
  const std::string record = plain.bytes.substr(plain.endAt, 22);
  const std::string empty = BuildZip({}).bytes;
  for (const std::string& comment : {"note " + record + "tail", "note " + empty + "tail",
                                     "note " + empty, std::string("xx") + record.substr(0, 12)}) {
    SCOPED_TRACE(comment.size());
    BuiltZip z = BuildZip(ThreeEntries(), comment);
    ASSERT_EQ(OpenBytes(z.bytes), "ok");
    EXPECT_EQ(reader_.Directory().Count(), 3u);
    EXPECT_EQ(reader_.EndCentral().commentPosition, static_cast<int64_t>(z.endAt + 22));
    EXPECT_EQ(reader_.ArchiveComment(), comment);
  }
}

// Extra fields of central headers: the Zip64 values are taken, the blocks that can be
// carried into another archive measured, and the comment behind them found on demand.
TEST_F(ReaderTest, ExtraFieldsAndComments) {
  auto block = [](uint16_t id, const std::string& data) {
    std::string b;
    test::AppendFields(b, "22", {id, data.size()});
    return b + data;
  };
  std::string size64(8, '\0');
  size64[0] = 0x11;  // 17 bytes, the real uncompressed size of the entry
  std::string other = block(0x5455, "12345");
  struct Case {
    std::string what;
    std::string extra;
    bool escapeUncompressed;
  };
  const Case cases[] = {
      {"foreign block only", other, false},
      {"Zip64 block with the uncompressed size", block(1, size64) + other, true},
      {"truncated trailing block is not carried", other + block(0x7875, "abc").substr(0, 5), false},
      {"a second Zip64 block is not carried", block(1, size64) + other + block(1, size64), true},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<FixtureEntry> entries = ThreeEntries();
    entries[1].data = "seventeen bytes!!";
    entries[1].centralExtra = c.extra;
    entries[1].comment = "about chapter one";
    BuiltZip z = BuildZip(entries, "the archive");
    if (c.escapeUncompressed) Put32(z.bytes, z.centralAt[1] + 24, 0xFFFFFFFF);
    ASSERT_EQ(OpenBytes(z.bytes), "ok");
    const TZipHeaderInfo* e = reader_.Directory().Item(1);
    EXPECT_EQ(std::make_tuple(e->uncompressedSize, e->centralExtraLength, e->KeptExtra()),
              std::make_tuple(uint64_t{17}, c.extra.size(), other));
    EXPECT_FALSE(e->Comment().has_value());  // not loaded while reading
    EXPECT_EQ((Names{reader_.EntryComment(1), reader_.EntryComment(2), DirectoryNames()[2],
                     reader_.ArchiveComment()}),
              (Names{"about chapter one", "", "OEBPS/2.html", "the archive"}));
  }
  // An escaped size whose Zip64 value is missing is no size at all.
  BuiltZip z = BuildZip(ThreeEntries());
  Put32(z.bytes, z.centralAt[1] + 20, 0xFFFFFFFF);
  EXPECT_EQ(OpenBytes(z.bytes), "EBadZipFile Not a valid zip file!");
}

TEST_F(ReaderTest, AFalseExtraLengthIsReadByTheRetryRule) {
  for (size_t victim : {0u, 1u}) {
    SCOPED_TRACE(victim);
    BuiltZip z = BuildZip(ThreeEntries());
    Put16(z.bytes, z.centralAt[victim] + 30, 7);  // claims 7 bytes that are not there
    ASSERT_EQ(OpenBytes(z.bytes), "ok");
    EXPECT_FALSE(reader_.Scanned());
    EXPECT_EQ(DirectoryNames(), kThree);
    const TZipHeaderInfo* e = reader_.Directory().Item(victim);
    // Still the central header's values.
    EXPECT_EQ(std::make_tuple(e->centralExtraLength, e->externalAttributes),
              std::make_tuple(0, 0x20u));
  }
}

TEST_F(ReaderTest, DateTimesAreSanitised) {
  auto dos = [](uint32_t year, uint32_t month, uint32_t day, uint32_t h, uint32_t m, uint32_t s2) {
    return (year << 25) | (month << 21) | (day << 16) | (h << 11) | (m << 5) | s2;
  };
  struct Case {
    uint32_t stored;
    uint32_t expected;
  };
  const Case cases[] = {
      {dos(41, 6, 15, 12, 30, 10), dos(41, 6, 15, 12, 30, 10)},
      {dos(41, 2, 30, 0, 0, 0), dos(41, 2, 30, 0, 0, 0)},  // no calendar day, yet in range
      {dos(41, 6, 15, 31, 63, 31), dos(41, 6, 15, 23, 59, 29)},
      {dos(127, 0, 0, 0, 0, 0), dos(119, 1, 1, 0, 0, 0)},
      {dos(120, 15, 3, 24, 60, 30), dos(119, 12, 3, 23, 59, 29)},
  };
  std::vector<FixtureEntry> entries;
  for (const Case& c : cases) {
    entries.push_back(test::Entry("f" + std::to_string(entries.size()), "x"));
    entries.back().dosTime = c.stored;
  }
  ASSERT_EQ(OpenBytes(BuildZip(entries).bytes), "ok");
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(reader_.Directory().Item(i)->dateTime, cases[i].expected) << i;
  }

  // DOS time read as local time, which the DOS time tests check.
  EXPECT_EQ(reader_.EntryDateTime(0), DosDateTimeToTime(cases[0].expected));
  EXPECT_EQ(reader_.EntryDosDateTime(0), cases[0].expected);
  // 30 February counts as dated now.
  EXPECT_LE(std::abs(reader_.EntryDateTime(1) - std::time(nullptr)), 5);
  EXPECT_NE(reader_.EntryDosDateTime(1), cases[1].expected);
  EXPECT_THROW(reader_.EntryDateTime(99), EListError);
}

TEST_F(ReaderTest, TheRepairScanKeepsWhatTheCentralHeadersConfirm) {
  // The last entry is known from its local header alone and must prove it by its data;
  // 65,537 equal bytes end their deflate stream just past a 64 KiB output block.
  for (const std::string& last : {std::string("chapter two, short"), std::string(65537, 'a')}) {
    SCOPED_TRACE(last.size());
    std::vector<FixtureEntry> entries = ThreeEntries();
    entries[2].data = last;
    BuiltZip z = BuildZip(entries);
    z.bytes[z.centralAt[2]] = 'X';
    ASSERT_EQ(OpenBytes(z.bytes), "ok");
    EXPECT_TRUE(reader_.Scanned());
    EXPECT_EQ(DirectoryNames(), kThree);
    // Headers before the damaged one confirm their entries.
    std::vector<uint32_t> attributes;
    for (size_t i = 0; i < 3; ++i)
      attributes.push_back(reader_.Directory().Item(i)->externalAttributes);
    EXPECT_EQ(attributes, (std::vector<uint32_t>{0x20, 0x20, 0}));
    EXPECT_EQ(reader_.EndCentral().centralOffset, z.centralOffset);
  }
}

// Entries that only the repair scan vouches for are proved by inflating them, within a
// budget of a fixed multiple of the file's size: a deflate bomb costs no more than that.
TEST_F(ReaderTest, DeflateBombsFoundByTheScanAreRefusedWithinBoundedWork) {
  const std::string zeros(32 << 20, '\0');
  std::vector<FixtureEntry> bomb = {test::Entry("bomb.bin", zeros)};
  BuiltZip honest = BuildZip(bomb);  // tells its size
  BuiltZip lying = honest;           // claims 1 MB
  Put32(lying.bytes, lying.localAt[0] + 22, 1 << 20);
  for (BuiltZip* z : {&honest, &lying}) {
    z->bytes[z->centralAt[0]] = 'X';
    ASSERT_EQ(OpenBytes(z->bytes), "EBadZipFile Not a valid zip file!");
    EXPECT_EQ(reader_.ScanProofWork() > 0, z == &lying);  // the honest one is not even tried
    EXPECT_LE(reader_.ScanProofWork(), 32 * z->bytes.size() + (1 << 20));
  }
}

TEST_F(ReaderTest, TheDirectoryCanLieInACompanionFile) {
  std::vector<FixtureEntry> entries = ThreeEntries();
  entries[0].comment = "in the companion";
  BuiltZip z = BuildZip(entries);
  std::string companion = z.bytes.substr(z.centralOffset);
  Put32(companion, z.endAt - z.centralOffset + 16, 0);
  test::WriteBytes(tmp_ / "set.zfc", companion);
  ASSERT_EQ(OpenBytes(z.bytes.substr(0, z.centralOffset), izAssumeMulti, "set.zip"), "ok");
  EXPECT_EQ(DirectoryNames(), kThree);
  // Reopened with the directory still held: the comment still comes from the companion.
  reader_.Close();
  EXPECT_EQ(reader_.EntryComment(0), "in the companion");
}

TEST_F(ReaderTest, TheHeldDirectoryIsReusedWhileTheFileIsUnchanged) {
  int calls = 0;
  TProgress progress;
  progress.OnStep = [&] { ++calls; };
  reader_.Progress = &progress;
  ASSERT_EQ(OpenBytes(BuildZip(ThreeEntries()).bytes), "ok");
  EXPECT_EQ(calls, 3);  // once before each central header
  reader_.Close();
  ASSERT_EQ(OpenOutcome(), "ok");
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(DirectoryNames(), kThree);

  // Written anew (here with a different time): read again.
  std::string path = tmp_ / "book.epub";
  std::vector<FixtureEntry> two = ThreeEntries();
  two.pop_back();
  test::WriteBytes(path, BuildZip(two).bytes);
  const struct utimbuf times = {1000000000, 1000000000};
  utime(path.c_str(), &times);
  ASSERT_EQ(OpenOutcome(), "ok");
  EXPECT_EQ(reader_.Directory().Count(), 2u);
  EXPECT_EQ(reader_.ArchiveDateTime(), 1000000000);

  // A cancel request while the directory is read ends the reading.
  utime(path.c_str(), nullptr);
  progress.OnStep = [&] { progress.RequestCancel(); };
  EXPECT_EQ(OpenOutcome(), "EUserCanceled User Aborted Operation");
  EXPECT_EQ(reader_.Directory().Count(), 0u);
}

}  // namespace
}  // namespace lumbrella
