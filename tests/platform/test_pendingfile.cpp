// A pending file takes its target's place in one step or not at all, and leaves nothing of
// its own behind otherwise.
#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <filesystem>

#include "common/test_util.h"
#include "platform/codepage.h"
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

// Writers of one book take turns through a lock file of their own: another user can neither
// hold it nor stop a writer by locking the folder, and a wait for this user's other writer
// ends after its bound.
TEST(PendingFile, OnlyThisUsersOtherWriterOfTheBookIsWaitedFor) {
  test::TempFolder tmp;
  const std::string book = tmp / "book.epub", lock = tmp / ".book.epub.lock";
  const auto neverWaits = [] { ADD_FAILURE() << "waited"; };
  const int folder = open(tmp.Path().c_str(), O_RDONLY | O_DIRECTORY);
  ASSERT_EQ(flock(folder, LOCK_SH), 0);  // as any reader of the folder may
  { TPendingFile file(book, neverWaits); }
  close(folder);

  // A lock file that is not this user's is not a lock.
  test::WriteBytes(lock, "");
  ASSERT_EQ(chown(lock.c_str(), test::UnprivilegedUser(), static_cast<gid_t>(-1)), 0);
  ASSERT_EQ(chmod(lock.c_str(), 0644), 0);
  if (geteuid() == 0) {
    const int theirs = open(lock.c_str(), O_RDONLY);
    ASSERT_EQ(flock(theirs, LOCK_EX), 0);
    { TPendingFile file(book, neverWaits); }
    close(theirs);
  }
  std::filesystem::remove(lock);

  const int mine = open(lock.c_str(), O_RDWR | O_CREAT, 0600);
  ASSERT_EQ(flock(mine, LOCK_EX), 0);
  int waits = 0;
  const auto start = std::chrono::steady_clock::now();
  try {
    TPendingFile file(
        book, [&] { ++waits; }, std::chrono::milliseconds(300));
    ADD_FAILURE() << "did not wait";
  } catch (const EFCreateError& e) {
    EXPECT_EQ(e.Message(),
              "Cannot create file \"" + book + "\". Another conversion is still writing it");
  }
  EXPECT_GE(std::chrono::steady_clock::now() - start, std::chrono::milliseconds(300));
  EXPECT_GT(waits, 0);
  EXPECT_EQ(FolderNames(tmp.Path()), Names{".book.epub.lock"});
  close(mine);  // its writer is done: the next one takes the lock and removes it when done
  {
    TPendingFile file(book, neverWaits);
    file.Commit();
  }
  EXPECT_EQ(FolderNames(tmp.Path()), Names{"book.epub"});
}

// A folder its user may write but not read: the book is written all the same.
TEST(PendingFile, AFolderThatMayNotBeListedIsWritten) {
  test::TempFolder tmp;
  ASSERT_EQ(chmod(tmp.Path().c_str(), 0755), 0);
  test::MakeDirs(tmp / "dropbox");
  ASSERT_EQ(chown((tmp / "dropbox").c_str(), test::UnprivilegedUser(), static_cast<gid_t>(-1)), 0);
  ASSERT_EQ(chmod((tmp / "dropbox").c_str(), 0300), 0);
  EXPECT_TRUE(test::AsUnprivilegedUser([&] {
    TPendingFile file(tmp / "dropbox/book.epub");
    Write(file, "new");
    file.Commit();
    return true;
  }));
  EXPECT_EQ(test::ReadBytes(tmp / "dropbox/book.epub"), "new");
  EXPECT_EQ(FolderNames(tmp / "dropbox"), Names{"book.epub"});
}

// Pending files that no live writer holds are leftovers of killed runs of this user, removed
// when the book is written next; nothing else is.
TEST(PendingFile, LeftoversOfKilledWritersOfTheBookAreRemoved) {
  test::TempFolder tmp;
  Names kept = {".book.epub.Dead01",  ".book.epub.Live01",  ".book.epub.Their1",
                ".book.epub.long007", ".other.epub.Dead02", "book.epub"};
  for (const std::string& name : kept)
    test::WriteBytes(tmp / name, "x");
  kept.erase(kept.begin());  // the one leftover
  ASSERT_EQ(
      chown((tmp / ".book.epub.Their1").c_str(), test::UnprivilegedUser(), static_cast<gid_t>(-1)),
      0);
  const int live = open((tmp / ".book.epub.Live01").c_str(), O_RDONLY);
  ASSERT_EQ(flock(live, LOCK_EX), 0);
  {
    TPendingFile file(tmp / "book.epub");
    Names names = FolderNames(tmp.Path());
    // This writer's own file and lock are held, so another writer would not take them.
    names.erase(std::remove_if(names.begin(), names.end(),
                               [&](const std::string& n) {
                                 return tmp / n == file.TempName() || n == ".book.epub.lock";
                               }),
                names.end());
    EXPECT_EQ(names, kept);
  }
  close(live);
  EXPECT_EQ(FolderNames(tmp.Path()), kept);
}

// The temporary and lock names fit the folder's name length whatever the book's name.
TEST(PendingFile, ABookNameOfAlmostTheLongestLengthIsWritten) {
  test::TempFolder tmp;
  std::string name;
  for (int i = 0; i < 83; ++i)
    name += "雨";
  name += ".epub";  // 254 bytes
  TPendingFile file(Utf8ToAnsi(tmp / name));
  const std::string temp = std::filesystem::path(AnsiToUtf8(file.TempName())).filename().string();
  EXPECT_LE(temp.size(), 255u);
  EXPECT_TRUE(temp.starts_with(".雨雨")) << temp;
  EXPECT_EQ(FolderNames(tmp.Path()).size(), 2u);  // the temporary file and the lock file
  Write(file, "book");
  file.Commit();
  EXPECT_EQ(test::ReadBytes(tmp / name), "book");
}

}  // namespace
}  // namespace lumbrella
