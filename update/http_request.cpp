#include "update/http_request.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QNetworkRequest>
#include <memory>

#include "update/update_session.h"

namespace parvolane {

QUrl UpdateUrl(const UpdateSettings& settings, const char* path) {
  return QUrl(QString::fromStdString(settings.baseUrl) + QString::fromLatin1(path));
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
                                    std::chrono::milliseconds readTimeout) {
  QNetworkRequest request = MakeUpdateRequest(url);
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::NoLessSafeRedirectPolicy);
  request.setMaximumRedirectsAllowed(10);
  // An inactivity limit: it restarts whenever data arrives, so a slow but living server is fine.
  request.setTransferTimeout(static_cast<int>(readTimeout.count()));
  const std::unique_ptr<QNetworkReply> reply(client.get(request));
  if (!reply->isFinished()) {
    QEventLoop loop;
    QObject::connect(reply.get(), &QNetworkReply::finished, &loop, &QEventLoop::quit);
    loop.exec();
  }
  if (reply->error() != QNetworkReply::NoError || !IsSuccessStatus(*reply)) return std::nullopt;
  return reply->readAll();
}

}  // namespace parvolane
