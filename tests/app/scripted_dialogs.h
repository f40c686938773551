// Test helpers: dialogs answered from a script, the application object the program uses,
// and small accessors for the window's controls.
#pragma once

#include <QDir>
#include <QFile>
#include <QList>
#include <QPushButton>
#include <QStringList>
#include <QTest>
#include <functional>

#include "app/application.h"
#include "app/main_window.h"
#include "app/user_dialogs.h"

namespace lumbrella::test {

class TScriptedDialogs : public TUserDialogs {
 public:
  struct Call {
    QString kind;  // "message", "error", "question", "files"
    QString text;
    QString caption;
    TFileDialogSetup setup;
  };

  QList<Call> calls;
  QList<QStringList> fileAnswers;      // one per file dialog; none left: cancelled
  QList<bool> questionAnswers;         // one per question; none left: No
  std::function<void()> onFileDialog;  // runs while a file dialog is "open"

  void Message(QWidget*, const QString& text) override {
    calls.append({QStringLiteral("message"), text, QString(), {}});
  }
  void Error(QWidget*, const QString& text) override {
    calls.append({QStringLiteral("error"), text, QString(), {}});
  }
  bool Question(QWidget*, const QString& text, const QString& caption) override {
    calls.append({QStringLiteral("question"), text, caption, {}});
    return !questionAnswers.isEmpty() && questionAnswers.takeFirst();
  }
  QStringList ChooseFiles(QWidget*, const TFileDialogSetup& setup) override {
    calls.append({QStringLiteral("files"), QString(), QString(), setup});
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

inline void Click(QWidget& form, const char* button) {
  QTest::mouseClick(Control<QPushButton>(form, button), Qt::LeftButton);
}

// Creates a file (any content) in dir and returns its path.
inline QString MakeFile(const QString& dir, const QString& name, const QByteArray& bytes = "x") {
  const QString path = QDir(dir).filePath(name);
  QFile file(path);
  if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size()) {
    qFatal("cannot write %s", qPrintable(path));
  }
  return path;
}

inline QString ExamplesDir() {
  return QStringLiteral(LUMBRELLA_SOURCE_DIR "/examples");
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
