#include "app/chapter_list_model.h"

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
  if (role != Qt::DisplayRole || !index.isValid() || index.row() >= rowCount()) return {};
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

}  // namespace lumbrella
