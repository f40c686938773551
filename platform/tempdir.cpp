#include "platform/tempdir.h"

#include <dirent.h>
#include <fcntl.h>
#include <linux/magic.h>
#include <sys/stat.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <csignal>
#include <cstdlib>
#include <string>
#include <string_view>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace lumbrella {

namespace {

constexpr std::string_view kPrefix = "lumbrella-";
constexpr char kPidFile[] = "pid";

// The names mkdtemp gives: the prefix and six letters or digits.
bool IsOurFolderName(std::string_view name) {
  if (name.size() != kPrefix.size() + 6 || !name.starts_with(kPrefix)) return false;
  for (char c : name.substr(kPrefix.size())) {
    const bool alnum = (c >= '0' && c <= '9') || (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z');
    if (!alnum) return false;
  }
  return true;
}

// The process ids of another pid namespace (a container sharing the temporary folder)
// mean nothing here, so the record names the namespace too: "pid:[inode]".
std::string PidNamespace() {
  char link[64];
  const ssize_t got = readlink("/proc/self/ns/pid", link, sizeof link - 1);
  return got > 0 ? std::string(link, static_cast<size_t>(got)) : std::string();
}

// "<pid> <namespace>\n"
std::string ProcessRecord() {
  return std::to_string(getpid()) + " " + PidNamespace() + "\n";
}

// The process id recorded in the folder open at folder, or 0 when there is none or it
// belongs to another pid namespace.
pid_t RecordedPid(int folder) {
  // Not a pipe someone put there, which would hold the read up forever.
  const int fd = openat(folder, kPidFile, O_RDONLY | O_NOFOLLOW | O_NONBLOCK | O_CLOEXEC);
  if (fd < 0) return 0;
  struct stat st;
  char text[96];
  const ssize_t got =
      fstat(fd, &st) == 0 && S_ISREG(st.st_mode) ? read(fd, text, sizeof text - 1) : -1;
  close(fd);
  if (got <= 0) return 0;
  const std::string record(text, static_cast<size_t>(got));
  char* end = nullptr;
  const long pid = std::strtol(record.c_str(), &end, 10);
  if (end == record.c_str() || pid <= 0 || static_cast<pid_t>(pid) != pid) return 0;
  if (record != std::to_string(pid) + " " + PidNamespace() + "\n") return 0;
  return static_cast<pid_t>(pid);
}

// A folder (not a link) that belongs to this user, whose recorded process is gone.
bool IsLeftover(int base, const char* name) {
  struct stat named;
  if (fstatat(base, name, &named, AT_SYMLINK_NOFOLLOW) != 0 || !S_ISDIR(named.st_mode) ||
      named.st_uid != geteuid()) {
    return false;
  }
  const int folder = openat(base, name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (folder < 0) return false;
  struct stat opened;
  const bool same =
      fstat(folder, &opened) == 0 && opened.st_dev == named.st_dev && opened.st_ino == named.st_ino;
  const pid_t pid = same ? RecordedPid(folder) : 0;
  close(folder);
  // A process of this user that runs answers the signal test; ESRCH means none has that id.
  return pid > 0 && kill(pid, 0) != 0 && errno == ESRCH;
}

}  // namespace

bool OthersMayChange(const std::string& folder) {
  char* resolved = realpath(folder.c_str(), nullptr);
  if (resolved == nullptr) return true;
  const std::string path = resolved;
  std::free(resolved);
  const auto safe = [](const std::string& part) {
    struct stat st;
    if (lstat(part.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) return false;
    if (st.st_uid != 0 && st.st_uid != geteuid()) return false;
    const bool othersWrite =
        (st.st_mode & S_IWOTH) != 0 || ((st.st_mode & S_IWGRP) != 0 && st.st_gid != getegid());
    return !othersWrite || (st.st_mode & S_ISVTX) != 0;
  };
  if (!safe("/")) return true;
  for (size_t slash = path.find('/', 1); path.size() > 1; slash = path.find('/', slash + 1)) {
    if (!safe(path.substr(0, slash))) return true;
    if (slash == std::string::npos) break;
  }
  return false;
}

namespace {

std::string WithoutTrailingSlashes(std::string folder) {
  while (folder.size() > 1 && folder.back() == '/')
    folder.pop_back();
  return folder;
}

std::string Resolved(const std::string& folder) {
  char* resolved = realpath(folder.c_str(), nullptr);
  if (resolved == nullptr) return folder;
  std::string path = resolved;
  std::free(resolved);
  return path;
}

std::string GivenTempBase() {
  const char* base = std::getenv("TMPDIR");
  return WithoutTrailingSlashes((base != nullptr && *base != '\0') ? base : "/tmp");
}

}  // namespace

std::string TempBaseDir() {
  for (const std::string& folder :
       {GivenTempBase(), std::string("/tmp"), std::string("/var/tmp")}) {
    if (!OthersMayChange(folder)) return Resolved(folder);
  }
  return {};
}

std::string TempBaseRefusal() {
  const std::string given = GivenTempBase();
  if (!OthersMayChange(given)) return {};
  const std::string used = TempBaseDir();
  return "TMPDIR \"" + given +
         "\" is not used: other users may replace what it holds (it or a folder above it is "
         "writable by others without the sticky bit, or theirs); " +
         (used.empty() ? std::string("neither is /tmp or /var/tmp safe")
                       : "\"" + used + "\" is used instead");
}

std::string RuntimeBaseDir() {
  const char* tmp = std::getenv("TMPDIR");
  const char* runtime = std::getenv("XDG_RUNTIME_DIR");
  if ((tmp != nullptr && *tmp != '\0') || runtime == nullptr || runtime[0] != '/') return {};
  const std::string folder = WithoutTrailingSlashes(runtime);
  struct stat st;
  struct statfs fs;
  if (lstat(folder.c_str(), &st) != 0 || !S_ISDIR(st.st_mode) || st.st_uid != geteuid() ||
      (st.st_mode & 077) != 0 || statfs(folder.c_str(), &fs) != 0 || fs.f_type != TMPFS_MAGIC ||
      OthersMayChange(folder)) {
    return {};
  }
  return folder;
}

TPrivateTempDir::TPrivateTempDir() : chosenBase_(true) {
  Make();
}

TPrivateTempDir::TPrivateTempDir(std::string base) : base_(std::move(base)) {
  Make();
}

TPrivateTempDir::~TPrivateTempDir() {
  RemoveTree(path_);
}

void TPrivateTempDir::Make() {
  if (chosenBase_) {
    base_ = RuntimeBaseDir();
    if (base_.empty()) {
      base_ = TempBaseDir();
    } else {
      // The programs clear the disk base at start-up; this one is theirs too.
      RemoveLeftoverTempDirs(base_);
    }
  }
  std::string pattern = base_ + "/lumbrella-XXXXXX";
  // Another user could swap the folder for a link while it is in use, and what is written
  // and removed below it would land elsewhere.
  if (base_.empty() || OthersMayChange(base_)) {
    throw EFCreateError("Cannot create file \"" + Utf8ToAnsi(pattern) +
                        "\". Other users may replace what this folder holds");
  }
  if (mkdtemp(pattern.data()) == nullptr) RaiseCreateError(Utf8ToAnsi(pattern), errno);
  chmod(pattern.c_str(), 0700);  // mkdtemp already uses 0700; keep it whatever the umask
  // Without the record the folder works as well; only a leftover of it is not recognised.
  const std::string record = pattern + "/" + kPidFile;
  const int fd = open(record.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_NOFOLLOW | O_CLOEXEC, 0600);
  if (fd >= 0) {
    const std::string pid = ProcessRecord();
    const bool written = write(fd, pid.data(), pid.size()) == static_cast<ssize_t>(pid.size());
    close(fd);
    if (!written) unlink(record.c_str());
  }
  path_ = Utf8ToAnsi(pattern) + "/";
}

void TPrivateTempDir::MakeAgainIfGone() {
  std::string fs = FsPath(path_);
  fs.pop_back();
  struct stat st;
  if (lstat(fs.c_str(), &st) == 0 && S_ISDIR(st.st_mode) && st.st_uid == geteuid()) return;
  // Whatever stands at the old name now is not ours to remove.
  Make();
}

void RemoveLeftoverTempDirs(const std::string& base) {
  DIR* dir = opendir(base.c_str());
  if (dir == nullptr) return;
  while (const dirent* entry = readdir(dir)) {
    if (IsOurFolderName(entry->d_name) && IsLeftover(dirfd(dir), entry->d_name)) {
      RemoveTree(Utf8ToAnsi(base + "/" + entry->d_name));
    }
  }
  closedir(dir);
}

}  // namespace lumbrella
