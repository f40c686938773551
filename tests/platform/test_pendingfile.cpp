// A pending file takes its target's place in one step or not at all, and leaves nothing of
// its own behind otherwise.
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <filesystem>

#include "common/test_util.h"
#include "platform/errors.h"
#include "platform/pendingfile.h"
#include "platform/stream.h"

namespace lumbrella {
namespace {

using Names = std::vector<std::string>;

Names FolderNames(const std::string& folder) {
  Names names;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    names.push_back(e.path().filename().string());
  }
  std::sort(names.begin(), names.end());
  return names;
}

void Write(TPendingFile& file, const std::string& bytes) {
  file.Stream().WriteBuffer(bytes.data(), bytes.size());
}

TEST(PendingFile, CommitReplacesTheFileALinkNamesAndAnythingElseLeavesNoTrace) {
  test::TempFolder tmp;
  test::MakeDirs(tmp / "real");
  const std::string book = tmp / "real/book.epub", link = tmp / "link.epub";
  test::WriteBytes(book, "old");
  ASSERT_EQ(chmod(book.c_str(), 0640), 0);
  ASSERT_EQ(symlink(book.c_str(), link.c_str()), 0);
  {
    TPendingFile file(link);
    EXPECT_TRUE(file.TargetExisted());
    EXPECT_EQ(file.Target(), book);
    // Hidden, beside the file, named after it.
    const std::string name = std::filesystem::path(file.TempName()).filename().string();
    EXPECT_TRUE(name.starts_with(".book.epub.")) << name;
    EXPECT_EQ(name.size(), std::string(".book.epub.").size() + 6);
    Write(file, "new");
    file.Commit();
  }
  EXPECT_EQ(test::ReadBytes(book), "new");
  EXPECT_TRUE(std::filesystem::is_symlink(link));
  EXPECT_EQ(std::filesystem::status(book).permissions(), std::filesystem::perms(0640));
  EXPECT_EQ(FolderNames(tmp / "real"), Names{"book.epub"});

  // Not committed (a failure, a thrown exception): the target and its folder as they were.
  { Write(*std::make_unique<TPendingFile>(book), "lost"); }
  EXPECT_EQ(test::ReadBytes(book), "new");
  EXPECT_EQ(FolderNames(tmp / "real"), Names{"book.epub"});

  // A dangling link: the file appears where it points, and a failure removes neither link
  // nor anything else.
  const std::string dangling = tmp / "dangling.epub";
  ASSERT_EQ(symlink("real/new.epub", dangling.c_str()), 0);
  { TPendingFile failed(dangling); }
  EXPECT_TRUE(std::filesystem::is_symlink(dangling));
  EXPECT_EQ(FolderNames(tmp / "real"), Names{"book.epub"});
  TPendingFile made(dangling);
  EXPECT_FALSE(made.TargetExisted());
  made.Commit();
  EXPECT_TRUE(std::filesystem::is_regular_file(tmp / "real/new.epub"));
  EXPECT_TRUE(std::filesystem::is_symlink(dangling));
}

// Targets this user may not replace are refused before anything is made.
TEST(PendingFile, ATargetTheUserMayNotWriteIsRefused) {
  test::TempFolder tmp;
  const uid_t user = test::UnprivilegedUser();  // root may write anything
  ASSERT_EQ(chmod(tmp.Path().c_str(), 0755), 0);
  test::MakeDirs(tmp / "mine");
  test::MakeDirs(tmp / "theirs");
  test::WriteBytes(tmp / "mine/readonly.epub", "old");
  test::WriteBytes(tmp / "theirs/book.epub", "old");
  ASSERT_EQ(chown((tmp / "mine").c_str(), user, static_cast<gid_t>(-1)), 0);
  ASSERT_EQ(chown((tmp / "mine/readonly.epub").c_str(), user, static_cast<gid_t>(-1)), 0);
  ASSERT_EQ(chown((tmp / "theirs/book.epub").c_str(), user, static_cast<gid_t>(-1)), 0);
  ASSERT_EQ(chmod((tmp / "mine/readonly.epub").c_str(), 0444), 0);
  ASSERT_EQ(chmod((tmp / "theirs").c_str(), 0555), 0);
  ASSERT_EQ(mkfifo((tmp / "mine/pipe.epub").c_str(), 0666), 0);
  test::MakeDirs(tmp / "mine/folder.epub");

  for (const char* target :
       {"mine/readonly.epub", "theirs/book.epub", "mine/pipe.epub", "mine/folder.epub"}) {
    EXPECT_TRUE(test::AsUnprivilegedUser([&] {
      try {
        TPendingFile file(tmp / target);
      } catch (const EFCreateError& e) {
        return e.Message().starts_with("Cannot create file \"" + tmp / target + "\". ");
      }
      return false;
    })) << target;
  }
  EXPECT_EQ(FolderNames(tmp / "mine"), (Names{"folder.epub", "pipe.epub", "readonly.epub"}));
  EXPECT_EQ(FolderNames(tmp / "theirs"), Names{"book.epub"});
  EXPECT_EQ(test::ReadBytes(tmp / "mine/readonly.epub"), "old");
}

}  // namespace
}  // namespace lumbrella
