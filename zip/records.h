// The in-memory records of an archive: one entry (TZipHeaderInfo), the end of the central
// directory (TEndCentral) and the sorted entry lists (TSortedZip); zip/headers.h reads and
// writes them as bytes. Field comments say where a field lives on disk: (l) local header,
// (c) central header, (e) end record. Section numbers refer to PKWARE's APPNOTE.TXT.
#pragma once

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumbrella {

// Code page of stored names.
enum TOEMConvert : uint8_t { oemAlways = 0, oemNever = 1, oemFlexible = 2 };

inline constexpr uint32_t kLocalHeaderSignature = 0x04034B50;
inline constexpr uint32_t kCentralHeaderSignature = 0x02014B50;
inline constexpr uint32_t kDataDescriptorSignature = 0x08074B50;
inline constexpr uint32_t kEndCentralSignature = 0x06054B50;
inline constexpr uint32_t kZip64EndCentralSignature = 0x06064B50;
inline constexpr uint32_t kZip64LocatorSignature = 0x07064B50;
inline constexpr uint16_t kZip64ExtraTag = 0x0001;
// Fields whose value reaches these (or passes them) hold them on disk, and the value itself
// lies in a Zip64 record (APPNOTE 4.4.1.4); zip/headers.h decides that when it writes.
inline constexpr uint32_t kEscape32 = 0xFFFFFFFF;
inline constexpr uint16_t kEscape16 = 0xFFFF;

// Fixed parts, without name, extra field and comment.
inline constexpr uint32_t kLocalHeaderSize = 30;
inline constexpr uint32_t kCentralHeaderSize = 46;
inline constexpr uint32_t kEndCentralSize = 22;
inline constexpr uint32_t kZip64EndCentralSize = 56;
inline constexpr uint32_t kZip64LocatorSize = 20;

// One entry of an archive. Sizes, offset and disk are the entry's own values, whatever
// their width on disk.
class TZipHeaderInfo {
 public:
  // The name is path + file name. The path is empty or ends in "/"; setting a non-empty
  // path without one appends it. Both recompute nameLength.
  const std::string& FileName() const { return fileName_; }
  void SetFileName(std::string name);
  const std::string& Path() const { return path_; }
  void SetPath(std::string path);
  std::string FullName() const { return path_ + fileName_; }

  const std::optional<std::string>& Comment() const { return comment_; }
  void SetComment(std::string comment);  // stores a copy and its length
  void ClearComment();                   // length 0, no comment

  // (c) The blocks of the central extra field other than Zip64, as read: carried into the
  // central header when the entry is kept in another archive (APPNOTE 4.5).
  const std::string& KeptExtra() const { return keptExtra_; }
  void SetKeptExtra(std::string blocks) { keptExtra_ = std::move(blocks); }

  uint16_t versionMadeBy = 45;         // (c) low byte 4.5, high byte host 0 (11: oemFlexible)
  uint16_t versionNeeded = 20;         // (l)(c) recomputed at each write: 20, 45 with Zip64
  uint16_t flags = 0;                  // (l)(c) general purpose bit flag (4.4.4)
  uint16_t method = 8;                 // (l)(c) 8 deflate, 0 stored
  uint32_t dateTime = 0;               // (l)(c) DOS time in the low half, date in the high
  uint32_t crc32 = 0xFFFFFFFF;         // (l)(c) register start value until the data is done
  uint64_t compressedSize = 0;         // (l)(c)
  uint64_t uncompressedSize = 0;       // (l)(c)
  uint16_t nameLength = 0;             // (l)(c)
  uint16_t centralExtraLength = 0;     // (c) as read
  uint16_t localExtraLength = 0;       // (l)
  uint16_t commentLength = 0;          // (c)
  uint32_t diskNumberStart = 0;        // (c)
  uint16_t internalAttributes = 1;     // (c) the packer writes 0
  uint32_t externalAttributes = 0x20;  // (c)
  uint64_t relativeOffset = 0;         // (c)
  int64_t centralHeaderPosition = 0;   // where the central header lay in the archive read
  TOEMConvert nameMode = oemNever;
  // (l) The local header carries the Zip64 sizes whatever the values: set before the
  // provisional header of a source so large that its final sizes might not fit 32 bits,
  // so that the header rewritten in place keeps the provisional one's length.
  bool reserveZip64 = false;

 private:
  std::string fileName_;
  std::string path_;
  std::optional<std::string> comment_;
  std::string keptExtra_;
};

// The end of central directory record (4.3.16), with the values that a Zip64 end record
// (4.3.14) holds where they outgrow it.
class TEndCentral {
 public:
  const std::optional<std::string>& Comment() const { return comment_; }
  void SetComment(std::string comment);

  uint32_t thisDisk = 0;        // (e)
  uint32_t centralDisk = 0;     // (e)
  uint64_t entriesOnDisk = 0;   // (e)
  uint64_t totalEntries = 0;    // (e)
  uint64_t centralSize = 0;     // (e)
  uint64_t centralOffset = 0;   // (e)
  uint16_t commentLength = 0;   // (e)
  int64_t commentPosition = 0;  // of the comment in the archive read
  bool modified = false;        // a comment was changed through the packer

 private:
  std::optional<std::string> comment_;
};

enum class TSortMode { ByName, ByNone };

// A list of entries that it owns, kept sorted: ByNone by (disk number start, relative
// offset), the order in which entries lie in the archive; ByName by path plus file name,
// byte for byte (names that differ in letter case are two files on this platform). An equal
// key is refused with EListError "Duplicate Object index".
class TSortedZip {
 public:
  explicit TSortedZip(TSortMode mode) : mode_(mode) {}

  TSortMode Mode() const { return mode_; }
  size_t Count() const { return items_.size(); }
  // "Index %d is out of range" (EListError) when i is not a position of the list.
  TZipHeaderInfo* Item(size_t i) const;
  // Inserts at its sorted place; returns the position. On an equal key the entry is
  // freed and EListError raised.
  size_t Add(std::unique_ptr<TZipHeaderInfo> entry);
  // Replaces the list by entries in any order, sorted once (n log n). On an equal key
  // EListError, and the list is left empty.
  void Assign(std::vector<std::unique_ptr<TZipHeaderInfo>> entries);
  // Bisection: the entry with this name (ByName; linear under ByNone) or -1.
  long FindName(const std::string& fullName) const;
  // Bisection under ByNone: the entry at this disk and offset, or -1.
  long FindPlace(uint32_t disk, uint64_t offset) const;
  // Takes position i out of the list.
  std::unique_ptr<TZipHeaderInfo> Extract(size_t i);
  void Clear() { items_.clear(); }

 private:
  int Compare(const TZipHeaderInfo& a, const TZipHeaderInfo& b) const;

  TSortMode mode_;
  std::vector<std::unique_ptr<TZipHeaderInfo>> items_;
};

// ASCII-case-insensitive comparison of names, as the duplicate check uses it. Only
// single-byte characters are folded: a GB18030 trail byte that happens to be a letter
// keeps its case, so two different Chinese names never compare equal.
int CompareNamesIgnoringCase(const std::string& a, const std::string& b);

// Sources at least this large get the Zip64 sizes reserved in their local header: below
// it neither the source nor its deflate output (zlib's worst case adds about 1.3 MB per
// 4 GiB) can reach 0xFFFFFFFF bytes.
inline constexpr uint64_t kZip64ReserveThreshold = 0xFFFFFFFFull - 0x200000;

// The name bytes as stored for the entry's name mode. Under oemFlexible this also sets
// the host byte of versionMadeBy (11 when the ANSI bytes are kept, 0 otherwise).
std::string EncodeEntryName(TZipHeaderInfo& entry);

}  // namespace lumbrella
