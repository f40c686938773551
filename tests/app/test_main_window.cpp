// The main window driven as a person would: start-up, dropped files, the list commands and
// the keyboard, with every dialog answered through the scripted seam.
#include <QGuiApplication>
#include <QHeaderView>
#include <QLineEdit>
#include <QMenu>
#include <QScreen>
#include <QToolTip>

#include "scripted_dialogs.h"

using namespace lumbrella;
using namespace lumbrella::test;

namespace {

// A window listing one row per name (files made first).
void StartWithRows(TWindow& w, const QStringList& names) {
  QStringList paths;
  for (const QString& name : names)
    paths << w.File(name + QStringLiteral(".txt"));
  w.Start(paths);
}

void SelectRow(TWindow& w, int row) {
  QTableView* list = w.List();
  QTest::mouseClick(list->viewport(), Qt::LeftButton, {},
                    list->visualRect(list->model()->index(row, 1)).center());
}

// The selected row as the view shows it; -2 when it disagrees with the chapter list's.
int Selected(TWindow& w) {
  const QModelIndexList rows = w.List()->selectionModel()->selectedRows();
  const int shown = rows.isEmpty() ? -1 : rows.first().row();
  return shown == w.form->ChapterList().Selected() ? shown : -2;
}

void ClickHeader(TWindow& w, int column) {
  QHeaderView* header = w.List()->horizontalHeader();
  QTest::mouseClick(header->viewport(), Qt::LeftButton, {},
                    QPoint(header->sectionViewportPosition(column) + 5, header->height() / 2));
}

}  // namespace

class TestMainWindow : public QObject {
  Q_OBJECT

 private slots:
  void windowAndList() {
    TWindow w;
    StartWithRows(w, {"第一章"});
    TForm1& form = *w.form;
    QCOMPARE(form.windowTitle(), QStringLiteral("Lumbrella V2.0  作者:Tumblewick "));
    QCOMPARE(form.size(), QSize(480, 293));
    QCOMPARE(form.minimumSize(), form.maximumSize());
    QVERIFY(!(form.windowFlags() & Qt::WindowMaximizeButtonHint));
    QVERIFY(form.windowFlags() & Qt::WindowMinimizeButtonHint);
    QCOMPARE(form.font().pointSize(), 8);
    // Placed for its outer frame, which is known only once it is shown.
    const QScreen* screen = form.screen();
    const QRect frame = form.frameGeometry();
    QCOMPARE(frame.topLeft(),
             StartPosition(screen->geometry(), screen->availableGeometry(), frame.size()));

    // 20-pixel rows whatever the font asks for; text crosses from the program's code page
    // unharmed; a double click opens no editor.
    QTableView* list = w.List();
    QCOMPARE(list->rowHeight(0), 20);
    QCOMPARE(w.Column(1), QStringList({"第一章"}));
    QTest::mouseDClick(list->viewport(), Qt::LeftButton, {},
                       list->visualRect(list->model()->index(0, 1)).center());
    QVERIFY(list->findChildren<QLineEdit*>().isEmpty());

    // The status line is sized to its text and grows with it.
    auto* status = Control<QLabel>(form, "Label4");
    QCOMPARE(status->width(), status->sizeHint().width());
    const int narrow = status->width();
    QStringList ten;
    for (int i = 0; i < 9; ++i)
      ten << w.File(QStringLiteral("%1.txt").arg(i));
    w.Drop(ten);
    QCOMPARE(w.Status(), StatusFor(10));
    QCOMPARE(status->width(), status->sizeHint().width());
    QVERIFY(status->width() > narrow);
  }

  // Centred across, 150 pixels above the centre, halves towards zero; never out of the
  // available area, so the title bar stays in reach.
  void placement() {
    const struct {
      QRect screen, available;
      QSize frame;
      QPoint at;
    } cases[] = {
        {{0, 0, 1280, 1024}, {0, 0, 1280, 984}, {486, 321}, {397, 201}},
        {{0, 0, 800, 600}, {0, 0, 800, 600}, {486, 321}, {157, 0}},    // would start above
        {{0, 0, 960, 540}, {0, 27, 960, 513}, {490, 330}, {235, 27}},  // 200 %, a top panel
        {{0, 0, 400, 300}, {0, 0, 400, 300}, {481, 293}, {0, 0}},      // larger than the screen
        {{1280, 0, 800, 600}, {1280, 0, 800, 560}, {486, 321}, {1437, 0}},  // a second screen
    };
    for (const auto& c : cases)
      QCOMPARE(StartPosition(c.screen, c.available, c.frame), c.at);
  }

  // Only .txt files are listed, after the rows there are, whichever way they come: on the
  // command line, dropped or chosen to import. What is left out is named (for the command
  // line once the window is there).
  void admission() {
    TWindow w;
    const QString after = w.File("after-the-end.doc");
    w.Start({w.File("one.txt"), w.File("two.doc"), w.File("three.TXT"), w.File("four.txt"),
             QString(), after});
    QCOMPARE(w.Column(1), QStringList({"one", "three", "four"}));
    QCOMPARE(w.Status(), StatusFor(3));
    QCOMPARE(Selected(w), -1);
    QTRY_COMPARE(w.dialogs.Kinds(), QStringList({"message"}));
    QCOMPARE(w.dialogs.calls[0].text, QStringLiteral("1 个文件不是TXT文件，没有加入列表。"));
    QCOMPARE(w.dialogs.calls[0].detail, QStringLiteral("two.doc"));

    QVERIFY(QDir(w.dir.path()).mkdir(QStringLiteral("folder")));
    // Held Shift proposes a move; the window only lists the files, so it takes a copy and
    // the file manager keeps them.
    QCOMPARE(w.Drop({w.File("第一章.txt"), w.File("notes.doc"), w.dir.filePath("folder"),
                     w.File("UPPER.TXT"), w.File("c.txt")},
                    Qt::ShiftModifier),
             Qt::CopyAction);
    QCOMPARE(w.Column(1), QStringList({"one", "three", "four", "第一章", "UPPER", "c"}));
    QCOMPARE(w.Column(3).at(3), w.dir.filePath(QStringLiteral("第一章.txt")));
    QCOMPARE(w.Status(), StatusFor(6));
    QCOMPARE(w.dialogs.Kinds(), QStringList({"message", "message"}));
    QCOMPARE(w.dialogs.calls[1].text, QStringLiteral("2 个文件不是TXT文件，没有加入列表。"));
    QCOMPARE(w.dialogs.calls[1].detail, QStringLiteral("notes.doc\nfolder"));

    w.dialogs.fileAnswers = {{w.File("x.txt"), w.File("y.doc"), w.File("z.txt")}, {}};
    w.Click("Button6");
    w.Click("Button6");  // cancelled: rows stay, nothing more is said
    QCOMPARE(w.dialogs.Kinds(), QStringList({"message", "message", "files", "message", "files"}));
    QVERIFY(w.dialogs.calls[2].setup.multiple);
    QCOMPARE(w.dialogs.calls[3].text, QStringLiteral("1 个文件不是TXT文件，没有加入列表。"));
    QCOMPARE(w.dialogs.calls[3].detail, QStringLiteral("y.doc"));
    QCOMPARE(w.Column(1), QStringList({"one", "three", "four", "第一章", "UPPER", "c", "x", "z"}));
    QCOMPARE(w.Column(0), QStringList({"1", "2", "3", "4", "5", "6", "7", "8"}));
    QCOMPARE(w.Status(), StatusFor(8));
  }

  // Moving wraps around, exchanging with the row at the other end; whole rows move, captions
  // too. Deleting the last row selects the new last one, a middle one the row that took its
  // place.
  void listCommands() {
    TWindow w;
    StartWithRows(w, {"A", "B", "C", "D"});
    w.Click("m_del");  // nothing selected: a message, nothing else
    QCOMPARE(w.dialogs.Kinds(), QStringList({"message"}));
    QCOMPARE(w.dialogs.calls[0].text, QStringLiteral("请选择要删除的文件"));
    QCOMPARE(w.Column(1), QStringList({"A", "B", "C", "D"}));
    QCOMPARE(w.Status(), StatusFor(4));
    SelectRow(w, 0);
    w.Click("m_up");
    QCOMPARE(w.Column(1), QStringList({"D", "B", "C", "A"}));
    QCOMPARE(w.Column(0), QStringList({"4", "2", "3", "1"}));
    QCOMPARE(Selected(w), 3);
    w.Click("m_down");  // on the last row
    QCOMPARE(w.Column(1), QStringList({"A", "B", "C", "D"}));
    QCOMPARE(Selected(w), 0);
    const struct {
      int select;
      QStringList remaining;
      int selectedAfter;
    } steps[] = {
        {3, {"A", "B", "C"}, 2},
        {1, {"A", "C"}, 1},
    };
    for (const auto& step : steps) {
      SelectRow(w, step.select);
      w.Click("m_del");
      QCOMPARE(w.Column(1), step.remaining);
      QCOMPARE(Selected(w), step.selectedAfter);
      QCOMPARE(w.Status(), StatusFor(static_cast<int>(step.remaining.size())));
    }
    // 清空 asks first.
    w.dialogs.questionAnswers = {false, true};
    w.Click("m_delall");  // No: nothing changes
    QCOMPARE(w.Column(1), QStringList({"A", "C"}));
    QCOMPARE(Selected(w), 1);
    QCOMPARE(w.Status(), StatusFor(2));
    w.Click("m_delall");  // Yes
    QCOMPARE(w.Column(1), QStringList());
    QCOMPARE(Selected(w), -1);
    QCOMPARE(w.Status(), StatusFor(0));
    QCOMPARE(w.dialogs.Kinds(), QStringList({"message", "question", "question"}));
    QCOMPARE(w.dialogs.calls[2].text, QStringLiteral("确定要清空列表？？"));
    QCOMPARE(w.dialogs.calls[2].caption, QStringLiteral("Lumbrella"));
  }

  // The header's arrow shows the column and the direction the chapters are in.
  void headerClicks() {
    TWindow w;
    QStringList names;
    for (int i = 1; i <= 12; ++i)
      names << QStringLiteral("第%1章").arg(13 - i);
    StartWithRows(w, names);  // captions 1..12 on 第12章..第1章
    QStringList byCaption;
    for (int i = 1; i <= 12; ++i)
      byCaption << QString::number(i);
    QHeaderView* header = w.List()->horizontalHeader();
    QVERIFY(!header->isSortIndicatorShown());

    SelectRow(w, 0);  // caption "1", name 第12章
    ClickHeader(w, 0);
    QCOMPARE(w.Column(0), byCaption);
    QVERIFY(header->isSortIndicatorShown());
    QCOMPARE(header->sortIndicatorSection(), 0);
    QCOMPARE(header->sortIndicatorOrder(), Qt::AscendingOrder);
    ClickHeader(w, 0);
    QCOMPARE(w.Column(0), QStringList(byCaption.rbegin(), byCaption.rend()));
    QCOMPARE(header->sortIndicatorOrder(), Qt::DescendingOrder);
    ClickHeader(w, 1);  // another column: ascending again
    std::reverse(names.begin(), names.end());
    QCOMPARE(w.Column(1), names);
    QCOMPARE(header->sortIndicatorSection(), 1);
    QCOMPARE(header->sortIndicatorOrder(), Qt::AscendingOrder);
    QCOMPARE(w.Column(0).first(), QStringLiteral("12"));
    QCOMPARE(Selected(w), 11);  // the selection went with its row
    // Rows added afterwards go to the end, outside the order.
    w.Drop({w.File("a.txt")});
    QCOMPARE(w.Column(1).last(), QStringLiteral("a"));
    QCOMPARE(header->sortIndicatorSection(), 1);
    QCOMPARE(w.Column(0).last(), QStringLiteral("13"));
  }

  // Tab walks the controls in the layout's order, through the list and on to 浏览 (the
  // web strip is skipped while it is hidden), Shift+Tab walks back; the arrow keys move
  // within the list, and Delete there does what 删除 does.
  void keyboard() {
    TWindow w;
    StartWithRows(w, {"A", "B", "C"});
    w.form->activateWindow();
    QVERIFY(QTest::qWaitForWindowActive(w.form.get()));
    const QStringList order = {"Button1",  "m_title", "m_zz",    "m_img",  "m_up",   "m_down",
                               "m_delall", "m_del",   "Button6", "m_list", "Button2"};
    Control(*w.form, "Button1")->setFocus();
    QStringList forward = {QApplication::focusWidget()->objectName()};
    for (int i = 0; i < order.size(); ++i) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab);
      forward << QApplication::focusWidget()->objectName();
    }
    QCOMPARE(forward, order + QStringList({"Button1"}));
    QStringList backward;
    for (int i = 0; i < order.size(); ++i) {
      QTest::keyClick(QApplication::focusWidget(), Qt::Key_Tab, Qt::ShiftModifier);
      backward.prepend(QApplication::focusWidget()->objectName());
    }
    QCOMPARE(backward, order);

    SelectRow(w, 0);
    QTest::keyClick(w.List(), Qt::Key_Down);
    QCOMPARE(Selected(w), 1);
    QTest::keyClick(w.List(), Qt::Key_Delete);
    QCOMPARE(w.Column(1), QStringList({"A", "C"}));
    QCOMPARE(Selected(w), 1);
    QCOMPARE(w.Status(), StatusFor(2));

    // Return and Enter press the focused button; in the title and author fields they do
    // nothing (no dialog, no change).
    for (const char* field : {"m_title", "m_zz"}) {
      auto* edit = Control<QLineEdit>(*w.form, field);
      edit->setFocus();
      QTest::keyClicks(edit, QStringLiteral("Xi You Ji"));
      QTest::keyClick(edit, Qt::Key_Return);
      QTest::keyClick(edit, Qt::Key_Enter, Qt::KeypadModifier);
      QCOMPARE(edit->text(), QStringLiteral("Xi You Ji"));
    }
    QVERIFY(w.dialogs.calls.isEmpty());
    QCOMPARE(w.Column(1), QStringList({"A", "C"}));
    auto* move = Control<QPushButton>(*w.form, "m_down");
    move->setFocus();
    QTest::keyClick(move, Qt::Key_Return);
    QCOMPARE(w.Column(1), QStringList({"C", "A"}));
    QTest::keyClick(move, Qt::Key_Enter, Qt::KeypadModifier);
    QCOMPARE(w.Column(1), QStringList({"A", "C"}));
  }

  // Every cell's tooltip tells what its row's file will be read in; a cell whose text is
  // cut off shows all of it above that.
  void cellTipsShowTheEncodingAndCutOffText() {
    TWindow w;
    const QString longName = QStringLiteral("第一章 一个名字很长很长很长很长的文件");
    const QByteArray
        big5(  // 雨下了一整夜。早上起來，街上的積水映著灰白的天。賣豆漿的老人已經擺好了攤子。
            "\xab\x42\xa4\x55\xa4\x46\xa4\x40\xbe\xe3\xa9\x5d\xa1\x43\xa6\xad\xa4\x57\xb0\x5f\xa8"
            "\xd3\xa1\x41\xb5\xf3\xa4\x57\xaa\xba\xbf\x6e\xa4\xf4\xac\x4d\xb5\xdb\xa6\xc7\xa5\xd5"
            "\xaa\xba\xa4\xd1\xa1\x43\xbd\xe6\xa8\xa7\xbc\xdf\xaa\xba\xa6\xd1\xa4\x48\xa4\x77\xb8"
            "\x67\xc2\x5c\xa6\x6e\xa4\x46\xc5\x75\xa4\x6c\xa1\x43");
    w.Start({w.File(QStringLiteral("短.txt")), w.File(longName + QStringLiteral(".txt")),
             w.File(QStringLiteral("繁體.txt"), big5), w.File(QStringLiteral("无.txt"))});
    QVERIFY(QFile::remove(w.dir.filePath(QStringLiteral("无.txt"))));
    QTableView* list = w.List();
    auto tip = [&](int row, int column) {
      const QPoint at = list->visualRect(list->model()->index(row, column)).center();
      QHelpEvent event(QEvent::ToolTip, at, list->viewport()->mapToGlobal(at));
      QApplication::sendEvent(list->viewport(), &event);
      return QToolTip::isVisible() ? QToolTip::text() : QString();
    };
    const QString utf8 = QStringLiteral("编码：UTF-8（自动检测）");
    QCOMPARE(tip(0, 1), utf8);
    QCOMPARE(tip(1, 1), longName + '\n' + utf8);
    QCOMPARE(tip(1, 3), w.Column(3).at(1) + '\n' + utf8);
    QCOMPARE(tip(2, 0), QStringLiteral("编码：Big5（自动检测）"));
    QCOMPARE(tip(3, 0), QStringLiteral("编码：无法读取文件"));
  }

  // A chosen file is looked at at once: what is no image is refused and the field keeps its
  // cover; a second image replaces the first; the menu and the keys remove it.
  void cover() {
    TWindow w;
    w.Start({});
    auto* field = Control<QLineEdit>(*w.form, "m_img");
    const QString png = w.Image(QStringLiteral("封面.png"));
    const QString bmp = w.Image(QStringLiteral("other.bmp"));
    w.dialogs.fileAnswers = {{png}, {w.File("text.png", "not an image")}, {bmp}, {}};
    w.Click("Button2");
    QCOMPARE(field->text(), png);
    w.Click("Button2");
    QCOMPARE(field->text(), png);
    QCOMPARE(w.dialogs.calls.last().kind, QStringLiteral("message"));
    QVERIFY(w.dialogs.calls.last().text.startsWith(QStringLiteral("这个文件不是图片")));
    QVERIFY(w.dialogs.calls.last().detail.contains(w.dir.filePath("text.png")));
    w.Click("Button2");
    w.Click("Button2");  // cancelled
    QCOMPARE(field->text(), bmp);

    std::unique_ptr<QMenu> menu(w.form->CoverMenu());
    QCOMPARE(menu->actions().size(), 1);
    QCOMPARE(menu->actions().first()->text(), QStringLiteral("清除封面"));
    menu->actions().first()->trigger();
    QCOMPARE(field->text(), QString());
    menu.reset(w.form->CoverMenu());
    QVERIFY(!menu->actions().first()->isEnabled());
    for (Qt::Key key : {Qt::Key_Delete, Qt::Key_Backspace}) {
      field->setText(png);
      field->setFocus();
      QTest::keyClick(field, key);
      QCOMPARE(field->text(), QString());
    }
  }
};

LUMBRELLA_APP_TEST_MAIN(TestMainWindow)
#include "test_main_window.moc"
