// Decoding a source file and writing its pages: whatever the bytes, every page parses as XML,
// what the conversion writes does not depend on the blocks the file is read in (one byte, a
// few, or the whole file at once), the pages alone and the pages split at the headings alike;
// a page is longer than kMaxPageSize only when it holds one paragraph; no paragraph is empty
// (but the only one of an empty page) or begins or ends with a blank; every character of the
// text is on the pages, in order, blanks and line ends aside (and what headings leave out);
// and a file the split leaves whole is the pages it makes unsplit.
#include <QByteArray>
#include <QXmlStreamReader>
#include <filesystem>
#include <map>

#include "book/decode.h"
#include "book/documents.h"
#include "book/split.h"
#include "book/unwrap.h"
#include "fuzz_util.h"
#include "platform/codepage.h"
#include "platform/errors.h"

namespace {

using lumbrella::fuzz::Fail;

// The characters a page shows of a text: all but blanks, line ends and those XML forbids.
std::u32string Shown(std::string_view utf8) {
  std::u32string shown;
  for (size_t at = 0, length = 0; at < utf8.size(); at += length) {
    const char32_t c = lumbrella::Utf8CharAt(utf8, at, length);
    if (!lumbrella::IsParagraphBlank(c) && c >= 0x20 && c != 0xFFFE && c != 0xFFFF) shown += c;
  }
  return shown;
}

// The paragraphs and the heading of a page; fails when it is no XML, or a paragraph is empty
// (unless it is the page's only one) or has a blank at either end.
size_t Paragraphs(const std::string& page, std::u32string& shown) {
  QXmlStreamReader xml(QByteArray(page.data(), static_cast<qsizetype>(page.size())));
  size_t paragraphs = 0, blocks = 0;
  bool empty = false;
  while (!xml.atEnd()) {
    if (xml.readNext() != QXmlStreamReader::StartElement) continue;
    const bool paragraph = xml.name() == QStringLiteral("p");
    if (!paragraph && xml.name() != QStringLiteral("h2")) continue;
    ++blocks;
    paragraphs += paragraph;
    const QString text = xml.readElementText();
    if (text.isEmpty()) empty = true;
    if (!text.isEmpty() && (lumbrella::IsParagraphBlank(text.front().unicode()) ||
                            lumbrella::IsParagraphBlank(text.back().unicode())))
      Fail("a paragraph begins or ends with a blank");
    shown += Shown(text.toUtf8().toStdString());
  }
  if (xml.hasError()) {
    std::fprintf(stderr, "%s\n", xml.errorString().toUtf8().constData());
    Fail("a page is no XML");
  }
  if (empty && blocks > 1) Fail("an empty paragraph");
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
  std::map<std::string, std::string> page, pages;  // unsplit, split
  lumbrella::TChapterPages whole, split;
};

// Both ways of writing the chapter, from the file read in blocks of the given size.
TWritten Write(const std::string& path, const std::string& label, size_t block,
               lumbrella::TUnwrap unwrap) {
  using namespace lumbrella;
  TWritten written;
  const std::string folder = EmptyFolder("blocks-" + std::to_string(block));
  TSourceText source(path, block);
  written.whole = WriteChapterPage(folder, 0, label, source, unwrap);
  written.page = FilesIn(folder);
  const std::string splitFolder = EmptyFolder("split-" + std::to_string(block));
  TSourceText again(path, block);
  written.split =
      WriteSplitChapter(splitFolder, 0, label, again, BuiltInHeadingRule(), nullptr, unwrap);
  written.pages = FilesIn(splitFolder);
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

// Checks the pages of a chapter and returns the characters they show, in reading order.
std::u32string CheckPages(const std::map<std::string, std::string>& files,
                          const lumbrella::TChapterPages& chapter) {
  using namespace lumbrella;
  if (files.size() != chapter.pages) Fail("other files than the chapter's pages");
  std::u32string shown;
  for (size_t k = 0; k < chapter.pages; ++k) {
    const auto page = files.find(PageFileName(0, k));
    if (page == files.end()) Fail("a page is missing");
    if (Paragraphs(page->second, shown) > 1 && page->second.size() > kMaxPageSize)
      Fail("a page of several paragraphs is longer than a page may be");
  }
  return shown;
}

// Whether the characters of part stand in text in the same order, perhaps with others
// between them.
bool Within(const std::u32string& part, const std::u32string& text) {
  size_t at = 0;
  for (const char32_t c : part) {
    at = text.find(c, at);
    if (at == std::u32string::npos) return false;
    ++at;
  }
  return true;
}

bool HasHeading(const std::map<std::string, std::string>& files) {
  for (const auto& [name, page] : files)
    if (page.find("<h2>") != std::string::npos) return true;
  return false;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace lumbrella;
  // The first byte gives the length of the label (a file name's bytes) and the size of the
  // blocks the file is read in; the rest is the file. Its length chooses how wrapped lines go.
  size_t labelLength = size > 0 ? std::min<size_t>(data[0] % 32, size - 1) : 0;
  const size_t blockSize = size > 0 ? 1 + data[0] / 32 * 9 : 1;
  const TUnwrap unwrap = static_cast<TUnwrap>(size % 3);
  std::string label(reinterpret_cast<const char*>(data) + (size > 0 ? 1 : 0), labelLength);
  size_t skip = size > 0 ? 1 + labelLength : 0;
  const std::string path = fuzz::Folder() + "chapter.txt";
  fuzz::WriteFile(path, data + skip, size - skip);
  TWritten whole, blocks;
  std::string text;
  try {
    whole = Write(path, label, TSourceText::kBlockSize, unwrap);
    blocks = Write(path, label, blockSize, unwrap);
    TSourceText source(path);
    source.Read([&text](std::string_view utf8) { text += utf8; }, [&text] { text.clear(); });
  } catch (const Exception&) {
    return 0;
  }
  if (!SameChapter(blocks.whole, whole.whole) || blocks.page != whole.page)
    Fail("the pages read in blocks differ from the pages read whole");
  if (!SameChapter(blocks.split, whole.split))
    Fail("the split read in blocks has other pages or headings than the split read whole");
  if (blocks.pages != whole.pages) Fail("a split page read in blocks differs from that read whole");
  // A heading leaves out its leading word ("正文 第一章"), and a volume without text of its own
  // is shown in the table of contents only: where a page has a heading, the pages show the
  // text with at most those left out, else the whole text.
  const std::u32string shown = Shown(text);
  const std::u32string unsplit = CheckPages(whole.page, whole.whole);
  if (unsplit != shown && !(Within(unsplit, shown) && HasHeading(whole.page)))
    Fail("the pages do not show the text");
  if (!Within(CheckPages(whole.pages, whole.split), shown))
    Fail("the split pages do not show the text");
  if (whole.split.headings.empty() && whole.pages != whole.page)
    Fail("a file the split leaves whole is not the pages it makes unsplit");
  return 0;
}
