#include "platform/dirsearch.h"

#include <algorithm>

#include "platform/codepage.h"

namespace lumbrella {

namespace {

// A text split into characters (1, 2 or 4 GB18030 bytes each), each packed into one number
// so that "?" takes a whole Chinese character and ranges compare in byte order.
std::vector<uint32_t> Characters(std::string_view text) {
  std::vector<uint32_t> chars;
  for (size_t i = 0; i < text.size();) {
    size_t length = AnsiCharLength(text, i);
    uint32_t code = 0;
    for (size_t k = 0; k < length; ++k)
      code = code << 8 | static_cast<unsigned char>(text[i + k]);
    chars.push_back(code);
    i += length;
  }
  return chars;
}

// One element of a wildcard pattern: a character, "?", "*" or a set "<a-z_>" ("<!...>" or
// "<^...>" for the complement).
struct PatternToken {
  enum Kind { kChar, kAny, kStar, kSet } kind = kChar;
  uint32_t c = 0;
  bool negate = false;
  std::vector<std::pair<uint32_t, uint32_t>> ranges;

  bool Matches(uint32_t x) const {
    switch (kind) {
      case kChar:
        return x == c;
      case kAny:
        return true;
      case kStar:
        return false;
      case kSet: {
        bool in = std::any_of(ranges.begin(), ranges.end(),
                              [x](const auto& r) { return x >= r.first && x <= r.second; });
        return in != negate;
      }
    }
    return false;
  }
};

std::vector<PatternToken> ParsePattern(const std::vector<uint32_t>& p) {
  std::vector<PatternToken> tokens;
  for (size_t i = 0; i < p.size(); ++i) {
    PatternToken t;
    if (p[i] == '*') {
      t.kind = PatternToken::kStar;
    } else if (p[i] == '?') {
      t.kind = PatternToken::kAny;
    } else if (p[i] == '<' &&
               std::find(p.begin() + static_cast<std::ptrdiff_t>(i), p.end(), '>') != p.end()) {
      t.kind = PatternToken::kSet;
      size_t j = i + 1;
      if (p[j] == '!' || p[j] == '^') {
        t.negate = true;
        ++j;
      }
      for (; p[j] != '>'; ++j) {
        if (p[j + 1] == '-' && p[j + 2] != '>') {
          t.ranges.emplace_back(p[j], p[j + 2]);
          j += 2;
        } else {
          t.ranges.emplace_back(p[j], p[j]);
        }
      }
      i = j;
    } else {
      t.c = p[i];
    }
    tokens.push_back(std::move(t));
  }
  return tokens;
}

}  // namespace

std::string LowerAsciiLetters(std::string_view text) {
  std::string lower(text);
  for (size_t i = 0; i < lower.size();) {
    size_t length = AnsiCharLength(lower, i);
    if (length == 1 && lower[i] >= 'A' && lower[i] <= 'Z')
      lower[i] = static_cast<char>(lower[i] + 32);
    i += length;
  }
  return lower;
}

bool MatchesWildcard(std::string_view pattern, std::string_view name) {
  std::vector<PatternToken> tokens = ParsePattern(Characters(LowerAsciiLetters(pattern)));
  std::vector<uint32_t> text = Characters(LowerAsciiLetters(name));
  size_t p = 0, n = 0, starP = tokens.size(), starN = 0;
  while (n < text.size()) {
    if (p < tokens.size() && tokens[p].kind == PatternToken::kStar) {
      starP = p++;
      starN = n;
    } else if (p < tokens.size() && tokens[p].Matches(text[n])) {
      ++p;
      ++n;
    } else if (starP < tokens.size()) {
      p = starP + 1;
      n = ++starN;
    } else {
      return false;
    }
  }
  while (p < tokens.size() && tokens[p].kind == PatternToken::kStar)
    ++p;
  return p == tokens.size();
}

// --- TDirSearch -----------------------------------------------------------------------------

TDirSearch::TDirSearch(const std::string& folder, std::string pattern, uint32_t excludedBits,
                       bool recurse)
    : pattern_(std::move(pattern)), excludedBits_(excludedBits), recurse_(recurse) {
  Open(folder);
}

bool TDirSearch::Next(TFound& found) {
  while (!levels_.empty()) {
    Level& level = levels_.back();
    if (level.index >= level.entries.size()) {
      levels_.pop_back();
      if (!levels_.empty()) ++levels_.back().index;
      continue;
    }
    const TFileInfo& entry = level.entries[level.index];
    if (entry.IsDirectory()) {
      if (!recurse_) {
        ++level.index;
        continue;
      }
      found.path = level.folder + entry.name + "/";
      found.info = entry;
      if (!Open(found.path)) {
        ++levels_.back().index;
        continue;
      }
      return true;
    }
    ++level.index;
    std::string name = entry.name;
    if (ExtractFileExt(name).empty()) name += '.';
    if (MatchesWildcard(pattern_, name)) {
      found.path = level.folder + entry.name;
      found.info = entry;
      return true;
    }
  }
  return false;
}

// False for a folder that is one of the folders being searched (reached again through a
// link): searching it would never end.
bool TDirSearch::Open(const std::string& folder) {
  Level level;
  level.folder = folder;
  TFileInfo info;
  if (GetFileInfo(folder.empty() ? "." : folder, info)) {
    level.id = {info.device, info.inode};
    if (std::any_of(levels_.begin(), levels_.end(),
                    [&](const Level& l) { return l.id == level.id; })) {
      return false;
    }
  }
  level.entries = ListDirectory(folder);
  std::erase_if(level.entries,
                [this](const TFileInfo& e) { return (e.attributes & excludedBits_) != 0; });
  levels_.push_back(std::move(level));
  return true;
}

}  // namespace lumbrella
