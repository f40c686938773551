#include "zip/records.h"

#include <algorithm>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/stream.h"
#include "zip/errors.h"

namespace lumbrella {

namespace {

constexpr uint32_t kEscape32 = 0xFFFFFFFF;
constexpr uint16_t kEscape16 = 0xFFFF;

// Little-endian record builder.
class Bytes {
 public:
  void U16(uint32_t v) {
    Byte(v);
    Byte(v >> 8);
  }
  void U32(uint32_t v) {
    U16(v & 0xFFFF);
    U16(v >> 16);
  }
  void U64(uint64_t v) {
    U32(static_cast<uint32_t>(v));
    U32(static_cast<uint32_t>(v >> 32));
  }
  void Raw(std::string_view bytes) { data_.append(bytes); }
  void WriteTo(TStream& out) const { WriteToArchive(out, data_.data(), data_.size()); }

 private:
  void Byte(uint32_t v) { data_.push_back(static_cast<char>(v & 0xFF)); }
  std::string data_;
};

uint16_t ReadU16(const std::string& s, size_t at) {
  return static_cast<uint16_t>(static_cast<unsigned char>(s[at]) |
                               static_cast<unsigned char>(s[at + 1]) << 8);
}

// Length of the GB18030 character starting at s[i]: 1, 2 or 4 bytes (a truncated
// sequence at the end counts as what is left).
size_t CharLength(std::string_view s, size_t i) {
  unsigned char lead = static_cast<unsigned char>(s[i]);
  if (lead < 0x81 || lead == 0xFF || i + 1 >= s.size()) return 1;
  unsigned char next = static_cast<unsigned char>(s[i + 1]);
  if (next >= 0x30 && next <= 0x39) return std::min<size_t>(4, s.size() - i);
  return 2;
}

// Walks a text character by character, handing out each byte with ASCII letters that
// stand alone folded to upper case.
class FoldedBytes {
 public:
  explicit FoldedBytes(std::string_view s) : s_(s) {}
  unsigned char Next() {
    if (pos_ == boundary_) {
      size_t length = CharLength(s_, pos_);
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

// Reads count bytes at position of an archive; empty when they are not all there. The
// stream's position is restored.
std::string ReadAt(TStream& in, int64_t position, size_t count) {
  int64_t here = in.Position();
  std::string bytes(count, '\0');
  bool ok = in.Seek(position, TSeekOrigin::soBeginning) == position &&
            in.Read(bytes.data(), count) == count;
  in.Seek(here, TSeekOrigin::soBeginning);
  return ok ? bytes : std::string();
}

// The extra blocks of a field except Zip64 ones, in their order; a block that runs past
// the end of the field is dropped.
std::string BlocksWithoutZip64(const std::string& field) {
  std::string kept;
  size_t at = 0;
  while (at + 4 <= field.size()) {
    uint16_t id = ReadU16(field, at);
    size_t size = ReadU16(field, at + 2);
    if (at + 4 + size > field.size()) break;
    if (id != kZip64ExtraTag) kept.append(field, at, 4 + size);
    at += 4 + size;
  }
  return kept;
}

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
    size_t length = CharLength(lower, i);
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

void WriteToArchive(TStream& out, const void* data, size_t count) {
  if (count != 0 && out.Write(data, count) != count) throw ENotEnoughRoom();
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

// --- Headers --------------------------------------------------------------------------------

void WriteLocalHeader(TZipHeaderInfo& entry, TStream& out) {
  entry.SetRelativeOffset(static_cast<uint64_t>(out.Position()));
  std::string name = EncodeEntryName(entry);
  uint16_t zip64 = entry.Zip64DataSize(true);
  bool sizes64 = entry.uncompressedSize == kEscape32 || entry.compressedSize == kEscape32 ||
                 entry.reserveZip64;
  entry.versionNeeded = zip64 != 0 ? 45 : 20;

  Bytes b;
  b.U32(kLocalHeaderSignature);
  b.U16(entry.versionNeeded);
  b.U16(entry.flags);
  b.U16(entry.method);
  b.U32(entry.dateTime);
  b.U32(entry.crc32);
  b.U32(sizes64 ? kEscape32 : entry.compressedSize);
  b.U32(sizes64 ? kEscape32 : entry.uncompressedSize);
  b.U16(static_cast<uint32_t>(name.size()));
  b.U16(entry.localExtraLength + (zip64 != 0 ? 4u + zip64 : 0u));
  b.Raw(name);
  if (zip64 != 0) {
    if (entry.Zip64()) entry.Zip64()->size = zip64;
    b.U16(kZip64ExtraTag);
    b.U16(zip64);
    if (sizes64) {
      b.U64(entry.UncompressedSize());
      b.U64(entry.CompressedSize());
    }
    if (entry.relativeOffset == kEscape32) b.U64(entry.RelativeOffset());
    if (entry.diskNumberStart == kEscape16) b.U32(entry.DiskNumberStart());
  }
  b.WriteTo(out);
}

void WriteCentralHeader(TZipHeaderInfo& entry, TStream& out, TStream* oldArchive) {
  int64_t headerPosition = out.Position();
  std::string name = EncodeEntryName(entry);
  uint16_t zip64 = entry.Zip64DataSize(false);
  size_t zip64Length = zip64 != 0 ? 4u + zip64 : 0u;

  std::string carried;
  if (oldArchive != nullptr && entry.extraLengthAsRead > entry.zip64LengthAsRead) {
    carried =
        BlocksWithoutZip64(ReadAt(*oldArchive, entry.extraFieldPosition, entry.extraLengthAsRead));
  }
  if (carried.size() + zip64Length > kEscape16) carried.clear();
  if (!entry.Comment() && entry.commentLength != 0 && oldArchive != nullptr) {
    // The comment follows the whole extra field, also the part that is not carried.
    int64_t at = entry.centralHeaderPosition + kCentralHeaderSize + entry.nameLength +
                 entry.centralExtraLength;
    std::string comment = ReadAt(*oldArchive, at, entry.commentLength);
    if (!comment.empty()) entry.SetComment(comment);
  }
  entry.commentLength = entry.Comment() ? entry.commentLength : 0;
  uint16_t extraLength = static_cast<uint16_t>(carried.size() + zip64Length);
  entry.versionNeeded = zip64 != 0 ? 45 : 20;

  Bytes b;
  b.U32(kCentralHeaderSignature);
  b.U16(entry.versionMadeBy);
  b.U16(entry.versionNeeded);
  b.U16(entry.flags);
  b.U16(entry.method);
  b.U32(entry.dateTime);
  b.U32(entry.crc32);
  b.U32(entry.compressedSize);
  b.U32(entry.uncompressedSize);
  b.U16(static_cast<uint32_t>(name.size()));
  b.U16(extraLength);
  b.U16(entry.commentLength);
  b.U16(entry.diskNumberStart);
  b.U16(entry.internalAttributes);
  b.U32(entry.externalAttributes);
  b.U32(entry.relativeOffset);
  b.Raw(name);
  b.Raw(carried);
  if (zip64 != 0) {
    if (entry.Zip64()) entry.Zip64()->size = zip64;
    b.U16(kZip64ExtraTag);
    b.U16(zip64);
    if (entry.uncompressedSize == kEscape32) b.U64(entry.UncompressedSize());
    if (entry.compressedSize == kEscape32) b.U64(entry.CompressedSize());
    if (entry.relativeOffset == kEscape32) b.U64(entry.RelativeOffset());
    if (entry.diskNumberStart == kEscape16) b.U32(entry.DiskNumberStart());
  }
  if (entry.Comment()) b.Raw(*entry.Comment());
  b.WriteTo(out);

  entry.centralHeaderPosition = headerPosition;
  entry.extraFieldPosition =
      headerPosition + kCentralHeaderSize + static_cast<int64_t>(name.size());
  entry.centralExtraLength = extraLength;
  entry.extraLengthAsRead = extraLength;
  entry.zip64LengthAsRead = static_cast<uint16_t>(zip64Length);
}

void WriteCentralDirectory(TStream& out, const TSortedZip& entries, TEndCentral& end,
                           TStream* oldArchive) {
  int64_t offset = out.Position();
  end.SetCentralOffset(static_cast<uint64_t>(offset));
  end.SetCentralDisk(0);
  for (size_t i = 0; i < entries.Count(); ++i) {
    WriteCentralHeader(*entries.Item(i), out, oldArchive);
  }
  end.SetEntriesOnDisk(entries.Count());
  end.SetCentralSize(static_cast<uint64_t>(out.Position() - offset));
  end.SetThisDisk(0);
  end.Write(out);
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

void TEndCentral::Write(TStream& out) {
  if (NeedsZip64()) {
    TZip64EndCentral& z = EnsureZip64End();
    if (thisDisk != kEscape16) z.thisDisk = thisDisk;
    if (centralDisk != kEscape16) z.centralDisk = centralDisk;
    if (entriesOnDisk != kEscape16) z.entriesOnDisk = entriesOnDisk;
    if (totalEntries != kEscape16) z.totalEntries = totalEntries;
    if (centralSize != kEscape32) z.centralSize = centralSize;
    if (centralOffset != kEscape32) z.centralOffset = centralOffset;
    z.recordSize = kZip64EndCentralSize - 12;
    z.versionMadeBy = z.versionNeeded = 45;
    if (!zip64Locator) zip64Locator = std::make_unique<TZip64Locator>();
    zip64Locator->zip64EndDisk = z.thisDisk;
    zip64Locator->zip64EndOffset = static_cast<uint64_t>(out.Position());
    zip64Locator->totalDisks = z.thisDisk + 1;

    Bytes b;
    b.U32(kZip64EndCentralSignature);
    b.U64(z.recordSize);
    b.U16(z.versionMadeBy);
    b.U16(z.versionNeeded);
    b.U32(z.thisDisk);
    b.U32(z.centralDisk);
    b.U64(z.entriesOnDisk);
    b.U64(z.totalEntries);
    b.U64(z.centralSize);
    b.U64(z.centralOffset);
    b.U32(kZip64LocatorSignature);
    b.U32(zip64Locator->zip64EndDisk);
    b.U64(zip64Locator->zip64EndOffset);
    b.U32(zip64Locator->totalDisks);
    b.WriteTo(out);
  } else {
    zip64End.reset();
    zip64Locator.reset();
  }
  commentLength = comment_ ? static_cast<uint16_t>(comment_->size()) : 0;
  Bytes b;
  b.U32(signature);
  b.U16(thisDisk);
  b.U16(centralDisk);
  b.U16(entriesOnDisk);
  b.U16(totalEntries);
  b.U32(centralSize);
  b.U32(centralOffset);
  b.U16(commentLength);
  if (comment_) b.Raw(*comment_);
  b.WriteTo(out);
}

// --- TSortedZip -----------------------------------------------------------------------------

int TSortedZip::Compare(const TZipHeaderInfo& a, const TZipHeaderInfo& b) const {
  if (mode_ == TSortMode::ByName) return CompareNamesIgnoringCase(a.FullName(), b.FullName());
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
  return items_[i];
}

size_t TSortedZip::Add(TZipHeaderInfo* entry) {
  // Entries mostly arrive in order: look at the end first.
  auto at = items_.end();
  if (!items_.empty() && Compare(*items_.back(), *entry) >= 0) {
    at = std::lower_bound(
        items_.begin(), items_.end(), entry,
        [this](const TZipHeaderInfo* a, const TZipHeaderInfo* b) { return Compare(*a, *b) < 0; });
    if (Compare(**at, *entry) == 0) throw EListError("Duplicate Object index");
  }
  // insert() may reallocate: take begin() only after it.
  auto inserted = items_.insert(at, entry);
  return static_cast<size_t>(inserted - items_.begin());
}

long TSortedZip::FindName(const std::string& fullName) const {
  if (mode_ != TSortMode::ByName) {
    for (size_t i = 0; i < items_.size(); ++i) {
      if (CompareNamesIgnoringCase(items_[i]->FullName(), fullName) == 0)
        return static_cast<long>(i);
    }
    return -1;
  }
  size_t low = 0, high = items_.size();
  while (low < high) {
    size_t mid = low + (high - low) / 2;
    int c = CompareNamesIgnoringCase(items_[mid]->FullName(), fullName);
    if (c == 0) return static_cast<long>(mid);
    if (c < 0) {
      low = mid + 1;
    } else {
      high = mid;
    }
  }
  return -1;
}

TZipHeaderInfo* TSortedZip::Extract(size_t i) {
  TZipHeaderInfo* entry = Item(i);
  items_.erase(items_.begin() + static_cast<std::ptrdiff_t>(i));
  return entry;
}

void TSortedZip::Clear() {
  if (owns_) {
    for (TZipHeaderInfo* entry : items_)
      delete entry;
  }
  items_.clear();
}

}  // namespace lumbrella
