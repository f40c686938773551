#include "book/cover.h"

#include <QBuffer>
#include <QByteArray>
#include <QImage>

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

void CopyImage(const std::string& from, const std::string& to) {
  TFileStream in(from, TFileMode::fmOpenRead);
  TFileStream out(to, TFileMode::fmCreate);
  std::vector<char> buffer(65536);
  for (;;) {
    size_t got = in.Read(buffer.data(), buffer.size());
    if (got == 0) break;
    out.WriteBuffer(buffer.data(), got);
  }
  if (in.LastError() != 0) throw EReadError();
}

void ConvertImageToPng(const std::string& from, const std::string& to) {
  QByteArray bytes;
  {
    TFileStream in(from, TFileMode::fmOpenRead);
    int64_t size = in.Size();
    if (size < 0 || size > INT32_MAX) throw EReadError();
    bytes.resize(static_cast<qsizetype>(size));
    in.ReadBuffer(bytes.data(), static_cast<size_t>(size));
  }
  // The format is told by the content, not by the name.
  QImage image;
  if (!image.loadFromData(bytes)) {
    throw EInvalidGraphic("Cannot read image \"" + ExpandFileName(from) +
                          "\". Unknown or damaged image format");
  }
  bytes.clear();
  QByteArray png;
  QBuffer buffer(&png);
  buffer.open(QIODevice::WriteOnly);
  if (!image.save(&buffer, "PNG")) {
    throw EInvalidGraphic("Cannot read image \"" + ExpandFileName(from) +
                          "\". Unknown or damaged image format");
  }
  TFileStream out(to, TFileMode::fmCreate);
  out.WriteBuffer(png.constData(), static_cast<size_t>(png.size()));
}

}  // namespace

TCoverTarget CoverTargetFor(std::string_view coverPath) {
  const std::string ext = ExtractFileExt(coverPath);
  const std::string lower = LowerAscii(ext);
  TCoverTarget target;
  if (lower == ".jpg" || lower == ".jpeg") {
    target.mediaType = "image/jpeg";
  } else if (lower == ".png") {
    target.mediaType = "image/png";
  } else if (lower == ".gif") {
    target.mediaType = "image/gif";
  } else {
    target.fileName = "cover.png";
    target.mediaType = "image/png";
    target.convert = true;
    return target;
  }
  target.fileName = "cover" + ext;
  return target;
}

TCoverTarget PlaceCoverImage(const std::string& coverPath, const std::string& folder) {
  TCoverTarget target = CoverTargetFor(coverPath);
  const std::string to = folder + target.fileName;
  if (target.convert) {
    ConvertImageToPng(coverPath, to);
  } else {
    CopyImage(coverPath, to);
  }
  return target;
}

}  // namespace lumbrella
