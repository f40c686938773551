// The whole update of an existing file: a failed update leaves the file byte for byte as it
// was and nothing beside it; a successful one keeps every entry the reader found in it, or
// an entry of its name (an old entry is matched to a file without regard to letter case),
// except, in a book, the names the book owns, of which it holds one spelling at most.
#include <sys/stat.h>

#include <filesystem>
#include <iterator>
#include <set>

#include "fuzz_util.h"
#include "platform/dirsearch.h"
#include "platform/errors.h"
#include "zip/packer.h"
#include "zip/reader.h"

namespace {

using namespace lumbrella;

// The staged tree, made once: a file that every archive of the seeds holds too, and one new.
const std::string& Staging() {
  static const std::string root = [] {
    std::string dir = fuzz::Folder() + "staging/";
    mkdir(dir.c_str(), 0700);
    const std::string files[][2] = {{"mimetype", "application/epub+zip"},
                                    {"a.txt", "a staged chapter"}};
    for (const auto& [name, text] : files) {
      fuzz::WriteFile(dir + name, reinterpret_cast<const uint8_t*>(text.data()), text.size());
    }
    return dir;
  }();
  return root;
}

// The names; folded, with ASCII letters lowercased: the merge matches a staged file to an
// old entry without regard to letter case, and the entry that replaces it takes the file's
// spelling.
std::set<std::string> Entries(const TSortedZip& directory, bool folded = false) {
  std::set<std::string> names;
  for (size_t i = 0; i < directory.Count(); ++i) {
    const std::string name = directory.Item(i)->FullName();
    names.insert(folded ? LowerAsciiLetters(name) : name);
  }
  return names;
}

size_t FilesIn(const std::string& folder) {
  std::error_code ec;
  return static_cast<size_t>(std::distance(std::filesystem::directory_iterator(folder, ec), {}));
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  const std::string& staging = Staging();
  const std::string folder = fuzz::Folder() + "target/";
  mkdir(folder.c_str(), 0700);
  const std::string target = folder + "book.epub";
  fuzz::WriteFile(target, data, size);
  const std::string before = fuzz::ReadFile(target);

  std::set<std::string> old;
  bool readable = false;
  {
    TZipReader reader;
    reader.SetZipName(target);
    try {
      reader.Open();
      old = Entries(reader.Directory());
      readable = true;
    } catch (const Exception&) {
    }
  }

  TZipPacker packer;
  // The first byte picks the general update or the book's.
  if (size > 0 && (data[0] & 1)) {
    ConfigureBookPacker(packer, staging, target);
  } else {
    packer.SetRootDir(staging);
    packer.FilesList() = {"*.*"};
    packer.SetRelativePaths(true);
    packer.SetZipName(target);
    packer.ZipAction = size > 0 && (data[0] & 2) ? zaReplace : zaUpdate;
  }
  const bool book = static_cast<bool>(packer.OwnsName);
  try {
    packer.Zip();
  } catch (const Exception&) {
    if (fuzz::ReadFile(target) != before) fuzz::Fail("a failed update changed the target");
    if (FilesIn(folder) != 1) fuzz::Fail("a failed update left a file beside the target");
    return 0;
  }
  if (!readable) fuzz::Fail("an update succeeded where the reader failed");
  std::set<std::string> now = Entries(packer.Directory(), true);
  for (const std::string& name : old) {
    if (!(book && BookOwnsName(name)) && now.count(LowerAsciiLetters(name)) == 0) {
      fuzz::Fail("a successful update lost an old entry");
    }
  }
  if (book) {
    std::set<std::string> owned;
    for (size_t i = 0; i < packer.Directory().Count(); ++i) {
      const std::string name = packer.Directory().Item(i)->FullName();
      if (BookOwnsName(name) && !owned.insert(LowerAsciiLetters(name)).second) {
        fuzz::Fail("a book holds two spellings of one of its names");
      }
    }
  }
  if (FilesIn(folder) != 1) fuzz::Fail("an update left a file beside the target");
  return 0;
}
