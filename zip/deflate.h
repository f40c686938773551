// Entry data: the CRC-32 register and the two ways of appending a source to an archive,
// raw deflate and store. Memory stays the same whatever the source's size.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>

namespace lumbrella {

class TStream;

inline constexpr size_t kDeflateBlockSize = 65535;
inline constexpr size_t kStoreBlockSize = 32768;

// Advances a CRC-32 register (started at 0xFFFFFFFF; the entry's CRC-32 is the
// complement of the final register) over count bytes.
uint32_t CrcUpdate(uint32_t crcRegister, const void* data, size_t count);

struct TEntryData {
  uint64_t written = 0;  // bytes appended to the archive
  uint64_t read = 0;     // source bytes read
};

// Called after each block appended to the archive, with the source bytes read so far.
// It may throw (a cancel request) to end the entry.
using TBlockDone = std::function<void(uint64_t readSoFar)>;

// Deflates entry after entry with one zlib state and one pair of blocks: for a small file,
// making them anew (and the heap growing and shrinking with them) costs more than the
// compression itself.
class TDeflater {
 public:
  TDeflater();
  ~TDeflater();
  TDeflater(const TDeflater&) = delete;
  TDeflater& operator=(const TDeflater&) = delete;

  // Reads the source (at most limit bytes) and appends its raw deflate stream (no zlib
  // header or trailer) at level, in 65,535-byte blocks. EZCompressionError "error" when
  // zlib fails, ENotEnoughRoom when the archive takes fewer bytes than written.
  TEntryData Deflate(TStream& source, TStream& out, int level, uint32_t& crcRegister,
                     uint64_t limit, const TBlockDone& blockDone);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Proves entry data, entry after entry, with one zlib state and one pair of blocks, made
// on first need: as with deflating, making them anew costs more than a small entry.
class TInflater {
 public:
  TInflater();
  ~TInflater();
  TInflater(const TInflater&) = delete;
  TInflater& operator=(const TInflater&) = delete;

  // Whether count bytes of entry data at in's position hold exactly size bytes whose
  // CRC-32 is crc: inflated as a raw deflate stream that ends with the data, or stored as
  // they are. A damaged or short stream gives false. block is called after each block
  // read (it may throw to stop); produced, when given, grows by the bytes inflated or read.
  bool Holds(TStream& in, uint64_t count, bool deflated, uint64_t size, uint32_t crc,
             const std::function<void()>& block, uint64_t* produced = nullptr);

 private:
  struct State;
  std::unique_ptr<State> state_;
};

// Copies the source (at most limit bytes) to the archive in 32,768-byte blocks.
TEntryData StoreEntry(TStream& source, TStream& out, uint32_t& crcRegister, uint64_t limit,
                      const TBlockDone& blockDone);

}  // namespace lumbrella
