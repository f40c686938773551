// The main window driven as a person would: start-up, layout, dropped files and the list
// commands, with every dialog answered through the scripted seam.
#include <QApplication>
#include <QHeaderView>
#include <QLabel>
#include <QLineEdit>
#include <QMimeData>
#include <QScreen>
#include <QTableView>
#include <QTemporaryDir>
#include <QTest>
#include <memory>

#include "scripted_dialogs.h"

using namespace lumbrella;
using lumbrella::test::Click;
using lumbrella::test::Control;
using lumbrella::test::MakeFile;
using lumbrella::test::TScriptedDialogs;

namespace {

// One window with its own folder of chapter files, shown on the offscreen screen.
struct Fixture {
  QTemporaryDir dir;
  TScriptedDialogs dialogs;
  std::unique_ptr<TForm1> form;

  QString File(const QString& name) { return MakeFile(dir.path(), name); }

  void Start(const QStringList& arguments) {
    form = std::make_unique<TForm1>(dialogs, arguments, QUrl());
    form->show();
    QVERIFY(QTest::qWaitForWindowExposed(form.get()));
  }
  // Starts with one row per name (files made first).
  void StartWithRows(const QStringList& names) {
    QStringList paths;
    for (const QString& name : names)
      paths << File(name + QStringLiteral(".txt"));
    Start(paths);
  }

  QTableView* List() { return Control<QTableView>(*form, "m_list"); }
  QString Status() { return Control<QLabel>(*form, "Label4")->text(); }
  QStringList Column(int column) {
    QStringList texts;
    QAbstractItemModel* model = List()->model();
    for (int row = 0; row < model->rowCount(); ++row) {
      texts << model->index(row, column).data().toString();
    }
    return texts;
  }
  QStringList Names() { return Column(1); }
  void SelectRow(int row) {
    QTableView* list = List();
    QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                      list->visualRect(list->model()->index(row, 1)).center());
  }
  // The selected row as the view shows it; it must agree with the model's.
  int Selected() {
    const QModelIndexList rows = List()->selectionModel()->selectedRows();
    const int shown = rows.isEmpty() ? -1 : rows.first().row();
    if (shown != form->ChapterList().Selected()) {
      qWarning("view selects %d, model %d", shown, form->ChapterList().Selected());
      return -2;
    }
    return shown;
  }
  void ClickHeader(int column) {
    QHeaderView* header = List()->horizontalHeader();
    QTest::mouseClick(
        header->viewport(), Qt::LeftButton, {},
        QPoint(header->sectionViewportPosition(column) + header->sectionSize(column) / 2,
               header->height() / 2));
  }
  // Drops the files as a file manager offers them (copy, move or link); with Shift held
  // the proposed action is a move. Returns the action the window took.
  Qt::DropAction Drop(const QStringList& paths, Qt::KeyboardModifiers keys = Qt::NoModifier) {
    QList<QUrl> urls;
    for (const QString& path : paths)
      urls << QUrl::fromLocalFile(path);
    QMimeData mime;
    mime.setUrls(urls);
    const QPoint at(200, 150);
    const Qt::DropActions offered = Qt::CopyAction | Qt::MoveAction | Qt::LinkAction;
    QDragEnterEvent enter(at, offered, &mime, Qt::LeftButton, keys);
    QApplication::sendEvent(form.get(), &enter);
    if (!enter.isAccepted()) return Qt::IgnoreAction;
    QDropEvent drop(QPointF(at), offered, &mime, Qt::LeftButton, keys);
    QApplication::sendEvent(form.get(), &drop);
    return drop.isAccepted() ? drop.dropAction() : Qt::IgnoreAction;
  }
};

QString StatusFor(int rows) {
  return QStringLiteral("共 %1 个TXT文件").arg(rows);
}

}  // namespace

class TestMainWindow : public QObject {
  Q_OBJECT

 private slots:
  void layout() {
    Fixture f;
    f.Start({});
    TForm1& form = *f.form;
    QCOMPARE(form.windowTitle(), QStringLiteral("Lumbrella V2.0  作者:Tumblewick "));
    QCOMPARE(form.size(), QSize(480, 293));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(form.windowFlags() & Qt::WindowMinimizeButtonHint);
    QCOMPARE(form.font().pointSize(), 8);

    auto* status = Control<QLabel>(form, "Label4");
    QCOMPARE(status->text(), StatusFor(0));
    // Sized to its text, and growing with it.
    QCOMPARE(status->width(), status->sizeHint().width());
    const int narrow = status->width();
    f.Drop({f.File("1.txt"), f.File("2.txt"), f.File("3.txt"), f.File("4.txt"), f.File("5.txt"),
            f.File("6.txt"), f.File("7.txt"), f.File("8.txt"), f.File("9.txt"), f.File("10.txt")});
    QCOMPARE(f.Status(), StatusFor(10));
    QCOMPARE(status->width(), status->sizeHint().width());
    QVERIFY(status->width() > narrow);
  }

  void listView() {
    Fixture f;
    f.StartWithRows({"第一章"});
    QTableView* list = f.List();
    // 20-pixel rows whatever the font would ask for.
    QCOMPARE(list->rowHeight(0), 20);
    // Text crosses from the program's code page to the view unharmed.
    QCOMPARE(f.Names(), QStringList({"第一章"}));
    QCOMPARE(f.Column(2), QStringList({"0.00KB"}));
    // Double-clicking a row does not open an editor.
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {},
                       list->visualRect(list->model()->index(0, 1)).center());
    QVERIFY(list->findChildren<QLineEdit*>().isEmpty());
  }

  void placement_data() {
    QTest::addColumn<QSize>("screen");
    QTest::addColumn<QSize>("outer");
    QTest::addColumn<QPoint>("expected");
    QTest::newRow("800x600: title bar above the screen")
        << QSize(800, 600) << QSize(486, 321) << QPoint(157, -11);
    QTest::newRow("1920x1080") << QSize(1920, 1080) << QSize(486, 321) << QPoint(717, 229);
    QTest::newRow("smaller than the window: halves towards zero, not clamped")
        << QSize(400, 300) << QSize(481, 293) << QPoint(-40, -147);
  }
  void placement() {
    QFETCH(QSize, screen);
    QFETCH(QSize, outer);
    QFETCH(QPoint, expected);
    QCOMPARE(StartPosition(screen, outer), expected);
  }

  void placementOfTheShownWindow() {
    Fixture f;
    f.Start({});
    const QRect screen = QGuiApplication::primaryScreen()->geometry();
    const QRect frame = f.form->frameGeometry();
    QCOMPARE(frame.topLeft(), screen.topLeft() + StartPosition(screen.size(), frame.size()));
  }

  void commandLine() {
    Fixture f;
    const QString after = f.File("after-the-end.txt");
    f.Start({f.File("one.txt"), f.File("two.doc"), f.File("three.txt"), f.File("four.txt"),
             QString(), after});
    QCOMPARE(f.Column(0), QStringList({"1", "2", "3"}));
    QCOMPARE(f.Names(), QStringList({"one", "three", "four"}));
    QCOMPARE(f.Status(), StatusFor(3));
    QCOMPARE(f.Selected(), -1);
    QVERIFY(f.dialogs.calls.isEmpty());
  }

  void droppedFiles() {
    Fixture f;
    f.StartWithRows({"a", "b"});
    QVERIFY(QDir(f.dir.path()).mkdir(QStringLiteral("folder")));
    // Held Shift proposes a move; the window only lists the files, so it takes a copy and
    // the file manager keeps them.
    QCOMPARE(
        f.Drop({f.File("第一章.txt"), f.File("notes.doc"), f.dir.filePath(QStringLiteral("folder")),
                f.File("UPPER.TXT"), f.File("c.txt")},
               Qt::ShiftModifier),
        Qt::CopyAction);
    QCOMPARE(f.Names(), QStringList({"a", "b", "第一章", "c"}));
    QCOMPARE(f.Column(0), QStringList({"1", "2", "3", "4"}));
    QCOMPARE(f.Column(3).at(2), f.dir.filePath(QStringLiteral("第一章.txt")));
    QCOMPARE(f.Status(), StatusFor(4));
    QVERIFY(f.dialogs.calls.isEmpty());
  }

  void deleteRow_data() {
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<int>("select");
    QTest::addColumn<QStringList>("remaining");
    QTest::addColumn<int>("selectedAfter");
    QTest::newRow("last: the new last row")
        << QStringList{"A", "B", "C"} << 2 << QStringList{"A", "B"} << 1;
    QTest::newRow("middle: the row that took its place")
        << QStringList{"A", "B", "C"} << 1 << QStringList{"A", "C"} << 1;
    QTest::newRow("first") << QStringList{"A", "B", "C"} << 0 << QStringList{"B", "C"} << 0;
    QTest::newRow("only: no selection") << QStringList{"A"} << 0 << QStringList{} << -1;
  }
  void deleteRow() {
    QFETCH(QStringList, rows);
    QFETCH(int, select);
    QFETCH(QStringList, remaining);
    QFETCH(int, selectedAfter);
    Fixture f;
    f.StartWithRows(rows);
    f.SelectRow(select);
    QCOMPARE(f.Selected(), select);
    Click(*f.form, "m_del");
    QCOMPARE(f.Names(), remaining);
    QCOMPARE(f.Selected(), selectedAfter);
    QCOMPARE(f.Status(), StatusFor(static_cast<int>(remaining.size())));
    QVERIFY(f.dialogs.calls.isEmpty());
    // Captions stay as they were given.
    if (select == 0 && !remaining.isEmpty()) QCOMPARE(f.Column(0).first(), QStringLiteral("2"));
  }

  void deleteWithoutSelection() {
    Fixture f;
    f.StartWithRows({"A", "B"});
    Click(*f.form, "m_del");
    QCOMPARE(f.dialogs.Kinds(), QStringList({"message"}));
    QCOMPARE(f.dialogs.calls[0].text, QStringLiteral("请选择要删除的文件"));
    QCOMPARE(f.Names(), QStringList({"A", "B"}));
    QCOMPARE(f.Status(), StatusFor(2));
  }

  void clear_data() {
    QTest::addColumn<bool>("answer");
    QTest::addColumn<int>("rowsAfter");
    QTest::newRow("Yes empties the list") << true << 0;
    QTest::newRow("No keeps it") << false << 3;
  }
  void clear() {
    QFETCH(bool, answer);
    QFETCH(int, rowsAfter);
    Fixture f;
    f.StartWithRows({"A", "B", "C"});
    f.SelectRow(1);
    f.dialogs.questionAnswers = {answer};
    Click(*f.form, "m_delall");
    QCOMPARE(f.dialogs.Kinds(), QStringList({"question"}));
    QCOMPARE(f.dialogs.calls[0].text, QStringLiteral("确定要清空列表？？"));
    QCOMPARE(f.dialogs.calls[0].caption, QStringLiteral("Lumbrella"));
    QCOMPARE(f.List()->model()->rowCount(), rowsAfter);
    QCOMPARE(f.Status(), StatusFor(rowsAfter));
    QCOMPARE(f.Selected(), answer ? -1 : 1);
  }

  void move_data() {
    QTest::addColumn<QStringList>("rows");
    QTest::addColumn<int>("select");
    QTest::addColumn<QString>("button");
    QTest::addColumn<QStringList>("after");
    QTest::addColumn<int>("selectedAfter");
    const QStringList abcd = {"A", "B", "C", "D"};
    QTest::newRow("up on the first: exchanged with the last")
        << abcd << 0 << "m_up" << QStringList{"D", "B", "C", "A"} << 3;
    QTest::newRow("down on the last: exchanged with the first")
        << abcd << 3 << "m_down" << QStringList{"D", "B", "C", "A"} << 0;
    QTest::newRow("up in the middle")
        << abcd << 2 << "m_up" << QStringList{"A", "C", "B", "D"} << 1;
    QTest::newRow("down in the middle")
        << abcd << 1 << "m_down" << QStringList{"A", "C", "B", "D"} << 2;
    QTest::newRow("single row up") << QStringList{"A"} << 0 << "m_up" << QStringList{"A"} << 0;
    QTest::newRow("single row down") << QStringList{"A"} << 0 << "m_down" << QStringList{"A"} << 0;
    QTest::newRow("nothing selected") << abcd << -1 << "m_down" << abcd << -1;
  }
  void move() {
    QFETCH(QStringList, rows);
    QFETCH(int, select);
    QFETCH(QString, button);
    QFETCH(QStringList, after);
    QFETCH(int, selectedAfter);
    Fixture f;
    f.StartWithRows(rows);
    if (select >= 0) f.SelectRow(select);
    Click(*f.form, button.toLatin1().constData());
    QCOMPARE(f.Names(), after);
    QCOMPARE(f.Selected(), selectedAfter);
    QVERIFY(f.dialogs.calls.isEmpty());
    if (rows.size() == 4 && select == 0) {
      QCOMPARE(f.Column(0), QStringList({"4", "2", "3", "1"}));  // whole rows move
    }
  }

  void headerClicks() {
    Fixture f;
    QStringList names;
    for (int i = 1; i <= 12; ++i)
      names << QStringLiteral("n%1").arg(13 - i, 2, 10, QChar('0'));
    f.StartWithRows(names);  // captions 1..12 on the names n12..n01
    const QStringList byCaption = {"1", "10", "11", "12", "2", "3", "4", "5", "6", "7", "8", "9"};
    QStringList reversed(byCaption.rbegin(), byCaption.rend());

    f.SelectRow(0);  // caption "1", name n12
    f.ClickHeader(0);
    QCOMPARE(f.Column(0), byCaption);  // numbers sort as text
    f.ClickHeader(0);
    QCOMPARE(f.Column(0), reversed);
    f.ClickHeader(1);  // another column: ascending again
    QStringList sortedNames = names;
    std::sort(sortedNames.begin(), sortedNames.end());
    QCOMPARE(f.Names(), sortedNames);
    QCOMPARE(f.Column(0).first(), QStringLiteral("12"));
    QCOMPARE(f.Selected(), 11);  // the selection went with its row
    // Rows added afterwards go to the end, outside the order.
    f.Drop({f.File("a.txt")});
    QCOMPARE(f.Names().last(), QStringLiteral("a"));
    QCOMPARE(f.Column(0).last(), QStringLiteral("13"));
  }

  void importAndCover() {
    Fixture f;
    f.Start({});
    const QString cover = f.File("cover.png");
    const QString other = f.File("other.jpg");
    f.dialogs.fileAnswers = {{f.File("x.txt"), f.File("y.doc"), f.File("z.txt")}, {}};
    Click(*f.form, "Button6");
    QCOMPARE(f.Names(), QStringList({"x", "z"}));
    QCOMPARE(f.Status(), StatusFor(2));
    Click(*f.form, "Button6");  // cancelled: rows stay
    QCOMPARE(f.Names(), QStringList({"x", "z"}));
    QCOMPARE(f.Status(), StatusFor(2));
    QVERIFY(f.dialogs.calls[0].setup.multiple);

    auto* field = Control<QLineEdit>(*f.form, "m_img");
    f.dialogs.calls.clear();
    f.dialogs.fileAnswers = {{cover}, {other}, {}};
    Click(*f.form, "Button2");
    QCOMPARE(field->text(), cover);
    Click(*f.form, "Button2");
    QCOMPARE(field->text(), other);
    Click(*f.form, "Button2");  // cancelled: the path stays
    QCOMPARE(field->text(), other);
  }
};

LUMBRELLA_APP_TEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
