#include "app/app_text.h"

#include <string_view>

#include "platform/codepage.h"
#include "platform/errors.h"
#include "platform/files.h"

namespace lumbrella {

QString AnsiToQString(const std::string& ansi) {
  const std::u16string units = AnsiToUtf16(ansi);
  return QString::fromUtf16(units.data(), static_cast<qsizetype>(units.size()));
}

std::string QStringToAnsi(const QString& text) {
  return Utf16ToAnsi(std::u16string_view(reinterpret_cast<const char16_t*>(text.utf16()),
                                         static_cast<size_t>(text.size())));
}

std::string QPathToAnsi(const QString& path) {
  return ShownPathToAnsi(std::u16string_view(reinterpret_cast<const char16_t*>(path.utf16()),
                                             static_cast<size_t>(path.size())));
}

std::string ErrorDisplayText(const std::string& message) {
  std::string text = message;
  if (!text.empty() && static_cast<unsigned char>(text.back()) > '.') text += '.';
  return text;
}

std::string ExceptionMessage(const std::exception_ptr& error) {
  try {
    std::rethrow_exception(error);
  } catch (const Exception& e) {
    return e.Message();
  } catch (const std::exception& e) {
    return e.what();
  } catch (...) {
    return "Unknown error";
  }
}

}  // namespace lumbrella
