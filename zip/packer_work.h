// The state of one TZipPacker::Zip operation, shared by packer.cpp and update.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <string>
#include <unordered_map>
#include <unordered_set>

#include "platform/pendingfile.h"
#include "platform/stream.h"
#include "zip/deflate.h"
#include "zip/packer.h"
#include "zip/records.h"

namespace lumbrella {

struct TZipPacker::Work {
  // The archive as it is written: beside ZipName, taking its place once whole. An existing
  // file there is being updated (updateMode).
  std::unique_ptr<TPendingFile> pending;
  bool updateMode = false;
  // With TempPath set to another folder the archive is written there first, in a file
  // without a name, and copied beside ZipName at the end.
  std::unique_ptr<TBufferedFileStream> scratch;
  TStream* out = nullptr;  // where entries go: scratch or the pending file

  // The new archive's entries in writing order, their names, and their names with letter
  // case folded (the duplicate check of new files).
  std::unique_ptr<TSortedZip> entries = std::make_unique<TSortedZip>(TSortMode::ByNone);
  std::unordered_set<std::string> names;
  std::unordered_set<std::string> foldedNames;
  // In an update: the existing archive's entries by name, for data that can be copied.
  std::unordered_map<std::string, size_t> oldEntries;
  // The new end record; its total entries grows with each entry added.
  TEndCentral end;

  // Files written by this operation (new ones and replacing ones): the result of Zip.
  int written = 0;
  // Sizes of the files gathered, and source bytes written so far, for progress.
  int64_t totalBytes = 0;
  int64_t bytesDone = 0;
  int lastPercent = -1;
  // One zlib state for every entry deflated.
  TDeflater deflater;

  // Adds an entry written to the output (new, replacing or carried over) and counts it in
  // the end record. EListError "Duplicate Object index" when its name is there already (the
  // same bytes: names that differ in letter case are two files here).
  void AddEntry(std::unique_ptr<TZipHeaderInfo> entry);
};

}  // namespace lumbrella
