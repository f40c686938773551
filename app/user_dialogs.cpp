#include "app/user_dialogs.h"

#include <QFileDialog>
#include <QFontMetrics>
#include <QGuiApplication>
#include <QLabel>
#include <QMessageBox>
#include <QRegularExpression>
#include <QScreen>
#include <algorithm>

#include "app/app_text.h"

namespace lumbrella {

namespace {

// The detail below a box's text. A line that names a path is shown whole when the box can
// be made that wide (as wide as the screen leaves room for, within reason); a longer one is
// broken after a "/" or a blank, so that a path wraps between its folders rather than inside
// a name, where the label's own wrapping would cut it.
void SetDetail(QMessageBox& box, QWidget* owner, const QString& detail) {
  box.setInformativeText(detail);
  auto* label = box.findChild<QLabel*>(QStringLiteral("qt_msgbox_informativelabel"));
  if (label == nullptr) return;
  label->setTextFormat(Qt::PlainText);  // the label guesses the format on its own
  const QScreen* screen = owner != nullptr ? owner->screen() : QGuiApplication::primaryScreen();
  const int widest =
      std::clamp(screen != nullptr ? screen->availableGeometry().width() - 240 : 600, 300, 760);
  const QFontMetrics metrics = label->fontMetrics();
  QStringList lines;
  int needed = 0;
  for (const QString& line : detail.split(QLatin1Char('\n'))) {
    if (!line.contains(QLatin1Char('/'))) {
      // A sentence is not squeezed into the width of a short path above it.
      lines << line;
      needed = std::max(needed, std::min(metrics.horizontalAdvance(line), widest));
      continue;
    }
    QString current;
    for (qsizetype at = 0; at < line.size();) {
      qsizetype end = at;
      while (end < line.size() && line[end] != QLatin1Char('/') && line[end] != QLatin1Char(' '))
        ++end;
      const QString piece = line.mid(at, end + 1 - at);  // with the "/" or blank it ends at
      if (!current.isEmpty() && metrics.horizontalAdvance(current + piece) > widest) {
        lines << current;
        needed = std::max(needed, metrics.horizontalAdvance(current));
        current.clear();
      }
      current += piece;
      at = end + 1;
    }
    lines << current;
    needed = std::max(needed, std::min(metrics.horizontalAdvance(current), widest));
  }
  label->setText(lines.join(QLatin1Char('\n')));
  // A little more than the text measures: the label lays it out with a margin of its own.
  if (needed > 0) label->setMinimumWidth(needed + metrics.height());
}

// Messages carry file names, which may look like markup ("<b>x.txt"): always plain text.
int RunBox(QWidget* owner, QMessageBox::Icon icon, const QString& caption, const QString& text,
           QMessageBox::StandardButtons buttons, const QString& detail = QString()) {
  QMessageBox box(icon, caption, text, buttons, owner);
  box.setTextFormat(Qt::PlainText);
  if (!detail.isEmpty()) SetDetail(box, owner, detail);
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

void TQtUserDialogs::Error(QWidget* owner, const QString& text, const QString& detail) {
  RunBox(owner, QMessageBox::Critical, kApplicationTitle, text, QMessageBox::Ok, detail);
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
