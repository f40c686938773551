// Updating an archive that already exists at ZipName: the merge of the old entries with the
// files to pack. The new archive is written into a pending file beside the target (see
// platform/pendingfile.h), which takes the target's place in one rename once it is whole;
// any failure before that leaves the target as it was.
#include <algorithm>
#include <deque>
#include <memory>
#include <unordered_map>

#include "platform/dirsearch.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/stream.h"
#include "zip/deflate.h"
#include "zip/dostime.h"
#include "zip/errors.h"
#include "zip/headers.h"
#include "zip/packer.h"
#include "zip/packer_work.h"

namespace lumbrella {

void TZipPacker::CheckCancel() {
  if (Progress && Progress->TakeCancel()) throw EUserCanceled("User Aborted Operation");
}

void TZipPacker::CarryOver(Work& work, size_t index) {
  auto kept = std::make_unique<TZipHeaderInfo>(*directory_->Item(index));
  CopyEntry(*kept, *work.out);
  work.AddEntry(std::move(kept));
}

bool TZipPacker::CopyUnchangedData(Work& work, TZipHeaderInfo& entry, TStream& source,
                                   uint64_t size, std::optional<uint32_t> knownCrc) {
  const auto found = work.oldEntries.find(entry.FullName());
  if (found == work.oldEntries.end() || size >= kZip64ReserveThreshold) return false;
  const TZipHeaderInfo& old = *directory_->Item(found->second);
  const bool stored = entry.method == 0;
  // Data written the way this packer writes them: the same method, the same deflate level
  // class, not encrypted, and as many bytes.
  if (old.method != entry.method || (old.flags & 1) != 0 || old.uncompressedSize != size ||
      (stored ? old.compressedSize != size : (old.flags & 6) != (entry.flags & 6))) {
    return false;
  }
  const auto rewind = [&source] {
    source.SetPosition(0);
    return false;
  };
  uint32_t crc = 0;
  if (knownCrc) {
    crc = *knownCrc;
  } else {
    const std::span<char> block = CopyBuffer(kDeflateBlockSize);
    uint32_t crcRegister = 0xFFFFFFFF;
    for (uint64_t left = size; left > 0;) {
      const size_t want = static_cast<size_t>(std::min<uint64_t>(left, block.size()));
      if (source.Read(block.data(), want) != want) return rewind();  // shorter now
      crcRegister = CrcUpdate(crcRegister, block.data(), want);
      left -= want;
    }
    crc = ~crcRegister;
  }
  // The data must prove what the directory says: a damaged entry is compressed anew.
  int64_t start = 0;
  TStream& in = ArchiveStream();
  const uint64_t compressed = old.compressedSize;
  if (crc != old.crc32 || !EntryDataStart(old, start) ||
      !inflater_.Holds(in, compressed, !stored, size, crc, [this] { ProcessMessages(); })) {
    return rewind();
  }

  entry.crc32 = crc;
  entry.uncompressedSize = size;
  entry.compressedSize = compressed;
  WriteEntryHeader(entry, *work.out, true);
  in.SetPosition(start);
  uint64_t copied = 0;
  uint64_t reported = 0;
  if (CopyStream(
          in, *work.out, compressed, CopyBuffer(kDeflateBlockSize), [&](const char*, size_t got) {
            copied += got;
            BlockWritten(work, compressed == 0 ? size : copied * size / compressed, size, reported);
          }) != compressed) {
    throw EReadError();
  }
  work.bytesDone += static_cast<int64_t>(size - reported);
  return true;
}

void TZipPacker::MergeExistingArchive(Work& work) {
  Open();
  for (size_t i = 0; i < directory_->Count(); ++i)
    work.oldEntries.emplace(directory_->Item(i)->FullName(), i);
  if (OwnsName) {
    // The files come first and own their names; of the rest, what is not theirs follows.
    for (const std::string& path : filesList_)
      WriteOneFile(work, path);
    filesList_.clear();
    for (size_t i = 0; i < directory_->Count(); ++i) {
      CheckCancel();
      const std::string name = directory_->Item(i)->FullName();
      if (OwnsName(name) || work.foldedNames.count(LowerAsciiLetters(name)) != 0) {
        if (OnUpdate) OnUpdate(uaReplacing, name);
        continue;
      }
      if (OnUpdate) OnUpdate(uaKeeping, name);
      CarryOver(work, i);
    }
    return;
  }

  // The remaining FilesList lines by lowercased stored name, each name's lines in list
  // order; a matched line is marked and later erased.
  std::unordered_map<std::string, std::deque<size_t>> lines;
  for (size_t i = 0; i < filesList_.size(); ++i) {
    lines[LowerAsciiLetters(StoredName(filesList_[i]))].push_back(i);
  }
  std::vector<bool> used(filesList_.size(), false);

  for (size_t i = 0; i < directory_->Count(); ++i) {
    CheckCancel();
    const TZipHeaderInfo& old = *directory_->Item(i);
    long match = -1;
    auto found = lines.find(LowerAsciiLetters(old.FullName()));
    if (found != lines.end() && !found->second.empty()) {
      match = static_cast<long>(found->second.front());
      found->second.pop_front();
      used[static_cast<size_t>(match)] = true;
    }
    bool replace = false;
    if (match >= 0) {
      if (ZipAction == zaReplace) {
        replace = true;
      } else {
        TFileInfo info;
        replace = GetFileInfo(filesList_[static_cast<size_t>(match)], info) &&
                  EntryDosDateTime(i) < TimeToDosDateTime(info.mtime);
      }
    }
    if (replace) {
      if (OnUpdate) OnUpdate(uaReplacing, old.FullName());
      // Written now, so that the file takes the old entry's place. Should it be skipped,
      // the old entry is kept rather than lost, unless its name is taken already.
      if (WriteOneFile(work, filesList_[static_cast<size_t>(match)]) ||
          work.names.count(old.FullName()) != 0) {
        continue;
      }
    } else if (OnUpdate) {
      OnUpdate(uaKeeping, old.FullName());
    }
    CarryOver(work, i);
  }

  std::vector<std::string> rest;
  if (ZipAction != zaFreshen) {  // freshening adds no new files
    for (size_t i = 0; i < filesList_.size(); ++i) {
      if (!used[i]) rest.push_back(filesList_[i]);
    }
  }
  filesList_ = std::move(rest);
}

}  // namespace lumbrella
