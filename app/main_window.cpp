#include "app/main_window.h"

#include <QActionGroup>
#include <QCloseEvent>
#include <QCoreApplication>
#include <QDragEnterEvent>
#include <QDropEvent>
#include <QFileInfo>
#include <QFontDatabase>
#include <QGuiApplication>
#include <QHeaderView>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QMimeData>
#include <QProgressBar>
#include <QPushButton>
#include <QScreen>
#include <QShortcut>
#include <QTableView>
#include <QWindow>
#include <algorithm>
#include <initializer_list>
#include <iterator>

#include "app/app_text.h"
#include "app/application.h"
#include "app/chapter_list_model.h"
#include "app/web_strip.h"
#include "book/convert.h"
#include "book/cover.h"
#include "book/failure.h"
#include "book/headings.h"
#include "platform/errors.h"
#include "platform/files.h"
#include "platform/tempdir.h"
#include "zip/reader.h"

namespace lumbrella {

namespace {

// The progress bar covers the whole road by bytes: staging reads the chapter files and
// packing reads what staging wrote, about as many bytes again, so each takes half of it.
constexpr int kStagingShare = 50;

// Tahoma 8 pt where it is installed, else the platform's sans-serif at that size. Wine's
// Tahoma (Debian's fonts-wine) is not registered with fontconfig; it is taken when it is there.
QFont WindowFont() {
  if (!QFontDatabase::families().contains(QStringLiteral("Tahoma"), Qt::CaseInsensitive)) {
    QFontDatabase::addApplicationFont(QStringLiteral("/usr/share/wine/fonts/tahoma.ttf"));
    QFontDatabase::addApplicationFont(QStringLiteral("/usr/share/wine/fonts/tahomabd.ttf"));
  }
  QFont font = QFontDatabase::families().contains(QStringLiteral("Tahoma"), Qt::CaseInsensitive)
                   ? QFont(QStringLiteral("Tahoma"))
                   : QFontDatabase::systemFont(QFontDatabase::GeneralFont);
  font.setPointSize(8);
  return font;
}

QPushButton* MakeButton(QWidget* parent, const char* name, const QString& text, QRect place) {
  auto* button = new QPushButton(text, parent);
  button->setObjectName(QString::fromLatin1(name));
  button->setGeometry(place);
  button->setAutoDefault(false);
  return button;
}

QLabel* MakeLabel(QWidget* parent, const char* name, const QString& text, QRect place) {
  auto* label = new QLabel(text, parent);
  label->setObjectName(QString::fromLatin1(name));
  label->setGeometry(place);
  return label;
}

// After a split, for the success box: how many chapters the headings began.
QString ChaptersFoundText(const std::vector<TSplitFile>& files) {
  size_t chapters = 0, volumes = 0;
  for (const TSplitFile& file : files) {
    chapters += file.report.chapters;
    volumes += file.report.volumes;
  }
  QString text = QStringLiteral("已按章节拆分，共找到 %1 个章节").arg(chapters);
  if (volumes > 0) text += QStringLiteral("，%1 卷").arg(volumes);
  return text + QStringLiteral("。");
}

QLineEdit* MakeEdit(QWidget* parent, const char* name, QRect place) {
  auto* edit = new QLineEdit(parent);
  edit->setObjectName(QString::fromLatin1(name));
  edit->setGeometry(place);
  // Files dropped on a field go to the chapter list, not into the text.
  edit->setAcceptDrops(false);
  return edit;
}

}  // namespace

QPoint StartPosition(const QRect& screen, const QRect& available, QSize outerFrame) {
  const QPoint centred =
      screen.topLeft() + QPoint((screen.width() - outerFrame.width()) / 2,
                                (screen.height() - outerFrame.height()) / 2 - 150);
  return {
      std::max(available.left(), std::min(centred.x(), available.right() + 1 - outerFrame.width())),
      std::max(available.top(),
               std::min(centred.y(), available.bottom() + 1 - outerFrame.height()))};
}

TForm1::TForm1(TUserDialogs& dialogs, const QStringList& sourceFiles, const QUrl& webPage,
               QWidget* parent)
    : QWidget(parent), dialogs_(dialogs) {
  BuildControls();
  progress_.OnStep = [] { QCoreApplication::processEvents(); };
  progress_.OnPercent = [this](TWorkStage stage, int percent) {
    m_progress->setValue(stage == TWorkStage::wsStaging
                             ? percent * kStagingShare / 100
                             : kStagingShare + percent * (100 - kStagingShare) / 100);
  };
  // Another conversion writing the same book (this program's, in another window or on the
  // command line) goes first; the bar says what this one waits for.
  progress_.OnWait = [this](bool waiting, const std::string&) {
    m_progress->setFormat(waiting ? QStringLiteral("等待同一本书的另一个转换完成……") : QString());
    m_progress->setTextVisible(waiting);
  };
  packer_.Progress = &progress_;
  FormCreate(sourceFiles, webPage);
}

TForm1::~TForm1() = default;

QUrl TForm1::DefaultWebPage() {
  return DefaultWebStripUrl();
}

std::string TForm1::TempDir() const {
  return tempDir_ ? tempDir_->Path() : std::string();
}

void TForm1::BuildControls() {
  setObjectName(QStringLiteral("Form1"));
  setWindowTitle(kMainWindowCaption);
  setWindowFlags(Qt::Window | Qt::CustomizeWindowHint | Qt::WindowTitleHint |
                 Qt::WindowSystemMenuHint | Qt::WindowMinimizeButtonHint |
                 Qt::WindowCloseButtonHint);
  setFixedSize(kClientWidth, kClientHeight);
  setFont(WindowFont());

  Button1 = MakeButton(this, "Button1", QStringLiteral("转换"), {422, 8, 50, 45});
  QFont bold = font();
  bold.setBold(true);
  Button1->setFont(bold);
  // Red only while it can be pressed; disabled during a conversion it greys like the rest.
  QPalette red = Button1->palette();
  red.setColor(QPalette::Active, QPalette::ButtonText, Qt::red);
  red.setColor(QPalette::Inactive, QPalette::ButtonText, Qt::red);
  Button1->setPalette(red);

  m_title = MakeEdit(this, "m_title", {45, 8, 183, 21});
  m_zz = MakeEdit(this, "m_zz", {271, 8, 145, 21});
  m_img = MakeEdit(this, "m_img", {45, 32, 327, 21});
  m_img->setReadOnly(true);
  m_img->setContextMenuPolicy(Qt::CustomContextMenu);
  Label1 = MakeLabel(this, "Label1", QStringLiteral("书名："), {8, 11, 36, 13});
  Label2 = MakeLabel(this, "Label2", QStringLiteral("作者："), {234, 11, 36, 13});
  Label3 = MakeLabel(this, "Label3", QStringLiteral("封面："), {8, 35, 36, 13});
  m_up = MakeButton(this, "m_up", QStringLiteral("上移"), {422, 101, 50, 39});
  m_down = MakeButton(this, "m_down", QStringLiteral("下移"), {422, 146, 50, 39});
  m_delall = MakeButton(this, "m_delall", QStringLiteral("清空"), {422, 236, 50, 39});
  m_del = MakeButton(this, "m_del", QStringLiteral("删除"), {422, 191, 50, 39});
  Button6 = MakeButton(this, "Button6", QStringLiteral("导入"), {422, 58, 50, 38});

  model_ = new TChapterListModel(list_, this);
  m_list = new QTableView(this);
  m_list->setObjectName(QStringLiteral("m_list"));
  m_list->setGeometry(8, 57, 408, 218);
  m_list->setModel(model_);
  m_list->setShowGrid(true);
  m_list->setSelectionBehavior(QAbstractItemView::SelectRows);
  m_list->setSelectionMode(QAbstractItemView::SingleSelection);
  m_list->setEditTriggers(QAbstractItemView::NoEditTriggers);
  m_list->setSortingEnabled(false);  // the list sorts only on a header click, by its rules
  m_list->setWordWrap(false);
  m_list->setCornerButtonEnabled(false);
  // Tab goes on to the next control; the arrow keys move within the list.
  m_list->setTabKeyNavigation(false);
  m_list->setItemDelegate(new TCutOffTipDelegate(m_list));
  m_list->setContextMenuPolicy(Qt::CustomContextMenu);
  QHeaderView* rows = m_list->verticalHeader();
  rows->hide();
  rows->setMinimumSectionSize(1);
  rows->setSectionResizeMode(QHeaderView::Fixed);
  rows->setDefaultSectionSize(20);
  QHeaderView* columns = m_list->horizontalHeader();
  columns->setSectionsClickable(true);
  columns->setSortIndicatorShown(false);
  columns->setHighlightSections(false);
  columns->setStretchLastSection(false);
  columns->setMinimumSectionSize(1);
  const int widths[] = {24, 93, 44, 226};
  for (int i = 0; i < 4; ++i)
    columns->resizeSection(i, widths[i]);
  // The selection stays as visible when the list loses the focus.
  QPalette listPalette = m_list->palette();
  for (QPalette::ColorRole role : {QPalette::Highlight, QPalette::HighlightedText}) {
    listPalette.setColor(QPalette::Inactive, role, listPalette.color(QPalette::Active, role));
  }
  m_list->setPalette(listPalette);

  WebBrowser1 = new TWebStrip(this);
  WebBrowser1->setObjectName(QStringLiteral("WebBrowser1"));
  WebBrowser1->setGeometry(156, 277, 316, 17);
  WebBrowser1->setAcceptDrops(false);
  WebBrowser1->setFocusPolicy(Qt::NoFocus);  // out of sight until its page has loaded

  Label4 = MakeLabel(this, "Label4", QString(), {40, 278, 0, 13});
  QPalette redText = Label4->palette();
  redText.setColor(QPalette::WindowText, Qt::red);
  Label4->setPalette(redText);

  Button2 = MakeButton(this, "Button2", QStringLiteral("浏览"), {376, 31, 40, 22});

  // Shown over the strip's place only while a book is packed.
  m_progress = new QProgressBar(this);
  m_progress->setObjectName(QStringLiteral("m_progress"));
  m_progress->setGeometry(156, 279, 316, 13);
  m_progress->setRange(0, 100);
  m_progress->setTextVisible(false);
  m_progress->hide();

  QWidget* tabOrder[] = {Button1,  m_title, m_zz,    m_img,  m_up,        m_down,
                         m_delall, m_del,   Button6, m_list, WebBrowser1, Button2};
  for (size_t i = 1; i < std::size(tabOrder); ++i)
    setTabOrder(tabOrder[i - 1], tabOrder[i]);

  // Return and Enter press the focused button, as Space does; the cover field takes Delete
  // and Backspace.
  for (QWidget* control : std::initializer_list<QWidget*>{Button1, Button2, Button6, m_up, m_down,
                                                          m_del, m_delall, m_img}) {
    control->installEventFilter(this);
  }
  ConnectClick(Button1, &TForm1::Button1Click);
  ConnectClick(Button2, &TForm1::Button2Click);
  ConnectClick(Button6, &TForm1::Button6Click);
  ConnectClick(m_up, &TForm1::m_upClick);
  ConnectClick(m_down, &TForm1::m_downClick);
  ConnectClick(m_del, &TForm1::m_delClick);
  ConnectClick(m_delall, &TForm1::m_delallClick);
  // The Delete key in the list does what 删除 does.
  auto* deleteKey = new QShortcut(QKeySequence::Delete, m_list);
  deleteKey->setContext(Qt::WidgetShortcut);
  connect(deleteKey, &QShortcut::activated, this, [this] { Guarded([this] { m_delClick(); }); });
  connect(columns, &QHeaderView::sectionClicked, this,
          [this](int column) { Guarded([this, column] { m_listColumnClick(column); }); });
  connect(m_list, &QWidget::customContextMenuRequested, this, [this](QPoint at) {
    const QModelIndex index = m_list->indexAt(at);
    if (!index.isValid()) return;
    list_.Select(index.row());
    ShowRows();
    const std::unique_ptr<QMenu> menu(EncodingMenu(index.row()));
    menu->exec(m_list->viewport()->mapToGlobal(at));
  });
  connect(m_img, &QWidget::customContextMenuRequested, this, [this](QPoint at) {
    const std::unique_ptr<QMenu> menu(CoverMenu());
    menu->exec(m_img->mapToGlobal(at));
  });
  connect(m_list->selectionModel(), &QItemSelectionModel::selectionChanged, this, [this] {
    if (syncingSelection_) return;
    const QModelIndexList selected = m_list->selectionModel()->selectedRows();
    list_.Select(selected.isEmpty() ? -1 : selected.first().row());
  });
  connect(WebBrowser1, &TWebStrip::DocumentComplete, this,
          [this] { WebBrowser1DocumentComplete(); });
}

void TForm1::FormCreate(const QStringList& sourceFiles, const QUrl& webPage) {
  // The placement needs the outer frame, known once the window is shown: showEvent.
  WebBrowser1->move(WebBrowser1->x(), kWebStripHiddenTop);
  WebBrowser1->Navigate(webPage);
  // Folders of earlier runs that were killed before they could remove them.
  RemoveLeftoverTempDirs(TempBaseDir());
  try {
    tempDir_ = std::make_unique<TPrivateTempDir>();
  } catch (const Exception&) {
    // Start-up reports nothing; Convert tries again and shows the error then.
  }
  setAcceptDrops(true);
  QStringList leftOut;
  for (const QString& path : sourceFiles) {
    if (path.isEmpty()) break;  // an empty argument ends the list
    if (!AddSourceFile(path)) leftOut << path;
  }
  ShowRows();
  RefreshStatus();
  // Said once the window is there to own the message.
  if (!leftOut.isEmpty()) {
    QMetaObject::invokeMethod(
        this, [this, leftOut] { Guarded([&] { TellLeftOut(leftOut); }); }, Qt::QueuedConnection);
  }
}

template <typename Handler>
void TForm1::Guarded(Handler handler) {
  try {
    handler();
  } catch (...) {
    ShowError(&dialogs_, this, std::current_exception());
  }
}

void TForm1::ConnectClick(QPushButton* button, void (TForm1::*handler)()) {
  connect(button, &QPushButton::clicked, this,
          [this, handler] { Guarded([this, handler] { (this->*handler)(); }); });
}

bool TForm1::AddSourceFile(const QString& path) {
  return list_.AddSourceFile(QPathToAnsi(path));
}

void TForm1::TellLeftOut(const QStringList& paths) {
  if (paths.isEmpty()) return;
  constexpr int kNamesShown = 10;
  QStringList names;
  for (const QString& path : paths.mid(0, kNamesShown))
    names << QFileInfo(path).fileName();
  if (paths.size() > kNamesShown) names << QStringLiteral("……");
  dialogs_.Message(this, QStringLiteral("%1 个文件不是TXT文件，没有加入列表。").arg(paths.size()),
                   names.join(QLatin1Char('\n')));
}

void TForm1::RefreshStatus() {
  Label4->setText(AnsiToQString(list_.StatusText()));
  Label4->resize(Label4->sizeHint().width(), Label4->height());
}

void TForm1::ShowRows() {
  syncingSelection_ = true;
  model_->Refresh();
  const int selected = list_.Selected();
  if (selected >= 0 && selected < model_->rowCount()) {
    const QModelIndex index = model_->index(selected, 0);
    m_list->selectionModel()->setCurrentIndex(
        index, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    m_list->scrollTo(index);
  }
  syncingSelection_ = false;
}

void TForm1::showEvent(QShowEvent* event) {
  QWidget::showEvent(event);
  if (placed_) return;
  placed_ = true;
  PlaceWindow();
  if (QWindow* window = windowHandle()) window->installEventFilter(this);
}

// A window manager frames the window only after it is mapped, so the first placement may
// have used the bare client size. When the frame is known (by the first exposure, or with
// a later move) the window is placed again for its real outer size; a few rounds at most.
void TForm1::PlaceAgainForTheFrame() {
  if (placed_ && replacements_ < 3 && frameGeometry().size() != placedFrame_) {
    ++replacements_;
    PlaceWindow();
  }
}

bool TForm1::eventFilter(QObject* watched, QEvent* event) {
  if (watched == windowHandle() && event->type() == QEvent::Expose) PlaceAgainForTheFrame();
  if (event->type() == QEvent::KeyPress) {
    const auto* key = static_cast<QKeyEvent*>(event);
    const bool plain = (key->modifiers() & ~Qt::KeypadModifier) == Qt::NoModifier;
    if (watched == m_img && plain &&
        (key->key() == Qt::Key_Delete || key->key() == Qt::Key_Backspace)) {
      ClearCover();
      return true;
    }
    auto* button = qobject_cast<QPushButton*>(watched);
    if (button != nullptr && plain &&
        (key->key() == Qt::Key_Return || key->key() == Qt::Key_Enter)) {
      button->click();
      return true;
    }
  }
  return QWidget::eventFilter(watched, event);
}

void TForm1::moveEvent(QMoveEvent* event) {
  QWidget::moveEvent(event);
  PlaceAgainForTheFrame();
}

void TForm1::PlaceWindow() {
  QScreen* on = screen();  // where the window opens: the primary one unless told otherwise
  if (on == nullptr) on = QGuiApplication::primaryScreen();
  if (on == nullptr) return;
  placedFrame_ = frameGeometry().size();
  move(StartPosition(on->geometry(), on->availableGeometry(), placedFrame_));
}

void TForm1::WebBrowser1DocumentComplete() {
  if (WebBrowser1->y() > 0) return;
  WebBrowser1->move(WebBrowser1->x(), kWebStripShownTop);
  WebBrowser1->setFocusPolicy(Qt::StrongFocus);
}

// --- Dialogs ---------------------------------------------------------------------------

TFileDialogSetup TForm1::SaveDialog1() const {
  TFileDialogSetup setup;
  setup.nameFilters = {QStringLiteral("*.epub (*.epub)"), QStringLiteral("*.zip (*.zip)")};
  setup.save = true;
  setup.defaultSuffix = QStringLiteral("epub");
  setup.fileName = AnsiToQString(ProposedBookName(QStringToAnsi(m_title->text())));
  return setup;
}

TFileDialogSetup TForm1::OpenDialog1() {
  TFileDialogSetup setup;
  setup.title = QStringLiteral("导入TXT文件");
  setup.nameFilters = {QStringLiteral("*.txt (*.txt*)")};
  setup.multiple = true;
  return setup;
}

TFileDialogSetup TForm1::OpenDialog2() {
  TFileDialogSetup setup;
  setup.title = QStringLiteral("插入封面图片");
  // Qt separates patterns with blanks; the description keeps the semicolons.
  setup.nameFilters = {
      QStringLiteral("All Image File(*jpg;*.jpeg;*.png;*.bmp;*.gif;*.tiff;*.tif) "
                     "(*jpg *.jpeg *.png *.bmp *.gif *.tiff *.tif)")};
  return setup;
}

// --- Commands --------------------------------------------------------------------------

void TForm1::Button1Click() {
  if (converting_) return;
  if (list_.Count() == 0) {
    dialogs_.Message(this,
                     QStringLiteral("请先导入TXT文件：点“导入”选择文件，或把TXT文件拖到窗口里。"),
                     QString());
    return;
  }
  const TBookFields fields{QStringToAnsi(m_title->text()), QStringToAnsi(m_zz->text()),
                           QPathToAnsi(m_img->text())};
  // A cover gone or changed since it was chosen stops the book before anything is asked.
  if (!fields.cover.empty()) {
    try {
      CheckCoverImage(fields.cover);
    } catch (const Exception&) {
      ShowFailure(std::current_exception(), fields.cover, std::string());
      return;
    }
  }
  const QStringList chosen = dialogs_.ChooseFiles(this, SaveDialog1());
  if (chosen.isEmpty()) return;
  const QString book = chosen.first();
  const std::string output = QPathToAnsi(book);
  // A file there that is no archive cannot be updated: it is replaced, if the user says so.
  const bool replace = HoldsNoArchive(output);
  if (replace &&
      !dialogs_.Question(this,
                         QStringLiteral("“%1”已经存在，但它不是电子书（ZIP）文件，无法更新。\n"
                                        "要用新书替换它吗？")
                             .arg(QFileInfo(book).fileName()),
                         QStringLiteral("替换文件"))) {
    return;
  }
  if (tempDir_)
    tempDir_->MakeAgainIfGone();
  else
    tempDir_ = std::make_unique<TPrivateTempDir>();

  const std::vector<TChapter> chapters = list_.Chapters();
  bool packed = false;
  bool closing = false;
  std::exception_ptr failure;
  QString splitReport;
  {
    SetConverting(true);
    struct Restore {
      TForm1* form;
      ~Restore() { form->SetConverting(false); }
    } restore{this};
    TBookConverter converter(tempDir_->Path(), packer_, &progress_);
    converter.SplitChapters = AskToSplit(chapters);
    converter.ReplaceOutput = replace;
    try {
      if (!closeRequested_) packed = converter.Convert(fields, chapters, output);
      if (!packed) failure = converter.LastPackerFailure();
    } catch (...) {
      // A staging failure, told as a packing one is; or the window was closed meanwhile.
      failure = std::current_exception();
    }
    closing = closeRequested_;
    if (converter.SplitChapters) splitReport = ChaptersFoundText(converter.SplitFiles());
    // A file with more headings than a file is split at says so below the book's path.
    for (const TSplitFile& file : converter.SplitFiles()) {
      if (!file.report.headingsLeftAsText) continue;
      splitReport += QStringLiteral("\n%1：章节标题超过 %2 个，其后的标题留作正文")
                         .arg(AnsiToQString(ExtractFileName(chapters[file.chapter].path)))
                         .arg(kMaxSplitHeadings);
    }
  }
  if (closing) return;  // the window was closed meanwhile; the conversion was told to stop
  if (packed) {
    QString detail = book;
    if (!splitReport.isEmpty()) detail += QLatin1Char('\n') + splitReport;
    dialogs_.Message(this, AnsiToQString(ConvertSucceededMessage()), detail);
  } else {
    ShowFailure(failure, fields.cover, output);
  }
}

namespace {

// What Yes will do, file by file: how many chapters and volumes, the first and the last few
// headings, and where the numbers skip or repeat.
QString SplitDetail(const std::vector<TChapter>& chapters, const std::vector<TSplitFile>& files) {
  constexpr size_t kFilesShown = 5;
  constexpr size_t kGapsShown = 5;
  const auto joined = [](const std::vector<std::string>& labels) {
    QStringList texts;
    for (const std::string& label : labels)
      texts << AnsiToQString(label);
    return texts.join(QStringLiteral(" / "));
  };
  QStringList blocks;
  for (size_t k = 0; k < files.size() && k < kFilesShown; ++k) {
    const THeadingReport& report = files[k].report;
    QString block = QStringLiteral("%1：%2 章")
                        .arg(AnsiToQString(chapters[files[k].chapter].label))
                        .arg(report.chapters);
    if (report.volumes > 0) block += QStringLiteral("，%1 卷").arg(report.volumes);
    block += QStringLiteral("\n") + joined(report.first);
    if (!report.last.empty()) block += QStringLiteral(" …… ") + joined(report.last);
    QStringList gaps;
    for (size_t g = 0; g < report.gaps.size() && g < kGapsShown; ++g) {
      gaps << QStringLiteral("%1 后面是 %2")
                  .arg(AnsiToQString(report.gaps[g].before), AnsiToQString(report.gaps[g].after));
    }
    if (report.gaps.size() > kGapsShown) gaps << QStringLiteral("共 %1 处").arg(report.gaps.size());
    if (!gaps.isEmpty())
      block += QStringLiteral("\n编号不连续：") + gaps.join(QStringLiteral("；"));
    blocks << block;
  }
  if (files.size() > kFilesShown)
    blocks << QStringLiteral("……还有 %1 个文件").arg(files.size() - kFilesShown);
  return blocks.join(QStringLiteral("\n\n"));
}

}  // namespace

void TForm1::ShowFailure(const std::exception_ptr& failure, const std::string& cover,
                         const std::string& output) {
  QStringList detail;
  const TFailureCause cause = FailureCause(failure, cover, output);
  if (cause == TFailureCause::fcCoverUnreadable) {
    detail << QStringLiteral(
                  "封面图片“%1”已不存在、无法读取或不是图片，请重新选择封面，"
                  "或在封面栏上右键清除封面。")
                  .arg(QFileInfo(AnsiToQString(cover)).fileName());
  } else if (cause != TFailureCause::fcUnknown) {
    detail << AnsiToQString(FailureCauseText(cause));
  }
  if (failure) detail << AnsiToQString(ErrorDisplayText(ExceptionMessage(failure)));
  dialogs_.Error(this, AnsiToQString(ConvertFailedMessage()), detail.join(QLatin1Char('\n')));
}

// Only when a listed file holds headings to split at, with what the split would make of them.
// The scan repaints the window between files, as staging does, and stops when the window is
// closed meanwhile.
bool TForm1::AskToSplit(const std::vector<TChapter>& chapters) {
  const std::vector<TSplitFile> files = FilesToSplit(chapters, BuiltInHeadingRule(), [this] {
    QCoreApplication::processEvents();
    return !closeRequested_;
  });
  return !files.empty() &&
         dialogs_.Question(this, QStringLiteral("检测到章节标题，要按章节拆分目录吗？"),
                           QStringLiteral("拆分章节"), SplitDetail(chapters, files));
}

// The chosen file is looked at at once: one that is no image is refused, and the field keeps
// what it had.
void TForm1::Button2Click() {
  const QStringList chosen = dialogs_.ChooseFiles(this, OpenDialog2());
  if (chosen.isEmpty()) return;
  try {
    CheckCoverImage(QPathToAnsi(chosen.first()));
  } catch (const Exception& e) {
    const bool noImage = dynamic_cast<const EInvalidGraphic*>(&e) != nullptr;
    dialogs_.Message(this,
                     noImage ? QStringLiteral("这个文件不是图片，不能用作封面。请选择 JPEG、PNG、"
                                              "GIF、BMP 或 TIFF 图片。")
                             : QStringLiteral("这个文件无法读取，不能用作封面。"),
                     AnsiToQString(ErrorDisplayText(e.Message())));
    return;
  }
  m_img->setText(chosen.first());
}

void TForm1::ClearCover() {
  if (!converting_) m_img->clear();
}

QMenu* TForm1::CoverMenu() {
  auto* menu = new QMenu(this);
  menu->setObjectName(QStringLiteral("CoverMenu"));
  QAction* clear = menu->addAction(QStringLiteral("清除封面"));
  clear->setEnabled(!m_img->text().isEmpty() && !converting_);
  connect(clear, &QAction::triggered, this, [this] { ClearCover(); });
  return menu;
}

void TForm1::Button6Click() {
  QStringList leftOut;
  for (const QString& path : dialogs_.ChooseFiles(this, OpenDialog1())) {
    if (!AddSourceFile(path)) leftOut << path;
  }
  ShowRows();
  RefreshStatus();
  TellLeftOut(leftOut);
}

void TForm1::m_upClick() {
  list_.MoveUp();
  ShowRows();
}

void TForm1::m_downClick() {
  list_.MoveDown();
  ShowRows();
}

void TForm1::m_delClick() {
  if (!list_.DeleteSelected()) {
    dialogs_.Message(this, QStringLiteral("请选择要删除的文件"), QString());
    return;
  }
  ShowRows();
  RefreshStatus();
}

void TForm1::m_delallClick() {
  if (!dialogs_.Question(this, QStringLiteral("确定要清空列表？？"), QStringLiteral("Lumbrella"))) {
    return;
  }
  list_.Clear();
  ShowRows();
  RefreshStatus();
}

void TForm1::m_listColumnClick(int column) {
  list_.ColumnClick(column);
  // The arrow shows which column the chapters are in order of, and which way.
  QHeaderView* header = m_list->horizontalHeader();
  header->setSortIndicatorShown(list_.LastSortColumn() >= 0);
  header->setSortIndicator(list_.LastSortColumn(),
                           list_.SortDescending() ? Qt::DescendingOrder : Qt::AscendingOrder);
  ShowRows();
}

QMenu* TForm1::EncodingMenu(int row) {
  const size_t at = static_cast<size_t>(row);
  auto* menu = new QMenu(this);
  menu->setObjectName(QStringLiteral("EncodingMenu"));
  auto* group = new QActionGroup(menu);
  QString automatic = QStringLiteral("自动检测");
  if (const std::optional<TEncodingChoice> found =
          TChapterList::DetectedEncoding(list_.Row(at).path)) {
    automatic +=
        QStringLiteral("（%1）").arg(AnsiToQString(TChapterList::EncodingLabel(found->encoding)));
  }
  using enum TSourceEncoding;
  for (const TSourceEncoding encoding :
       {seAuto, seUtf8, seGb18030, seBig5, seBig5Hkscs, seUtf16LE, seUtf16BE, seShiftJis}) {
    QAction* action = menu->addAction(
        encoding == seAuto ? automatic : AnsiToQString(TChapterList::EncodingLabel(encoding)));
    action->setCheckable(true);
    action->setChecked(list_.Row(at).encoding == encoding);
    group->addAction(action);
    connect(action, &QAction::triggered, this, [this, at, encoding] {
      Guarded([&] {
        if (at < list_.Count()) list_.SetEncoding(at, encoding);
      });
    });
    if (encoding == seAuto) menu->addSeparator();
  }
  return menu;
}

// --- While a book is made --------------------------------------------------------------

// The heading scan and the converter let the window handle its events between files, the
// packer between blocks, so that it repaints. Until it is done, nothing that would start another
// conversion or change the list or the book fields may run: those controls are disabled
// and drops are refused.
void TForm1::SetConverting(bool on) {
  converting_ = on;
  for (QWidget* control :
       std::initializer_list<QWidget*>{Button1, Button2, Button6, m_up, m_down, m_del, m_delall,
                                       m_list, m_title, m_zz, m_img}) {
    control->setEnabled(!on);
  }
  m_progress->setVisible(on);
  m_progress->setValue(0);
  if (on) m_progress->raise();
  if (!on && closeRequested_) {
    closeRequested_ = false;
    QMetaObject::invokeMethod(this, &QWidget::close, Qt::QueuedConnection);
  }
}

void TForm1::closeEvent(QCloseEvent* event) {
  if (converting_) {
    // The conversion is still on the stack below this event: stop the packer and close
    // once it has returned.
    closeRequested_ = true;
    progress_.RequestCancel();
    event->ignore();
    return;
  }
  QWidget::closeEvent(event);
}

// --- Dropped files ---------------------------------------------------------------------

namespace {

// Listing a file leaves it where it is: a drop is taken as a copy (or a link), never as the
// move a held Shift proposes, after which the source may delete the file.
bool TakeDrop(QDropEvent* event) {
  if (!event->mimeData()->hasUrls()) return false;
  for (Qt::DropAction action : {Qt::CopyAction, Qt::LinkAction}) {
    if (event->possibleActions() & action) {
      event->setDropAction(action);
      event->accept();
      return true;
    }
  }
  return false;
}

}  // namespace

void TForm1::dragEnterEvent(QDragEnterEvent* event) {
  if (!converting_) TakeDrop(event);
}

void TForm1::dragMoveEvent(QDragMoveEvent* event) {
  if (!converting_) TakeDrop(event);
}

void TForm1::dropEvent(QDropEvent* event) {
  if (converting_ || !TakeDrop(event)) return;
  Guarded([this, event] {
    QStringList leftOut;
    for (const QUrl& url : event->mimeData()->urls()) {
      if (!url.isLocalFile()) {
        leftOut << url.toString();
      } else if (!AddSourceFile(url.toLocalFile())) {
        leftOut << url.toLocalFile();
      }
      RefreshStatus();
    }
    ShowRows();
    TellLeftOut(leftOut);
  });
}

}  // namespace lumbrella
