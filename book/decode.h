// Reading a source text file as UTF-8, whatever its encoding.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>
#include <string_view>

namespace lumbrella {

// The mark a source file starts with.
enum class SourceMark { None = 0, Utf16LE = 1, Utf8 = 2, Utf16BE = 3 };

class TFileStream;

// A source file read in blocks, its text handed out as UTF-8 piece by piece, with only a block
// of the file in memory at a time. The file's mark decides how its bytes are read: FF FE and
// FE FF as UTF-16 (either order; U+0000 is text like any other, an unpaired surrogate becomes
// "?", an odd trailing byte is dropped), all three bytes EF BB BF as UTF-8 with U+FFFD for each
// malformed sequence (a file that starts EF BB with anything else is unmarked and keeps all its
// bytes), and an unmarked file as UTF-8 when all of it is well-formed UTF-8, otherwise as ANSI.
// Line ends are kept.
class TSourceText {
 public:
  static constexpr size_t kBlockSize = 65536;

  // Opens the file (others may go on reading and writing it) and reads its mark. Raises
  // EFOpenError "Cannot open file "%s". %s" (the second text "Not a regular file" for a pipe,
  // a device or a kernel file such as /proc's) or EReadError. Tests read in smaller blocks,
  // so that the cuts between pieces fall everywhere.
  explicit TSourceText(const std::string& path, size_t blockSize = kBlockSize);
  ~TSourceText();
  TSourceText(const TSourceText&) = delete;
  TSourceText& operator=(const TSourceText&) = delete;

  SourceMark Mark() const { return mark_; }
  // Hands the text to piece in order: well-formed UTF-8, cut between characters, each piece
  // valid during its call. An unmarked file is taken for UTF-8 until a malformed sequence
  // shows that it is not; then restart is called, and the text comes again from its start,
  // as ANSI (as it does in every later Read). EReadError when the file holds fewer bytes
  // than it had when it was opened. Each Read begins at the start of the text.
  void Read(const std::function<void(std::string_view utf8)>& piece,
            const std::function<void()>& restart);
  // Called from piece or restart: Read returns as soon as that call does. A malformed
  // sequence met in the stopped piece's block is left for a later Read to find.
  void Stop() { stopped_ = true; }

 private:
  enum class Kind { kUtf8, kUtf8OrAnsi, kAnsi, kUtf16LE, kUtf16BE };
  // Hands out the leading characters of the bytes; returns how many it took, or nothing
  // when an unmarked file proves not to be UTF-8.
  bool Convert(Kind kind, std::string_view bytes, bool last,
               const std::function<void(std::string_view)>& piece, size_t& taken);

  std::unique_ptr<TFileStream> file_;
  SourceMark mark_ = SourceMark::None;
  Kind kind_ = Kind::kUtf8OrAnsi;
  size_t blockSize_;
  bool stopped_ = false;
  int64_t offset_ = 0;  // where the body begins
  int64_t size_ = 0;    // the file's size when opened
  std::unique_ptr<char[]> block_;
  std::string converted_;
};

}  // namespace lumbrella
