#pragma once

#include <QByteArray>
#include <QUrl>
#include <chrono>
#include <optional>
#include <string>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

namespace parvolane {

struct UpdateSettings;

/// settings.baseUrl + path.
QUrl UpdateUrl(const UpdateSettings& settings, const char* path);

/// A GET request as the vendor's server expects it: HTTP/1.1 and our User-Agent.
QNetworkRequest MakeUpdateRequest(const QUrl& url);

/// True for a 2xx status.
bool IsSuccessStatus(const QNetworkReply& reply);

/// The response's status as a status line ("HTTP/1.1 404 Not Found").
std::string StatusLine(const QNetworkReply& reply);

/// GETs a whole page, following up to 10 redirects; nothing on any transport error, on a wait
/// for data longer than readTimeout, or on an unsuccessful status. Blocks in a local event loop.
std::optional<QByteArray> FetchPage(QNetworkAccessManager& client, const QUrl& url,
                                    std::chrono::milliseconds readTimeout);

}  // namespace parvolane
