#include "test_convert_util.h"

#include <gtest/gtest.h>

#include <QBuffer>
#include <QImage>
#include <filesystem>

#include "book/decode.h"
#include "common/test_util.h"
#include "platform/codepage.h"

namespace lumbrella::test {

std::map<std::string, std::string> FilesIn(const std::string& folder) {
  std::map<std::string, std::string> files;
  for (const auto& e : std::filesystem::directory_iterator(folder)) {
    if (e.is_regular_file()) files[e.path().filename().string()] = ReadBytes(e.path().string());
  }
  return files;
}

std::string BookDump::Field(const std::string& name) const {
  auto it = fields.find(name);
  return it == fields.end() ? std::string("<missing " + name + ">") : it->second;
}

std::vector<std::string> BookDump::Lines(const std::string& name) const {
  const std::string text = Field(name);
  std::vector<std::string> lines;
  for (size_t start = 0; start < text.size();) {
    size_t end = text.find('\n', start);
    if (end == std::string::npos) end = text.size();
    lines.push_back(text.substr(start, end - start));
    start = end + 1;
  }
  return lines;
}

BookDump ReadBook(const std::string& bookPath) {
  BookDump dump;
  TempFolder out;
  CommandResult r =
      Run("python3 " + Quote(LUMBRELLA_SOURCE_DIR "/tests/book/test_convert_read_book.py") + " " +
          Quote(bookPath) + " " + Quote(out / "dump"));
  if (r.exitCode != 0) {
    dump.error = r.output.empty() ? "the reader failed" : r.output;
    return dump;
  }
  dump.fields = FilesIn(out / "dump");
  dump.entries = dump.Lines("entries");
  const int chapters = std::stoi(dump.Field("chapters"));
  for (int k = 0; k < chapters; ++k) {
    dump.labels.push_back(dump.Field("label-" + std::to_string(k)));
    dump.texts.push_back(dump.Field("text-" + std::to_string(k)));
  }
  return dump;
}

std::string ImageBytes(const char* format, int width, int height, unsigned rgb) {
  QImage image(width, height, QImage::Format_RGB32);
  image.fill(QColor::fromRgb(rgb));
  QByteArray bytes;
  QBuffer buffer(&bytes);
  buffer.open(QIODevice::WriteOnly);
  EXPECT_TRUE(image.save(&buffer, format)) << format;
  return bytes.toStdString();
}

std::string Repeat(const std::string& piece, size_t times) {
  std::string all;
  for (size_t i = 0; i < times; ++i)
    all += piece;
  return all;
}

std::string SourceUtf8(const std::string& path, size_t blockSize) {
  std::string text;
  TSourceText source(path, blockSize);
  source.Read([&text](std::string_view utf8) { text += utf8; }, [&text] { text.clear(); });
  return text;
}

std::string Trimmed(const std::string& utf8) {
  static const std::string kBlanks[] = {" ", "\t", "　", "\u00A0"};
  std::string text = utf8;
  for (bool trimmed = true; trimmed;) {
    trimmed = false;
    for (const std::string& blank : kBlanks) {
      if (text.starts_with(blank)) text.erase(0, blank.size());
      if (text.ends_with(blank)) text.erase(text.size() - blank.size());
      trimmed = trimmed || text.starts_with(blank) || text.ends_with(blank);
    }
  }
  return text;
}

std::string Visible(const std::string& utf8) {
  std::string text;
  for (size_t at = 0; at < utf8.size(); ++at) {
    const std::string_view rest = std::string_view(utf8).substr(at);
    if (rest.starts_with("　")) {
      at += 2;
    } else if (rest.starts_with("\u00A0")) {
      at += 1;
    } else if (std::string_view(" \t\r\n").find(utf8[at]) == std::string_view::npos) {
      text += utf8[at];
    }
  }
  return text;
}

TNovel& TNovel::Line(const std::string& line) {
  source.push_back(line);
  if (!Trimmed(line).empty()) shown.push_back(Trimmed(line));
  return *this;
}

TNovel& TNovel::Heading(const std::string& line, const std::string& heading,
                        const std::string& rest) {
  source.push_back(line);
  shown.push_back("<h2>" + heading + "</h2>");
  if (!rest.empty()) shown.push_back(rest);
  return *this;
}

TNovel& TNovel::Hidden(const std::string& line) {
  source.push_back(line);
  return *this;
}

TNovel& TNovel::Prose(int lines) {
  for (int i = 0; i < lines; ++i) {
    std::string line = "　　" + std::to_string(i) + " ";
    for (int k = 0; k < 8; ++k)
      line += i % 5 == k ? "雨 & <伞>，" : "巷子尽头有一家旧书店。";
    Line(line);
  }
  return *this;
}

TNovel& TNovel::Wrapped(int paragraphs, size_t width) {
  static const std::string kPhrases[] = {"雨停了以后，", "巷子尽头那家旧书店的门口，",
                                         "店主是个不爱说话的老人。", "每天清晨开门，黄昏关门，",
                                         "他说：“雨&<伞>都在门后。”"};
  for (int i = 0; i < paragraphs; ++i) {
    std::string text;
    for (int k = 0; k < 3 + i % 9; ++k)
      text += kPhrases[(i + k) % 5];
    shown.push_back(text);
    text = "　　" + text;
    // Cut every width characters (a UTF-8 lead byte begins each).
    size_t begin = 0, count = 0;
    for (size_t at = 0; at <= text.size(); ++at) {
      if (at == text.size() || ((text[at] & 0xC0) != 0x80 && count++ == width)) {
        source.push_back(text.substr(begin, at - begin));
        begin = at;
        count = 1;
      }
    }
  }
  return *this;
}

std::string TNovel::Joined(const std::vector<std::string>& lines, const char* end) {
  std::string text;
  for (size_t i = 0; i < lines.size(); ++i)
    text += (i > 0 ? end : "") + lines[i];
  return text;
}

std::string Utf16File(const std::string& utf8, bool bigEndian) {
  std::string bytes = bigEndian ? "\xFE\xFF" : "\xFF\xFE";
  for (char16_t u : Utf8ToUtf16(utf8)) {
    const char hi = static_cast<char>(u >> 8), lo = static_cast<char>(u & 0xFF);
    bytes += bigEndian ? std::string{hi, lo} : std::string{lo, hi};
  }
  return bytes;
}

}  // namespace lumbrella::test
