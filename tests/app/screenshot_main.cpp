// Saves a picture of the main window with the given chapter files listed:
//   lumbrella_screenshot OUT.png [FILE.txt ...]
// Under X (Xvfb) with a window manager the picture includes the frame; otherwise it is the
// client area as the window paints it.
#include <QGuiApplication>
#include <QLineEdit>
#include <QPixmap>
#include <QScreen>
#include <QTimer>
#include <cstdio>

#include "app/application.h"
#include "app/main_window.h"
#include "app/user_dialogs.h"

int main(int argc, char** argv) {
  lumbrella::TApplication app(argc, argv);
  const QStringList arguments = app.arguments();
  if (arguments.size() < 2) {
    std::fprintf(stderr, "usage: lumbrella_screenshot OUT.png [FILE.txt ...]\n");
    return 2;
  }
  const QString out = arguments.at(1);
  lumbrella::TQtUserDialogs dialogs;
  app.SetDialogs(&dialogs);
  lumbrella::TForm1 form(dialogs, arguments.mid(2));
  form.findChild<QLineEdit*>(QStringLiteral("m_title"))->setText(QStringLiteral("四季"));
  form.findChild<QLineEdit*>(QStringLiteral("m_zz"))->setText(QStringLiteral("佚名"));
  form.show();
  int status = 1;
  QTimer::singleShot(1500, &form, [&] {
    QPixmap picture;
    QScreen* screen = QGuiApplication::primaryScreen();
    const QRect frame = form.frameGeometry();
    if (QGuiApplication::platformName() == QLatin1String("xcb") && screen != nullptr &&
        frame != form.geometry()) {
      picture = screen->grabWindow(0, frame.x(), frame.y(), frame.width(), frame.height());
    } else {
      picture = form.grab();
    }
    status = picture.save(out, "PNG") ? 0 : 1;
    app.quit();
  });
  app.exec();
  if (status != 0) std::fprintf(stderr, "could not save %s\n", qPrintable(out));
  return status;
}
