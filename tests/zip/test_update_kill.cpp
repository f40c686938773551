// A conversion killed at any moment leaves the target whole: the old archive or the new
// one, and for a new book nothing or the whole book.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <filesystem>
#include <random>
#include <thread>

#include "common/test_util.h"
#include "test_zip_util.h"
#include "zip/packer.h"

namespace lumbrella {
namespace {

// The round written into the archive's round.txt; "broken" when an entry is missing or
// damaged, "" when there is no archive.
std::string RoundOf(const std::string& archive, size_t entries) {
  if (!std::filesystem::exists(archive)) return "";
  const std::string bytes = test::ReadBytes(archive);
  const test::ZipListing listing = test::ListZip(bytes);
  if (listing.items.size() != entries || !test::DataProblems(bytes, listing).empty()) {
    return "broken";
  }
  for (const test::ZipItem& item : listing.items) {
    if (item.name == "round.txt") return test::Extract(bytes, item);
  }
  return "broken";
}

// The temporary archive being written (not the lock file beside it).
bool IsTempFile(const std::filesystem::path& path) {
  const std::string name = path.filename().string();
  return name.starts_with(".book.epub.") && name != ".book.epub.lock";
}

// Size of the temporary archive being written in folder, or 0.
uintmax_t TempFileSize(const std::string& folder) {
  std::error_code ec;
  for (const auto& e : std::filesystem::directory_iterator(folder, ec)) {
    if (IsTempFile(e.path())) return e.file_size(ec);
  }
  return 0;
}

void Update(const std::string& staging, const std::string& target) {
  TZipPacker packer;
  test::ConfigureTreePacker(packer, staging, target);
  packer.ZipAction = zaReplace;
  packer.Zip();
}

TEST(UpdateKill, AKilledUpdateLeavesTheTargetWhole) {
  test::TempFolder tmp;
  std::string staging = tmp / "EPUB";
  const size_t kFiles = 240;
  for (size_t i = 0; i < kFiles; ++i) {
    std::string dir = staging + "/OEBPS/part" + std::to_string(i % 8);
    test::MakeDirs(dir);
    test::WriteBytes(dir + "/" + std::to_string(i) + ".html",
                     test::NoiseBytes(16000, static_cast<uint32_t>(i)));
  }
  std::string target = tmp / "book.epub";
  test::WriteBytes(staging + "/round.txt", "0\n");
  Update(staging, target);  // a new archive of about 4 MB
  ASSERT_EQ(RoundOf(target, kFiles + 1), "0\n");

  // How long one whole update takes, to spread the kills over it.
  test::WriteBytes(staging + "/round.txt", "1\n");
  auto start = std::chrono::steady_clock::now();
  Update(staging, target);
  auto took = std::chrono::steady_clock::now() - start;
  ASSERT_EQ(RoundOf(target, kFiles + 1), "1\n");
  auto micros = std::chrono::duration_cast<std::chrono::microseconds>(took).count();
  uintmax_t oldSize = std::filesystem::file_size(target);
  int killed = 0;

  std::mt19937 rng(7);
  std::string done = "1\n";
  for (int round = 2; round < 12; ++round) {
    std::string text = std::to_string(round) + "\n";
    test::WriteBytes(staging + "/round.txt", text);
    // Every third round makes a new book: no file is there to update.
    if (round % 3 == 0) std::filesystem::remove(target);
    const bool fresh = !std::filesystem::exists(target);
    pid_t child = fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
      try {
        Update(staging, target);
      } catch (...) {
        _exit(2);
      }
      _exit(0);
    }
    // Even rounds: anywhere in the update. Odd rounds: near its end, when the temporary
    // archive is almost written and the target is about to be replaced.
    long delay = 0;
    if (round % 2 == 0) {
      delay = std::uniform_int_distribution<long>(0, micros * 5 / 4)(rng);
      std::this_thread::sleep_for(std::chrono::microseconds(delay));
    } else {
      auto waitStart = std::chrono::steady_clock::now();
      while (std::chrono::steady_clock::now() - waitStart < took * 3 &&
             TempFileSize(tmp.Path()) < oldSize * 9 / 10) {
        std::this_thread::sleep_for(std::chrono::microseconds(100));
      }
      delay = std::uniform_int_distribution<long>(0, 30000)(rng);
      std::this_thread::sleep_for(std::chrono::microseconds(delay));
    }
    kill(child, SIGKILL);
    int status = 0;
    waitpid(child, &status, 0);
    bool finished = WIFEXITED(status);
    killed += finished ? 0 : 1;
    if (finished) {
      ASSERT_EQ(WEXITSTATUS(status), 0);
    }

    std::string found = RoundOf(target, kFiles + 1);
    SCOPED_TRACE("round " + std::to_string(round) + ", killed after " + std::to_string(delay) +
                 " us of about " + std::to_string(micros));
    if (finished) {
      EXPECT_EQ(found, text);
    } else if (fresh) {
      EXPECT_TRUE(!std::filesystem::exists(target) || found == text) << "target holds " << found;
    } else {
      EXPECT_TRUE(found == done || found == text) << "target holds " << found;
    }
    if (found == text) done = text;
    // A killed update can only leave its own temporary file (and its lock file) behind,
    // never touch another; the next update removes them.
    int temps = 0;
    for (const auto& e : std::filesystem::directory_iterator(tmp.Path())) {
      temps += IsTempFile(e.path()) ? 1 : 0;
    }
    EXPECT_LE(temps, finished ? 0 : 1);
    EXPECT_TRUE(!finished || !std::filesystem::exists(tmp / ".book.epub.lock"));
  }
  EXPECT_GT(killed, 0);
}

}  // namespace
}  // namespace lumbrella
