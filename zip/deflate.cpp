#include "zip/deflate.h"

#include <zlib.h>

#include <algorithm>
#include <limits>
#include <memory>

#include "platform/errors.h"
#include "platform/stream.h"
#include "zip/errors.h"
#include "zip/headers.h"

namespace lumbrella {

namespace {

// Reads up to count bytes of the source (never past limit) and runs them through the CRC.
size_t ReadSource(TStream& source, unsigned char* buffer, size_t count, uint64_t& read,
                  uint64_t limit, uint32_t& crcRegister) {
  count = static_cast<size_t>(std::min<uint64_t>(count, limit - read));
  if (count == 0) return 0;
  size_t got = source.Read(buffer, count);
  crcRegister = CrcUpdate(crcRegister, buffer, got);
  read += got;
  return got;
}

}  // namespace

uint32_t CrcUpdate(uint32_t crcRegister, const void* data, size_t count) {
  // zlib keeps the register complemented between calls.
  uLong crc = ~crcRegister & 0xFFFFFFFFu;
  const Bytef* p = static_cast<const Bytef*>(data);
  while (count > 0) {
    uInt chunk = static_cast<uInt>(std::min<size_t>(count, std::numeric_limits<uInt>::max()));
    crc = crc32(crc, p, chunk);
    p += chunk;
    count -= chunk;
  }
  return ~static_cast<uint32_t>(crc);
}

struct TDeflater::State {
  z_stream z{};
  bool open = false;  // z holds a stream begun with level
  int level = 0;
  // Not zero-filled: every byte is written before it is read.
  std::unique_ptr<unsigned char[]> input{new unsigned char[kDeflateBlockSize]};
  std::unique_ptr<unsigned char[]> output{new unsigned char[kDeflateBlockSize]};

  ~State() {
    if (open) deflateEnd(&z);
  }
  // A stream at its start: the one held, reset, when it has the level (the same state as
  // a new one, so the same bytes), else a new one.
  void Begin(int wanted) {
    if (open && level == wanted && deflateReset(&z) == Z_OK) return;
    if (open) deflateEnd(&z);
    open = false;
    z = z_stream{};
    if (deflateInit2(&z, wanted, Z_DEFLATED, -MAX_WBITS, 8, Z_DEFAULT_STRATEGY) < 0) {
      throw EZCompressionError();
    }
    open = true;
    level = wanted;
  }
};

TDeflater::TDeflater() : state_(std::make_unique<State>()) {}
TDeflater::~TDeflater() = default;

TEntryData TDeflater::Deflate(TStream& source, TStream& out, int level, uint32_t& crcRegister,
                              uint64_t limit, const TBlockDone& blockDone) {
  TEntryData result;
  unsigned char* input = state_->input.get();
  unsigned char* output = state_->output.get();
  size_t got = ReadSource(source, input, kDeflateBlockSize, result.read, limit, crcRegister);

  state_->Begin(level);
  z_stream& z = state_->z;
  z.next_in = input;
  z.avail_in = static_cast<uInt>(got);
  z.next_out = output;
  z.avail_out = static_cast<uInt>(kDeflateBlockSize);
  int flush = Z_NO_FLUSH;
  int status = Z_OK;
  while (status != Z_STREAM_END) {
    if (z.avail_in == 0 && flush != Z_FINISH) {
      got = ReadSource(source, input, kDeflateBlockSize, result.read, limit, crcRegister);
      if (got == 0) flush = Z_FINISH;
      z.next_in = input;
      z.avail_in = static_cast<uInt>(got);
    }
    status = deflate(&z, flush);
    if (status < 0) throw EZCompressionError();
    if (z.avail_out == 0 || flush == Z_FINISH) {
      size_t produced = kDeflateBlockSize - z.avail_out;
      WriteToArchive(out, output, produced);
      result.written += produced;
      z.next_out = output;
      z.avail_out = static_cast<uInt>(kDeflateBlockSize);
      if (blockDone && produced != 0) blockDone(result.read);
    }
  }
  return result;
}

struct TInflater::State {
  z_stream z{};
  bool open = false;  // z holds a stream, to be reset for the next entry
  std::unique_ptr<unsigned char[]> input{new unsigned char[kDeflateBlockSize]};
  std::unique_ptr<unsigned char[]> output{new unsigned char[kDeflateBlockSize]};

  ~State() {
    if (open) inflateEnd(&z);
  }
  bool Begin() {
    if (open) return inflateReset(&z) == Z_OK;
    z = z_stream{};
    open = inflateInit2(&z, -MAX_WBITS) == Z_OK;
    return open;
  }
};

TInflater::TInflater() = default;
TInflater::~TInflater() = default;

bool TInflater::Holds(TStream& in, uint64_t count, bool deflated, uint64_t size, uint32_t crc,
                      const std::function<void()>& block, uint64_t* produced) {
  if (!deflated && count != size) return false;
  if (!state_) state_ = std::make_unique<State>();
  if (deflated && !state_->Begin()) return false;
  z_stream& z = state_->z;
  unsigned char* input = state_->input.get();
  unsigned char* output = state_->output.get();
  uint32_t crcRegister = 0xFFFFFFFF;
  uint64_t made = 0;
  const auto count64 = [&](size_t bytes) {
    made += bytes;
    if (produced) *produced += bytes;
  };
  int status = Z_OK;
  while (count > 0) {
    const size_t want = static_cast<size_t>(std::min<uint64_t>(count, kDeflateBlockSize));
    if (in.Read(input, want) != want) return false;
    count -= want;
    if (!deflated) {
      crcRegister = CrcUpdate(crcRegister, input, want);
      count64(want);
    }
    z.next_in = input;
    z.avail_in = static_cast<uInt>(want);
    // With all input taken, inflate may still hold output that did not fit the last
    // block: it is called again until it wants more input.
    while (deflated && status != Z_STREAM_END) {
      z.next_out = output;
      z.avail_out = static_cast<uInt>(kDeflateBlockSize);
      status = inflate(&z, Z_NO_FLUSH);
      if (status == Z_BUF_ERROR && z.avail_in == 0) {  // wants more input
        status = Z_OK;
        break;
      }
      if (status != Z_OK && status != Z_STREAM_END) return false;
      const size_t got = kDeflateBlockSize - z.avail_out;
      count64(got);
      if (made > size) return false;
      crcRegister = CrcUpdate(crcRegister, output, got);
      if (z.avail_in == 0 && z.avail_out != 0) break;
    }
    // Bytes after the end of the stream are no part of these data.
    if (deflated && status == Z_STREAM_END && (z.avail_in != 0 || count != 0)) return false;
    if (block) block();
  }
  return (!deflated || status == Z_STREAM_END) && made == size && ~crcRegister == crc;
}

TEntryData StoreEntry(TStream& source, TStream& out, uint32_t& crcRegister, uint64_t limit,
                      const TBlockDone& blockDone) {
  TEntryData result;
  try {
    result.read = result.written =
        CopyStream(source, out, limit, kStoreBlockSize, [&](const char* data, size_t size) {
          crcRegister = CrcUpdate(crcRegister, data, size);
          if (blockDone) blockDone(result.read += size);
        });
  } catch (const EWriteError&) {
    throw ENotEnoughRoom();
  }
  return result;
}

}  // namespace lumbrella
