// Updating an archive that already exists at ZipName: the three steps of Zip that only an
// update runs. Until they are built, Zip refuses an existing target plainly (the target is
// left as it was) instead of pretending to update it.
//
// How they fit into TZipPacker::Zip (packer.cpp):
// - CreateUpdateTempFile (step 5): returns the path of a new, empty temporary file; Zip then
//   recreates it as work.out and deletes it if the operation fails.
// - MergeExistingArchive (step 7): runs after work.out, work.entries, work.byName and
//   work.end exist. Entries carried over are written to work.out and handed to
//   work.AddEntry (not counted in work.written); a file that replaces an entry is written
//   at once with WriteOneFile(work, path) and its line erased from filesList_. StoredName
//   gives the name a path is stored under. The remaining lines of filesList_ are written
//   after it returns. WriteCentralDirectory then gets archive_ as the old archive, for the
//   extra blocks and comments of carried entries.
// - ReplaceTarget (step 11): runs after work.out is closed, Close() and ForgetArchive();
//   it sets work.keepOutputOnFailure once deleting the output could lose the archive.
#include "zip/errors.h"
#include "zip/packer.h"
#include "zip/packer_work.h"

namespace lumbrella {

namespace {
[[noreturn]] void NotBuilt() {
  throw EPackerError("Updating an existing archive is not built yet");
}
}  // namespace

std::string TZipPacker::CreateUpdateTempFile() {
  NotBuilt();
}

void TZipPacker::MergeExistingArchive(Work&) {
  NotBuilt();
}

void TZipPacker::ReplaceTarget(Work&) {
  NotBuilt();
}

}  // namespace lumbrella
