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
  entry = TZipHeaderInfo();
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

// The value a 32- or 16-bit field holds: the value itself, or the escape value when the
// value lies in a Zip64 record.
uint32_t Field32(uint64_t value) {
  return value >= kEscape32 ? kEscape32 : static_cast<uint32_t>(value);
}
uint16_t Field16(uint64_t value) {
  return value >= kEscape16 ? kEscape16 : static_cast<uint16_t>(value);
}

// A local header's Zip64 block holds both sizes or neither (4.5.3).
bool LocalSizes64(const TZipHeaderInfo& entry) {
  return entry.uncompressedSize >= kEscape32 || entry.compressedSize >= kEscape32 ||
         entry.reserveZip64;
}

// The Zip64 extended information block (4.5.3): the values that do not fit their fields,
// in this order.
void PutZip64Block(TFieldBuilder& b, const TZipHeaderInfo& entry, bool local, size_t length) {
  b.U16(kZip64ExtraTag);
  b.U16(static_cast<uint32_t>(length - 4));
  const bool sizes64 = local && LocalSizes64(entry);
  if (sizes64 || entry.uncompressedSize >= kEscape32) b.U64(entry.uncompressedSize);
  if (sizes64 || entry.compressedSize >= kEscape32) b.U64(entry.compressedSize);
  if (entry.relativeOffset >= kEscape32) b.U64(entry.relativeOffset);
  if (entry.diskNumberStart >= kEscape16) b.U32(entry.diskNumberStart);
}

// Takes the Zip64 values of a block's data, each only when its header field holds the
// escape value.
void TakeZip64Values(TZipHeaderInfo& entry, std::string_view data) {
  TFieldCursor in(data);
  for (uint64_t* value : {&entry.uncompressedSize, &entry.compressedSize, &entry.relativeOffset}) {
    if (*value != kEscape32) continue;
    const uint64_t v = in.U64();
    if (in.Ok()) *value = v;
  }
  if (entry.diskNumberStart == kEscape16) {
    const uint32_t v = in.U32();
    if (in.Ok()) entry.diskNumberStart = v;
  }
}

}  // namespace

size_t Zip64BlockLength(const TZipHeaderInfo& entry, bool local) {
  size_t size = 0;
  if (local) {
    if (LocalSizes64(entry)) size += 16;
  } else {
    size += (entry.uncompressedSize >= kEscape32 ? 8 : 0) +
            (entry.compressedSize >= kEscape32 ? 8 : 0);
  }
  if (entry.relativeOffset >= kEscape32) size += 8;
  if (entry.diskNumberStart >= kEscape16) size += 4;
  return size != 0 ? 4 + size : 0;
}

void WriteEntryHeader(TZipHeaderInfo& entry, TStream& out, bool local) {
  const int64_t headerPosition = out.Position();
  if (local) entry.relativeOffset = static_cast<uint64_t>(headerPosition);
  const std::string name = EncodeEntryName(entry);
  const size_t zip64Length = Zip64BlockLength(entry, local);
  std::string_view kept = local ? std::string_view() : std::string_view(entry.KeptExtra());
  if (kept.size() + zip64Length > kEscape16) kept = {};
  const auto extraLength = static_cast<uint16_t>(local ? entry.localExtraLength + zip64Length
                                                       : kept.size() + zip64Length);
  const bool sizes64 = local && LocalSizes64(entry);
  if (!local && !entry.Comment()) entry.commentLength = 0;
  entry.versionNeeded = zip64Length != 0 ? 45 : 20;

  TFieldBuilder b;
  b.U32(local ? kLocalHeaderSignature : kCentralHeaderSignature);
  if (!local) b.U16(entry.versionMadeBy);  // (c)
  b.U16(entry.versionNeeded);
  b.U16(entry.flags);
  b.U16(entry.method);
  b.U32(entry.dateTime);
  b.U32(entry.crc32);
  b.U32(sizes64 ? kEscape32 : Field32(entry.compressedSize));
  b.U32(sizes64 ? kEscape32 : Field32(entry.uncompressedSize));
  b.U16(static_cast<uint32_t>(name.size()));
  b.U16(extraLength);  // (l) the caller writes the entry's own local blocks after this header
  if (!local) {
    b.U16(entry.commentLength);  // (c) from here on
    b.U16(Field16(entry.diskNumberStart));
    b.U16(entry.internalAttributes);
    b.U32(entry.externalAttributes);
    b.U32(Field32(entry.relativeOffset));
  }
  b.Raw(name);
  b.Raw(kept);
  if (zip64Length != 0) PutZip64Block(b, entry, local, zip64Length);
  if (!local && entry.Comment()) b.Raw(*entry.Comment());
  b.WriteTo(out);

  if (!local) {
    entry.centralHeaderPosition = headerPosition;
    entry.centralExtraLength = extraLength;
  }
}

void ReadExtraField(std::string_view field, TZipHeaderInfo& entry, std::string* kept) {
  TFieldCursor in(field);
  size_t standing = 0;
  bool zip64 = false;
  while (in.Left() >= 4) {
    const uint16_t id = in.U16();
    const uint16_t size = in.U16();
    std::string_view data = in.Bytes(size);
    if (!in.Ok()) break;  // a block running past the field is no block
    if (id == kZip64ExtraTag) {
      if (zip64) break;
      zip64 = true;
      TakeZip64Values(entry, data);
    } else if (kept != nullptr) {
      kept->append(field.substr(standing, 4u + size));
    }
    standing = in.Position();
  }
}

// --- Data descriptor --------------------------------------------------------------------------

void WriteDataDescriptor(const TZipHeaderInfo& entry, TStream& out) {
  TFieldBuilder b;
  b.U32(kDataDescriptorSignature);
  b.U32(entry.crc32);
  if (LocalSizes64(entry)) {
    b.U64(entry.compressedSize);
    b.U64(entry.uncompressedSize);
  } else {
    b.U32(static_cast<uint32_t>(entry.compressedSize));
    b.U32(static_cast<uint32_t>(entry.uncompressedSize));
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

bool ReadZip64Locator(TFieldCursor& in, uint64_t& zip64EndOffset) {
  if (in.U32() != kZip64LocatorSignature) return false;
  in.U32();  // disk of the Zip64 end record
  zip64EndOffset = in.U64();
  in.U32();  // total disks
  return in.Ok();
}

bool ReadZip64EndCentral(TFieldCursor& in, TEndCentral& end) {
  if (in.U32() != kZip64EndCentralSignature) return false;
  in.U64();  // size of the rest of the record (4.3.14.1)
  in.U16();  // version made by
  in.U16();  // version needed
  const uint32_t thisDisk = in.U32();
  const uint32_t centralDisk = in.U32();
  const uint64_t entriesOnDisk = in.U64();
  const uint64_t totalEntries = in.U64();
  const uint64_t centralSize = in.U64();
  const uint64_t centralOffset = in.U64();
  if (!in.Ok()) return false;
  if (end.thisDisk == kEscape16) end.thisDisk = thisDisk;
  if (end.centralDisk == kEscape16) end.centralDisk = centralDisk;
  if (end.entriesOnDisk == kEscape16) end.entriesOnDisk = entriesOnDisk;
  if (end.totalEntries == kEscape16) end.totalEntries = totalEntries;
  if (end.centralSize == kEscape32) end.centralSize = centralSize;
  if (end.centralOffset == kEscape32) end.centralOffset = centralOffset;
  return true;
}

void WriteEndCentral(TEndCentral& end, TStream& out) {
  TFieldBuilder b;
  const bool zip64 = end.thisDisk >= kEscape16 || end.centralDisk >= kEscape16 ||
                     end.entriesOnDisk >= kEscape16 || end.totalEntries >= kEscape16 ||
                     end.centralSize >= kEscape32 || end.centralOffset >= kEscape32;
  if (zip64) {
    const uint64_t zip64EndOffset = static_cast<uint64_t>(out.Position());
    b.U32(kZip64EndCentralSignature);
    b.U64(kZip64EndCentralSize - 12);
    b.U16(45);  // version made by
    b.U16(45);  // version needed
    b.U32(end.thisDisk);
    b.U32(end.centralDisk);
    b.U64(end.entriesOnDisk);
    b.U64(end.totalEntries);
    b.U64(end.centralSize);
    b.U64(end.centralOffset);

    b.U32(kZip64LocatorSignature);
    b.U32(end.thisDisk);  // the disk of the Zip64 end record
    b.U64(zip64EndOffset);
    b.U32(end.thisDisk + 1);  // total disks
  }
  end.commentLength = end.Comment() ? static_cast<uint16_t>(end.Comment()->size()) : 0;
  b.U32(kEndCentralSignature);
  b.U16(Field16(end.thisDisk));
  b.U16(Field16(end.centralDisk));
  b.U16(Field16(end.entriesOnDisk));
  b.U16(Field16(end.totalEntries));
  b.U32(Field32(end.centralSize));
  b.U32(Field32(end.centralOffset));
  b.U16(end.commentLength);
  if (end.Comment()) b.Raw(*end.Comment());
  b.WriteTo(out);
}

void WriteCentralDirectory(TStream& out, const TSortedZip& entries, TEndCentral& end) {
  const int64_t offset = out.Position();
  end.centralOffset = static_cast<uint64_t>(offset);
  end.centralDisk = 0;
  for (size_t i = 0; i < entries.Count(); ++i) {
    WriteEntryHeader(*entries.Item(i), out, false);
  }
  end.entriesOnDisk = entries.Count();
  end.centralSize = static_cast<uint64_t>(out.Position() - offset);
  end.thisDisk = 0;
  WriteEndCentral(end, out);
}

}  // namespace lumbrella
