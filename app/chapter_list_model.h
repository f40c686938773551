// The chapter list as the list view sees it: a read-only table over TChapterList. The
// window changes the list only through TChapterList and then calls Refresh.
#pragma once

#include <QAbstractTableModel>

#include "book/chapter_list.h"

namespace lumbrella {

class TChapterListModel : public QAbstractTableModel {
  Q_OBJECT

 public:
  explicit TChapterListModel(TChapterList& list, QObject* parent = nullptr);

  int rowCount(const QModelIndex& parent = QModelIndex()) const override;
  int columnCount(const QModelIndex& parent = QModelIndex()) const override;
  QVariant data(const QModelIndex& index, int role = Qt::DisplayRole) const override;
  QVariant headerData(int section, Qt::Orientation orientation,
                      int role = Qt::DisplayRole) const override;

  // The rows changed in any way (added, removed, exchanged, sorted).
  void Refresh();

 private:
  TChapterList& list_;
};

}  // namespace lumbrella
