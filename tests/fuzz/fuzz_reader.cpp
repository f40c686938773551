// The reader alone: whatever the file holds, opening it, its comments, dates and the copy of
// every entry end in one of the program's own exceptions, never in a crash, a hang, an
// unbounded allocation or another exception.
#include "fuzz_util.h"
#include "platform/errors.h"
#include "platform/stream.h"
#include "zip/reader.h"

namespace {

class Reader : public lumbrella::TZipReader {
 public:
  using TZipReader::CopyEntry;
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  using namespace lumbrella;
  const std::string path = fuzz::Folder() + "input.zip";
  fuzz::WriteFile(path, data, size);
  Reader reader;
  reader.SetZipName(path);
  // The first byte picks the mode, so the repair scan runs on many inputs.
  reader.IncompleteZipMode = size > 0 && (data[0] & 1) ? izAssumeBad : izAssumeMulti;
  try {
    reader.Open();
    reader.ArchiveComment();
    TMemoryStream out;
    for (size_t i = 0; i < reader.Directory().Count(); ++i) {
      reader.EntryComment(i);
      reader.EntryDateTime(i);
      TZipHeaderInfo copy(*reader.Directory().Item(i));
      reader.CopyEntry(copy, out);
    }
  } catch (const Exception&) {
    // What a damaged archive should give.
  }
  return 0;
}
