#include "platform/pendingfile.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/file.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <chrono>
#include <climits>
#include <random>
#include <string_view>
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

constexpr char kLockSuffix[] = ".lock";
constexpr size_t kRandomLength = 6;

// "." + name, cut (between UTF-8 characters) so that a suffix of up to room bytes still
// makes a name the folder takes.
std::string Stem(const std::string& name, long maxName, size_t room) {
  std::string stem = "." + name;
  const size_t limit = maxName > static_cast<long>(room) ? static_cast<size_t>(maxName) - room : 1;
  if (stem.size() > limit) {
    size_t cut = limit;
    while (cut > 1 && (static_cast<unsigned char>(stem[cut]) & 0xC0) == 0x80)
      --cut;
    stem.resize(cut);
  }
  return stem;
}

// The pending files' names: the stem, a dot and six letters or digits.
bool IsPendingName(std::string_view name, std::string_view stem) {
  if (name.size() != stem.size() + 1 + kRandomLength || !name.starts_with(stem) ||
      name[stem.size()] != '.') {
    return false;
  }
  for (char c : name.substr(stem.size() + 1)) {
    if (!std::isalnum(static_cast<unsigned char>(c))) return false;
  }
  return true;
}

bool SameFile(const struct stat& a, const struct stat& b) {
  return a.st_dev == b.st_dev && a.st_ino == b.st_ino;
}

}  // namespace

TPendingFile::TPendingFile(const std::string& target, const std::function<void()>& wait,
                           std::chrono::milliseconds maxWait) {
  const std::string fsTarget = FollowLinks(FsPath(target));
  target_ = Utf8ToAnsi(fsTarget);
  size_t slash = fsTarget.rfind('/');
  std::string fsFolder = slash == std::string::npos ? "." : fsTarget.substr(0, slash + 1);
  targetName_ = slash == std::string::npos ? fsTarget : fsTarget.substr(slash + 1);
  if (targetName_.empty()) RaiseCreateError(target, EISDIR);

  // A folder this user may write but not list (mode 0300) is reached by its path alone.
  folder_ = open(fsFolder.c_str(), O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  folderReadable_ = folder_ >= 0;
  if (folder_ < 0 && errno == EACCES)
    folder_ = open(fsFolder.c_str(), O_PATH | O_DIRECTORY | O_CLOEXEC);
  if (folder_ < 0) RaiseCreateError(target, errno);
  const long maxName = fpathconf(folder_, _PC_NAME_MAX);
  stem_ = Stem(targetName_, maxName > 0 ? maxName : NAME_MAX,
               std::max(sizeof kLockSuffix - 1, 1 + kRandomLength));

  try {
    if (Lock(target, wait, maxWait)) RemoveLeftovers();
  } catch (...) {
    close(folder_);
    folder_ = -1;
    throw;
  }

  struct stat st;
  existed_ = fstatat(folder_, targetName_.c_str(), &st, 0) == 0;
  mode_ = DefaultMode();
  if (existed_) {
    if (S_ISDIR(st.st_mode)) Fail(target, EISDIR);
    // Renaming over a pipe or a device would take the node's place.
    if (!S_ISREG(st.st_mode)) Fail(target, EINVAL);
    // The rename would replace a file this user may not write.
    if (faccessat(folder_, targetName_.c_str(), W_OK, AT_EACCESS) != 0) Fail(target, errno);
    mode_ = st.st_mode & 07777;
  }

  int fd = -1;
  for (int tries = 0; fd < 0 && tries < 100; ++tries) {
    tempName_ = stem_ + "." + RandomSuffix();
    fd = openat(folder_, tempName_.c_str(), O_RDWR | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC,
                0600);
    if (fd < 0 && errno != EEXIST) Fail(target, errno);
  }
  if (fd < 0) Fail(target, EEXIST);
  struct stat mine;
  if (fstat(fd, &mine) != 0) {
    int err = errno;
    close(fd);
    unlinkat(folder_, tempName_.c_str(), 0);
    Fail(target, err);
  }
  // Held while this writer lives: unlocked, the file is a leftover (RemoveLeftovers).
  flock(fd, LOCK_EX | LOCK_NB);
  device_ = mine.st_dev;
  inode_ = mine.st_ino;
  tempPath_ = Utf8ToAnsi(fsFolder == "." ? tempName_ : fsFolder + tempName_);
  stream_ = std::make_unique<TBufferedFileStream>(fd, tempPath_);
}

TPendingFile::~TPendingFile() {
  if (stream_) stream_->Close();
  if (!committed_ && folder_ >= 0 && !tempName_.empty()) {
    // Only this file is removed: whatever was put in its place belongs to someone else.
    struct stat st;
    if (fstatat(folder_, tempName_.c_str(), &st, AT_SYMLINK_NOFOLLOW) == 0 &&
        st.st_dev == device_ && st.st_ino == inode_) {
      unlinkat(folder_, tempName_.c_str(), 0);
    }
  }
  Unlock();
  if (folder_ >= 0) close(folder_);
}

void TPendingFile::Fail(const std::string& target, int err) {
  Unlock();
  close(folder_);
  folder_ = -1;
  RaiseCreateError(target, err);
}

bool TPendingFile::Lock(const std::string& target, const std::function<void()>& wait,
                        std::chrono::milliseconds maxWait) {
  const std::string name = stem_ + kLockSuffix;
  const auto start = std::chrono::steady_clock::now();
  for (;;) {
    const int fd =
        openat(folder_, name.c_str(), O_RDWR | O_CREAT | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC, 0600);
    // Another user's file, a link, or a folder this user may not write: no lock to take.
    if (fd < 0) return false;
    struct stat st;
    if (fstat(fd, &st) != 0 || !S_ISREG(st.st_mode) || st.st_uid != geteuid()) {
      close(fd);
      return false;
    }
    if (flock(fd, LOCK_EX | LOCK_NB) == 0) {
      // Its last holder may have removed the file meanwhile: then a newer one is the lock.
      struct stat named;
      if (fstatat(folder_, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(st, named)) {
        lock_ = fd;
        lockDevice_ = st.st_dev;
        lockInode_ = st.st_ino;
        return true;
      }
      close(fd);
      continue;
    }
    const int err = errno;
    close(fd);
    if (err != EWOULDBLOCK && err != EINTR) return false;  // no locks here: go on without
    if (std::chrono::steady_clock::now() - start >= maxWait) {
      const std::string expanded = ExpandFileName(target);
      throw EFCreateError(
          "Cannot create file \"" + expanded + "\". Another conversion is still writing it",
          expanded, EWOULDBLOCK);
    }
    if (wait) wait();
    std::this_thread::sleep_for(std::chrono::milliseconds(20));
  }
}

void TPendingFile::Unlock() {
  if (lock_ < 0) return;
  // Removed while still held, so that whoever opened it meanwhile finds it gone and takes a
  // new one (Lock).
  const std::string name = stem_ + kLockSuffix;
  struct stat named;
  if (fstatat(folder_, name.c_str(), &named, AT_SYMLINK_NOFOLLOW) == 0 &&
      named.st_dev == lockDevice_ && named.st_ino == lockInode_) {
    unlinkat(folder_, name.c_str(), 0);
  }
  close(lock_);
  lock_ = -1;
}

void TPendingFile::RemoveLeftovers() {
  if (!folderReadable_) return;
  const int listed = openat(folder_, ".", O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (listed < 0) return;
  DIR* dir = fdopendir(listed);
  if (dir == nullptr) {
    close(listed);
    return;
  }
  while (const dirent* entry = readdir(dir)) {
    if (!IsPendingName(entry->d_name, stem_)) continue;
    const int fd = openat(folder_, entry->d_name, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) continue;
    struct stat st, named;
    if (fstat(fd, &st) == 0 && S_ISREG(st.st_mode) && st.st_uid == geteuid() &&
        flock(fd, LOCK_EX | LOCK_NB) == 0 &&
        fstatat(folder_, entry->d_name, &named, AT_SYMLINK_NOFOLLOW) == 0 && SameFile(st, named)) {
      unlinkat(folder_, entry->d_name, 0);
    }
    close(fd);
  }
  closedir(dir);
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
  // The rename is only durable once the folder is (a folder that may not be read cannot be
  // opened to be synced).
  if (folderReadable_ && fsync(folder_) != 0) throw EWriteError();
}

}  // namespace lumbrella
