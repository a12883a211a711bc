#include "update/installer_download.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QTimer>

#include "update/http_request.h"
#include "update/update_error.h"

namespace parvolane {

namespace {

std::string StallMessage(std::chrono::milliseconds timeout) {
  return "The server sent no data for " + QString::number(timeout.count() / 1000.0).toStdString() +
         " seconds.";
}

DownloadWork ReadWork(const QNetworkReply& reply, std::int64_t received) {
  DownloadWork work;
  work.received = received;
  const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
  work.declaredLength = length.isValid() ? length.toLongLong() : -1;
  work.transferEncoding = reply.rawHeader("Transfer-Encoding").toLower().toStdString();
  return work;
}

}  // namespace

InstallerDownload::InstallerDownload(QUrl url, std::chrono::milliseconds stallTimeout)
    : FUrl(std::move(url)), FStallTimeout(stallTimeout) {}

void InstallerDownload::Run(const BodySink& sink, const WorkHandler& onWork) {
  QNetworkAccessManager client;
  QNetworkRequest request = MakeUpdateRequest(FUrl);
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::ManualRedirectPolicy);
  FFailure.reset();
  FReply = client.get(request);
  QNetworkReply* reply = FReply.data();

  QEventLoop loop;
  QTimer stall;
  stall.setSingleShot(true);
  stall.setInterval(FStallTimeout);
  QObject::connect(&stall, &QTimer::timeout, [&] { Fail(StallMessage(FStallTimeout)); });
  QObject::connect(reply, &QNetworkReply::metaDataChanged, &loop, [&] {
    stall.start();
    // An error page must not end up in the installer file.
    if (!IsSuccessStatus(*reply)) Fail(StatusLine(*reply));
  });
  QObject::connect(reply, &QNetworkReply::readyRead, &loop, [&] {
    stall.start();
    PassOnBody(sink);
  });
  QObject::connect(reply, &QNetworkReply::downloadProgress, &loop,
                   [&](qint64 received, qint64) { Work(received, onWork); });
  QObject::connect(reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
  stall.start();
  if (!reply->isFinished()) loop.exec();
  stall.stop();

  if (!FFailure) PassOnBody(sink);
  FReply.clear();
  if (FFailure) throw UpdateError(*FFailure);
  if (reply->error() != QNetworkReply::NoError)
    throw UpdateError(reply->errorString().toStdString());
  if (!IsSuccessStatus(*reply)) throw UpdateError(StatusLine(*reply));
}

void InstallerDownload::Abort(const std::string& message) {
  Fail(message);
}

void InstallerDownload::Fail(const std::string& message) {
  if (!FFailure) FFailure = message;
  if (FReply && FReply->isRunning()) FReply->abort();
}

void InstallerDownload::PassOnBody(const BodySink& sink) {
  if (FFailure || !FReply || !IsSuccessStatus(*FReply)) return;
  try {
    const QByteArray data = FReply->readAll();
    if (!data.isEmpty())
      sink(std::string_view(data.constData(), static_cast<std::size_t>(data.size())));
  } catch (const std::exception& error) {
    Fail(error.what());
  }
}

void InstallerDownload::Work(std::int64_t received, const WorkHandler& onWork) {
  if (FFailure || !FReply) return;
  try {
    onWork(ReadWork(*FReply, received));
  } catch (const std::exception& error) {
    Fail(error.what());
  }
}

}  // namespace parvolane
