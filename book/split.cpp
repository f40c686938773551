#include "book/split.h"

#include <functional>
#include <memory>
#include <optional>

#include "book/decode.h"
#include "book/headings.h"
#include "book/staging.h"
#include "platform/codepage.h"
#include "platform/files.h"
#include "platform/stream.h"

namespace lumbrella {

namespace {

// The pages of a chapter written paragraph by paragraph as its text arrives: one page, more
// where a page would grow too long, and, split, one per heading. A paragraph that is not its
// page's first waits while it might not fit (its bytes times kMaxGrowth pass the room left):
// until it ends, or until it is measured past the room, when it begins a further page.
class TStreamedPages final : public TTextLines, private TParagraphs::TSink {
 public:
  // A line longer than this is no heading, whatever blanks it has around it.
  static constexpr size_t kMaxTitleLine = 1024;

  using TPagePath = std::function<std::string(size_t page)>;

  // Split at the plan's headings, when it is given and splits.
  TStreamedPages(TPagePath pagePath, const std::string& label, const THeadingRule& rule,
                 const THeadingPlan* plan, const TTextLayout& layout)
      : TTextLines(plan != nullptr && plan->Split() ? &rule : nullptr),
        pagePath_(std::move(pagePath)),
        plan_(plan != nullptr && plan->Split() ? plan : nullptr),
        paragraphs_(layout, *this) {
    chapter_.label = label;
    chapter_.pages = 0;
    // Split at headings, a blank text before the first one gets no page.
    skipping_ = plan_ != nullptr && !plan_->textBeforeFirst;
    titling_ = plan_ == nullptr;
    if (!skipping_) OpenPage(label, std::nullopt);
  }

  TChapterPages Done() {
    Finish();
    paragraphs_.Close();
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
      DeleteFile(pagePath_(k));
  }

 private:
  // Lines, to the paragraphs.
  void Part(std::string_view utf8) override {
    if (titling_) {
      Title(utf8, false);
    } else if (!skipping_) {
      paragraphs_.Text(utf8);
    }
  }

  void Line(std::string_view utf8) override {
    if (titling_) {
      Title(utf8, true);
    } else if (!skipping_) {
      paragraphs_.Text(utf8);
      paragraphs_.LineEnd();
    }
  }

  // The lines that may be headings come in the order the plan has them.
  bool Heading(const THeadingLine&) override {
    using TRole = THeadingPlan::TRole;
    if (next_ >= plan_->entries.size()) return false;
    const THeadingPlan::TEntry& entry = plan_->entries[next_++];
    if (entry.role == TRole::hrText) return false;
    paragraphs_.Close();
    // A volume without a page of its own points at the next one, its first chapter's; the
    // blank lines before that are left out.
    skipping_ = !entry.page;
    if (entry.page) OpenPage(entry.line.text, entry.line.text);
    const size_t page = entry.page ? chapter_.pages - 1 : chapter_.pages;
    if (entry.role != TRole::hrChapter)
      chapter_.headings.push_back({page, entry.line.volume->label, true});
    if (entry.role != TRole::hrVolume)
      chapter_.headings.push_back({page, entry.line.chapter->label, false});
    return true;
  }

  // Not split, the first line that is not blank waits while it may be a heading, which is
  // then its page's heading.
  void Title(std::string_view utf8, bool ends) {
    title_.append(utf8);
    const std::string ansi = ends ? Utf8TextToAnsi(title_) : std::string();
    if (!ends) {
      if (title_.size() <= kMaxTitleLine) return;  // too long for one
      paragraphs_.Text(title_);
    } else if (const std::optional<std::string_view> heading = HeadingOf(ansi)) {
      page_->Heading(*heading);
      // Of a long line, what follows the heading is the first paragraph.
      std::string_view rest = ansi;
      rest.remove_prefix(static_cast<size_t>(heading->data() + heading->size() - ansi.data()));
      const size_t text = rest.find_first_not_of(" \t");
      if (text != std::string_view::npos) {
        paragraphs_.Text(AnsiToUtf8(rest.substr(text)));
        paragraphs_.LineEnd();
      }
    } else {
      paragraphs_.Text(title_);
      paragraphs_.LineEnd();
      if (paragraphs_.Empty()) {  // a blank line: the next may be the heading
        title_.clear();
        return;
      }
    }
    titling_ = false;
    title_.clear();
  }

  // Paragraphs, to the pages.
  void BeginParagraph(bool scene) override {
    scene_ = scene;
    // The first paragraph of a page goes on it at once, any other may wait.
    holding_ = pageHasParagraphs_;
    pageHasParagraphs_ = true;
    held_.clear();
    measured_ = 0;
    heldSize_ = 0;
    if (!holding_) page_->Begin(scene);
  }

  void ParagraphText(std::string_view utf8) override {
    if (!holding_) {
      page_->Text(utf8);
      return;
    }
    held_.append(utf8);
    if (!Fits()) Cut();
  }

  void EndParagraph() override {
    if (holding_) {
      if (Fits()) {
        page_->Begin(scene_);
        page_->Text(held_);
      } else {
        Cut();
      }
      held_.clear();
      holding_ = false;
    }
    page_->End();
  }

  void OpenPage(std::string_view title, std::optional<std::string_view> heading) {
    if (page_) page_->Finish();
    page_.reset();
    file_ = std::make_unique<TStagedFile>(pagePath_(chapter_.pages));
    ++chapter_.pages;  // counted once the file exists, so that Drop finds every one
    pageTitle_ = title;
    TFileStream* file = file_.get();
    page_ = std::make_unique<TChapterPageWriter>(
        pageTitle_, [file](const char* data, size_t size) { file->WriteBuffer(data, size); });
    if (heading) page_->Heading(*heading);
    pageHasParagraphs_ = false;
  }

  // Whether the held paragraph, as far as it came, fits on the page. Only one that might not
  // is measured, each byte once.
  bool Fits() {
    const size_t used = page_->FinishedSize() + TChapterPageWriter::ParagraphSize(scene_);
    if (used + TChapterPageWriter::kMaxGrowth * held_.size() <= kMaxPageSize) return true;
    heldSize_ += TChapterPageWriter::TextSize(std::string_view(held_).substr(measured_));
    measured_ = held_.size();
    return used + heldSize_ <= kMaxPageSize;
  }

  // The held paragraph begins a further page, without the heading; the rest of it follows
  // there.
  void Cut() {
    OpenPage(pageTitle_, std::nullopt);
    pageHasParagraphs_ = true;
    holding_ = false;
    page_->Begin(scene_);
    page_->Text(held_);
    held_.clear();
  }

  const TPagePath pagePath_;
  const THeadingPlan* const plan_;  // split at its headings
  size_t next_ = 0;                 // its entry for the next line that may be a heading
  TParagraphs paragraphs_;
  TChapterPages chapter_;
  std::string pageTitle_;  // of the section's pages
  std::unique_ptr<TFileStream> file_;
  std::unique_ptr<TChapterPageWriter> page_;
  bool skipping_ = false;           // before the first heading, with nothing to show there
  bool titling_ = false;            // the first line that is not blank is awaited
  std::string title_;               // of it, what came so far
  bool pageHasParagraphs_ = false;  // the page has a paragraph already
  bool holding_ = false;            // the paragraph waits for its page
  bool scene_ = false;              // it is set apart after a break
  std::string held_;
  size_t measured_ = 0;  // of held_, the bytes measured
  size_t heldSize_ = 0;  // and their size on a page
};

// Writes the pages of the source, split by the rule when one is given. The text's start is
// held until the layout is decided on it (kLayoutSampleBytes). The text comes again from its
// start when the source proves not to be UTF-8: the pages written so far go, and so do the
// sample and the plan, for the text read as ANSI has other lines and may hold other headings.
TChapterPages WritePages(const TStreamedPages::TPagePath& pagePath, const std::string& label,
                         TSourceText& source, const THeadingRule* rule, THeadingReport* report,
                         TUnwrap unwrap) {
  for (;;) {
    std::optional<THeadingPlan> plan;
    if (rule != nullptr) plan = PlanHeadings(source, *rule);
    std::optional<TStreamedPages> pages;
    std::string sample;
    const auto start = [&] {
      pages.emplace(pagePath, label, rule != nullptr ? *rule : BuiltInHeadingRule(),
                    plan ? &*plan : nullptr, LayoutOf(sample, unwrap));
      pages->Text(sample);
      std::string().swap(sample);
    };
    bool restarted = false;
    source.Read(
        [&](std::string_view utf8) {
          if (pages) {
            pages->Text(utf8);
            return;
          }
          sample.append(utf8);
          if (sample.size() >= kLayoutSampleBytes) start();
        },
        [&] {
          restarted = true;
          source.Stop();
        });
    if (!restarted) {
      if (!pages) start();
      if (report != nullptr && plan && plan->Split()) *report = plan->Report();
      return pages->Done();
    }
    if (pages) pages->Drop();
  }
}

}  // namespace

TChapterPages WriteChapterPage(const std::string& folder, size_t index, const std::string& label,
                               TSourceText& source, TUnwrap unwrap) {
  return WritePages([&](size_t page) { return folder + PageFileName(index, page); }, label, source,
                    nullptr, nullptr, unwrap);
}

TChapterPages WriteSplitChapter(const std::string& folder, size_t index, const std::string& label,
                                TSourceText& source, const THeadingRule& rule,
                                THeadingReport* report, TUnwrap unwrap) {
  return WritePages([&](size_t page) { return folder + PageFileName(index, page); }, label, source,
                    &rule, report, unwrap);
}

}  // namespace lumbrella
