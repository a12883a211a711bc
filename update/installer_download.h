#pragma once

#include <QPointer>
#include <QUrl>
#include <chrono>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <string_view>

class QNetworkReply;

namespace parvolane {

/// One progress notification of a download.
struct DownloadWork {
  /// Bytes of the body received so far.
  std::int64_t received = 0;
  /// The Content-Length header, 0 or less when the response has none.
  std::int64_t declaredLength = -1;
  /// The Transfer-Encoding header in lower case.
  std::string transferEncoding;
};

/// The GET of the installer: no redirects (a 3xx fails like any other unsuccessful status),
/// the body handed on as it arrives, progress notifications that may end the transfer.
/// Runs in a local event loop, so that the dialog repaints and its buttons work meanwhile.
class InstallerDownload final {
 public:
  /// Receives body data; may throw, which ends the download with that error.
  using BodySink = std::function<void(std::string_view)>;
  /// Called as data arrives; may throw, which ends the download with that error.
  using WorkHandler = std::function<void(const DownloadWork&)>;

  InstallerDownload(QUrl url, std::chrono::milliseconds stallTimeout);
  InstallerDownload(const InstallerDownload&) = delete;
  InstallerDownload& operator=(const InstallerDownload&) = delete;

  /// Returns when the whole body has been handed to sink; throws UpdateError with the message
  /// for the user otherwise (the status line for an unsuccessful status).
  void Run(const BodySink& sink, const WorkHandler& onWork);

  /// Ends a running download at once with the given message, even when no data is arriving.
  void Abort(const std::string& message);

 private:
  void Fail(const std::string& message);
  void PassOnBody(const BodySink& sink);
  void Work(std::int64_t received, const WorkHandler& onWork);

  QUrl FUrl;
  std::chrono::milliseconds FStallTimeout;
  QPointer<QNetworkReply> FReply;
  std::optional<std::string> FFailure;
};

}  // namespace parvolane
