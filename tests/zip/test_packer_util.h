// Helpers of the packer tests: a packer set up as the Convert command sets it up, and the
// entries of an archive as Python's zipfile (a reader we did not write) sees them.
#pragma once

#include <gtest/gtest.h>

#include <cstdint>
#include <sstream>
#include <string>
#include <vector>

#include "common/test_util.h"
#include "zip/packer.h"

namespace lumbrella::test {

// Packs everything under root, with names relative to it, into zip.
inline void ConfigureLikeTheBook(TZipPacker& packer, const std::string& root,
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
  std::string dateTime;  // "Y-M-D h:m:s"
};

// The entries in central directory order, as zipfile reads them; empty (and a test
// failure) when it cannot.
inline std::vector<ZipItem> ZipItems(const std::string& archive) {
  const char* script =
      "import sys,zipfile\n"
      "for i in zipfile.ZipFile(sys.argv[1]).infolist():\n"
      "  raw=i.orig_filename.encode('utf-8' if i.flag_bits & 0x800 else 'cp437')\n"
      "  print(raw.hex(), i.compress_type, i.CRC, i.file_size, i.compress_size, len(i.extra),"
      " i.flag_bits, i.external_attr, '%d-%d-%d_%d:%d:%d' % i.date_time)\n";
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
        item.flags >> item.externalAttributes >> item.dateTime;
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

inline uint32_t U16At(const std::string& bytes, size_t at) {
  return static_cast<unsigned char>(bytes[at]) | static_cast<unsigned char>(bytes[at + 1]) << 8;
}

inline uint32_t U32At(const std::string& bytes, size_t at) {
  return U16At(bytes, at) | U16At(bytes, at + 2) << 16;
}

inline uint64_t U64At(const std::string& bytes, size_t at) {
  return U32At(bytes, at) | static_cast<uint64_t>(U32At(bytes, at + 4)) << 32;
}

}  // namespace lumbrella::test
