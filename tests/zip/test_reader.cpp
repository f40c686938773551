#include <gtest/gtest.h>
#include <sys/stat.h>
#include <utime.h>

#include <ctime>
#include <functional>

#include "common/test_util.h"
#include "platform/errors.h"
#include "platform/stream.h"
#include "zip/errors.h"
#include "zip/reader.h"
#include "zip/records.h"
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

// A reader whose protected parts the tests reach.
class ProbeReader : public TZipReader {
 public:
  bool Scanned() const { return scanned_; }
};

enum class Outcome { kOk, kIncomplete, kNotAZip, kBad, kOther };

std::string Name(Outcome o) {
  switch (o) {
    case Outcome::kOk:
      return "ok";
    case Outcome::kIncomplete:
      return "EIncompleteZip";
    case Outcome::kNotAZip:
      return "ENotAZipFile";
    case Outcome::kBad:
      return "EBadZipFile";
    case Outcome::kOther:
      return "other exception";
  }
  return "?";
}

Outcome OpenOutcome(TZipReader& reader, std::string* message = nullptr) {
  try {
    reader.Open();
    return Outcome::kOk;
  } catch (const EIncompleteZip& e) {
    if (message) *message = e.Message();
    return Outcome::kIncomplete;
  } catch (const ENotAZipFile& e) {
    if (message) *message = e.Message();
    return Outcome::kNotAZip;
  } catch (const EBadZipFile& e) {
    if (message) *message = e.Message();
    return Outcome::kBad;
  } catch (const Exception& e) {
    if (message) *message = e.Message();
    return Outcome::kOther;
  }
}

class ReaderTest : public ::testing::Test {
 protected:
  // Writes bytes as an archive file and opens it in reader.
  Outcome OpenBytes(const std::string& bytes, TIncompleteZipMode mode = izAssumeMulti,
                    const std::string& name = "book.epub") {
    std::string path = tmp_ / name;
    test::WriteBytes(path, bytes);
    reader_.SetZipName(path);
    reader_.IncompleteZipMode = mode;
    return OpenOutcome(reader_, &message_);
  }
  std::vector<std::string> Names() const {
    std::vector<std::string> names;
    for (size_t i = 0; i < reader_.Directory().Count(); ++i) {
      names.push_back(reader_.Directory().Item(i)->FullName());
    }
    return names;
  }

  TempFolder tmp_;
  ProbeReader reader_;
  std::string message_;
};

TEST_F(ReaderTest, ReadsTheArchivesOfOtherTools) {
  auto& fixtures = test::ToolFixtures::Get();
  ASSERT_TRUE(fixtures.Ok());
  for (const auto& [archive, expected] : fixtures.Manifest()) {
    SCOPED_TRACE(archive);
    reader_.SetZipName(fixtures.Dir() + archive);
    ASSERT_EQ(OpenOutcome(reader_, &message_), Outcome::kOk) << message_;
    ASSERT_EQ(reader_.Directory().Count(), expected.size());
    for (size_t i = 0; i < expected.size(); ++i) {
      const TZipHeaderInfo* e = reader_.Directory().Item(i);
      EXPECT_EQ(e->FullName(), expected[i].name);
      EXPECT_EQ(e->crc32, expected[i].crc);
      EXPECT_EQ(e->CompressedSize(), expected[i].compressedSize);
      EXPECT_EQ(e->UncompressedSize(), expected[i].uncompressedSize);
      EXPECT_EQ(reader_.EntryComment(i), expected[i].comment);
    }
    EXPECT_FALSE(reader_.Scanned());
  }
  reader_.SetZipName(fixtures.Dir() + "comment.zip");
  ASSERT_EQ(OpenOutcome(reader_), Outcome::kOk);
  EXPECT_EQ(reader_.ArchiveComment(), "archive comment, which an update does not keep");
  EXPECT_FALSE(reader_.EndCentral().modified);

  reader_.SetZipName(fixtures.Dir() + "empty.zip");
  ASSERT_EQ(OpenOutcome(reader_), Outcome::kOk);
  EXPECT_EQ(reader_.Directory().Count(), 0u);
}

TEST_F(ReaderTest, FilesWithoutAnEndRecord) {
  std::string text;
  for (int i = 0; i < 5000; ++i)
    text += "Chapter line " + std::to_string(i) + "\n";
  std::string endStart("PK\x05\x06", 4);
  struct Case {
    std::string what;
    std::string bytes;
    TIncompleteZipMode mode;
    Outcome expected;
  };
  std::vector<Case> cases = {
      {"text file", text, izAssumeMulti, Outcome::kIncomplete},
      {"text file, not-a-zip mode", text, izAssumeNotAZip, Outcome::kNotAZip},
      {"text file, bad mode (scan finds nothing)", text, izAssumeBad, Outcome::kBad},
      {"end signature alone", endStart + std::string(17, '\0'), izAssumeMulti,
       Outcome::kIncomplete},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    EXPECT_EQ(Name(OpenBytes(c.bytes, c.mode)), Name(c.expected)) << message_;
  }
  OpenBytes(text);
  EXPECT_EQ(message_, "Incomplete Zip File");
  OpenBytes(text, izAssumeNotAZip);
  EXPECT_EQ(message_, "Not a valid zip file!");
}

TEST_F(ReaderTest, TheLastEndSignatureWithRoomForARecordWins) {
  BuiltZip plain = BuildZip(ThreeEntries());
  std::string record = plain.bytes.substr(plain.endAt, 22);
  // A copy of the record inside the comment, 22 or more bytes before the end: taken.
  BuiltZip z = BuildZip(ThreeEntries(), "note " + record + "tail");
  ASSERT_EQ(OpenBytes(z.bytes), Outcome::kOk) << message_;
  EXPECT_EQ(reader_.Directory().Count(), 3u);
  size_t fake = z.endAt + 22 + 5;
  EXPECT_EQ(reader_.EndCentral().commentPosition, static_cast<int64_t>(fake + 22));
  EXPECT_EQ(reader_.ArchiveComment(), "");

  // A signature too near the end to hold a record is passed over.
  z = BuildZip(ThreeEntries(), std::string("xx") + record.substr(0, 12));
  ASSERT_EQ(OpenBytes(z.bytes), Outcome::kOk) << message_;
  EXPECT_EQ(reader_.EndCentral().commentPosition, static_cast<int64_t>(z.endAt + 22));
  EXPECT_EQ(reader_.ArchiveComment(), std::string("xx") + record.substr(0, 12));
}

TEST_F(ReaderTest, ExtraFieldsOfCentralHeaders) {
  auto block = [](uint16_t id, const std::string& data) {
    std::string b;
    test::Append16(b, id);
    test::Append16(b, static_cast<uint32_t>(data.size()));
    return b + data;
  };
  std::string size64(8, '\0');
  size64[0] = 0x11;  // 17 bytes, the real uncompressed size of the entry
  std::string other = block(0x5455, "12345");
  struct Case {
    std::string what;
    std::string extra;
    bool escapeUncompressed;
    uint16_t lengthAsRead;
    uint16_t zip64Length;
  };
  const Case cases[] = {
      {"foreign block only", other, false, 9, 0},
      {"Zip64 block with the uncompressed size", block(1, size64) + other, true, 21, 12},
      {"truncated trailing block is not carried", other + block(0x7875, "abc").substr(0, 5), false,
       9, 0},
      {"a second Zip64 block is not carried", block(1, size64) + other + block(1, size64), true, 21,
       12},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    std::vector<FixtureEntry> entries = ThreeEntries();
    entries[1].data = "seventeen bytes!!";
    entries[1].centralExtra = c.extra;
    BuiltZip z = BuildZip(entries);
    if (c.escapeUncompressed) Put32(z.bytes, z.centralAt[1] + 24, 0xFFFFFFFF);
    ASSERT_EQ(OpenBytes(z.bytes), Outcome::kOk) << message_;
    const TZipHeaderInfo* e = reader_.Directory().Item(1);
    EXPECT_EQ(e->UncompressedSize(), 17u);
    EXPECT_EQ(e->centralExtraLength, c.extra.size());
    EXPECT_EQ(e->extraLengthAsRead, c.lengthAsRead);
    EXPECT_EQ(e->zip64LengthAsRead, c.zip64Length);
    EXPECT_EQ(e->extraFieldPosition, static_cast<int64_t>(z.centralAt[1] + 46 + 12));
    EXPECT_EQ(reader_.Directory().Item(2)->FullName(), "OEBPS/2.html");
  }
  // An escaped size whose Zip64 value is missing is no size at all.
  std::vector<FixtureEntry> entries = ThreeEntries();
  BuiltZip z = BuildZip(entries);
  Put32(z.bytes, z.centralAt[1] + 20, 0xFFFFFFFF);
  EXPECT_EQ(OpenBytes(z.bytes), Outcome::kBad);
}

TEST_F(ReaderTest, AFalseExtraLengthIsReadByTheRetryRule) {
  for (size_t victim : {0u, 1u}) {
    SCOPED_TRACE(victim);
    BuiltZip z = BuildZip(ThreeEntries());
    Put16(z.bytes, z.centralAt[victim] + 30, 7);  // claims 7 bytes that are not there
    ASSERT_EQ(OpenBytes(z.bytes), Outcome::kOk) << message_;
    EXPECT_FALSE(reader_.Scanned());
    EXPECT_EQ(Names(), (std::vector<std::string>{"mimetype", "OEBPS/1.html", "OEBPS/2.html"}));
    const TZipHeaderInfo* e = reader_.Directory().Item(victim);
    EXPECT_EQ(e->centralExtraLength, 0);
    EXPECT_EQ(e->extraLengthAsRead, 0);
    EXPECT_EQ(e->externalAttributes, 0x20u);  // still the central header's values
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
  ASSERT_EQ(OpenBytes(BuildZip(entries).bytes), Outcome::kOk) << message_;
  for (size_t i = 0; i < std::size(cases); ++i) {
    EXPECT_EQ(reader_.Directory().Item(i)->dateTime, cases[i].expected) << i;
  }

  std::tm tm{};
  tm.tm_year = 2021 - 1900;
  tm.tm_mon = 5;
  tm.tm_mday = 15;
  tm.tm_hour = 12;
  tm.tm_min = 30;
  tm.tm_sec = 20;
  tm.tm_isdst = -1;
  EXPECT_EQ(reader_.EntryDateTime(0), std::mktime(&tm));
  EXPECT_EQ(reader_.EntryDosDateTime(0), cases[0].expected);
  // 30 February counts as dated now.
  std::time_t now = std::time(nullptr);
  EXPECT_LE(std::abs(reader_.EntryDateTime(1) - now), 5);
  EXPECT_NE(reader_.EntryDosDateTime(1), cases[1].expected);
  EXPECT_THROW(reader_.EntryDateTime(99), EListError);
}

TEST_F(ReaderTest, CommentsAreFetchedOnDemand) {
  std::vector<FixtureEntry> entries = ThreeEntries();
  entries[1].comment = "about chapter one";
  entries[1].centralExtra = std::string("\x55\x54\x01\x00\x07", 5);
  ASSERT_EQ(OpenBytes(BuildZip(entries, "the archive").bytes), Outcome::kOk) << message_;
  EXPECT_FALSE(reader_.Directory().Item(1)->Comment().has_value());
  EXPECT_EQ(reader_.EntryComment(1), "about chapter one");
  EXPECT_EQ(reader_.EntryComment(0), "");
  EXPECT_EQ(reader_.ArchiveComment(), "the archive");
  EXPECT_THROW(reader_.EntryComment(3), EListError);
}

// Damage to the end record and the directory, and the outcome each must have.
TEST_F(ReaderTest, DamagedDirectories) {
  using Patch = std::function<void(BuiltZip&)>;
  struct Case {
    std::string what;
    Patch patch;
    Outcome expected;
    size_t entries;  // when ok
  };
  auto end = [](BuiltZip& z, size_t field, uint32_t value, bool wide) {
    if (wide) {
      Put32(z.bytes, z.endAt + field, value);
    } else {
      Put16(z.bytes, z.endAt + field, value);
    }
  };
  const Case cases[] = {
      {"absurd total entries", [&](BuiltZip& z) { end(z, 10, 0xFFFF, false); }, Outcome::kBad, 0},
      {"more entries than the directory can hold", [&](BuiltZip& z) { end(z, 10, 9, false); },
       Outcome::kBad, 0},
      {"central offset past the end", [&](BuiltZip& z) { end(z, 16, 0xFFFFFFF0, true); },
       Outcome::kBad, 0},
      {"central size past the end record", [&](BuiltZip& z) { end(z, 12, 0x7FFFFFFF, true); },
       Outcome::kBad, 0},
      {"part of a multi-part set", [&](BuiltZip& z) { end(z, 4, 1, false); }, Outcome::kIncomplete,
       0},
      {"this disk before the directory's disk", [&](BuiltZip& z) { end(z, 6, 2, false); },
       Outcome::kIncomplete, 0},
      {"entry on another disk", [](BuiltZip& z) { Put16(z.bytes, z.centralAt[1] + 34, 1); },
       Outcome::kBad, 0},
      {"offset without a local header",
       [](BuiltZip& z) {
         Put32(z.bytes, z.centralAt[2] + 42, static_cast<uint32_t>(z.localAt[2] + 1));
       },
       Outcome::kBad, 0},
      {"entry overlapping the next one",
       [](BuiltZip& z) {
         Put32(z.bytes, z.centralAt[0] + 20, static_cast<uint32_t>(z.localAt[2] - z.localAt[0]));
       },
       Outcome::kBad, 0},
      {"two entries sharing data (a zip bomb's trick)",
       [](BuiltZip& z) {
         // Entry 2's header is moved onto entry 1's data, which it then shares.
         Put32(z.bytes, z.centralAt[2] + 42, static_cast<uint32_t>(z.localAt[1] + 40));
         z.bytes.replace(z.localAt[1] + 40, 30, z.bytes.substr(z.localAt[2], 30));
       },
       Outcome::kBad, 0},
      {"last entry running into the directory",
       [](BuiltZip& z) { Put32(z.bytes, z.centralAt[2] + 20, 4000); }, Outcome::kBad, 0},
      {"two headers with one offset: the scan rebuilds the list",
       [](BuiltZip& z) {
         Put32(z.bytes, z.centralAt[2] + 42, static_cast<uint32_t>(z.localAt[1]));
       },
       Outcome::kOk, 3},
      {"damaged central signature: the scan rebuilds the list",
       [](BuiltZip& z) { z.bytes[z.centralAt[1] + 1] = 'X'; }, Outcome::kOk, 3},
      {"damaged signature and damaged data of an entry only the scan vouches for",
       [](BuiltZip& z) {
         z.bytes[z.centralAt[1] + 1] = 'X';
         z.bytes[z.localAt[2] + 30 + 12 + 3] ^= 0x55;
       },
       Outcome::kBad, 0},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    BuiltZip z = BuildZip(ThreeEntries());
    c.patch(z);
    EXPECT_EQ(Name(OpenBytes(z.bytes)), Name(c.expected)) << message_;
    if (c.expected == Outcome::kOk) {
      EXPECT_EQ(reader_.Directory().Count(), c.entries);
    }
    if (c.expected == Outcome::kBad) {
      EXPECT_EQ(message_, "Not a valid zip file!");
    }
  }
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
    ASSERT_EQ(OpenBytes(z.bytes), Outcome::kOk) << message_;
    EXPECT_TRUE(reader_.Scanned());
    EXPECT_EQ(Names(), (std::vector<std::string>{"mimetype", "OEBPS/1.html", "OEBPS/2.html"}));
    // Headers before the damaged one confirm their entries.
    EXPECT_EQ(reader_.Directory().Item(0)->externalAttributes, 0x20u);
    EXPECT_EQ(reader_.Directory().Item(1)->externalAttributes, 0x20u);
    EXPECT_EQ(reader_.Directory().Item(2)->externalAttributes, 0u);
    EXPECT_EQ(reader_.EndCentral().CentralOffset(), z.centralOffset);
  }

  // Without an end record and in the bad-archive mode the scan reads everything.
  BuiltZip cut = BuildZip(ThreeEntries());
  cut.bytes.resize(cut.endAt);
  ASSERT_EQ(OpenBytes(cut.bytes, izAssumeBad), Outcome::kOk) << message_;
  EXPECT_EQ(reader_.Directory().Count(), 3u);
  EXPECT_EQ(reader_.Directory().Item(2)->externalAttributes, 0x20u);

  // A data descriptor leaves the local sizes unknown and stops the scan inside the data:
  // an entry that no central header confirms cannot be vouched for.
  std::vector<FixtureEntry> entries = ThreeEntries();
  entries[2].descriptor = true;
  BuiltZip d = BuildZip(entries);
  d.bytes[d.centralAt[1]] = 'X';
  EXPECT_EQ(OpenBytes(d.bytes), Outcome::kBad);
  d = BuildZip(entries);
  d.bytes[d.endAt] = 'X';
  EXPECT_EQ(OpenBytes(d.bytes, izAssumeBad), Outcome::kBad);
}

TEST_F(ReaderTest, TheScanOfAnExeStartsAfterItsStub) {
  BuiltZip z = BuildZip(ThreeEntries());
  std::string cut = z.bytes.substr(0, z.endAt);
  struct Case {
    std::string name;
    size_t stub;
    Outcome expected;
  };
  const Case cases[] = {
      {"setup.exe", 14000, Outcome::kOk},
      {"stub.EXE", 200, Outcome::kBad},  // the archive lies inside the skipped part
      {"setup.bin", 200, Outcome::kOk},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.name);
    std::string bytes = std::string(c.stub, 'M') + cut;
    EXPECT_EQ(Name(OpenBytes(bytes, izAssumeBad, c.name)), Name(c.expected)) << message_;
    if (c.expected == Outcome::kOk) {
      EXPECT_EQ(Names(), (std::vector<std::string>{"mimetype", "OEBPS/1.html", "OEBPS/2.html"}));
      EXPECT_EQ(reader_.Directory().Item(0)->RelativeOffset(), c.stub);
    }
  }
}

TEST_F(ReaderTest, AStoredZipInsideAnArchiveStaysOneEntry) {
  std::string inner = BuildZip(ThreeEntries()).bytes;
  std::vector<FixtureEntry> entries = {
      test::Entry("a.txt", "first"),
      test::Entry("inner.zip", inner, false),
      test::Entry("b.txt", "last"),
  };
  const std::vector<std::string> outer = {"a.txt", "inner.zip", "b.txt"};
  {
    SCOPED_TRACE("damaged central header");
    BuiltZip z = BuildZip(entries);
    z.bytes[z.centralAt[0]] = 'X';
    ASSERT_EQ(OpenBytes(z.bytes), Outcome::kOk) << message_;
    EXPECT_EQ(Names(), outer);
  }
  {
    SCOPED_TRACE("outer end record gone: the search finds the inner one");
    entries[2].data.clear();
    BuiltZip z = BuildZip({entries[0], entries[2], entries[1]});
    z.bytes.resize(z.endAt);
    z.bytes.resize(z.bytes.size() - (z.endAt - z.centralOffset));  // its directory too
    ASSERT_EQ(OpenBytes(z.bytes), Outcome::kOk) << message_;
    EXPECT_EQ(Names(), (std::vector<std::string>{"a.txt", "b.txt", "inner.zip"}));
    EXPECT_TRUE(reader_.Scanned());
  }
}

TEST_F(ReaderTest, TheDirectoryCanLieInACompanionFile) {
  std::vector<FixtureEntry> entries = ThreeEntries();
  entries[0].comment = "in the companion";
  BuiltZip z = BuildZip(entries);
  std::string companion = z.bytes.substr(z.centralOffset);
  Put32(companion, z.endAt - z.centralOffset + 16, 0);
  test::WriteBytes(tmp_ / "set.zfc", companion);
  ASSERT_EQ(OpenBytes(z.bytes.substr(0, z.centralOffset), izAssumeMulti, "set.zip"), Outcome::kOk)
      << message_;
  EXPECT_EQ(Names(), (std::vector<std::string>{"mimetype", "OEBPS/1.html", "OEBPS/2.html"}));
  // Reopened with the directory still held: the comment still comes from the companion.
  reader_.Close();
  EXPECT_EQ(reader_.EntryComment(0), "in the companion");
}

TEST_F(ReaderTest, TheHeldDirectoryIsReusedWhileTheFileIsUnchanged) {
  int calls = 0;
  reader_.OnProcessMessages = [&] { ++calls; };
  ASSERT_EQ(OpenBytes(BuildZip(ThreeEntries()).bytes), Outcome::kOk);
  EXPECT_EQ(calls, 3);  // once before each central header
  reader_.Close();
  ASSERT_EQ(OpenOutcome(reader_), Outcome::kOk);
  EXPECT_EQ(calls, 3);
  EXPECT_EQ(reader_.Directory().Count(), 3u);

  // Written anew (here with a different time): read again.
  std::string path = tmp_ / "book.epub";
  std::vector<FixtureEntry> two = ThreeEntries();
  two.pop_back();
  test::WriteBytes(path, BuildZip(two).bytes);
  struct utimbuf times {
    1000000000, 1000000000
  };
  utime(path.c_str(), &times);
  ASSERT_EQ(OpenOutcome(reader_), Outcome::kOk);
  EXPECT_EQ(reader_.Directory().Count(), 2u);
  EXPECT_EQ(reader_.ArchiveDateTime(), 1000000000);

  // A cancel request while the directory is read ends the reading.
  utime(path.c_str(), nullptr);
  reader_.OnProcessMessages = [&] { reader_.RequestCancel(); };
  EXPECT_EQ(OpenOutcome(reader_, &message_), Outcome::kOther);
  EXPECT_EQ(message_, "User Aborted Operation");
  EXPECT_EQ(reader_.Directory().Count(), 0u);
}

}  // namespace
}  // namespace lumbrella
