// The staging tree: an unpacked book laid out as folders under the staging root, and the
// writer through which every document of the book goes but the chapter pages, which are
// written as their sources are read (split.h).
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

#include "platform/stream.h"

namespace lumbrella {

class TKnownCrcs;

// The CRC-32s of the files staged by this process while recording is on, for the packer of
// the conversion (zip/knowncrc.h); the converter turns it on for an update, which then
// need not read unchanged pages back, and forgets them once the tree is packed.
TKnownCrcs& StagedCrcs();
void RecordStagedCrcs(bool on);

// A file of the staging tree, created anew. While recording is on, what is written runs
// through the CRC-32, which is recorded (StagedCrcs) when the file is closed holding just
// those bytes; a move back to the start (to write the file again) starts it again, a move
// anywhere else leaves the file without a record.
class TStagedFile : public TFileStream {
 public:
  explicit TStagedFile(const std::string& path);
  ~TStagedFile() override;
  size_t Write(const void* buffer, size_t count) override;
  int64_t Seek(int64_t offset, TSeekOrigin origin) override;

 private:
  uint32_t crc_ = 0xFFFFFFFF;  // register over the bytes written from the start
  int64_t written_ = 0;
  bool known_;
};

// The fixed files, written exactly as they stand.
extern const char kMimetypeText[];    // "application/epub+zip", no line end
extern const char kContainerText[];   // META-INF/container.xml
extern const char kStyleSheetText[];  // OEBPS/css/main.css

// Folders of the tree, each ending in "/"; root has no trailing separator.
std::string MetaInfFolder(const std::string& root);
std::string ContentFolder(const std::string& root);  // OEBPS: pages, content.opf, toc.ncx
std::string ImagesFolder(const std::string& root);   // OEBPS/images

// Writes the ANSI text as UTF-8 (no byte order mark, nothing added) as the whole content of
// the file, which is created anew. Raises EFCreateError "Cannot create file "%s". %s", or
// EWriteError when the disk takes fewer bytes than the text has.
void WriteUtf8File(const std::string& path, const std::string& text);

// Creates root, META-INF, OEBPS, OEBPS/css and OEBPS/images, one level each (a folder that
// cannot be made is passed over; the file written into it then reports the error), and
// writes mimetype, the container document and the style sheet.
void StageTree(const std::string& root);

}  // namespace lumbrella
