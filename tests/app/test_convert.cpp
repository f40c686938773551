// Convert from the window: the save dialog, the result messages with their detail line,
// the error display, the progress bar, the private folder made again, and the guard that
// keeps a second conversion (or an edit) from starting while the window handles its events.
#include <QImage>
#include <QLineEdit>
#include <QMenu>
#include <QMessageBox>
#include <QProcess>
#include <QProgressBar>
#include <QRegularExpression>
#include <QTimer>

#include "app/app_text.h"
#include "book/failure.h"
#include "common/test_util.h"
#include "platform/errors.h"
#include "scripted_dialogs.h"

using namespace lumbrella;
using namespace lumbrella::test;

namespace {

const QString kSucceeded = QStringLiteral("恭喜你，文件转换成功");
const QString kFailed = QStringLiteral("灰常遗憾，未能转换成功");

QStringList Chapters() {
  QStringList paths;
  for (const QString& folder : {QStringLiteral(LUMBRELLA_SOURCE_DIR "/examples"),
                                QStringLiteral(LUMBRELLA_SOURCE_DIR "/tests/data")}) {
    QDir dir(folder);
    for (const QString& name : dir.entryList({QStringLiteral("*.txt")}, QDir::Files, QDir::Name))
      paths << dir.filePath(name);
  }
  return paths;
}

// What unzip prints for these arguments.
QString Unzip(const QStringList& arguments) {
  QProcess unzip;
  unzip.start(QStringLiteral("unzip"), arguments);
  return unzip.waitForFinished() ? QString::fromUtf8(unzip.readAllStandardOutput()) : QString();
}

// The failure box's detail: what the cause means, then the technical line.
QString FailureDetail(TFailureCause cause, const QString& technical) {
  return AnsiToQString(FailureCauseText(cause)) + QLatin1Char('\n') + technical;
}

bool StagingTreeLeft(TWindow& w) {
  return QDir(QString::fromStdString(w.form->TempDir()) + QStringLiteral("EPUB")).exists();
}

// The controls a conversion locks that are enabled now.
const QStringList kLocked = {"Button1",  "Button2", "Button6", "m_up", "m_down", "m_del",
                             "m_delall", "m_list",  "m_title", "m_zz", "m_img"};
QStringList Enabled(TWindow& w) {
  QStringList enabled;
  for (const QString& name : kLocked) {
    if (Control(*w.form, name.toLatin1().constData())->isEnabled()) enabled << name;
  }
  return enabled;
}

// Whether the widget draws anything in plain red (the Convert button's text when enabled).
bool ShowsRed(QWidget* widget) {
  const QImage image = widget->grab().toImage();
  for (int y = 0; y < image.height(); ++y) {
    for (int x = 0; x < image.width(); ++x) {
      const QColor c = image.pixelColor(x, y);
      if (c.red() > 200 && c.green() < 60 && c.blue() < 60) return true;
    }
  }
  return false;
}

// An object whose event handling fails, as a handler the window forgot to guard would.
class TThrowingObject : public QObject {
 public:
  bool event(QEvent* event) override {
    if (event->type() == QEvent::User) throw EFOpenError("Cannot open file \"x\". gone");
    return QObject::event(event);
  }
};

}  // namespace

class TestConvert : public QObject {
  Q_OBJECT

 private slots:
  void wholeBook() {
    TWindow w;
    const QStringList chapters = Chapters();
    QVERIFY(chapters.size() >= 3);
    w.Start(chapters);
    Control<QLineEdit>(*w.form, "m_title")->setText(QStringLiteral("西游记"));
    Control<QLineEdit>(*w.form, "m_zz")->setText(QStringLiteral("吴承恩"));
    w.dialogs.fileAnswers = {{w.Image(QStringLiteral("封面.png"), {60, 80})}};
    w.Click("Button2");
    QList<int> progress;
    auto* bar = Control<QProgressBar>(*w.form, "m_progress");
    connect(bar, &QProgressBar::valueChanged, this, [&] {
      if (bar->isVisible()) progress << bar->value();
    });
    const QString book = w.Convert(QStringLiteral("西游记.epub"));

    QCOMPARE(w.dialogs.Kinds(), QStringList({"files", "files", "message"}));
    QCOMPARE(w.dialogs.calls[1].setup.fileName, QStringLiteral("西游记"));
    QCOMPARE(w.dialogs.calls[2].text, kSucceeded);
    QCOMPARE(w.dialogs.calls[2].detail, book);
    const std::string problems = EpubcheckProblems(book.toStdString());
    QVERIFY2(problems.empty(), problems.c_str());
    QVERIFY(!StagingTreeLeft(w));
    QVERIFY2(std::any_of(progress.begin(), progress.end(), [](int v) { return v > 0 && v < 50; }),
             "the bar stood still while the chapters were staged");
    QVERIFY(std::is_sorted(progress.begin(), progress.end()));
    QCOMPARE(progress.last(), 100);
    QVERIFY(!bar->isVisible());
    QCOMPARE(Enabled(w), kLocked);
    // The list and the fields are left for the next book.
    QCOMPARE(w.form->ChapterList().Count(), static_cast<size_t>(chapters.size()));
  }

  void nothingToDo() {
    TWindow w;
    w.Start({});
    w.Click("Button1");  // no rows: a word on what to do, nothing else
    QCOMPARE(w.dialogs.Kinds(), QStringList({"message"}));
    QVERIFY(w.dialogs.calls[0].text.startsWith(QStringLiteral("请先导入TXT文件")));
    w.dialogs.calls.clear();

    w.form.reset();
    w.Start({Chapters().first()});
    w.Click("Button1");  // the save dialog cancelled: nothing written, nothing said
    QCOMPARE(w.dialogs.Kinds(), QStringList({"files"}));
    QCOMPARE(w.dialogs.calls[0].setup.fileName, QStringLiteral("myepub"));
    QVERIFY(QDir(w.dir.path()).isEmpty());
    QVERIFY(!StagingTreeLeft(w));
    // A cleaner of /tmp removed the private folder while the window was open.
    QVERIFY(QDir(QString::fromStdString(w.form->TempDir())).removeRecursively());
    w.Convert();
    QCOMPARE(w.dialogs.calls.last().text, kSucceeded);
    QVERIFY(QDir(QString::fromStdString(w.form->TempDir())).exists());
  }

  // Staging and packing fail in the same box: the failure text, what the cause means, the
  // technical line; nothing is written and the window goes on working. A cover gone since it
  // was chosen is named, and stops Convert before the save dialog.
  void failureBox_data() {
    QTest::addColumn<QString>("gone");
    QTest::newRow("a chapter") << "chapter";
    QTest::newRow("the book's folder") << "folder";
    QTest::newRow("the cover") << "cover";
  }
  void failureBox() {
    QFETCH(QString, gone);
    TWindow w;
    const QString chapter = w.File(QStringLiteral("gone.txt"), "text");
    w.Start({chapter});
    const QString cover = w.dir.filePath(QStringLiteral("封面.png"));
    if (gone == "cover") {
      w.dialogs.fileAnswers = {{w.Image(QStringLiteral("封面.png"))}};
      w.Click("Button2");
      QVERIFY(QFile::remove(cover));
    }
    if (gone == "chapter") QVERIFY(QFile::remove(chapter));
    const QString book = w.Convert(gone == "folder" ? QStringLiteral("no/such/folder/book.epub")
                                                    : QStringLiteral("book.epub"));
    QCOMPARE(w.dialogs.Kinds(), QStringList({"files", "error"}));
    QCOMPARE(w.dialogs.calls[1].text, kFailed);
    const QString line = QStringLiteral("Cannot %1 file \"%2\". No such file or directory.");
    const QString detail = w.dialogs.calls[1].detail;
    if (gone == "cover") {
      QVERIFY2(detail.section('\n', 0, 0).contains(QStringLiteral("“封面.png”")),
               qPrintable(detail));
      QCOMPARE(detail.section('\n', 1), line.arg("open", cover));
    } else {
      QCOMPARE(detail,
               gone == "chapter"
                   ? FailureDetail(TFailureCause::fcChapterUnreadable, line.arg("open", chapter))
                   : FailureDetail(TFailureCause::fcFolderMissing, line.arg("create", book)));
    }
    QCOMPARE(QDir(w.dir.path()).entryList(QDir::Files),
             gone == "chapter" ? QStringList() : QStringList({"gone.txt"}));
    QVERIFY(!StagingTreeLeft(w));
    QCOMPARE(Enabled(w), kLocked);
    if (gone != "chapter") return;
    w.File(QStringLiteral("gone.txt"), "back again");
    w.Convert();
    QCOMPARE(w.dialogs.calls.last().text, kSucceeded);
  }

  // A file at the chosen path that is no archive: the window asks; 是 puts the book in its
  // place, 否 leaves it and writes nothing.
  void replaceQuestion_data() {
    QTest::addColumn<bool>("yes");
    QTest::newRow("yes") << true;
    QTest::newRow("no") << false;
  }
  void replaceQuestion() {
    QFETCH(bool, yes);
    TWindow w;
    w.Start({Chapters().first()});
    const QByteArray text = "a text file under a book's name";
    const QString book = w.File(QStringLiteral("旧书.epub"), text);
    w.dialogs.questionAnswers = {yes};
    w.Convert(QStringLiteral("旧书.epub"));
    QCOMPARE(w.dialogs.Kinds(), yes ? QStringList({"files", "question", "message"})
                                    : QStringList({"files", "question"}));
    QVERIFY(w.dialogs.calls[1].text.startsWith(QStringLiteral("“旧书.epub”")));
    QVERIFY(!w.dialogs.calls[1].caption.isEmpty());
    QFile file(book);
    QVERIFY(file.open(QIODevice::ReadOnly));
    if (!yes) {
      QCOMPARE(file.readAll(), text);
      return;
    }
    QCOMPARE(w.dialogs.calls[2].text, kSucceeded);
    QCOMPARE(file.read(4), QByteArray("PK\3\4"));
    QCOMPARE(QDir(w.dir.path()).entryList(QDir::Files | QDir::Hidden).size(), 1);
  }

  void noSecondConversionMeanwhile() {
    TWindow w;
    const QStringList chapters = Chapters();
    w.Start(chapters);
    const QString dropped = w.File(QStringLiteral("late.txt"));
    bool ranWhileScanning = false;  // for headings, before anything is staged
    bool ranWhileStaging = false;
    bool armed = true;
    QTimer poll;
    poll.setInterval(0);
    // Runs from the event dispatching between files, with the conversion on the stack.
    connect(&poll, &QTimer::timeout, w.form.get(), [&] {
      const QString staging = QString::fromStdString(w.form->TempDir()) + "EPUB/";
      if (!QDir(staging).exists()) {
        ranWhileScanning = w.form->Converting();
        return;
      }
      poll.stop();
      ranWhileStaging = w.form->Converting() && !QFile::exists(staging + "OEBPS/toc.ncx");
      QCOMPARE(Enabled(w), QStringList());
      QVERIFY(Control(*w.form, "m_progress")->isVisible());
      QVERIFY(!ShowsRed(Control(*w.form, "Button1")));  // its red text greys out with the rest
      w.Convert(QStringLiteral("second.epub"));
      w.Click("m_delall");
      QCOMPARE(w.Drop({dropped}), Qt::IgnoreAction);
    });
    w.dialogs.onFileDialog = [&] {
      if (!armed) return;
      armed = false;
      poll.start();
    };
    w.Convert(QStringLiteral("first.epub"));

    QVERIFY2(ranWhileScanning, "no events were handled while the files were scanned");
    QVERIFY2(ranWhileStaging, "no events were handled while the chapters were staged");
    QCOMPARE(w.dialogs.Kinds(), QStringList({"files", "message"}));
    QCOMPARE(w.dialogs.calls[1].text, kSucceeded);
    QVERIFY(!QFile::exists(w.dir.filePath(QStringLiteral("second.epub"))));
    QCOMPARE(w.form->ChapterList().Count(), static_cast<size_t>(chapters.size()));
    QCOMPARE(Enabled(w), kLocked);
    QVERIFY(ShowsRed(Control(*w.form, "Button1")));
  }

  // After the save dialog, a file holding two headings brings the question, with what the
  // split would make of it: the chapters, their headings, a number that skips; 是 splits it at
  // them, and the success box says how many chapters were found; 否 makes the book as always.
  void splitQuestion_data() {
    QTest::addColumn<bool>("yes");
    QTest::addColumn<QStringList>("pages");
    QTest::addColumn<int>("detailLines");
    QTest::newRow("yes") << true << QStringList({"OEBPS/0-1.html", "OEBPS/0.html", "OEBPS/1.html"})
                         << 2;
    QTest::newRow("no") << false << QStringList({"OEBPS/0.html", "OEBPS/1.html"}) << 1;
  }
  void splitQuestion() {
    QFETCH(bool, yes);
    QFETCH(QStringList, pages);
    QFETCH(int, detailLines);
    TWindow w;
    w.Start({w.File(QStringLiteral("小说.txt"), "第一章 起\r\nA\r\n第三章 终\r\nB"),
             Chapters().first()});
    w.dialogs.questionAnswers = {yes};
    const QString book = w.Convert();
    QCOMPARE(w.dialogs.Kinds(), QStringList({"files", "question", "message"}));
    QCOMPARE(w.dialogs.calls[1].text, QStringLiteral("检测到章节标题，要按章节拆分目录吗？"));
    QCOMPARE(w.dialogs.calls[1].caption, QStringLiteral("拆分章节"));
    const QString question = w.dialogs.calls[1].detail;
    for (const QString& shown :
         {QStringLiteral("小说"), QStringLiteral("2 章"), QStringLiteral("第一章 起"),
          QStringLiteral("第三章 终"), QStringLiteral("第一章 后面是 第三章")})
      QVERIFY2(question.contains(shown), qPrintable(question));
    QCOMPARE(w.dialogs.calls[2].text, kSucceeded);
    const QStringList detail = w.dialogs.calls[2].detail.split('\n');
    QCOMPARE(detail.size(), detailLines);
    QCOMPARE(detail[0], book);
    if (yes) QVERIFY2(detail[1].contains(QStringLiteral(" 2 个章节")), qPrintable(detail[1]));
    const QStringList entries = Unzip({QStringLiteral("-Z1"), book}).split('\n');
    QCOMPARE(entries.filter(QRegularExpression(QStringLiteral("\\.html$"))), pages);
  }

  // An encoding chosen in a row's menu is what the heading scan and the book read. Seven
  // Shift_JIS characters are too few to tell, and read as GB18030 they hold no heading.
  void encodingChosenInTheMenuReachesTheBook_data() {
    QTest::addColumn<QString>("chosen");
    QTest::addColumn<QStringList>("kinds");
    QTest::addColumn<QString>("text");
    QTest::newRow("detected") << QString() << QStringList({"files", "message"})
                              << QStringLiteral("戞擇復");
    QTest::newRow("by hand") << QStringLiteral("Shift_JIS")
                             << QStringList({"files", "question", "message"})
                             << QStringLiteral("<h2>第二章</h2>");
  }
  void encodingChosenInTheMenuReachesTheBook() {
    QFETCH(QString, chosen);
    QFETCH(QStringList, kinds);
    QFETCH(QString, text);
    TWindow w;
    // 第一章 雨 第二章 雪, a line each.
    w.Start({w.File(QStringLiteral("日本.txt"),
                    "\x91\xE6\x88\xEA\x8F\xCD\r\n\x89\x4A\r\n"
                    "\x91\xE6\x93\xF1\x8F\xCD\r\n\x90\xE1")});
    const std::unique_ptr<QMenu> menu(w.form->EncodingMenu(0));
    const QList<QAction*> actions = menu->actions();
    QVERIFY(actions.first()->isChecked());
    QVERIFY(actions.first()->text().startsWith(QStringLiteral("自动检测（")));
    for (QAction* action : actions) {
      if (!chosen.isEmpty() && action->text() == chosen) action->trigger();
    }
    const QModelIndex row = w.List()->model()->index(0, 1);
    QCOMPARE(row.data(Qt::ToolTipRole).toString().endsWith(QStringLiteral("（手动选择）")),
             !chosen.isEmpty());

    w.dialogs.questionAnswers = {true};
    const QString book = w.Convert();
    QCOMPARE(w.dialogs.Kinds(), kinds);
    const QString pages = Unzip({QStringLiteral("-p"), book, QStringLiteral("OEBPS/*.html")});
    QVERIFY2(pages.contains(text), qPrintable(pages));
  }

  void closingMeanwhileStopsThePacker() {
    TWindow w;
    w.Start(Chapters());
    bool refused = false;
    w.dialogs.onFileDialog = [&] {
      QTimer::singleShot(0, w.form.get(), [&] { refused = !w.form->close(); });
    };
    const QString book = w.Convert();
    QVERIFY(refused);  // not while the conversion is on the stack
    QCOMPARE(w.dialogs.Kinds(), QStringList({"files"}));
    QTRY_VERIFY(!w.form->isVisible());
    QVERIFY(!QFile::exists(book));
    QVERIFY(!StagingTreeLeft(w));
  }

  void errorDisplayText() {
    const struct {
      QByteArray message, shown;
    } cases[] = {
        {"Stream read error", "Stream read error."},
        {"Done.", "Done."},
        {"Not a valid zip file!", "Not a valid zip file!"},  // "!" is below the period
        {"a/", "a/."},                                       // "/" is above it
        {"\xb4\xed\xce\xf3", "\xb4\xed\xce\xf3."},           // double-byte text
        {"", ""},
    };
    for (const auto& c : cases)
      QCOMPARE(QByteArray::fromStdString(ErrorDisplayText(c.message.toStdString())), c.shown);
  }

  // The real boxes behind the seam. A message carrying a path shows that path as it is,
  // even when the name looks like markup.
  void messageBoxes_data() {
    QTest::addColumn<QString>("caption");
    QTest::addColumn<int>("icon");
    QTest::addColumn<int>("buttons");
    QTest::newRow("plain") << kApplicationTitle << int(QMessageBox::NoIcon) << int(QMessageBox::Ok);
    QTest::newRow("error") << kApplicationTitle << int(QMessageBox::Critical)
                           << int(QMessageBox::Ok);
    QTest::newRow("question") << QStringLiteral("Lumbrella") << int(QMessageBox::Question)
                              << int(QMessageBox::Yes | QMessageBox::No);
  }
  void messageBoxes() {
    QFETCH(QString, caption);
    QFETCH(int, icon);
    QFETCH(int, buttons);
    const QString text = QStringLiteral("Cannot open file \"/tmp/<b>A&amp;B</b>.txt\". gone.");
    const QString detail = QStringLiteral("/tmp/<i>A&amp;B</i>.epub");
    bool shown = false;
    QTimer::singleShot(0, this, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      QVERIFY(box != nullptr);
      // Pressed first, so that a failed comparison leaves no box open; it is read until the
      // box's own loop ends, after this.
      box->button(buttons & QMessageBox::Yes ? QMessageBox::Yes : QMessageBox::Ok)->click();
      shown = true;
      QCOMPARE(box->windowTitle(), caption);
      QCOMPARE(box->text(), text);
      QCOMPARE(int(box->icon()), icon);
      QCOMPARE(int(box->standardButtons()), buttons);
      QCOMPARE(box->informativeText(), detail);
      for (const char* label : {"qt_msgbox_label", "qt_msgbox_informativelabel"})
        QCOMPARE(box->findChild<QLabel*>(QLatin1String(label))->textFormat(), Qt::PlainText);
    });
    TQtUserDialogs dialogs;
    const QByteArray kind = QTest::currentDataTag();
    if (kind == "plain") dialogs.Message(nullptr, text, detail);
    if (kind == "error") dialogs.Error(nullptr, text, detail);
    if (kind == "question") QVERIFY(dialogs.Question(nullptr, text, caption, detail));
    QVERIFY(shown);
  }

  void exceptionReachingTheEventLoop() {
    TScriptedDialogs dialogs;
    auto* app = static_cast<TApplication*>(QCoreApplication::instance());
    app->SetDialogs(&dialogs);
    TThrowingObject object;
    QEvent event(QEvent::User);
    QCoreApplication::sendEvent(&object, &event);
    app->SetDialogs(nullptr);
    QCOMPARE(dialogs.Kinds(), QStringList({"error"}));
    QCOMPARE(dialogs.calls[0].text, QStringLiteral("Cannot open file \"x\". gone."));
  }
};

LUMBRELLA_APP_TEST_MAIN(TestConvert)
#include "test_convert.moc"
