// Helpers for the book's tests: a source's whole text, and a reader that looks at finished
// books from outside, built on Python's zipfile and ElementTree (test_convert_read_book.py).
#pragma once

#include <gtest/gtest.h>

#include <functional>
#include <map>
#include <string>
#include <vector>

#include "book/decode.h"
#include "platform/errors.h"

namespace lumbrella::test {

// The regular files in a folder (not below it): name to bytes.
std::map<std::string, std::string> FilesIn(const std::string& folder);

// What the reader found in a book; every text is UTF-8.
struct BookDump {
  std::string error;  // the reader's complaint; empty when the book read fine
  std::map<std::string, std::string> fields;  // title, creator, language, identifier, ...
  std::vector<std::string> entries;           // archive entry names in archive order
  std::vector<std::string> labels;            // navigation label of each chapter
  std::vector<std::string> texts;             // each chapter's paragraphs joined by LF

  std::string Field(const std::string& name) const;
  std::vector<std::string> Lines(const std::string& name) const;  // a field's lines
};
BookDump ReadBook(const std::string& bookPath);

// The bytes of a plain image in a format Qt writes ("PNG", "JPEG", "BMP").
std::string ImageBytes(const char* format, int width = 24, int height = 32,
                       unsigned rgb = 0x2080C0);

std::string Repeat(const std::string& piece, size_t times);

// The message of the E that body raises; a body that raises nothing fails the test.
template <class E = Exception>
std::string MessageOf(const std::function<void()>& body) {
  try {
    body();
  } catch (const E& e) {
    return e.Message();
  }
  ADD_FAILURE() << "no exception";
  return "";
}

// The whole text of a source file as the conversion reads it (TSourceText), in UTF-8.
std::string SourceUtf8(const std::string& path, size_t blockSize = TSourceText::kBlockSize);

// A chapter text made line by line (UTF-8), and what a split book must show of it: its
// paragraphs without the blanks around them (a blank line shows nothing), each heading as
// "<h2>heading</h2>".
struct TNovel {
  std::vector<std::string> source, shown;
  TNovel& Line(const std::string& line);
  // rest: the text after a long line's heading, a paragraph of its own.
  TNovel& Heading(const std::string& line, const std::string& heading,
                  const std::string& rest = "");
  // A line the book does not show: a volume's heading without text of its own.
  TNovel& Hidden(const std::string& line);
  // Lines of about 90 characters, some with markup, that differ from each other: one
  // paragraph each, indented.
  TNovel& Prose(int lines);
  // Paragraphs of Chinese prose of different lengths, some with markup, indented and wrapped
  // every width characters.
  TNovel& Wrapped(int paragraphs, size_t width);
  static std::string Joined(const std::vector<std::string>& lines, const char* end);
};

// The text without the blanks at its ends (space, tab, U+3000, U+00A0).
std::string Trimmed(const std::string& utf8);
// The text without any blank or line end: what must come through a conversion.
std::string Visible(const std::string& utf8);

// A UTF-16 source file of the text: its mark, then its units in the given byte order.
std::string Utf16File(const std::string& utf8, bool bigEndian = false);

}  // namespace lumbrella::test
