#include "book/decode.h"

#include <algorithm>
#include <cstdint>
#include <cstring>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/legacy_codepage.h"
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
    : TSourceText(path, TSourceEncoding::seAuto, blockSize) {}

TSourceText::TSourceText(const std::string& path, TSourceEncoding encoding, size_t blockSize)
    : file_(std::make_unique<TFileStream>(path, TFileMode::fmOpenRead)),
      blockSize_(std::max<size_t>(blockSize, 1)) {
  size_ = RequireRegularFile(file_->Handle(), path);
  mark_ = ReadMark(*file_, offset_);
  TEncodingChoice choice;
  choice.by = TEncodingChoice::TBy::byMark;
  switch (mark_) {
    case SourceMark::Utf8:
      choice.encoding = TSourceEncoding::seUtf8;
      break;
    case SourceMark::Utf16LE:
      choice.encoding = TSourceEncoding::seUtf16LE;
      break;
    case SourceMark::Utf16BE:
      choice.encoding = TSourceEncoding::seUtf16BE;
      break;
    case SourceMark::None:
      choice.encoding = TSourceEncoding::seAuto;
      break;
  }
  if (encoding != TSourceEncoding::seAuto) {
    // The user's choice: another encoding's mark is text of this one.
    if (encoding != choice.encoding) offset_ = 0;
    choice.encoding = encoding;
    choice.by = TEncodingChoice::TBy::byUser;
  }
  if (choice.encoding != TSourceEncoding::seAuto) Use(choice);
}

TSourceText::~TSourceText() = default;

void TSourceText::Use(const TEncodingChoice& choice) {
  encoding_ = choice;
  legacy_.reset();
  switch (choice.encoding) {
    case TSourceEncoding::seAuto:
      kind_ = Kind::kUndecided;
      break;
    case TSourceEncoding::seUtf8:
      kind_ = Kind::kUtf8;
      break;
    case TSourceEncoding::seGb18030:
      kind_ = Kind::kAnsi;
      break;
    case TSourceEncoding::seUtf16LE:
      kind_ = Kind::kUtf16LE;
      break;
    case TSourceEncoding::seUtf16BE:
      kind_ = Kind::kUtf16BE;
      break;
    case TSourceEncoding::seBig5:
      legacy_ = std::make_unique<TLegacyDecoder>(TLegacyCodePage::lcBig5);
      kind_ = Kind::kLegacy;
      break;
    case TSourceEncoding::seBig5Hkscs:
      legacy_ = std::make_unique<TLegacyDecoder>(TLegacyCodePage::lcBig5Hkscs);
      kind_ = Kind::kLegacy;
      break;
    case TSourceEncoding::seShiftJis:
      legacy_ = std::make_unique<TLegacyDecoder>(TLegacyCodePage::lcShiftJis);
      kind_ = Kind::kLegacy;
      break;
  }
}

void TSourceText::Detect() {
  const int64_t at = file_->Position();
  Use(DetectEncoding(*file_, offset_, size_ - offset_));
  file_->SetPosition(at);
}

const TEncodingChoice& TSourceText::Encoding() {
  if (kind_ == Kind::kUndecided) Detect();
  return encoding_;
}

void TSourceText::Read(const std::function<void(std::string_view)>& piece,
                       const std::function<void()>& restart) {
  stopped_ = false;
  // A character cut at a block's end (three bytes at most) moves in front of the next block.
  if (!block_) block_.reset(new char[blockSize_ + 3]);
  for (;;) {
    file_->SetPosition(offset_);
    if (legacy_) legacy_->Reset();
    uint64_t left = size_ > offset_ ? static_cast<uint64_t>(size_ - offset_) : 0;
    size_t carried = 0;
    bool again = false;
    for (bool last = false; !last && !again && !stopped_;) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(left, blockSize_));
      file_->ReadBuffer(block_.get() + carried, want);
      left -= want;
      last = left == 0;
      const std::string_view bytes(block_.get(), carried + want);
      size_t taken = 0;
      if (!Convert(kind_, bytes, last, piece, taken)) {
        if (stopped_) return;
        // Perhaps not UTF-8: the whole file decides.
        Detect();
        if (kind_ == Kind::kUtf8) {
          size_t more = 0;
          Convert(kind_, bytes.substr(taken), last, piece, more);
          taken += more;
        } else {
          again = true;
        }
      }
      carried = bytes.size() - taken;
      std::memmove(block_.get(), block_.get() + taken, carried);
    }
    if (stopped_) return;
    if (!again) {
      if (kind_ == Kind::kUndecided) Use({});  // well-formed UTF-8 to its end
      return;
    }
    // Another encoding: the text comes again from its start.
    restart();
    if (stopped_) return;
  }
}

bool TSourceText::Convert(Kind kind, std::string_view bytes, bool last,
                          const std::function<void(std::string_view)>& piece, size_t& taken) {
  converted_.clear();
  switch (kind) {
    case Kind::kUtf8:
    case Kind::kUndecided: {
      // Well-formed UTF-8, the common case, goes out as it stands. Undecided, a zero byte
      // stops it too: UTF-16 text has them, UTF-8 text hardly ever.
      std::string_view scan = bytes;
      if (kind == Kind::kUndecided) {
        const void* zero = std::memchr(bytes.data(), 0, bytes.size());
        if (zero != nullptr) scan = bytes.substr(0, static_cast<const char*>(zero) - bytes.data());
      }
      taken = WellFormedUtf8Length(scan);
      if (taken != 0) piece(bytes.substr(0, taken));
      // What stopped the scan may be a character the block's end cut.
      if (taken == bytes.size() || (!last && bytes.size() - taken < 4)) return true;
      if (kind == Kind::kUndecided) return false;
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
    case Kind::kLegacy:
      // The decoder keeps a character cut at the block's end until the next block.
      legacy_->AppendUtf8(bytes, last, converted_);
      taken = bytes.size();
      break;
  }
  if (!converted_.empty()) piece(converted_);
  return true;
}

}  // namespace lumbrella
