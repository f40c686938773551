// Helpers of the archive tests: a packer set up to pack a folder tree, archives as
// Python's zipfile (a reader we did not write) sees them, a builder that lays out archives
// by hand so that tests can damage any field, and the archives other tools make
// (tests/zip/make_fixtures.py).
#pragma once

#include <gtest/gtest.h>
#include <zlib.h>

#include <cstdint>
#include <fstream>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "common/test_util.h"
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

struct ZipItem {
  std::string name;  // raw bytes of the stored name
  int method = -1;
  uint32_t crc = 0;
  uint64_t size = 0;
  uint64_t compressedSize = 0;
  size_t extraLength = 0;
  int flags = 0;
  uint32_t externalAttributes = 0;
};

// The entries in central directory order, as zipfile reads them; empty (and a test
// failure) when it cannot.
inline std::vector<ZipItem> ZipItems(const std::string& archive) {
  const char* script =
      "import sys,zipfile\n"
      "for i in zipfile.ZipFile(sys.argv[1]).infolist():\n"
      "  raw=i.orig_filename.encode('utf-8' if i.flag_bits & 0x800 else 'cp437')\n"
      "  print(raw.hex(), i.compress_type, i.CRC, i.file_size, i.compress_size, len(i.extra),"
      " i.flag_bits, i.external_attr)\n";
  CommandResult r = Run("python3 -c " + Quote(script) + " " + Quote(archive));
  EXPECT_EQ(r.exitCode, 0) << r.output;
  std::vector<ZipItem> items;
  if (r.exitCode != 0) return items;
  std::istringstream lines(r.output);
  std::string hex;
  while (lines >> hex) {
    ZipItem item;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
      item.name += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    }
    lines >> item.method >> item.crc >> item.size >> item.compressedSize >> item.extraLength >>
        item.flags >> item.externalAttributes;
    items.push_back(item);
  }
  return items;
}

inline std::vector<std::string> ZipNames(const std::string& archive) {
  std::vector<std::string> names;
  for (const ZipItem& item : ZipItems(archive))
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
inline void Append16(std::string& b, uint32_t v) {
  b.append(2, '\0');
  Put16(b, b.size() - 2, v);
}
inline void Append32(std::string& b, uint32_t v) {
  b.append(4, '\0');
  Put32(b, b.size() - 4, v);
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

inline uint32_t Crc(const std::string& data) {
  return static_cast<uint32_t>(
      crc32(0, reinterpret_cast<const Bytef*>(data.data()), static_cast<uInt>(data.size())));
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
    std::string data = e.deflate ? RawDeflate(e.data) : e.data;
    stored.push_back(data);
    Append32(b, 0x04034B50);
    Append16(b, 20);
    Append16(b, e.descriptor ? 8 : 0);
    Append16(b, e.deflate ? 8 : 0);
    Append32(b, e.dosTime);
    Append32(b, e.descriptor ? 0 : Crc(e.data));
    Append32(b, e.descriptor ? 0 : static_cast<uint32_t>(data.size()));
    Append32(b, e.descriptor ? 0 : static_cast<uint32_t>(e.data.size()));
    Append16(b, static_cast<uint32_t>(e.name.size()));
    Append16(b, 0);
    b += e.name + data;
    if (e.descriptor) {
      Append32(b, 0x08074B50);
      Append32(b, Crc(e.data));
      Append32(b, static_cast<uint32_t>(data.size()));
      Append32(b, static_cast<uint32_t>(e.data.size()));
    }
  }
  z.centralOffset = b.size();
  for (size_t i = 0; i < entries.size(); ++i) {
    const FixtureEntry& e = entries[i];
    z.centralAt.push_back(b.size());
    Append32(b, 0x02014B50);
    Append16(b, 20);  // made by: host 0
    Append16(b, 20);
    Append16(b, e.descriptor ? 8 : 0);
    Append16(b, e.deflate ? 8 : 0);
    Append32(b, e.dosTime);
    Append32(b, Crc(e.data));
    Append32(b, static_cast<uint32_t>(stored[i].size()));
    Append32(b, static_cast<uint32_t>(e.data.size()));
    Append16(b, static_cast<uint32_t>(e.name.size()));
    Append16(b, static_cast<uint32_t>(e.centralExtra.size()));
    Append16(b, static_cast<uint32_t>(e.comment.size()));
    Append32(b, 0);  // disk 0, internal attributes 0
    Append32(b, 0x20);
    Append32(b, static_cast<uint32_t>(z.localAt[i]));
    b += e.name + e.centralExtra + e.comment;
  }
  z.endAt = b.size();
  Append32(b, 0x06054B50);
  Append32(b, 0);
  Append16(b, static_cast<uint32_t>(entries.size()));
  Append16(b, static_cast<uint32_t>(entries.size()));
  Append32(b, static_cast<uint32_t>(z.endAt - z.centralOffset));
  Append32(b, static_cast<uint32_t>(z.centralOffset));
  Append16(b, static_cast<uint32_t>(archiveComment.size()));
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

// One line of the fixtures' manifest: an entry as Python's zipfile reads it.
struct ManifestEntry {
  std::string name;
  uint32_t crc = 0;
  uint64_t compressedSize = 0;
  uint64_t uncompressedSize = 0;
  std::string comment;
};

// Made once per test program in a folder of its own.
class ToolFixtures {
 public:
  static ToolFixtures& Get() {
    static ToolFixtures fixtures;
    return fixtures;
  }
  const std::string& Dir() const { return dir_; }
  bool Ok() const { return ok_; }
  // Archive name -> entries in directory order. empty.zip has no line and no entries.
  const std::map<std::string, std::vector<ManifestEntry>>& Manifest() const { return manifest_; }
  std::vector<std::string> Archives() const {
    std::vector<std::string> names;
    for (const auto& [name, entries] : manifest_)
      names.push_back(name);
    names.push_back("empty.zip");
    return names;
  }

 private:
  ToolFixtures() {
    dir_ = folder_.Path() + "fixtures/";
    CommandResult r = Run("python3 " + Quote(LUMBRELLA_SOURCE_DIR "/tests/zip/make_fixtures.py") +
                          " " + Quote(dir_));
    ok_ = r.exitCode == 0;
    if (!ok_) ADD_FAILURE() << "make_fixtures.py failed:\n" << r.output;
    std::ifstream in(dir_ + "manifest.txt");
    std::string line;
    while (std::getline(in, line)) {
      std::vector<std::string> f;
      std::stringstream s(line);
      std::string part;
      while (std::getline(s, part, '\t'))
        f.push_back(part);
      if (f.size() < 5) continue;
      ManifestEntry e{
          f[1], static_cast<uint32_t>(std::stoul(f[2])), std::stoull(f[3]), std::stoull(f[4]), {}};
      for (size_t i = 0; f.size() > 5 && i + 1 < f[5].size(); i += 2) {
        e.comment += static_cast<char>(std::stoi(f[5].substr(i, 2), nullptr, 16));
      }
      manifest_[f[0]].push_back(e);
    }
  }
  TempFolder folder_;
  std::string dir_;
  bool ok_ = false;
  std::map<std::string, std::vector<ManifestEntry>> manifest_;
};

}  // namespace lumbrella::test
