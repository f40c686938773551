#include "book/decode.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/stream.h"

namespace lumbrella {

namespace {

// Reads the mark at the start of the open file; offset: where the body begins.
SourceMark ReadMark(TFileStream& file, int64_t& offset) {
  unsigned char head[3] = {0, 0, 0};
  const size_t got = file.Read(head, 3);
  offset = 0;
  if (got >= 2 && head[0] == 0xFF && head[1] == 0xFE) {
    offset = 2;
    return SourceMark::Utf16LE;
  }
  if (got >= 2 && head[0] == 0xFE && head[1] == 0xFF) {
    offset = 2;
    return SourceMark::Utf16BE;
  }
  if (got == 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) {
    offset = 3;
    return SourceMark::Utf8;
  }
  return SourceMark::None;
}

}  // namespace

TSourceText::TSourceText(const std::string& path, size_t blockSize)
    : file_(std::make_unique<TFileStream>(path, TFileMode::fmOpenRead)),
      blockSize_(std::max<size_t>(blockSize, 1)) {
  size_ = RequireRegularFile(file_->Handle(), path);
  mark_ = ReadMark(*file_, offset_);
  if (mark_ == SourceMark::Utf8) kind_ = Kind::kUtf8;
  if (mark_ == SourceMark::Utf16LE) kind_ = Kind::kUtf16LE;
  if (mark_ == SourceMark::Utf16BE) kind_ = Kind::kUtf16BE;
}

TSourceText::~TSourceText() = default;

void TSourceText::Read(const std::function<void(std::string_view)>& piece,
                       const std::function<void()>& restart) {
  stopped_ = false;
  // A character cut at a block's end (three bytes at most) moves in front of the next block.
  if (!block_) block_.reset(new char[blockSize_ + 3]);
  for (;;) {
    file_->SetPosition(offset_);
    uint64_t left = size_ > offset_ ? static_cast<uint64_t>(size_ - offset_) : 0;
    size_t carried = 0;
    bool utf8 = true;
    for (bool last = false; !last && utf8 && !stopped_;) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(left, blockSize_));
      file_->ReadBuffer(block_.get() + carried, want);
      left -= want;
      last = left == 0;
      const std::string_view bytes(block_.get(), carried + want);
      size_t taken = 0;
      utf8 = Convert(kind_, bytes, last, piece, taken);
      carried = bytes.size() - taken;
      std::memmove(block_.get(), block_.get() + taken, carried);
    }
    if (utf8 || stopped_) return;
    // Not UTF-8 after all: ANSI bytes as they stand, from the start.
    kind_ = Kind::kAnsi;
    restart();
    if (stopped_) return;
  }
}

bool TSourceText::Convert(Kind kind, std::string_view bytes, bool last,
                          const std::function<void(std::string_view)>& piece, size_t& taken) {
  converted_.clear();
  switch (kind) {
    case Kind::kUtf8:
    case Kind::kUtf8OrAnsi: {
      // Well-formed UTF-8, the common case, goes out as it stands.
      taken = WellFormedUtf8Length(bytes);
      if (taken != 0) piece(bytes.substr(0, taken));
      // What stopped the scan may be a character the block's end cut.
      if (taken == bytes.size() || (!last && bytes.size() - taken < 4)) return true;
      if (kind == Kind::kUtf8OrAnsi) return false;
      taken += AppendUtf8Repaired(bytes.substr(taken), last, converted_);
      break;
    }
    case Kind::kAnsi:
      taken = AppendAnsiAsUtf8(bytes, last, converted_);
      break;
    case Kind::kUtf16LE:
    case Kind::kUtf16BE:
      taken = AppendUtf16AsUtf8(bytes, kind == Kind::kUtf16BE, last, converted_);
      break;
  }
  if (!converted_.empty()) piece(converted_);
  return true;
}

}  // namespace lumbrella
