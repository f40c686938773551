// Sources of 4 GiB and more, past the limits of the 32-bit fields. They take minutes with
// the readers that check them, so they run only when asked:
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
