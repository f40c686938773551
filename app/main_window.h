// The main window: book fields, the chapter list view with its commands, the import,
// cover and save dialogs, dropped files, the web strip and the Convert command.
#pragma once

#include <QPoint>
#include <QSize>
#include <QStringList>
#include <QUrl>
#include <QWidget>
#include <exception>
#include <memory>
#include <string>

#include "app/user_dialogs.h"
#include "book/chapter_list.h"
#include "platform/progress.h"
#include "zip/packer.h"

class QLabel;
class QLineEdit;
class QMenu;
class QProgressBar;
class QPushButton;
class QTableView;

namespace lumbrella {

class TChapterListModel;
class TPrivateTempDir;
class TWebStrip;

inline const QString kMainWindowCaption = QStringLiteral("Lumbrella V2.0  作者:Tumblewick ");
inline constexpr int kClientWidth = 480;
inline constexpr int kClientHeight = 293;
inline constexpr int kWebStripShownTop = 278;
inline constexpr int kWebStripHiddenTop = -500;

// Where the window's outer frame goes on a screen: centred across, 150 pixels above the
// centre downwards, halves rounded towards zero; then moved into the screen's available
// area (without its panels), so that the title bar is never out of reach, at any scale.
// A frame larger than that area starts at its top left corner.
QPoint StartPosition(const QRect& screen, const QRect& available, QSize outerFrame);

class TForm1 : public QWidget {
  Q_OBJECT

 public:
  // sourceFiles: the command-line arguments after the program's path; webPage: what the
  // strip loads.
  TForm1(TUserDialogs& dialogs, const QStringList& sourceFiles,
         const QUrl& webPage = DefaultWebPage(), QWidget* parent = nullptr);
  ~TForm1() override;

  static QUrl DefaultWebPage();

  const TChapterList& ChapterList() const { return list_; }
  TZipPacker& Packer() { return packer_; }
  TProgress& Progress() { return progress_; }
  // The private temporary folder ("" until it could be made).
  std::string TempDir() const;
  bool Converting() const { return converting_; }

  // The three dialogs as this window sets them up.
  TFileDialogSetup SaveDialog1() const;
  static TFileDialogSetup OpenDialog1();
  static TFileDialogSetup OpenDialog2();

  // Command handlers, as the buttons and the list header call them.
  void Button1Click();
  void Button2Click();
  void Button6Click();
  void m_upClick();
  void m_downClick();
  void m_delClick();
  void m_delallClick();
  void m_listColumnClick(int column);
  // The context menu of a row: 自动检测 (with what it finds) and each encoding, the row's
  // choice checked; choosing one sets it for the row. The caller owns the menu.
  QMenu* EncodingMenu(int row);
  // The context menu of the cover field: 清除封面, while a cover is chosen. The caller owns
  // the menu.
  QMenu* CoverMenu();

 protected:
  void showEvent(QShowEvent* event) override;
  void moveEvent(QMoveEvent* event) override;
  bool eventFilter(QObject* watched, QEvent* event) override;
  void closeEvent(QCloseEvent* event) override;
  void dragEnterEvent(QDragEnterEvent* event) override;
  void dragMoveEvent(QDragMoveEvent* event) override;
  void dropEvent(QDropEvent* event) override;

 private:
  void BuildControls();
  void FormCreate(const QStringList& sourceFiles, const QUrl& webPage);
  void PlaceWindow();
  void PlaceAgainForTheFrame();
  void WebBrowser1DocumentComplete();
  // Runs a handler; an exception it raises goes to the general error display.
  template <typename Handler>
  void Guarded(Handler handler);
  void ConnectClick(QPushButton* button, void (TForm1::*handler)());
  // Whether the file was admitted (a ".txt" file).
  bool AddSourceFile(const QString& path);
  // Says how many of the files brought in were not admitted, and which.
  void TellLeftOut(const QStringList& paths);
  // A failed conversion, whatever failed: the failure text, what the cause means for the
  // user, the technical line.
  void ShowFailure(const std::exception_ptr& failure, const std::string& cover,
                   const std::string& output);
  void ClearCover();
  void RefreshStatus();
  void ShowRows();  // view follows the model: rows and selection
  void SetConverting(bool on);
  bool AskToSplit(const std::vector<TChapter>& chapters);

  TUserDialogs& dialogs_;
  TChapterList list_;
  TZipPacker packer_;
  TProgress progress_;  // of a conversion: staging, then packing
  std::unique_ptr<TPrivateTempDir> tempDir_;
  bool converting_ = false;
  bool closeRequested_ = false;
  bool placed_ = false;
  QSize placedFrame_;  // the outer size the placement was computed for
  int replacements_ = 0;
  bool syncingSelection_ = false;

  QPushButton* Button1 = nullptr;
  QLineEdit* m_title = nullptr;
  QLineEdit* m_zz = nullptr;
  QLineEdit* m_img = nullptr;
  QLabel* Label1 = nullptr;
  QLabel* Label2 = nullptr;
  QLabel* Label3 = nullptr;
  QPushButton* m_up = nullptr;
  QPushButton* m_down = nullptr;
  QPushButton* m_delall = nullptr;
  QPushButton* m_del = nullptr;
  QPushButton* Button6 = nullptr;
  QTableView* m_list = nullptr;
  TWebStrip* WebBrowser1 = nullptr;
  QLabel* Label4 = nullptr;
  QPushButton* Button2 = nullptr;
  QProgressBar* m_progress = nullptr;
  TChapterListModel* model_ = nullptr;
};

}  // namespace lumbrella
