#include "book/split.h"

#include <memory>
#include <optional>
#include <vector>

#include "book/decode.h"
#include "book/headings.h"
#include "book/staging.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/stream.h"

namespace lumbrella {

namespace {

// Each byte of text grows at most sevenfold on a page: a line end into "</p><p>", "&" into
// "&amp;", a stray byte into U+FFFD's three. Below this, a section needs no measuring.
constexpr size_t kMaxGrowth = 7;

class TPageWriter {
 public:
  TPageWriter(const std::string& folder, size_t index) : folder_(folder), index_(index) {}

  size_t Pages() const { return pages_; }

  void Write(std::string_view title, std::string_view heading,
             std::optional<std::string_view> lines) {
    WriteUtf8File(folder_ + PageFileName(index_, pages_), SectionPage(title, heading, lines));
    ++pages_;
  }

  // One section: on a page of its own, or cut between lines onto as many as it needs.
  void WriteSection(std::string_view title, std::string_view heading,
                    std::optional<std::string_view> lines) {
    size_t size = PageSize(title, heading);
    if (!lines || size + kMaxGrowth * (lines->size() + 1) <= kMaxPageSize) {
      Write(title, heading, lines);
      return;
    }
    const std::string_view text = *lines;
    const size_t bare = PageSize(title, {});  // a continued page has no heading
    size_t pageBegin = 0;
    size_t pageEnd = 0;  // after the page's last line, before its line end
    size_t lineBegin = 0;
    bool pageHasLines = false;
    for (;;) {
      const TLineEnd end = LineEndFrom(text, lineBegin);
      const size_t line = ParagraphSize(text.substr(lineBegin, end.at - lineBegin));
      if (pageHasLines && size + line > kMaxPageSize) {
        // The line end between the page and this line is the cut.
        Write(title, heading, text.substr(pageBegin, pageEnd - pageBegin));
        heading = {};
        size = bare;
        pageBegin = lineBegin;
      }
      size += line;
      pageHasLines = true;
      pageEnd = end.at;
      if (end.next == end.at) break;  // the last line
      lineBegin = end.next;
    }
    Write(title, heading, text.substr(pageBegin));
  }

 private:
  static size_t PageSize(std::string_view title, std::string_view heading) {
    return AnsiToUtf8(SectionPage(title, heading, std::nullopt)).size();
  }
  const std::string& folder_;
  size_t index_;
  size_t pages_ = 0;
};

// The pages of a chapter written line by line as its text arrives. A line that is not its
// page's first waits while it might not fit (its bytes times kMaxGrowth pass the room left):
// until it ends, or until it is measured past the room, when it begins a further page.
class TStreamedPages final : public TTextLines {
 public:
  TStreamedPages(const std::string& folder, size_t index, const std::string& label,
                 const THeadingScan& scan)
      : TTextLines(scan.headings >= kHeadingsToSplit), folder_(folder), index_(index) {
    chapter_.label = label;
    chapter_.pages = 0;
    // Split, a blank text before the first heading gets no page.
    skipping_ = scan.headings >= kHeadingsToSplit && !scan.textBeforeFirst;
    if (!skipping_) OpenPage(label, std::nullopt);
  }

  TChapterPages Done() {
    Finish();
    if (chapter_.pages == 0) OpenPage(chapter_.label, std::nullopt);  // changed meanwhile
    page_->Finish();
    file_.reset();
    return std::move(chapter_);
  }

  // Removes the pages written so far.
  void Drop() {
    page_.reset();
    file_.reset();
    for (size_t k = 0; k < chapter_.pages; ++k)
      DeleteFile(folder_ + PageFileName(index_, k));
  }

 private:
  void Part(std::string_view utf8) override {
    if (skipping_) return;
    BeginLine();
    if (!holding_) {
      page_->Text(utf8);
      return;
    }
    held_.append(utf8);
    if (!Fits(held_, true)) Cut(held_);
  }

  void Line(std::string_view utf8) override {
    if (skipping_) return;
    BeginLine();
    lineOpen_ = false;
    if (!holding_) {
      page_->Text(utf8);
      return;
    }
    const bool held = !held_.empty();
    const std::string_view line = held ? std::string_view(held_.append(utf8)) : utf8;
    if (Fits(line, held)) {
      page_->Text("\n");
      page_->Text(line);
    } else {
      Cut(line);
    }
    held_.clear();
  }

  void Heading(std::string_view ansi) override {
    skipping_ = false;
    OpenPage(ansi, ansi);
    chapter_.headings.push_back({chapter_.pages - 1, std::string(ansi)});
  }

  void OpenPage(std::string_view title, std::optional<std::string_view> heading) {
    if (page_) page_->Finish();
    page_.reset();
    file_ = std::make_unique<TStagedFile>(folder_ + PageFileName(index_, chapter_.pages));
    ++chapter_.pages;  // counted once the file exists, so that Drop finds every one
    title_ = title;
    TFileStream* file = file_.get();
    page_ = std::make_unique<TChapterPageWriter>(
        title_, [file](const char* data, size_t size) { file->WriteBuffer(data, size); }, heading);
    pageHasLines_ = false;
  }

  // A line's first part: the first line of a page goes on it at once, any other may wait.
  void BeginLine() {
    if (lineOpen_) return;
    lineOpen_ = true;
    holding_ = pageHasLines_;
    measured_ = 0;
    heldSize_ = 0;
    if (!holding_) page_->Text({});
    pageHasLines_ = true;
  }

  // Whether the line, the held one so far or one that came whole, fits on the page after a
  // line end. Only a line that might not is measured, and a held one only once.
  bool Fits(std::string_view line, bool held) {
    static const size_t kBreak = TChapterPageWriter::TextSize("\n");
    const size_t used = page_->FinishedSize() + kBreak;
    if (used + TChapterPageWriter::kMaxGrowth * line.size() <= kMaxPageSize) return true;
    if (!held) return used + TChapterPageWriter::TextSize(line) <= kMaxPageSize;
    heldSize_ += TChapterPageWriter::TextSize(line.substr(measured_));
    measured_ = line.size();
    return used + heldSize_ <= kMaxPageSize;
  }

  // The line begins a further page, without the heading; the rest of it follows there.
  void Cut(std::string_view line) {
    OpenPage(title_, std::nullopt);
    pageHasLines_ = true;
    holding_ = false;
    page_->Text(line);
    held_.clear();
  }

  const std::string& folder_;
  size_t index_;
  TChapterPages chapter_;
  std::string title_;  // of the section's pages
  std::unique_ptr<TFileStream> file_;
  std::unique_ptr<TChapterPageWriter> page_;
  bool skipping_ = false;      // before the first heading, with nothing to show there
  bool pageHasLines_ = false;  // the page has a line already
  bool lineOpen_ = false;      // a line has begun and not ended
  bool holding_ = false;       // the line waits for its page
  std::string held_;
  size_t measured_ = 0;  // of held_, the bytes measured
  size_t heldSize_ = 0;  // and their size on a page
};

}  // namespace

TChapterPages WriteSplitChapter(const std::string& folder, size_t index, const std::string& label,
                                TSourceText& source) {
  for (;;) {
    const THeadingScan scan = ScanHeadings(source, kHeadingsToSplit);
    TStreamedPages pages(folder, index, label, scan);
    bool restarted = false;
    source.Read([&pages](std::string_view utf8) { pages.Text(utf8); },
                [&] {
                  restarted = true;
                  source.Stop();
                });
    if (!restarted) return pages.Done();
    // ANSI after all, which may hold other headings: the pages go, the source is read again.
    pages.Drop();
  }
}

TChapterPages WriteSplitChapter(const std::string& folder, size_t index, const std::string& label,
                                std::string_view text) {
  TChapterPages chapter;
  chapter.label = label;
  TPageWriter writer(folder, index);
  const std::vector<THeading> headings = FindHeadings(text);
  if (headings.size() < kHeadingsToSplit) {
    writer.WriteSection(label, {}, text);
  } else {
    for (const TTextSection& section : SectionsAtHeadings(text, headings)) {
      if (section.heading.empty()) {
        writer.WriteSection(label, {}, section.lines);
      } else {
        chapter.headings.push_back({writer.Pages(), std::string(section.heading)});
        writer.WriteSection(section.heading, section.heading, section.lines);
      }
    }
  }
  chapter.pages = writer.Pages();
  return chapter;
}

}  // namespace lumbrella
