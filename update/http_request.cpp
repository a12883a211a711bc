#include "update/http_request.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <QTimer>
#include <memory>

#include "update/update_session.h"

namespace parvolane {

namespace {

/// Collects a page as it arrives and ends the reply as soon as it is too long or too late, so
/// that neither a flood nor a trickle of data can hold the program.
class PageReader final {
 public:
  PageReader(QNetworkReply& reply, QDeadlineTimer deadline) : FReply(reply), FDeadline(deadline) {
    // Bounds what Qt buffers on our behalf between two reads.
    FReply.setReadBufferSize(kPageSizeLimit + 1);
  }

  std::optional<QByteArray> Read() {
    if (!FReply.isFinished()) Wait();
    Take();
    if (FRefused || FReply.error() != QNetworkReply::NoError || !IsSuccessStatus(FReply)) {
      return std::nullopt;
    }
    return FBody;
  }

 private:
  void Wait() {
    QEventLoop loop;
    QTimer late;
    late.setSingleShot(true);
    QObject::connect(&late, &QTimer::timeout, &loop, [this] { Refuse(); });
    QObject::connect(&FReply, &QNetworkReply::metaDataChanged, &loop, [this] { CheckLength(); });
    QObject::connect(&FReply, &QNetworkReply::readyRead, &loop, [this] { Take(); });
    QObject::connect(&FReply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
    late.start(std::chrono::milliseconds(FDeadline.remainingTime()));
    if (!FReply.isFinished()) loop.exec();
  }

  void CheckLength() {
    const QVariant length = FReply.header(QNetworkRequest::ContentLengthHeader);
    if (IsSuccessStatus(FReply) && length.isValid() && length.toLongLong() > kPageSizeLimit) {
      Refuse();
    }
  }

  void Take() {
    if (FRefused || !FReply.isOpen()) return;
    FBody += FReply.read(kPageSizeLimit + 1 - FBody.size());
    if (FBody.size() > kPageSizeLimit) Refuse();
  }

  void Refuse() {
    FRefused = true;
    FBody.clear();
    // Queued: Qt must not be re-entered from inside one of the reply's own signals.
    if (FReply.isRunning()) {
      QMetaObject::invokeMethod(&FReply, &QNetworkReply::abort, Qt::QueuedConnection);
    }
  }

  QNetworkReply& FReply;
  QDeadlineTimer FDeadline;
  QByteArray FBody;
  bool FRefused = false;
};

}  // namespace

QUrl UpdateUrl(const std::string& base, const char* path) {
  return QUrl(QString::fromStdString(base) + QString::fromLatin1(path));
}

QNetworkRequest MakeUpdateRequest(const QUrl& url) {
  QNetworkRequest request(url);
  request.setHeader(QNetworkRequest::UserAgentHeader, QString::fromLatin1(kUpdateUserAgent));
  request.setAttribute(QNetworkRequest::Http2AllowedAttribute, false);
  return request;
}

bool IsSuccessStatus(const QNetworkReply& reply) {
  const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  return status >= 200 && status <= 299;
}

std::string StatusLine(const QNetworkReply& reply) {
  const int status = reply.attribute(QNetworkRequest::HttpStatusCodeAttribute).toInt();
  const QByteArray reason =
      reply.attribute(QNetworkRequest::HttpReasonPhraseAttribute).toByteArray();
  std::string line = "HTTP/1.1 " + std::to_string(status);
  if (!reason.isEmpty()) line += " " + reason.toStdString();
  return line;
}

std::optional<QByteArray> FetchPage(QNetworkAccessManager& client, const QUrl& url,
                                    std::chrono::milliseconds readTimeout,
                                    QDeadlineTimer deadline) {
  if (deadline.hasExpired()) return std::nullopt;
  QNetworkRequest request = MakeUpdateRequest(url);
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::NoLessSafeRedirectPolicy);
  request.setMaximumRedirectsAllowed(10);
  // An inactivity limit: it restarts whenever data arrives, so a slow but living server is fine
  // (up to the deadline).
  request.setTransferTimeout(static_cast<int>(readTimeout.count()));
  const std::unique_ptr<QNetworkReply> reply(client.get(request));
  return PageReader(*reply, deadline).Read();
}

}  // namespace parvolane
