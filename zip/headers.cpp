#include "zip/headers.h"

#include "platform/stream.h"
#include "zip/errors.h"

namespace lumbrella {

// --- Cursor and builder -----------------------------------------------------------------------

const unsigned char* TFieldCursor::Take(size_t count) {
  // pos_ never passes the end, so this comparison cannot overflow.
  if (!ok_ || count > bytes_.size() - pos_) {
    ok_ = false;
    return nullptr;
  }
  const auto* p = reinterpret_cast<const unsigned char*>(bytes_.data()) + pos_;
  pos_ += count;
  return p;
}

uint16_t TFieldCursor::U16() {
  const unsigned char* p = Take(2);
  return p ? static_cast<uint16_t>(p[0] | p[1] << 8) : 0;
}

uint32_t TFieldCursor::U32() {
  const unsigned char* p = Take(4);
  if (!p) return 0;
  return static_cast<uint32_t>(p[0]) | static_cast<uint32_t>(p[1]) << 8 |
         static_cast<uint32_t>(p[2]) << 16 | static_cast<uint32_t>(p[3]) << 24;
}

uint64_t TFieldCursor::U64() {
  uint64_t low = U32();
  uint64_t high = U32();
  return low | high << 32;
}

std::string_view TFieldCursor::Bytes(size_t count) {
  const unsigned char* p = Take(count);
  return p ? std::string_view(reinterpret_cast<const char*>(p), count) : std::string_view();
}

void TFieldBuilder::U16(uint32_t v) {
  data_.push_back(static_cast<char>(v & 0xFF));
  data_.push_back(static_cast<char>((v >> 8) & 0xFF));
}

void TFieldBuilder::U32(uint32_t v) {
  U16(v & 0xFFFF);
  U16(v >> 16);
}

void TFieldBuilder::U64(uint64_t v) {
  U32(static_cast<uint32_t>(v));
  U32(static_cast<uint32_t>(v >> 32));
}

void TFieldBuilder::WriteTo(TStream& out) const {
  WriteToArchive(out, data_.data(), data_.size());
}

void WriteToArchive(TStream& out, const void* data, size_t count) {
  if (count != 0 && out.Write(data, count) != count) throw ENotEnoughRoom();
}

// --- Local and central header ---------------------------------------------------------------

bool ReadEntryHeader(TStream& s, bool local, TZipHeaderInfo& entry, TRawHeader& raw,
                     bool ignoreExtra) {
  const int64_t start = s.Position();
  auto fail = [&] {
    s.SetPosition(start);
    return false;
  };
  std::string fixed(local ? kLocalHeaderSize : kCentralHeaderSize, '\0');
  if (s.Read(fixed.data(), fixed.size()) != fixed.size()) return fail();
  TFieldCursor in(fixed);
  if (in.U32() != (local ? kLocalHeaderSignature : kCentralHeaderSignature)) return fail();
  entry.Clear();
  // The central header has one field more in front (4.3.12) and five behind (4.3.7).
  entry.versionMadeBy = local ? 0 : in.U16();  // (c) high byte: host system (4.4.2)
  entry.versionNeeded = in.U16();
  entry.flags = in.U16();
  entry.method = in.U16();
  entry.dateTime = in.U32();  // time in the low half, date in the high half (4.4.6)
  entry.crc32 = in.U32();
  entry.compressedSize = in.U32();
  entry.uncompressedSize = in.U32();
  const uint16_t nameLength = in.U16();
  uint16_t extraLength = in.U16();
  if (local) {
    entry.internalAttributes = 0;
    entry.externalAttributes = 0;
  } else {
    entry.commentLength = in.U16();
    entry.diskNumberStart = in.U16();
    entry.internalAttributes = in.U16();
    entry.externalAttributes = in.U32();
    entry.relativeOffset = in.U32();
  }
  if (ignoreExtra) extraLength = 0;
  raw.name.assign(nameLength, '\0');
  raw.extra.assign(extraLength, '\0');
  if (s.Read(raw.name.data(), nameLength) != nameLength ||
      s.Read(raw.extra.data(), extraLength) != extraLength) {
    return fail();
  }
  (local ? entry.localExtraLength : entry.centralExtraLength) = extraLength;
  if (!local) s.Seek(entry.commentLength, TSeekOrigin::soCurrent);
  return true;
}

namespace {

// A local header's Zip64 block holds both sizes or neither (4.5.3).
bool LocalSizes64(const TZipHeaderInfo& entry) {
  return entry.uncompressedSize == kEscape32 || entry.compressedSize == kEscape32 ||
         entry.reserveZip64;
}

// The Zip64 extended information block (4.5.3): only the escaped values, in this order.
void PutZip64Block(TFieldBuilder& b, TZipHeaderInfo& entry, bool local, uint16_t dataSize) {
  if (entry.Zip64()) entry.Zip64()->size = dataSize;
  b.U16(kZip64ExtraTag);
  b.U16(dataSize);
  if (local ? LocalSizes64(entry) : entry.uncompressedSize == kEscape32) {
    b.U64(entry.UncompressedSize());
  }
  if (local ? LocalSizes64(entry) : entry.compressedSize == kEscape32) {
    b.U64(entry.CompressedSize());
  }
  if (entry.relativeOffset == kEscape32) b.U64(entry.RelativeOffset());
  if (entry.diskNumberStart == kEscape16) b.U32(entry.DiskNumberStart());
}

// Takes the Zip64 values of a block's data: each one only when its header field holds the
// escape value. A value the block lacks keeps the escape value, so that the entry fails
// the later range checks instead of reading as 0.
void TakeZip64Values(TZipHeaderInfo& entry, std::string_view data) {
  TZip64Block& z = entry.EnsureZip64();
  z.size = static_cast<uint16_t>(data.size());
  TFieldCursor in(data);
  auto take64 = [&](uint64_t& value, uint32_t field) {
    if (field != kEscape32) return;
    uint64_t v = in.U64();
    value = in.Ok() ? v : field;
  };
  take64(z.uncompressedSize, entry.uncompressedSize);
  take64(z.compressedSize, entry.compressedSize);
  take64(z.relativeOffset, entry.relativeOffset);
  if (entry.diskNumberStart == kEscape16) {
    uint32_t v = in.U32();
    z.diskNumberStart = in.Ok() ? v : kEscape16;
  }
}

}  // namespace

void WriteEntryHeader(TZipHeaderInfo& entry, TStream& out, bool local) {
  const int64_t headerPosition = out.Position();
  if (local) entry.SetRelativeOffset(static_cast<uint64_t>(headerPosition));
  const std::string name = EncodeEntryName(entry);
  const uint16_t zip64 = entry.Zip64DataSize(local);
  const size_t zip64Length = zip64 != 0 ? 4u + zip64 : 0u;
  std::string_view kept = local ? std::string_view() : std::string_view(entry.KeptExtra());
  if (kept.size() + zip64Length > kEscape16) kept = {};
  const auto extraLength = static_cast<uint16_t>(local ? entry.localExtraLength + zip64Length
                                                       : kept.size() + zip64Length);
  const bool sizes64 = local && LocalSizes64(entry);
  if (!local && !entry.Comment()) entry.commentLength = 0;
  entry.versionNeeded = zip64 != 0 ? 45 : 20;

  TFieldBuilder b;
  b.U32(local ? kLocalHeaderSignature : kCentralHeaderSignature);
  if (!local) b.U16(entry.versionMadeBy);  // (c)
  b.U16(entry.versionNeeded);
  b.U16(entry.flags);
  b.U16(entry.method);
  b.U32(entry.dateTime);
  b.U32(entry.crc32);
  b.U32(sizes64 ? kEscape32 : entry.compressedSize);
  b.U32(sizes64 ? kEscape32 : entry.uncompressedSize);
  b.U16(static_cast<uint32_t>(name.size()));
  b.U16(extraLength);  // (l) the caller writes the entry's own local blocks after this header
  if (!local) {
    b.U16(entry.commentLength);  // (c) from here on
    b.U16(entry.diskNumberStart);
    b.U16(entry.internalAttributes);
    b.U32(entry.externalAttributes);
    b.U32(entry.relativeOffset);
  }
  b.Raw(name);
  b.Raw(kept);
  if (zip64 != 0) PutZip64Block(b, entry, local, zip64);
  if (!local && entry.Comment()) b.Raw(*entry.Comment());
  b.WriteTo(out);

  if (!local) {
    entry.centralHeaderPosition = headerPosition;
    entry.extraFieldPosition =
        headerPosition + kCentralHeaderSize + static_cast<int64_t>(name.size());
    entry.centralExtraLength = extraLength;
    entry.extraLengthAsRead = extraLength;
    entry.zip64LengthAsRead = static_cast<uint16_t>(zip64Length);
  }
}

size_t ReadExtraField(std::string_view field, TZipHeaderInfo& entry, uint16_t& zip64Length,
                      std::string* kept) {
  TFieldCursor in(field);
  size_t standing = 0;
  zip64Length = 0;
  while (in.Left() >= 4) {
    const uint16_t id = in.U16();
    const uint16_t size = in.U16();
    std::string_view data = in.Bytes(size);
    if (!in.Ok()) break;  // a block running past the field is no block
    if (id == kZip64ExtraTag) {
      if (zip64Length != 0) break;
      zip64Length = static_cast<uint16_t>(size + 4);
      TakeZip64Values(entry, data);
    } else if (kept != nullptr) {
      kept->append(field.substr(standing, 4u + size));
    }
    standing = in.Position();
  }
  // Escaped fields without a Zip64 block get one holding the escape values.
  bool escaped = entry.uncompressedSize == kEscape32 || entry.compressedSize == kEscape32 ||
                 entry.relativeOffset == kEscape32 || entry.diskNumberStart == kEscape16;
  if (escaped && entry.Zip64() == nullptr) TakeZip64Values(entry, {});
  return standing;
}

// --- Data descriptor --------------------------------------------------------------------------

void WriteDataDescriptor(const TZipHeaderInfo& entry, TStream& out, bool zip64) {
  TFieldBuilder b;
  b.U32(kDataDescriptorSignature);
  b.U32(entry.crc32);
  if (zip64) {
    b.U64(entry.CompressedSize());
    b.U64(entry.UncompressedSize());
  } else {
    b.U32(static_cast<uint32_t>(entry.CompressedSize()));
    b.U32(static_cast<uint32_t>(entry.UncompressedSize()));
  }
  b.WriteTo(out);
}

// --- End records ------------------------------------------------------------------------------

bool ReadEndCentral(TFieldCursor& in, TEndCentral& end) {
  if (in.U32() != kEndCentralSignature) return false;
  end.thisDisk = in.U16();
  end.centralDisk = in.U16();
  end.entriesOnDisk = in.U16();
  end.totalEntries = in.U16();
  end.centralSize = in.U32();
  end.centralOffset = in.U32();
  end.commentLength = in.U16();
  return in.Ok();
}

bool ReadZip64Locator(TFieldCursor& in, TZip64Locator& locator) {
  if (in.U32() != kZip64LocatorSignature) return false;
  locator.zip64EndDisk = in.U32();
  locator.zip64EndOffset = in.U64();
  locator.totalDisks = in.U32();
  return in.Ok();
}

bool ReadZip64EndCentral(TFieldCursor& in, TZip64EndCentral& record) {
  if (in.U32() != kZip64EndCentralSignature) return false;
  record.recordSize = in.U64();  // size of the rest of the record (4.3.14.1)
  record.versionMadeBy = in.U16();
  record.versionNeeded = in.U16();
  record.thisDisk = in.U32();
  record.centralDisk = in.U32();
  record.entriesOnDisk = in.U64();
  record.totalEntries = in.U64();
  record.centralSize = in.U64();
  record.centralOffset = in.U64();
  return in.Ok();
}

void WriteEndCentral(TEndCentral& end, TStream& out) {
  TFieldBuilder b;
  if (end.NeedsZip64()) {
    // Values that are not escaped are copied into the Zip64 record, so it stands alone.
    TZip64EndCentral& z = end.EnsureZip64End();
    if (end.thisDisk != kEscape16) z.thisDisk = end.thisDisk;
    if (end.centralDisk != kEscape16) z.centralDisk = end.centralDisk;
    if (end.entriesOnDisk != kEscape16) z.entriesOnDisk = end.entriesOnDisk;
    if (end.totalEntries != kEscape16) z.totalEntries = end.totalEntries;
    if (end.centralSize != kEscape32) z.centralSize = end.centralSize;
    if (end.centralOffset != kEscape32) z.centralOffset = end.centralOffset;
    z.recordSize = kZip64EndCentralSize - 12;
    z.versionMadeBy = z.versionNeeded = 45;
    if (!end.zip64Locator) end.zip64Locator = std::make_unique<TZip64Locator>();
    TZip64Locator& l = *end.zip64Locator;
    l.zip64EndDisk = z.thisDisk;
    l.zip64EndOffset = static_cast<uint64_t>(out.Position());
    l.totalDisks = z.thisDisk + 1;

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
    b.U32(l.zip64EndDisk);
    b.U64(l.zip64EndOffset);
    b.U32(l.totalDisks);
  } else {
    end.zip64End.reset();
    end.zip64Locator.reset();
  }
  end.commentLength = end.Comment() ? static_cast<uint16_t>(end.Comment()->size()) : 0;
  b.U32(end.signature);
  b.U16(end.thisDisk);
  b.U16(end.centralDisk);
  b.U16(end.entriesOnDisk);
  b.U16(end.totalEntries);
  b.U32(end.centralSize);
  b.U32(end.centralOffset);
  b.U16(end.commentLength);
  if (end.Comment()) b.Raw(*end.Comment());
  b.WriteTo(out);
}

void WriteCentralDirectory(TStream& out, const TSortedZip& entries, TEndCentral& end) {
  const int64_t offset = out.Position();
  end.SetCentralOffset(static_cast<uint64_t>(offset));
  end.SetCentralDisk(0);
  for (size_t i = 0; i < entries.Count(); ++i) {
    WriteEntryHeader(*entries.Item(i), out, false);
  }
  end.SetEntriesOnDisk(entries.Count());
  end.SetCentralSize(static_cast<uint64_t>(out.Position() - offset));
  end.SetThisDisk(0);
  WriteEndCentral(end, out);
}

}  // namespace lumbrella
