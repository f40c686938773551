#include <gtest/gtest.h>
#include <sys/stat.h>

#include <clocale>
#include <optional>

#include "book/chapter_list.h"
#include "book/numerals.h"
#include "common/test_util.h"
#include "platform/codepage.h"

namespace lumbrella {
namespace {

using test::TempFolder;

std::vector<std::string> Column(const TChapterList& list, std::string ChapterRow::*field) {
  std::vector<std::string> values;
  for (const ChapterRow& row : list.Rows())
    values.push_back(row.*field);
  return values;
}

TEST(ChapterList, AdmitsDotTxtInAnyCaseAndNamesTheChapter) {
  const struct {
    std::string path;
    bool admitted;
    std::string name;
  } cases[] = {
      {"/books/Story.txt", true, "Story"},
      {"/books/Story.TXT", true, "Story"},
      {"/books/Story.Txt", true, "Story"},
      {"/books/Story.TXTX", false, ""},
      {"/books/my.notes.txt", true, "my.notes"},
      {"/books.2/Story.txt", true, "Story"},
      {"/books.txt/Story", false, ""},
      {"/books/a.txt.bak", false, ""},
      {"/books/C:front.txt", true, "C:front"},
      {"rel/../x.txt", true, "x"},
      {Utf8ToAnsi("/书/第一章.txt"), true, Utf8ToAnsi("第一章")},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.path);
    TChapterList list;
    EXPECT_EQ(list.AddSourceFile(c.path), c.admitted);
    ASSERT_EQ(list.Count(), c.admitted ? 1u : 0u);
    if (!c.admitted) continue;
    EXPECT_EQ(list.Row(0).name, c.name);
    EXPECT_EQ(list.Row(0).path, c.path);  // as handed over, not expanded
  }
}

// The separator follows LC_NUMERIC; one that is not ASCII arrives as ANSI bytes, whatever
// LC_CTYPE says.
const std::string kArabicDecimalSeparator = "\x81\x31\x8A\x37";  // U+066B in GB18030

TEST(ChapterList, SizeTextInThousandsOfBytesWithTheLocaleDecimalSeparator) {
  TempFolder dir;
  test::WriteBytes(dir / "empty.txt", "");
  test::WriteBytes(dir / "b1536.txt", std::string(1536, 'x'));
  test::WriteBytes(dir / "b999.txt", std::string(999, 'x'));
  test::WriteBytes(dir / "b1000000.txt", std::string(1000000, 'x'));
  test::MakeDirs(dir / "folder.txt");
  ASSERT_EQ(mkfifo((dir / "pipe.txt").c_str(), 0600), 0);  // must not wait for a writer
  const struct {
    const char* file;
    const char* size;
  } cases[] = {{"empty.txt", "0.00KB"},       {"b1536.txt", "1.54KB"},   {"b999.txt", "1.00KB"},
               {"b1000000.txt", "1000.00KB"}, {"missing.txt", "0.00KB"}, {"folder.txt", "0.00KB"},
               {"pipe.txt", "0.00KB"}};
  TChapterList list;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.file);
    ASSERT_TRUE(list.AddSourceFile(dir / c.file));
    EXPECT_EQ(list.Rows().back().sizeText, c.size);
  }

  const struct {
    const char* locale;
    const char* separator;  // as a locale source writes it
    std::string size;
  } separators[] = {{"comma", "<U002C>", "1,54KB"},
                    {"arabic", "<U066B>", "1" + kArabicDecimalSeparator + "54KB"}};
  for (const auto& c : separators) {
    SCOPED_TRACE(c.locale);
    // A locale of its numbers alone compiles in a fraction of the time a whole one takes; the
    // compiler warns of the categories it lacks and makes them as the C locale has them.
    const std::string name = std::string(c.locale) + ".UTF-8";
    test::WriteBytes(dir / "numbers", std::string("LC_NUMERIC\ndecimal_point \"") + c.separator +
                                          "\"\nthousands_sep \"\"\ngrouping -1\nEND LC_NUMERIC\n");
    test::Run("localedef -c -i " + test::Quote(dir / "numbers") + " -f UTF-8 " +
              test::Quote(dir / name));
    const test::EnvAt locales("LOCPATH", dir.Path().c_str());
    ASSERT_NE(std::setlocale(LC_NUMERIC, name.c_str()), nullptr);
    ASSERT_TRUE(list.AddSourceFile(dir / "b1536.txt"));
    std::setlocale(LC_NUMERIC, "C");
    EXPECT_EQ(list.Rows().back().sizeText, c.size);
  }
}

TChapterList ListOf(std::initializer_list<const char*> names) {
  TChapterList list;
  for (const char* name : names)
    list.AddSourceFile(std::string("/nowhere/") + name + ".txt");
  return list;
}

TEST(ChapterList, DeleteKeepsCaptionsAndSelectsTheNextRow) {
  TChapterList list = ListOf({"a", "b", "c"});
  EXPECT_FALSE(list.DeleteSelected());  // nothing selected
  EXPECT_EQ(list.Count(), 3u);
  list.Select(0);
  ASSERT_TRUE(list.DeleteSelected());
  list.AddSourceFile("/nowhere/d.txt");
  list.AddSourceFile("/nowhere/e.txt");
  EXPECT_EQ(Column(list, &ChapterRow::caption), (std::vector<std::string>{"2", "3", "3", "4"}));
  EXPECT_EQ(list.StatusText(), Utf8ToAnsi("共 4 个TXT文件"));

  const struct {
    int select;
    std::vector<std::string> left;
    int selected;
  } steps[] = {
      {1, {"b", "d", "e"}, 1},  // middle: the row that took its place
      {2, {"b", "d"}, 1},       // last: the new last row
      {0, {"d"}, 0},            // first: the row that took its place
      {0, {}, -1},              // only: nothing
  };
  for (const auto& s : steps) {
    list.Select(s.select);
    ASSERT_TRUE(list.DeleteSelected());
    EXPECT_EQ(Column(list, &ChapterRow::name), s.left);
    EXPECT_EQ(list.Selected(), s.selected);
  }
  EXPECT_EQ(list.StatusText(), Utf8ToAnsi("共 0 个TXT文件"));
}

TEST(ChapterList, MovesExchangeWithTheNeighbourAndWrapAround) {
  const struct {
    std::initializer_list<const char*> rows;
    int select;
    bool up;
    std::vector<std::string> order;
    int selected;
  } cases[] = {
      {{"A", "B", "C", "D"}, 0, true, {"D", "B", "C", "A"}, 3},
      {{"A", "B", "C", "D"}, 3, false, {"D", "B", "C", "A"}, 0},
      {{"A", "B", "C", "D"}, 2, true, {"A", "C", "B", "D"}, 1},
      {{"A", "B", "C", "D"}, 1, false, {"A", "C", "B", "D"}, 2},
      {{"A", "B", "C", "D"}, -1, true, {"A", "B", "C", "D"}, -1},
      {{"A"}, 0, true, {"A"}, 0},
      {{"A"}, 0, false, {"A"}, 0},
  };
  for (const auto& c : cases) {
    TChapterList list = ListOf(c.rows);
    list.Select(c.select);
    c.up ? list.MoveUp() : list.MoveDown();
    EXPECT_EQ(Column(list, &ChapterRow::name), c.order) << c.select << (c.up ? " up" : " down");
    EXPECT_EQ(list.Selected(), c.selected);
  }
  // The caption travels with its row.
  TChapterList list = ListOf({"A", "B"});
  list.Select(0);
  list.MoveDown();
  EXPECT_EQ(Column(list, &ChapterRow::caption), (std::vector<std::string>{"2", "1"}));
}

// The list order is the chapter order: each column sorts as a reader counts.
TEST(ChapterList, ColumnsSortByValueAndInNaturalOrder) {
  TempFolder dir;
  for (const auto& [name, bytes] : {std::pair{"9000", 9000}, {"10000", 10000}, {"999", 999}})
    test::WriteBytes(dir / (std::string(name) + ".txt"), std::string(bytes, 'x'));
  const std::string folder = dir.Path();
  const struct {
    const char* what;
    int column;
    std::vector<std::string> names;  // files in dir for the size column, else nowhere
    std::vector<std::string> sorted;
  } cases[] = {
      {"digits by value, ties by the rest",
       1,
       {"10", "2b", "02", "1", "2a", "2"},
       {"1", "02", "2", "2a", "2b", "10"}},
      {"Chinese numerals by value",
       1,
       {"第十章", "第二章", "第一百零五章", "第十一章", "第一章", "第九十九章", "第二十章"},
       {"第一章", "第二章", "第十章", "第十一章", "第二十章", "第九十九章", "第一百零五章"}},
      {"digits and numerals alike; then the rest",
       1,
       {"第二章 下", "第2章 中", "第二章 上"},
       {"第二章 上", "第二章 下", "第2章 中"}},  // 上 下 中 by their GBK bytes
      {"full-width digits", 1, {"１０", "９"}, {"９", "１０"}},
      {"a numeral is a whole character (億 and 墊 end in the same byte)",
       1,
       {"億", "墊", "十"},
       {"十", "億", "墊"}},
      {"numbers before other characters; ASCII letters in any case",
       1,
       {"_x", "b", "x", "A", "1", "a"},
       {"1", "A", "a", "b", "x", "_x"}},
      {"paths in natural order too", 3, {"10", "9"}, {"9", "10"}},
      {"sizes by value", 2, {"10000", "999", "9000"}, {"999", "9000", "10000"}},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.what);
    TChapterList list;
    for (const std::string& name : c.names) {
      list.AddSourceFile((c.column == 2 ? folder : std::string("/nowhere/")) + Utf8ToAnsi(name) +
                         ".txt");
    }
    list.ColumnClick(c.column);
    std::vector<std::string> names;
    for (const std::string& name : Column(list, &ChapterRow::name))
      names.push_back(AnsiToUtf8(name));
    EXPECT_EQ(names, c.sorted);
  }
}

TEST(ChapterList, ClicksToggleTheDirectionAndNothingIsRenumbered) {
  TChapterList list;
  for (int i = 1; i <= 12; ++i)
    list.AddSourceFile("/b/" + std::to_string(13 - i) + ".txt");
  list.Select(0);  // the row captioned "1", named "12"
  std::vector<std::string> ascending;
  for (int i = 1; i <= 12; ++i)
    ascending.push_back(std::to_string(i));
  const std::vector<std::string> descending(ascending.rbegin(), ascending.rend());

  list.ColumnClick(0);
  EXPECT_EQ(Column(list, &ChapterRow::caption), ascending);
  EXPECT_EQ(list.HeaderImageIndex(0), 1);
  list.ColumnClick(0);
  EXPECT_EQ(Column(list, &ChapterRow::caption), descending);
  EXPECT_EQ(list.HeaderImageIndex(0), 2);
  EXPECT_EQ(list.Row(static_cast<size_t>(list.Selected())).name, "12");  // selection follows

  list.ColumnClick(1);  // another column: ascending again
  EXPECT_EQ(list.SortDescending(), 0);
  EXPECT_EQ(list.HeaderImageIndex(0), -1);
  EXPECT_EQ(Column(list, &ChapterRow::name), ascending);
  EXPECT_EQ(Column(list, &ChapterRow::caption), descending);  // captions went with their rows

  // Sort state outlives Clear: the same column again reverses.
  list.Clear();
  list.AddSourceFile("/b/x.txt");
  list.AddSourceFile("/b/y.txt");
  list.ColumnClick(1);
  EXPECT_EQ(Column(list, &ChapterRow::name), (std::vector<std::string>{"y", "x"}));
}

// Numbers as chapter names and headings write them; the natural order and the heading
// rule both read them so.
TEST(Numerals, ReadAsTheyAreWritten) {
  const struct {
    const char32_t* run;
    std::optional<uint64_t> value;
  } cases[] = {
      {U"一", 1},
      {U"十", 10},
      {U"十二", 12},
      {U"二十", 20},
      {U"一百零五", 105},
      {U"两千三百", 2300},
      {U"二〇一九", 2019},
      {U"一一九", 119},
      {U"一万二千", 12000},
      {U"十万", 100000},
      {U"三亿零五", 300000005},
      {U"萬", 10000},
      {U"兩百", 200},
      {U"壹佰贰拾叁", 123},
      {U"廿一", 21},
      {U"１２", 12},
      {U"12", 12},
      {U"1二", std::nullopt},
      {U"九九九九九九九九九九九九九九九九九九九九九", std::nullopt},
      {U"", std::nullopt},
  };
  for (const auto& c : cases)
    EXPECT_EQ(ReadNumber(c.run), c.value) << c.value.value_or(0);
}

}  // namespace
}  // namespace lumbrella
