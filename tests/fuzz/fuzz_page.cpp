// Decoding a source file and writing its pages: whatever the bytes, every page parses as XML,
// what the conversion writes does not depend on the blocks the file is read in (one byte, a
// few, or the whole file at once), the page alone and the pages split at the headings alike, a
// split page is longer than kMaxPageSize only when it holds one line, and a file the split
// leaves whole is the page it makes unsplit.
#include <QByteArray>
#include <QXmlStreamReader>
#include <filesystem>
#include <map>

#include "book/decode.h"
#include "book/documents.h"
#include "book/split.h"
#include "fuzz_util.h"
#include "platform/codepage.h"
#include "platform/errors.h"

namespace {

using lumbrella::fuzz::Fail;

// The paragraphs of the page; fails when it is no XML.
size_t Paragraphs(const std::string& page) {
  QXmlStreamReader xml(QByteArray(page.data(), static_cast<qsizetype>(page.size())));
  size_t paragraphs = 0;
  while (!xml.atEnd()) {
    if (xml.readNext() == QXmlStreamReader::StartElement && xml.name() == QStringLiteral("p"))
      ++paragraphs;
  }
  if (xml.hasError()) {
    std::fprintf(stderr, "%s\n", xml.errorString().toUtf8().constData());
    Fail("a page is no XML");
  }
  return paragraphs;
}

// A folder of the run's own, emptied.
std::string EmptyFolder(const std::string& name) {
  const std::string folder = lumbrella::fuzz::Folder() + name + "/";
  std::filesystem::remove_all(folder);
  std::filesystem::create_directory(folder);
  return folder;
}

std::map<std::string, std::string> FilesIn(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& entry : std::filesystem::directory_iterator(folder)) {
    const std::string name = entry.path().filename().string();
    files[name] = lumbrella::fuzz::ReadFile(folder + name);
  }
  return files;
}

struct TWritten {
  std::string page;  // unsplit
  std::map<std::string, std::string> pages;
  lumbrella::TChapterPages split;
};

// Both ways of writing the chapter, from the file read in blocks of the given size.
TWritten Write(const std::string& path, const std::string& label, size_t block) {
  using namespace lumbrella;
  const std::string folder = EmptyFolder("blocks-" + std::to_string(block));
  TWritten written;
  TSourceText source(path, block);
  WriteChapterPage(folder + "page.html", label, source);
  written.page = fuzz::ReadFile(folder + "page.html");
  std::filesystem::remove(folder + "page.html");
  TSourceText again(path, block);
  written.split = WriteSplitChapter(folder, 0, label, again);
  written.pages = FilesIn(folder);
  return written;
}

bool SameChapter(const lumbrella::TChapterPages& a, const lumbrella::TChapterPages& b) {
  if (a.pages != b.pages || a.headings.size() != b.headings.size()) return false;
  for (size_t i = 0; i < a.headings.size(); ++i) {
    // As the table of contents shows them: the text read in blocks holds each character in
    // the form the code page writes it (U+20AC as A2 E3, a stray byte as U+FFFD).
    if (a.headings[i].page != b.headings[i].page ||
        lumbrella::AnsiToUtf8(a.headings[i].label) != lumbrella::AnsiToUtf8(b.headings[i].label)) {
      return false;
    }
  }
  return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace lumbrella;
  // The first byte gives the length of the label (a file name's bytes) and the size of the
  // blocks the file is read in; the rest is the file.
  size_t labelLength = size > 0 ? std::min<size_t>(data[0] % 32, size - 1) : 0;
  const size_t blockSize = size > 0 ? 1 + data[0] / 32 * 9 : 1;
  std::string label(reinterpret_cast<const char*>(data) + (size > 0 ? 1 : 0), labelLength);
  size_t skip = size > 0 ? 1 + labelLength : 0;
  const std::string path = fuzz::Folder() + "chapter.txt";
  fuzz::WriteFile(path, data + skip, size - skip);
  TWritten whole, blocks;
  try {
    whole = Write(path, label, TSourceText::kBlockSize);
    blocks = Write(path, label, blockSize);
  } catch (const Exception&) {
    return 0;
  }
  if (blocks.page != whole.page) Fail("the page read in blocks differs from the page read whole");
  if (!SameChapter(blocks.split, whole.split))
    Fail("the split read in blocks has other pages or headings than the split read whole");
  if (blocks.pages != whole.pages) Fail("a split page read in blocks differs from that read whole");
  Paragraphs(whole.page);
  if (whole.pages.size() != whole.split.pages) Fail("the split left other files than its pages");
  for (size_t k = 0; k < whole.split.pages; ++k) {
    const auto page = whole.pages.find(PageFileName(0, k));
    if (page == whole.pages.end()) Fail("a split page is missing");
    if (Paragraphs(page->second) > 1 && page->second.size() > kMaxPageSize)
      Fail("a split page of several lines is longer than a page may be");
  }
  if (whole.split.pages == 1 && whole.pages.begin()->second != whole.page)
    Fail("a file the split leaves whole is not the page it makes unsplit");
  return 0;
}
