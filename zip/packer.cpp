#include "zip/packer.h"

#include <fcntl.h>
#include <sys/stat.h>

#include <algorithm>
#include <cerrno>
#include <ctime>
#include <utility>

#include "platform/codepage.h"
#include "platform/dirsearch.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/progress.h"
#include "platform/stream.h"
#include "zip/deflate.h"
#include "zip/dostime.h"
#include "zip/errors.h"
#include "zip/headers.h"
#include "zip/packer_work.h"

namespace lumbrella {

namespace {

constexpr uint32_t kSearchableBits = faHidden | faSysFile | faDirectory;

bool HasWildcard(std::string_view text) {
  return text.find_first_of("*?<>|") != text.npos;
}

// Without leading and trailing blanks and control characters.
std::string TrimBlank(const std::string& text) {
  auto blank = [](char c) { return static_cast<unsigned char>(c) <= ' '; };
  auto first = std::find_if_not(text.begin(), text.end(), blank);
  auto last = std::find_if_not(text.rbegin(), text.rend(), blank).base();
  return first < last ? std::string(first, last) : std::string();
}

bool MatchesList(const std::vector<std::string>& patterns, const std::string& fullPath,
                 const std::string& fileName, bool fullPathForFolders) {
  for (const std::string& pattern : patterns) {
    bool onPath = fullPathForFolders && pattern.find('/') != pattern.npos;
    if (MatchesWildcard(pattern, onPath ? fullPath : fileName)) return true;
  }
  return false;
}

// The file a path leads to (device and inode), or {0, 0} when there is none.
std::pair<uint64_t, uint64_t> FileIdentity(const std::string& path) {
  TFileInfo info;
  if (!GetFileInfo(path, info)) return {0, 0};
  return {info.device, info.inode};
}

void SeekOutput(TStream& out, int64_t position) {
  if (out.Seek(position, TSeekOrigin::soBeginning) != position) {
    throw EPackerError("Cannot move to position " + std::to_string(position) + " of the archive");
  }
}

uint16_t LevelFlags(int level) {
  return level <= 2 ? 4 : level >= 8 ? 2 : 0;
}

// A file without a name in folder, gone with its descriptor; none where the file system
// cannot make one (the archive is then written beside its target directly).
std::unique_ptr<TBufferedFileStream> OpenScratchFile(const std::string& folder) {
  int fd = open(FsPath(folder).c_str(), O_TMPFILE | O_RDWR | O_CLOEXEC, 0600);
  if (fd < 0) return nullptr;
  return std::make_unique<TBufferedFileStream>(fd, folder);
}

}  // namespace

// --- Work ---------------------------------------------------------------------------------

void TZipPacker::Work::AddEntry(std::unique_ptr<TZipHeaderInfo> entry) {
  std::string name = entry->FullName();
  if (names.count(name) != 0) throw EListError("Duplicate Object index");
  entries->Add(std::move(entry));
  foldedNames.insert(LowerAsciiLetters(name));
  names.insert(std::move(name));
  ++end.totalEntries;
}

// --- Settings -----------------------------------------------------------------------------

TZipPacker::TZipPacker() = default;
TZipPacker::~TZipPacker() = default;

void TZipPacker::SetRecurse(bool on) {
  recurse_ = on;
}

void TZipPacker::SetStorePaths(bool on) {
  if (on == storePaths_) return;
  storePaths_ = on;
  if (!on) {
    SetStoreVolumes(false);
    SetRelativePaths(false);
  }
}

void TZipPacker::SetRelativePaths(bool on) {
  if (on == relativePaths_) return;
  relativePaths_ = on;
  if (on) {
    SetStorePaths(true);
    SetRecurse(true);
  }
}

void TZipPacker::SetStoreVolumes(bool on) {
  if (on == storeVolumes_) return;
  storeVolumes_ = on;
  if (on) SetStorePaths(true);
}

bool TZipPacker::IncludeHiddenFiles() const {
  return (attributeMask_ & faHidden) != 0;
}
bool TZipPacker::IncludeSysFiles() const {
  return (attributeMask_ & faSysFile) != 0;
}
bool TZipPacker::IncludeReadOnlyFiles() const {
  return (attributeMask_ & faReadOnly) != 0;
}
bool TZipPacker::IncludeArchiveFiles() const {
  return (attributeMask_ & faArchive) != 0;
}

namespace {
void SetBit(uint32_t& mask, uint32_t bit, bool on) {
  mask = on ? mask | bit : mask & ~bit;
}
}  // namespace

void TZipPacker::SetIncludeHiddenFiles(bool on) {
  SetBit(attributeMask_, faHidden, on);
}
void TZipPacker::SetIncludeSysFiles(bool on) {
  SetBit(attributeMask_, faSysFile, on);
}
void TZipPacker::SetIncludeReadOnlyFiles(bool on) {
  SetBit(attributeMask_, faReadOnly, on);
}
void TZipPacker::SetIncludeArchiveFiles(bool on) {
  SetBit(attributeMask_, faArchive, on);
}

// --- Names --------------------------------------------------------------------------------

bool TZipPacker::Excluded(const std::string& path) const {
  return !excludeList_.empty() && MatchesList(excludeList_, path, ExtractFileName(path), true);
}

bool TZipPacker::NoCompress(const std::string& fileName) const {
  return !noCompressList_.empty() && MatchesList(noCompressList_, fileName, fileName, false);
}

void TZipPacker::StoredName(const std::string& path, std::string& dir, std::string& file) const {
  std::string p = OEMConvert == oemAlways ? OemToAnsi(AnsiToOem(path)) : path;
  file = ExtractFileName(p);
  dir.clear();
  if (!storePaths_) return;
  std::string folder = ExtractFilePath(p);
  if (relativePaths_) {
    for (const std::string& prefix : relativePathList_) {
      if (prefix.size() <= folder.size() &&
          CompareNamesIgnoringCase(folder.substr(0, prefix.size()), prefix) == 0) {
        folder.erase(0, prefix.size());
        break;
      }
    }
  }
  // What is left may still be absolute or climb with "..": an archive must never name a
  // place outside the folder it is extracted into, so only plain components are kept.
  size_t start = 0;
  while (start < folder.size()) {
    size_t slash = folder.find('/', start);
    if (slash == folder.npos) slash = folder.size();
    std::string part = folder.substr(start, slash - start);
    if (!part.empty() && part != "." && part != "..") dir += part + '/';
    start = slash + 1;
  }
}

std::string TZipPacker::StoredName(const std::string& path) const {
  std::string dir, file;
  StoredName(path, dir, file);
  return dir + file;
}

// --- Gathering ----------------------------------------------------------------------------

void TZipPacker::ExpandFilesList(Work& work) {
  work.totalBytes = 0;
  const uint32_t excludedBits = ~attributeMask_ & kSearchableBits;
  std::vector<std::string> kept;
  std::vector<std::string> wildcards;
  auto skip = [this](const std::string& path, TSkipReason reason) {
    bool retry = false;
    if (OnSkippingFile) OnSkippingFile(path, reason, retry);
  };

  for (const std::string& line : filesList_) {
    if (!line.empty() && line.back() == '/') {
      kept.push_back(line);
    } else if (HasWildcard(line)) {
      wildcards.push_back(line);
    } else {
      std::string path = line.find('/') == line.npos ? rootDir_ + line : line;
      TFileInfo info;
      if (Excluded(path)) {
        skip(path, srExcludeList);
      } else if (!GetFileInfo(path, info) || info.IsDirectory() ||
                 (info.attributes & excludedBits) != 0) {
        if (OnNoSuchFile) OnNoSuchFile(path);
      } else {
        kept.push_back(path);
        work.totalBytes += info.size;
      }
    }
  }

  // The archive being written must not pack itself, however its path is reached (another
  // spelling, a linked folder); a name differing in letter case is another file here.
  const std::pair<uint64_t, uint64_t> target = FileIdentity(zipName_);
  for (std::string line : wildcards) {
    bool recurse = recurse_;
    if (line[0] == '|' || line[0] == '>') {
      recurse = line[0] == '>';
      line.erase(0, 1);
    }
    std::string folder = ExtractFilePath(line);
    if (folder.empty()) folder = rootDir_;
    if (!HasWildcard(folder) && !folder.empty() && !DirectoryExists(folder)) {
      if (OnNoSuchFile) OnNoSuchFile(line);
      continue;
    }
    std::string pattern = ExtractFileName(line);
    if (pattern == "*.*") pattern = "*";
    TDirSearch search(folder, pattern, excludedBits, recurse);
    TDirSearch::TFound found;
    while (search.Next(found)) {
      ProcessMessages();
      if (OnRecursingFile) OnRecursingFile(found.path);
      if (found.path.back() == '/') {
        if (AddDirEntriesOnRecurse) kept.push_back(found.path);
      } else if (Excluded(found.path)) {
        skip(found.path, srExcludeList);
      } else if (target.second == 0 ||
                 std::make_pair(found.info.device, found.info.inode) != target) {
        kept.push_back(found.path);
        work.totalBytes += found.info.size;
      }
    }
  }
  filesList_ = std::move(kept);
}

// --- Writing ------------------------------------------------------------------------------

void TZipPacker::TotalPercentDone(int percent) {
  if (OnTotalPercentDone) OnTotalPercentDone(percent);
  if (Progress) Progress->Percent(TWorkStage::wsPacking, percent);
}

void TZipPacker::BlockWritten(Work& work, uint64_t fileBytes, uint64_t fileSize,
                              uint64_t& reported) {
  work.bytesDone += static_cast<int64_t>(fileBytes - reported);
  reported = fileBytes;
  if (OnFilePercentDone) {
    OnFilePercentDone(
        fileSize == 0 ? 100
                      : static_cast<int>(std::min<uint64_t>(fileBytes, fileSize) * 100 / fileSize));
  }
  if (work.totalBytes > 0) {
    int percent = static_cast<int>(std::min<int64_t>(work.bytesDone, work.totalBytes) * 100 /
                                   work.totalBytes);
    if (percent != work.lastPercent) {
      work.lastPercent = percent;
      TotalPercentDone(percent);
    }
  }
  ProcessMessages();
}

bool TZipPacker::WriteOneFile(Work& work, const std::string& path) {
  auto entry = std::make_unique<TZipHeaderInfo>();
  entry->nameMode = OEMConvert;
  auto skip = [this, &path](TSkipReason reason) {
    bool retry = false;
    if (OnSkippingFile) OnSkippingFile(path, reason, retry);
    return false;
  };
  TStream& out = *work.out;
  const bool folderEntry = !path.empty() && path.back() == '/';

  TFileInfo info;
  std::unique_ptr<TBufferedFileStream> source;
  TFileStamp stamp;
  uint64_t size = 0;
  if (folderEntry) {
    bool found = GetFileInfo(path.substr(0, path.size() - 1), info);
    entry->dateTime = TimeToDosDateTime(found ? info.mtime : std::time(nullptr));
    entry->externalAttributes = found ? info.attributes : faDirectory;
    entry->method = 0;
    entry->crc32 = 0;
  } else {
    if (!GetFileInfo(path, info) || info.IsDirectory()) {
      if (OnNoSuchFile) OnNoSuchFile(path);
      return false;
    }
    entry->externalAttributes = info.attributes;
    // Opening a pipe or a device may wait forever, and reading one may never end.
    if (!info.regular) return skip(srFileOpenError);
    for (;;) {
      try {
        source = std::make_unique<TBufferedFileStream>(path, TFileMode::fmOpenRead);
        break;
      } catch (const Exception&) {
        bool retry = false;
        if (OnSkippingFile) OnSkippingFile(path, srFileOpenError, retry);
        if (!retry) return false;
      }
    }
    if (!GetFileStamp(source->Handle(), stamp)) return skip(srFileOpenError);
    entry->dateTime = TimeToDosDateTime(static_cast<std::time_t>(stamp.mtimeSec));
    size = static_cast<uint64_t>(stamp.size);
    entry->uncompressedSize = size;
  }

  std::string dir, file;
  StoredName(path, dir, file);
  entry->SetPath(dir);
  entry->SetFileName(file);
  if (entry->FullName().empty()) return false;  // the root folder itself has no name
  entry->relativeOffset = static_cast<uint64_t>(out.Position());
  entry->internalAttributes = 0;
  entry->diskNumberStart = 0;

  if (work.foldedNames.count(LowerAsciiLetters(entry->FullName())) != 0) {
    return skip(srNoOverwrite);
  }
  if (OnStartZip) {
    bool skipIt = false;
    OnStartZip(path, *entry, skipIt);
    if (skipIt) {
      source.reset();
      return skip(srSkippedInStartZip);
    }
  }

  if (folderEntry) {
    entry->flags = LevelFlags(PackLevel);
    WriteEntryHeader(*entry, out, true);
  } else {
    const bool store = PackLevel == 0 || NoCompress(entry->FileName());
    entry->method = store ? 0 : 8;
    entry->flags = LevelFlags(PackLevel);
    if (store) entry->internalAttributes = 0;
    const bool copied =
        work.updateMode &&
        CopyUnchangedData(work, *entry, *source, size,
                          KnownCrcs ? KnownCrcs->Find(stamp) : std::optional<uint32_t>());
    if (!copied) WriteEntryData(work, *entry, *source, store, size, path);
    source.reset();
  }

  if (OnEndZip) OnEndZip(path, entry->uncompressedSize, entry->compressedSize);
  work.AddEntry(std::move(entry));
  ++work.written;
  return true;
}

void TZipPacker::WriteEntryData(Work& work, TZipHeaderInfo& entry, TStream& source, bool store,
                                uint64_t size, const std::string& path) {
  TStream& out = *work.out;
  // The provisional header must be as long as the final one: a source that might end
  // up with sizes of 4 GiB or more gets the Zip64 sizes from the start. The source is
  // read up to the size it had when opened, so a file that grows meanwhile (the archive
  // itself reached through a link, say) neither outgrows that room nor runs forever.
  entry.reserveZip64 = size >= kZip64ReserveThreshold;
  entry.crc32 = 0xFFFFFFFF;
  entry.compressedSize = 0;
  entry.method = 8;
  entry.flags = 0;
  WriteEntryHeader(entry, out, true);

  uint32_t crc = 0xFFFFFFFF;
  uint64_t reported = 0;
  TBlockDone blockDone = [&](uint64_t read) { BlockWritten(work, read, size, reported); };
  TEntryData data = store ? StoreEntry(source, out, crc, size, blockDone)
                          : work.deflater.Deflate(source, out, PackLevel, crc, size, blockDone);
  work.bytesDone += static_cast<int64_t>(size - reported);  // bytes a short read never gave
  entry.crc32 = ~crc;
  entry.compressedSize = data.written;
  entry.uncompressedSize = data.read;
  if (store) {
    entry.method = 0;
    entry.internalAttributes = 0;
  }
  entry.flags = LevelFlags(PackLevel);
  if (data.read < size && OnShortRead) OnShortRead(path, size, data.read);

  int64_t end = out.Position();
  SeekOutput(out, static_cast<int64_t>(entry.relativeOffset));
  WriteEntryHeader(entry, out, true);
  SeekOutput(out, end);
}

// --- The operation ------------------------------------------------------------------------

int TZipPacker::Zip() {
  if (TrimBlank(zipName_).empty()) return 0;
  ResetCancel();
  struct Finish {
    TZipPacker& packer;
    bool keepZipOpen;
    ~Finish() {
      packer.KeepZipOpen = keepZipOpen;
      if (!keepZipOpen) packer.Close();
      packer.filesList_.clear();
    }
  } finish{*this, KeepZipOpen};
  KeepZipOpen = true;

  Work work;
  try {
    ExpandFilesList(work);
    if (!filesList_.empty() && OnStartZipInfo) {
      bool stop = false;
      OnStartZipInfo(filesList_.size(), work.totalBytes, stop);
      if (stop) throw EUserCanceled("User canceled Zip operation");
    }

    // From here on other writers of the file wait, so that an update reads the archive as
    // the one before it left it. Whoever waits is told, when it begins and when it is over.
    {
      struct TWaiting {
        TProgress* progress;
        const std::string& path;
        bool waited = false;
        ~TWaiting() {
          if (waited && progress) progress->Wait(false, path);
        }
      } waiting{Progress, zipName_};
      work.pending = std::make_unique<TPendingFile>(zipName_, [this, &waiting] {
        if (!waiting.waited && Progress) Progress->Wait(true, zipName_);
        waiting.waited = true;
        ProcessMessages();
      });
    }
    work.updateMode = work.pending->TargetExisted() && !ReplaceExisting;
    work.out = &work.pending->Stream();
    if (!TempPath.empty() && DirectoryExists(TempPath)) {
      work.scratch = OpenScratchFile(TempPath);
      if (work.scratch) work.out = work.scratch.get();
    }
    if (work.updateMode || endCentral_.modified) {
      work.end = endCentral_;
      work.end.entriesOnDisk = 0;
      work.end.totalEntries = 0;
      work.end.modified = false;
    }

    if (work.updateMode) MergeExistingArchive(work);
    for (size_t i = 0; i < filesList_.size(); ++i)
      WriteOneFile(work, filesList_[i]);
    WriteCentralDirectory(*work.out, *work.entries, work.end);
    if (work.scratch) {
      work.scratch->SetPosition(0);
      CopyStream(*work.scratch, work.pending->Stream(), UINT64_MAX);
      work.scratch.reset();
    }
    if (work.pending->TargetExisted()) {
      Close();
      ForgetArchive();
      InvalidateHeldDirectory();
    }
    try {
      work.pending->Commit();
    } catch (const EFCreateError&) {
      throw Exception("Error: Could not copy from " + work.pending->TempName() + " -> " + zipName_);
    }
  } catch (const EWriteError&) {
    // A write the disk refused, also when it shows only at a flush, fsync or close.
    throw ENotEnoughRoom();
  }

  directory_ = std::move(work.entries);
  endCentral_ = work.end;
  TFileInfo info;
  archiveDateTime_ = GetFileInfo(zipName_, info) ? info.mtime : 0;
  TotalPercentDone(100);
  if (OnZipComplete) OnZipComplete(work.written);
  return work.written;
}

void ConfigureBookPacker(TZipPacker& packer, const std::string& root, const std::string& archive) {
  packer.SetRootDir(root);
  packer.FilesList() = {"mimetype", "*.*"};
  packer.SetRelativePaths(true);
  packer.SetRecurse(true);
  packer.SetStorePaths(true);
  packer.SetZipName(archive);
  packer.NoCompressList() = {"mimetype"};
  packer.OwnsName = BookOwnsName;
}

bool BookOwnsName(std::string_view name) {
  const std::string folded = LowerAsciiLetters(std::string(name));
  const std::string_view n = folded;
  for (std::string_view own : {"mimetype", "meta-inf/container.xml", "oebps/content.opf",
                               "oebps/toc.ncx", "oebps/css/main.css", "oebps/cover.html"}) {
    if (n == own) return true;
  }
  constexpr std::string_view kCover = "oebps/images/cover";
  if (n.starts_with(kCover)) {
    const std::string_view ext = n.substr(kCover.size());
    return ext.empty() || (ext[0] == '.' && ext.find('/') == ext.npos);
  }
  // <n>.html or <n>-<k>.html
  constexpr std::string_view kFolder = "oebps/", kPage = ".html";
  if (!n.starts_with(kFolder) || !n.ends_with(kPage)) return false;
  const std::string_view stem = n.substr(kFolder.size(), n.size() - kFolder.size() - kPage.size());
  const auto digits = [](std::string_view part) {
    return !part.empty() && part.find_first_not_of("0123456789") == part.npos;
  };
  const size_t dash = stem.find('-');
  return dash == stem.npos ? digits(stem)
                           : digits(stem.substr(0, dash)) && digits(stem.substr(dash + 1));
}

}  // namespace lumbrella
