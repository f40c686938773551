// A chapter of a book as the conversion road takes it: a source file and its label.
#pragma once

#include <optional>
#include <string>

#include "book/encoding.h"

namespace lumbrella {

struct TChapter {
  std::string label;  // the table-of-contents label: the file name without its last extension
  std::string path;   // the source file, ANSI, exactly as it was handed over
  TSourceEncoding encoding = TSourceEncoding::seAuto;  // what it is read in
};

// The chapter a source file makes, or nothing when its extension (from the last "." behind
// the last "/") is not ".txt" in any letter case (a.txt, A.TXT, a.Txt). The window's list
// and the command line admit files by this one rule.
std::optional<TChapter> ChapterOf(const std::string& path);

}  // namespace lumbrella
