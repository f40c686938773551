// The road of one conversion, shared by the window's Convert button and the command-line
// converter: stage the book under StagingRoot, write its documents, pack the tree into the
// chosen file (updating an existing archive), remove the tree.
#pragma once

#include <cstdint>
#include <exception>
#include <functional>
#include <string>
#include <string_view>
#include <vector>

#include "book/chapter.h"
#include "book/documents.h"
#include "book/headings.h"
#include "book/unwrap.h"
#include "platform/errors.h"

namespace lumbrella {

class TProgress;
class TZipPacker;

// "A conversion is already in progress": another conversion stages into the same folder or
// packs with the same packer.
class EConversionBusy : public Exception {
 public:
  EConversionBusy() : Exception("A conversion is already in progress") {}
};

// The book fields, ANSI text; empty means absent.
struct TBookFields {
  std::string title;   // m_title
  std::string author;  // m_zz
  std::string cover;   // m_img: path of the cover image
};

// The result messages (ANSI), each shown in a plain message box.
std::string ConvertSucceededMessage();  // "恭喜你，文件转换成功"
std::string ConvertFailedMessage();     // "灰常遗憾，未能转换成功"

// Whether a title has anything to show: a character other than blanks (space, U+3000) and
// control characters. One that has not counts as empty.
bool ShowsSomething(std::string_view title);

// The file name the save dialog proposes: the title, or "myepub" when it is empty. What no
// file name may hold here ("/", control characters) or on Windows, where books travel
// (\ : * ? " < > |), becomes "_".
std::string ProposedBookName(const std::string& title);

// The title the book carries: the title field, or when it is empty the output file's name
// without its extension ("myepub" when that is empty too).
std::string BookTitle(const std::string& title, const std::string& outputPath);

// What the documents say about the book, decided once per conversion: the title (BookTitle),
// the author and a new identifier. The cover's file and type are filled in when the cover
// is placed, from what the image is.
TBookInfo MakeBookInfo(const TBookFields& fields, const std::string& outputPath);

// True when tempDir lies in the runtime folder in memory (RuntimeBaseDir).
bool InRuntimeFolder(const std::string& tempDir);
// True when tempDir lies in the runtime folder in memory and its file system has no room
// for stagedBytes: the book is then staged on disk instead.
bool NeedsDiskStaging(const std::string& tempDir, int64_t stagedBytes);
// The most a staged book of these fields and chapters can take: pages grow up to
// kMaxPageGrowth times their sources, and each file takes a memory page at least.
inline constexpr int64_t kMaxPageGrowth = 7;  // a line end becomes "</p><p>"
int64_t MostStagedBytes(const TBookFields& fields, const std::vector<TChapter>& chapters);

class TBookConverter {
 public:
  // tempDir: the program's private temporary folder (ANSI, ending in "/"). The packer
  // belongs to the caller, who hands the same progress to it for the packing. Staging
  // reports through progress (when given) after each chapter and gives its owner a turn
  // there, so the window repaints while it stages; a cancel request made meanwhile ends the
  // conversion with EUserCanceled.
  TBookConverter(std::string tempDir, TZipPacker& packer, TProgress* progress = nullptr);

  // tempDir + "EPUB", no trailing separator.
  std::string StagingRoot() const;

  // Clears StagingRoot, then writes the folders, mimetype, container, style sheet and, with
  // a cover path, its image and the cover page; book gets the cover's file and type. Raises
  // the open error of a cover that cannot be read, EInvalidGraphic for one that does not
  // decode, the create error of a file.
  void StageFixedFiles(TBookInfo& book, const std::string& coverPath);
  // Chapter pages, content.opf and toc.ncx. Raises the open error of an unreadable chapter.
  void WritePackageDocuments(const TBookInfo& book, const std::vector<TChapter>& chapters);
  // Packs root into archivePath with the conversion's packer settings; true when the
  // packer raised nothing. Removes root in both cases. The swallowed error's message is
  // kept in LastPackerError().
  bool PackStagingTree(const std::string& root, const std::string& archivePath);

  // Steps 4 to 7 of Convert, after the save dialog: clear StagingRoot, stage, write the
  // documents, pack. A book that the folder in memory has no room for (NeedsDiskStaging on
  // MostStagedBytes) is staged in a private folder on disk, made for this conversion; so is
  // one that fills the folder in memory all the same, once more, without a word. A staging
  // error removes StagingRoot and propagates (the caller shows it); otherwise returns
  // PackStagingTree's result. While a conversion with the same StagingRoot or the same
  // packer runs, through this converter or another (from a window message handled during
  // packing), it raises EConversionBusy and touches nothing.
  bool Convert(const TBookFields& fields, const std::vector<TChapter>& chapters,
               const std::string& outputPath);

  // Splits every chapter file that holds two headings or more at its headings, with a
  // navigation point under the file's for each (WriteSplitChapter). Split or not, a page that
  // would be longer than kMaxPageSize is continued on further pages.
  bool SplitChapters = false;
  // The rule headings are found by; none: the built-in one. It belongs to the caller.
  const THeadingRule* HeadingRule = nullptr;
  // Whether the lines of hard-wrapped files are joined into paragraphs (TUnwrap).
  TUnwrap Unwrap = TUnwrap::uwAuto;
  // The files the last WritePackageDocuments split, and what their headings are.
  const std::vector<TSplitFile>& SplitFiles() const { return splitFiles_; }
  // What each chapter file of the last WritePackageDocuments was read in, in list order
  // (those read before a failure).
  const std::vector<TEncodingChoice>& ChapterEncodings() const { return encodings_; }

  const std::string& LastPackerError() const { return lastPackerError_; }
  // What the packer raised, by which its cause is told (none after a success).
  const std::exception_ptr& LastPackerFailure() const { return lastPackerFailure_; }
  // The book takes the place of a file at the output path instead of updating it: for a
  // file that holds no archive (HoldsNoArchive), once the user has said so.
  bool ReplaceOutput = false;
  // True while a conversion runs that stages into this StagingRoot or packs with this
  // packer. The packer hands control to the window between blocks, so a second Convert
  // could otherwise stage into the tree being packed or reset the packer under it.
  bool Busy() const;

 private:
  void BetweenChapters(int64_t done, int64_t total);
  // StageFixedFiles and WritePackageDocuments; a failure removes StagingRoot.
  void Stage(TBookInfo& book, const TBookFields& fields, const std::vector<TChapter>& chapters);

  std::string tempDir_;
  TZipPacker& packer_;
  TProgress* progress_;
  std::string lastPackerError_;
  std::exception_ptr lastPackerFailure_;
  std::vector<TSplitFile> splitFiles_;
  std::vector<TEncodingChoice> encodings_;
};

// Deletes the folder with everything in it; true on success.
bool RemoveStagingTree(const std::string& path);

}  // namespace lumbrella
