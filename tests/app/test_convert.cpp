// Convert from the window: the save dialog, the result messages, the error display, the
// progress bar, and the guard that keeps a second conversion (or an edit) from starting
// while the packer lets the window handle its events.
#include <QApplication>
#include <QDir>
#include <QImage>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QMimeData>
#include <QProcess>
#include <QProgressBar>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <QTimer>
#include <memory>

#include "app/app_text.h"
#include "platform/errors.h"
#include "scripted_dialogs.h"

using namespace lumbrella;
using lumbrella::test::Click;
using lumbrella::test::Control;
using lumbrella::test::MakeFile;
using lumbrella::test::TScriptedDialogs;

namespace {

const QString kSucceeded = QStringLiteral("恭喜你，文件转换成功");
const QString kFailed = QStringLiteral("灰常遗憾，未能转换成功");

QStringList Chapters() {
  QStringList paths;
  for (const QString& folder : {lumbrella::test::ExamplesDir(),
                                QStringLiteral(LUMBRELLA_SOURCE_DIR "/../shared/samples")}) {
    QDir dir(folder);
    for (const QString& name : dir.entryList({QStringLiteral("*.txt")}, QDir::Files, QDir::Name)) {
      paths << dir.filePath(name);
    }
  }
  return paths;
}

struct Fixture {
  QTemporaryDir dir;
  TScriptedDialogs dialogs;
  std::unique_ptr<TForm1> form;

  void Start(const QStringList& arguments) {
    form = std::make_unique<TForm1>(dialogs, arguments, QUrl());
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
  }
  QString Out(const QString& name) { return dir.filePath(name); }
  void SetField(const char* name, const QString& text) {
    Control<QLineEdit>(*form, name)->setText(text);
  }
  bool StagingTreeLeft() {
    return QDir(QString::fromStdString(form->TempDir()) + QStringLiteral("EPUB")).exists();
  }
  // Every control a conversion locks, and whether each is enabled.
  QStringList Enabled() {
    QStringList enabled;
    for (const char* name : {"Button1", "Button2", "Button6", "m_up", "m_down", "m_del", "m_delall",
                             "m_list", "m_title", "m_zz"}) {
      if (Control(*form, name)->isEnabled()) enabled << QString::fromLatin1(name);
    }
    return enabled;
  }
};

const QStringList kAllControls = {"Button1", "Button2",  "Button6", "m_up",    "m_down",
                                  "m_del",   "m_delall", "m_list",  "m_title", "m_zz"};

QString Validate(const QString& book) {
  const QString jar = QStringLiteral("/usr/share/java/epubcheck.jar");
  if (!QFile::exists(jar)) return QStringLiteral("epubcheck is not installed");
  QProcess check;
  check.setProcessChannelMode(QProcess::MergedChannels);
  check.start(QStringLiteral("java"), {QStringLiteral("-jar"), jar, book});
  if (!check.waitForFinished(120000)) return QStringLiteral("epubcheck did not finish");
  if (check.exitStatus() == QProcess::NormalExit && check.exitCode() == 0) return {};
  return QString::fromUtf8(check.readAll());
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
    Fixture f;
    const QStringList chapters = Chapters();
    QVERIFY(chapters.size() >= 3);
    f.Start(chapters);
    f.SetField("m_title", QStringLiteral("西游记"));
    f.SetField("m_zz", QStringLiteral("吴承恩"));
    const QString cover = f.dir.filePath(QStringLiteral("封面.png"));
    QImage picture(60, 80, QImage::Format_RGB32);
    picture.fill(Qt::darkRed);
    QVERIFY(picture.save(cover));
    f.dialogs.fileAnswers = {{cover}};
    Click(*f.form, "Button2");

    const QString book = f.Out(QStringLiteral("西游记.epub"));
    f.dialogs.fileAnswers = {{book}};
    QList<int> progress;
    auto* bar = Control<QProgressBar>(*f.form, "m_progress");
    connect(bar, &QProgressBar::valueChanged, this, [&] {
      if (bar->isVisible()) progress << bar->value();
    });
    Click(*f.form, "Button1");

    QCOMPARE(f.dialogs.Kinds(), QStringList({"files", "files", "message"}));
    QCOMPARE(f.dialogs.calls[1].setup.fileName, QStringLiteral("西游记"));
    QCOMPARE(f.dialogs.calls[2].text, kSucceeded);

    QVERIFY(QFile::exists(book));
    const QString problems = Validate(book);
    QVERIFY2(problems.isEmpty(), qPrintable(problems));
    QVERIFY(!f.StagingTreeLeft());
    QVERIFY2(!progress.isEmpty(), "the progress bar was never fed");
    QVERIFY(std::is_sorted(progress.begin(), progress.end()));
    QCOMPARE(progress.last(), 100);
    QVERIFY(!bar->isVisible());
    QCOMPARE(f.Enabled(), kAllControls);
    // The list and the fields are left for the next book.
    QCOMPARE(f.form->ChapterList().Count(), static_cast<size_t>(chapters.size()));
  }

  void nothingToDo() {
    Fixture f;
    f.Start({});
    Click(*f.form, "Button1");  // no rows: no dialog at all
    QVERIFY(f.dialogs.calls.isEmpty());

    f.form.reset();
    f.Start({Chapters().first()});
    Click(*f.form, "Button1");  // the save dialog cancelled: nothing written, nothing said
    QCOMPARE(f.dialogs.Kinds(), QStringList({"files"}));
    QCOMPARE(f.dialogs.calls[0].setup.fileName, QStringLiteral("myepub"));
    QVERIFY(QDir(f.dir.path()).isEmpty());
    QVERIFY(!f.StagingTreeLeft());
  }

  void stagingErrorGoesToTheErrorDisplay() {
    Fixture f;
    const QString chapter = MakeFile(f.dir.path(), QStringLiteral("gone.txt"), "text");
    f.Start({chapter});
    QVERIFY(QFile::remove(chapter));
    f.dialogs.fileAnswers = {{f.Out(QStringLiteral("book.epub"))}};
    Click(*f.form, "Button1");
    QCOMPARE(f.dialogs.Kinds(), QStringList({"files", "error"}));
    QCOMPARE(f.dialogs.calls[1].text,
             QStringLiteral("Cannot open file \"%1\". No such file or directory.").arg(chapter));
    QCOMPARE(f.Enabled(), kAllControls);  // the window goes on working

    MakeFile(f.dir.path(), QStringLiteral("gone.txt"), "back again");
    f.dialogs.fileAnswers = {{f.Out(QStringLiteral("book.epub"))}};
    Click(*f.form, "Button1");
    QCOMPARE(f.dialogs.calls.last().text, kSucceeded);
  }

  void packerFailureGivesTheFailureMessage() {
    Fixture f;
    f.Start({Chapters().first()});
    f.dialogs.fileAnswers = {{f.Out(QStringLiteral("no/such/folder/book.epub"))}};
    Click(*f.form, "Button1");
    QCOMPARE(f.dialogs.Kinds(), QStringList({"files", "message"}));
    QCOMPARE(f.dialogs.calls[1].text, kFailed);
    QVERIFY(!f.StagingTreeLeft());
  }

  void noSecondConversionMeanwhile() {
    Fixture f;
    const QStringList chapters = Chapters();
    f.Start(chapters);
    const QString dropped = MakeFile(f.dir.path(), QStringLiteral("late.txt"));
    bool ranDuringPacking = false;
    QStringList enabledMeanwhile;
    bool progressShown = false;
    bool convertLooksEnabled = true;
    bool armed = true;
    f.dialogs.onFileDialog = [&] {
      if (!armed) return;
      armed = false;
      // Runs from the packer's event dispatching, with the conversion on the stack.
      QTimer::singleShot(0, f.form.get(), [&] {
        ranDuringPacking = f.form->Converting();
        enabledMeanwhile = f.Enabled();
        progressShown = Control(*f.form, "m_progress")->isVisible();
        convertLooksEnabled = ShowsRed(Control(*f.form, "Button1"));
        f.dialogs.fileAnswers = {{f.Out(QStringLiteral("second.epub"))}};
        Click(*f.form, "Button1");
        Click(*f.form, "m_delall");
        QMimeData mime;
        mime.setUrls({QUrl::fromLocalFile(dropped)});
        QDragEnterEvent enter(QPoint(200, 150), Qt::CopyAction, &mime, Qt::LeftButton,
                              Qt::NoModifier);
        QApplication::sendEvent(f.form.get(), &enter);
        QDropEvent drop(QPointF(200, 150), Qt::CopyAction, &mime, Qt::LeftButton, Qt::NoModifier);
        QApplication::sendEvent(f.form.get(), &drop);
      });
    };
    f.dialogs.fileAnswers = {{f.Out(QStringLiteral("first.epub"))}};
    Click(*f.form, "Button1");

    QVERIFY2(ranDuringPacking, "the packer never let the window handle its events");
    QVERIFY(enabledMeanwhile.isEmpty());
    QVERIFY(!convertLooksEnabled);  // its red text greys out with the rest
    QVERIFY(progressShown);
    QCOMPARE(f.dialogs.Kinds(), QStringList({"files", "message"}));
    QCOMPARE(f.dialogs.calls[1].text, kSucceeded);
    QVERIFY(!QFile::exists(f.Out(QStringLiteral("second.epub"))));
    QCOMPARE(f.form->ChapterList().Count(), static_cast<size_t>(chapters.size()));
    QCOMPARE(f.Enabled(), kAllControls);
    QVERIFY(ShowsRed(Control(*f.form, "Button1")));
  }

  void closingMeanwhileStopsThePacker() {
    Fixture f;
    f.Start(Chapters());
    bool refused = false;
    f.dialogs.onFileDialog = [&] {
      QTimer::singleShot(0, f.form.get(), [&] { refused = !f.form->close(); });
    };
    const QString book = f.Out(QStringLiteral("book.epub"));
    f.dialogs.fileAnswers = {{book}};
    Click(*f.form, "Button1");
    QVERIFY(refused);  // not while the conversion is on the stack
    QCOMPARE(f.dialogs.Kinds(), QStringList({"files"}));
    QTRY_VERIFY(!f.form->isVisible());
    QVERIFY(!QFile::exists(book));
    QVERIFY(!f.StagingTreeLeft());
  }

  void errorDisplayText_data() {
    QTest::addColumn<QByteArray>("message");
    QTest::addColumn<QByteArray>("shown");
    QTest::newRow("letter") << QByteArray("Stream read error") << QByteArray("Stream read error.");
    QTest::newRow("period kept") << QByteArray("Done.") << QByteArray("Done.");
    QTest::newRow("exclamation is below the period")
        << QByteArray("Not a valid zip file!") << QByteArray("Not a valid zip file!");
    QTest::newRow("closing quote is below the period")
        << QByteArray("\"a\"") << QByteArray("\"a\"");
    QTest::newRow("slash is above it") << QByteArray("a/") << QByteArray("a/.");
    QTest::newRow("double-byte text")
        << QByteArray("\xb4\xed\xce\xf3") << QByteArray("\xb4\xed\xce\xf3.");
    QTest::newRow("empty") << QByteArray() << QByteArray();
  }
  void errorDisplayText() {
    QFETCH(QByteArray, message);
    QFETCH(QByteArray, shown);
    QCOMPARE(QByteArray::fromStdString(ErrorDisplayText(message.toStdString())), shown);
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
    const QString kind = QString::fromLatin1(QTest::currentDataTag());
    QString seenCaption, seenText;
    int seenIcon = -1, seenButtons = -1;
    Qt::TextFormat seenFormat = Qt::AutoText;
    QTimer::singleShot(0, this, [&] {
      auto* box = qobject_cast<QMessageBox*>(QApplication::activeModalWidget());
      QVERIFY(box != nullptr);
      seenCaption = box->windowTitle();
      seenText = box->text();
      seenIcon = box->icon();
      seenButtons = int(box->standardButtons());
      seenFormat = box->findChild<QLabel*>(QStringLiteral("qt_msgbox_label"))->textFormat();
      box->button(box->standardButtons() & QMessageBox::Yes ? QMessageBox::Yes : QMessageBox::Ok)
          ->click();
    });
    TQtUserDialogs dialogs;
    if (kind == QLatin1String("plain")) dialogs.Message(nullptr, text);
    if (kind == QLatin1String("error")) dialogs.Error(nullptr, text);
    if (kind == QLatin1String("question")) QVERIFY(dialogs.Question(nullptr, text, caption));
    QCOMPARE(seenCaption, caption);
    QCOMPARE(seenText, text);
    QCOMPARE(seenIcon, icon);
    QCOMPARE(seenButtons, buttons);
    QCOMPARE(seenFormat, Qt::PlainText);
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
