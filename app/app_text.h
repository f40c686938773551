// Text at the boundary between the program (ANSI strings) and Qt (QString), and the fixed
// texts of the window's message boxes.
#pragma once

#include <QString>
#include <exception>
#include <string>

namespace lumbrella {

// Caption of the plain message boxes and of the error display.
inline const QString kApplicationTitle = QStringLiteral("Lumbrella V2.0 ");

QString AnsiToQString(const std::string& ansi);
std::string QStringToAnsi(const QString& text);
// A path from Qt (a dialog, a dropped file, an argument): Qt reads the bytes of a name that
// is not UTF-8 (a GBK name) as U+FFFD; ShownPathToAnsi finds the name on disk again.
std::string QPathToAnsi(const QString& path);

// The error display's text: the message, with a period appended when its last byte is
// above "." in byte order (so "x!" and "x." stay as they are, "x" and "错误" get one).
std::string ErrorDisplayText(const std::string& message);

// The message of an exception as ANSI text; the program's own exceptions carry ANSI
// already, the standard library's are ASCII.
std::string ExceptionMessage(const std::exception_ptr& error);

}  // namespace lumbrella
