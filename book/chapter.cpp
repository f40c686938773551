#include "book/chapter.h"

#include "platform/files.h"

namespace lumbrella {

std::optional<TChapter> ChapterOf(const std::string& path) {
  // Files copied from Windows or old phones are often named in capitals: NOTE.TXT.
  std::string ext = ExtractFileExt(path);
  for (char& c : ext) {
    if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
  }
  if (ext != ".txt") return std::nullopt;
  std::string name = ExtractFileName(path);
  // No GB18030 trail byte equals ".", so the byte scan cannot cut a character.
  name.resize(name.rfind('.'));
  return TChapter{std::move(name), path};
}

}  // namespace lumbrella
