// The lumbrella program: the main window, with the files named on the command line listed.
#include <QIcon>

#include "app/application.h"
#include "app/main_window.h"
#include "app/user_dialogs.h"

int main(int argc, char** argv) {
  lumbrella::TApplication app(argc, argv);
  app.setWindowIcon(QIcon::fromTheme(QStringLiteral("lumbrella")));
  lumbrella::TQtUserDialogs dialogs;
  app.SetDialogs(&dialogs);
  lumbrella::TForm1 form(dialogs, app.arguments().mid(1));
  form.show();
  return app.exec();
}
