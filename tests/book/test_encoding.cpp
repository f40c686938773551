// What a source file without a mark is read in, and that it reads back exactly: a short
// chapter and a long one in each encoding, made by the test with the C library's encoders.
#include <gtest/gtest.h>

#include <algorithm>
#include <random>

#include "book/decode.h"
#include "book/encoding.h"
#include "common/test_util.h"
#include "platform/codepage.h"
#include "platform/legacy_codepage.h"
#include "test_convert_util.h"

namespace lumbrella {
namespace {

using test::Encoded;
using test::SourceUtf8;
using test::TempFolder;
using enum TSourceEncoding;

// The sentences of a text, each up to and with its end.
std::vector<std::string> Sentences(std::string_view text, std::string_view end = "。") {
  std::vector<std::string> sentences;
  for (size_t at = 0; at < text.size();) {
    const size_t next = text.find(end, at) + end.size();
    sentences.emplace_back(text.substr(at, next - at));
    at = next;
  }
  return sentences;
}

const std::vector<std::string> kSimplified = Sentences(
    "雨下了一整夜。早上起来，街上的积水映着灰白的天。卖豆浆的老人已经摆好了摊子。"
    "他说今年的雨比往年多。河边的柳树都被冲歪了。我买了一碗热豆浆，坐在门口慢慢地喝。"
    "听见远处有人在唱歌。旧书店的门开着，里面没有人。我们走到桥上，看着河水慢慢流过去。"
    "天快黑了，灯一盏一盏地亮起来。“你明天还来吗？”她问。我说不知道，也许会来。");
// The same in traditional characters, with two that only Big5's extensions have (墻, 碁).
const std::vector<std::string> kTraditional = Sentences(
    "他在墻邊下碁。雨下了一整夜。早上起來，街上的積水映著灰白的天。賣豆漿的老人已經擺好了攤子。"
    "他說今年的雨比往年多。河邊的柳樹都被沖歪了。我買了一碗熱豆漿，坐在門口慢慢地喝。"
    "聽見遠處有人在唱歌。舊書店的門開著，裡面沒有人。我們走到橋上，看著河水慢慢流過去。"
    "天快黑了，燈一盞一盞地亮起來。「你明天還來嗎？」她問。");
// Cantonese, written with characters of HKSCS.
const std::vector<std::string> kCantonese = Sentences(
    "今日落雨，我哋喺屋企食咗飯先。佢話聽日要早啲起身去街市買嘢。阿媽成日話冇嘢好驚。"
    "啲細路仔喺門口玩水，玩到成身濕晒。我哋坐喺窗邊睇住條街。佢哋講咗好耐先走。");
const std::vector<std::string> kJapanese = Sentences(
    "雨は一晩中降り続いた。朝起きると、通りの水たまりに灰色の空が映っていた。"
    "豆乳を売る老人はもう店を出していた。今年の雨は例年より多いと彼は言った。"
    "私は温かい豆乳を一杯買って、戸口に座ってゆっくり飲んだ。遠くで誰かが歌っているのが聞こえた。"
    "古本屋の扉は開いていたが、中には誰もいなかった。");
// Simplified sentences whose GBK bytes Big5 decodes without an error: a detector that goes
// by errors alone takes them for Big5.
const std::vector<std::string> kGbkThatBig5Decodes = Sentences(
    "雨下了一整夜。他说今年的雨比往年多。河边的柳树都被冲歪了。"
    "她把伞放在门后，伞上的水一滴一滴落在地上。这是一个很长的故事。小猫在窗台上睡觉。"
    "风吹过树林，叶子沙沙地响。我们坐在窗边看着这条街。他说话的声音很小。外面的雨停了。"
    "她在灯下看书。");
const std::vector<std::string> kEnglish = Sentences(
    "It rained all night. In the morning the puddles held a grey sky. "
    "The old man selling soy milk had set up his stall already. ",
    ". ");

// A chapter of at least size bytes once encoded: the sentences in order, again and again,
// for a short one; drawn at random, a paragraph a line, for a long one.
std::string Chapter(const std::vector<std::string>& sentences, size_t size, const char* encoding) {
  std::string text;
  std::mt19937 random(17);
  for (size_t i = 0; Encoded(text, encoding).size() < size; ++i) {
    for (size_t k = 0; k < 64; ++k, ++i) {
      text +=
          size <= 1000 ? sentences[i % sentences.size()] : sentences[random() % sentences.size()];
      if (size > 1000 && i % 5 == 4) text += "\r\n";
    }
  }
  return text;
}

// Where two texts part, for a message that does not print hundreds of kilobytes.
std::string Difference(const std::string& got, const std::string& expected) {
  if (got == expected) return "";
  const auto [a, b] = std::mismatch(got.begin(), got.end(), expected.begin(), expected.end());
  const size_t at = static_cast<size_t>(a - got.begin());
  return "they part at byte " + std::to_string(at) + " of " + std::to_string(got.size()) + "/" +
         std::to_string(expected.size()) + ": \"" + got.substr(at, 12) + "\" for \"" +
         expected.substr(at, 12) + "\"";
}

// Clean text in each encoding, and files that are not quite: each is found, sure of itself,
// and reads back exactly whatever cuts the blocks make through the characters.
TEST(Encoding, EachFileIsFoundAndReadsBackExactly) {
  const std::string fffd = "\xEF\xBF\xBD";
  struct Case {
    std::string what, bytes;
    TSourceEncoding expected;
    std::string text;
    bool damaged = false;
  };
  std::vector<Case> cases;
  const struct {
    const char* what;
    const std::vector<std::string>& sentences;
    const char* iconvName;
    TSourceEncoding expected;
  } clean[] = {
      {"UTF-8", kSimplified, "UTF-8", seUtf8},
      {"GBK", kSimplified, "GB18030", seGb18030},
      {"GBK, traditional characters", kTraditional, "GB18030", seGb18030},
      {"GBK that Big5 decodes", kGbkThatBig5Decodes, "GB18030", seGb18030},
      {"Big5", kTraditional, "CP950", seBig5},
      {"Big5-HKSCS", kCantonese, "BIG5-HKSCS", seBig5Hkscs},
      {"Shift_JIS", kJapanese, "CP932", seShiftJis},
      {"UTF-16LE", kSimplified, "UTF-16LE", seUtf16LE},
      {"UTF-16BE", kTraditional, "UTF-16BE", seUtf16BE},
      {"UTF-16LE, English", kEnglish, "UTF-16LE", seUtf16LE},
  };
  for (const size_t size : {200, 300000}) {
    const std::string bytes = ", " + std::to_string(size) + " bytes";
    for (const auto& c : clean) {
      const std::string text = Chapter(c.sentences, size, c.iconvName);
      cases.push_back({c.what + bytes, Encoded(text, c.iconvName), c.expected, text});
    }
    // Real GBK files use GB18030's codes beyond GBK and user-defined codes.
    std::string gbk = Encoded(Chapter(kSimplified, size, "GB18030"), "GB18030");
    for (size_t at = gbk.size() / 5 * 2; at < gbk.size(); at += gbk.size() / 5) {
      gbk.insert(at - at % 2, "\xFE\x60\xAA\xA1\x81\x30\x81\x30");  // 0xFE60, user-defined, 4 bytes
    }
    cases.push_back({"GBK with codes beyond GBK" + bytes, gbk, seGb18030, AnsiToUtf8(gbk)});
    // UTF-8 cut short or with a few stray bytes: U+FFFD for each bad sequence, not a chapter
    // of GBK garbage.
    const std::string text = Chapter(kSimplified, size, "UTF-8");
    size_t third = text.size() / 3;
    while ((text[third] & 0xC0) == 0x80)  // between characters
      ++third;
    const std::string a = text.substr(0, third), b = text.substr(third);
    cases.push_back(
        {"UTF-8, last character cut" + bytes, text + "\xE9\x9B", seUtf8, text + fffd, true});
    cases.push_back({"UTF-8, a stray byte" + bytes, a + "\xFF" + b, seUtf8, a + fffd + b, true});
    cases.push_back({"UTF-8, a character cut in the middle, a stray byte at the end" + bytes,
                     a + "\xE9" + b + "\x80", seUtf8, a + fffd + b + fffd, true});
  }
  // A novel cut into chapter files by size: a chapter may start with the second byte of a
  // character. 整 is BE E3: the E3 left before the line end is no character.
  const std::string cut = "整\r\n" + Chapter(kTraditional, 300, "CP950");
  cases.push_back(
      {"Big5 chapter cut by size", Encoded(cut, "CP950").substr(1), seBig5, fffd + cut.substr(3)});

  TempFolder dir;
  const std::string path = dir / "chapter.txt";
  for (const Case& c : cases) {
    SCOPED_TRACE(c.what);
    test::WriteBytes(path, c.bytes);
    TSourceText source(path);
    const TEncodingChoice& found = source.Encoding();
    EXPECT_EQ(EncodingName(found.encoding), EncodingName(c.expected));
    EXPECT_FALSE(found.unsure) << EncodingName(found.runnerUp);
    EXPECT_EQ(found.damaged, c.damaged);
    for (const size_t block : {size_t{61}, TSourceText::kBlockSize})
      EXPECT_EQ(Difference(SourceUtf8(path, block), c.text), "") << "blocks of " << block;
  }
  // The case above is what its name says.
  TLegacyDecoder big5(TLegacyCodePage::lcBig5);
  big5.Count(Encoded(Chapter(kGbkThatBig5Decodes, 200, "GB18030"), "GB18030"), true);
  EXPECT_EQ(big5.Counts().errors, 0u);
  EXPECT_EQ(big5.Counts().privateUse, 0u);
}

// The user's choice wins over the bytes; a mark of that encoding is still no text.
TEST(Encoding, AChosenEncodingIsReadWhateverTheBytes) {
  const std::string simplified = Chapter(kSimplified, 200, "GB18030");
  const std::string gbk = Encoded(simplified, "GB18030");
  const struct {
    std::string bytes;
    TSourceEncoding chosen;
    std::string expected;
  } cases[] = {
      {gbk, seGb18030, simplified},
      // As Python's and the C library's code page 950 read them too.
      {Encoded(Chapter(kGbkThatBig5Decodes, 200, "GB18030"), "GB18030"), seBig5,
       "迾狟賸珨淕珗﹝坻佽踏爛腔迾掀厘爛嗣﹝"},
      {"\xFF\xFE" + Encoded("雨", "UTF-16LE"), seUtf16LE, "雨"},
      {"\xEF\xBB\xBF" + Encoded("雨", "UTF-8"), seUtf8, "雨"},
      {"\xEF\xBB\xBF" + gbk, seGb18030, AnsiToUtf8("\xEF\xBB\xBF" + gbk)},
  };
  TempFolder dir;
  const std::string path = dir / "chapter.txt";
  for (const auto& c : cases) {
    SCOPED_TRACE(EncodingName(c.chosen));
    test::WriteBytes(path, c.bytes);
    std::string text;
    TSourceText source(path, c.chosen);
    source.Read([&text](std::string_view piece) { text += piece; }, [] { FAIL(); });
    EXPECT_TRUE(text.starts_with(c.expected)) << text;
    EXPECT_EQ(source.Encoding().by, TEncodingChoice::TBy::byUser);
  }
}

}  // namespace
}  // namespace lumbrella
