// Code page conversions. Text inside the program is "ANSI" text: bytes in the GB18030
// code page (the 2005 mapping), a superset of GBK (code page 936) that holds every Unicode
// character, so every scalar value goes to ANSI and back unchanged. UTF-16 is used only
// while decoding a source or talking to Qt, UTF-8 only in written documents and at
// file-system calls.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace lumbrella {

// How many bytes, from text[at], make one ANSI character: 2 for a lead byte 81-FE followed
// by a trail byte 40-7E or 80-FE; 4 for 81-FE 30-39 81-FE 30-39; 1 for anything else (ASCII,
// 0x80, a byte that begins no sequence, a sequence cut off by the end of the text). Every
// converter below steps by this rule, so code that scans ANSI text with it never cuts a
// character the converters see whole. at must be inside the text.
size_t AnsiCharLength(std::string_view text, size_t at = 0);

// The character at text[at] and its length by AnsiCharLength. The lone byte 0x80 is
// U+20AC, as in code page 936; bytes that form no character (a byte that begins no
// sequence, a four-byte code GB18030 leaves unassigned) give U+FFFD.
char32_t AnsiCharAt(std::string_view text, size_t at, size_t& length);

// ANSI bytes to UTF-16 units, or to UTF-8. Lengths are explicit and zero bytes pass through;
// each character AnsiCharAt cannot read becomes U+FFFD.
std::u16string AnsiToUtf16(std::string_view ansi);
std::string AnsiToUtf8(std::string_view ansi);

// UTF-16 units to ANSI bytes, or to UTF-8. Zero units pass through; an unpaired surrogate
// becomes one "?" per unit. U+20AC becomes GB18030's A2 E3.
std::string Utf16ToAnsi(std::u16string_view units);
std::string Utf16ToUtf8(std::u16string_view units);

// Strict UTF-8 to UTF-16 or to ANSI; each malformed sequence (bad lead, missing
// continuation, overlong form, encoded surrogate, value above U+10FFFF) becomes one U+FFFD.
// When wellFormed is given it tells whether the input had no malformed sequence at all.
std::u16string Utf8ToUtf16(std::string_view utf8, bool* wellFormed = nullptr);
std::string Utf8TextToAnsi(std::string_view utf8, bool* wellFormed = nullptr);

// A text that arrives in pieces (a file read in blocks), converted to UTF-8 piece by piece
// with the same bytes as the whole-text conversion: each appends the UTF-8 of the leading
// characters of the piece to out and returns how many of its bytes it took. That is all of
// them when last is set (no text follows); otherwise it stops short of the last three
// bytes at most, where a character may be cut, and those bytes go in front of the next piece.
// ANSI as AnsiToUtf8; strict UTF-8 with each malformed sequence as one U+FFFD, as
// AnsiToUtf8(Utf8TextToAnsi(utf8)); UTF-16 bytes in either order as Utf16ToUtf8 of their
// units (an odd last byte is dropped).
size_t AppendAnsiAsUtf8(std::string_view ansi, bool last, std::string& out);
size_t AppendUtf8Repaired(std::string_view utf8, bool last, std::string& out);
size_t AppendUtf16AsUtf8(std::string_view bytes, bool bigEndian, bool last, std::string& out);
// The character of the UTF-8 sequence at utf8[at] and its length; a malformed sequence gives
// U+FFFD and takes its lead with the continuation bytes accepted before the fault. at must be
// inside the text.
char32_t Utf8CharAt(std::string_view utf8, size_t at, size_t& length);
// How many bytes from the start of utf8 are whole, well-formed UTF-8 sequences (all of it
// when it is well-formed; a sequence cut off by the end is not counted).
size_t WellFormedUtf8Length(std::string_view utf8);

// Text from the system (arguments, file names, paths, its messages) to ANSI. Each part
// between "/" that is well-formed UTF-8 is converted; a part that is not is taken as ANSI
// bytes as they stand: a name made on a system whose code page is GBK, as archives from
// Windows unpack. The file-system layer (FsPath) finds such a name again.
std::string Utf8ToAnsi(std::string_view utf8);

// The OEM code page is the ANSI code page on this platform: both are the identity.
inline std::string AnsiToOem(std::string_view ansi) {
  return std::string(ansi);
}
inline std::string OemToAnsi(std::string_view oem) {
  return std::string(oem);
}

}  // namespace lumbrella
