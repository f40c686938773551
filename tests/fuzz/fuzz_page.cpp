// Decoding a source file and writing its chapter page: whatever the bytes, the page parses
// as XML, and the page the conversion writes as it reads the file in blocks is byte for byte
// the page of the whole text.
#include <QByteArray>
#include <QXmlStreamReader>

#include "book/decode.h"
#include "book/documents.h"
#include "book/staging.h"
#include "fuzz_util.h"
#include "platform/codepage.h"
#include "platform/errors.h"

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace lumbrella;
  // The first byte gives the length of the label (a file name's bytes), the rest is the file.
  size_t labelLength = size > 0 ? std::min<size_t>(data[0] % 32, size - 1) : 0;
  std::string label(reinterpret_cast<const char*>(data) + (size > 0 ? 1 : 0), labelLength);
  size_t skip = size > 0 ? 1 + labelLength : 0;
  const std::string path = fuzz::Folder() + "chapter.txt";
  fuzz::WriteFile(path, data + skip, size - skip);
  std::string page;
  try {
    page = AnsiToUtf8(ChapterPage(label, LoadSourceText(path)));
    TSourceText source(path);
    WriteChapterPage(fuzz::Folder() + "page.html", label, source);
  } catch (const Exception&) {
    return 0;
  }
  if (fuzz::ReadFile(fuzz::Folder() + "page.html") != page) {
    fuzz::Fail("the page written in blocks differs from the page of the whole text");
  }
  QXmlStreamReader xml(QByteArray(page.data(), static_cast<qsizetype>(page.size())));
  while (!xml.atEnd())
    xml.readNext();
  if (xml.hasError()) {
    std::fprintf(stderr, "%s\n", xml.errorString().toUtf8().constData());
    fuzz::Fail("the chapter page is no XML");
  }
  return 0;
}
