#pragma once

#include <QList>
#include <QPointer>
#include <QSslCertificate>
#include <QUrl>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

class QNetworkAccessManager;
class QNetworkReply;

namespace parvolane {

struct UpdateSettings;

/// One progress notification of a download.
struct DownloadWork {
  /// Bytes of the body received so far.
  std::int64_t received = 0;
  /// The Content-Length header, 0 or less when the response has none.
  std::int64_t declaredLength = -1;
  /// The Transfer-Encoding header in lower case.
  std::string transferEncoding;
};

/// The GET of the installer: HTTPS only, checked against the system's authorities; no
/// redirects (a 3xx fails like any other unsuccessful status); the body handed on as it arrives
/// in pieces of bounded size, up to a size limit; progress notifications that may end the
/// transfer. Runs in a local event loop, so that the dialog repaints and its buttons work.
class InstallerDownload final {
 public:
  /// Receives body data; may throw, which ends the download with that error.
  using BodySink = std::function<void(std::string_view)>;
  /// Called as data arrives; may throw, which ends the download with that error.
  using WorkHandler = std::function<void(const DownloadWork&)>;

  /// The most the reply holds between two reads, and so the largest piece handed to a sink.
  static constexpr std::int64_t kReadBufferSize = 256 * 1024;

  /// Takes the stall time-out, the size limit and the extra authorities from settings.
  InstallerDownload(QUrl url, const UpdateSettings& settings);
  InstallerDownload(const InstallerDownload&) = delete;
  InstallerDownload& operator=(const InstallerDownload&) = delete;

  /// Returns when the whole body has arrived over a verified connection and has been handed to
  /// sink: the transfer ended without error and, when the server declared a length, exactly that
  /// many bytes came. Throws UpdateError with the message for the user otherwise (the status
  /// line for an unsuccessful status); sink may then have received part of the body.
  void Run(const BodySink& sink, const WorkHandler& onWork);

  /// Ends a running download at once with the given message, even when no data is arriving.
  void Abort(const std::string& message);

 private:
  QNetworkReply* Start(QNetworkAccessManager& client);
  void Wait(QNetworkReply& reply, const BodySink& sink, const WorkHandler& onWork);
  void CheckHeaders(const QNetworkReply& reply);
  void CheckEnd(const QNetworkReply& reply) const;
  void Fail(const std::string& message);
  void PassOnBody(const BodySink& sink);
  void Work(std::int64_t received, const WorkHandler& onWork);

  QUrl FUrl;
  std::chrono::milliseconds FStallTimeout;
  std::int64_t FSizeLimit;
  QList<QSslCertificate> FExtraAuthorities;
  QPointer<QNetworkReply> FReply;
  std::int64_t FPassedOn = 0;
  std::optional<std::string> FFailure;
};

}  // namespace parvolane
