#include "book/convert.h"

#include <algorithm>
#include <cerrno>
#include <exception>
#include <optional>

#include "book/cover.h"
#include "book/decode.h"
#include "book/documents.h"
#include "book/split.h"
#include "book/staging.h"
#include "book/uuid.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/progress.h"
#include "platform/tempdir.h"
#include "zip/errors.h"
#include "zip/packer.h"

namespace lumbrella {

std::string ConvertSucceededMessage() {
  return Utf8ToAnsi("恭喜你，文件转换成功");
}

std::string ConvertFailedMessage() {
  return Utf8ToAnsi("灰常遗憾，未能转换成功");
}

bool ShowsSomething(std::string_view title) {
  for (size_t at = 0, length = 0; at < title.size(); at += length) {
    const char32_t c = AnsiCharAt(title, at, length);
    const bool nothing = c <= ' ' || (c >= 0x7F && c <= 0x9F) || c == 0x3000;
    if (!nothing) return true;
  }
  return false;
}

std::string ProposedBookName(const std::string& title) {
  if (!ShowsSomething(title)) return "myepub";
  // By character: a backslash and "|" are also second bytes of GB18030 characters.
  std::u16string units = AnsiToUtf16(title);
  for (char16_t& c : units) {
    if (c < 0x20 || std::u16string_view(u"/\\:*?\"<>|").find(c) != std::u16string_view::npos)
      c = u'_';
  }
  return Utf16ToAnsi(units);
}

std::string BookTitle(const std::string& title, const std::string& outputPath) {
  if (ShowsSomething(title)) return title;
  std::string name = ExtractFileName(outputPath);
  name.resize(name.size() - ExtractFileExt(name).size());
  // A book must have a title; ".epub" alone leaves no name to take.
  return name.empty() ? std::string("myepub") : name;
}

TBookInfo MakeBookInfo(const TBookFields& fields, const std::string& outputPath) {
  TBookInfo book;
  book.title = BookTitle(fields.title, outputPath);
  book.author = fields.author;
  book.uuid = NewUuid();
  return book;
}

TBookConverter::TBookConverter(std::string tempDir, TZipPacker& packer, TProgress* progress)
    : tempDir_(std::move(tempDir)), packer_(packer), progress_(progress) {}

std::string TBookConverter::StagingRoot() const {
  return tempDir_ + "EPUB";
}

void TBookConverter::StageFixedFiles(TBookInfo& book, const std::string& coverPath) {
  const std::string root = StagingRoot();
  // Whatever an earlier conversion left here (pages beyond this book's count, another
  // cover) would otherwise be packed into this book.
  RemoveTree(root);
  StageTree(root);
  book.coverImage.clear();
  book.coverMediaType.clear();
  if (coverPath.empty()) return;
  // A cover that cannot be read stops the conversion: a cover page pointing at nothing
  // is no better than no book.
  const TCoverTarget cover = PlaceCoverImage(coverPath, ImagesFolder(root));
  book.coverImage = cover.fileName;
  book.coverMediaType = cover.mediaType;
  WriteUtf8File(ContentFolder(root) + "cover.html", CoverPage(book));
}

void TBookConverter::WritePackageDocuments(const TBookInfo& book,
                                           const std::vector<TChapter>& chapters) {
  const std::string folder = ContentFolder(StagingRoot());
  std::vector<TChapterPages> toc;
  toc.reserve(chapters.size());
  splitFiles_.clear();
  encodings_.clear();
  std::vector<int64_t> sizes;
  int64_t total = 0;
  for (const TChapter& chapter : chapters) {
    sizes.push_back(std::max<int64_t>(FileSize(chapter.path), 0));
    total += sizes.back();
  }
  int64_t done = 0;
  BetweenChapters(done, total);
  // Chapters are numbered by their position now. Each is read and written in blocks.
  for (size_t i = 0; i < chapters.size(); ++i) {
    TSourceText source(chapters[i].path, chapters[i].encoding);
    if (SplitChapters) {
      THeadingReport report;
      toc.push_back(WriteSplitChapter(folder, i, chapters[i].label, source,
                                      HeadingRule != nullptr ? *HeadingRule : BuiltInHeadingRule(),
                                      &report, Unwrap));
      if (!toc.back().headings.empty()) splitFiles_.push_back({i, std::move(report)});
    } else {
      toc.push_back(WriteChapterPage(folder, i, chapters[i].label, source, Unwrap));
    }
    encodings_.push_back(source.Encoding());
    done += sizes[i];
    BetweenChapters(done, total);
  }
  WriteUtf8File(folder + "content.opf", PackageDocument(book, toc));
  WriteUtf8File(folder + "toc.ncx", NavigationMap(book, toc));
}

// By source bytes: before the first chapter and after each one.
void TBookConverter::BetweenChapters(int64_t done, int64_t total) {
  if (!progress_) return;
  progress_->Percent(TWorkStage::wsStaging,
                     total > 0 ? static_cast<int>(std::min(done, total) * 100 / total) : 0);
  progress_->Step();
  if (progress_->TakeCancel()) throw EUserCanceled("User Aborted Operation");
}

bool TBookConverter::PackStagingTree(const std::string& root, const std::string& archivePath) {
  lastPackerError_.clear();
  lastPackerFailure_ = nullptr;
  bool ok = false;
  try {
    ConfigureBookPacker(packer_, root, archivePath);
    packer_.KnownCrcs = &StagedCrcs();
    packer_.ReplaceExisting = ReplaceOutput;
    packer_.Zip();
    ok = true;
  } catch (const std::exception& e) {
    lastPackerError_ = e.what();
    lastPackerFailure_ = std::current_exception();
  } catch (...) {
    lastPackerError_ = "Unknown error";
    lastPackerFailure_ = std::current_exception();
  }
  packer_.KnownCrcs = nullptr;
  packer_.ReplaceExisting = false;
  RemoveStagingTree(root);
  return ok;
}

namespace {

// The conversions running now, by the staging root and the packer they use. The window
// makes a new converter for each Convert, so a guard inside one converter would never see
// the conversion that another one is packing.
struct TRunningConversion {
  std::string root;
  const TZipPacker* packer;
};
std::vector<TRunningConversion>& RunningConversions() {
  static std::vector<TRunningConversion> running;
  return running;
}

}  // namespace

bool TBookConverter::Busy() const {
  const std::string root = StagingRoot();
  for (const TRunningConversion& r : RunningConversions()) {
    if (r.root == root || r.packer == &packer_) return true;
  }
  return false;
}

bool InRuntimeFolder(const std::string& tempDir) {
  const std::string runtime = RuntimeBaseDir();
  return !runtime.empty() && tempDir.starts_with(Utf8ToAnsi(runtime) + "/");
}

bool NeedsDiskStaging(const std::string& tempDir, int64_t stagedBytes) {
  if (!InRuntimeFolder(tempDir)) return false;
  const int64_t room = FreeSpace(Utf8ToAnsi(RuntimeBaseDir()));
  return room >= 0 && room < stagedBytes;
}

int64_t MostStagedBytes(const TBookFields& fields, const std::vector<TChapter>& chapters) {
  // A page grows to kMaxPageGrowth times its source, and each file takes at least one
  // memory page of the folder; the fixed files and the documents take far less than 1 MiB
  // beside them.
  constexpr int64_t kFilePage = 4096;
  int64_t bytes = (1 << 20) + kFilePage;
  if (!fields.cover.empty()) bytes += std::max<int64_t>(FileSize(fields.cover), 0) + kFilePage;
  for (const TChapter& chapter : chapters)
    bytes += kMaxPageGrowth * std::max<int64_t>(FileSize(chapter.path), 0) + kFilePage;
  return bytes;
}

namespace {

// A write the file system refused for want of room (or of files: a tmpfs may hold a limited
// number).
bool FolderFull(const EStreamError& e) {
  return e.SysError() == ENOSPC || e.SysError() == EDQUOT;
}

}  // namespace

void TBookConverter::Stage(TBookInfo& book, const TBookFields& fields,
                           const std::vector<TChapter>& chapters) {
  try {
    StageFixedFiles(book, fields.cover);
    WritePackageDocuments(book, chapters);
  } catch (...) {
    RemoveStagingTree(StagingRoot());
    throw;
  }
}

bool TBookConverter::Convert(const TBookFields& fields, const std::vector<TChapter>& chapters,
                             const std::string& outputPath) {
  if (Busy()) throw EConversionBusy();
  // The folder in memory is smaller than a disk; a book it has no room for is staged on
  // disk, in a private folder of its own.
  std::optional<TPrivateTempDir> onDisk;
  struct RestoreTempDir {
    std::string& dir;
    std::string given;
    ~RestoreTempDir() { dir = given; }
  } restoreTempDir{tempDir_, tempDir_};
  if (NeedsDiskStaging(tempDir_, MostStagedBytes(fields, chapters))) {
    onDisk.emplace(TempBaseDir());
    tempDir_ = onDisk->Path();
  }
  RunningConversions().push_back({StagingRoot(), &packer_});
  // An update need not read back the pages whose bytes an old entry holds already: their
  // CRC-32s are recorded as they are written.
  StagedCrcs().Clear();
  RecordStagedCrcs(FileExists(outputPath));
  struct Done {
    ~Done() {
      RunningConversions().pop_back();  // conversions nest, never overlap
      RecordStagedCrcs(false);
      StagedCrcs().Clear();
    }
  } done;
  TBookInfo book = MakeBookInfo(fields, outputPath);
  try {
    Stage(book, fields, chapters);
  } catch (const EStreamError& e) {
    // The estimate cannot know how many pages the headings make; a folder in memory that
    // fills up all the same has the book staged once more, on disk.
    if (onDisk || !InRuntimeFolder(tempDir_) || !FolderFull(e)) throw;
    StagedCrcs().Clear();
    onDisk.emplace(TempBaseDir());
    tempDir_ = onDisk->Path();
    RunningConversions().back().root = StagingRoot();
    Stage(book, fields, chapters);
  }
  return PackStagingTree(StagingRoot(), outputPath);
}

bool RemoveStagingTree(const std::string& path) {
  return RemoveTree(path);
}

}  // namespace lumbrella
