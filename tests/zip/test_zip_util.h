// Helpers of the archive tests: a packer set up to pack a folder tree, a walk over an
// archive's bytes that lists and extracts its entries (fast enough for every archive a test
// makes; the layout itself is checked byte for byte in test_records.cpp, and other tools
// check the archives that matter to them), a builder that lays out archives by hand so
// that tests can damage any field, and the archives other tools make (make_fixtures.py).
#pragma once

#include <cxxabi.h>
#include <gtest/gtest.h>
#include <zlib.h>

#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <filesystem>
#include <initializer_list>
#include <map>
#include <string>
#include <string_view>
#include <typeinfo>
#include <vector>

#include "common/test_util.h"
#include "platform/errors.h"
#include "platform/stream.h"
#include "zip/packer.h"

namespace lumbrella::test {

// Packs everything under root, with names relative to it, into zip: a conversion's settings
// without the book's own rules (ConfigureBookPacker), for the general packer and update.
inline void ConfigureTreePacker(TZipPacker& packer, const std::string& root,
                                const std::string& zip) {
  packer.SetRootDir(root);
  packer.FilesList() = {"*.*"};
  packer.SetRelativePaths(true);
  packer.SetRecurse(true);
  packer.SetStorePaths(true);
  packer.SetZipName(zip);
}

// The files (and, for names ending in "/", folders) under root, each holding
// "content of <name>" unless contents says otherwise.
inline void MakeFiles(const std::string& root, const std::vector<std::string>& names,
                      const std::map<std::string, std::string>& contents = {}) {
  for (const std::string& name : names) {
    const std::string path = root + "/" + name;
    if (path.back() == '/') {
      MakeDirs(path);
      continue;
    }
    MakeDirs(path.substr(0, path.rfind('/')));
    const auto given = contents.find(name);
    WriteBytes(path, given != contents.end() ? given->second : "content of " + name);
  }
}

// What running f raised, as its class and message ("EBadZipFile Not a valid zip file!"), or
// "ok" when it returned.
template <class F>
std::string Outcome(F&& f) {
  try {
    f();
    return "ok";
  } catch (const Exception& e) {
    char* name = abi::__cxa_demangle(typeid(e).name(), nullptr, nullptr, nullptr);
    const std::string type = name != nullptr ? name : "?";
    std::free(name);
    return type.substr(type.rfind(':') + 1) + " " + e.Message();
  }
}

// --- Little-endian fields -------------------------------------------------------------------

inline uint32_t U16At(const std::string& bytes, size_t at) {
  return static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8;
}
inline uint32_t U32At(const std::string& bytes, size_t at) {
  return U16At(bytes, at) | U16At(bytes, at + 2) << 16;
}
inline uint64_t U64At(const std::string& bytes, size_t at) {
  return U32At(bytes, at) | static_cast<uint64_t>(U32At(bytes, at + 4)) << 32;
}
inline void Put16(std::string& b, size_t at, uint32_t v) {
  b[at] = static_cast<char>(v & 0xFF);
  b[at + 1] = static_cast<char>((v >> 8) & 0xFF);
}
inline void Put32(std::string& b, size_t at, uint32_t v) {
  Put16(b, at, v & 0xFFFF);
  Put16(b, at + 2, v >> 16);
}
// Appends little-endian fields: the values, each as wide as its digit in widths says.
inline void AppendFields(std::string& b, std::string_view widths,
                         std::initializer_list<uint64_t> values) {
  EXPECT_EQ(widths.size(), values.size());
  for (size_t f = 0; f < values.size(); ++f) {
    for (int i = 0; i < widths[f] - '0'; ++i)
      b += static_cast<char>(values.begin()[f] >> (8 * i) & 0xFF);
  }
}

// --- Reading archives -----------------------------------------------------------------------

struct ZipItem {
  std::string name;  // raw bytes of the stored name
  int method = -1;
  uint32_t crc = 0;
  uint64_t size = 0;
  uint64_t compressedSize = 0;
  size_t extraLength = 0;  // of the central header
  int flags = 0;
  uint32_t externalAttributes = 0;
  uint64_t offset = 0;
  std::string comment;
};

struct ZipListing {
  std::vector<ZipItem> items;  // in central directory order
  std::string comment;
  std::string error;  // what made the walk stop; empty when it went through
};

// The central directory the last end record names (or its Zip64 end record), header by
// header; a Zip64 extra field gives the values its header escapes.
inline ZipListing ListZip(const std::string& b) {
  ZipListing listing;
  const size_t end = b.size() < 22 ? std::string::npos : b.rfind(std::string("PK\5\6", 4));
  if (end == std::string::npos || end + 22 > b.size()) {
    listing.error = "no end record";
    return listing;
  }
  listing.comment = b.substr(end + 22, U16At(b, end + 20));
  uint64_t central = U32At(b, end + 16);
  if (central == 0xFFFFFFFF && end >= 20 && U32At(b, end - 20) == 0x07064B50) {
    central = U64At(b, static_cast<size_t>(U64At(b, end - 12)) + 48);
  }
  for (size_t at = central; at + 46 <= b.size() && U32At(b, at) == 0x02014B50;) {
    ZipItem item;
    item.flags = static_cast<int>(U16At(b, at + 8));
    item.method = static_cast<int>(U16At(b, at + 10));
    item.crc = U32At(b, at + 16);
    item.compressedSize = U32At(b, at + 20);
    item.size = U32At(b, at + 24);
    const size_t nameLength = U16At(b, at + 28), extra = U16At(b, at + 30);
    item.externalAttributes = U32At(b, at + 38);
    item.offset = U32At(b, at + 42);
    item.name = b.substr(at + 46, nameLength);
    item.extraLength = extra;
    for (size_t x = at + 46 + nameLength; x + 4 <= at + 46 + nameLength + extra;
         x += 4 + U16At(b, x + 2)) {
      if (U16At(b, x) != 1) continue;
      size_t v = x + 4;
      for (uint64_t* field : {&item.size, &item.compressedSize, &item.offset}) {
        if (*field == 0xFFFFFFFF) {
          *field = U64At(b, v);
          v += 8;
        }
      }
    }
    item.comment = b.substr(at + 46 + nameLength + extra, U16At(b, at + 32));
    at += 46 + nameLength + extra + item.comment.size();
    listing.items.push_back(item);
  }
  return listing;
}

inline std::vector<std::string> ZipNames(const std::string& archive) {
  std::vector<std::string> names;
  for (const ZipItem& item : ListZip(ReadBytes(archive)).items)
    names.push_back(item.name);
  return names;
}

// The names of the archive the packer wrote last, as it wrote them.
inline std::vector<std::string> WrittenNames(const TZipPacker& packer) {
  std::vector<std::string> names;
  for (size_t i = 0; i < packer.Directory().Count(); ++i) {
    names.push_back(packer.Directory().Item(i)->FullName());
  }
  return names;
}

// The entry's data as they lie behind its local header.
inline std::string StoredData(const std::string& b, const ZipItem& item) {
  const size_t at = static_cast<size_t>(item.offset);
  if (at + 30 > b.size()) return {};
  return b.substr(at + 30 + U16At(b, at + 26) + U16At(b, at + 28), item.compressedSize);
}

inline std::string Inflate(const std::string& raw) {
  z_stream z{};
  inflateInit2(&z, -15);
  std::string out;
  char buffer[16384];
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(raw.data()));
  z.avail_in = static_cast<uInt>(raw.size());
  int status = Z_OK;
  while (status == Z_OK) {
    z.next_out = reinterpret_cast<Bytef*>(buffer);
    z.avail_out = sizeof buffer;
    status = inflate(&z, Z_NO_FLUSH);
    out.append(buffer, sizeof buffer - z.avail_out);
  }
  if (status != Z_STREAM_END || z.avail_in != 0) out = "<not a whole deflate stream>";
  inflateEnd(&z);
  return out;
}

inline uint32_t Crc(const std::string& data) {
  return static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
}

// The entry's bytes, stored or inflated.
inline std::string Extract(const std::string& b, const ZipItem& item) {
  const std::string data = StoredData(b, item);
  return item.method == 8 ? Inflate(data) : data;
}

// What is wrong with the archive's entries: each holds as many bytes as its header says,
// with its CRC-32. "" when nothing.
inline std::string DataProblems(const std::string& b, const ZipListing& listing) {
  if (!listing.error.empty()) return listing.error;
  std::string problems;
  for (const ZipItem& item : listing.items) {
    const std::string data = Extract(b, item);
    if (data.size() != item.size || Crc(data) != item.crc) problems += item.name + " is damaged\n";
  }
  return problems;
}

// A stream whose positions start far out, to reach offsets past 4 GiB without the bytes.
class FarStream : public TStream {
 public:
  explicit FarStream(int64_t base) : base_(base) {}
  size_t Read(void* buffer, size_t count) override { return mem_.Read(buffer, count); }
  size_t Write(const void* buffer, size_t count) override { return mem_.Write(buffer, count); }
  int64_t Seek(int64_t offset, TSeekOrigin origin) override {
    if (origin == TSeekOrigin::soBeginning) offset -= base_;
    return mem_.Seek(offset, origin) + base_;
  }
  const std::string& Data() const { return mem_.Data(); }

 private:
  int64_t base_;
  TMemoryStream mem_;
};

// --- Archives laid out by hand --------------------------------------------------------------

inline std::string RawDeflate(const std::string& data) {
  z_stream z{};
  deflateInit2(&z, 6, Z_DEFLATED, -15, 8, Z_DEFAULT_STRATEGY);
  std::string out(deflateBound(&z, static_cast<uLong>(data.size())) + 16, '\0');
  z.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(data.data()));
  z.avail_in = static_cast<uInt>(data.size());
  z.next_out = reinterpret_cast<Bytef*>(out.data());
  z.avail_out = static_cast<uInt>(out.size());
  deflate(&z, Z_FINISH);
  out.resize(z.total_out);
  deflateEnd(&z);
  return out;
}

// Bytes that deflate hardly shrinks.
inline std::string NoiseBytes(size_t count, uint32_t state) {
  std::string b(count, '\0');
  for (char& c : b) {
    state = state * 1103515245u + 12345u;
    c = static_cast<char>(state >> 24);
  }
  return b;
}

struct FixtureEntry {
  std::string name;
  std::string data;
  bool deflate = true;
  bool descriptor = false;  // bit 3: zero sizes in the local header, a descriptor after the data
  uint32_t dosTime = (41u << 25) | (6u << 21) | (15u << 16) | (12u << 11) | (30u << 5) | 10u;
  std::string centralExtra;
  std::string comment;
};

inline FixtureEntry Entry(std::string name, std::string data, bool deflate = true) {
  FixtureEntry e;
  e.name = std::move(name);
  e.data = std::move(data);
  e.deflate = deflate;
  return e;
}

struct BuiltZip {
  std::string bytes;
  std::vector<size_t> localAt;    // offset of each local header
  std::vector<size_t> centralAt;  // offset of each central header
  size_t centralOffset = 0;
  size_t endAt = 0;  // offset of the end record
};

inline BuiltZip BuildZip(const std::vector<FixtureEntry>& entries,
                         const std::string& archiveComment = "") {
  BuiltZip z;
  std::string& b = z.bytes;
  std::vector<std::string> stored;
  for (const FixtureEntry& e : entries) {
    z.localAt.push_back(b.size());
    stored.push_back(e.deflate ? RawDeflate(e.data) : e.data);
    const uint64_t crc = Crc(e.data), packed = stored.back().size(), size = e.data.size();
    const uint64_t hidden = e.descriptor ? 0 : 1;  // a descriptor gives them after the data
    AppendFields(b, "4222444422",
                 {0x04034B50, 20, e.descriptor ? 8u : 0u, e.deflate ? 8u : 0u, e.dosTime,
                  crc * hidden, packed * hidden, size * hidden, e.name.size(), 0});
    b += e.name + stored.back();
    if (e.descriptor) AppendFields(b, "4444", {0x08074B50, crc, packed, size});
  }
  z.centralOffset = b.size();
  for (size_t i = 0; i < entries.size(); ++i) {
    const FixtureEntry& e = entries[i];
    z.centralAt.push_back(b.size());
    // Made by host 0; disk 0, internal attributes 0, the archive bit.
    AppendFields(b, "422224444222444",
                 {0x02014B50, 20, 20, e.descriptor ? 8u : 0u, e.deflate ? 8u : 0u, e.dosTime,
                  Crc(e.data), stored[i].size(), e.data.size(), e.name.size(),
                  e.centralExtra.size(), e.comment.size(), 0, 0x20, z.localAt[i]});
    b += e.name + e.centralExtra + e.comment;
  }
  z.endAt = b.size();
  AppendFields(b, "4422442",
               {0x06054B50, 0, entries.size(), entries.size(), z.endAt - z.centralOffset,
                z.centralOffset, archiveComment.size()});
  b += archiveComment;
  return z;
}

// Three ordinary entries: the archive most damage tests start from. The second one's data
// are long enough to hide a whole local header in.
inline std::vector<FixtureEntry> ThreeEntries() {
  return {Entry("mimetype", "application/epub+zip", false),
          Entry("OEBPS/1.html", NoiseBytes(3000, 1) + "chapter one"),
          Entry("OEBPS/2.html", "chapter two, short")};
}

// --- Archives of other tools ----------------------------------------------------------------

// Made once per test program in a folder of its own.
class ToolFixtures {
 public:
  static ToolFixtures& Get() {
    static ToolFixtures fixtures;
    return fixtures;
  }
  const std::string& Dir() const { return dir_; }
  bool Ok() const { return ok_; }
  // The archives' names, empty.zip (a file of no bytes) among them.
  const std::vector<std::string>& Archives() const { return archives_; }

 private:
  ToolFixtures() {
    dir_ = folder_.Path() + "fixtures/";
    CommandResult r = Run("python3 " + Quote(LUMBRELLA_SOURCE_DIR "/tests/zip/make_fixtures.py") +
                          " " + Quote(dir_));
    ok_ = r.exitCode == 0;
    if (!ok_) ADD_FAILURE() << "make_fixtures.py failed:\n" << r.output;
    for (const auto& e : std::filesystem::directory_iterator(dir_)) {
      if (e.path().extension() == ".zip") archives_.push_back(e.path().filename());
    }
    std::sort(archives_.begin(), archives_.end());
  }
  TempFolder folder_;
  std::string dir_;
  bool ok_ = false;
  std::vector<std::string> archives_;
};

}  // namespace lumbrella::test
