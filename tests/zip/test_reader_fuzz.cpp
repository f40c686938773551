// A seeded mutation loop over the reader: damaged and crafted archives must end in one of
// the program's own exceptions, never in a crash, a hang or an unbounded allocation (the
// sanitizer build runs the same loop). LUMBRELLA_FUZZ_SECONDS lengthens the run.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <random>

#include "common/test_util.h"
#include "platform/errors.h"
#include "platform/stream.h"
#include "test_zip_util.h"
#include "zip/reader.h"

namespace lumbrella {
namespace {

using test::BuildZip;
using test::BuiltZip;
using test::FixtureEntry;

class FuzzReader : public TZipReader {
 public:
  using TZipReader::CopyEntry;
};

std::vector<std::string> Seeds() {
  std::vector<std::string> seeds;
  std::vector<FixtureEntry> three = test::ThreeEntries();
  seeds.push_back(BuildZip(three).bytes);
  three[1].comment = "comment";
  three[1].centralExtra = std::string("\x01\x00\x08\x00\x10\x00\x00\x00\x00\x00\x00\x00", 12);
  three[2].descriptor = true;
  seeds.push_back(BuildZip(three, "archive comment").bytes);
  std::string inner = BuildZip(test::ThreeEntries()).bytes;
  seeds.push_back(BuildZip({test::Entry("a", "first"), test::Entry("inner.zip", inner, false),
                            test::Entry("b", std::string(300, 'b'))})
                      .bytes);
  auto& fixtures = test::ToolFixtures::Get();
  for (const char* name : {"infozip64.zip", "pystream.zip", "sevenzip.zip"}) {
    std::string path = fixtures.Dir() + name;
    if (test::Run("test -f " + test::Quote(path)).exitCode == 0) {
      seeds.push_back(test::ReadBytes(path));
    }
  }
  return seeds;
}

// Positions worth damaging: the fields of every record whose signature appears.
std::vector<size_t> FieldPositions(const std::string& b) {
  std::vector<size_t> at;
  for (size_t i = 0; i + 4 <= b.size(); ++i) {
    if (b[i] != 'P' || b[i + 1] != 'K') continue;
    for (size_t f = 4; f < 46 && i + f + 4 <= b.size(); f += 2)
      at.push_back(i + f);
  }
  return at;
}

std::string Mutate(std::string b, std::mt19937& rng) {
  auto pick = [&](size_t n) {
    return n == 0 ? 0 : std::uniform_int_distribution<size_t>(0, n - 1)(rng);
  };
  static const uint32_t kValues[] = {0,      1,          0xFF,       0xFFFF,     0xFFFE,
                                     0x7FFF, 0xFFFFFFFF, 0x7FFFFFFF, 0x80000000, 46,
                                     22,     30,         0xFFFFFFF0, 0x10000};
  int steps = 1 + static_cast<int>(pick(4));
  for (int s = 0; s < steps && !b.empty(); ++s) {
    switch (pick(7)) {
      case 0:
        b[pick(b.size())] ^= static_cast<char>(1 << pick(8));
        break;
      case 1:
        b[pick(b.size())] = static_cast<char>(pick(256));
        break;
      case 2:
      case 3: {
        std::vector<size_t> fields = FieldPositions(b);
        if (fields.empty()) break;
        size_t at = fields[pick(fields.size())];
        uint32_t value = pick(3) == 0 ? static_cast<uint32_t>(b.size() - pick(b.size()))
                                      : kValues[pick(std::size(kValues))];
        if (pick(2) == 0 || at + 4 > b.size()) {
          test::Put16(b, at, value & 0xFFFF);
        } else {
          test::Put32(b, at, value);
        }
        break;
      }
      case 4:
        b.resize(pick(b.size()));
        break;
      case 5: {
        size_t from = pick(b.size());
        size_t len = pick(std::min<size_t>(b.size() - from, 200)) + 1;
        b.insert(pick(b.size()), b.substr(from, len));
        break;
      }
      case 6: {
        size_t from = pick(b.size());
        b.erase(from, pick(std::min<size_t>(b.size() - from, 200)) + 1);
        break;
      }
    }
  }
  return b;
}

// Everything the update does with an archive it reads.
void Exercise(const std::string& path) {
  FuzzReader reader;
  reader.SetZipName(path);
  reader.IncompleteZipMode = izAssumeBad;  // the repair scan runs on more inputs
  reader.Open();
  reader.ArchiveComment();
  TMemoryStream out;
  for (size_t i = 0; i < reader.Directory().Count(); ++i) {
    reader.EntryComment(i);
    reader.EntryDateTime(i);
    TZipHeaderInfo copy(*reader.Directory().Item(i));
    reader.CopyEntry(copy, out);
  }
}

TEST(ReaderFuzz, DamagedArchivesFailCleanly) {
  double seconds = 3;
  if (const char* s = std::getenv("LUMBRELLA_FUZZ_SECONDS")) seconds = std::atof(s);
  std::vector<std::string> seeds = Seeds();
  ASSERT_FALSE(seeds.empty());
  test::TempFolder tmp;
  std::mt19937 rng(20240611);
  auto deadline = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
  size_t runs = 0, opened = 0;
  while (std::chrono::steady_clock::now() < deadline && runs < 200000) {
    std::string input = Mutate(seeds[runs % seeds.size()], rng);
    std::string path = tmp / "input.zip";
    test::WriteBytes(path, input);
    ++runs;
    try {
      Exercise(path);
      ++opened;
    } catch (const Exception&) {
      // One of the program's failures: what a damaged archive should give.
    } catch (const std::exception& e) {
      std::string hex;
      for (unsigned char c : input.substr(0, 400)) {
        hex += "0123456789abcdef"[c >> 4];
        hex += "0123456789abcdef"[c & 15];
      }
      FAIL() << "foreign exception " << e.what() << " after " << runs << " runs, input " << hex;
    }
  }
  // Both kinds of outcome must have occurred, or the loop tests little.
  EXPECT_GT(opened, 0u);
  EXPECT_LT(opened, runs);
  std::cout << runs << " inputs, " << opened << " opened\n";
}

}  // namespace
}  // namespace lumbrella
