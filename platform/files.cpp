#include "platform/files.h"

#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <sys/statvfs.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstring>

#include "platform/codepage.h"
#include "platform/errors.h"

namespace lumbrella {

namespace {

bool Exists(const std::string& fsPath) {
  struct stat st;
  return lstat(fsPath.c_str(), &st) == 0;
}

}  // namespace

std::string FsPath(std::string_view ansiPath) {
  std::string utf8 = AnsiToUtf8(ansiPath);
  // ASCII paths and paths that exist in UTF-8, the common cases, need no search.
  if (utf8 == ansiPath || Exists(utf8)) return utf8;
  std::string fs;
  bool found = true;  // the parts so far exist, so the next one may
  for (size_t start = 0;;) {
    const size_t slash = ansiPath.find('/', start);
    const std::string_view part = ansiPath.substr(start, slash - start);
    const std::string partUtf8 = AnsiToUtf8(part);
    if (!found || partUtf8 == part || Exists(fs + partUtf8)) {
      fs += partUtf8;
    } else if (Exists(fs + std::string(part))) {
      fs += part;
    } else {
      fs += partUtf8;
      found = false;
    }
    if (slash == std::string_view::npos) break;
    fs += '/';
    start = slash + 1;
  }
  return fs;
}

namespace {

// Runs of U+FFFD as one: decoders differ in how many they make for the same bytes.
std::u16string WithReplacementRunsJoined(std::u16string_view text) {
  std::u16string joined;
  for (char16_t u : text) {
    if (u != 0xFFFD || joined.empty() || joined.back() != 0xFFFD) joined += u;
  }
  return joined;
}

}  // namespace

std::string ShownPathToAnsi(std::u16string_view shown) {
  if (shown.find(u'\uFFFD') == std::u16string_view::npos) return Utf16ToAnsi(shown);
  std::string fs;  // file-system bytes of the parts so far
  for (size_t start = 0;;) {
    const size_t slash = shown.find(u'/', start);
    const std::u16string_view part = shown.substr(start, slash - start);
    std::string name = Utf16ToUtf8(part);
    if (part.find(u'\uFFFD') != std::u16string_view::npos) {
      const std::u16string key = WithReplacementRunsJoined(part);
      if (DIR* dir = opendir(fs.empty() ? "." : fs.c_str())) {
        int matches = 0;
        std::string match;
        while (struct dirent* de = readdir(dir)) {
          if (WithReplacementRunsJoined(Utf8ToUtf16(de->d_name)) == key) {
            ++matches;
            match = de->d_name;
          }
        }
        closedir(dir);
        if (matches == 1) name = match;
      }
    }
    fs += name;
    if (slash == std::u16string_view::npos) break;
    fs += '/';
    start = slash + 1;
  }
  return Utf8ToAnsi(fs);
}

std::string ExpandFileName(std::string_view path) {
  std::string full;
  if (path.empty() || path[0] != '/') {
    std::string cwd(4096, '\0');
    if (getcwd(cwd.data(), cwd.size()) != nullptr) {
      cwd.resize(std::strlen(cwd.c_str()));
      full = Utf8ToAnsi(cwd);
    }
    full += '/';
  }
  full += path;
  // Resolve "." and ".." and repeated separators lexically.
  std::vector<std::string_view> parts;
  std::string_view rest(full);
  while (!rest.empty()) {
    size_t slash = rest.find('/');
    std::string_view part = rest.substr(0, slash);
    rest = slash == std::string_view::npos ? std::string_view() : rest.substr(slash + 1);
    if (part.empty() || part == ".") continue;
    if (part == "..") {
      if (!parts.empty()) parts.pop_back();
      continue;
    }
    parts.push_back(part);
  }
  std::string result;
  for (std::string_view part : parts) {
    result += '/';
    result += part;
  }
  if (result.empty() || (!path.empty() && path.back() == '/')) result += '/';
  return result;
}

std::string SysErrorText(int err) {
  char buffer[256];
  // GNU strerror_r returns the text, which may or may not live in buffer.
  std::string text = strerror_r(err, buffer, sizeof buffer);
  while (!text.empty() &&
         (text.back() == ' ' || text.back() == '\r' || text.back() == '\n' || text.back() == '.')) {
    text.pop_back();
  }
  return Utf8ToAnsi(text);
}

void RaiseOpenError(std::string_view path, int err) {
  std::string expanded = ExpandFileName(path);
  throw EFOpenError("Cannot open file \"" + expanded + "\". " + SysErrorText(err), expanded, err);
}

void RaiseCreateError(std::string_view path, int err) {
  std::string expanded = ExpandFileName(path);
  throw EFCreateError("Cannot create file \"" + expanded + "\". " + SysErrorText(err), expanded,
                      err);
}

void RaiseReadError(std::string_view path, int err) {
  std::string expanded = ExpandFileName(path);
  throw EReadError("Stream read error: \"" + expanded + "\". " +
                       (err == 0 ? std::string("Unexpected end of file") : SysErrorText(err)),
                   expanded, err);
}

void RaiseWriteError(std::string_view path, int err) {
  std::string expanded = ExpandFileName(path);
  throw EWriteError(
      "Stream write error: \"" + expanded + "\". " + SysErrorText(err == 0 ? EIO : err), expanded,
      err);
}

int64_t RequireRegularFile(int fd, std::string_view path) {
  struct stat st;
  if (fstat(fd, &st) != 0) RaiseOpenError(path, errno);
  bool regular = S_ISREG(st.st_mode);
  if (regular && st.st_size == 0) {
    char c;
    regular = pread(fd, &c, 1, 0) <= 0;  // an empty file has nothing to give
  }
  if (!regular) {
    std::string expanded = ExpandFileName(path);
    throw EFOpenError("Cannot open file \"" + expanded + "\". Not a regular file", expanded, 0);
  }
  return static_cast<int64_t>(st.st_size);
}

std::string ExtractFileName(std::string_view path) {
  size_t slash = path.rfind('/');
  return std::string(slash == std::string_view::npos ? path : path.substr(slash + 1));
}

std::string ExtractFilePath(std::string_view path) {
  size_t slash = path.rfind('/');
  return slash == std::string_view::npos ? std::string() : std::string(path.substr(0, slash + 1));
}

std::string ExtractFileExt(std::string_view path) {
  // In GB18030 no trail byte equals "." or "/", so a byte scan is safe.
  size_t dot = path.rfind('.');
  size_t slash = path.rfind('/');
  if (dot == std::string_view::npos) return {};
  if (slash != std::string_view::npos && slash > dot) return {};
  return std::string(path.substr(dot));
}

namespace {

void FillInfo(const struct stat& st, const std::string& fsPath, std::string_view name,
              TFileInfo& info) {
  info.mtime = st.st_mtime;
  info.regular = S_ISREG(st.st_mode);
  info.device = static_cast<uint64_t>(st.st_dev);
  info.inode = static_cast<uint64_t>(st.st_ino);
  if (S_ISDIR(st.st_mode)) {
    info.attributes = faDirectory;
    info.size = 0;
  } else {
    info.attributes = faArchive;
    info.size = static_cast<int64_t>(st.st_size);
    if (access(fsPath.c_str(), W_OK) != 0) info.attributes |= faReadOnly;
  }
  if (!name.empty() && name[0] == '.') info.attributes |= faHidden;
}

bool StatPath(std::string_view path, struct stat& st) {
  std::string fs = FsPath(path);
  return !fs.empty() && stat(fs.c_str(), &st) == 0;
}

char FoldAscii(char c) {
  return (c >= 'a' && c <= 'z') ? static_cast<char>(c - 32) : c;
}

}  // namespace

bool GetFileInfo(std::string_view path, TFileInfo& info) {
  const std::string fs = FsPath(path);
  struct stat st;
  if (fs.empty() || stat(fs.c_str(), &st) != 0) return false;
  info.name = ExtractFileName(path);
  FillInfo(st, fs, info.name, info);
  return true;
}

bool FileExists(std::string_view path) {
  struct stat st;
  return StatPath(path, st) && !S_ISDIR(st.st_mode);
}

int64_t FileSize(std::string_view path) {
  struct stat st;
  return StatPath(path, st) ? static_cast<int64_t>(st.st_size) : -1;
}

bool DirectoryExists(std::string_view path) {
  struct stat st;
  return StatPath(path, st) && S_ISDIR(st.st_mode);
}

std::vector<TFileInfo> ListDirectory(std::string_view folder) {
  std::vector<TFileInfo> entries;
  std::string fsFolder = FsPath(folder);
  if (fsFolder.empty()) fsFolder = ".";
  if (fsFolder.back() != '/') fsFolder += '/';
  DIR* dir = opendir(fsFolder.c_str());
  if (dir == nullptr) return entries;
  while (struct dirent* de = readdir(dir)) {
    std::string fsName = de->d_name;
    if (fsName == "." || fsName == "..") continue;
    struct stat st;
    std::string fsPath = fsFolder + fsName;
    if (stat(fsPath.c_str(), &st) != 0) continue;  // dangling link, vanished entry
    TFileInfo info;
    info.name = Utf8ToAnsi(fsName);
    FillInfo(st, fsPath, info.name, info);
    entries.push_back(std::move(info));
  }
  closedir(dir);
  // Names that differ only in letter case fold to the same key; their bytes decide, so the
  // order never depends on the order the file system happened to return them in.
  auto folded = [](const std::string& a, const std::string& b) {
    return std::lexicographical_compare(a.begin(), a.end(), b.begin(), b.end(), [](char x, char y) {
      return static_cast<unsigned char>(FoldAscii(x)) < static_cast<unsigned char>(FoldAscii(y));
    });
  };
  std::sort(entries.begin(), entries.end(), [&](const TFileInfo& a, const TFileInfo& b) {
    if (folded(a.name, b.name)) return true;
    if (folded(b.name, a.name)) return false;
    return std::lexicographical_compare(
        a.name.begin(), a.name.end(), b.name.begin(), b.name.end(), [](char x, char y) {
          return static_cast<unsigned char>(x) < static_cast<unsigned char>(y);
        });
  });
  return entries;
}

bool CreateDir(std::string_view path) {
  return mkdir(FsPath(path).c_str(), 0777) == 0;
}

bool DeleteFile(std::string_view path) {
  return unlink(FsPath(path).c_str()) == 0;
}

namespace {

// Removes what the folder open at dir holds; links are removed, not followed.
void RemoveContents(int dir) {
  DIR* listing = fdopendir(dir);
  if (listing == nullptr) {
    close(dir);
    return;
  }
  while (struct dirent* de = readdir(listing)) {
    const std::string_view name = de->d_name;
    if (name == "." || name == "..") continue;
    bool folder = de->d_type == DT_DIR;
    if (de->d_type == DT_UNKNOWN) {
      struct stat st;
      folder =
          fstatat(dirfd(listing), de->d_name, &st, AT_SYMLINK_NOFOLLOW) == 0 && S_ISDIR(st.st_mode);
    }
    if (folder) {
      const int sub =
          openat(dirfd(listing), de->d_name, O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
      if (sub >= 0) RemoveContents(sub);
    }
    unlinkat(dirfd(listing), de->d_name, folder ? AT_REMOVEDIR : 0);
  }
  closedir(listing);
}

bool RemoveTreeFs(const std::string& fsPath) {
  struct stat st;
  if (lstat(fsPath.c_str(), &st) != 0) return errno == ENOENT;
  if (!S_ISDIR(st.st_mode)) return unlink(fsPath.c_str()) == 0;
  const int dir = open(fsPath.c_str(), O_RDONLY | O_DIRECTORY | O_NOFOLLOW | O_CLOEXEC);
  if (dir >= 0) RemoveContents(dir);
  return rmdir(fsPath.c_str()) == 0;
}

}  // namespace

bool RemoveTree(std::string_view path) {
  std::string fs = FsPath(path);
  while (fs.size() > 1 && fs.back() == '/')
    fs.pop_back();
  return !fs.empty() && RemoveTreeFs(fs);
}

int64_t FreeSpace(std::string_view path) {
  struct statvfs fs;
  if (statvfs(FsPath(path).c_str(), &fs) != 0) return -1;
  return static_cast<int64_t>(fs.f_bavail) * static_cast<int64_t>(fs.f_frsize);
}

bool CopyFileNoOverwrite(std::string_view from, std::string_view to) {
  int in = open(FsPath(from).c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  std::string fsTo = FsPath(to);
  int out = open(fsTo.c_str(), O_WRONLY | O_CREAT | O_EXCL | O_CLOEXEC, 0666);
  if (out < 0) {
    close(in);
    return false;
  }
  bool ok = true;
  char buffer[65536];
  for (;;) {
    ssize_t got = read(in, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    for (ssize_t done = 0; done < got;) {
      ssize_t put = write(out, buffer + done, static_cast<size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      if (put <= 0) {
        ok = false;
        break;
      }
      done += put;
    }
    if (!ok) break;
  }
  close(in);
  if (close(out) != 0) ok = false;
  if (!ok) unlink(fsTo.c_str());
  return ok;
}

bool GetFileStamp(int fd, TFileStamp& stamp) {
  struct stat st;
  if (fstat(fd, &st) != 0) return false;
  stamp.device = static_cast<uint64_t>(st.st_dev);
  stamp.inode = static_cast<uint64_t>(st.st_ino);
  stamp.size = static_cast<int64_t>(st.st_size);
  stamp.mtimeSec = static_cast<int64_t>(st.st_mtim.tv_sec);
  stamp.mtimeNsec = static_cast<int64_t>(st.st_mtim.tv_nsec);
  stamp.ctimeSec = static_cast<int64_t>(st.st_ctim.tv_sec);
  stamp.ctimeNsec = static_cast<int64_t>(st.st_ctim.tv_nsec);
  return true;
}

}  // namespace lumbrella
