#include "update/installer_download.h"

#include <QEventLoop>
#include <QNetworkAccessManager>
#include <QNetworkReply>
#include <QSslConfiguration>
#include <QTimer>

#include "update/http_request.h"
#include "update/update_error.h"
#include "update/update_session.h"

namespace parvolane {

namespace {

std::string StallMessage(std::chrono::milliseconds timeout) {
  return "The server sent no data for " +
         QString::number(static_cast<double>(timeout.count()) / 1000.0).toStdString() + " seconds.";
}

std::string TooLargeMessage(std::int64_t limit) {
  return "The download is larger than the limit of " + std::to_string(limit) + " bytes.";
}

std::int64_t DeclaredLength(const QNetworkReply& reply) {
  const QVariant length = reply.header(QNetworkRequest::ContentLengthHeader);
  return length.isValid() ? length.toLongLong() : -1;
}

bool IsChunked(const QNetworkReply& reply) {
  return reply.rawHeader("Transfer-Encoding").toLower().contains("chunked");
}

DownloadWork ReadWork(const QNetworkReply& reply, std::int64_t received) {
  DownloadWork work;
  work.received = received;
  work.declaredLength = DeclaredLength(reply);
  work.transferEncoding = reply.rawHeader("Transfer-Encoding").toLower().toStdString();
  return work;
}

// The system's authorities, and the extra ones only where a test asked for them: naming any
// authority explicitly turns off Qt's loading of the system's on demand.
QSslConfiguration TlsConfiguration(const QList<QSslCertificate>& extraAuthorities) {
  QSslConfiguration tls = QSslConfiguration::defaultConfiguration();
  tls.setPeerVerifyMode(QSslSocket::VerifyPeer);
  tls.setProtocol(QSsl::SecureProtocols);
  if (!extraAuthorities.isEmpty()) {
    tls.setCaCertificates(QSslConfiguration::systemCaCertificates() + extraAuthorities);
  }
  return tls;
}

}  // namespace

InstallerDownload::InstallerDownload(QUrl url, const UpdateSettings& settings)
    : FUrl(std::move(url)),
      FStallTimeout(settings.downloadStallTimeout),
      FSizeLimit(settings.installerSizeLimit),
      FExtraAuthorities(settings.extraAuthorities) {}

void InstallerDownload::Run(const BodySink& sink, const WorkHandler& onWork) {
  // Whoever sits between us and the vendor could otherwise choose what the user runs.
  if (FUrl.scheme() != QLatin1String("https")) {
    throw UpdateError("Refusing to download the installer over an unencrypted connection: " +
                      FUrl.toString().toStdString());
  }
  QNetworkAccessManager client;
  FFailure.reset();
  FPassedOn = 0;
  QNetworkReply* reply = Start(client);
  Wait(*reply, sink, onWork);
  if (!FFailure) PassOnBody(sink);
  FReply.clear();
  if (FFailure) throw UpdateError(*FFailure);
  CheckEnd(*reply);
}

QNetworkReply* InstallerDownload::Start(QNetworkAccessManager& client) {
  QNetworkRequest request = MakeUpdateRequest(FUrl);
  request.setAttribute(QNetworkRequest::RedirectPolicyAttribute,
                       QNetworkRequest::ManualRedirectPolicy);
  // The declared length must describe the bytes that reach the file.
  request.setRawHeader("Accept-Encoding", "identity");
  request.setSslConfiguration(TlsConfiguration(FExtraAuthorities));
  FReply = client.get(request);
  // The body goes to the file as it arrives; Qt holds no more than this in between.
  FReply->setReadBufferSize(kReadBufferSize);
  return FReply.data();
}

void InstallerDownload::Wait(QNetworkReply& reply, const BodySink& sink,
                             const WorkHandler& onWork) {
  QEventLoop loop;
  QTimer stall;
  stall.setSingleShot(true);
  stall.setInterval(FStallTimeout);
  QObject::connect(&stall, &QTimer::timeout, [&] { Fail(StallMessage(FStallTimeout)); });
  QObject::connect(&reply, &QNetworkReply::metaDataChanged, &loop, [&] {
    stall.start();
    CheckHeaders(reply);
  });
  QObject::connect(&reply, &QNetworkReply::readyRead, &loop, [&] {
    stall.start();
    PassOnBody(sink);
  });
  QObject::connect(&reply, &QNetworkReply::downloadProgress, &loop,
                   [&](qint64 received, qint64) { Work(received, onWork); });
  QObject::connect(&reply, &QNetworkReply::finished, &loop, &QEventLoop::quit);
  stall.start();
  if (!reply.isFinished()) loop.exec();
  stall.stop();
}

void InstallerDownload::CheckHeaders(const QNetworkReply& reply) {
  // An error page must not end up in the installer file.
  if (!IsSuccessStatus(reply)) {
    Fail(StatusLine(reply));
  } else if (DeclaredLength(reply) > FSizeLimit) {
    Fail(TooLargeMessage(FSizeLimit));
  } else if (DeclaredLength(reply) < 0 && !IsChunked(reply)) {
    // The body would end where the connection ends, and Qt does not tell a connection closed
    // properly from one cut by someone on the way, so a cut installer would pass for whole.
    Fail(
        "The server did not say where the download ends, so a broken one could not be told "
        "from a whole one.");
  }
}

void InstallerDownload::CheckEnd(const QNetworkReply& reply) const {
  if (reply.error() != QNetworkReply::NoError) throw UpdateError(reply.errorString().toStdString());
  if (!IsSuccessStatus(reply)) throw UpdateError(StatusLine(reply));
  const std::int64_t declared = DeclaredLength(reply);
  if (declared >= 0 && FPassedOn != declared) {
    throw UpdateError("The download ended after " + std::to_string(FPassedOn) + " of " +
                      std::to_string(declared) + " bytes.");
  }
}

void InstallerDownload::Abort(const std::string& message) {
  Fail(message);
}

void InstallerDownload::Fail(const std::string& message) {
  if (!FFailure) FFailure = message;
  // Queued: Qt must not be re-entered from inside one of the reply's own signals.
  if (FReply && FReply->isRunning()) {
    QMetaObject::invokeMethod(FReply.data(), &QNetworkReply::abort, Qt::QueuedConnection);
  }
}

void InstallerDownload::PassOnBody(const BodySink& sink) {
  if (FFailure || !FReply || !IsSuccessStatus(*FReply)) return;
  try {
    while (!FFailure && FReply->bytesAvailable() > 0) {
      const QByteArray data = FReply->read(kReadBufferSize);
      if (FPassedOn + data.size() > FSizeLimit) {
        Fail(TooLargeMessage(FSizeLimit));
        return;
      }
      FPassedOn += data.size();
      sink(std::string_view(data.constData(), static_cast<std::size_t>(data.size())));
    }
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
