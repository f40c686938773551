#include "app/chapter_list_model.h"

#include <QAbstractItemView>
#include <QHelpEvent>
#include <QToolTip>

#include "app/app_text.h"

namespace lumbrella {

TChapterListModel::TChapterListModel(TChapterList& list, QObject* parent)
    : QAbstractTableModel(parent), list_(list) {}

int TChapterListModel::rowCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : static_cast<int>(list_.Count());
}

int TChapterListModel::columnCount(const QModelIndex& parent) const {
  return parent.isValid() ? 0 : 4;
}

QVariant TChapterListModel::data(const QModelIndex& index, int role) const {
  if (!index.isValid() || index.row() >= rowCount()) return {};
  // Every cell of a row tells what its file will be read in.
  if (role == Qt::ToolTipRole)
    return AnsiToQString(list_.EncodingText(static_cast<size_t>(index.row())));
  if (role != Qt::DisplayRole) return {};
  const ChapterRow& row = list_.Row(static_cast<size_t>(index.row()));
  switch (index.column()) {
    case 0:
      return AnsiToQString(row.caption);
    case 1:
      return AnsiToQString(row.name);
    case 2:
      return AnsiToQString(row.sizeText);
    case 3:
      return AnsiToQString(row.path);
    default:
      return {};
  }
}

QVariant TChapterListModel::headerData(int section, Qt::Orientation orientation, int role) const {
  if (orientation != Qt::Horizontal || role != Qt::DisplayRole) return {};
  switch (section) {
    case 0:
      return QStringLiteral("序");
    case 1:
      return QStringLiteral("文件名");
    case 2:
      return QStringLiteral("大小");
    case 3:
      return QStringLiteral("文件路径");
    default:
      return {};
  }
}

void TChapterListModel::Refresh() {
  beginResetModel();
  endResetModel();
}

bool TCutOffTipDelegate::helpEvent(QHelpEvent* event, QAbstractItemView* view,
                                   const QStyleOptionViewItem& option, const QModelIndex& index) {
  if (event->type() != QEvent::ToolTip || view == nullptr)
    return QStyledItemDelegate::helpEvent(event, view, option, index);
  QStyleOptionViewItem item = option;
  initStyleOption(&item, index);
  // The room the style leaves the text: the text rectangle less its margins on both sides.
  const QWidget* widget = item.widget != nullptr ? item.widget : view;
  QStyle* style = widget->style();
  const int margin = style->pixelMetric(QStyle::PM_FocusFrameHMargin, &item, widget) + 1;
  const int room =
      style->subElementRect(QStyle::SE_ItemViewItemText, &item, widget).width() - 2 * margin;
  QString tip = index.data(Qt::ToolTipRole).toString();
  if (item.fontMetrics.horizontalAdvance(item.text) > room)
    tip = tip.isEmpty() ? item.text : item.text + QLatin1Char('\n') + tip;
  if (!tip.isEmpty()) {
    QToolTip::showText(event->globalPos(), tip, view->viewport(), option.rect);
  } else {
    QToolTip::hideText();
  }
  return true;
}

}  // namespace lumbrella
