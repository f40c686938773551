// Archives for the reader and update tests: a small builder that lays out local headers,
// data, central headers and the end record by hand, so that tests can damage any field,
// and the archives that other tools make (tests/zip/make_fixtures.py).
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

namespace lumbrella::test {

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
inline uint32_t Get32At(const std::string& b, size_t at) {
  auto u = [&](size_t i) { return static_cast<uint32_t>(static_cast<unsigned char>(b[at + i])); };
  return u(0) | (u(1) << 8) | (u(2) << 16) | (u(3) << 24);
}

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

// 2021-06-15 12:30:20 as a DOS date-time.
inline constexpr uint32_t kSomeDosTime =
    (41u << 25) | (6u << 21) | (15u << 16) | (12u << 11) | (30u << 5) | 10u;

struct FixtureEntry {
  std::string name;
  std::string data;
  bool deflate = true;
  bool descriptor = false;  // bit 3: zero sizes in the local header, a descriptor after the data
  uint32_t dosTime = kSomeDosTime;
  std::string localExtra;
  std::string centralExtra;
  std::string comment;
  uint16_t madeBy = 20;  // host 0
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
    uint32_t crc = Crc(e.data);
    Append32(b, 0x04034B50);
    Append16(b, 20);
    Append16(b, e.descriptor ? 8 : 0);
    Append16(b, e.deflate ? 8 : 0);
    Append32(b, e.dosTime);
    Append32(b, e.descriptor ? 0 : crc);
    Append32(b, e.descriptor ? 0 : static_cast<uint32_t>(data.size()));
    Append32(b, e.descriptor ? 0 : static_cast<uint32_t>(e.data.size()));
    Append16(b, static_cast<uint32_t>(e.name.size()));
    Append16(b, static_cast<uint32_t>(e.localExtra.size()));
    b += e.name + e.localExtra + data;
    if (e.descriptor) {
      Append32(b, 0x08074B50);
      Append32(b, crc);
      Append32(b, static_cast<uint32_t>(data.size()));
      Append32(b, static_cast<uint32_t>(e.data.size()));
    }
  }
  z.centralOffset = b.size();
  for (size_t i = 0; i < entries.size(); ++i) {
    const FixtureEntry& e = entries[i];
    z.centralAt.push_back(b.size());
    Append32(b, 0x02014B50);
    Append16(b, e.madeBy);
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
    Append16(b, 0);
    Append16(b, 0);
    Append32(b, 0x20);
    Append32(b, static_cast<uint32_t>(z.localAt[i]));
    b += e.name + e.centralExtra + e.comment;
  }
  z.endAt = b.size();
  Append32(b, 0x06054B50);
  Append16(b, 0);
  Append16(b, 0);
  Append16(b, static_cast<uint32_t>(entries.size()));
  Append16(b, static_cast<uint32_t>(entries.size()));
  Append32(b, static_cast<uint32_t>(z.endAt - z.centralOffset));
  Append32(b, static_cast<uint32_t>(z.centralOffset));
  Append16(b, static_cast<uint32_t>(archiveComment.size()));
  b += archiveComment;
  return z;
}

// Three ordinary entries: the archive most damage tests start from.
// Bytes that deflate hardly shrinks.
inline std::string NoiseBytes(size_t count, uint32_t seed) {
  std::string b(count, '\0');
  for (char& c : b) {
    seed = seed * 1103515245u + 12345u;
    c = static_cast<char>(seed >> 24);
  }
  return b;
}

// Three ordinary entries: the archive most damage tests start from. The second one's data
// are long enough to hide a whole local header in.
inline std::vector<FixtureEntry> ThreeEntries() {
  return {Entry("mimetype", "application/epub+zip", false),
          Entry("OEBPS/1.html", NoiseBytes(3000, 1) + "chapter one"),
          Entry("OEBPS/2.html", "chapter two, short")};
}

// One line of the fixtures' manifest: an entry as Python's zipfile reads it.
struct ManifestEntry {
  std::string name;
  uint32_t crc = 0;
  uint64_t compressedSize = 0;
  uint64_t uncompressedSize = 0;
  std::string comment;
};

// The archives of other tools, made once per test program in a folder of its own.
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
      if (f.size() > 5) {
        for (size_t i = 0; i + 1 < f[5].size(); i += 2) {
          e.comment += static_cast<char>(std::stoi(f[5].substr(i, 2), nullptr, 16));
        }
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
