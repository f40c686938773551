#include "app/application.h"

#include <QLibraryInfo>
#include <cstdio>

#include "app/app_text.h"
#include "app/user_dialogs.h"
#include "platform/codepage.h"

namespace lumbrella {

TApplication::TApplication(int& argc, char** argv) : QApplication(argc, argv) {
  setApplicationName(QStringLiteral("lumbrella"));
  setApplicationVersion(QStringLiteral("2.0"));
  setDesktopFileName(QStringLiteral("lumbrella"));
  // The window speaks Chinese whatever the desktop's language, so Qt's buttons (是/否, 取消,
  // the file dialogs) do too when the translation is installed.
  if (qtTexts_.load(QStringLiteral("qtbase_zh_CN"),
                    QLibraryInfo::path(QLibraryInfo::TranslationsPath))) {
    installTranslator(&qtTexts_);
  }
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
  dialogs->Error(owner, AnsiToQString(text), QString());
}

}  // namespace lumbrella
