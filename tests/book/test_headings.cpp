#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#include "book/decode.h"
#include "book/headings.h"
#include "common/test_util.h"
#include "platform/codepage.h"
#include "platform/errors.h"
#include "test_convert_util.h"

namespace lumbrella {
namespace {

// The lines of a text given in pieces of one character each: a heading as "<heading>", the
// lines that may be headings kept as the rule made them.
class TLinesSeen final : public TTextLines {
 public:
  explicit TLinesSeen(const std::string& utf8, const THeadingRule& rule = BuiltInHeadingRule())
      : TTextLines(&rule) {
    for (size_t at = 0; at < utf8.size();) {
      size_t length = 1;
      while (at + length < utf8.size() && (utf8[at + length] & 0xC0) == 0x80)
        ++length;
      Text(std::string_view(utf8).substr(at, length));
      at += length;
    }
    Finish();
  }
  std::vector<std::string> lines;
  std::vector<THeadingLine> headings;

 private:
  void Part(std::string_view utf8) override { part_ += utf8; }
  void Line(std::string_view utf8) override {
    lines.push_back(part_ + std::string(utf8));
    part_.clear();
  }
  bool Heading(const THeadingLine& heading) override {
    lines.push_back("<" + AnsiToUtf8(heading.text) + ">");
    headings.push_back(heading);
    return true;
  }
  std::string part_;
};

// "label=number" of a part ("label" without a number), "" for none.
std::string PartSeen(const std::optional<THeadingPart>& part) {
  if (!part) return "";
  std::string seen = AnsiToUtf8(part->label);
  if (part->number) seen += "=" + std::to_string(*part->number);
  return seen;
}

// Lines as novels hold them (UTF-8 here, ANSI to the rule): the heading each one is, what it
// names, and the text after the heading that stays a line of its own.
TEST(Headings, WhichLinesAreHeadings) {
  // 40 characters, 77 bytes in ANSI: characters are counted.
  const std::string forty = std::string("第一章 风起云涌") +
                            "一二三四五六七八九十一二三四五六七八九十"
                            "一二三四五六七八九十一二";
  const std::string poem = "豪华去后行人绝，箫筝不响歌喉咽。雄剑无威光彩沉，宝琴零落金星灭。";
  const struct {
    std::string line;
    std::string heading;       // empty: no heading, or a weak one
    std::string chapter = "";  // "label=number", empty: none
    std::string volume = "";
    std::string rest = "";  // the line's text after the heading
    bool weak = false;
  } cases[] = {
      {"第一章", "第一章", "第一章=1"},
      {"第一章 风起", "第一章 风起", "第一章 风起=1"},
      {"　　第十二章　风起云涌　　", "第十二章　风起云涌", "第十二章　风起云涌=12"},
      {"\t 第100回：大结局 \t", "第100回：大结局", "第100回：大结局=100"},
      {"第１２章 全角数字", "第１２章 全角数字", "第１２章 全角数字=12"},
      {"第两千零一节", "第两千零一节", "第两千零一节=2001"},
      {"第一百零五回", "第一百零五回", "第一百零五回=105"},
      {"第廿一回", "第廿一回", "第廿一回=21"},
      {"第一万二千章", "第一万二千章", "第一万二千章=12000"},
      {"第一一九回", "第一一九回", "第一一九回=119"},  // digit by digit
      {"第一二零回 结局", "第一二零回 结局", "第一二零回 结局=120"},
      {"第壹章", "第壹章", "第壹章=1"},
      {"第贰拾章 归来", "第贰拾章 归来", "第贰拾章 归来=20"},
      {"第參佰陸拾伍節", "第參佰陸拾伍節", "第參佰陸拾伍節=365"},
      {"第　一　回", "第　一　回", "第　一　回=1"},
      {"第 12 章 风起", "第 12 章 风起", "第 12 章 风起=12"},
      {"正文 第一回 开端", "第一回 开端", "第一回 开端=1"},
      {"正文第三章", "第三章", "第三章=3"},
      {"正文 1 灭门", "1 灭门", "1 灭门=1"},
      {"《》目录 第一回 开端", "第一回 开端", "第一回 开端=1"},
      {"VIP卷 第九章", "第九章", "第九章=9"},
      {"一二三四五六七 第一章", ""},  // too long a prefix
      {"他说 序章", ""},              // a prefix only before 第
      {"第〇卷·序", "第〇卷·序", "", "第〇卷·序=0"},
      {"第五部——归来", "第五部——归来", "", "第五部——归来=5"},
      {"第三集(上)", "第三集(上)", "", "第三集(上)=3"},
      {"第七篇《远方》", "第七篇《远方》", "", "第七篇《远方》=7"},
      {"卷一：木兰歌", "卷一：木兰歌", "", "卷一：木兰歌=1"},
      {"第一季 第一卷 七星鲁王", "第一季 第一卷 七星鲁王", "", "第一季 第一卷 七星鲁王=1"},
      {"第十三卷 风云 第2040章 大结局", "第十三卷 风云 第2040章 大结局", "第2040章 大结局=2040",
       "第十三卷 风云=13"},
      {"正文 第一卷 卷名1 第一章 标题1-1", "第一卷 卷名1 第一章 标题1-1", "第一章 标题1-1=1",
       "第一卷 卷名1=1"},
      // Long lines: a 第 form and a blank, the heading cut after its title.
      {"第十三卷 风云变幻 第8回 大结局（求月票！今天三更，谢谢大家支持！作者会继续努力写的）",
       "第十三卷 风云变幻 第8回 大结局", "第8回 大结局=8", "第十三卷 风云变幻=13",
       "（求月票！今天三更，谢谢大家支持！作者会继续努力写的）"},
      {"第一回 西门庆热结十弟兄武二郎冷遇亲哥嫂诗曰：" + poem,
       "第一回 西门庆热结十弟兄武二郎冷遇亲哥嫂", "第一回 西门庆热结十弟兄武二郎冷遇亲哥嫂=1", "",
       "诗曰：" + poem},
      {"第二回 俏潘娘帘下勾情 诗曰：芙蓉面", "第二回 俏潘娘帘下勾情", "第二回 俏潘娘帘下勾情=2", "",
       "诗曰：芙蓉面"},  // a short line, cut for its poem too
      {"第一章 重生 本章字数：3245 更新时间：2010-1-1 12:00:00 求收藏求推荐", "第一章 重生",
       "第一章 重生=1", "", "本章字数：3245 更新时间：2010-1-1 12:00:00 求收藏求推荐"},
      {"第一章 我是谁（新书求收藏，求推荐票，作者在这里给大家鞠躬了，谢谢大家的支持！！！）",
       "第一章 我是谁", "第一章 我是谁=1", "",
       "（新书求收藏，求推荐票，作者在这里给大家鞠躬了，谢谢大家的支持！！！）"},
      {"第一卷 " + poem + poem, "第一卷 豪华去后行人绝", "", "第一卷 豪华去后行人绝=1",
       poem.substr(21) + poem},
      {"第三章 " + test::Repeat("雨", 60), "第三章 " + test::Repeat("雨", 36),
       "第三章 " + test::Repeat("雨", 36) + "=3", "", test::Repeat("雨", 24)},  // cut at 40
      {"第一章：" + poem + poem, "", "第一章：" + poem.substr(0, 21) + "=1", "",
       poem.substr(21) + poem, true},  // long, no blank after the unit
      // Weak: the title right after the unit; a heading only where its number fills a gap.
      {"第五十八回潘金莲打狗伤人孟玉楼周贫磨镜诗曰：" + poem, "",
       "第五十八回潘金莲打狗伤人孟玉楼周贫磨镜=58", "", "诗曰：" + poem, true},
      {"第四回中既将薛家母子在荣府内寄居等事略已表明", "",
       "第四回中既将薛家母子在荣府内寄居等事略已表明=4", "", "", true},
      {"第一章的故事很长", "", "第一章的故事很长=1", "", "", true},
      // Body lines.
      {"第一节课是英语课，老师很严厉。", ""},
      {"第一部分，是关于他的童年。", ""},
      {"第三卷里讲述了他的童年。", ""},
      {"到第六回合时，他已经累了。", ""},
      {"第九部队开进了城。", ""},
      {"第一次见面", ""},                // 次 is no unit
      {"第章", ""},                      // no number
      {"第一", ""},                      // no unit
      {"他翻开第一章，读了起来。", ""},  // the phrase does not begin the line
      {"卷帘人", ""},
      {forty, forty, forty + "=1"},
      {forty + "　　 ", forty, forty + "=1"},  // blanks at the end do not count
      {"番外", "番外", "番外"},
      {"番外：重逢", "番外：重逢", "番外：重逢"},
      {"番外　重逢", "番外　重逢", "番外　重逢"},
      {"番外篇", ""},
      {"序章", "序章", "序章"},
      {"楔子 ", "楔子", "楔子"},
      {"后记，致谢", "后记，致谢", "后记，致谢"},
      {"後記", "後記", "後記"},
      {"尾聲", "尾聲", "尾聲"},
      {"終章 歸來", "終章 歸來", "終章 歸來"},
      {"后记得那天", ""},
      {"序幕", ""},
      {"序章 " + test::Repeat("雨", 40), ""},  // named parts are short
      {"Chapter IV", "Chapter IV", "Chapter IV=4"},
      {"Chapter iv.", "Chapter iv.", "Chapter iv.=4"},
      {"CHAPTER XLII: The End", "CHAPTER XLII: The End", "CHAPTER XLII: The End=42"},
      {"Chapter 12", "Chapter 12", "Chapter 12=12"},
      {" CHAPTER III.   A Caucus-Race and a Long Tale",
       "CHAPTER III.   A Caucus-Race and a Long Tale",
       "CHAPTER III.   A Caucus-Race and a Long Tale=3"},
      {"Chapter 1 " + test::Repeat("and so on ", 6), ""},  // longer than 64
      {"Chapter Ivy", ""},                                 // a word, not a numeral
      {"Chapter 3rd", ""},
      {"Chapter One", ""},
      {"chapter 1", ""},
      {"Chapter\t1", ""},
      {"Chapter ", ""},
      {"", ""},
      {"　　", ""},
      {test::Repeat(" ", 256) + "第一章", "第一章", "第一章=1"},
      {test::Repeat(" ", 257) + "第一章", ""},  // more blanks than a heading has
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.line);
    const std::string line = Utf8ToAnsi(c.line);
    const std::optional<std::string_view> heading = HeadingOf(line);
    EXPECT_EQ(heading ? AnsiToUtf8(*heading) : "", c.heading);
    // The same line in a text read in pieces.
    const TLinesSeen seen("x\n" + c.line + "\r\ny");
    std::vector<std::string> lines = {"x"};
    if (c.chapter.empty() && c.volume.empty()) {
      lines.push_back(c.line);
      EXPECT_TRUE(seen.headings.empty());
    } else {
      lines.push_back(
          "<" + (c.heading.empty() ? c.chapter.substr(0, c.chapter.find('=')) : c.heading) + ">");
      if (!c.rest.empty()) lines.push_back(c.rest);
      ASSERT_EQ(seen.headings.size(), 1u);
      EXPECT_EQ(PartSeen(seen.headings[0].chapter), c.chapter);
      EXPECT_EQ(PartSeen(seen.headings[0].volume), c.volume);
      EXPECT_EQ(seen.headings[0].weak, c.weak);
    }
    lines.push_back("y");
    EXPECT_EQ(seen.lines, lines);
  }
}

// What the first pass makes of a file's headings: its chapters and volumes, the contents block
// at the top left out, weak headings taken where their numbers fill a gap, and the numbers
// that skip or repeat in a volume.
TEST(Headings, TheReportOfASplit) {
  const std::string jin = "潘金莲打狗伤人孟玉楼周贫磨镜诗曰：愁旋释，还似织；泪暗拭，又偷滴。";
  const struct {
    const char* name;
    std::string text;
    std::string report;  // "chapters volumes|gaps|first|last"
  } cases[] = {
      {"in order", "第一章\nA\n第二章\nB", "2 0||第一章,第二章|"},
      {"a gap and a repeat", "第1章\nA\n第2章\n第5章\nB\n第5章 又\nC",
       "4 0|第2章>第5章,第5章>第5章|第1章,第2章,第5章,第5章 又|"},
      {"numbers restart in each volume",
       "第一卷\n第一章\nA\n第二章\nB\n第二卷 下\n第一章\nC\n第三章\nD",
       "4 2|第一章>第三章|第一卷,第一章,第二章,第二卷 下,第一章,第三章|"},
      {"units and named parts apart", "楔子\nA\n第一章\n第一节\nB\n第二节\n番外\nC\n第二章\nD",
       "6 0||楔子,第一章,第一节,第二节,番外,第二章|"},
      {"Roman numerals", "CHAPTER I.\nx\nCHAPTER III.\ny",
       "2 0|CHAPTER I>CHAPTER III|CHAPTER I.,CHAPTER III.|"},
      {"weak headings that fill a gap",
       "第五十七回 开缘簿\nx\n第五十八回" + jin +
           "\n第五十九回西门庆露阳惊爱月\nx\n第六十回 李瓶儿\nx",
       "4 0||第五十七回 "
       "开缘簿,第五十八回潘金莲打狗伤人孟玉楼周贫磨镜,第五十九回西门庆露阳惊爱月,第六十回 李瓶儿|"},
      {"a weak heading that does not", "第五回 甲\nx\n第四回中既将说起\ny\n第六回 乙\nz",
       "2 0||第五回 甲,第六回 乙|"},
      {"only volumes: chapters", "第一卷 甲\nx\n第二卷 乙\ny", "2 0||第一卷 甲,第二卷 乙|"},
      {"only volumes of two sizes", "第一部 甲\n第一卷\nx\n第二卷\ny",
       "2 1||第一部 甲,第一卷,第二卷|"},
      {"a contents block at the top",
       "目录\n第一章 甲\n\n第二章 乙\n第三章 丙\n\n第一章 甲\nx\n第二章 乙\ny\n第三章 丙\nz",
       "3 0||第一章 甲,第二章 乙,第三章 丙|"},
      {"a contents block of volumes",
       "第一卷 上\n第一章 甲\n第二卷 下\n第一章 乙\n正文 第一卷 上\n\n正文 第一章 甲\nx\n第二卷 "
       "下\n第一章 乙\ny",
       "2 2||第一卷 上,第一章 甲,第二卷 下,第一章 乙|"},
      {"volumes on the chapters' lines, numbers going on across them",
       "第十三卷 风云 第2040章 甲\nx\n第十三卷 风云 第2041章 乙\ny\n第十四卷 完 第2043章 丙\nz",
       "3 2|第2041章>第2043章|第十三卷 风云,第2040章 甲,第2041章 乙,第十四卷 完,第2043章 丙|"},
      {"first and last few",
       test::Repeat("第一章\nx\n", 1) + "第2章\n第3章\n第4章\n第5章\n第6章\n第7章\n",
       "7 0||第一章,第2章,第3章|第5章,第6章,第7章"},
  };
  test::TempFolder dir;
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    test::WriteBytes(dir / "a.txt", c.text);
    TSourceText source(dir / "a.txt");
    const THeadingPlan plan = PlanHeadings(source, BuiltInHeadingRule());
    ASSERT_TRUE(plan.Split());
    const THeadingReport report = plan.Report();
    const auto joined = [](const auto& items, const auto& text) {
      std::string all;
      for (const auto& item : items)
        all += (all.empty() ? "" : ",") + text(item);
      return all;
    };
    const auto utf8 = [](const std::string& ansi) { return AnsiToUtf8(ansi); };
    EXPECT_EQ(std::to_string(report.chapters) + " " + std::to_string(report.volumes) + "|" +
                  joined(report.gaps,
                         [](const THeadingReport::TGap& gap) {
                           return AnsiToUtf8(gap.before) + ">" + AnsiToUtf8(gap.after);
                         }) +
                  "|" + joined(report.first, utf8) + "|" + joined(report.last, utf8),
              c.report);
  }
}

// A line that cannot be a heading any more is passed on as it comes, not held: of a long line
// of blanks never more than a heading's blanks.
TEST(Headings, ALineOfBlanksIsNotHeldWhole) {
  class TCounted final : public TTextLines {
   public:
    TCounted() : TTextLines(&BuiltInHeadingRule()) {}
    using TTextLines::Text;
    size_t passed = 0;

   private:
    void Part(std::string_view utf8) override { passed += utf8.size(); }
    void Line(std::string_view utf8) override { passed += utf8.size(); }
    bool Heading(const THeadingLine&) override { return true; }
  };
  for (const std::string blank : {" ", "　"}) {
    SCOPED_TRACE(blank);
    TCounted lines;
    const std::string piece = test::Repeat(blank, 1000);
    size_t given = 0;
    for (int i = 0; i < 100; ++i) {
      lines.Text(piece);
      given += piece.size();
      ASSERT_LE(given - lines.passed, 1024u) << "after " << given << " bytes";
    }
  }
}

// A file is split at its first kMaxSplitHeadings heading lines; those after them stay text,
// and the report says so.
TEST(Headings, AFileIsSplitAtTheFirstHeadingsUpToTheBound) {
  test::TempFolder dir;
  std::string text;
  for (size_t i = 0; i <= kMaxSplitHeadings; ++i)
    text += "第" + std::to_string(i + 1) + "章\n";
  test::WriteBytes(dir / "a.txt", text);
  TSourceText source(dir / "a.txt");
  const THeadingPlan plan = PlanHeadings(source, BuiltInHeadingRule());
  EXPECT_EQ(plan.entries.size(), kMaxSplitHeadings);
  EXPECT_TRUE(plan.headingsLeftAsText);
  EXPECT_TRUE(plan.Report().headingsLeftAsText);
}

// A user's rule: lines the expressions match, at most 40 characters, are the headings.
TEST(Headings, AUserRule) {
  const THeadingRule rule("^[一二三四五六七八九十]+ |^\\d+$", "^卷[一二三]");
  const TLinesSeen seen(
      "序\n一 灭门\n二 重逢 \n01\n卷一 上\n" + test::Repeat("一 长", 21) + "\n第一章", rule);
  EXPECT_EQ(seen.lines,
            (std::vector<std::string>{"序", "<一 灭门>", "<二 重逢>", "<01>", "<卷一 上>",
                                      test::Repeat("一 长", 21), "第一章"}));
  ASSERT_EQ(seen.headings.size(), 4u);
  EXPECT_EQ(PartSeen(seen.headings[1].chapter), "二 重逢=2");
  EXPECT_EQ(PartSeen(seen.headings[2].chapter), "01=1");
  EXPECT_EQ(PartSeen(seen.headings[3].volume), "卷一 上=1");
  EXPECT_EQ(THeadingRule::PatternError("^第.+章$"), "");
  EXPECT_NE(THeadingRule::PatternError("(第"), "");
  EXPECT_THROW(THeadingRule("(", ""), Exception);
}

// The pass before the window's question reads every file whole, hands control back after
// each block and each file, and stops when told.
TEST(Headings, TheScanBeforeTheQuestionFindsTheFilesToSplit) {
  test::TempFolder dir;
  const std::string big = test::Repeat("雨夜。\r\n", 20000);
  const int blocks =
      static_cast<int>((big.size() + TSourceText::kBlockSize - 1) / TSourceText::kBlockSize);
  ASSERT_GT(blocks, 1);
  const struct {
    const char* name;
    std::vector<std::string> files;  // "" for one that is missing
    int allowed;                     // calls before the scan is told to stop
    std::vector<size_t> split;
    int calls;
  } cases[] = {
      {"two headings", {"第一章\n第二章\n" + big, "第一章"}, 99, {0}, blocks + 3},
      {"one heading", {"第一章\n" + big}, 99, {}, blocks + 1},
      {"GB18030, after a long file",
       {big, Utf8ToAnsi("第一章\r\n第二章\r\n")},
       99,
       {1},
       blocks + 3},
      {"a file that cannot be read counts as none", {"", "第一章\n第二章\n"}, 99, {1}, 3},
      {"told to stop between blocks", {big, "第一章\n第二章"}, 2, {}, 3},
  };
  for (const auto& c : cases) {
    SCOPED_TRACE(c.name);
    std::vector<TChapter> chapters;
    for (size_t i = 0; i < c.files.size(); ++i) {
      const std::string path = dir / (std::to_string(i) + ".txt");
      std::filesystem::remove(path);
      if (!c.files[i].empty()) test::WriteBytes(path, c.files[i]);
      chapters.push_back({std::to_string(i), path});
    }
    int calls = 0;
    std::vector<size_t> split;
    for (const TSplitFile& file :
         FilesToSplit(chapters, BuiltInHeadingRule(), [&] { return ++calls <= c.allowed; }))
      split.push_back(file.chapter);
    EXPECT_EQ(split, c.split);
    EXPECT_EQ(calls, c.calls);
  }
}

}  // namespace
}  // namespace lumbrella
