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

// The whole image, decoded by its content (not by its name); head holds its first bytes,
// already read.
QImage DecodeImage(TFileStream& in, std::string_view head, const std::string& from) {
  const int64_t size = in.Size();
  if (size < static_cast<int64_t>(head.size()) || size > INT32_MAX) throw EReadError();
  QByteArray bytes(static_cast<qsizetype>(size), '\0');
  std::copy(head.begin(), head.end(), bytes.begin());
  in.ReadBuffer(bytes.data() + head.size(), static_cast<size_t>(size) - head.size());
  QImage image;
  if (!image.loadFromData(bytes)) RaiseInvalidGraphic(from);
  return image;
}

void ConvertToPng(TFileStream& in, std::string_view head, const std::string& from,
                  const std::string& to) {
  const QImage image = DecodeImage(in, head, from);
  QByteArray png;
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  if (!image.save(&buffer, "PNG")) RaiseInvalidGraphic(from);
  TFileStream out(to, TFileMode::fmCreate);
  out.WriteBuffer(png.constData(), static_cast<size_t>(png.size()));
}

// The image opened for reading, with its first bytes.
struct TOpenedImage {
  TFileStream in;
  char head[kHeadSize];
  size_t got = 0;

  explicit TOpenedImage(const std::string& path) : in(path, TFileMode::fmOpenRead) {
    RequireRegularFile(in.Handle(), path);
    got = in.Read(head, sizeof head);
    if (in.LastError() != 0) throw EReadError();
  }
  std::string_view Head() const { return {head, got}; }
};

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

void CheckCoverImage(const std::string& coverPath) {
  TOpenedImage image(coverPath);
  if (CoverTargetFor(coverPath, image.Head()).convert)
    DecodeImage(image.in, image.Head(), coverPath);
}

TCoverTarget PlaceCoverImage(const std::string& coverPath, const std::string& folder) {
  TOpenedImage image(coverPath);
  TCoverTarget target = CoverTargetFor(coverPath, image.Head());
  const std::string to = folder + target.fileName;
  if (target.convert) {
    ConvertToPng(image.in, image.Head(), coverPath, to);
  } else {
    TFileStream out(to, TFileMode::fmCreate);
    out.WriteBuffer(image.head, image.got);
    CopyRest(image.in, out);
  }
  return target;
}

}  // namespace lumbrella
