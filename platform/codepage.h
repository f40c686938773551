// Code page conversions. Text inside the program is "ANSI" text: bytes in the GB18030
// code page, a superset of GBK (code page 936) that holds every Unicode character.
// UTF-16 is used only while decoding a source or talking to Qt, UTF-8 only in written
// documents and at file-system calls.
#pragma once

#include <string>
#include <string_view>

namespace lumbrella {

// ANSI bytes to UTF-16 units. Lengths are explicit and zero bytes pass through; each byte
// that does not start a valid GB18030 sequence becomes U+FFFD.
std::u16string AnsiToUtf16(std::string_view ansi);

// UTF-16 units to ANSI bytes. Zero units pass through; an unpaired surrogate becomes
// one "?" per unit.
std::string Utf16ToAnsi(std::u16string_view units);

// UTF-16 units to UTF-8; surrogate pairs become one four-byte sequence, an unpaired
// surrogate becomes "?".
std::string Utf16ToUtf8(std::u16string_view units);

// Strict UTF-8 to UTF-16 for text that comes from the system (arguments, file names);
// each malformed sequence (bad lead, missing continuation, overlong form, encoded surrogate,
// value above U+10FFFF) becomes one U+FFFD. When wellFormed is given it tells whether the
// input had no malformed sequence at all.
std::u16string Utf8ToUtf16(std::string_view utf8, bool* wellFormed = nullptr);

// The file-system boundary: ANSI paths become UTF-8 at the system call and back.
std::string AnsiToUtf8(std::string_view ansi);
std::string Utf8ToAnsi(std::string_view utf8);

// The OEM code page is the ANSI code page on this platform: both are the identity.
inline std::string AnsiToOem(std::string_view ansi) {
  return std::string(ansi);
}
inline std::string OemToAnsi(std::string_view oem) {
  return std::string(oem);
}

}  // namespace lumbrella
