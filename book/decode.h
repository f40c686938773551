// Reading a source text file into ANSI text, whatever its encoding.
#pragma once

#include <string>
#include <utility>

namespace lumbrella {

// The mark a source file starts with.
enum class SourceMark { None = 0, Utf16LE = 1, Utf8 = 2, Utf16BE = 3 };

// Opens the file (others may go on reading and writing it), tests its mark and returns the
// mark with the body: the bytes after it (FF FE, FE FF: two; EF BB BF: three), or the
// whole file. Only all three bytes EF BB BF mark UTF-8; a file that starts EF BB with
// anything else is unmarked and keeps all its bytes. Raises EFOpenError
// "Cannot open file "%s". %s" (the second text "Not a regular file" for a pipe, a device
// or a kernel file such as /proc's) or EReadError.
std::pair<SourceMark, std::string> ReadSourceBytes(const std::string& path);

// The file's text as ANSI: UTF-16 (either order) converted whole, U+0000 included, an odd
// trailing byte dropped; UTF-8 with the mark decoded with U+FFFD for each malformed
// sequence; an unmarked file as UTF-8 when all of it is well-formed UTF-8, otherwise its
// bytes are taken as ANSI already. Line ends are kept.
std::string LoadSourceText(const std::string& path);

}  // namespace lumbrella
