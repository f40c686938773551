// The lumbrella program: the main window, with the files named on the command line listed.
#include <QCoreApplication>
#include <QIcon>
#include <QSocketNotifier>
#include <cstdio>
#include <string>

#include "app/application.h"
#include "app/main_window.h"
#include "app/user_dialogs.h"
#include "platform/signals.h"
#include "platform/tempdir.h"

int main(int argc, char** argv) {
  lumbrella::TApplication app(argc, argv);
  app.setWindowIcon(QIcon::fromTheme(QStringLiteral("lumbrella")));
  lumbrella::TQtUserDialogs dialogs;
  app.SetDialogs(&dialogs);
  if (const std::string refusal = lumbrella::TempBaseRefusal(); !refusal.empty()) {
    std::fprintf(stderr, "lumbrella: %s\n", refusal.c_str());
  }
  lumbrella::TForm1 form(dialogs, app.arguments().mid(1));
  // Ctrl-C, SIGTERM and SIGHUP close the window as its close button does (a conversion
  // stops and removes what it made) and end every dialog; the status tells which it was.
  const lumbrella::TStopSignals stopSignals;
  QSocketNotifier stop(stopSignals.Descriptor(), QSocketNotifier::Read);
  QObject::connect(&stop, &QSocketNotifier::activated, &form, [&form, &stop] {
    stop.setEnabled(false);
    form.close();
    QCoreApplication::exit(lumbrella::TStopSignals::ExitStatus());
  });
  form.show();
  return app.exec();
}
