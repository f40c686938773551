#include "zip/records.h"

#include <algorithm>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/stream.h"
#include "zip/errors.h"

namespace lumbrella {

namespace {

// Walks a text character by character, handing out each byte with ASCII letters that
// stand alone folded to upper case.
class FoldedBytes {
 public:
  explicit FoldedBytes(std::string_view s) : s_(s) {}
  unsigned char Next() {
    if (pos_ == boundary_) {
      size_t length = AnsiCharLength(s_, pos_);
      single_ = length == 1;
      boundary_ = pos_ + length;
    }
    unsigned char c = static_cast<unsigned char>(s_[pos_++]);
    if (single_ && c >= 'a' && c <= 'z') c = static_cast<unsigned char>(c - 32);
    return c;
  }

 private:
  std::string_view s_;
  size_t pos_ = 0;
  size_t boundary_ = 0;
  bool single_ = true;
};

}  // namespace

// --- Names --------------------------------------------------------------------------------

int CompareNamesIgnoringCase(const std::string& a, const std::string& b) {
  FoldedBytes fa(a), fb(b);
  size_t common = std::min(a.size(), b.size());
  for (size_t i = 0; i < common; ++i) {
    unsigned char ca = fa.Next(), cb = fb.Next();
    if (ca != cb) return ca < cb ? -1 : 1;
  }
  if (a.size() == b.size()) return 0;
  return a.size() < b.size() ? -1 : 1;
}

std::string LowerAsciiLetters(std::string_view text) {
  std::string lower(text);
  for (size_t i = 0; i < lower.size();) {
    size_t length = AnsiCharLength(lower, i);
    if (length == 1 && lower[i] >= 'A' && lower[i] <= 'Z')
      lower[i] = static_cast<char>(lower[i] + 32);
    i += length;
  }
  return lower;
}

std::string EncodeEntryName(TZipHeaderInfo& entry) {
  std::string name = entry.FullName();
  switch (entry.nameMode) {
    case oemNever:
      return name;
    case oemAlways:
      return AnsiToOem(name);
    case oemFlexible: {
      std::string oem = AnsiToOem(name);
      bool roundTrips = CompareNamesIgnoringCase(OemToAnsi(oem), name) == 0;
      entry.versionMadeBy =
          static_cast<uint16_t>((entry.versionMadeBy & 0xFF) | (roundTrips ? 11 << 8 : 0));
      return roundTrips ? name : oem;
    }
  }
  return name;
}

// --- TZipHeaderInfo -------------------------------------------------------------------------

TZipHeaderInfo::TZipHeaderInfo(const TZipHeaderInfo& other) {
  *this = other;
}

TZipHeaderInfo& TZipHeaderInfo::operator=(const TZipHeaderInfo& other) {
  if (this == &other) return *this;
  versionMadeBy = other.versionMadeBy;
  versionNeeded = other.versionNeeded;
  flags = other.flags;
  method = other.method;
  dateTime = other.dateTime;
  crc32 = other.crc32;
  compressedSize = other.compressedSize;
  uncompressedSize = other.uncompressedSize;
  nameLength = other.nameLength;
  centralExtraLength = other.centralExtraLength;
  localExtraLength = other.localExtraLength;
  commentLength = other.commentLength;
  diskNumberStart = other.diskNumberStart;
  internalAttributes = other.internalAttributes;
  externalAttributes = other.externalAttributes;
  relativeOffset = other.relativeOffset;
  centralHeaderPosition = other.centralHeaderPosition;
  nameMode = other.nameMode;
  extraFieldPosition = other.extraFieldPosition;
  extraLengthAsRead = other.extraLengthAsRead;
  zip64LengthAsRead = other.zip64LengthAsRead;
  reserveZip64 = other.reserveZip64;
  fileName_ = other.fileName_;
  path_ = other.path_;
  zip64_ = other.zip64_ ? std::make_unique<TZip64Block>(*other.zip64_) : nullptr;
  comment_ = other.comment_;
  keptExtra_ = other.keptExtra_;
  return *this;
}

void TZipHeaderInfo::Clear() {
  int64_t position = extraFieldPosition;
  uint16_t extraLength = extraLengthAsRead;
  uint16_t zip64Length = zip64LengthAsRead;
  *this = TZipHeaderInfo();
  extraFieldPosition = position;
  extraLengthAsRead = extraLength;
  zip64LengthAsRead = zip64Length;
}

uint64_t TZipHeaderInfo::UncompressedSize() const {
  return uncompressedSize == kEscape32 && zip64_ ? zip64_->uncompressedSize : uncompressedSize;
}

void TZipHeaderInfo::SetUncompressedSize(uint64_t value) {
  if (value >= kEscape32) {
    EnsureZip64().uncompressedSize = value;
    uncompressedSize = kEscape32;
  } else {
    uncompressedSize = static_cast<uint32_t>(value);
  }
}

uint64_t TZipHeaderInfo::CompressedSize() const {
  return compressedSize == kEscape32 && zip64_ ? zip64_->compressedSize : compressedSize;
}

void TZipHeaderInfo::SetCompressedSize(uint64_t value) {
  if (value >= kEscape32) {
    EnsureZip64().compressedSize = value;
    compressedSize = kEscape32;
  } else {
    compressedSize = static_cast<uint32_t>(value);
  }
}

uint64_t TZipHeaderInfo::RelativeOffset() const {
  return relativeOffset == kEscape32 && zip64_ ? zip64_->relativeOffset : relativeOffset;
}

void TZipHeaderInfo::SetRelativeOffset(uint64_t value) {
  if (value >= kEscape32) {
    EnsureZip64().relativeOffset = value;
    relativeOffset = kEscape32;
  } else {
    relativeOffset = static_cast<uint32_t>(value);
  }
}

uint32_t TZipHeaderInfo::DiskNumberStart() const {
  return diskNumberStart == kEscape16 && zip64_ ? zip64_->diskNumberStart : diskNumberStart;
}

void TZipHeaderInfo::SetDiskNumberStart(uint32_t value) {
  if (value >= kEscape16) {
    EnsureZip64().diskNumberStart = value;
    diskNumberStart = kEscape16;
  } else {
    diskNumberStart = static_cast<uint16_t>(value);
  }
}

void TZipHeaderInfo::SetFileName(std::string name) {
  fileName_ = std::move(name);
  nameLength = static_cast<uint16_t>(path_.size() + fileName_.size());
}

void TZipHeaderInfo::SetPath(std::string path) {
  path_ = std::move(path);
  if (!path_.empty() && path_.back() != '/') path_ += '/';
  nameLength = static_cast<uint16_t>(path_.size() + fileName_.size());
}

void TZipHeaderInfo::SetComment(std::string comment) {
  if (comment.size() > kEscape16) comment.resize(kEscape16);
  commentLength = static_cast<uint16_t>(comment.size());
  comment_ = std::move(comment);
}

void TZipHeaderInfo::ClearComment() {
  comment_.reset();
  commentLength = 0;
}

TZip64Block& TZipHeaderInfo::EnsureZip64() {
  if (!zip64_) zip64_ = std::make_unique<TZip64Block>();
  return *zip64_;
}

uint16_t TZipHeaderInfo::Zip64DataSize(bool local) const {
  bool uncompressed = uncompressedSize == kEscape32;
  bool compressed = compressedSize == kEscape32;
  int size = 0;
  if (local) {
    // A local Zip64 block always holds both sizes, or neither.
    if (uncompressed || compressed || reserveZip64) size += 16;
  } else {
    size += (uncompressed ? 8 : 0) + (compressed ? 8 : 0);
  }
  if (relativeOffset == kEscape32) size += 8;
  if (diskNumberStart == kEscape16) size += 4;
  return static_cast<uint16_t>(size);
}

uint32_t TZipHeaderInfo::LocalHeaderLength() const {
  uint16_t zip64 = Zip64DataSize(true);
  return kLocalHeaderSize + nameLength + localExtraLength + (zip64 != 0 ? 4u + zip64 : 0u);
}

uint32_t TZipHeaderInfo::CentralHeaderLength() const {
  return kCentralHeaderSize + nameLength + centralExtraLength + commentLength;
}

// --- TEndCentral ----------------------------------------------------------------------------

TEndCentral::TEndCentral(const TEndCentral& other) {
  *this = other;
}

TEndCentral& TEndCentral::operator=(const TEndCentral& other) {
  if (this == &other) return *this;
  signature = other.signature;
  thisDisk = other.thisDisk;
  centralDisk = other.centralDisk;
  entriesOnDisk = other.entriesOnDisk;
  totalEntries = other.totalEntries;
  centralSize = other.centralSize;
  centralOffset = other.centralOffset;
  commentLength = other.commentLength;
  commentPosition = other.commentPosition;
  modified = other.modified;
  // The escaped values live in the Zip64 records, so they travel with the block.
  zip64End = other.zip64End ? std::make_unique<TZip64EndCentral>(*other.zip64End) : nullptr;
  zip64Locator =
      other.zip64Locator ? std::make_unique<TZip64Locator>(*other.zip64Locator) : nullptr;
  comment_ = other.comment_;
  return *this;
}

void TEndCentral::Clear() {
  signature = kEndCentralSignature;
  thisDisk = centralDisk = entriesOnDisk = totalEntries = 0;
  centralSize = centralOffset = 0;
  commentLength = 0;
  commentPosition = 0;
  modified = false;
  zip64End.reset();
  zip64Locator.reset();
  comment_.reset();
}

TZip64EndCentral& TEndCentral::EnsureZip64End() {
  if (!zip64End) zip64End = std::make_unique<TZip64EndCentral>();
  return *zip64End;
}

uint32_t TEndCentral::ThisDisk() const {
  return thisDisk == kEscape16 && zip64End ? zip64End->thisDisk : thisDisk;
}

void TEndCentral::SetThisDisk(uint32_t value) {
  if (value >= kEscape16) EnsureZip64End().thisDisk = value;
  thisDisk = static_cast<uint16_t>(std::min<uint32_t>(value, kEscape16));
}

uint32_t TEndCentral::CentralDisk() const {
  return centralDisk == kEscape16 && zip64End ? zip64End->centralDisk : centralDisk;
}

void TEndCentral::SetCentralDisk(uint32_t value) {
  if (value >= kEscape16) EnsureZip64End().centralDisk = value;
  centralDisk = static_cast<uint16_t>(std::min<uint32_t>(value, kEscape16));
}

uint64_t TEndCentral::EntriesOnDisk() const {
  return entriesOnDisk == kEscape16 && zip64End ? zip64End->entriesOnDisk : entriesOnDisk;
}

void TEndCentral::SetEntriesOnDisk(uint64_t value) {
  if (value >= kEscape16) EnsureZip64End().entriesOnDisk = value;
  entriesOnDisk = static_cast<uint16_t>(std::min<uint64_t>(value, kEscape16));
}

uint64_t TEndCentral::TotalEntries() const {
  return totalEntries == kEscape16 && zip64End ? zip64End->totalEntries : totalEntries;
}

void TEndCentral::SetTotalEntries(uint64_t value) {
  if (value >= kEscape16) EnsureZip64End().totalEntries = value;
  totalEntries = static_cast<uint16_t>(std::min<uint64_t>(value, kEscape16));
}

uint64_t TEndCentral::CentralSize() const {
  return centralSize == kEscape32 && zip64End ? zip64End->centralSize : centralSize;
}

void TEndCentral::SetCentralSize(uint64_t value) {
  if (value >= kEscape32) EnsureZip64End().centralSize = value;
  centralSize = static_cast<uint32_t>(std::min<uint64_t>(value, kEscape32));
}

uint64_t TEndCentral::CentralOffset() const {
  return centralOffset == kEscape32 && zip64End ? zip64End->centralOffset : centralOffset;
}

void TEndCentral::SetCentralOffset(uint64_t value) {
  if (value >= kEscape32) EnsureZip64End().centralOffset = value;
  centralOffset = static_cast<uint32_t>(std::min<uint64_t>(value, kEscape32));
}

void TEndCentral::SetComment(std::string comment) {
  if (comment.size() > kEscape16) comment.resize(kEscape16);
  commentLength = static_cast<uint16_t>(comment.size());
  comment_ = std::move(comment);
}

bool TEndCentral::NeedsZip64() const {
  return thisDisk == kEscape16 || centralDisk == kEscape16 || entriesOnDisk == kEscape16 ||
         totalEntries == kEscape16 || centralSize == kEscape32 || centralOffset == kEscape32;
}

// --- TSortedZip -----------------------------------------------------------------------------

int TSortedZip::Compare(const TZipHeaderInfo& a, const TZipHeaderInfo& b) const {
  if (mode_ == TSortMode::ByName) return a.FullName().compare(b.FullName());
  if (a.DiskNumberStart() != b.DiskNumberStart()) {
    return a.DiskNumberStart() < b.DiskNumberStart() ? -1 : 1;
  }
  if (a.RelativeOffset() != b.RelativeOffset()) {
    return a.RelativeOffset() < b.RelativeOffset() ? -1 : 1;
  }
  return 0;
}

TZipHeaderInfo* TSortedZip::Item(size_t i) const {
  if (i >= items_.size()) throw EListError("Index " + std::to_string(i) + " is out of range");
  return items_[i].get();
}

size_t TSortedZip::Add(std::unique_ptr<TZipHeaderInfo> entry) {
  // Entries mostly arrive in order: look at the end first.
  auto at = items_.end();
  if (!items_.empty() && Compare(*items_.back(), *entry) >= 0) {
    at = std::lower_bound(items_.begin(), items_.end(), entry,
                          [this](const auto& a, const auto& b) { return Compare(*a, *b) < 0; });
    if (Compare(**at, *entry) == 0) throw EListError("Duplicate Object index");
  }
  // insert() may reallocate: take begin() only after it.
  auto inserted = items_.insert(at, std::move(entry));
  return static_cast<size_t>(inserted - items_.begin());
}

void TSortedZip::Assign(std::vector<std::unique_ptr<TZipHeaderInfo>> entries) {
  items_.clear();
  std::stable_sort(entries.begin(), entries.end(),
                   [this](const auto& a, const auto& b) { return Compare(*a, *b) < 0; });
  for (size_t i = 1; i < entries.size(); ++i) {
    if (Compare(*entries[i - 1], *entries[i]) == 0) throw EListError("Duplicate Object index");
  }
  items_ = std::move(entries);
}

long TSortedZip::FindName(const std::string& fullName) const {
  if (mode_ != TSortMode::ByName) {
    for (size_t i = 0; i < items_.size(); ++i) {
      if (items_[i]->FullName() == fullName) return static_cast<long>(i);
    }
    return -1;
  }
  auto at = std::lower_bound(items_.begin(), items_.end(), fullName,
                             [](const auto& e, const std::string& n) { return e->FullName() < n; });
  return at != items_.end() && (*at)->FullName() == fullName
             ? static_cast<long>(at - items_.begin())
             : -1;
}

long TSortedZip::FindPlace(uint32_t disk, uint64_t offset) const {
  auto before = [](const auto& e, std::pair<uint32_t, uint64_t> key) {
    return std::make_pair(e->DiskNumberStart(), e->RelativeOffset()) < key;
  };
  auto at = std::lower_bound(items_.begin(), items_.end(), std::make_pair(disk, offset), before);
  return at != items_.end() && (*at)->DiskNumberStart() == disk && (*at)->RelativeOffset() == offset
             ? static_cast<long>(at - items_.begin())
             : -1;
}

std::unique_ptr<TZipHeaderInfo> TSortedZip::Extract(size_t i) {
  Item(i);  // range check
  std::unique_ptr<TZipHeaderInfo> entry = std::move(items_[i]);
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
  return entry;
}

}  // namespace lumbrella
