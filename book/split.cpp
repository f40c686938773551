#include "book/split.h"

#include <optional>
#include <vector>

#include "book/headings.h"
#include "book/staging.h"
#include "platform/codepage.h"

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

}  // namespace

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
