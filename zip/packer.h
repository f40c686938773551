// The folder packer: gathers files (a files list with wildcards, searched recursively) and
// writes them into a new ZIP archive, or updates the archive that exists at ZipName.
#pragma once

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>
#include <string_view>
#include <vector>

#include "zip/knowncrc.h"
#include "zip/reader.h"
#include "zip/records.h"

namespace lumbrella {

enum TZipAction : uint8_t { zaUpdate = 0, zaReplace = 1, zaFreshen = 2 };
enum TSkipReason : uint8_t {
  srBadPassword,
  srNoOverwrite,
  srFileOpenError,
  srSkippedInStartZip,
  srExcludeList,
  srNoSuchFile,
};
enum TUpdateAction : uint8_t { uaReplacing, uaKeeping };

class TZipPacker : public TZipReader {
 public:
  TZipPacker();
  ~TZipPacker() override;

  // Runs the job the settings describe; returns the number of files written (new ones and
  // ones that replaced an entry). A blank ZipName: nothing is done, 0. The archive is
  // written beside ZipName and takes its place in one step once it is whole and durable,
  // so that ZipName holds the old file or the new archive, never a part of one, even when
  // the program is killed. Writers of the same folder wait for each other. Every failure is
  // an exception, after which ZipName is as it was and nothing of this run is left beside
  // it. FilesList is empty afterwards (except for a blank ZipName).
  int Zip();

  // --- Settings, with their couplings -------------------------------------------------------
  // What changes nothing on this platform (kept for the couplings below and for callers
  // written against the packer as it is elsewhere):
  //   StoreVolumes: a path here has no drive to keep or remove.
  //   OEMConvert: the OEM code page is the ANSI one here (platform/codepage.h), so names
  //     are stored as they are under every mode; oemFlexible marks the central header's
  //     host as NTFS (11) instead of DOS.
  //   IncludeSysFiles: no file carries the system attribute here. IncludeReadOnlyFiles
  //     and IncludeArchiveFiles: read-only files and files (all of which carry the archive
  //     attribute here) are found whatever these say, as a search with an attribute mask
  //     finds them; the three change AttributeMask only.
  //   EConfigFileSaveError (zip/errors.h) is never raised: it belongs to archives of
  //     several volumes, which are not written.
  bool Recurse() const { return recurse_; }
  void SetRecurse(bool on);
  bool StorePaths() const { return storePaths_; }
  void SetStorePaths(bool on);  // off also turns StoreVolumes and RelativePaths off
  bool RelativePaths() const { return relativePaths_; }
  void SetRelativePaths(bool on);  // on also turns StorePaths and Recurse on
  bool StoreVolumes() const { return storeVolumes_; }
  void SetStoreVolumes(bool on);  // on also turns StorePaths on

  // Attribute mask of file searches (bits 0x01 read-only, 0x02 hidden, 0x04 system,
  // 0x20 archive); by default hidden and system entries are skipped.
  bool IncludeHiddenFiles() const;
  void SetIncludeHiddenFiles(bool on);
  bool IncludeSysFiles() const;
  void SetIncludeSysFiles(bool on);
  bool IncludeReadOnlyFiles() const;
  void SetIncludeReadOnlyFiles(bool on);
  bool IncludeArchiveFiles() const;
  void SetIncludeArchiveFiles(bool on);
  uint32_t AttributeMask() const { return attributeMask_; }

  int PackLevel = 6;  // deflate level; 0 stores every file
  // A file at ZipName is not read: the new archive takes its place whole, as atomically as an
  // update does (for a file there that holds no archive, which cannot be updated).
  bool ReplaceExisting = false;
  TZipAction ZipAction = zaUpdate;  // how an existing archive's same-named entries go
  TOEMConvert OEMConvert = oemAlways;
  bool AddDirEntriesOnRecurse = false;
  // A folder to write the archive in before it is copied beside ZipName; empty (or not an
  // existing folder): it is written beside ZipName directly.
  std::string TempPath;
  // The names that the files being packed own in an update (told a stored name); none set:
  // the general merge. When set, an update writes every file first (whatever the dates:
  // ZipAction plays no part), then carries over, in their old order, the old entries that
  // are not owned and that no file replaced (names compared without regard to ASCII letter
  // case, so an old spelling never stays beside the new one); the others are left out.
  std::function<bool(std::string_view name)> OwnsName;
  // CRC-32s of files to pack known from when they were written (zip/knowncrc.h): an update
  // need not read such a file to learn whether an old entry holds its bytes already.
  const TKnownCrcs* KnownCrcs = nullptr;
  std::vector<std::string>& ExcludeList() { return excludeList_; }
  std::vector<std::string>& NoCompressList() { return noCompressList_; }

  // --- Notifications: optional; with none set nothing happens ------------------------------
  // After the expansion: file count and total size; set stop to end with EUserCanceled.
  std::function<void(size_t files, int64_t totalBytes, bool& stop)> OnStartZipInfo;
  std::function<void(const std::string& path)> OnRecursingFile;
  std::function<void(const std::string& path, TSkipReason reason, bool& retry)> OnSkippingFile;
  std::function<void(const std::string& path)> OnNoSuchFile;
  std::function<void(TUpdateAction action, const std::string& name)> OnUpdate;
  // Before each file; set skip to leave it out.
  std::function<void(const std::string& path, TZipHeaderInfo& entry, bool& skip)> OnStartZip;
  std::function<void(const std::string& path, uint64_t uncompressed, uint64_t compressed)> OnEndZip;
  std::function<void(int percent)> OnFilePercentDone;
  std::function<void(int percent)> OnTotalPercentDone;
  // A source yielded fewer bytes than its recorded size; the entry keeps what was read.
  std::function<void(const std::string& path, uint64_t expected, uint64_t read)> OnShortRead;
  std::function<void(int filesWritten)> OnZipComplete;

 private:
  struct Work;  // state of one Zip operation (zip/packer_work.h)

  // --- Steps of Zip, in packer.cpp ----------------------------------------------------------
  // Replaces FilesList by one full path per file to write (explicit files first, then the
  // files each wildcard line finds) and sums their sizes into work.totalBytes.
  void ExpandFilesList(Work& work);
  // Writes the file at path as the next entry of the output ("writing one file"); true when
  // it was written, false when it was skipped (missing, cannot be opened, duplicate name,
  // skipped by OnStartZip). A written entry is in both lists and counted in work.written.
  // The merge of an update calls it for a file that replaces an old entry, so the file
  // takes the old entry's place, and then removes that line from FilesList itself.
  bool WriteOneFile(Work& work, const std::string& path);
  // The header and data of a file's entry: a provisional header, the data stored or
  // deflated, the header again in place with the final values.
  void WriteEntryData(Work& work, TZipHeaderInfo& entry, TStream& source, bool store, uint64_t size,
                      const std::string& path);
  // The stored name (path part + file name, "/" separated) of the file at path, as the
  // settings give it; the merge matches old entries against it.
  std::string StoredName(const std::string& path) const;
  void StoredName(const std::string& path, std::string& dir, std::string& file) const;
  bool Excluded(const std::string& path) const;
  bool NoCompress(const std::string& fileName) const;
  // Progress through the run and the cancel check after each block written.
  void BlockWritten(Work& work, uint64_t fileBytes, uint64_t fileSize, uint64_t& reported);
  // The share of the run done, to OnTotalPercentDone and Progress.
  void TotalPercentDone(int percent);

  // --- Updating an existing archive, in update.cpp -----------------------------------------
  // In an update, for a file about to be written as entry (named, dated, its method and
  // flags as this packer writes them): when the old entry of that name holds the file's
  // bytes (same size and CRC-32, stored or deflated the same way, and its data prove it),
  // writes the entry with the old data copied instead of compressed again and returns true.
  // Otherwise the source is back at its start and nothing is written.
  // knownCrc: the file's CRC-32 when it is known (KnownCrcs), else the file is read for it.
  bool CopyUnchangedData(Work& work, TZipHeaderInfo& entry, TStream& source, uint64_t size,
                         std::optional<uint32_t> knownCrc);
  // Reads the archive at ZipName and merges its entries with FilesList into work's output.
  void MergeExistingArchive(Work& work);
  // Copies old entry index into work's output as it is.
  void CarryOver(Work& work, size_t index);
  // EUserCanceled "User Aborted Operation" when a cancel request is pending.
  void CheckCancel();

  bool recurse_ = false;
  bool storePaths_ = false;
  bool relativePaths_ = false;
  bool storeVolumes_ = false;
  uint32_t attributeMask_ = 0x39;
  std::vector<std::string> excludeList_;
  std::vector<std::string> noCompressList_;
};

// The names a book owns in the archive it is written into, whatever their ASCII letter case:
// those it writes (mimetype, META-INF/container.xml, OEBPS/content.opf, OEBPS/toc.ncx,
// OEBPS/css/main.css, OEBPS/cover.html) and those of its patterns, which an older book may
// hold where the new one has none: the pages OEBPS/<n>.html and OEBPS/<n>-<k>.html and the
// cover image OEBPS/images/cover.<any extension>.
bool BookOwnsName(std::string_view name);

// The settings of a conversion, set in this order: everything under root, recursively,
// named relative to it, into archive; mimetype first and stored, as readers that know a
// book by its first bytes want it; in an update the book's own names (BookOwnsName) are the
// new book's, and whatever else the file holds (files a user added: images, fonts, pages of
// their own) stays after them, byte for byte, in its old order.
void ConfigureBookPacker(TZipPacker& packer, const std::string& root, const std::string& archive);

}  // namespace lumbrella
