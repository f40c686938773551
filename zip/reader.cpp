// Reading an existing archive: the end record, the central directory (with the retry rule
// and the repair scan for a damaged one), comments on demand and the byte copy of a kept
// entry. The file may be anything, so every count, size and offset taken from it is checked
// against the file's size before it is used.
#include <sys/stat.h>
#include <zlib.h>

#include <algorithm>
#include <ctime>
#include <limits>

#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/stream.h"
#include "zip/errors.h"
#include "zip/reader.h"

namespace lumbrella {

namespace {

constexpr int64_t kEndSearchSpan = kEndCentralSize + 0xFFFF;  // 65,557
constexpr size_t kCopyBlock = 16384;
constexpr int64_t kScanMessageStep = 10240;
constexpr int64_t kExeScanStart = 14000;

uint16_t Get16(const uint8_t* p) {
  return static_cast<uint16_t>(p[0] | (p[1] << 8));
}
uint32_t Get32(const uint8_t* p) {
  return static_cast<uint32_t>(p[0]) | (static_cast<uint32_t>(p[1]) << 8) |
         (static_cast<uint32_t>(p[2]) << 16) | (static_cast<uint32_t>(p[3]) << 24);
}
uint64_t Get64(const uint8_t* p) {
  return static_cast<uint64_t>(Get32(p)) | (static_cast<uint64_t>(Get32(p + 4)) << 32);
}

// a + b, or false when the sum leaves the range of file positions.
bool AddChecked(uint64_t a, uint64_t b, uint64_t& sum) {
  if (a > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) - b) return false;
  sum = a + b;
  return true;
}

// Clamps each part of a DOS date-time into its range; a value already in range is kept.
uint32_t SanitizeDosDateTime(uint32_t value) {
  uint32_t seconds2 = value & 0x1F;
  uint32_t minutes = (value >> 5) & 0x3F;
  uint32_t hours = (value >> 11) & 0x1F;
  uint32_t day = (value >> 16) & 0x1F;
  uint32_t month = (value >> 21) & 0x0F;
  uint32_t year = (value >> 25) & 0x7F;
  if (seconds2 > 29) seconds2 = 29;
  if (minutes > 59) minutes = 59;
  if (hours > 23) hours = 23;
  if (year >= 120) year = 119;
  if (day == 0) day = 1;
  if (month == 0) month = 1;
  if (month > 12) month = 12;
  return seconds2 | (minutes << 5) | (hours << 11) | (day << 16) | (month << 21) | (year << 25);
}

bool IsLeapYear(int year) {
  return (year % 4 == 0 && year % 100 != 0) || year % 400 == 0;
}

// The DOS date-time as broken-down local time, or false when it names no calendar day.
bool DosToTm(uint32_t value, std::tm& tm) {
  int seconds = static_cast<int>(value & 0x1F) * 2;
  int minutes = static_cast<int>((value >> 5) & 0x3F);
  int hours = static_cast<int>((value >> 11) & 0x1F);
  int day = static_cast<int>((value >> 16) & 0x1F);
  int month = static_cast<int>((value >> 21) & 0x0F);
  int year = 1980 + static_cast<int>((value >> 25) & 0x7F);
  static constexpr int kDays[12] = {31, 28, 31, 30, 31, 30, 31, 31, 30, 31, 30, 31};
  if (month < 1 || month > 12 || day < 1 || hours > 23 || minutes > 59 || seconds > 59) {
    return false;
  }
  int days = kDays[month - 1] + (month == 2 && IsLeapYear(year) ? 1 : 0);
  if (day > days) return false;
  tm = std::tm{};
  tm.tm_sec = seconds;
  tm.tm_min = minutes;
  tm.tm_hour = hours;
  tm.tm_mday = day;
  tm.tm_mon = month - 1;
  tm.tm_year = year - 1900;
  tm.tm_isdst = -1;
  return true;
}

uint32_t NowAsDos() {
  std::time_t now = std::time(nullptr);
  std::tm tm{};
  localtime_r(&now, &tm);
  int year = std::clamp(tm.tm_year + 1900, 1980, 2107);
  return static_cast<uint32_t>(tm.tm_sec / 2) | (static_cast<uint32_t>(tm.tm_min) << 5) |
         (static_cast<uint32_t>(tm.tm_hour) << 11) | (static_cast<uint32_t>(tm.tm_mday) << 16) |
         (static_cast<uint32_t>(tm.tm_mon + 1) << 21) | (static_cast<uint32_t>(year - 1980) << 25);
}

// Stored names use "/" as this program's paths do; from a DOS host they are OEM text.
void SetEntryName(TZipHeaderInfo& entry, const std::string& stored, bool fromDosHost) {
  std::string name = fromDosHost ? OemToAnsi(stored) : stored;
  size_t slash = name.rfind('/');
  if (slash == std::string::npos) {
    entry.SetPath(std::string());
    entry.SetFileName(name);
  } else {
    entry.SetPath(name.substr(0, slash + 1));
    entry.SetFileName(name.substr(slash + 1));
  }
  entry.nameMode = fromDosHost ? oemAlways : oemNever;
}

// Takes the Zip64 values of an extra block's data: each one only when its 32-bit field
// holds the escape value, in the fixed order of the format. A value the block lacks keeps
// the escape value, so that the entry fails the later range checks instead of reading as 0.
void TakeZip64Values(TZipHeaderInfo& entry, const uint8_t* data, size_t size) {
  TZip64Block& z = entry.EnsureZip64();
  z.size = static_cast<uint16_t>(size);
  size_t p = 0;
  auto take64 = [&](uint64_t& value, uint32_t field) {
    if (field != 0xFFFFFFFF) return;
    value = field;
    if (p + 8 <= size) value = Get64(data + p);
    p += 8;
  };
  take64(z.uncompressedSize, entry.uncompressedSize);
  take64(z.compressedSize, entry.compressedSize);
  take64(z.relativeOffset, entry.relativeOffset);
  if (entry.diskNumberStart == 0xFFFF) {
    z.diskNumberStart = 0xFFFF;
    if (p + 4 <= size) z.diskNumberStart = Get32(data + p);
  }
}

// Escaped fields of an entry without a Zip64 block: the block is made with the escape values.
void FillMissingZip64(TZipHeaderInfo& entry) {
  bool escaped = entry.uncompressedSize == 0xFFFFFFFF || entry.compressedSize == 0xFFFFFFFF ||
                 entry.relativeOffset == 0xFFFFFFFF || entry.diskNumberStart == 0xFFFF;
  if (!escaped || entry.Zip64() != nullptr) return;
  TakeZip64Values(entry, nullptr, 0);
}

// Walks the blocks of an extra field. Takes the first Zip64 block, and returns the length of
// the part that can be carried into another archive: whole blocks only, ending before a
// second Zip64 block.
uint16_t WalkExtraField(TZipHeaderInfo& entry, const std::string& field, uint16_t& zip64Length,
                        bool& hadZip64) {
  const auto* data = reinterpret_cast<const uint8_t*>(field.data());
  size_t p = 0;
  zip64Length = 0;
  hadZip64 = false;
  while (p + 4 <= field.size()) {
    uint16_t id = Get16(data + p);
    uint16_t size = Get16(data + p + 2);
    if (p + 4 + size > field.size()) break;
    if (id == kZip64ExtraTag) {
      if (hadZip64) break;
      hadZip64 = true;
      zip64Length = static_cast<uint16_t>(size + 4);
      TakeZip64Values(entry, data + p + 4, size);
    }
    p += 4 + size;
  }
  return static_cast<uint16_t>(p);
}

}  // namespace

namespace {

// Reads up to count bytes at pos; fewer when the file ends first.
std::string ReadAt(TStream& s, uint64_t pos, size_t count) {
  std::string bytes;
  int64_t size = s.Size();
  if (pos >= static_cast<uint64_t>(size)) return bytes;
  count = static_cast<size_t>(std::min<uint64_t>(count, static_cast<uint64_t>(size) - pos));
  bytes.resize(count);
  s.SetPosition(static_cast<int64_t>(pos));
  bytes.resize(s.Read(bytes.data(), count));
  return bytes;
}

bool IsExeName(const std::string& path) {
  std::string ext = ExtractFileExt(path);
  for (char& c : ext) {
    if (c >= 'a' && c <= 'z') c = static_cast<char>(c - 'a' + 'A');
  }
  return ext == ".EXE";
}

std::string CompanionName(const std::string& path) {
  std::string ext = ExtractFileExt(path);
  return path.substr(0, path.size() - ext.size()) + ".zfc";
}

// Position of the entry with this disk and offset in a list sorted by them, or -1.
long FindByKey(const TSortedZip& list, uint32_t disk, uint64_t offset) {
  size_t lo = 0;
  size_t hi = list.Count();
  while (lo < hi) {
    size_t mid = lo + (hi - lo) / 2;
    const TZipHeaderInfo* e = list.Item(mid);
    uint32_t d = e->DiskNumberStart();
    uint64_t o = e->RelativeOffset();
    if (d == disk && o == offset) return static_cast<long>(mid);
    if (d < disk || (d == disk && o < offset)) {
      lo = mid + 1;
    } else {
      hi = mid;
    }
  }
  return -1;
}

}  // namespace

TZipReader::TFileStamp TZipReader::StampOf(int fd) {
  TFileStamp stamp;
  struct stat st;
  if (fstat(fd, &st) != 0) return stamp;
  stamp.device = static_cast<uint64_t>(st.st_dev);
  stamp.inode = static_cast<uint64_t>(st.st_ino);
  stamp.size = static_cast<int64_t>(st.st_size);
  stamp.mtimeSec = static_cast<int64_t>(st.st_mtim.tv_sec);
  stamp.mtimeNsec = static_cast<int64_t>(st.st_mtim.tv_nsec);
  return stamp;
}

bool TZipReader::FindEndCentral(TStream& s, TEndCentral& end, int64_t& directoryLimit) {
  end.Clear();
  directoryLimit = 0;
  int64_t size = s.Size();
  if (size == 0) return true;
  if (size < static_cast<int64_t>(kEndCentralSize)) return false;
  int64_t span = std::min(kEndSearchSpan, size);
  std::vector<uint8_t> buffer(static_cast<size_t>(span));
  if (s.Seek(size - span, TSeekOrigin::soBeginning) < 0 ||
      s.Read(buffer.data(), buffer.size()) != buffer.size()) {
    return false;
  }
  for (int64_t i = span - kEndCentralSize; i >= 0; --i) {
    const uint8_t* r = buffer.data() + i;
    if (r[0] != 0x50 || Get32(r) != kEndCentralSignature) continue;
    int64_t recordPos = size - span + i;
    end.thisDisk = Get16(r + 4);
    end.centralDisk = Get16(r + 6);
    end.entriesOnDisk = Get16(r + 8);
    end.totalEntries = Get16(r + 10);
    end.centralSize = Get32(r + 12);
    end.centralOffset = Get32(r + 16);
    end.commentLength = Get16(r + 20);
    end.commentPosition = recordPos + kEndCentralSize;
    directoryLimit = recordPos;
    if (i >= static_cast<int64_t>(kZip64LocatorSize) &&
        Get32(r - kZip64LocatorSize) == kZip64LocatorSignature) {
      const uint8_t* l = r - kZip64LocatorSize;
      auto locator = std::make_unique<TZip64Locator>();
      locator->zip64EndDisk = Get32(l + 4);
      locator->zip64EndOffset = Get64(l + 8);
      locator->totalDisks = Get32(l + 16);
      // The Zip64 end record must lie whole in front of the locator.
      uint64_t recordEnd = 0;
      if (AddChecked(locator->zip64EndOffset, kZip64EndCentralSize, recordEnd) &&
          recordEnd <= static_cast<uint64_t>(recordPos - kZip64LocatorSize)) {
        std::string bytes = ReadAt(s, locator->zip64EndOffset, kZip64EndCentralSize);
        const auto* z = reinterpret_cast<const uint8_t*>(bytes.data());
        if (bytes.size() == kZip64EndCentralSize && Get32(z) == kZip64EndCentralSignature) {
          auto record = std::make_unique<TZip64EndCentral>();
          record->recordSize = Get64(z + 4);
          record->versionMadeBy = Get16(z + 12);
          record->versionNeeded = Get16(z + 14);
          record->thisDisk = Get32(z + 16);
          record->centralDisk = Get32(z + 20);
          record->entriesOnDisk = Get64(z + 24);
          record->totalEntries = Get64(z + 32);
          record->centralSize = Get64(z + 40);
          record->centralOffset = Get64(z + 48);
          end.zip64End = std::move(record);
          end.zip64Locator = std::move(locator);
          directoryLimit = static_cast<int64_t>(end.zip64Locator->zip64EndOffset);
        }
      }
    }
    return end.ThisDisk() >= end.CentralDisk();
  }
  return false;
}

namespace {

// Reads a fixed header (h holds its size; it begins with signature), then the name and the
// extra field whose lengths lie at nameAt and nameAt + 2. A short read or another signature
// puts the position back and gives false. Without readExtra the extra field is left unread.
template <size_t N>
bool ReadHeaderParts(TStream& s, uint8_t (&h)[N], uint32_t signature, size_t nameAt, bool readExtra,
                     std::string& name, std::string& extra) {
  const int64_t start = s.Position();
  if (s.Read(h, N) != N || Get32(h) != signature) {
    s.SetPosition(start);
    return false;
  }
  name.assign(Get16(h + nameAt), '\0');
  extra.assign(readExtra ? Get16(h + nameAt + 2) : 0, '\0');
  if (s.Read(name.data(), name.size()) != name.size() ||
      s.Read(extra.data(), extra.size()) != extra.size()) {
    s.SetPosition(start);
    return false;
  }
  return true;
}

// A record about to be filled from a header: defaults, no Zip64 block, no comment.
void ResetEntry(TZipHeaderInfo& entry) {
  entry.Clear();
  entry.DropZip64();
  entry.ClearComment();
}

}  // namespace

bool TZipReader::ReadCentralHeader(TStream& s, TZipHeaderInfo& entry, bool ignoreExtra) {
  int64_t start = s.Position();
  uint8_t h[kCentralHeaderSize];
  std::string stored;
  std::string extra;
  if (!ReadHeaderParts(s, h, kCentralHeaderSignature, 28, !ignoreExtra, stored, extra)) {
    return false;
  }
  const auto extraLength = static_cast<uint16_t>(extra.size());
  int64_t extraPosition = start + kCentralHeaderSize + static_cast<int64_t>(stored.size());
  ResetEntry(entry);
  entry.versionMadeBy = Get16(h + 4);
  entry.versionNeeded = Get16(h + 6);
  entry.flags = Get16(h + 8);
  entry.method = Get16(h + 10);
  entry.dateTime = SanitizeDosDateTime(Get32(h + 12));
  entry.crc32 = Get32(h + 16);
  entry.compressedSize = Get32(h + 20);
  entry.uncompressedSize = Get32(h + 24);
  entry.centralExtraLength = extraLength;
  entry.localExtraLength = 0;
  entry.diskNumberStart = Get16(h + 34);
  entry.internalAttributes = Get16(h + 36);
  entry.externalAttributes = Get32(h + 38);
  entry.relativeOffset = Get32(h + 42);
  SetEntryName(entry, stored, (entry.versionMadeBy >> 8) == 0);
  entry.commentLength = Get16(h + 32);
  entry.centralHeaderPosition = start;
  entry.extraFieldPosition = 0;
  entry.extraLengthAsRead = 0;
  entry.zip64LengthAsRead = 0;
  if (extraLength != 0) {
    bool hadZip64 = false;
    uint16_t zip64Length = 0;
    entry.extraFieldPosition = extraPosition;
    entry.extraLengthAsRead = WalkExtraField(entry, extra, zip64Length, hadZip64);
    entry.zip64LengthAsRead = zip64Length;
  }
  FillMissingZip64(entry);
  s.Seek(entry.commentLength, TSeekOrigin::soCurrent);
  return true;
}

bool TZipReader::ReadLocalHeader(TStream& s, TZipHeaderInfo& entry) {
  int64_t start = s.Position();
  uint8_t h[kLocalHeaderSize];
  std::string stored;
  std::string extra;
  if (!ReadHeaderParts(s, h, kLocalHeaderSignature, 26, true, stored, extra)) return false;
  const auto extraLength = static_cast<uint16_t>(extra.size());
  ResetEntry(entry);
  entry.versionMadeBy = 0;
  entry.versionNeeded = Get16(h + 4);
  entry.flags = Get16(h + 6);
  entry.method = Get16(h + 8);
  entry.dateTime = SanitizeDosDateTime(Get32(h + 10));
  entry.crc32 = Get32(h + 14);
  entry.compressedSize = Get32(h + 18);
  entry.uncompressedSize = Get32(h + 22);
  entry.centralExtraLength = 0;
  entry.localExtraLength = extraLength;
  entry.commentLength = 0;
  entry.diskNumberStart = 0;
  entry.internalAttributes = 0;
  entry.externalAttributes = 0;
  entry.relativeOffset = 0;
  SetEntryName(entry, stored, true);
  entry.centralHeaderPosition = 0;
  entry.extraFieldPosition = 0;
  entry.extraLengthAsRead = 0;
  entry.zip64LengthAsRead = 0;
  if (extraLength != 0) {
    bool hadZip64 = false;
    uint16_t zip64Length = 0;
    WalkExtraField(entry, extra, zip64Length, hadZip64);
  }
  FillMissingZip64(entry);
  entry.SetRelativeOffset(static_cast<uint64_t>(start));
  return true;
}

TStream& TZipReader::ArchiveStream() {
  if (!archive_) Open();
  return *archive_;
}

TStream& TZipReader::CentralStream() {
  TStream& archive = ArchiveStream();
  return companion_ ? *companion_ : archive;
}

void TZipReader::Open() {
  auto file = std::make_unique<TBufferedFileStream>(zipName_, TFileMode::fmOpenRead);
  TFileStamp stamp = StampOf(file->Handle());
  bool current = held_ && archiveDateTime_ != 0 && stamp == heldStamp_ &&
                 archiveDateTime_ == static_cast<std::time_t>(stamp.mtimeSec);
  archive_ = std::move(file);
  if (current) return;
  held_ = false;
  try {
    LoadDirectory();
  } catch (...) {
    ForgetArchive();
    companion_.reset();
    throw;
  }
  heldStamp_ = stamp;
  // The stamp covers the archive file only: a directory read from a companion file is read
  // again on the next opening, which also reopens the companion its positions refer to.
  held_ = !companion_;
  archiveDateTime_ = static_cast<std::time_t>(stamp.mtimeSec);
}

void TZipReader::LoadDirectory() {
  directory_->Clear();
  endCentral_.Clear();
  companion_.reset();
  scanned_ = false;
  currentDisk_ = 0;
  TStream& file = *archive_;
  int64_t fileSize = file.Size();
  int64_t limit = 0;
  bool found = FindEndCentral(file, endCentral_, limit);
  if (!found) {
    std::string companionName = CompanionName(zipName_);
    if (FileExists(companionName)) {
      try {
        companion_ = std::make_unique<TBufferedFileStream>(companionName, TFileMode::fmOpenRead);
        found = FindEndCentral(*companion_, endCentral_, limit);
      } catch (const EStreamError&) {
        found = false;
      }
      if (!found) companion_.reset();
    }
  }
  if (!found) {
    endCentral_.Clear();
    if (IncompleteZipMode == izAssumeMulti) throw EIncompleteZip();
    if (IncompleteZipMode == izAssumeNotAZip) throw ENotAZipFile();
    RunRepairScan();
    return;
  }
  if (companion_) {
    // The directory fills the companion file from its start; the data stay in the archive.
    endCentral_.SetCentralOffset(0);
    CheckEndCentral(limit);
    currentDisk_ = 0;
    centralLimit_ = fileSize;
    ReadDirectory(*companion_);
    return;
  }
  // Parts of a multi-part set cannot be updated on their own.
  if (endCentral_.ThisDisk() != 0 || endCentral_.CentralDisk() != 0) throw EIncompleteZip();
  CheckEndCentral(limit);
  currentDisk_ = 0;
  centralLimit_ = static_cast<int64_t>(endCentral_.CentralOffset());
  ReadDirectory(file);
}

void TZipReader::CheckEndCentral(int64_t limit) {
  uint64_t end = static_cast<uint64_t>(std::max<int64_t>(limit, 0));
  uint64_t offset = endCentral_.CentralOffset();
  uint64_t size = endCentral_.CentralSize();
  uint64_t total = endCentral_.TotalEntries();
  if (offset > end || size > end - offset || total > (end - offset) / kCentralHeaderSize) {
    throw EBadZipFile();
  }
}

void TZipReader::ReadDirectory(TStream& central) {
  uint64_t total = endCentral_.TotalEntries();
  if (total != 0) central.SetPosition(static_cast<int64_t>(endCentral_.CentralOffset()));
  TZipHeaderInfo* previous = nullptr;
  for (uint64_t i = 0; i < total; ++i) {
    ProcessMessages();
    auto entry = std::make_unique<TZipHeaderInfo>();
    bool valid = ReadCentralHeader(central, *entry);
    if (!valid && previous != nullptr && previous->centralExtraLength != 0) {
      // The previous header's extra field length was false: read it again without one,
      // then this header from where it really begins.
      int64_t here = central.Position();
      uint16_t falseLength = previous->centralExtraLength;
      long at = FindByKey(*directory_, previous->DiskNumberStart(), previous->RelativeOffset());
      if (at < 0) throw EBadZipFile();
      std::unique_ptr<TZipHeaderInfo> owned(directory_->Extract(static_cast<size_t>(at)));
      central.SetPosition(owned->centralHeaderPosition);
      TZipHeaderInfo again;
      if (ReadCentralHeader(central, again, true)) *owned = again;
      try {
        directory_->Add(owned.get());
        owned.release();
      } catch (const EListError&) {
        RunRepairScan();
        return;
      }
      central.SetPosition(here - falseLength);
      valid = ReadCentralHeader(central, *entry);
    }
    if (!valid) {
      RunRepairScan();
      return;
    }
    try {
      directory_->Add(entry.get());
    } catch (const EListError&) {
      // Two headers with the same disk and offset: the directory cannot be trusted.
      RunRepairScan();
      return;
    }
    previous = entry.release();
  }
  ValidateLayout(centralLimit_);
}

bool TZipReader::RepairScan(std::vector<std::unique_ptr<TZipHeaderInfo>>& found, int64_t& stopPos) {
  scanned_ = true;
  TStream& s = *archive_;
  int64_t size = s.Size();
  int64_t pos = IsExeName(zipName_) ? kExeScanStart : 0;
  if (pos >= size) return false;

  // Byte search for a local header signature followed by a plausible version.
  std::vector<uint8_t> buffer(65536);
  size_t have = 0;
  size_t next = 0;
  int64_t bufferStart = pos;
  s.SetPosition(pos);
  auto nextByte = [&](uint8_t& b) {
    if (next == have) {
      bufferStart += static_cast<int64_t>(have);
      have = s.Read(buffer.data(), buffer.size());
      next = 0;
      if (have == 0) return false;
    }
    b = buffer[next++];
    return true;
  };
  static constexpr uint8_t kSignature[4] = {0x50, 0x4B, 0x03, 0x04};
  int matched = 0;
  int64_t sinceMessages = 0;
  int64_t accepted = -1;
  uint8_t b = 0;
  while (nextByte(b)) {
    if (b == kSignature[matched]) {
      if (++matched < 4) continue;
      int64_t at = bufferStart + static_cast<int64_t>(next) - 4;
      uint8_t low = 0;
      uint8_t high = 0;
      if (!nextByte(low) || !nextByte(high)) break;
      if (high < 10) {
        accepted = at;
        break;
      }
      matched = 0;
      continue;
    }
    matched = b == kSignature[0] ? 1 : 0;
    if (++sinceMessages >= kScanMessageStep) {
      sinceMessages = 0;
      ProcessMessages();
    }
  }
  if (accepted < 0) return false;

  // Local headers one after another, as long as each entry lies whole in the file.
  int64_t at = accepted;
  for (;;) {
    s.SetPosition(at);
    auto entry = std::make_unique<TZipHeaderInfo>();
    if (!ReadLocalHeader(s, *entry)) break;
    uint64_t dataEnd = 0;
    if (!AddChecked(static_cast<uint64_t>(s.Position()), entry->CompressedSize(), dataEnd) ||
        dataEnd > static_cast<uint64_t>(size)) {
      break;
    }
    uint64_t after = dataEnd + ((entry->flags & 8) != 0 ? 16 : 0);
    found.push_back(std::move(entry));
    at = static_cast<int64_t>(std::min<uint64_t>(after, static_cast<uint64_t>(size)));
    if (at >= size) break;
  }
  stopPos = at;
  return !found.empty();
}

void TZipReader::RunRepairScan() {
  if (scanned_) throw EBadZipFile();
  companion_.reset();
  std::vector<std::unique_ptr<TZipHeaderInfo>> found;
  int64_t stopPos = 0;
  if (!RepairScan(found, stopPos)) throw EBadZipFile();
  directory_->Clear();
  for (auto& entry : found) {
    directory_->Add(entry.get());  // offsets strictly ascend, so no key repeats
    entry.release();
  }
  endCentral_.SetThisDisk(0);
  endCentral_.SetCentralDisk(0);
  endCentral_.SetCentralOffset(static_cast<uint64_t>(stopPos));
  endCentral_.SetTotalEntries(found.size());
  endCentral_.SetEntriesOnDisk(found.size());
  currentDisk_ = 0;
  centralLimit_ = stopPos;
  std::vector<bool> confirmed(found.size(), false);
  ReadDirectoryScanMode(stopPos, confirmed);
  for (size_t i = 0; i < confirmed.size(); ++i) {
    if (!confirmed[i]) VerifyScannedEntry(*directory_->Item(i));
  }
  ValidateLayout(centralLimit_);
}

void TZipReader::ReadDirectoryScanMode(int64_t from, std::vector<bool>& confirmed) {
  TStream& s = *archive_;
  s.SetPosition(from);
  for (size_t i = 0; i < confirmed.size(); ++i) {
    ProcessMessages();
    TZipHeaderInfo header;
    if (!ReadCentralHeader(s, header)) break;
    long at = FindByKey(*directory_, header.DiskNumberStart(), header.RelativeOffset());
    if (at < 0 || confirmed[static_cast<size_t>(at)]) continue;
    TZipHeaderInfo* entry = directory_->Item(static_cast<size_t>(at));
    // A header that names other data than the local header found there confirms nothing.
    bool sameData = (entry->flags & 8) != 0 ||
                    (entry->crc32 == header.crc32 && entry->method == header.method &&
                     entry->CompressedSize() == header.CompressedSize());
    if (entry->FullName() != header.FullName() || !sameData) continue;
    uint64_t offset = entry->RelativeOffset();
    uint16_t localExtra = entry->localExtraLength;
    *entry = header;
    entry->SetRelativeOffset(offset);
    entry->localExtraLength = localExtra;
    confirmed[static_cast<size_t>(at)] = true;
  }
}

// An entry found only by the scan has nothing but its local header to vouch for it: it is
// kept only when its data prove the header right.
void TZipReader::VerifyScannedEntry(const TZipHeaderInfo& entry) {
  // With a data descriptor or encryption the local header cannot be checked.
  if ((entry.flags & (8 | 1)) != 0) throw EBadZipFile();
  if (entry.method != 0 && entry.method != 8) throw EBadZipFile();
  TStream& s = *archive_;
  uint64_t dataStart =
      entry.RelativeOffset() + kLocalHeaderSize + entry.nameLength + entry.localExtraLength;
  uint64_t remaining = entry.CompressedSize();
  uint64_t expected = entry.UncompressedSize();
  s.SetPosition(static_cast<int64_t>(dataStart));
  std::vector<uint8_t> in(65536);
  std::vector<uint8_t> out(65536);
  uLong crc = crc32(0, nullptr, 0);
  uint64_t produced = 0;
  if (entry.method == 0) {
    if (remaining != expected) throw EBadZipFile();
    while (remaining > 0) {
      size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, in.size()));
      if (s.Read(in.data(), want) != want) throw EBadZipFile();
      crc = crc32(crc, in.data(), static_cast<uInt>(want));
      remaining -= want;
      produced += want;
    }
  } else {
    z_stream z{};
    if (inflateInit2(&z, -MAX_WBITS) != Z_OK) throw EBadZipFile();
    int rc = Z_OK;
    bool ok = true;
    while (ok && rc != Z_STREAM_END) {
      // With all input taken, inflate may still hold output that did not fit the last
      // block: it is called again, and only a call that cannot go on means the data end
      // too early (Z_BUF_ERROR).
      if (z.avail_in == 0 && remaining > 0) {
        size_t want = static_cast<size_t>(std::min<uint64_t>(remaining, in.size()));
        if (s.Read(in.data(), want) != want) {
          ok = false;
          break;
        }
        remaining -= want;
        z.next_in = in.data();
        z.avail_in = static_cast<uInt>(want);
      }
      z.next_out = out.data();
      z.avail_out = static_cast<uInt>(out.size());
      rc = inflate(&z, Z_NO_FLUSH);
      if (rc != Z_OK && rc != Z_STREAM_END) ok = false;
      size_t got = out.size() - z.avail_out;
      produced += got;
      if (produced > expected) ok = false;
      crc = crc32(crc, out.data(), static_cast<uInt>(got));
    }
    // The deflate stream must end exactly where the entry's data end.
    if (z.avail_in != 0 || remaining != 0) ok = false;
    inflateEnd(&z);
    if (!ok) throw EBadZipFile();
  }
  if (produced != expected || static_cast<uint32_t>(crc) != entry.crc32) throw EBadZipFile();
}

// Every entry must lie whole, with its local header, in front of the directory, and no two
// may share bytes: otherwise copying could read past the data or repeat it many times.
void TZipReader::ValidateLayout(int64_t limit) {
  TStream& s = *archive_;
  uint64_t end = static_cast<uint64_t>(std::clamp<int64_t>(limit, 0, s.Size()));
  uint64_t previousEnd = 0;
  for (size_t i = 0; i < directory_->Count(); ++i) {
    const TZipHeaderInfo* entry = directory_->Item(i);
    if (entry->DiskNumberStart() != currentDisk_) throw EBadZipFile();
    uint64_t offset = entry->RelativeOffset();
    uint64_t headerEnd = 0;
    if (offset < previousEnd || !AddChecked(offset, kLocalHeaderSize, headerEnd) ||
        headerEnd > end) {
      throw EBadZipFile();
    }
    std::string header = ReadAt(s, offset, kLocalHeaderSize);
    const auto* h = reinterpret_cast<const uint8_t*>(header.data());
    if (header.size() != kLocalHeaderSize || Get32(h) != kLocalHeaderSignature) {
      throw EBadZipFile();
    }
    uint64_t entryEnd = 0;
    if (!AddChecked(headerEnd, static_cast<uint64_t>(Get16(h + 26)) + Get16(h + 28), entryEnd) ||
        !AddChecked(entryEnd, entry->CompressedSize(), entryEnd) || entryEnd > end) {
      throw EBadZipFile();
    }
    previousEnd = entryEnd;
  }
}

void TZipReader::CopyEntry(TZipHeaderInfo& entry, TStream& out) {
  TStream& in = ArchiveStream();
  // The comment lies in the old directory, which the new archive does not keep.
  if (entry.commentLength != 0 && !entry.Comment()) {
    uint64_t at = static_cast<uint64_t>(entry.centralHeaderPosition) + kCentralHeaderSize +
                  entry.nameLength + entry.centralExtraLength;
    entry.SetComment(ReadAt(CentralStream(), at, entry.commentLength));
  }
  if (companion_) {
    // Carried extra blocks are read from the archive file; these lie in the companion.
    entry.extraLengthAsRead = 0;
    entry.zip64LengthAsRead = 0;
  }
  uint64_t offset = entry.RelativeOffset();
  std::string header = ReadAt(in, offset, kLocalHeaderSize);
  const auto* h = reinterpret_cast<const uint8_t*>(header.data());
  if (header.size() != kLocalHeaderSize || Get32(h) != kLocalHeaderSignature) {
    throw EBadZipFile();
  }
  uint16_t oldNameLength = Get16(h + 26);
  uint16_t oldExtraLength = Get16(h + 28);
  uint64_t compressed = entry.CompressedSize();
  uint64_t uncompressed = entry.UncompressedSize();

  // Sizes and offset are set anew, so that a Zip64 block remains only where a value
  // still needs one.
  entry.DropZip64();
  entry.SetUncompressedSize(uncompressed);
  entry.SetCompressedSize(compressed);
  entry.SetDiskNumberStart(0);
  entry.SetRelativeOffset(static_cast<uint64_t>(out.Position()));
  entry.localExtraLength = oldExtraLength;
  entry.flags = static_cast<uint16_t>(entry.flags & ~8u);
  uint16_t zip64 = entry.Zip64DataSize(true);
  if (oldExtraLength + (zip64 != 0 ? 4u + zip64 : 0u) > 0xFFFFu) throw EBadZipFile();

  WriteLocalHeader(entry, out);
  in.SetPosition(static_cast<int64_t>(offset + kLocalHeaderSize + oldNameLength));
  uint64_t remaining = oldExtraLength + compressed;
  std::vector<char> block(kCopyBlock);
  while (remaining > 0) {
    size_t count = static_cast<size_t>(std::min<uint64_t>(remaining, block.size()));
    in.ReadBuffer(block.data(), count);
    WriteToArchive(out, block.data(), count);
    remaining -= count;
    ProcessMessages();
  }
}

std::time_t TZipReader::EntryDateTime(size_t index) const {
  std::tm tm{};
  if (!DosToTm(directory_->Item(index)->dateTime, tm)) return std::time(nullptr);
  return std::mktime(&tm);
}

uint32_t TZipReader::EntryDosDateTime(size_t index) const {
  uint32_t value = directory_->Item(index)->dateTime;
  std::tm tm{};
  return DosToTm(value, tm) ? value : NowAsDos();
}

std::string TZipReader::EntryComment(size_t index) {
  const TZipHeaderInfo* held = directory_->Item(index);
  if (held->Comment()) return *held->Comment();
  if (held->commentLength == 0) return {};
  // Opening the archive may load its directory anew: look the entry up afterwards.
  TStream& central = CentralStream();
  TZipHeaderInfo* entry = directory_->Item(index);
  if (entry->Comment()) return *entry->Comment();
  uint64_t position = static_cast<uint64_t>(entry->centralHeaderPosition) + kCentralHeaderSize +
                      entry->nameLength + entry->centralExtraLength;
  std::string text = ReadAt(central, position, entry->commentLength);
  entry->SetComment(text);
  return text;
}

std::string TZipReader::ArchiveComment() {
  if (endCentral_.Comment()) return *endCentral_.Comment();
  if (endCentral_.commentLength == 0) return {};
  TStream& central = CentralStream();
  if (endCentral_.Comment()) return *endCentral_.Comment();
  std::string text = ReadAt(central, static_cast<uint64_t>(endCentral_.commentPosition),
                            endCentral_.commentLength);
  // Loading the comment is no change to it.
  bool modified = endCentral_.modified;
  endCentral_.SetComment(text);
  endCentral_.modified = modified;
  return text;
}

}  // namespace lumbrella
