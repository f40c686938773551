// Decoding a source file and writing its pages: whatever the bytes, a page parses as XML, and
// what the conversion writes as it reads the file in blocks is byte for byte what the whole
// text gives: the chapter page, and the pages of the file split at its headings.
#include <QByteArray>
#include <QXmlStreamReader>
#include <filesystem>

#include "book/decode.h"
#include "book/documents.h"
#include "book/split.h"
#include "book/staging.h"
#include "fuzz_util.h"
#include "platform/codepage.h"
#include "platform/errors.h"

namespace {

void RequireXml(const std::string& page) {
  QXmlStreamReader xml(QByteArray(page.data(), static_cast<qsizetype>(page.size())));
  while (!xml.atEnd())
    xml.readNext();
  if (xml.hasError()) {
    std::fprintf(stderr, "%s\n", xml.errorString().toUtf8().constData());
    lumbrella::fuzz::Fail("a page is no XML");
  }
}

// A folder of the run's own, emptied.
std::string EmptyFolder(const char* name) {
  const std::string folder = lumbrella::fuzz::Folder() + name + "/";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directory(folder);
  return folder;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace lumbrella;
  // The first byte gives the length of the label (a file name's bytes) and the size of the
  // blocks the file is read in; the rest is the file.
  size_t labelLength = size > 0 ? std::min<size_t>(data[0] % 32, size - 1) : 0;
  const size_t blockSize = size > 0 ? 1 + data[0] / 32 * 9 : TSourceText::kBlockSize;
  std::string label(reinterpret_cast<const char*>(data) + (size > 0 ? 1 : 0), labelLength);
  size_t skip = size > 0 ? 1 + labelLength : 0;
  const std::string path = fuzz::Folder() + "chapter.txt";
  fuzz::WriteFile(path, data + skip, size - skip);
  const std::string whole = EmptyFolder("whole"), read = EmptyFolder("read");
  std::string page;
  TChapterPages split, streamed;
  try {
    const std::string text = LoadSourceText(path);
    page = AnsiToUtf8(ChapterPage(label, text));
    split = WriteSplitChapter(whole, 0, label, text);
    TSourceText source(path, blockSize);
    WriteChapterPage(fuzz::Folder() + "page.html", label, source);
    TSourceText again(path, blockSize);
    streamed = WriteSplitChapter(read, 0, label, again);
  } catch (const Exception&) {
    return 0;
  }
  if (fuzz::ReadFile(fuzz::Folder() + "page.html") != page) {
    fuzz::Fail("the page written in blocks differs from the page of the whole text");
  }
  RequireXml(page);
  bool same = streamed.pages == split.pages && streamed.headings.size() == split.headings.size();
  for (size_t i = 0; same && i < split.headings.size(); ++i) {
    // As the table of contents shows them: the text read in blocks holds each character in
    // the form the code page writes it (U+20AC as A2 E3, a stray byte as U+FFFD).
    same = streamed.headings[i].page == split.headings[i].page &&
           AnsiToUtf8(streamed.headings[i].label) == AnsiToUtf8(split.headings[i].label);
  }
  if (!same) fuzz::Fail("the split read in blocks has other pages or headings");
  size_t files = 0;
  for (const auto& entry : std::filesystem::directory_iterator(read)) {
    const std::string name = entry.path().filename().string();
    const std::string bytes = fuzz::ReadFile(read + name);
    if (!std::filesystem::exists(whole + name) || fuzz::ReadFile(whole + name) != bytes) {
      fuzz::Fail("a split page written in blocks differs from that of the whole text");
    }
    RequireXml(bytes);
    ++files;
  }
  if (files != split.pages) fuzz::Fail("the split read in blocks left other files");
  return 0;
}
