// The documents of a book that depend on its content: chapter pages, the cover page, the
// package document (content.opf) and the navigation map (toc.ncx). Each writer returns the
// document as ANSI text; WriteUtf8File stores it. Every inserted value is escaped, so a
// title or a chapter full of "&" and "<" still gives well-formed XML.
#pragma once

#include <cstddef>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

namespace lumbrella {

// What the book-level documents say about the book.
struct TBookInfo {
  std::string title;           // never empty: an empty title has been replaced already
  std::string author;          // may be empty: written as an empty creator element
  std::string uuid;            // the conversion's identifier, without "urn:uuid:"
  std::string coverImage;      // file name in OEBPS/images; empty: the book has no cover
  std::string coverMediaType;  // media type of that file
};

// The publisher and source written into every book.
extern const char kPublisher[];
extern const char kSourceUrl[];

// Inserted values: "&", "<", ">" become entities ('"' too in an attribute value) and the
// control characters XML forbids are left out (all below 0x20 except tab, LF and CR, and
// the non-characters U+FFFE and U+FFFF). Bytes that form no character become U+FFFD.
std::string EscapeText(std::string_view ansi);
std::string EscapeAttribute(std::string_view ansi);

// "<i>.html": chapter files are numbered by their position in the list, from 0.
std::string ChapterFileName(size_t index);

// A chapter page written as its text arrives, line by line and piece by piece (a chapter read
// in blocks): the page's UTF-8 goes to sink in blocks, with memory that does not grow with the
// text. The page is the XML declaration, the head with the label as its title, the heading
// (when there is one) as <h2>, then one paragraph per line, the text escaped as EscapeText
// escapes it; with a heading and no text, no paragraph at all.
class TChapterPageWriter {
 public:
  using TSink = std::function<void(const char* data, size_t size)>;
  // Starts the page: its head, with the label as the title, and the heading (ANSI) as <h2>,
  // or else the first paragraph.
  TChapterPageWriter(std::string_view label, TSink sink,
                     std::optional<std::string_view> heading = std::nullopt);
  ~TChapterPageWriter();
  TChapterPageWriter(const TChapterPageWriter&) = delete;
  TChapterPageWriter& operator=(const TChapterPageWriter&) = delete;

  // More of the current line: well-formed UTF-8 without line ends, cut between characters.
  // After a heading the first call, even with nothing, begins the first paragraph.
  void Text(std::string_view utf8);
  // The line ends: its paragraph closes and the next line's opens.
  void LineEnd();
  // Ends the page and hands the sink what is left.
  void Finish();

  // The bytes the page would have, were it finished now.
  size_t FinishedSize() const;
  // The bytes Text(utf8) adds, and those LineEnd adds.
  static size_t TextSize(std::string_view utf8);
  static constexpr size_t kLineEndSize = 7;  // "</p><p>"
  // No byte of a line grows more than this on a page ("&" becomes "&amp;").
  static constexpr size_t kMaxGrowth = 5;

 private:
  void Put(std::string_view bytes);
  void Flush();

  TSink sink_;
  std::unique_ptr<char[]> block_;
  size_t used_ = 0;
  size_t flushed_ = 0;      // bytes handed to the sink
  bool paragraphs_ = true;  // the first paragraph has begun
};

std::string CoverPage(const TBookInfo& book);
std::string PackageDocument(const TBookInfo& book, size_t chapterCount);
// labels: the chapter labels in list order.
std::string NavigationMap(const TBookInfo& book, const std::vector<std::string>& labels);

// --- Chapters on several pages (split at their headings, or cut for length) ---

// Page k of chapter i: ChapterFileName(i) for the first, "<i>-<k>.html" after it.
std::string PageFileName(size_t chapter, size_t page);

// How a chapter's pages stand in the book.
struct TChapterPages {
  struct TPoint {
    size_t page = 0;  // the heading's page
    std::string label;
  };
  std::string label;             // the chapter's navigation point, on its first page
  size_t pages = 1;              // in reading order; only the first has a point of its own
  std::vector<TPoint> headings;  // the points under the chapter's, in order
  bool headingsLeftAsText = false;  // more headings followed than a file is split at
};

// Every page in the manifest and the spine; a navigation point per chapter with one under
// it per heading, playOrder through them all in reading order (a heading on the chapter's
// first page shares its number). With one page and no heading per chapter these are the
// documents above.
std::string PackageDocument(const TBookInfo& book, const std::vector<TChapterPages>& chapters);
std::string NavigationMap(const TBookInfo& book, const std::vector<TChapterPages>& chapters);

}  // namespace lumbrella
