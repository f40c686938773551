// The application object: catches every exception that reaches the event loop and shows
// it in the general error display, after which the program goes on working.
#pragma once

#include <QApplication>
#include <QTranslator>
#include <exception>

namespace lumbrella {

class TUserDialogs;

class TApplication : public QApplication {
  Q_OBJECT

 public:
  TApplication(int& argc, char** argv);

  // Where the error display goes; without one it is written to standard error.
  void SetDialogs(TUserDialogs* dialogs) { dialogs_ = dialogs; }

  bool notify(QObject* receiver, QEvent* event) override;

 private:
  TUserDialogs* dialogs_ = nullptr;
  QTranslator qtTexts_;  // Qt's own texts (dialog buttons) in Chinese, like the rest of the window
};

// The general error display for an exception caught in a handler: message text with the
// period rule, application title, error icon, OK.
void ShowError(TUserDialogs* dialogs, QWidget* owner, const std::exception_ptr& error);

}  // namespace lumbrella
