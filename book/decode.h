// Reading a source text file as UTF-8, whatever its encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

#include "book/encoding.h"

namespace lumbrella {

// The mark a source file starts with.
enum class SourceMark { None = 0, Utf16LE = 1, Utf8 = 2, Utf16BE = 3 };

class TFileStream;
class TLegacyDecoder;

// A source file read in blocks, its text handed out as UTF-8 piece by piece, with only a block
// of the file in memory at a time. The file's mark decides how its bytes are read: FF FE and
// FE FF as UTF-16 (either order; U+0000 is text like any other, an unpaired surrogate becomes
// "?", an odd trailing byte is dropped), all three bytes EF BB BF as UTF-8 with U+FFFD for each
// malformed sequence (a file that starts EF BB with anything else is unmarked and keeps all its
// bytes). A file without a mark is read in the encoding its bytes show (DetectEncoding), the
// legacy code pages with U+FFFD for each sequence that is no character. Line ends are kept.
class TSourceText {
 public:
  static constexpr size_t kBlockSize = 65536;

  // Opens the file (others may go on reading and writing it) and reads its mark. Raises
  // EFOpenError "Cannot open file "%s". %s" (the second text "Not a regular file" for a pipe,
  // a device or a kernel file such as /proc's) or EReadError. Tests read in smaller blocks,
  // so that the cuts between pieces fall everywhere.
  explicit TSourceText(const std::string& path, size_t blockSize = kBlockSize);
  // The same, read in the given encoding (the user's choice): a mark of that encoding is
  // skipped, any other bytes are decoded as they stand. seAuto: the mark decides, or for a
  // file without one its bytes (DetectEncoding).
  TSourceText(const std::string& path, TSourceEncoding encoding, size_t blockSize = kBlockSize);
  ~TSourceText();
  TSourceText(const TSourceText&) = delete;
  TSourceText& operator=(const TSourceText&) = delete;

  SourceMark Mark() const { return mark_; }
  // Hands the text to piece in order: well-formed UTF-8, cut between characters, each piece
  // valid during its call. A file without a mark (read in seAuto) is taken for UTF-8 until a
  // malformed sequence or a zero byte shows that it may not be; then its encoding is
  // decided on the whole file (DetectEncoding). UTF-8 after all goes on where it stopped;
  // any other encoding calls restart, and the text comes again from its start, in that
  // encoding (as it does in every later Read). EReadError when the file holds fewer bytes
  // than it had when it was opened. Each Read begins at the start of the text.
  void Read(const std::function<void(std::string_view utf8)>& piece,
            const std::function<void()>& restart);
  // Called from piece or restart: Read returns as soon as that call does. A malformed
  // sequence met in the stopped piece's block is left for a later Read to find.
  void Stop() { stopped_ = true; }
  // What the text is read in: the mark's encoding, the one given, or what its bytes
  // decided: UTF-8 when a Read met no fault to its end, what DetectEncoding found once a
  // fault was met, or asked before that, what DetectEncoding finds now.
  const TEncodingChoice& Encoding();

 private:
  enum class Kind { kUtf8, kUndecided, kAnsi, kUtf16LE, kUtf16BE, kLegacy };
  // Hands out the leading characters of the bytes; returns how many it took, or nothing
  // when an unmarked file meets a malformed sequence or a zero byte before it is decided.
  bool Convert(Kind kind, std::string_view bytes, bool last,
               const std::function<void(std::string_view)>& piece, size_t& taken);
  // Reads in the encoding from now on.
  void Use(const TEncodingChoice& choice);
  void Detect();

  std::unique_ptr<TFileStream> file_;
  SourceMark mark_ = SourceMark::None;
  Kind kind_ = Kind::kUndecided;
  TEncodingChoice encoding_;
  std::unique_ptr<TLegacyDecoder> legacy_;
  size_t blockSize_;
  bool stopped_ = false;
  int64_t offset_ = 0;  // where the body begins
  int64_t size_ = 0;    // the file's size when opened
  std::unique_ptr<char[]> block_;
  std::string converted_;
};

}  // namespace lumbrella
