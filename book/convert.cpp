#include "book/convert.h"

#include <exception>

#include "book/cover.h"
#include "book/decode.h"
#include "book/documents.h"
#include "book/staging.h"
#include "book/uuid.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "zip/errors.h"
#include "zip/packer.h"

namespace lumbrella {

std::string ConvertSucceededMessage() {
  return Utf8ToAnsi("恭喜你，文件转换成功");
}

std::string ConvertFailedMessage() {
  return Utf8ToAnsi("灰常遗憾，未能转换成功");
}

std::string ProposedBookName(const std::string& title) {
  return title.empty() ? std::string("myepub") : title;
}

std::string BookTitle(const std::string& title, const std::string& outputPath) {
  if (!title.empty()) return title;
  std::string name = ExtractFileName(outputPath);
  name.resize(name.size() - ExtractFileExt(name).size());
  // A book must have a title; ".epub" alone leaves no name to take.
  return name.empty() ? std::string("myepub") : name;
}

TBookConverter::TBookConverter(std::string tempDir, TZipPacker& packer)
    : tempDir_(std::move(tempDir)), packer_(packer) {}

std::string TBookConverter::StagingRoot() const {
  return tempDir_ + "EPUB";
}

namespace {

TBookInfo MakeBookInfo(const TBookFields& fields, const std::string& outputPath,
                       const std::string& bookId) {
  TBookInfo info;
  info.title = BookTitle(fields.title, outputPath);
  info.author = fields.author;
  info.uuid = bookId;
  if (!fields.cover.empty()) {
    TCoverTarget cover = CoverTargetFor(fields.cover);
    info.coverImage = cover.fileName;
    info.coverMediaType = cover.mediaType;
  }
  return info;
}

}  // namespace

void TBookConverter::StageFixedFiles(const TBookFields& fields, const std::string& outputPath) {
  const std::string root = StagingRoot();
  // Whatever an earlier conversion left here (pages beyond this book's count, another
  // cover) would otherwise be packed into this book.
  RemoveTree(root);
  bookId_ = NewUuid();
  StageTree(root);
  if (fields.cover.empty()) return;
  // A cover that cannot be read stops the conversion: a cover page pointing at nothing
  // is no better than no book.
  PlaceCoverImage(fields.cover, ImagesFolder(root));
  WriteUtf8File(ContentFolder(root) + "cover.html",
                CoverPage(MakeBookInfo(fields, outputPath, bookId_)));
}

void TBookConverter::WritePackageDocuments(const TBookFields& fields,
                                           const std::vector<ChapterRow>& rows,
                                           const std::string& outputPath) {
  if (bookId_.empty()) bookId_ = NewUuid();
  const std::string folder = ContentFolder(StagingRoot());
  std::vector<std::string> labels;
  labels.reserve(rows.size());
  std::vector<int64_t> sizes;
  int64_t total = 0;
  for (const ChapterRow& row : rows) {
    TFileInfo file;
    sizes.push_back(GetFileInfo(row.path, file) ? file.size : 0);
    total += sizes.back();
  }
  int64_t done = 0;
  BetweenChapters(done, total);
  // Rows are numbered by their position now, whatever their number caption says. Only one
  // chapter's text is held at a time.
  for (size_t i = 0; i < rows.size(); ++i) {
    std::string page;
    {
      const std::string text = LoadSourceText(rows[i].path);
      page = ChapterPage(rows[i].name, text);
    }  // the text goes before the page is converted and written
    WriteUtf8File(folder + ChapterFileName(i), page);
    labels.push_back(rows[i].name);
    done += sizes[i];
    BetweenChapters(done, total);
  }
  const TBookInfo info = MakeBookInfo(fields, outputPath, bookId_);
  WriteUtf8File(folder + "content.opf", PackageDocument(info, rows.size()));
  WriteUtf8File(folder + "toc.ncx", NavigationMap(info, labels));
}

void TBookConverter::BetweenChapters(int64_t done, int64_t total) {
  if (OnStagingProgress) OnStagingProgress(done, total);
  if (packer_.DoProcessMessages && packer_.OnProcessMessages) packer_.OnProcessMessages();
  if (packer_.CancelRequested()) throw EUserCanceled("User Aborted Operation");
}

bool TBookConverter::PackStagingTree(const std::string& root, const std::string& archivePath) {
  lastPackerError_.clear();
  bool ok = false;
  try {
    ConfigureBookPacker(packer_, root, archivePath);
    packer_.Zip();
    ok = true;
  } catch (const std::exception& e) {
    lastPackerError_ = e.what();
  } catch (...) {
    lastPackerError_ = "Unknown error";
  }
  RemoveStagingTree(root);
  return ok;
}

bool TBookConverter::Convert(const TBookFields& fields, const std::vector<ChapterRow>& rows,
                             const std::string& outputPath) {
  if (busy_) throw Exception("A conversion is already in progress");
  busy_ = true;
  struct Idle {
    TBookConverter& self;
    ~Idle() {
      self.busy_ = false;
      self.bookId_.clear();
    }
  } idle{*this};
  const std::string root = StagingRoot();
  try {
    StageFixedFiles(fields, outputPath);
    WritePackageDocuments(fields, rows, outputPath);
  } catch (...) {
    RemoveStagingTree(root);
    throw;
  }
  return PackStagingTree(root, outputPath);
}

bool RemoveStagingTree(const std::string& path) {
  return RemoveTree(path);
}

}  // namespace lumbrella
