// The web strip: a thin view at the bottom of the window showing one page of the
// distributor's site. Qt Network fetches the page and a QTextBrowser shows it (no
// scripts, no plug-ins); DocumentComplete is reported each time a page has loaded.
#pragma once

#include <QPointer>
#include <QTextBrowser>
#include <QUrl>

class QNetworkAccessManager;
class QNetworkReply;

namespace lumbrella {

// The one place that names the distributor's host. A name under ".invalid" can never
// resolve, so the strip stays hidden unless a build puts a real host here.
inline constexpr char kWebStripHost[] = "lumbrella.invalid";

// http://<host>/soft/?t=zqx&c=ff0000&b=E3EEFD; host may carry a port ("127.0.0.1:8080").
QUrl WebStripUrl(const QString& host);
QUrl DefaultWebStripUrl();

class TWebStrip : public QTextBrowser {
  Q_OBJECT

 public:
  explicit TWebStrip(QWidget* parent = nullptr);

  // Starts loading url in the background; a load in progress is dropped. Only http and
  // https are fetched, and a host under ".invalid" is not looked up at all.
  void Navigate(const QUrl& url);

  // Pages larger than this are abandoned: the strip is 17 pixels high.
  static constexpr qint64 kMaxPageBytes = 1 << 20;

  // Pictures and style sheets of the page are not fetched.
  QVariant loadResource(int type, const QUrl& name) override;

 signals:
  void DocumentComplete(const QUrl& url);

 private:
  void ReplyFinished(QNetworkReply* reply);

  QNetworkAccessManager* network_;
  QPointer<QNetworkReply> reply_;
  QUrl page_;  // the page shown; links resolve against it
};

}  // namespace lumbrella
