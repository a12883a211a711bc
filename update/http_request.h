#pragma once

#include <QByteArray>
#include <QDeadlineTimer>
#include <QUrl>
#include <chrono>
#include <optional>
#include <string>

class QNetworkAccessManager;
class QNetworkReply;
class QNetworkRequest;

namespace parvolane {

struct UpdateSettings;

/// base + path, base being one of the settings' addresses.
QUrl UpdateUrl(const std::string& base, const char* path);

/// A GET request as the vendor's server expects it: HTTP/1.1 and our User-Agent.
QNetworkRequest MakeUpdateRequest(const QUrl& url);

/// True for a 2xx status.
bool IsSuccessStatus(const QNetworkReply& reply);

/// The response's status as a status line ("HTTP/1.1 404 Not Found").
std::string StatusLine(const QNetworkReply& reply);

/// GETs a whole page of at most kPageSizeLimit bytes, following up to 10 redirects; nothing on
/// any transport error, on a wait for data longer than readTimeout, on an unsuccessful status,
/// on a longer page or when the deadline passes first. Blocks in a local event loop.
std::optional<QByteArray> FetchPage(QNetworkAccessManager& client, const QUrl& url,
                                    std::chrono::milliseconds readTimeout, QDeadlineTimer deadline);

}  // namespace parvolane
