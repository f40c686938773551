#include "app/user_dialogs.h"

#include <QFileDialog>
#include <QLabel>
#include <QMessageBox>
#include <QRegularExpression>

#include "app/app_text.h"

namespace lumbrella {

namespace {

// Messages carry file names, which may look like markup ("<b>x.txt"): always plain text.
int RunBox(QWidget* owner, QMessageBox::Icon icon, const QString& caption, const QString& text,
           QMessageBox::StandardButtons buttons, const QString& detail = QString()) {
  QMessageBox box(icon, caption, text, buttons, owner);
  box.setTextFormat(Qt::PlainText);
  if (!detail.isEmpty()) {
    box.setInformativeText(detail);
    // The informative label guesses the format on its own.
    if (auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel")))
      label->setTextFormat(Qt::PlainText);
  }
  return box.exec();
}

// "*.zip (*.zip)" -> "zip"; empty when the filter's first pattern names no single suffix.
QString FilterSuffix(const QString& filter) {
  static const QRegularExpression pattern(QStringLiteral("\\(\\*\\.([A-Za-z0-9]+)[ )]"));
  const QRegularExpressionMatch match = pattern.match(filter);
  return match.hasMatch() ? match.captured(1) : QString();
}

}  // namespace

void TQtUserDialogs::Message(QWidget* owner, const QString& text, const QString& detail) {
  RunBox(owner, QMessageBox::NoIcon, kApplicationTitle, text, QMessageBox::Ok, detail);
}

void TQtUserDialogs::Error(QWidget* owner, const QString& text) {
  RunBox(owner, QMessageBox::Critical, kApplicationTitle, text, QMessageBox::Ok);
}

bool TQtUserDialogs::Question(QWidget* owner, const QString& text, const QString& caption,
                              const QString& detail) {
  return RunBox(owner, QMessageBox::Question, caption, text, QMessageBox::Yes | QMessageBox::No,
                detail) == QMessageBox::Yes;
}

QStringList TQtUserDialogs::ChooseFiles(QWidget* owner, const TFileDialogSetup& setup) {
  QFileDialog dialog(owner, setup.title);
  dialog.setNameFilters(setup.nameFilters);
  if (setup.save) {
    dialog.setAcceptMode(QFileDialog::AcceptSave);
    dialog.setFileMode(QFileDialog::AnyFile);
    dialog.setDefaultSuffix(setup.defaultSuffix);
    // A name typed without an extension takes the one of the filter in use, so that the
    // "*.zip" entry really gives a .zip file.
    QObject::connect(&dialog, &QFileDialog::filterSelected, &dialog,
                     [&dialog, &setup](const QString& filter) {
                       const QString suffix = FilterSuffix(filter);
                       dialog.setDefaultSuffix(suffix.isEmpty() ? setup.defaultSuffix : suffix);
                     });
  } else {
    dialog.setAcceptMode(QFileDialog::AcceptOpen);
    // One file may be any name (the cover); several must exist, as Qt's multiple
    // selection only offers existing files.
    dialog.setFileMode(setup.multiple ? QFileDialog::ExistingFiles : QFileDialog::AnyFile);
  }
  if (!setup.fileName.isEmpty()) dialog.selectFile(setup.fileName);
  if (dialog.exec() != QDialog::Accepted) return {};
  return dialog.selectedFiles();
}

}  // namespace lumbrella
