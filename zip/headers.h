// The archive's records as bytes: every record is read and written here, the two side by
// side, over a bounds-checked field cursor (reading) and a byte builder (writing). Comments
// say which record a field lives in and cite PKWARE's format note, APPNOTE.TXT, where a rule
// is not obvious.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>

#include "zip/records.h"

namespace lumbrella {

class TStream;

// Reads little-endian fields from bytes in memory (which must outlive it). A field that does not
// lie whole in the bytes (position + length past the end, overflow included) reads as 0 and clears
// Ok() for good, so a record is checked once, after its last field.
class TFieldCursor {
 public:
  explicit TFieldCursor(std::string_view bytes) : bytes_(bytes) {}
  uint16_t U16();
  uint32_t U32();
  uint64_t U64();
  std::string_view Bytes(size_t count);  // empty when not all there
  void Skip(size_t count) { Take(count); }
  bool Ok() const { return ok_; }
  size_t Position() const { return pos_; }
  size_t Left() const { return bytes_.size() - pos_; }

 private:
  const unsigned char* Take(size_t count);
  std::string_view bytes_;
  size_t pos_ = 0;
  bool ok_ = true;
};

// Builds a record: little-endian fields appended in order.
class TFieldBuilder {
 public:
  void U16(uint32_t v);
  void U32(uint32_t v);
  void U64(uint64_t v);
  void Raw(std::string_view bytes) { data_.append(bytes); }
  const std::string& Bytes() const { return data_; }
  // Appends the record to the archive; ENotEnoughRoom when it takes fewer bytes.
  void WriteTo(TStream& out) const;

 private:
  std::string data_;
};

// Writes count bytes to the archive; ENotEnoughRoom when it takes fewer.
void WriteToArchive(TStream& out, const void* data, size_t count);

// --- Local and central header ---------------------------------------------------------------

// The header's parts as they lie in the file, before the reader interprets them.
struct TRawHeader {
  std::string name;   // stored bytes, "/" separated
  std::string extra;  // the whole extra field
};

// Reads a local (local) or central header at s's position into entry's fields as stored,
// with name and extra field into raw (a central header's comment is skipped). With
// ignoreExtra the extra field length is taken to be 0 (the retry rule for a false length).
// False, with the position restored, when no whole header is there.
bool ReadEntryHeader(TStream& s, bool local, TZipHeaderInfo& entry, TRawHeader& raw,
                     bool ignoreExtra = false);

// Writes entry's local (local) or central header at out's position; a local header first
// takes that position as the entry's relative offset. The name is encoded for the entry's
// name mode, version needed recomputed, and the Zip64 block added when a value needs it
// (or, in a local header, when room is reserved for it). A central header also carries the
// entry's kept extra blocks and its comment, and afterwards the entry's recorded position
// and extra length describe the header just written, so that a directory kept in memory
// stays valid for the archive as written.
void WriteEntryHeader(TZipHeaderInfo& entry, TStream& out, bool local);

// Bytes (tag and length included) of the Zip64 block that entry's local (local) or central
// header needs as the entry stands; 0 when it needs none. A value needs it when it reaches
// its field's escape value; a local block holds both sizes or neither, and holds them
// whatever their values when room is reserved (reserveZip64).
size_t Zip64BlockLength(const TZipHeaderInfo& entry, bool local);

// The blocks of an extra field: the first Zip64 block's values go into entry, each only
// where its header field held the escape value (a value the block lacks keeps the escape
// value, so that the entry fails the later range checks instead of reading as 0). kept
// receives the blocks other than Zip64 that stand as read (whole blocks, ending before a
// second Zip64 block), to be carried into another archive.
void ReadExtraField(std::string_view field, TZipHeaderInfo& entry, std::string* kept);

// --- Data descriptor (APPNOTE 4.3.9) ----------------------------------------------------------

// CRC-32 and sizes after the data, with the optional signature; 8-byte sizes when the local
// header carries a Zip64 block (4.3.9.2). The reader never needs one: the central header
// holds the same values.
void WriteDataDescriptor(const TZipHeaderInfo& entry, TStream& out);

// --- End records ------------------------------------------------------------------------------

// The end record (22 bytes at the cursor, signature included) into end's fields, as they
// stand in it.
bool ReadEndCentral(TFieldCursor& in, TEndCentral& end);
// The Zip64 end record locator (20 bytes): where the Zip64 end record lies.
bool ReadZip64Locator(TFieldCursor& in, uint64_t& zip64EndOffset);
// The Zip64 end record (56 bytes): its values replace those of end that hold their escape
// value. False, and end unchanged, when no whole record is there.
bool ReadZip64EndCentral(TFieldCursor& in, TEndCentral& end);

// Writes the Zip64 end record and locator when a value needs them (one reaches its field's
// escape value), then the end record and the comment.
void WriteEndCentral(TEndCentral& end, TStream& out);

// Ends an archive: the central headers of entries (a ByNone list) at out's position, then
// the end records. Sets the end record's disks, entries on this disk, size and offset; its
// total entries must already be counted.
void WriteCentralDirectory(TStream& out, const TSortedZip& entries, TEndCentral& end);

}  // namespace lumbrella
