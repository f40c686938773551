// The web strip against a page served on the loopback interface: hidden at start, shown at
// the bottom of the window once a page has loaded, hidden for good when nothing loads.
#include <QHostAddress>
#include <QSignalSpy>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTest>
#include <memory>

#include "app/web_strip.h"
#include "scripted_dialogs.h"

using namespace lumbrella;
using lumbrella::test::Control;
using lumbrella::test::TScriptedDialogs;

namespace {

// A one-page HTTP server on 127.0.0.1. Each connection gets `response` once the request's
// head has arrived (nothing at all when it is empty: the connection is just closed).
class TLoopbackServer : public QObject {
 public:
  QByteArray response;
  QList<QByteArray> requestLines;
  int closedConnections = 0;

  TLoopbackServer() {
    if (!server_.listen(QHostAddress::LocalHost)) qFatal("cannot listen on 127.0.0.1");
    connect(&server_, &QTcpServer::newConnection, this, [this] {
      while (QTcpSocket* socket = server_.nextPendingConnection()) {
        auto head = std::make_shared<QByteArray>();
        connect(socket, &QTcpSocket::readyRead, socket, [this, socket, head] {
          head->append(socket->readAll());
          if (!head->contains("\r\n\r\n")) return;
          requestLines << head->left(head->indexOf("\r\n"));
          socket->write(response);
          socket->disconnectFromHost();
        });
        connect(socket, &QTcpSocket::disconnected, socket, [this, socket] {
          ++closedConnections;
          socket->deleteLater();
        });
      }
    });
  }
  QString Host() const { return QStringLiteral("127.0.0.1:%1").arg(server_.serverPort()); }

  static QByteArray Page(const QByteArray& body) {
    return "HTTP/1.1 200 OK\r\nContent-Type: text/html; charset=utf-8\r\nContent-Length: " +
           QByteArray::number(body.size()) + "\r\nConnection: close\r\n\r\n" + body;
  }

 private:
  QTcpServer server_;
};

}  // namespace

class TestWebStrip : public QObject {
  Q_OBJECT

 private slots:
  void shownOnlyOnceAPageHasLoaded_data() {
    QTest::addColumn<QByteArray>("response");
    QTest::addColumn<int>("y");
    QTest::newRow("a page") << TLoopbackServer::Page("<html><body>新书推荐 Lumbrella</body></html>")
                            << 278;
    QTest::newRow("connection closed without an answer") << QByteArray() << -500;
    QTest::newRow("page larger than the strip takes")
        << TLoopbackServer::Page(QByteArray(TWebStrip::kMaxPageBytes + 4096, 'x')) << -500;
  }
  void shownOnlyOnceAPageHasLoaded() {
    QFETCH(QByteArray, response);
    QFETCH(int, y);
    TLoopbackServer server;
    server.response = response;
    TScriptedDialogs dialogs;
    TForm1 form(dialogs, {}, WebStripUrl(server.Host()));
    auto* strip = Control<TWebStrip>(form, "WebBrowser1");
    QSignalSpy completions(strip, &TWebStrip::DocumentComplete);
    QCOMPARE(strip->y(), -500);
    form.show();
    QVERIFY(QTest::qWaitForWindowExposed(&form));
    QTRY_VERIFY_WITH_TIMEOUT(server.closedConnections >= 1, 10000);
    if (y < 0) QTest::qWait(500);  // let the reply (and a retry) finish on the window's side
    QTRY_COMPARE_WITH_TIMEOUT(strip->y(), y, 10000);
    QCOMPARE(completions.size(), y < 0 ? 0 : 1);
    QCOMPARE(server.requestLines.first(), "GET /soft/?t=zqx&c=ff0000&b=E3EEFD HTTP/1.1");
    if (y < 0) return;
    QCOMPARE(server.requestLines.size(), 1);
    QCOMPARE(strip->geometry(), QRect(156, 278, 316, 17));
    QVERIFY(strip->toPlainText().contains(QStringLiteral("新书推荐")));
    QVERIFY(dialogs.calls.isEmpty());

    // A later page (a link followed inside the strip) leaves it where it is.
    strip->Navigate(WebStripUrl(server.Host()));
    QTRY_COMPARE_WITH_TIMEOUT(completions.size(), 2, 10000);
    QCOMPARE(strip->y(), 278);
  }

  void defaultPageIsOnAReservedHost() {
    // The shipped address must never reach somebody else's server.
    QVERIFY(TForm1::DefaultWebPage().host().endsWith(QStringLiteral(".invalid")));
  }
};

LUMBRELLA_APP_TEST_MAIN(TestWebStrip)
#include "test_web_strip.moc"
