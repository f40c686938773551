// Records as written, byte for byte, and the pieces under them: CRC-32, deflate, store,
// DOS date-times and the sorted entry lists.
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstring>
#include <string>
#include <tuple>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/stream.h"
#include "test_zip_util.h"
#include "zip/deflate.h"
#include "zip/dostime.h"
#include "zip/errors.h"
#include "zip/headers.h"
#include "zip/records.h"

namespace lumbrella {
namespace {

using test::FarStream;

// "50 4B 03 04" style text (spaces ignored) to bytes, and bytes to such text.
std::string Hex(std::string text) {
  std::erase(text, ' ');
  std::string bytes;
  for (size_t i = 0; i + 1 < text.size(); i += 2)
    bytes += static_cast<char>(std::stoi(text.substr(i, 2), nullptr, 16));
  return bytes;
}
std::string ToHex(std::string_view bytes) {
  static const char kDigits[] = "0123456789abcdef";
  std::string text;
  for (unsigned char c : bytes)
    text += {' ', kDigits[c >> 4], kDigits[c & 15]};
  return text.substr(text.empty() ? 0 : 1);
}

#define EXPECT_BYTES(actual, expectedHex) EXPECT_EQ(ToHex(actual), ToHex(Hex(expectedHex)))

// A stream with room for a fixed number of bytes: a full disk.
class TightStream : public TMemoryStream {
 public:
  explicit TightStream(size_t room) : room_(room) {}
  size_t Write(const void* buffer, size_t count) override {
    size_t take = std::min(count, room_ - std::min(room_, static_cast<size_t>(Position())));
    return TMemoryStream::Write(buffer, take);
  }

 private:
  size_t room_;
};

// Text that compresses like text but is not one repeated block.
std::string Text(size_t size) {
  std::string text;
  for (uint32_t state = 12345; text.size() < size;) {
    state = state * 1103515245 + 12345;
    text += "word" + std::to_string(state >> 24) + (state & 0x100 ? " " : ",\n");
  }
  text.resize(size);
  return text;
}

TZipHeaderInfo NewEntry(const std::string& path, const std::string& name) {
  TZipHeaderInfo e;
  e.nameMode = oemAlways;
  e.internalAttributes = 0;
  e.SetPath(path);
  e.SetFileName(name);
  e.dateTime = 0x5A6B3C2D;
  return e;
}

// --- CRC, deflate, store --------------------------------------------------------------------

TEST(EntryData, DeflateAndStoreRoundTripInBoundedBlocksUpToTheLimit) {
  const std::string text = Text(300000);
  for (auto [store, limit, expected] : {std::tuple{false, UINT64_MAX, text.size()},
                                        {true, UINT64_MAX, text.size()},
                                        {false, 70000, 70000},
                                        {true, 70000, 70000},
                                        {false, 0, 0},
                                        {true, 0, 0}}) {
    SCOPED_TRACE(std::string(store ? "store " : "deflate ") + std::to_string(limit));
    TMemoryStream source(text), out;
    out.WriteBuffer("prefix", 6);  // data is appended where the archive stands
    uint32_t crc = 0xFFFFFFFF;
    uint64_t lastRead = 0;
    int64_t lastEnd = out.Position();
    TBlockDone done = [&](uint64_t read) {
      EXPECT_GE(read, lastRead);
      EXPECT_LE(out.Position() - lastEnd, store ? kStoreBlockSize : kDeflateBlockSize);
      lastRead = read;
      lastEnd = out.Position();
    };
    TEntryData data = store ? StoreEntry(source, out, crc, limit, done)
                            : TDeflater().Deflate(source, out, 6, crc, limit, done);
    EXPECT_EQ(data.read, expected);
    EXPECT_EQ(lastRead, expected);
    EXPECT_EQ(data.written, out.Data().size() - 6);
    std::string payload = out.Data().substr(6);
    EXPECT_EQ(store ? payload : test::Inflate(payload), text.substr(0, expected));
    EXPECT_EQ(~crc, test::Crc(text.substr(0, expected)));
  }
}

TEST(EntryData, ZlibFailureAndFullArchiveRaiseTheirErrors) {
  TMemoryStream source("abc"), out;
  uint32_t crc = 0xFFFFFFFF;
  EXPECT_EQ(test::Outcome([&] { TDeflater().Deflate(source, out, 42, crc, UINT64_MAX, nullptr); }),
            "EZCompressionError error");
  // Every writer reports a write that the archive took only in part.
  const std::string text = Text(100000);
  TMemoryStream big1(text), big2(text);
  TightStream t1(1000), t2(1000), t3(20), t4(40), t5(21);
  EXPECT_THROW(StoreEntry(big1, t1, crc, UINT64_MAX, nullptr), ENotEnoughRoom);
  EXPECT_THROW(TDeflater().Deflate(big2, t2, 6, crc, UINT64_MAX, nullptr), ENotEnoughRoom);
  TZipHeaderInfo e = NewEntry("", "hello");
  EXPECT_EQ(test::Outcome([&] { WriteEntryHeader(e, t3, true); }),
            "ENotEnoughRoom Not enough room to write archive");
  EXPECT_THROW(WriteEntryHeader(e, t4, false), ENotEnoughRoom);
  TEndCentral end;
  EXPECT_THROW(WriteEndCentral(end, t5), ENotEnoughRoom);
}

// --- DOS date-time --------------------------------------------------------------------------

TEST(DosTime, LocalTimeAtTwoSecondsWithinTheFormatsYearsAndBack) {
  auto local = [](int y, int mo, int d, int h, int mi, int sec) {
    std::tm t{};
    std::tie(t.tm_year, t.tm_mon, t.tm_mday, t.tm_hour, t.tm_min, t.tm_sec, t.tm_isdst) =
        std::make_tuple(y - 1900, mo - 1, d, h, mi, sec, -1);
    return std::mktime(&t);
  };
  auto dos = [](int y, int mo, int d, int h, int mi, int s2) {
    return static_cast<uint32_t>(y - 1980) << 25 |
           static_cast<uint32_t>(mo << 21 | d << 16 | h << 11 | mi << 5 | s2);
  };
  EXPECT_EQ(TimeToDosDateTime(local(2021, 3, 4, 5, 6, 8)), dos(2021, 3, 4, 5, 6, 4));
  EXPECT_EQ(TimeToDosDateTime(local(2021, 3, 4, 5, 6, 9)), dos(2021, 3, 4, 5, 6, 4));
  EXPECT_EQ(TimeToDosDateTime(local(1970, 1, 2, 0, 0, 0)), dos(1980, 1, 1, 0, 0, 0));
  EXPECT_EQ(TimeToDosDateTime(local(2150, 6, 1, 0, 0, 0)), dos(2107, 12, 31, 23, 59, 29));

  std::time_t t = local(2024, 2, 29, 13, 14, 16);
  EXPECT_EQ(DosDateTimeToTime(TimeToDosDateTime(t)), t);
  // Values that name no day or no time of day give nothing.
  for (uint32_t bad :
       {dos(2023, 2, 29, 0, 0, 0), dos(2100, 2, 29, 0, 0, 0), dos(2023, 4, 31, 0, 0, 0),
        dos(2023, 0, 1, 0, 0, 0), dos(2023, 13, 1, 0, 0, 0), dos(2023, 1, 0, 0, 0, 0),
        dos(2023, 1, 1, 24, 0, 0), dos(2023, 1, 1, 0, 60, 0), dos(2023, 1, 1, 0, 0, 30)}) {
    EXPECT_FALSE(DosDateTimeToTime(bad).has_value()) << std::hex << bad;
  }
}

// --- Headers --------------------------------------------------------------------------------

// Local and central header bytes, with the Zip64 block where a value outgrows its field.
TEST(Headers, LocalAndCentralHeaderBytes) {
  struct Case {
    const char* what;
    std::string path, name;
    uint32_t crc;
    uint64_t uncompressed, compressed;
    int64_t offset;
    const char* local;
    const char* central;
  };
  const Case cases[] = {
      {"plain", "", "hello", 0x3610A686, 5, 7, 10,
       "504b0304 1400 0000 0800 2d3c 6b5a 86a61036 07000000 05000000 0500 0000 68656c6c6f",
       "504b0102 2d00 1400 0000 0800 2d3c 6b5a 86a61036 07000000 05000000 0500 0000 0000"
       "0000 0000 20000000 0a000000 68656c6c6f"},
      {"source of 4 GiB less a byte or more: both sizes in the local block", "d", "big", 0x01020304,
       0xFFFFFFFFull, 0x00400000, 0,
       "504b0304 2d00 0000 0800 2d3c 6b5a 04030201 ffffffff ffffffff 0500 1400"
       "642f626967 0100 1000 ffffffff00000000 0000400000000000",
       "504b0102 2d00 2d00 0000 0800 2d3c 6b5a 04030201 00004000 ffffffff 0500 0c00 0000"
       "0000 0000 20000000 00000000 642f626967 0100 0800 ffffffff00000000"},
      {"offset past 4 GiB: in both headers", "", "x", 0, 0, 0, 0x100000010ll,
       "504b0304 2d00 0000 0800 2d3c 6b5a 00000000 00000000 00000000 0100 0c00 78"
       "0100 0800 1000000001000000",
       "504b0102 2d00 2d00 0000 0800 2d3c 6b5a 00000000 00000000 00000000 0100 0c00 0000"
       "0000 0000 20000000 ffffffff 78 0100 0800 1000000001000000"},
      {"everything past 4 GiB", "", "x", 0, 0x100000005ull, 0x100000001ull, 0x100000010ll,
       "504b0304 2d00 0000 0800 2d3c 6b5a 00000000 ffffffff ffffffff 0100 1c00 78 0100 1800"
       "0500000001000000 0100000001000000 1000000001000000",
       "504b0102 2d00 2d00 0000 0800 2d3c 6b5a 00000000 ffffffff ffffffff 0100 1c00 0000"
       "0000 0000 20000000 ffffffff 78 0100 1800 0500000001000000 0100000001000000"
       "1000000001000000"},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    TZipHeaderInfo e = NewEntry(c.path, c.name);
    e.crc32 = c.crc;
    e.uncompressedSize = c.uncompressed;
    e.compressedSize = c.compressed;
    FarStream local(c.offset);  // the header goes where the archive stands
    WriteEntryHeader(e, local, true);
    EXPECT_EQ(e.relativeOffset, static_cast<uint64_t>(c.offset));
    EXPECT_BYTES(local.Data(), c.local);
    TMemoryStream central;
    WriteEntryHeader(e, central, false);
    EXPECT_BYTES(central.Data(), c.central);
  }
}

TEST(Headers, ReservedRoomKeepsTheRewrittenHeaderAsLongAsTheProvisionalOne) {
  // A source just under 4 GiB whose final sizes end up either side of the limit (or
  // shrink, when the source turned out shorter): the header keeps its length.
  for (uint64_t finalCompressed : {0x1000ull, 0xFFFFFFF0ull, 0x100000100ull}) {
    TZipHeaderInfo e = NewEntry("", "data.bin");
    e.reserveZip64 = true;
    e.uncompressedSize = kZip64ReserveThreshold;
    e.compressedSize = 0;
    TMemoryStream out;
    WriteEntryHeader(e, out, true);
    size_t provisional = out.Data().size();
    e.compressedSize = finalCompressed;
    e.uncompressedSize = 0x1234;
    out.SetPosition(0);
    WriteEntryHeader(e, out, true);
    EXPECT_EQ(out.Data().size(), provisional);
    EXPECT_BYTES(out.Data().substr(18, 8), "ffffffff ffffffff");
  }
  // Below the threshold even incompressible data deflates (with the entry's settings) to
  // fewer than 0xFFFFFFFF bytes.
  z_stream z{};
  ASSERT_EQ(deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY), Z_OK);
  EXPECT_LT(deflateBound(&z, kZip64ReserveThreshold - 1), 0xFFFFFFFFu);
  deflateEnd(&z);
}

TEST(Headers, AKeptEntryCarriesItsOtherExtraBlocksAndComment) {
  // An extra field as read: a Zip64 block between two other blocks, then a block cut
  // short, which is not carried.
  const std::string field =
      Hex("5455 0500 01 11223344  0100 0800 0000000000000000  cafe 0000  7875 0300 ab");
  TZipHeaderInfo e = NewEntry("", "name");
  e.crc32 = 0;
  e.uncompressedSize = 0xFFFFFFFF;
  std::string kept;
  ReadExtraField(field, e, &kept);
  EXPECT_EQ(e.uncompressedSize, 0u);  // the block's value
  EXPECT_BYTES(kept, "5455 0500 0111223344 cafe 0000");

  e.uncompressedSize = 5;
  e.SetKeptExtra(kept);
  e.SetComment("hi there");
  TMemoryStream out;
  out.WriteBuffer("xy", 2);
  WriteEntryHeader(e, out, false);
  const std::string& d = out.Data();
  EXPECT_BYTES(d.substr(2 + 30, 4), "0d00 0800");  // extra length 13, comment length 8
  EXPECT_BYTES(d.substr(2 + 46 + 4), "5455 0500 0111223344 cafe 0000 6869207468657265");
  // The record now describes the header as written.
  EXPECT_EQ(e.centralHeaderPosition, 2);
  EXPECT_EQ(e.centralExtraLength, 13);
}

// --- End record -----------------------------------------------------------------------------

TEST(EndCentral, EscapedValuesBringTheZip64RecordAndLocator) {
  TEndCentral end;
  end.totalEntries = 70000;
  end.entriesOnDisk = 70000;
  end.centralSize = 0x10;
  end.centralOffset = 0x123456789ull;
  FarStream out(0x200000000ll);
  WriteEndCentral(end, out);
  EXPECT_BYTES(out.Data(),
               // Zip64 end record
               "504b0606 2c00000000000000 2d00 2d00 00000000 00000000"
               "7011010000000000 7011010000000000 1000000000000000 8967452301000000"
               // locator: the Zip64 end record lies at the stream's starting position
               "504b0607 00000000 0000000002000000 01000000"
               // end record with the escape values
               "504b0506 0000 0000 ffff ffff 10000000 ffffffff 0000");

  // 65,535 is an escape value too; below it nothing extra is written.
  for (uint64_t entries : {0xFFFFu, 0xFFFEu}) {
    TEndCentral small;
    small.totalEntries = entries;
    TMemoryStream plain;
    WriteEndCentral(small, plain);
    EXPECT_EQ(plain.Data().size(),
              kEndCentralSize + (entries == 0xFFFF ? kZip64EndCentralSize + kZip64LocatorSize : 0));
  }
}

// 65,535 entries, the count the end record escapes: the Zip64 end record and its locator
// follow the central directory, and readers we did not write take them.
TEST(EndCentral, SixtyFiveThousandFiveHundredThirtyFiveEntriesBringTheZip64EndRecord) {
  constexpr uint64_t kEntries = 65535;
  TMemoryStream out;
  TSortedZip entries(TSortMode::ByNone);
  for (uint64_t i = 0; i < kEntries; ++i) {
    auto e = std::make_unique<TZipHeaderInfo>(NewEntry("d", std::to_string(i)));
    e->method = 0;
    e->crc32 = 0;
    WriteEntryHeader(*e, out, true);
    entries.Add(std::move(e));
  }
  TEndCentral end;
  end.totalEntries = kEntries;
  WriteCentralDirectory(out, entries, end);
  const std::string& zip = out.Data();
  const size_t endAt = zip.size() - 22;
  EXPECT_BYTES(zip.substr(endAt, 12), "504b0506 0000 0000 ffff ffff");
  // The locator names the Zip64 end record right in front of it, which counts them all.
  EXPECT_EQ(test::U64At(zip, endAt - 20 + 8), endAt - 20 - 56);
  EXPECT_EQ(test::U64At(zip, endAt - 20 - 56 + 32), kEntries);
  EXPECT_EQ(test::ListZip(zip).items.size(), kEntries);
  test::TempFolder dir;
  test::WriteBytes(dir / "many.zip", zip);
  EXPECT_EQ(test::CheckArchiveWithOtherTools(dir / "many.zip"), "");
}

// --- Sorted lists ---------------------------------------------------------------------------

std::unique_ptr<TZipHeaderInfo> Entry(const std::string& name, uint64_t offset, uint32_t disk = 0) {
  auto e = std::make_unique<TZipHeaderInfo>();
  e->SetFileName(name);
  e->relativeOffset = offset;
  e->diskNumberStart = disk;
  return e;
}

TEST(SortedZip, OrderByPlaceOrByNameAndRefuseEqualKeys) {
  TSortedZip list(TSortMode::ByNone);
  TSortedZip names(TSortMode::ByName);
  // 0x81 0x41 and 0x81 0x61 are two different characters whose second bytes are "A"/"a".
  const std::string first = "\x81\x41.txt", second = "\x81\x61.txt";
  const std::pair<const char*, uint64_t> entries[] = {
      {"c", 300}, {"Mimetype", 100}, {"mimetype", 150}, {"OEBPS/Toc.ncx", 0x100000000ull}};
  for (const auto& [name, offset] : entries) {
    list.Add(Entry(name, offset));
    names.Add(Entry(name, offset));
  }
  list.Add(Entry(first, 50, 1));
  std::string order;
  for (size_t i = 0; i < list.Count(); ++i)
    order += list.Item(i)->FullName() + " ";
  EXPECT_EQ(order, "Mimetype mimetype c OEBPS/Toc.ncx " + first + " ");

  EXPECT_EQ(test::Outcome([&] { list.Add(Entry("other", 300)); }),
            "EListError Duplicate Object index");
  // Names are the same only byte for byte: letter case makes another file here.
  EXPECT_THROW(names.Add(Entry("Mimetype", 9)), EListError);
  EXPECT_THROW(list.Item(5), EListError);
  EXPECT_GE(names.FindName("OEBPS/Toc.ncx"), 0);
  EXPECT_EQ(names.FindName("oebps/toc.NCX"), -1);
  EXPECT_EQ(list.FindPlace(1, 50), 4);
  EXPECT_EQ(list.FindPlace(0, 50), -1);
  // One sort for a whole directory, in any order; an equal key refuses it.
  std::vector<std::unique_ptr<TZipHeaderInfo>> descending;
  for (uint64_t offset : {30, 20, 10})
    descending.push_back(Entry("e", offset));
  list.Assign(std::move(descending));
  EXPECT_EQ(list.Item(0)->relativeOffset, 10u);
  descending.push_back(Entry("a", 5));
  descending.push_back(Entry("b", 5));
  EXPECT_THROW(list.Assign(std::move(descending)), EListError);

  EXPECT_EQ(CompareNamesIgnoringCase("Notes.TXT", "notes.txt"), 0);
  EXPECT_NE(CompareNamesIgnoringCase(first, second), 0);
}

}  // namespace
}  // namespace lumbrella
