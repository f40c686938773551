// Test helpers: dialogs answered from a script, a window started on its own folder of
// chapter files, and the program's application object around each test program.
#pragma once

#include <QApplication>
#include <QDir>
#include <QFile>
#include <QImage>
#include <QLabel>
#include <QMimeData>
#include <QPushButton>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <functional>
#include <memory>

#include "app/application.h"
#include "app/main_window.h"
#include "app/user_dialogs.h"

namespace lumbrella::test {

class TScriptedDialogs : public TUserDialogs {
 public:
  struct Call {
    QString kind;  // "message", "error", "question", "files"
    QString text;
    QString caption;  // questions only
    TFileDialogSetup setup;
    QString detail;  // messages, errors and questions
  };

  QList<Call> calls;
  QList<QStringList> fileAnswers;      // one per file dialog; none left: cancelled
  QList<bool> questionAnswers;         // one per question; none left: No
  std::function<void()> onFileDialog;  // runs while a file dialog is "open"

  void Message(QWidget*, const QString& text, const QString& detail) override {
    calls.append({"message", text, {}, {}, detail});
  }
  void Error(QWidget*, const QString& text, const QString& detail) override {
    calls.append({"error", text, {}, {}, detail});
  }
  using TUserDialogs::Question;
  bool Question(QWidget*, const QString& text, const QString& caption,
                const QString& detail) override {
    calls.append({"question", text, caption, {}, detail});
    return !questionAnswers.isEmpty() && questionAnswers.takeFirst();
  }
  QStringList ChooseFiles(QWidget*, const TFileDialogSetup& setup) override {
    calls.append({"files", {}, {}, setup, {}});
    if (onFileDialog) onFileDialog();
    return fileAnswers.isEmpty() ? QStringList() : fileAnswers.takeFirst();
  }

  QStringList Kinds() const {
    QStringList kinds;
    for (const Call& call : calls)
      kinds.append(call.kind);
    return kinds;
  }
};

template <typename T = QWidget>
T* Control(QWidget& form, const char* name) {
  T* control = form.findChild<T*>(QString::fromLatin1(name));
  if (control == nullptr) qFatal("no control %s", name);
  return control;
}

// One shown window with its own folder for files; every dialog goes to the script.
struct TWindow {
  QTemporaryDir dir;
  TScriptedDialogs dialogs;
  std::unique_ptr<TForm1> form;

  void Start(const QStringList& arguments) {
    form = std::make_unique<TForm1>(dialogs, arguments, QUrl());
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
  }
  // Creates a file in the folder and returns its path.
  QString File(const QString& name, const QByteArray& bytes = "x") {
    const QString path = dir.filePath(name);
    QFile file(path);
    if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
      qFatal("cannot write %s", qPrintable(path));
    }
    return path;
  }

  // A picture in the folder, in the format its name's extension says; returns its path.
  QString Image(const QString& name, QSize size = {8, 8}) {
    QImage picture(size, QImage::Format_RGB32);
    picture.fill(Qt::darkRed);
    const QString path = dir.filePath(name);
    if (!picture.save(path)) qFatal("cannot write %s", qPrintable(path));
    return path;
  }
  // Presses Convert and answers the save dialog with the named file in the folder; returns
  // its path.
  QString Convert(const QString& name = QStringLiteral("book.epub")) {
    const QString book = dir.filePath(name);
    dialogs.fileAnswers = {{book}};
    Click("Button1");
    return book;
  }

  void Click(const char* button) {
    QTest::mouseClick(Control<QPushButton>(*form, button), Qt::LeftButton);
  }
  QTableView* List() { return Control<QTableView>(*form, "m_list"); }
  QString Status() { return Control<QLabel>(*form, "Label4")->text(); }
  QStringList Column(int column) {
    QStringList texts;
    for (int row = 0; row < List()->model()->rowCount(); ++row)
      texts << List()->model()->index(row, column).data().toString();
    return texts;
  }

  // Drops the files as a file manager offers them (copy, move or link; with Shift held a
  // move is proposed). Returns the action the window took, IgnoreAction when it refused.
  Qt::DropAction Drop(const QStringList& paths, Qt::KeyboardModifiers keys = Qt::NoModifier) {
    QList<QUrl> urls;
    for (const QString& path : paths)
      urls << QUrl::fromLocalFile(path);
    QMimeData mime;
    mime.setUrls(urls);
    const QPoint at(200, 150);
    const Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
    QDragEnterEvent enter(at, offered, &mime, Qt::LeftButton, keys);
    QApplication::sendEvent(form.get(), &enter);
    if (!enter.isAccepted()) return Qt::IgnoreAction;
    QDropEvent drop(QPointF(at), offered, &mime, Qt::LeftButton, keys);
    QApplication::sendEvent(form.get(), &drop);
    return drop.isAccepted() ? drop.dropAction() : Qt::IgnoreAction;
  }
};

inline QString StatusFor(int rows) {
  return QStringLiteral("共 %1 个TXT文件").arg(rows);
}

}  // namespace lumbrella::test

// Runs a QtTest class under the program's own application object.
#define LUMBRELLA_APP_TEST_MAIN(TestClass)   \
  int main(int argc, char** argv) {          \
    lumbrella::TApplication app(argc, argv); \
    app.setQuitOnLastWindowClosed(false);    \
    TestClass test;                          \
    QTEST_SET_MAIN_SOURCE_PATH               \
    return QTest::qExec(&test, argc, argv);  \
  }
