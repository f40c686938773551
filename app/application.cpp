#include "app/application.h"

#include <cstdio>

#include "app/app_text.h"
#include "app/user_dialogs.h"
#include "platform/codepage.h"

namespace lumbrella {

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("lumbrella"));
  setApplicationVersion(QStringLiteral("2.0"));
  setDesktopFileName(QStringLiteral("lumbrella"));
}

bool TApplication::notify(QObject* receiver, QEvent* event) {
  try {
    return QApplication::notify(receiver, event);
  } catch (...) {
    ShowError(dialogs_, activeWindow(), std::current_exception());
    return false;
  }
}

void ShowError(TUserDialogs* dialogs, QWidget* owner, const std::exception_ptr& error) {
  const std::string text = ErrorDisplayText(ExceptionMessage(error));
  if (dialogs == nullptr) {
    std::fprintf(stderr, "%s\n", AnsiToUtf8(text).c_str());
    return;
  }
  dialogs->Error(owner, AnsiToQString(text));
}

}  // namespace lumbrella
