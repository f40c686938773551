// Helpers for tests that look at finished books from outside: a reader built on Python's
// zipfile and ElementTree (test_convert_read_book.py).
#pragma once

#include <map>
#include <string>
#include <vector>

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

// A source text as the reader gives it back: CR LF and lone CR become LF.
std::string WithLfLineEnds(std::string text);

std::string Repeat(const std::string& piece, size_t times);

// A UTF-16 source file of the text: its mark, then its units in the given byte order.
std::string Utf16File(const std::string& utf8, bool bigEndian = false);

}  // namespace lumbrella::test
