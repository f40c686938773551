// Reading an existing archive: the end record, the central directory (with the retry rule
// and the repair scan for a damaged one), comments on demand and the byte copy of a kept
// entry. The file may be anything, so every count, size and offset taken from it is checked
// against the file's size before it is used.

#include <algorithm>
#include <ctime>
#include <limits>
#include <optional>

#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/stream.h"
#include "zip/dostime.h"
#include "zip/errors.h"
#include "zip/headers.h"
#include "zip/reader.h"

namespace lumbrella {

namespace {

constexpr int64_t kEndSearchSpan = kEndCentralSize + 0xFFFF;  // 65,557
constexpr size_t kCopyBlock = 16384;
constexpr int64_t kScanMessageStep = 10240;
constexpr int64_t kExeScanStart = 14000;
// The repair scan proves an entry it alone vouches for by inflating it. All of them
// together may produce this many times the file's size (plus a little for tiny files):
// real data rarely shrinks further, while a deflate bomb would cost CPU far beyond it.
constexpr uint64_t kScanProofFactor = 32;
constexpr uint64_t kScanProofSlack = 1 << 20;

// a + b, or false when the sum leaves the range of file positions.
bool AddChecked(uint64_t a, uint64_t b, uint64_t& sum) {
  if (a > static_cast<uint64_t>(std::numeric_limits<int64_t>::max()) - b) return false;
  sum = a + b;
  return true;
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

// The central directory the end record describes ends where limit is (the end record or
// the Zip64 end record) and, when it has entries, starts with a central header.
bool DirectoryEndsAt(TStream& s, const TEndCentral& end, int64_t limit) {
  uint64_t directoryEnd = 0;
  if (!AddChecked(end.centralOffset, end.centralSize, directoryEnd) ||
      directoryEnd != static_cast<uint64_t>(limit)) {
    return false;
  }
  if (end.totalEntries == 0) return true;
  const std::string signature = ReadAt(s, end.centralOffset, 4);
  TFieldCursor in(signature);
  return in.U32() == kCentralHeaderSignature && in.Ok();
}

}  // namespace

bool TZipReader::FindEndCentral(TStream& s, TEndCentral& end, int64_t& directoryLimit) {
  end = TEndCentral();
  directoryLimit = 0;
  const int64_t size = s.Size();
  if (size == 0) return true;
  if (size < static_cast<int64_t>(kEndCentralSize)) return false;
  const int64_t span = std::min(kEndSearchSpan, size);
  const int64_t base = size - span;
  std::string buffer(static_cast<size_t>(span), '\0');
  if (s.Seek(base, TSeekOrigin::soBeginning) < 0 ||
      s.Read(buffer.data(), buffer.size()) != buffer.size()) {
    return false;
  }
  // An archive comment may hold a copy of an end record (an empty one would empty the
  // archive). A record counts where its directory ends right in front of it; failing
  // that, the last one whose comment reaches the end of the file exactly.
  std::optional<TEndCentral> fallback;
  int64_t fallbackLimit = 0;
  for (int64_t i = span - kEndCentralSize; i >= 0; --i) {
    if (buffer[static_cast<size_t>(i)] != 0x50) continue;
    TFieldCursor record(std::string_view(buffer).substr(static_cast<size_t>(i)));
    TEndCentral candidate;
    if (!ReadEndCentral(record, candidate)) continue;
    const int64_t recordPos = base + i;
    candidate.commentPosition = recordPos + kEndCentralSize;
    int64_t limit = recordPos;
    uint64_t zip64EndOffset = 0;
    TFieldCursor locatorBytes(
        i >= static_cast<int64_t>(kZip64LocatorSize)
            ? std::string_view(buffer).substr(static_cast<size_t>(i) - kZip64LocatorSize)
            : std::string_view());
    // The Zip64 end record must lie whole in front of the locator.
    uint64_t recordEnd = 0;
    if (ReadZip64Locator(locatorBytes, zip64EndOffset) &&
        AddChecked(zip64EndOffset, kZip64EndCentralSize, recordEnd) &&
        recordEnd <= static_cast<uint64_t>(recordPos - kZip64LocatorSize)) {
      const std::string zip64Record = ReadAt(s, zip64EndOffset, kZip64EndCentralSize);
      TFieldCursor zip64Bytes(zip64Record);
      if (ReadZip64EndCentral(zip64Bytes, candidate)) limit = static_cast<int64_t>(zip64EndOffset);
    }
    if (DirectoryEndsAt(s, candidate, limit)) {
      end = candidate;
      directoryLimit = limit;
      return end.thisDisk >= end.centralDisk;
    }
    if (!fallback && candidate.commentPosition + candidate.commentLength == size) {
      fallback = candidate;
      fallbackLimit = limit;
    }
  }
  if (!fallback) return false;
  end = *fallback;
  directoryLimit = fallbackLimit;
  return end.thisDisk >= end.centralDisk;
}

bool TZipReader::ReadCentralHeader(TStream& s, TZipHeaderInfo& entry, bool ignoreExtra) {
  const int64_t start = s.Position();
  TRawHeader raw;
  if (!ReadEntryHeader(s, false, entry, raw, ignoreExtra)) return false;
  entry.dateTime = SanitizeDosDateTime(entry.dateTime);
  SetEntryName(entry, raw.name, (entry.versionMadeBy >> 8) == 0);
  entry.centralHeaderPosition = start;
  std::string kept;
  ReadExtraField(raw.extra, entry, &kept);
  entry.SetKeptExtra(std::move(kept));
  return true;
}

bool TZipReader::ReadLocalHeader(TStream& s, TZipHeaderInfo& entry) {
  const int64_t start = s.Position();
  TRawHeader raw;
  if (!ReadEntryHeader(s, true, entry, raw)) return false;
  entry.dateTime = SanitizeDosDateTime(entry.dateTime);
  SetEntryName(entry, raw.name, true);
  entry.centralHeaderPosition = 0;
  ReadExtraField(raw.extra, entry, nullptr);
  entry.relativeOffset = static_cast<uint64_t>(start);
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
  TFileStamp stamp;
  bool current = GetFileStamp(file->Handle(), stamp) && held_ && archiveDateTime_ != 0 && stamp == heldStamp_ &&
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
  endCentral_ = TEndCentral();
  companion_.reset();
  scanned_ = false;
  proofWork_ = 0;
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
    endCentral_ = TEndCentral();
    if (IncompleteZipMode == izAssumeMulti) throw EIncompleteZip();
    if (IncompleteZipMode == izAssumeNotAZip) throw ENotAZipFile();
    RunRepairScan();
    return;
  }
  if (companion_) {
    // The directory fills the companion file from its start; the data stay in the archive.
    endCentral_.centralOffset = 0;
    CheckEndCentral(limit);
    currentDisk_ = 0;
    centralLimit_ = fileSize;
    ReadDirectory(*companion_);
    return;
  }
  // Parts of a multi-part set cannot be updated on their own.
  if (endCentral_.thisDisk != 0 || endCentral_.centralDisk != 0) throw EIncompleteZip();
  CheckEndCentral(limit);
  currentDisk_ = 0;
  centralLimit_ = static_cast<int64_t>(endCentral_.centralOffset);
  ReadDirectory(file);
}

void TZipReader::CheckEndCentral(int64_t limit) {
  uint64_t end = static_cast<uint64_t>(std::max<int64_t>(limit, 0));
  uint64_t offset = endCentral_.centralOffset;
  uint64_t size = endCentral_.centralSize;
  uint64_t total = endCentral_.totalEntries;
  if (offset > end || size > end - offset || total > (end - offset) / kCentralHeaderSize) {
    throw EBadZipFile();
  }
}

void TZipReader::ReadDirectory(TStream& central) {
  const uint64_t total = endCentral_.totalEntries;
  if (total != 0) central.SetPosition(static_cast<int64_t>(endCentral_.centralOffset));
  // Gathered in file order and sorted once: inserting one by one would take quadratic
  // time for a directory whose offsets descend.
  std::vector<std::unique_ptr<TZipHeaderInfo>> read;
  for (uint64_t i = 0; i < total; ++i) {
    ProcessMessages();
    auto entry = std::make_unique<TZipHeaderInfo>();
    bool valid = ReadCentralHeader(central, *entry);
    if (!valid && !read.empty() && read.back()->centralExtraLength != 0) {
      // The previous header's extra field length was false: read it again without one,
      // then this header from where it really begins.
      TZipHeaderInfo& previous = *read.back();
      const int64_t here = central.Position();
      const uint16_t falseLength = previous.centralExtraLength;
      central.SetPosition(previous.centralHeaderPosition);
      TZipHeaderInfo again;
      if (ReadCentralHeader(central, again, true)) previous = again;
      central.SetPosition(here - falseLength);
      valid = ReadCentralHeader(central, *entry);
    }
    if (!valid) {
      RunRepairScan();
      return;
    }
    read.push_back(std::move(entry));
  }
  try {
    directory_->Assign(std::move(read));
  } catch (const EListError&) {
    // Two headers with the same disk and offset: the directory cannot be trusted.
    RunRepairScan();
    return;
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
    if (!AddChecked(static_cast<uint64_t>(s.Position()), entry->compressedSize, dataEnd) ||
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
  const size_t count = found.size();
  directory_->Assign(std::move(found));  // offsets strictly ascend, so no key repeats
  endCentral_.thisDisk = 0;
  endCentral_.centralDisk = 0;
  endCentral_.centralOffset = static_cast<uint64_t>(stopPos);
  endCentral_.totalEntries = count;
  endCentral_.entriesOnDisk = count;
  currentDisk_ = 0;
  centralLimit_ = stopPos;
  proofBudget_ = kScanProofFactor * static_cast<uint64_t>(archive_->Size()) + kScanProofSlack;
  std::vector<bool> confirmed(count, false);
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
    long at = directory_->FindPlace(header.diskNumberStart, header.relativeOffset);
    if (at < 0 || confirmed[static_cast<size_t>(at)]) continue;
    TZipHeaderInfo* entry = directory_->Item(static_cast<size_t>(at));
    // A header that names other data than the local header found there confirms nothing.
    bool sameData = (entry->flags & 8) != 0 ||
                    (entry->crc32 == header.crc32 && entry->method == header.method &&
                     entry->compressedSize == header.compressedSize);
    if (entry->FullName() != header.FullName() || !sameData) continue;
    uint64_t offset = entry->relativeOffset;
    uint16_t localExtra = entry->localExtraLength;
    *entry = header;
    entry->relativeOffset = offset;
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
  // An entry whose proof would cost more than the file can justify counts as damage.
  if (entry.uncompressedSize > proofBudget_) throw EBadZipFile();
  proofBudget_ -= entry.uncompressedSize;
  TStream& s = *archive_;
  s.SetPosition(static_cast<int64_t>(entry.relativeOffset + kLocalHeaderSize + entry.nameLength +
                                     entry.localExtraLength));
  if (!inflater_.Holds(s, entry.compressedSize, entry.method == 8, entry.uncompressedSize,
                       entry.crc32, nullptr, &proofWork_)) {
    throw EBadZipFile();
  }
}

// Every entry must lie whole, with its local header, in front of the directory, and no two
// may share bytes: otherwise copying could read past the data or repeat it many times.
void TZipReader::ValidateLayout(int64_t limit) {
  TStream& s = *archive_;
  const uint64_t end = static_cast<uint64_t>(std::clamp<int64_t>(limit, 0, s.Size()));
  uint64_t previousEnd = 0;
  for (size_t i = 0; i < directory_->Count(); ++i) {
    const TZipHeaderInfo* entry = directory_->Item(i);
    if (entry->diskNumberStart != currentDisk_) throw EBadZipFile();
    const uint64_t offset = entry->relativeOffset;
    uint64_t entryEnd = 0;
    if (offset < previousEnd || !AddChecked(offset, kLocalHeaderSize, entryEnd) || entryEnd > end) {
      throw EBadZipFile();
    }
    s.SetPosition(static_cast<int64_t>(offset));
    TZipHeaderInfo local;
    TRawHeader raw;
    if (!ReadEntryHeader(s, true, local, raw) ||
        !AddChecked(static_cast<uint64_t>(s.Position()), entry->compressedSize, entryEnd) ||
        entryEnd > end) {
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
  const uint64_t offset = entry.relativeOffset;
  in.SetPosition(static_cast<int64_t>(offset));
  TZipHeaderInfo oldLocal;
  TRawHeader raw;
  if (!ReadEntryHeader(in, true, oldLocal, raw)) throw EBadZipFile();
  // The old local Zip64 block gives way to the one written anew: an entry carries exactly
  // one, where copying the field whole would add one at every update.
  std::string localBlocks;
  ReadExtraField(raw.extra, oldLocal, &localBlocks);
  const uint64_t compressed = entry.compressedSize;

  // Disk and offset are the new archive's: a Zip64 block remains only where a value still
  // needs one.
  entry.diskNumberStart = 0;
  entry.relativeOffset = static_cast<uint64_t>(out.Position());
  entry.localExtraLength = static_cast<uint16_t>(std::min<size_t>(localBlocks.size(), 0xFFFF));
  // An encrypted entry keeps bit 3 and its data descriptor: with bit 3 set the password is
  // checked against the time instead of the CRC (APPNOTE 6.1.6), so the right one would
  // fail without it. Other entries get their values in the local header instead.
  const bool descriptor = (entry.flags & 9) == 9;
  if (!descriptor) entry.flags = static_cast<uint16_t>(entry.flags & ~8u);
  if (localBlocks.size() + Zip64BlockLength(entry, true) > 0xFFFFu) throw EBadZipFile();

  WriteEntryHeader(entry, out, true);
  WriteToArchive(out, localBlocks.data(), localBlocks.size());
  in.SetPosition(
      static_cast<int64_t>(offset + kLocalHeaderSize + raw.name.size() + raw.extra.size()));
  if (CopyStream(in, out, compressed, CopyBuffer(kCopyBlock),
                 [this](const char*, size_t) { ProcessMessages(); }) != compressed) {
    throw EReadError();
  }
  if (descriptor) {
    WriteDataDescriptor(entry, out);
  }
}

bool TZipReader::EntryDataStart(const TZipHeaderInfo& entry, int64_t& start) {
  TStream& in = ArchiveStream();
  const auto offset = static_cast<int64_t>(entry.relativeOffset);
  TZipHeaderInfo local;
  TRawHeader raw;
  if (offset < 0 || in.Seek(offset, TSeekOrigin::soBeginning) != offset ||
      !ReadEntryHeader(in, true, local, raw)) {
    return false;
  }
  start = offset + kLocalHeaderSize + static_cast<int64_t>(raw.name.size() + raw.extra.size());
  return true;
}

std::time_t TZipReader::EntryDateTime(size_t index) const {
  return DosDateTimeToTime(directory_->Item(index)->dateTime).value_or(std::time(nullptr));
}

uint32_t TZipReader::EntryDosDateTime(size_t index) const {
  uint32_t value = directory_->Item(index)->dateTime;
  return DosDateTimeToTime(value) ? value : TimeToDosDateTime(std::time(nullptr));
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

bool HoldsNoArchive(const std::string& path) {
  if (!FileExists(path)) return false;
  TZipReader reader;
  reader.SetZipName(path);
  try {
    reader.Open();
  } catch (const EIncompleteZip&) {
    return true;
  } catch (const ENotAZipFile&) {
    return true;
  } catch (const EBadZipFile&) {
    return true;
  } catch (const EStreamError&) {
    return false;
  }
  return false;
}

}  // namespace lumbrella
