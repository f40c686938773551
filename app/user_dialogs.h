// Every question, message and file dialog of the window goes through this one interface,
// so that the window can be driven without a person (the tests answer it from a script).
#pragma once

#include <QString>
#include <QStringList>

class QWidget;

namespace lumbrella {

// How one file dialog is set up.
struct TFileDialogSetup {
  QString title;            // empty: the platform's default title
  QStringList nameFilters;  // Qt form: "description (pattern pattern ...)"
  bool save = false;
  bool multiple = false;  // open dialogs only
  QString defaultSuffix;  // save dialogs: added to a name typed without an extension
  QString fileName;       // the name proposed when the dialog opens
};

class TUserDialogs {
 public:
  virtual ~TUserDialogs() = default;

  // Plain box: the text, the application title as caption, no icon, one OK button; a
  // detail that is not empty goes on a line of its own below the text.
  virtual void Message(QWidget* owner, const QString& text, const QString& detail) = 0;
  // The error box: the application title, the error icon, one OK button; a detail that is
  // not empty goes below the text. The general error display and every failed conversion.
  virtual void Error(QWidget* owner, const QString& text, const QString& detail) = 0;
  // Question icon, Yes and No; true for Yes. A detail that is not empty goes below the text.
  virtual bool Question(QWidget* owner, const QString& text, const QString& caption,
                        const QString& detail) = 0;
  bool Question(QWidget* owner, const QString& text, const QString& caption) {
    return Question(owner, text, caption, QString());
  }
  // The chosen paths in the order the dialog gives them; empty when cancelled. A save
  // dialog asks before an existing file is overwritten.
  virtual QStringList ChooseFiles(QWidget* owner, const TFileDialogSetup& setup) = 0;
};

// The real thing: QMessageBox and QFileDialog, modal.
class TQtUserDialogs : public TUserDialogs {
 public:
  void Message(QWidget* owner, const QString& text, const QString& detail) override;
  void Error(QWidget* owner, const QString& text, const QString& detail) override;
  using TUserDialogs::Question;
  bool Question(QWidget* owner, const QString& text, const QString& caption,
                const QString& detail) override;
  QStringList ChooseFiles(QWidget* owner, const TFileDialogSetup& setup) override;
};

}  // namespace lumbrella
