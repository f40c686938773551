// The chapter list as the list view sees it: a read-only table over TChapterList, whose
// cells have the encoding of their row's file as tooltip. The window changes the list only
// through TChapterList and then calls Refresh.
#pragma once

#include <QAbstractTableModel>
#include <QStyledItemDelegate>

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

// Draws the cells as usual; a cell shows its tooltip, and when its text does not fit (a
// long name or path, a size shown as "250.2…") its whole text above that.
class TCutOffTipDelegate : public QStyledItemDelegate {
  Q_OBJECT

 public:
  using QStyledItemDelegate::QStyledItemDelegate;

  bool helpEvent(QHelpEvent* event, QAbstractItemView* view, const QStyleOptionViewItem& option,
                 const QModelIndex& index) override;
};

}  // namespace lumbrella
