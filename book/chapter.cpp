#include "book/chapter.h"

#include "platform/files.h"

namespace lumbrella {

std::optional<TChapter> ChapterOf(const std::string& path) {
  if (ExtractFileExt(path) != ".txt") return std::nullopt;
  std::string name = ExtractFileName(path);
  // No GB18030 trail byte equals ".", so the byte scan cannot cut a character.
  name.resize(name.rfind('.'));
  return TChapter{std::move(name), path};
}

}  // namespace lumbrella
