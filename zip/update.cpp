// Updating an archive that already exists at ZipName: the merge of the old entries with the
// files to pack. The new archive is written into a pending file beside the target (see
// platform/pendingfile.h), which takes the target's place in one rename once it is whole;
// any failure before that leaves the target as it was.
#include <deque>
#include <unordered_map>

#include "platform/files.h"
#include "zip/dostime.h"
#include "zip/errors.h"
#include "zip/packer.h"
#include "zip/packer_work.h"

namespace lumbrella {

namespace {

bool Owned(const std::vector<std::string>& owned, const std::string& name) {
  for (const std::string& own : owned) {
    if (own.ends_with('/') ? name.starts_with(own) : name == own) return true;
  }
  return false;
}

}  // namespace

void TZipPacker::CheckCancel() {
  if (CancelRequested()) {
    ResetCancel();
    throw EUserCanceled("User Aborted Operation");
  }
}

void TZipPacker::CarryOver(Work& work, size_t index) {
  auto kept = std::make_unique<TZipHeaderInfo>(*directory_->Item(index));
  CopyEntry(*kept, *work.out);
  work.AddEntry(std::move(kept));
}

void TZipPacker::MergeExistingArchive(Work& work) {
  Open();
  if (!OwnedNames.empty()) {
    // The files come first and own their names; of the rest, what is not theirs follows.
    for (const std::string& path : filesList_)
      WriteOneFile(work, path);
    filesList_.clear();
    for (size_t i = 0; i < directory_->Count(); ++i) {
      CheckCancel();
      const std::string name = directory_->Item(i)->FullName();
      if (Owned(OwnedNames, name) || work.names.count(name) != 0) {
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
