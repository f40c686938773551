// The archive reader: the state an archive job shares between reading an existing archive
// and writing a new one (TZipPacker derives from it), and the reading of an existing
// archive's end record and central directory.
#pragma once

#include <cstdint>
#include <ctime>
#include <functional>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include "platform/files.h"
#include "platform/progress.h"
#include "zip/deflate.h"
#include "zip/records.h"

namespace lumbrella {

class TBufferedFileStream;
class TStream;

// What a file without an end record means.
enum TIncompleteZipMode : uint8_t { izAssumeMulti = 0, izAssumeBad = 1, izAssumeNotAZip = 2 };

class TZipReader {
 public:
  TZipReader();
  virtual ~TZipReader();
  TZipReader(const TZipReader&) = delete;
  TZipReader& operator=(const TZipReader&) = delete;

  // --- Settings -------------------------------------------------------------------------
  // Archive to read, write or update (ANSI path). The same name changes nothing; another
  // name (letter case counts on this platform) forgets the current archive.
  const std::string& ZipName() const { return zipName_; }
  void SetZipName(const std::string& name);
  // Folder that bare names and wildcards without a folder refer to; stored with a
  // trailing "/". RelativePathList then holds it alone.
  const std::string& RootDir() const { return rootDir_; }
  void SetRootDir(const std::string& dir);
  std::vector<std::string>& RelativePathList() { return relativePathList_; }
  // What to pack: paths, bare names, folders ending in "/", wildcard patterns.
  std::vector<std::string>& FilesList() { return filesList_; }
  TIncompleteZipMode IncompleteZipMode = izAssumeMulti;
  bool KeepZipOpen = false;

  // --- Long work ------------------------------------------------------------------------
  // Where long work reports how far it has come, gives its owner a turn between steps and
  // learns of a cancel request, which ends it with EUserCanceled "User Aborted Operation";
  // none set: no one is told and nothing stops it. While DoProcessMessages is off the owner
  // gets no turn; a cancel request is still honoured.
  TProgress* Progress = nullptr;
  bool DoProcessMessages = true;

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
  // The entry's DOS date-time for comparisons with a file's: the stored value, or the
  // current time when it names no calendar day.
  uint32_t EntryDosDateTime(size_t index) const;

 protected:
  // Forgets the current archive: directory and end record cleared, stream closed,
  // recorded time reset.
  void ForgetArchive();
  // Gives the owner its turn when DoProcessMessages is on, then raises EUserCanceled "User
  // Aborted Operation" when a cancel request is pending.
  void ProcessMessages();
  // Drops a cancel request left from before the operation.
  void ResetCancel();

  // Looks for the end record in the last 65,557 bytes of s (a 0-byte stream is an empty
  // archive): from the end backwards, the first whose directory ends right in front of it,
  // else the first whose comment reaches the end of s exactly. directoryLimit receives
  // where the directory must end (the record, or its Zip64 end record).
  static bool FindEndCentral(TStream& s, TEndCentral& end, int64_t& directoryLimit);
  // One central header at the position of s; false (position restored) when none is there.
  // With ignoreExtra the header's extra field length is taken to be 0.
  bool ReadCentralHeader(TStream& s, TZipHeaderInfo& entry, bool ignoreExtra = false);
  // One local header at the position of s; false (position restored) when none is there.
  bool ReadLocalHeader(TStream& s, TZipHeaderInfo& entry);
  // Writes the kept entry at the end of out: a new local header from the entry's central
  // values, then the old local extra field and the data as they are. The entry's offset,
  // flags and Zip64 block are updated for the new archive. The archive must be open.
  void CopyEntry(TZipHeaderInfo& entry, TStream& out);
  // Where the data of an entry of the open archive begin, behind its local header; false
  // when no local header is at the entry's offset.
  bool EntryDataStart(const TZipHeaderInfo& entry, int64_t& start);
  TStream& ArchiveStream();  // the open archive (opened when it is not)
  // The held directory no longer describes the file at ZipName (it was written anew).
  void InvalidateHeldDirectory() { held_ = false; }
  // Bytes the repair scan has inflated or read to prove entries, since the archive was opened.
  uint64_t ScanProofWork() const { return proofWork_; }
  // One block of at least size bytes for copying entry data, kept for the reader's life.
  std::span<char> CopyBuffer(size_t size);

  std::string zipName_;
  std::string rootDir_;
  std::vector<std::string> relativePathList_;
  std::vector<std::string> filesList_;

  std::unique_ptr<TSortedZip> directory_;  // ByNone
  TEndCentral endCentral_;
  std::time_t archiveDateTime_ = 0;
  std::unique_ptr<TBufferedFileStream> archive_;  // the open archive, if any
  TInflater inflater_;  // proves entry data, for every entry of every archive read
  uint32_t currentDisk_ = 0;
  bool scanned_ = false;  // the repair scan has run for this archive

 private:
  void LoadDirectory();
  void CheckEndCentral(int64_t limit);
  void ReadDirectory(TStream& central);
  bool RepairScan(std::vector<std::unique_ptr<TZipHeaderInfo>>& found, int64_t& stopPos);
  void RunRepairScan();
  void ReadDirectoryScanMode(int64_t from, std::vector<bool>& confirmed);
  void VerifyScannedEntry(const TZipHeaderInfo& entry);
  void ValidateLayout(int64_t limit);
  TStream& CentralStream();

  bool held_ = false;  // directory_ was read from the file heldStamp_ describes
  TFileStamp heldStamp_;
  std::unique_ptr<TBufferedFileStream> companion_;  // the .zfc file holding the directory
  int64_t centralLimit_ = 0;  // entries' data must end here (start of the directory)
  uint64_t proofBudget_ = 0;  // bytes the repair scan may still inflate to prove entries
  uint64_t proofWork_ = 0;
  std::vector<char> copyBuffer_;
};

// Whether the file at path holds no archive the reader can read (no end record, or a
// directory beyond repair): converting onto it cannot update it. False when nothing is
// there, for an archive, and for a file that cannot be opened (the conversion says why).
bool HoldsNoArchive(const std::string& path);

}  // namespace lumbrella
