// The chapter list: the book's table of chapters as the user edits it. One row per source
// text file; the row order is the chapter order. Plain C++: the window shows it in a list
// view and asks the questions (Clear) and shows the messages (Delete) itself.
#pragma once

#include <cstddef>
#include <optional>
#include <string>
#include <vector>

#include "book/chapter.h"

namespace lumbrella {

// One row; four ANSI texts.
struct ChapterRow {
  std::string caption;   // "序": row count when added, plus one; never renumbered
  std::string name;      // "文件名": file-name part without its last extension
  std::string sizeText;  // "大小": "%.2fKB" of FileSizeKB, the locale's decimal separator
  double sizeKB = 0;     // FileSizeKB, by which the size column sorts
  std::string path;      // "文件路径": the path exactly as it was handed over
  TSourceEncoding encoding = TSourceEncoding::seAuto;  // the user's choice; seAuto: detected
};

class TChapterList {
 public:
  size_t Count() const { return rows_.size(); }
  const ChapterRow& Row(size_t i) const { return rows_.at(i); }
  const std::vector<ChapterRow>& Rows() const { return rows_; }
  // The rows as the conversion takes them, in list order.
  std::vector<TChapter> Chapters() const;

  // The selected position, or -1. Select(-1), or any position outside the list, clears the
  // selection.
  int Selected() const { return selected_; }
  void Select(int position);

  // Appends a row for the file when ChapterOf admits it; returns whether it did. No message,
  // no status refresh.
  bool AddSourceFile(const std::string& path);
  // Size in bytes / 1000; 0 when the file cannot be opened or measured (a folder, or anything
  // else that is no regular file, too).
  static double FileSizeKB(const std::string& path);
  // Sets the encoding a row's file is read in. EListError "Index %d is out of range".
  void SetEncoding(size_t i, TSourceEncoding encoding);
  // What the row's file will be read in, as the window tells it (ANSI), for example
  // "编码：Big5（自动检测）": the encoding set by hand, the one of the file's byte order
  // mark, or what its bytes decide (with the runner-up when that is unsure).
  std::string EncodingText(size_t i) const;
  // What a file without an encoding set is read in: nothing when it cannot be opened.
  static std::optional<TEncodingChoice> DetectedEncoding(const std::string& path);
  // The encoding's name in the window: GB18030 is "GBK/GB18030", the others as
  // EncodingName.
  static std::string EncodingLabel(TSourceEncoding encoding);

  // Exchanges two whole rows (caption included); the selection stays at its position.
  // EListError "Index %d is out of range" when a position is outside the list.
  void SwapRows(size_t i, size_t j);

  // Delete: false when no row is selected (the window then says "请选择要删除的文件").
  // Otherwise removes it and selects the row that took its place, or the new last row.
  bool DeleteSelected();
  // Clear, once the user has said Yes: every row goes, the sort state stays.
  void Clear();
  // Move up / Move down: exchange with the neighbour, wrapping around at the ends (a plain
  // exchange, not a rotation), and select the moved row. Nothing without a selection.
  void MoveUp();
  void MoveDown();

  // A click on a column header (0 number, 1 name, 2 size, 3 path): ascending on the first
  // click of a column, reversed on each further click of the same column. A stable sort;
  // the selected row stays selected wherever it lands. Other column numbers are ignored.
  void ColumnClick(int column);
  // Negative when a goes before b in the current sort column; data (the direction) non-zero
  // negates. The list order is the chapter order, so each column sorts as a reader counts:
  // numbers and sizes by value, names and paths in natural order (runs of digits and of
  // Chinese numerals by value, so 2 before 10 and 第二章 before 第十章, and before other
  // characters; other characters by their bytes, ASCII letters without regard to case).
  int Compare(const ChapterRow& a, const ChapterRow& b, int data) const;

  int SortColumn() const { return sortColumn_; }
  int SortDescending() const { return sortDescending_; }
  int LastSortColumn() const { return lastSortColumn_; }  // -1: none yet
  // Header image index of a column after its click: SortDescending + 1 (1 ascending, 2
  // descending); -1 for the other columns. The window shows it as the header's sort arrow.
  int HeaderImageIndex(int column) const {
    return column == lastSortColumn_ ? sortDescending_ + 1 : -1;
  }

  // "共 N 个TXT文件" (ANSI).
  std::string StatusText() const;

 private:
  std::vector<ChapterRow> rows_;
  int selected_ = -1;
  int sortColumn_ = 0;
  int sortDescending_ = 0;
  int lastSortColumn_ = -1;
};

}  // namespace lumbrella
