#include "book/staging.h"

#include <string_view>

#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/stream.h"
#include "zip/deflate.h"
#include "zip/knowncrc.h"

namespace lumbrella {

const char kMimetypeText[] = "application/epub+zip";

const char kContainerText[] =
    "<?xml version=\"1.0\" encoding=\"UTF-8\"?><container version=\"1.0\" "
    "xmlns=\"urn:oasis:names:tc:opendocument:xmlns:container\"><rootfiles><rootfile "
    "full-path=\"OEBPS/content.opf\" "
    "media-type=\"application/oebps-package+xml\"/></rootfiles></container>";

// Paragraphs as a printed book sets them: indented two characters (the pages hold no blanks
// of their own at a paragraph's start), close together, and after a break between scenes a
// blank line's space. A heading is centred and larger, with room around it.
const char kStyleSheetText[] =
    "body{padding:0;margin:0 1%;line-height:150%;text-align:justify;"
    "font-family:\"cnepub\", serif;}"
    "p{margin:0 0 0.3em 0;text-indent:2em;}"
    "p.scene{margin-top:1.5em;}"
    "h2{margin:1em 0 1.5em 0;text-align:center;text-indent:0;font-size:1.4em;font-weight:bold;"
    "line-height:130%;}";

std::string MetaInfFolder(const std::string& root) {
  return root + "/META-INF/";
}
std::string ContentFolder(const std::string& root) {
  return root + "/OEBPS/";
}
std::string ImagesFolder(const std::string& root) {
  return root + "/OEBPS/images/";
}

namespace {
bool recording = false;
}  // namespace

TKnownCrcs& StagedCrcs() {
  static TKnownCrcs crcs;
  return crcs;
}

void RecordStagedCrcs(bool on) {
  recording = on;
}

TStagedFile::TStagedFile(const std::string& path)
    : TFileStream(path, TFileMode::fmCreate), known_(recording) {}

TStagedFile::~TStagedFile() {
  if (known_ && Size() == written_) StagedCrcs().Record(fd_, ~crc_);
}

size_t TStagedFile::Write(const void* buffer, size_t count) {
  const size_t written = TFileStream::Write(buffer, count);
  if (known_) {
    crc_ = CrcUpdate(crc_, buffer, written);
    written_ += static_cast<int64_t>(written);
  }
  return written;
}

int64_t TStagedFile::Seek(int64_t offset, TSeekOrigin origin) {
  const int64_t position = TFileStream::Seek(offset, origin);
  if (position == 0 && recording) {
    known_ = true;
    crc_ = 0xFFFFFFFF;
    written_ = 0;
  } else if (position != written_) {
    known_ = false;
  }
  return position;
}

void WriteUtf8File(const std::string& path, const std::string& text) {
  TStagedFile file(path);
  // Converted a slice at a time, cut between characters, so that a long chapter is not
  // held three times over (ANSI, UTF-16, UTF-8).
  constexpr size_t kSlice = 64 * 1024;
  const std::string_view all(text);
  size_t start = 0;
  while (start < all.size()) {
    size_t end = start;
    while (end < all.size() && end - start < kSlice)
      end += AnsiCharLength(all, end);
    // Surrogate pairs become one four-byte sequence: readers refuse the six-byte form.
    const std::string utf8 = AnsiToUtf8(all.substr(start, end - start));
    // A short write (disk full) must not pass for a complete document.
    file.WriteBuffer(utf8.data(), utf8.size());
    start = end;
  }
}

void StageTree(const std::string& root) {
  CreateDir(root);
  CreateDir(root + "/META-INF");
  CreateDir(root + "/OEBPS");
  CreateDir(root + "/OEBPS/css");
  CreateDir(root + "/OEBPS/images");
  WriteUtf8File(root + "/mimetype", kMimetypeText);
  WriteUtf8File(MetaInfFolder(root) + "container.xml", kContainerText);
  WriteUtf8File(ContentFolder(root) + "css/main.css", kStyleSheetText);
}

}  // namespace lumbrella
