#include "book/split.h"

#include <functional>
#include <memory>
#include <optional>

#include "book/decode.h"
#include "book/headings.h"
#include "book/staging.h"
#include "platform/files.h"
#include "platform/stream.h"

namespace lumbrella {

namespace {

// The pages of a chapter written line by line as its text arrives. Unsplit, that is one page.
// Split, a line that is not its page's first waits while it might not fit (its bytes times
// kMaxGrowth pass the room left): until it ends, or until it is measured past the room, when it
// begins a further page.
class TStreamedPages final : public TTextLines {
 public:
  using TPagePath = std::function<std::string(size_t page)>;

  // Split when scan is given: at the headings it found, if two or more, and for length.
  TStreamedPages(TPagePath pagePath, const std::string& label, const THeadingScan* scan)
      : TTextLines(scan != nullptr && scan->headings >= kHeadingsToSplit),
        pagePath_(std::move(pagePath)),
        cut_(scan != nullptr) {
    chapter_.label = label;
    chapter_.pages = 0;
    // Split at headings, a blank text before the first one gets no page.
    skipping_ = scan != nullptr && scan->headings >= kHeadingsToSplit && !scan->textBeforeFirst;
    if (!skipping_) OpenPage(label, std::nullopt);
  }

  TChapterPages Done() {
    Finish();
    if (chapter_.pages == 0) OpenPage(chapter_.label, std::nullopt);  // changed meanwhile
    page_->Finish();
    file_.reset();
    chapter_.headingsLeftAsText = HeadingsLeftAsText();
    return std::move(chapter_);
  }

  // Removes the pages written so far.
  void Drop() {
    page_.reset();
    file_.reset();
    for (size_t k = 0; k < chapter_.pages; ++k)
      DeleteFile(pagePath_(k));
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
      page_->LineEnd();
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
    file_ = std::make_unique<TStagedFile>(pagePath_(chapter_.pages));
    ++chapter_.pages;  // counted once the file exists, so that Drop finds every one
    title_ = title;
    TFileStream* file = file_.get();
    page_ = std::make_unique<TChapterPageWriter>(
        title_, [file](const char* data, size_t size) { file->WriteBuffer(data, size); }, heading);
    pageHasLines_ = false;
  }

  // A line's first part: the first line of a page goes on it at once, any other may wait
  // when pages are cut.
  void BeginLine() {
    if (lineOpen_) return;
    lineOpen_ = true;
    holding_ = cut_ && pageHasLines_;
    measured_ = 0;
    heldSize_ = 0;
    if (!holding_ && pageHasLines_) page_->LineEnd();
    if (!holding_ && !pageHasLines_) page_->Text({});
    pageHasLines_ = true;
  }

  // Whether the line, the held one so far or one that came whole, fits on the page after a
  // line end. Only a line that might not is measured, and a held one only once.
  bool Fits(std::string_view line, bool held) {
    const size_t used = page_->FinishedSize() + TChapterPageWriter::kLineEndSize;
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

  const TPagePath pagePath_;
  const bool cut_;  // long pages are continued on further pages
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

// Writes the pages of the source, split when split is set. The text comes again from its start
// when the source proves not to be UTF-8: the pages written so far go, and so does the scan,
// for the text read as ANSI may hold other headings.
TChapterPages WritePages(const TStreamedPages::TPagePath& pagePath, const std::string& label,
                         TSourceText& source, bool split) {
  for (;;) {
    std::optional<THeadingScan> scan;
    if (split) scan = ScanHeadings(source, kHeadingsToSplit);
    TStreamedPages pages(pagePath, label, scan ? &*scan : nullptr);
    bool restarted = false;
    source.Read([&pages](std::string_view utf8) { pages.Text(utf8); },
                [&] {
                  restarted = true;
                  source.Stop();
                });
    if (!restarted) return pages.Done();
    pages.Drop();
  }
}

}  // namespace

void WriteChapterPage(const std::string& path, std::string_view label, TSourceText& source) {
  WritePages([&path](size_t) { return path; }, std::string(label), source, false);
}

TChapterPages WriteSplitChapter(const std::string& folder, size_t index, const std::string& label,
                                TSourceText& source) {
  return WritePages([&](size_t page) { return folder + PageFileName(index, page); }, label, source,
                    true);
}

}  // namespace lumbrella
