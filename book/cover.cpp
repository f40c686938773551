#include "book/cover.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>

#include <algorithm>
#include <cstdint>
#include <vector>

#include "platform/files.h"
#include "platform/stream.h"

namespace lumbrella {

namespace {

std::string LowerAscii(std::string_view s) {
  std::string lower(s);
  for (char& c : lower) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  return lower;
}

// The types every reader shows: told by the signature the file starts with.
constexpr struct {
  std::string_view signature;
  const char* mediaType;
  const char* extension;  // the usual one
  const char* other;      // another one of the type, or ""
} kCopiedTypes[] = {
    {"\xFF\xD8\xFF", "image/jpeg", ".jpg", ".jpeg"},
    {"\x89PNG\r\n\x1A\n", "image/png", ".png", ""},
    {"GIF87a", "image/gif", ".gif", ""},
    {"GIF89a", "image/gif", ".gif", ""},
};
constexpr size_t kHeadSize = 8;  // the longest signature

[[noreturn]] void RaiseInvalidGraphic(const std::string& path) {
  throw EInvalidGraphic("Cannot read image \"" + ExpandFileName(path) +
                        "\". Unknown or damaged image format");
}

void CopyRest(TFileStream& in, TStream& out) {
  std::vector<char> buffer(65536);
  for (;;) {
    size_t got = in.Read(buffer.data(), buffer.size());
    if (got == 0) break;
    out.WriteBuffer(buffer.data(), got);
  }
  if (in.LastError() != 0) throw EReadError();
}

void ConvertToPng(TFileStream& in, std::string_view head, const std::string& from,
                  const std::string& to) {
  const int64_t size = in.Size();
  if (size < static_cast<int64_t>(head.size()) || size > INT32_MAX) throw EReadError();
  QByteArray bytes(static_cast<qsizetype>(size), '\0');
  std::copy(head.begin(), head.end(), bytes.begin());
  in.ReadBuffer(bytes.data() + head.size(), static_cast<size_t>(size) - head.size());
  // The format is told by the content, not by the name.
  QImage image;
  if (!image.loadFromData(bytes)) RaiseInvalidGraphic(from);
  bytes.clear();
  QByteArray png;
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  if (!image.save(&buffer, "PNG")) RaiseInvalidGraphic(from);
  TFileStream out(to, TFileMode::fmCreate);
  out.WriteBuffer(png.constData(), static_cast<size_t>(png.size()));
}

}  // namespace

TCoverTarget CoverTargetFor(std::string_view coverPath, std::string_view head) {
  const std::string ext = ExtractFileExt(coverPath);
  const std::string lower = LowerAscii(ext);
  for (const auto& type : kCopiedTypes) {
    if (!head.starts_with(type.signature)) continue;
    // A JPEG named .png would be refused by readers that trust the name.
    const bool ownExtension = lower == type.extension || (*type.other && lower == type.other);
    return {"cover" + (ownExtension ? ext : std::string(type.extension)), type.mediaType, false};
  }
  return {"cover.png", "image/png", true};
}

TCoverTarget PlaceCoverImage(const std::string& coverPath, const std::string& folder) {
  TFileStream in(coverPath, TFileMode::fmOpenRead);
  RequireRegularFile(in.Handle(), coverPath);
  char head[kHeadSize];
  const size_t got = in.Read(head, sizeof head);
  if (in.LastError() != 0) throw EReadError();
  const std::string_view headBytes(head, got);
  TCoverTarget target = CoverTargetFor(coverPath, headBytes);
  const std::string to = folder + target.fileName;
  if (target.convert) {
    ConvertToPng(in, headBytes, coverPath, to);
  } else {
    TFileStream out(to, TFileMode::fmCreate);
    out.WriteBuffer(head, got);
    CopyRest(in, out);
  }
  return target;
}

}  // namespace lumbrella
