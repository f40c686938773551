#include "app/web_strip.h"

#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QStringDecoder>

namespace lumbrella {

QUrl WebStripUrl(const QString& host) {
  return QUrl(QStringLiteral("http://") + host + QStringLiteral("/soft/?t=zqx&c=ff0000&b=E3EEFD"));
}

QUrl DefaultWebStripUrl() {
  return WebStripUrl(QString::fromLatin1(kWebStripHost));
}

TWebStrip::TWebStrip(QWidget* parent)
    : QTextBrowser(parent), network_(new QNetworkAccessManager(this)) {
  setFrameShape(QFrame::NoFrame);
  setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setVerticalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
  setOpenLinks(false);
  // A link followed inside the strip loads there, as in a browser pane.
  connect(this, &QTextBrowser::anchorClicked, this,
          [this](const QUrl& link) { Navigate(page_.resolved(link)); });
}

void TWebStrip::Navigate(const QUrl& url) {
  if (reply_) {
    reply_->disconnect(this);
    reply_->abort();
    reply_->deleteLater();
  }
  const QString scheme = url.scheme().toLower();
  if (scheme != QLatin1String("http") && scheme != QLatin1String("https")) return;
  // Reserved names fail without a resolver query.
  const QString host = url.host().toLower();
  if (host == QLatin1String("invalid") || host.endsWith(QLatin1String(".invalid"))) return;

  QNetworkRequest request(url);
  request.setTransferTimeout(30000);
  QNetworkReply* reply = network_->get(request);
  reply_ = reply;
  connect(reply, &QNetworkReply::downloadProgress, this, [reply](qint64 received, qint64) {
    if (received > kMaxPageBytes) reply->abort();
  });
  connect(reply, &QNetworkReply::finished, this, [this, reply] { ReplyFinished(reply); });
}

void TWebStrip::ReplyFinished(QNetworkReply* reply) {
  reply->deleteLater();
  if (reply != reply_) return;
  reply_ = nullptr;
  // A page counts as loaded when the server answered, whatever the status (an error page
  // is a document too); no answer at all is no document.
  if (!reply->attribute(QNetworkRequest::HttpStatusCodeAttribute).isValid()) return;
  if (reply->error() == QNetworkReply::OperationCanceledError) return;
  const QByteArray body = reply->readAll();
  if (body.size() > kMaxPageBytes) return;
  QStringDecoder decoder = QStringDecoder::decoderForHtml(body);
  const QString html = decoder.isValid() ? decoder.decode(body) : QString::fromUtf8(body);
  page_ = reply->url();
  setHtml(html);
  emit DocumentComplete(page_);
}

QVariant TWebStrip::loadResource(int, const QUrl&) {
  return {};
}

}  // namespace lumbrella
