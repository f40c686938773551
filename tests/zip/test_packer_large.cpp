// Archives past the limits of the 16- and 32-bit fields: 65,535 entries and more, and
// sources of 4 GiB and more. The sources over 4 GiB take minutes with the readers that
// check them, so those run only when asked:
//   LUMBRELLA_LARGE_TESTS=1 <build>/bin/zip_tests --gtest_filter='PackerLarge.*'
#include <fcntl.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <memory>
#include <optional>

#include "test_zip_util.h"
#include "zip/errors.h"
#include "zip/packer.h"

namespace lumbrella {
namespace {

using test::CheckArchiveWithOtherTools;
using test::ConfigureTreePacker;
using test::EnvAt;
using test::MakeDirs;
using test::ReadBytes;
using test::TempFolder;
using test::U16At;
using test::U32At;
using test::U64At;

// Tens of thousands of files are made and removed in a second in memory (/dev/shm), in
// ten on some disks: the test's folder goes there when the machine has one.
struct TempFolderInMemory {
  TempFolderInMemory() {
    std::optional<EnvAt> tmp;
    if (access("/dev/shm", W_OK) == 0) tmp.emplace("TMPDIR", "/dev/shm");
    folder = std::make_unique<TempFolder>();
  }
  std::string operator/(const std::string& name) const { return *folder / name; }
  std::unique_ptr<TempFolder> folder;
};

TEST(PackerZip64, SixtyFiveThousandFiveHundredThirtyFiveEntriesBringTheZip64EndRecord) {
  constexpr int kEntries = 65535;
  TempFolderInMemory dir;
  for (int folder = 0; folder < 64; ++folder) {
    MakeDirs(dir / ("root/d" + std::to_string(folder)));
  }
  for (int i = 0; i < kEntries; ++i) {
    char name[32];
    std::snprintf(name, sizeof name, "root/d%d/%05d", i % 64, i);
    int fd = open((dir / name).c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    ASSERT_GE(fd, 0);
    close(fd);
  }
  TZipPacker packer;
  ConfigureTreePacker(packer, dir / "root", dir / "many.zip");
  ASSERT_EQ(packer.Zip(), kEntries);

  const std::string zip = ReadBytes(dir / "many.zip");
  const size_t end = zip.size() - 22;
  EXPECT_EQ(U32At(zip, end), 0x06054B50u);
  EXPECT_EQ(U16At(zip, end + 8), 0xFFFFu);   // entries on this disk
  EXPECT_EQ(U16At(zip, end + 10), 0xFFFFu);  // total entries
  const uint32_t centralSize = U32At(zip, end + 12);
  const uint32_t centralOffset = U32At(zip, end + 16);
  EXPECT_EQ(centralOffset + centralSize + 56 + 20 + 22, zip.size());

  const size_t locator = end - 20;
  EXPECT_EQ(U32At(zip, locator), 0x07064B50u);
  EXPECT_EQ(U32At(zip, locator + 4), 0u);
  const uint64_t zip64End = U64At(zip, locator + 8);
  EXPECT_EQ(zip64End, locator - 56);
  EXPECT_EQ(U32At(zip, locator + 16), 1u);
  EXPECT_EQ(U32At(zip, zip64End), 0x06064B50u);
  EXPECT_EQ(U64At(zip, zip64End + 4), 44u);
  EXPECT_EQ(U64At(zip, zip64End + 24), static_cast<uint64_t>(kEntries));
  EXPECT_EQ(U64At(zip, zip64End + 32), static_cast<uint64_t>(kEntries));
  EXPECT_EQ(U64At(zip, zip64End + 40), centralSize);
  EXPECT_EQ(U64At(zip, zip64End + 48), centralOffset);

  std::vector<std::string> names = test::ZipNames(dir / "many.zip");
  ASSERT_EQ(names.size(), static_cast<size_t>(kEntries));
  EXPECT_EQ(names.front(), "d0/00000");
  EXPECT_EQ(names.back(), "d9/65481");
  EXPECT_EQ(CheckArchiveWithOtherTools(dir / "many.zip"), "");
}

bool LargeTestsWanted() {
  const char* wanted = std::getenv("LUMBRELLA_LARGE_TESTS");
  return wanted != nullptr && std::string(wanted) == "1";
}

// Packs one sparse file of zeros of the given size and checks the Zip64 fields: the local
// header always carries both sizes in its block (reserved room when the source was near
// 4 GiB); the central header needs a block only when a value does not fit its field.
void PackZeros(uint64_t size) {
  TempFolder dir;
  MakeDirs(dir / "root");
  int fd = open((dir / "root/zeros.bin").c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  ASSERT_GE(fd, 0);
  ASSERT_EQ(ftruncate(fd, static_cast<off_t>(size)), 0);
  close(fd);
  TZipPacker packer;
  ConfigureTreePacker(packer, dir / "root", dir / "zeros.zip");
  ASSERT_EQ(packer.Zip(), 1);
  const std::string zip = ReadBytes(dir / "zeros.zip");
  EXPECT_EQ(U16At(zip, 4), 45u);
  EXPECT_EQ(U32At(zip, 18), 0xFFFFFFFFu);
  EXPECT_EQ(U32At(zip, 22), 0xFFFFFFFFu);
  EXPECT_EQ(U16At(zip, 28), 20u);
  EXPECT_EQ(zip.substr(30, 9), "zeros.bin");
  EXPECT_EQ(U16At(zip, 39), 1u);
  EXPECT_EQ(U16At(zip, 41), 16u);
  EXPECT_EQ(U64At(zip, 43), size);
  const uint64_t compressed = U64At(zip, 51);
  const size_t central = 59 + compressed;
  EXPECT_EQ(U32At(zip, central), 0x02014B50u);
  EXPECT_EQ(U32At(zip, central + 20), compressed);
  if (size >= 0xFFFFFFFFu) {  // only the uncompressed size needs the block
    EXPECT_EQ(U16At(zip, central + 6), 45u);
    EXPECT_EQ(U32At(zip, central + 24), 0xFFFFFFFFu);
    EXPECT_EQ(U16At(zip, central + 30), 12u);
    EXPECT_EQ(U64At(zip, central + 46 + 9 + 4), size);
  } else {
    EXPECT_EQ(U16At(zip, central + 6), 20u);
    EXPECT_EQ(U32At(zip, central + 24), size);
    EXPECT_EQ(U16At(zip, central + 30), 0u);
  }
  EXPECT_EQ(CheckArchiveWithOtherTools(dir / "zeros.zip"), "");
}

TEST(PackerLarge, SourceOfMoreThanFourGigabytes) {
  if (!LargeTestsWanted()) GTEST_SKIP() << "set LUMBRELLA_LARGE_TESTS=1 to run";
  PackZeros(0x100000000ull + 0x100000);
}

TEST(PackerLarge, SourceJustUnderFourGigabytesGetsZip64RoomInItsLocalHeader) {
  if (!LargeTestsWanted()) GTEST_SKIP() << "set LUMBRELLA_LARGE_TESTS=1 to run";
  PackZeros(kZip64ReserveThreshold + 1000);
}

}  // namespace
}  // namespace lumbrella
