// Finding files by name: the depth-first search of a folder tree and the wildcard patterns
// it matches names against. Names are ANSI text; ASCII letters compare without regard to
// case, other characters (a Chinese character whose trail byte looks like a letter too)
// byte for byte.
#pragma once

#include <cstdint>
#include <string>
#include <string_view>
#include <utility>
#include <vector>

#include "platform/files.h"

namespace lumbrella {

// The text with its single-byte ASCII letters lowercased (trail bytes untouched).
std::string LowerAsciiLetters(std::string_view text);

// Whether name matches the pattern: "*" any run of characters, "?" one character (a
// Chinese character whole), "<a-z_>" one character of a set ("<!...>" or "<^...>" one of
// its complement; ranges compare in byte order), anything else itself.
bool MatchesWildcard(std::string_view pattern, std::string_view name);

// Depth-first search of a folder tree: each folder is yielded (path ending in "/") before
// its contents, the whole subtree at the place of the subfolder, entries in the order
// ListDirectory gives. Files are yielded when their name matches the pattern (a name
// without an extension is matched with a "." appended, so that "*." finds it). Entries
// carrying an excluded attribute bit are never seen, nor is anything below an excluded
// folder; a link that leads back to a folder being searched is not followed.
class TDirSearch {
 public:
  struct TFound {
    std::string path;
    TFileInfo info;
  };

  // folder: empty or ending in "/"; recurse: whether subfolders are searched.
  TDirSearch(const std::string& folder, std::string pattern, uint32_t excludedBits, bool recurse);
  bool Next(TFound& found);

 private:
  struct Level {
    std::string folder;  // empty or ending in "/"
    std::pair<uint64_t, uint64_t> id;  // device and inode; 0 when unknown
    std::vector<TFileInfo> entries;
    size_t index = 0;
  };
  bool Open(const std::string& folder);

  std::string pattern_;
  uint32_t excludedBits_;
  bool recurse_;
  std::vector<Level> levels_;
};

}  // namespace lumbrella
