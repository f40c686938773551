// Finding files by name: wildcard patterns and the depth-first search of a folder tree.
#include <gtest/gtest.h>
#include <unistd.h>

#include "common/test_util.h"
#include "platform/dirsearch.h"

namespace lumbrella {
namespace {

using Names = std::vector<std::string>;

TEST(DirSearch, WildcardPatterns) {
  // 0x81 0x41 and 0x81 0x61 are two Chinese characters whose second bytes are "A" and "a".
  const std::string wide = "\x81\x41", other = "\x81\x61";
  struct Case {
    std::string pattern, name;
    bool matches;
  };
  const Case cases[] = {
      {"*", "anything.txt", true},
      {"*.TXT", "Notes.txt", true},
      {"*.txt", "notes.txt.gz", false},
      {"?.txt", "a.txt", true},
      {"?.txt", wide + ".txt", true},  // "?" takes a whole character
      {"?.txt", "ab.txt", false},
      {wide + "*", other + ".txt", false},  // letters fold, trail bytes do not
      {"<a-b>*", "B.md", true},
      {"<a-b>*", "c.md", false},
      {"<!ab>*", "a.md", false},
      {"<^a-mx>*", "notes", true},
      {"<^a-mx>*", "x", false},
      {"*.", "README.", true},
      {"a*b*c", "aXbYbZc", true},
      {"a*b*c", "aXbYbZ", false},
  };
  for (const Case& c : cases) {
    EXPECT_EQ(MatchesWildcard(c.pattern, c.name), c.matches) << c.pattern << " " << c.name;
  }
  EXPECT_EQ(LowerAsciiLetters("ABC\x81\x41Z"), "abc\x81\x41z");
}

// Folders before their contents, ListDirectory's order, hidden entries and what is below
// them never seen, a name without an extension found by "*.", and no way round a link that
// leads back up the tree.
TEST(DirSearch, DepthFirstInListingOrder) {
  test::TempFolder dir;
  for (const char* file : {"README", "b.txt", "A.txt", "sub/deep.txt", "sub/x.md", ".hidden/h.txt",
                           "empty/.keep"}) {
    test::MakeDirs(ExtractFilePath(dir / file));
    test::WriteBytes(dir / file, "x");
  }
  ASSERT_EQ(symlink("..", (dir / "sub/loop").c_str()), 0);
  struct Case {
    std::string pattern;
    bool recurse;
    Names found;
  };
  const Case cases[] = {
      {"*", true, {"A.txt", "b.txt", "empty/", "README", "sub/", "sub/deep.txt", "sub/x.md"}},
      {"*.txt", false, {"A.txt", "b.txt"}},
      {"*.", true, {"empty/", "README", "sub/"}},
  };
  for (const Case& c : cases) {
    SCOPED_TRACE(c.pattern);
    TDirSearch search(dir.Path(), c.pattern, faHidden, c.recurse);
    TDirSearch::TFound found;
    Names names;
    while (search.Next(found)) {
      names.push_back(found.path.substr(dir.Path().size()));
      EXPECT_EQ(found.info.IsDirectory(), found.path.back() == '/');
    }
    EXPECT_EQ(names, c.found);
  }
}

}  // namespace
}  // namespace lumbrella
