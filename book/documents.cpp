#include "book/documents.h"

#include <algorithm>
#include <array>
#include <cstring>

#include "book/unwrap.h"
#include "platform/codepage.h"

namespace lumbrella {

namespace {

constexpr char kXhtmlNamespace[] = "http://www.w3.org/1999/xhtml";
constexpr char kOpfNamespace[] = "http://www.idpf.org/2007/opf";
constexpr char kDcNamespace[] = "http://purl.org/dc/elements/1.1/";
constexpr char kNcxDtd[] = "http://www.daisy.org/z3986/2005/ncx-2005-1.dtd";
constexpr char kNcxNamespace[] = "http://www.daisy.org/z3986/2005/ncx/";

// Without the declaration some reading services take a page for Latin-1.
constexpr char kXmlDeclaration[] = "<?xml version=\"1.0\" encoding=\"UTF-8\"?>";

// U+FFFD in GB18030.
constexpr char kAnsiReplacement[] = "\x84\x31\xA4\x37";

enum class Mode { kText, kAttribute };

// What an ASCII byte of an inserted value becomes: nullptr when it stays as it is, "" when
// it is left out (a control character XML forbids). Tab and line ends stay.
constexpr const char* EscapedAscii(unsigned char b, Mode mode) {
  switch (b) {
    case '&':
      return "&amp;";
    case '<':
      return "&lt;";
    case '>':
      return "&gt;";
    case '"':
      return mode == Mode::kAttribute ? "&quot;" : nullptr;
    case '\t':
    case '\r':
    case '\n':
      return nullptr;
    default:
      return b < 0x20 ? "" : nullptr;
  }
}

// One pass over the value: entities and forbidden characters.
void AppendEscaped(std::string& out, std::string_view in, Mode mode) {
  const auto* p = reinterpret_cast<const unsigned char*>(in.data());
  const size_t n = in.size();
  size_t i = 0;
  while (i < n) {
    const unsigned char b = p[i];
    if (b >= 0x80) {
      // Only whole characters go out: bytes that form none become the replacement character
      // here, as the converter would make them, so that no byte behind them (once a control
      // between them is dropped) can join them into another character, U+FFFE say.
      size_t len = 0;
      const char32_t c = AnsiCharAt(in, i, len);
      if (c == 0xFFFD) {
        out += kAnsiReplacement;
      } else if (c != 0xFFFE && c != 0xFFFF) {
        out.append(in.data() + i, len);
      }
      i += len;
      continue;
    }
    if (const char* escaped = EscapedAscii(b, mode)) {
      out += escaped;
    } else {
      out += static_cast<char>(b);
    }
    ++i;
  }
}

constexpr std::string_view kParagraphStart = "<p>";
constexpr std::string_view kSceneStart = "<p class=\"scene\">";
constexpr std::string_view kParagraphEnd = "</p>";
constexpr std::string_view kEmptyBody = "<p></p>";
constexpr std::string_view kBodyEnd = "</body></html>";
constexpr char kHeadingStart[] = "<h2>";
constexpr char kHeadingEnd[] = "</h2>";

// The head shared by chapter pages and the cover page.
void AppendPageHead(std::string& out, std::string_view escapedTitle) {
  out += kXmlDeclaration;
  out += "<html xmlns=\"";
  out += kXhtmlNamespace;
  out +=
      "\" xml:lang=\"zh-CN\"><head><meta http-equiv=\"Content-Type\" content=\"text/html; "
      "charset=utf-8\" /><title>";
  out += escapedTitle;
  out += "</title><link rel=\"stylesheet\" type=\"text/css\" href=\"css/main.css\"/></head><body>";
}

std::string BookIdentifier(const TBookInfo& book) {
  return "urn:uuid:" + book.uuid;
}

bool HasCover(const TBookInfo& book) {
  return !book.coverImage.empty();
}

// The package document, one piece per section.

void AppendOpfHead(std::string& out) {
  out += "<?xml version=\"1.0\" encoding=\"UTF-8\" ?><package version=\"2.0\" ";
  out += "unique-identifier=\"PrimaryID\" xmlns=\"";
  out += kOpfNamespace;
  out += "\"><metadata xmlns:dc=\"";
  out += kDcNamespace;
  out += "\" xmlns:opf=\"";
  out += kOpfNamespace;
  out += "\">";
}

void AppendMetadata(std::string& out, const TBookInfo& book) {
  out += "<dc:identifier id=\"PrimaryID\" opf:scheme=\"UUID\">";
  out += BookIdentifier(book);
  out += "</dc:identifier><dc:creator>";
  out += EscapeText(book.author);
  // No publisher or source: the program publishes nothing and the text comes from the
  // user's files. Readers show the program that made the book as its producer ("bkp").
  out += "</dc:creator><dc:contributor opf:role=\"bkp\">Lumbrella</dc:contributor><dc:title>";
  out += EscapeText(book.title);
  out += "</dc:title><dc:language>zh-CN</dc:language>";
  // Readers find the cover image through this meta element.
  if (HasCover(book)) out += "<meta name=\"cover\" content=\"cover-image\"/>";
  out += "</metadata>";
}

std::string PageId(size_t chapter, size_t page) {
  std::string id = "txt" + std::to_string(chapter);
  if (page > 0) id += "-" + std::to_string(page);
  return id;
}

void AppendManifest(std::string& out, const TBookInfo& book,
                    const std::vector<TChapterPages>& chapters) {
  out += "<manifest><item id=\"ncx\" href=\"toc.ncx\" media-type=\"application/x-dtbncx+xml\"/>";
  out += "<item id=\"main-css\" href=\"css/main.css\" media-type=\"text/css\"/>";
  if (HasCover(book)) {
    out += "<item id=\"cover\" href=\"cover.html\" media-type=\"application/xhtml+xml\"/>";
    out += "<item id=\"cover-image\" href=\"images/";
    out += EscapeAttribute(book.coverImage);
    out += "\" media-type=\"";
    out += EscapeAttribute(book.coverMediaType);
    out += "\"/>";
  }
  for (size_t i = 0; i < chapters.size(); ++i) {
    for (size_t k = 0; k < chapters[i].pages; ++k) {
      out += "<item id=\"" + PageId(i, k) + "\" href=\"" + PageFileName(i, k) +
             "\" media-type=\"application/xhtml+xml\"/>";
    }
  }
  out += "</manifest>";
}

void AppendSpine(std::string& out, const TBookInfo& book,
                 const std::vector<TChapterPages>& chapters) {
  // Every page is in the reading order (no linear="no"): a book needs at least one linear
  // item, and readers skip or hide non-linear ones.
  out += "<spine toc=\"ncx\">";
  if (HasCover(book)) out += "<itemref idref=\"cover\"/>";
  for (size_t i = 0; i < chapters.size(); ++i) {
    for (size_t k = 0; k < chapters[i].pages; ++k)
      out += "<itemref idref=\"" + PageId(i, k) + "\"/>";
  }
  out += "</spine>";
}

void AppendGuide(std::string& out, const TBookInfo& book) {
  if (!HasCover(book)) return;
  out += "<guide><reference type=\"cover\" title=\"Cover\" href=\"cover.html\"/></guide>";
}

}  // namespace

std::string EscapeText(std::string_view ansi) {
  std::string out;
  out.reserve(ansi.size());
  AppendEscaped(out, ansi, Mode::kText);
  return out;
}

std::string EscapeAttribute(std::string_view ansi) {
  std::string out;
  out.reserve(ansi.size());
  AppendEscaped(out, ansi, Mode::kAttribute);
  return out;
}

std::string ChapterFileName(size_t index) {
  return std::to_string(index) + ".html";
}

// --- A page written piece by piece ----------------------------------------------------------

namespace {

constexpr size_t kPageBlock = 65536;

// The bytes of well-formed UTF-8 chapter text that go out as they stand: all but the ASCII
// ones EscapedAscii changes, and 0xEF, which leads U+FFFE and U+FFFF.
constexpr auto kPlainUtf8 = [] {
  std::array<bool, 256> plain{};
  for (unsigned b = 0; b < 256; ++b)
    plain[b] =
        b >= 0x80 ? b != 0xEF : EscapedAscii(static_cast<unsigned char>(b), Mode::kText) == nullptr;
  return plain;
}();

// Escapes well-formed UTF-8 chapter text into out (called with each run of bytes to write).
template <class TOut>
void EscapeUtf8Text(std::string_view utf8, TOut&& out) {
  const auto* p = reinterpret_cast<const unsigned char*>(utf8.data());
  const auto* end = p + utf8.size();
  while (p < end) {
    const unsigned char* run = p;
    while (p < end && kPlainUtf8[*p])
      ++p;
    if (p != run) {
      out(std::string_view(reinterpret_cast<const char*>(run), static_cast<size_t>(p - run)));
      if (p == end) break;
    }
    const unsigned char b = *p;
    if (b == 0xEF) {
      // U+FFFE and U+FFFF are no XML characters (EF BF BE, EF BF BF); other characters led
      // by EF go out whole, their continuation bytes being plain.
      const bool nonCharacter = end - p >= 3 && p[1] == 0xBF && (p[2] & 0xFE) == 0xBE;
      if (!nonCharacter) out(std::string_view(reinterpret_cast<const char*>(p), 1));
      p += nonCharacter ? 3 : 1;
      continue;
    }
    out(std::string_view(EscapedAscii(b, Mode::kText)));
    ++p;
  }
}

}  // namespace

TChapterPageWriter::TChapterPageWriter(std::string_view label, TSink sink)
    : sink_(std::move(sink)), block_(new char[kPageBlock]) {
  std::string head;
  AppendPageHead(head, EscapeText(label));
  Put(AnsiToUtf8(head));
}

TChapterPageWriter::~TChapterPageWriter() = default;

void TChapterPageWriter::Put(std::string_view bytes) {
  while (!bytes.empty()) {
    if (used_ == kPageBlock) Flush();
    const size_t take = std::min(bytes.size(), kPageBlock - used_);
    std::memcpy(block_.get() + used_, bytes.data(), take);
    used_ += take;
    bytes.remove_prefix(take);
  }
}

void TChapterPageWriter::Flush() {
  if (used_ != 0) sink_(block_.get(), used_);
  flushed_ += used_;
  used_ = 0;
}

void TChapterPageWriter::Heading(std::string_view ansi) {
  // Without blanks at its ends, as a paragraph, nor characters left out there.
  size_t begin = ansi.size(), end = 0;
  for (size_t at = 0, length = 0; at < ansi.size(); at += length) {
    const char32_t c = AnsiCharAt(ansi, at, length);
    if (IsParagraphBlank(c) || IsLeftOut(c)) continue;
    begin = std::min(begin, at);
    end = at + length;
  }
  ansi = begin < end ? ansi.substr(begin, end - begin) : std::string_view();
  Put(AnsiToUtf8(kHeadingStart + EscapeText(ansi) + kHeadingEnd));
  blocks_ = true;
}

void TChapterPageWriter::Begin(bool scene) {
  End();
  Put(scene ? kSceneStart : kParagraphStart);
  blocks_ = open_ = true;
}

void TChapterPageWriter::Text(std::string_view utf8) {
  EscapeUtf8Text(utf8, [this](std::string_view bytes) { Put(bytes); });
}

void TChapterPageWriter::End() {
  if (open_) Put(kParagraphEnd);
  open_ = false;
}

void TChapterPageWriter::Finish() {
  End();
  if (!blocks_) Put(kEmptyBody);
  Put(kBodyEnd);
  Flush();
}

size_t TChapterPageWriter::FinishedSize() const {
  return flushed_ + used_ + (open_ ? kParagraphEnd.size() : 0) + (blocks_ ? 0 : kEmptyBody.size()) +
         kBodyEnd.size();
}

size_t TChapterPageWriter::TextSize(std::string_view utf8) {
  size_t size = 0;
  EscapeUtf8Text(utf8, [&size](std::string_view bytes) { size += bytes.size(); });
  return size;
}

size_t TChapterPageWriter::ParagraphSize(bool scene) {
  return (scene ? kSceneStart : kParagraphStart).size() + kParagraphEnd.size();
}

std::string CoverPage(const TBookInfo& book) {
  std::string out;
  AppendPageHead(out, EscapeText(book.title));
  out += "<div><img src=\"images/";
  out += EscapeAttribute(book.coverImage);
  out += "\" alt=\"";
  out += EscapeAttribute(book.title);
  out += "\" style=\"width:100%;\"/></div></body></html>";
  return out;
}

std::string PackageDocument(const TBookInfo& book, size_t chapterCount) {
  return PackageDocument(book, std::vector<TChapterPages>(chapterCount));
}

std::string NavigationMap(const TBookInfo& book, const std::vector<std::string>& labels) {
  std::vector<TChapterPages> chapters(labels.size());
  for (size_t i = 0; i < labels.size(); ++i)
    chapters[i].label = labels[i];
  return NavigationMap(book, chapters);
}

std::string PageFileName(size_t chapter, size_t page) {
  if (page == 0) return ChapterFileName(chapter);
  return std::to_string(chapter) + "-" + std::to_string(page) + ".html";
}

std::string PackageDocument(const TBookInfo& book, const std::vector<TChapterPages>& chapters) {
  size_t pages = 0;
  for (const TChapterPages& chapter : chapters)
    pages += chapter.pages;
  std::string out;
  out.reserve(1024 + pages * 110);
  AppendOpfHead(out);
  AppendMetadata(out, book);
  AppendManifest(out, book, chapters);
  AppendSpine(out, book, chapters);
  AppendGuide(out, book);
  out += "</package>";
  return out;
}

std::string NavigationMap(const TBookInfo& book, const std::vector<TChapterPages>& chapters) {
  std::string out;
  out += kXmlDeclaration;
  out += "<!DOCTYPE ncx PUBLIC \"-//NISO//DTD ncx 2005-1//EN\" \"";
  out += kNcxDtd;
  out += "\"><ncx version=\"2005-1\" xmlns=\"";
  out += kNcxNamespace;
  out += "\"><head><meta name=\"dtb:uid\" content=\"";
  out += BookIdentifier(book);  // must equal the package's identifier
  // The points in reading order, each with its depth: a chapter's, then its headings, a
  // chapter's heading one below its volume's. Of a book of one chapter with headings, the
  // chapter's point stands beside them, for the text before the first one, if any.
  struct TNavPoint {
    size_t depth;
    std::string id;
    const std::string* label;
    std::string src;
  };
  std::vector<TNavPoint> points;
  const bool headingsOnTop = chapters.size() == 1 && !chapters[0].headings.empty();
  for (size_t i = 0; i < chapters.size(); ++i) {
    const TChapterPages& chapter = chapters[i];
    if (!headingsOnTop || chapter.headings[0].page != 0)
      points.push_back({1, PageId(i, 0), &chapter.label, ChapterFileName(i)});
    const size_t top = headingsOnTop ? 1 : 2;
    bool inVolume = false;
    for (size_t j = 0; j < chapter.headings.size(); ++j) {
      const TChapterPages::TPoint& point = chapter.headings[j];
      inVolume = point.volume || inVolume;
      points.push_back({point.volume || !inVolume ? top : top + 1,
                        PageId(i, 0) + "h" + std::to_string(j + 1), &point.label,
                        PageFileName(i, point.page)});
    }
  }
  // A book without headings keeps the depth it has always declared.
  size_t depth = 0;
  for (const TNavPoint& point : points)
    depth = std::max(depth, point.depth);
  if (depth == 1 && !headingsOnTop) depth = 0;
  out += "\"/><meta name=\"dtb:depth\" content=\"";
  out += std::to_string(depth);
  out +=
      "\"/><meta name=\"dtb:totalPageCount\" content=\"0\"/><meta name=\"dtb:maxPageNumber\" "
      "content=\"0\"/></head>";
  out += "<docTitle><text>";
  out += EscapeText(book.title);
  out += "</text></docTitle><navMap>";
  // Ids count from 0, playOrder from 1. Points with the same target share their number.
  size_t order = 0;
  std::vector<size_t> open;  // the depths of the points not closed yet
  for (size_t k = 0; k < points.size(); ++k) {
    const TNavPoint& point = points[k];
    while (!open.empty() && open.back() >= point.depth) {
      out += "</navPoint>";
      open.pop_back();
    }
    if (k == 0 || point.src != points[k - 1].src) ++order;
    out += "<navPoint id=\"" + point.id + "\" playOrder=\"" + std::to_string(order) +
           "\"><navLabel><text>";
    out += EscapeText(*point.label);
    out += "</text></navLabel><content src=\"" + point.src + "\"/>";
    open.push_back(point.depth);
  }
  for (; !open.empty(); open.pop_back())
    out += "</navPoint>";
  out += "</navMap></ncx>";
  return out;
}

}  // namespace lumbrella
