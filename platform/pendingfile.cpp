#include "platform/pendingfile.h"

#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <chrono>
#include <climits>
#include <random>
#include <thread>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/stream.h"

namespace lumbrella {

namespace {

// The file a path names once links are followed (file-system text); a dangling link gives
// the path where its file would be.
std::string FollowLinks(std::string path) {
  for (int hops = 0; hops < 40; ++hops) {
    struct stat st;
    if (lstat(path.c_str(), &st) != 0 || !S_ISLNK(st.st_mode)) break;
    std::string link(PATH_MAX, '\0');
    ssize_t n = readlink(path.c_str(), link.data(), link.size());
    if (n <= 0) break;
    link.resize(static_cast<size_t>(n));
    size_t slash = path.rfind('/');
    path = link[0] == '/' || slash == std::string::npos ? link : path.substr(0, slash + 1) + link;
  }
  return path;
}

std::string RandomSuffix() {
  static const char kChars[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789";
  std::random_device random;
  std::string suffix;
  for (int i = 0; i < 6; ++i)
    suffix += kChars[random() % (sizeof kChars - 1)];
  return suffix;
}

mode_t DefaultMode() {
  mode_t mask = umask(0);
  umask(mask);
  return 0666 & ~mask;
}

}  // namespace

TPendingFile::TPendingFile(const std::string& target, const std::function<void()>& wait) {
  const std::string fsTarget = FollowLinks(FsPath(target));
  target_ = Utf8ToAnsi(fsTarget);
  size_t slash = fsTarget.rfind('/');
  std::string fsFolder = slash == std::string::npos ? "." : fsTarget.substr(0, slash + 1);
  targetName_ = slash == std::string::npos ? fsTarget : fsTarget.substr(slash + 1);
  if (targetName_.empty()) RaiseCreateError(target, EISDIR);

  folder_ = open(fsFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (folder_ < 0) RaiseCreateError(target, errno);
  auto fail = [&](int err) {
    close(folder_);
    folder_ = -1;
    RaiseCreateError(target, err);
  };
  while (flock(folder_, LOCK_EX | LOCK_NB) != 0) {
    if (errno != EWOULDBLOCK && errno != EINTR) break;  // no locks here: go on without
    try {
      if (wait) wait();
    } catch (...) {
      close(folder_);
      folder_ = -1;
      throw;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }

  struct stat st;
  existed_ = fstatat(folder_, targetName_.c_str(), &st, 0) == 0;
  mode_ = DefaultMode();
  if (existed_) {
    if (S_ISDIR(st.st_mode)) fail(EISDIR);
    // Renaming over a pipe or a device would take the node's place.
    if (!S_ISREG(st.st_mode)) fail(EINVAL);
    // The rename would replace a file this user may not write.
    if (faccessat(folder_, targetName_.c_str(), W_OK, AT_EACCESS) != 0) fail(errno);
    mode_ = st.st_mode & 07777;
  }

  int fd = -1;
  for (int tries = 0; fd < 0 && tries < 100; ++tries) {
    tempName_ = "." + targetName_ + "." + RandomSuffix();
    fd = openat(folder_, tempName_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                0600);
    if (fd < 0 && errno != EEXIST) fail(errno);
  }
  if (fd < 0) fail(EEXIST);
  struct stat mine;
  if (fstat(fd, &mine) != 0) {
    int err = errno;
    close(fd);
    unlinkat(folder_, tempName_.c_str(), 0);
    fail(err);
  }
  device_ = mine.st_dev;
  inode_ = mine.st_ino;
  tempPath_ = Utf8ToAnsi(fsFolder == "." ? tempName_ : fsFolder + tempName_);
  stream_ = std::make_unique<TBufferedFileStream>(fd, tempPath_);
}

TPendingFile::~TPendingFile() {
  if (stream_) stream_->Close();
  if (!committed_ && folder_ >= 0) {
    // Only this file is removed: whatever was put in its place belongs to someone else.
    struct stat st;
    if (fstatat(folder_, tempName_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_dev == device_ && st.st_ino == inode_) {
      unlinkat(folder_, tempName_.c_str(), 0);
    }
  }
  if (folder_ >= 0) close(folder_);
}

void TPendingFile::Commit() {
  const int fd = stream_->Handle();
  bool durable = stream_->Flush() && fchmod(fd, mode_) == 0 && stream_->Sync();
  durable = stream_->Close() && durable;
  if (!durable) throw EWriteError();
  struct stat st;
  if (fstatat(folder_, tempName_.c_str(), &st, AT_SYMLINK_NOFOLLOW) != 0 || st.st_dev != device_ ||
      st.st_ino != inode_) {
    RaiseCreateError(target_, EEXIST);
  }
  if (renameat(folder_, tempName_.c_str(), folder_, targetName_.c_str()) != 0) {
    RaiseCreateError(target_, errno);
  }
  committed_ = true;
  // The rename is only durable once the folder is.
  if (fsync(folder_) != 0) throw EWriteError();
}

}  // namespace lumbrella
