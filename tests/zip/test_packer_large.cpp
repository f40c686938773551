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
#include <tuple>

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
  // From the sizes on: both escaped, the name, the block with both sizes.
  std::string local;
  test::AppendFields(local, "4422", {0xFFFFFFFF, 0xFFFFFFFF, 9, 20});
  local += "zeros.bin";
  test::AppendFields(local, "228", {1, 16, size});
  EXPECT_EQ(U16At(zip, 4), 45u);
  EXPECT_EQ(zip.substr(18, 33), local);
  const uint64_t compressed = U64At(zip, 51);
  const size_t central = 59 + compressed;
  const bool big = size >= 0xFFFFFFFFu;  // only the uncompressed size needs the block
  EXPECT_EQ(std::make_tuple(U32At(zip, central), U16At(zip, central + 6), U32At(zip, central + 20),
                            U32At(zip, central + 24), U16At(zip, central + 30)),
            std::make_tuple(0x02014B50u, big ? 45u : 20u, static_cast<uint32_t>(compressed),
                            big ? 0xFFFFFFFFu : static_cast<uint32_t>(size), big ? 12u : 0u));
  EXPECT_TRUE(!big || U64At(zip, central + 46 + 9 + 4) == size);
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
