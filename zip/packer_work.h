// The state of one TZipPacker::Zip operation, shared by packer.cpp and update.cpp.
#pragma once

#include <cstdint>
#include <memory>
#include <string>

#include "platform/stream.h"
#include "zip/packer.h"
#include "zip/records.h"

namespace lumbrella {

struct TZipPacker::Work {
  // Step 5: true when a file exists at ZipName and is being updated.
  bool updateMode = false;
  // ZipName for a new archive, the temporary file in updateMode.
  std::string outputPath;
  // The file at outputPath belongs to this operation and is deleted when it fails.
  bool outputCreated = false;
  // Set by ReplaceTarget once deleting the output on failure would lose the archive.
  bool keepOutputOnFailure = false;
  // Buffered (8,192 bytes), created anew at step 6.
  std::unique_ptr<TBufferedFileStream> out;

  // The new archive's entries in writing order (owning) and by name (for the duplicate
  // check, not owning).
  std::unique_ptr<TSortedZip> entries = std::make_unique<TSortedZip>(TSortMode::ByNone, true);
  TSortedZip byName{TSortMode::ByName, false};
  // The new end record; its total entries grows with each entry added.
  TEndCentral end;

  // Files written by this operation (new ones and replacing ones): the result of Zip.
  int written = 0;
  // Sizes of the files gathered, and source bytes written so far, for progress.
  int64_t totalBytes = 0;
  int64_t bytesDone = 0;
  int lastPercent = -1;

  // Adds an entry written to the output (new, replacing or carried over) to both lists
  // and counts it in the end record. EListError "Duplicate Object index" when its name
  // (or offset) is there already; the entry is then freed.
  void AddEntry(std::unique_ptr<TZipHeaderInfo> entry);
};

}  // namespace lumbrella
