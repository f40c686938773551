// Settings and shared state of TZipReader; the reading itself lives in reader.cpp.
#include "platform/stream.h"
#include "zip/errors.h"
#include "zip/reader.h"

namespace lumbrella {

TZipReader::TZipReader() : directory_(std::make_unique<TSortedZip>(TSortMode::ByNone)) {}

TZipReader::~TZipReader() = default;

void TZipReader::SetZipName(const std::string& name) {
  // File names differ by letter case on this platform: only the same bytes are the same file.
  if (name == zipName_) return;
  zipName_ = name;
  ForgetArchive();
}

void TZipReader::SetRootDir(const std::string& dir) {
  rootDir_ = dir;
  if (!rootDir_.empty() && rootDir_.back() != '/') rootDir_ += '/';
  relativePathList_.clear();
  relativePathList_.push_back(rootDir_);
}

void TZipReader::ForgetArchive() {
  directory_->Clear();
  endCentral_ = TEndCentral();
  Close();
  archiveDateTime_ = 0;
  currentDisk_ = 0;
  scanned_ = false;
}

void TZipReader::Close() {
  archive_.reset();
  companion_.reset();
}

void TZipReader::ProcessMessages() {
  if (!Progress) return;
  if (DoProcessMessages) Progress->Step();
  if (Progress->TakeCancel()) throw EUserCanceled("User Aborted Operation");
}

std::span<char> TZipReader::CopyBuffer(size_t size) {
  if (copyBuffer_.size() < size) copyBuffer_.resize(size);
  return {copyBuffer_.data(), size};
}

void TZipReader::ResetCancel() {
  if (Progress) Progress->TakeCancel();
}

}  // namespace lumbrella
