#include "book/decode.h"

#include <cstdint>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/stream.h"

namespace lumbrella {

namespace {

// Units of a UTF-16 body in the given byte order. An odd trailing byte is no whole unit and
// is dropped.
std::u16string Utf16Units(const std::string& body, bool bigEndian) {
  std::u16string units(body.size() / 2, u'\0');
  for (size_t i = 0; i < units.size(); ++i) {
    auto first = static_cast<unsigned char>(body[2 * i]);
    auto second = static_cast<unsigned char>(body[2 * i + 1]);
    units[i] = bigEndian ? static_cast<char16_t>(first << 8 | second)
                         : static_cast<char16_t>(second << 8 | first);
  }
  return units;
}

}  // namespace

std::pair<SourceMark, std::string> ReadSourceBytes(const std::string& path) {
  TFileStream file(path, TFileMode::fmOpenRead);  // closed on every way out
  RequireRegularFile(file.Handle(), path);

  unsigned char head[3] = {0, 0, 0};
  const size_t got = file.Read(head, 3);
  SourceMark mark = SourceMark::None;
  int64_t offset = 0;
  if (got >= 2 && head[0] == 0xFF && head[1] == 0xFE) {
    mark = SourceMark::Utf16LE;
    offset = 2;
  } else if (got >= 2 && head[0] == 0xFE && head[1] == 0xFF) {
    mark = SourceMark::Utf16BE;
    offset = 2;
  } else if (got == 3 && head[0] == 0xEF && head[1] == 0xBB && head[2] == 0xBF) {
    mark = SourceMark::Utf8;
    offset = 3;
  }

  // The body is read in one piece, sized from the file; a file that shrinks meanwhile
  // delivers fewer bytes and that is a read error.
  const int64_t size = file.Size();
  if (size < 0) throw EReadError();
  std::string body(size > offset ? static_cast<size_t>(size - offset) : 0, '\0');
  file.SetPosition(offset);
  file.ReadBuffer(body.data(), body.size());
  return {mark, std::move(body)};
}

std::string LoadSourceText(const std::string& path) {
  auto [mark, body] = ReadSourceBytes(path);
  switch (mark) {
    case SourceMark::Utf16LE:
    case SourceMark::Utf16BE:
      // The whole body: a U+0000 does not end the text here; the page writer drops the
      // characters a document cannot hold.
      return Utf16ToAnsi(Utf16Units(body, mark == SourceMark::Utf16BE));
    case SourceMark::Utf8:
      // The mark says UTF-8: a malformed sequence costs one U+FFFD, not the chapter.
      return Utf8TextToAnsi(body);
    case SourceMark::None:
      break;
  }
  bool wellFormed = false;
  std::string ansi = Utf8TextToAnsi(body, &wellFormed);
  if (wellFormed) return ansi;
  return body;  // not UTF-8 anywhere: ANSI bytes as they stand
}

}  // namespace lumbrella
