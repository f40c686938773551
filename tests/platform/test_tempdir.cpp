#include "platform/tempdir.h"

#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <filesystem>
#include <string>

#include "common/test_util.h"
#include "platform/errors.h"

namespace lumbrella {
namespace {

namespace fs = std::filesystem;
using test::EnvAt;
using test::LeftBehindTempDir;
using test::ReadBytes;
using test::TempFolder;
using test::WriteBytes;

std::string WithoutSlash(std::string path) {
  path.pop_back();
  return path;
}

// Only folders of this user's killed runs go; whatever might belong to a live process, to
// someone else or to nobody in particular stays, and no link is followed.
TEST(TempDir, StartUpRemovesOnlyFoldersOfRunsThatAreGone) {
  TempFolder base;
  TempFolder elsewhere;
  const EnvAt tmp("TMPDIR", WithoutSlash(base.Path()).c_str());
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
  // A pipe put where the record belongs would hold a reader up forever.
  const std::string recordPipe = LeftBehindTempDir(base.Path());
  fs::remove(recordPipe + "pid");
  ASSERT_EQ(mkfifo((recordPipe + "pid").c_str(), 0600), 0);
  std::string otherUser;
  if (geteuid() == 0) {
    otherUser = WithoutSlash(LeftBehindTempDir(base.Path()));
    ASSERT_EQ(chown(otherUser.c_str(), 65534, 65534), 0);
  }

  RemoveLeftoverTempDirs(WithoutSlash(base.Path()));

  EXPECT_FALSE(fs::exists(gone));
  for (const std::string& kept : {live.Path(), noRecord, otherNamespace, recordLinked, recordPipe,
                                  linkTarget + "pid", otherName, otherUser}) {
    EXPECT_TRUE(kept.empty() || fs::exists(kept)) << kept;
  }
  EXPECT_TRUE(fs::is_symlink(link));
}

TEST(TempDir, MadeAgainUnderANewNameWhenGone) {
  TempFolder base;
  const EnvAt tmp("TMPDIR", WithoutSlash(base.Path()).c_str());
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

// A base folder in which another user could swap the private folder for a link is passed
// over for one in which nobody can.
TEST(TempDir, ABaseOthersMayChangeIsNotUsed) {
  TempFolder tmp;
  ASSERT_EQ(chmod(tmp.Path().c_str(), 0755), 0);
  const struct {
    const char* folder;
    mode_t mode;
    bool theirs;
    bool used;
  } cases[] = {
      {"mine", 0700, false, true},
      {"shared", 01777, false, true},  // like /tmp: the sticky bit keeps others' hands off
      {"open", 0777, false, false},
      {"open/below", 0700, false, false},
      {"theirs", 0755, true, false},
  };
  for (const auto& c : cases) {
    test::MakeDirs(tmp / c.folder);
    ASSERT_EQ(chmod((tmp / c.folder).c_str(), c.mode), 0);
    if (c.theirs) {
      ASSERT_EQ(chown((tmp / c.folder).c_str(), test::UnprivilegedUser(), static_cast<gid_t>(-1)),
                0);
    }
  }
  fs::create_directory_symlink(tmp / "mine", tmp / "link");
  for (const auto& c : cases) {
    SCOPED_TRACE(c.folder);
    const EnvAt tmpdir("TMPDIR", (tmp / c.folder).c_str());
    EXPECT_EQ(OthersMayChange(tmp / c.folder), !c.used);
    EXPECT_EQ(TempBaseDir() == tmp / c.folder, c.used);
    EXPECT_EQ(TempBaseRefusal().empty(), c.used) << TempBaseRefusal();
    if (!c.used) {
      EXPECT_THROW(TPrivateTempDir dir(tmp / c.folder), EFCreateError);
      EXPECT_TRUE(TPrivateTempDir().Path().starts_with(TempBaseDir() + "/"));
    }
  }
  const EnvAt tmpdir("TMPDIR", (tmp / "link").c_str());
  EXPECT_EQ(TempBaseDir(), tmp / "mine");
}

// The session's folder in memory is used only when it is this user's alone, on a tmpfs,
// and TMPDIR does not name another place; the private folder is then made there.
TEST(TempDir, RuntimeFolderInMemoryWhenItIsTheSessionsOwn) {
  if (!test::RuntimeFolderInMemory::Possible()) GTEST_SKIP() << "no tmpfs at /dev/shm";
  const test::RuntimeFolderInMemory inMemory;
  const std::string& shm = inMemory.Path();
  TempFolder onDisk;
  const struct {
    const char* what;
    std::string runtime;
    const char* tmpdir;
    mode_t mode;
    bool used;
  } cases[] = {
      {"tmpfs, owner only", shm, nullptr, 0700, true},
      {"open to others", shm, nullptr, 0755, false},
      {"TMPDIR says otherwise", shm, "/tmp", 0700, false},
      {"on disk", WithoutSlash(onDisk.Path()), nullptr, 0700, false},
      // The same folder, named from the current one: only the name is wrong.
      {"relative", fs::relative(shm).string(), nullptr, 0700, false},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    ASSERT_EQ(chmod(c.runtime.c_str(), c.mode), 0);
    const EnvAt runtime("XDG_RUNTIME_DIR", c.runtime.c_str());
    const EnvAt tmp("TMPDIR", c.tmpdir);
    EXPECT_EQ(RuntimeBaseDir(), c.used ? c.runtime : "");
    TPrivateTempDir dir;
    EXPECT_EQ(dir.Path().starts_with(shm + "/"), c.used) << dir.Path();
  }
}

}  // namespace
}  // namespace lumbrella
