// Updating an archive that already exists at ZipName: the temporary output, the merge of the
// old entries with the files to pack, and the replacement of the target.
//
// The existing file stays whole until the new archive takes its place in one rename():
// the temporary file is made beside the target (a link is followed to the file it names),
// gets the target's permission bits, is synced, and then renamed over it; the folder is
// synced last. Any failure before the rename removes the temporary file and leaves the
// target as it was.
#include <dirent.h>
#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <climits>
#include <cstdlib>
#include <deque>
#include <unordered_map>

#include "platform/codepage.h"
#include "platform/files.h"
#include "zip/dostime.h"
#include "zip/errors.h"
#include "zip/packer.h"
#include "zip/packer_work.h"

namespace lumbrella {

namespace {

constexpr const char* kTempPrefix = "WTX";

// The file a path names, through any links (ANSI); the path itself when it cannot be
// resolved.
std::string ResolveLinks(const std::string& path) {
  char resolved[PATH_MAX];
  if (realpath(FsPath(path).c_str(), resolved) == nullptr) return path;
  return Utf8ToAnsi(resolved);
}

// A new, empty file "WTX" + six random characters in folder (ANSI, ending in "/" or
// empty), made with O_EXCL so that nothing already there is reused. Returns its path.
std::string MakeTempFile(const std::string& folder) {
  std::string pattern = FsPath(folder + kTempPrefix) + "XXXXXX";
  int fd = mkostemp(pattern.data(), O_CLOEXEC);
  if (fd < 0) RaiseCreateError(folder + kTempPrefix, errno);
  close(fd);
  return Utf8ToAnsi(pattern);
}

// Sets the permission bits and makes the file's bytes durable.
bool FinishFile(const std::string& path, const struct stat* mode) {
  int fd = open(FsPath(path).c_str(), O_RDONLY | O_CLOEXEC);
  if (fd < 0) return false;
  bool ok = (mode == nullptr || fchmod(fd, mode->st_mode & 07777) == 0) && fsync(fd) == 0;
  return close(fd) == 0 && ok;
}

bool CopyContents(const std::string& from, const std::string& to) {
  int in = open(FsPath(from).c_str(), O_RDONLY | O_CLOEXEC);
  if (in < 0) return false;
  int out = open(FsPath(to).c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
  bool ok = out >= 0;
  char buffer[65536];
  while (ok) {
    ssize_t got = read(in, buffer, sizeof buffer);
    if (got < 0 && errno == EINTR) continue;
    if (got <= 0) {
      ok = got == 0;
      break;
    }
    for (ssize_t done = 0; ok && done < got;) {
      ssize_t put = write(out, buffer + done, static_cast<size_t>(got - done));
      if (put < 0 && errno == EINTR) continue;
      ok = put > 0;
      if (ok) done += put;
    }
  }
  close(in);
  if (out >= 0 && close(out) != 0) ok = false;
  return ok;
}

void SyncFolder(const std::string& folder) {
  int fd = open(FsPath(folder.empty() ? std::string(".") : folder).c_str(),
                O_RDONLY | O_DIRECTORY | O_CLOEXEC);
  if (fd < 0) return;
  fsync(fd);  // the rename is done; a failure here cannot be undone either
  close(fd);
}

}  // namespace

std::string TZipPacker::CreateUpdateTempFile() {
  updateTarget_ = ResolveLinks(zipName_);
  std::string folder = ExtractFilePath(updateTarget_);
  if (!TempPath.empty() && DirectoryExists(TempPath)) {
    folder = TempPath.back() == '/' ? TempPath : TempPath + "/";
  }
  return MakeTempFile(folder);
}

void TZipPacker::MergeExistingArchive(Work& work) {
  Open();
  // The remaining FilesList lines by lowercased stored name, each name's lines in list
  // order; a matched line is marked and later erased.
  std::unordered_map<std::string, std::deque<size_t>> lines;
  for (size_t i = 0; i < filesList_.size(); ++i) {
    lines[LowerAsciiLetters(StoredName(filesList_[i]))].push_back(i);
  }
  std::vector<bool> used(filesList_.size(), false);

  for (size_t i = 0; i < directory_->Count(); ++i) {
    if (CancelRequested()) {
      ResetCancel();
      throw EUserCanceled("User Aborted Operation");
    }
    const TZipHeaderInfo& old = *directory_->Item(i);
    long match = -1;
    auto found = lines.find(LowerAsciiLetters(old.FullName()));
    if (found != lines.end() && !found->second.empty()) {
      match = static_cast<long>(found->second.front());
      found->second.pop_front();
      used[static_cast<size_t>(match)] = true;
    }
    bool replace = false;
    if (match >= 0) {
      if (ZipAction == zaReplace) {
        replace = true;
      } else {
        TFileInfo info;
        replace = GetFileInfo(filesList_[static_cast<size_t>(match)], info) &&
                  EntryDosDateTime(i) < TimeToDosDateTime(info.mtime);
      }
    }
    if (replace) {
      if (OnUpdate) OnUpdate(uaReplacing, old.FullName());
      // Written now, so that the file takes the old entry's place. Should it be skipped,
      // the old entry is kept rather than lost, unless its name is taken already.
      if (WriteOneFile(work, filesList_[static_cast<size_t>(match)]) ||
          work.byName.FindName(old.FullName()) >= 0) {
        continue;
      }
    } else if (OnUpdate) {
      OnUpdate(uaKeeping, old.FullName());
    }
    auto kept = std::make_unique<TZipHeaderInfo>(old);
    CopyEntry(*kept, *work.out);
    work.AddEntry(std::move(kept));
  }

  std::vector<std::string> rest;
  if (ZipAction != zaFreshen) {  // freshening adds no new files
    for (size_t i = 0; i < filesList_.size(); ++i) {
      if (!used[i]) rest.push_back(filesList_[i]);
    }
  }
  filesList_ = std::move(rest);
}

void TZipPacker::ReplaceTarget(Work& work) {
  InvalidateHeldDirectory();
  std::string target = updateTarget_.empty() ? ResolveLinks(zipName_) : updateTarget_;
  std::string folder = ExtractFilePath(target);
  struct stat targetStat;
  const struct stat* mode = stat(FsPath(target).c_str(), &targetStat) == 0 ? &targetStat : nullptr;

  // A temporary file in another folder (TempPath) is first copied beside the target, so
  // that the last step is always a rename within one folder and file system.
  std::string source = work.outputPath;
  std::string beside;
  if (ExtractFilePath(work.outputPath) != folder) {
    try {
      beside = MakeTempFile(folder);
    } catch (const EFCreateError&) {
      beside.clear();
    }
    if (beside.empty() || !CopyContents(work.outputPath, beside)) {
      if (!beside.empty()) DeleteFile(beside);
      beside.clear();
      source.clear();
    } else {
      source = beside;
    }
  }
  if (source.empty() || !FinishFile(source, mode) ||
      rename(FsPath(source).c_str(), FsPath(target).c_str()) != 0) {
    if (!beside.empty()) DeleteFile(beside);
    throw Exception("Error: Could not copy from " + work.outputPath + " -> " + zipName_);
  }
  if (!beside.empty()) DeleteFile(work.outputPath);
  SyncFolder(folder);
  updateTarget_.clear();
}

}  // namespace lumbrella
