// Page writing: a chapter file read in blocks turned into its pages: one, or, split, one per
// heading (when it holds two or more), and more wherever a page would grow beyond kMaxPageSize.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "book/documents.h"
#include "book/headings.h"
#include "book/unwrap.h"

namespace lumbrella {

class TSourceText;

// Readers page slowly through larger documents, and some refuse them.
inline constexpr size_t kMaxPageSize = 256 * 1024;  // bytes of XHTML as stored (UTF-8)

// Writes chapter index's pages into folder (OEBPS, ending in "/") as its source is read in
// blocks, and returns how they stand in the book: its text in paragraphs (unwrap.h says how
// lines become paragraphs, unwrap whether wrapped lines are joined), on one page, or on further
// pages wherever a page would grow beyond kMaxPageSize, cut between paragraphs (a single
// paragraph longer than that stays whole); they get no navigation point. A first non-blank
// line that is a heading (HeadingOf) is the page's heading. Memory does not grow with the
// chapter: only the text's start is held, while its lines are measured (LayoutOf), and a
// source that proves not to be UTF-8 while the pages are written has them removed and written
// again as ANSI.
// Raises the create and write errors of the pages, EReadError when the source shrinks
// meanwhile.
TChapterPages WriteChapterPage(const std::string& folder, size_t index, const std::string& label,
                               TSourceText& source, TUnwrap unwrap = TUnwrap::uwAuto);

// The pages of WriteChapterPage, split by the rule when the file holds two headings or more.
// A first pass reads the whole source and plans the split (PlanHeadings): the text before the
// first heading on the first page (none when that text is blank), then a page per chapter,
// which begins with its heading as <h2>, and a page per volume that has text of its own (a
// volume without is shown on its first chapter's page). A file with fewer is the page
// WriteChapterPage makes. report, when given, gets what the split found.
TChapterPages WriteSplitChapter(const std::string& folder, size_t index, const std::string& label,
                                TSourceText& source,
                                const THeadingRule& rule = BuiltInHeadingRule(),
                                THeadingReport* report = nullptr,
                                TUnwrap unwrap = TUnwrap::uwAuto);

}  // namespace lumbrella
