// Page writing: a chapter file read in blocks turned into its page, or, split, into several
// pages, one per heading (when it holds two or more) and more wherever a page would grow beyond
// kMaxPageSize.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

#include "book/documents.h"
#include "book/headings.h"

namespace lumbrella {

class TSourceText;

// Readers page slowly through larger documents, and some refuse them.
inline constexpr size_t kMaxPageSize = 256 * 1024;  // bytes of XHTML as stored (UTF-8)

// Writes the chapter page of the source, read in blocks, as the whole content of the file at
// path, which is created anew: one paragraph per line, whatever its size or headings, with
// memory that does not grow with the chapter. A source that proves not to be UTF-8 while the
// page is written has it written again as ANSI. Raises the create and write errors of the
// page, EReadError when the source shrinks meanwhile.
void WriteChapterPage(const std::string& path, std::string_view label, TSourceText& source);

// Writes chapter index's pages into folder (OEBPS, ending in "/") as its source is read in
// blocks, and returns how they stand in the book. A first pass reads the whole source and
// plans its split by the rule (PlanHeadings); a file that holds two headings or more is split:
// the text before the first one on the first page (none when that text is blank), then a page
// per chapter, which begins with its heading as <h2>, and a page per volume that has text of
// its own (a volume without is shown on its first chapter's page). A file with fewer is the
// page WriteChapterPage makes. Any page longer than kMaxPageSize is continued on further
// pages, cut between lines (a single line longer than that stays whole); they get no
// navigation point. A source that proves not to be UTF-8 while it is read has its pages
// removed and is read again as ANSI. report, when given, gets what the split found. Raises
// the create and write errors of the pages, EReadError.
TChapterPages WriteSplitChapter(const std::string& folder, size_t index, const std::string& label,
                                TSourceText& source,
                                const THeadingRule& rule = BuiltInHeadingRule(),
                                THeadingReport* report = nullptr);

}  // namespace lumbrella
