#include "platform/tempdir.h"

#include <gtest/gtest.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/test_util.h"

namespace lumbrella {
namespace {

namespace fs = std::filesystem;
using test::LeftBehindTempDir;
using test::ReadBytes;
using test::TempFolder;
using test::WriteBytes;

std::string WithoutSlash(std::string path) {
  path.pop_back();
  return path;
}

// TMPDIR names the folder while this lives.
class TmpDirAt {
 public:
  explicit TmpDirAt(const TempFolder& folder) {
    if (const char* old = std::getenv("TMPDIR")) old_ = old;
    setenv("TMPDIR", WithoutSlash(folder.Path()).c_str(), 1);
  }
  ~TmpDirAt() {
    if (old_.empty())
      unsetenv("TMPDIR");
    else
      setenv("TMPDIR", old_.c_str(), 1);
  }

 private:
  std::string old_;
};

// Only folders of this user's killed runs go; whatever might belong to a live process, to
// someone else or to nobody in particular stays, and no link is followed.
TEST(TempDir, StartUpRemovesOnlyFoldersOfRunsThatAreGone) {
  TempFolder base;
  TempFolder elsewhere;
  const TmpDirAt tmp(base);
  TPrivateTempDir live;
  const std::string gone = LeftBehindTempDir(base.Path());
  const std::string record = ReadBytes(gone + "pid");

  const std::string noRecord = LeftBehindTempDir(base.Path());
  fs::remove(noRecord + "pid");
  const std::string otherNamespace = LeftBehindTempDir(base.Path());
  std::string foreign = record;
  foreign.insert(foreign.find("pid:[") + 5, "1");
  WriteBytes(otherNamespace + "pid", foreign);
  const std::string recordLinked = LeftBehindTempDir(base.Path());
  fs::remove(recordLinked + "pid");
  fs::create_symlink(gone + "pid", recordLinked + "pid");
  const std::string linkTarget = LeftBehindTempDir(elsewhere.Path());
  const std::string link = base / "lumbrella-Link01";
  fs::create_directory_symlink(WithoutSlash(linkTarget), link);
  const std::string otherName = base / "lumbrella-x";
  fs::rename(WithoutSlash(LeftBehindTempDir(base.Path())), otherName);
  std::string otherUser;
  if (geteuid() == 0) {
    otherUser = WithoutSlash(LeftBehindTempDir(base.Path()));
    ASSERT_EQ(chown(otherUser.c_str(), 65534, 65534), 0);
  }

  RemoveLeftoverTempDirs(WithoutSlash(base.Path()));

  EXPECT_FALSE(fs::exists(gone));
  for (const std::string& kept : {live.Path(), noRecord, otherNamespace, recordLinked,
                                  linkTarget + "pid", otherName, otherUser}) {
    EXPECT_TRUE(kept.empty() || fs::exists(kept)) << kept;
  }
  EXPECT_TRUE(fs::is_symlink(link));
}

TEST(TempDir, MadeAgainUnderANewNameWhenGone) {
  TempFolder base;
  const TmpDirAt tmp(base);
  TPrivateTempDir dir;
  const std::string first = dir.Path();
  dir.MakeAgainIfGone();  // still there: kept
  EXPECT_EQ(dir.Path(), first);

  // Someone put a link where the folder was; it is neither used nor removed.
  TempFolder target;
  fs::remove_all(first);
  fs::create_directory_symlink(WithoutSlash(target.Path()), WithoutSlash(first));
  dir.MakeAgainIfGone();
  EXPECT_NE(dir.Path(), first);
  EXPECT_TRUE(fs::is_directory(dir.Path()));
  EXPECT_FALSE(fs::is_symlink(WithoutSlash(dir.Path())));
  EXPECT_TRUE(fs::is_symlink(WithoutSlash(first)));
}

}  // namespace
}  // namespace lumbrella
