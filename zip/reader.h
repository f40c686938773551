// The archive reader: the state an archive job shares between reading an existing archive
// and writing a new one (TZipPacker derives from it), and the reading of an existing
// archive's end record and central directory.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "zip/records.h"

namespace lumbrella {

class TBufferedFileStream;

// What a file without an end record means.
enum TIncompleteZipMode : uint8_t { izAssumeMulti = 0, izAssumeBad = 1, izAssumeNotAZip = 2 };

class TZipReader {
 public:
  TZipReader();
  virtual ~TZipReader();
  TZipReader(const TZipReader&) = delete;
  TZipReader& operator=(const TZipReader&) = delete;

  // --- Settings -------------------------------------------------------------------------
  // Archive to read, write or update (ANSI path). A name equal to the current one without
  // regard to case changes nothing; another name forgets the current archive.
  const std::string& ZipName() const { return zipName_; }
  void SetZipName(const std::string& name);
  // Folder that bare names and wildcards without a folder refer to; stored with a
  // trailing "/". RelativePathList then holds it alone.
  const std::string& RootDir() const { return rootDir_; }
  void SetRootDir(const std::string& dir);
  std::vector<std::string>& RelativePathList() { return relativePathList_; }
  // What to pack: paths, bare names, folders ending in "/", wildcard specifications.
  std::vector<std::string>& FilesList() { return filesList_; }
  TIncompleteZipMode IncompleteZipMode = izAssumeMulti;
  bool KeepZipOpen = false;

  // --- Long work ------------------------------------------------------------------------
  // Dispatching pending window messages during long work: the caller's callback (the
  // window sets one); with none set nothing happens. While DoProcessMessages is off it is
  // not called.
  bool DoProcessMessages = true;
  std::function<void()> OnProcessMessages;
  // A cancel request, raised by the caller (typically from inside OnProcessMessages) and
  // honoured at the points where long work dispatches messages: "User Aborted Operation".
  void RequestCancel() { cancelRequested_ = true; }
  bool CancelRequested() const { return cancelRequested_; }

  // --- The current archive ----------------------------------------------------------------
  // Its directory in writing order (disk, offset), its end record and the last-write time
  // of its file as recorded when the directory was loaded or written.
  const TSortedZip& Directory() const { return *directory_; }
  const TEndCentral& EndCentral() const { return endCentral_; }
  std::time_t ArchiveDateTime() const { return archiveDateTime_; }

  // Opens the archive at ZipName (if not open) and loads its directory unless the held one
  // is still current (same path, same last-write time). Raises EFOpenError,
  // EIncompleteZip, ENotAZipFile, EBadZipFile, EUserCanceled.
  void Open();
  void Close();  // closes the archive stream; the directory stays held
  // The entry's DOS date-time as a local time; a date that names no calendar day gives
  // the current time. EListError "Index %d is out of range" outside the list.
  std::time_t EntryDateTime(size_t index) const;
  std::string EntryComment(size_t index);
  std::string ArchiveComment();

 protected:
  // Forgets the current archive: directory and end record cleared, stream closed,
  // recorded time reset.
  void ForgetArchive();
  // Calls OnProcessMessages when DoProcessMessages is on, then raises EUserCanceled
  // "User Aborted Operation" when a cancel request is pending.
  void ProcessMessages();
  // Clears a cancel request left from an earlier operation.
  void ResetCancel() { cancelRequested_ = false; }

  std::string zipName_;
  std::string rootDir_;
  std::vector<std::string> relativePathList_;
  std::vector<std::string> filesList_;

  std::unique_ptr<TSortedZip> directory_;  // ByNone, owning
  TEndCentral endCentral_;
  std::time_t archiveDateTime_ = 0;
  std::unique_ptr<TBufferedFileStream> archive_;  // the open archive, if any
  uint32_t currentDisk_ = 0;
  bool scanned_ = false;  // the repair scan has run for this archive

 private:
  bool cancelRequested_ = false;
};

}  // namespace lumbrella
