// Packs a folder tree into an archive with the settings of a conversion (everything under
// the folder, names relative to it, mimetype first and stored when there is one), for
// bench/pack_bench.sh. A new archive, unless -u: then an archive already there is updated.
//
//   pack_tree [-u] <folder> <archive> [level]
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <exception>
#include <string>

#include "platform/codepage.h"
#include "platform/files.h"
#include "zip/packer.h"

int main(int argc, char** argv) {
  using namespace lumbrella;
  const bool update = argc > 1 && std::strcmp(argv[1], "-u") == 0;
  if (update) {
    --argc;
    ++argv;
  }
  if (argc < 3) {
    std::fprintf(stderr, "usage: pack_tree [-u] <folder> <archive> [level]\n");
    return 2;
  }
  try {
    const std::string archive = Utf8ToAnsi(argv[2]);
    if (!update) DeleteFile(archive);
    TZipPacker packer;
    ConfigureBookPacker(packer, Utf8ToAnsi(argv[1]), archive);
    if (argc > 3) packer.PackLevel = std::atoi(argv[3]);
    int files = packer.Zip();
    std::printf("%d files\n", files);
    return 0;
  } catch (const std::exception& e) {
    std::fprintf(stderr, "pack_tree: %s\n", AnsiToUtf8(e.what()).c_str());
    return 1;
  }
}
