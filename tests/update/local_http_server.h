#pragma once

// A small HTTP/1.1 server on 127.0.0.1 for the update tests: fixed replies per path, bodies
// with Content-Length, chunked or ended by closing, bodies sent in pieces with pauses, and
// servers that stall or hang up. Runs in the test's own event loop.

#include <QByteArray>
#include <QHostAddress>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

namespace parvolane::testing {

struct CannedReply {
  enum class Framing { ContentLength, Chunked, UntilClose };
  enum class Failure { None, StallBeforeHeaders, StallAfterHeaders, HangUp };

  int status = 200;
  std::string reason = "OK";
  std::vector<std::pair<std::string, std::string>> headers;
  /// The body, sent one piece at a time.
  std::vector<std::string> pieces;
  Framing framing = Framing::ContentLength;
  Failure failure = Failure::None;
  /// Pause before each piece, so that the client sees the body arrive in steps.
  int pauseMs = 0;
  /// A Content-Length other than the body's, to cut a transfer short.
  std::optional<std::size_t> contentLength;
};

inline CannedReply Page(std::string body) {
  CannedReply reply;
  reply.pieces = {std::move(body)};
  return reply;
}

inline CannedReply Status(int status, std::string reason) {
  CannedReply reply;
  reply.status = status;
  reply.reason = std::move(reason);
  reply.pieces = {"<html>" + reply.reason + "</html>"};
  return reply;
}

inline CannedReply Redirect(const std::string& location) {
  CannedReply reply = Status(302, "Found");
  reply.headers.emplace_back("Location", location);
  return reply;
}

class LocalHttpServer final {
 public:
  LocalHttpServer() {
    FServer.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&FServer, &QTcpServer::newConnection, [this] { Accept(); });
  }

  /// "http://127.0.0.1:PORT"
  std::string BaseUrl() const { return "http://" + HostAndPort(); }
  std::string HostAndPort() const { return "127.0.0.1:" + std::to_string(FServer.serverPort()); }

  void Route(const std::string& path, CannedReply reply) { FRoutes[path] = std::move(reply); }

  /// path redirects `count` times ("path/1", "path/2", ...) before it reaches `target`.
  void RedirectChain(const std::string& path, int count, const std::string& target) {
    std::string from = path;
    for (int hop = 1; hop <= count; ++hop) {
      const std::string to = hop == count ? target : path + "/" + std::to_string(hop);
      Route(from, Redirect(to));
      from = to;
    }
  }

  const std::vector<std::string>& RequestedPaths() const { return FPaths; }
  const std::vector<std::string>& UserAgents() const { return FUserAgents; }

 private:
  void Accept() {
    while (QTcpSocket* socket = FServer.nextPendingConnection()) {
      auto buffer = std::make_shared<QByteArray>();
      QObject::connect(socket, &QTcpSocket::readyRead, socket, [this, socket, buffer] {
        buffer->append(socket->readAll());
        const qsizetype end = buffer->indexOf("\r\n\r\n");
        if (end < 0) return;
        const QByteArray head = buffer->left(end);
        buffer->clear();
        Answer(socket, head);
      });
    }
  }

  void Answer(QTcpSocket* socket, const QByteArray& head) {
    const QList<QByteArray> lines = head.split('\n');
    const QList<QByteArray> requestLine = lines.value(0).trimmed().split(' ');
    const std::string path = requestLine.value(1).toStdString();
    FPaths.push_back(path);
    for (const QByteArray& line : lines) {
      if (line.toLower().startsWith("user-agent:")) {
        FUserAgents.push_back(line.mid(11).trimmed().toStdString());
      }
    }
    const auto route = FRoutes.find(path);
    const CannedReply reply = route != FRoutes.end() ? route->second : Status(404, "Not Found");
    switch (reply.failure) {
      case CannedReply::Failure::StallBeforeHeaders:
        return;
      case CannedReply::Failure::HangUp:
        socket->abort();
        return;
      default:
        break;
    }
    socket->write(Headers(reply));
    if (reply.failure == CannedReply::Failure::StallAfterHeaders) return;
    SendPieces(socket, std::make_shared<CannedReply>(reply), 0);
  }

  static QByteArray Headers(const CannedReply& reply) {
    QByteArray text = "HTTP/1.1 " + QByteArray::number(reply.status) + " " +
                      QByteArray::fromStdString(reply.reason) + "\r\n";
    for (const auto& [name, value] : reply.headers) {
      text += QByteArray::fromStdString(name + ": " + value + "\r\n");
    }
    if (reply.framing == CannedReply::Framing::ContentLength) {
      std::size_t length = 0;
      for (const std::string& piece : reply.pieces)
        length += piece.size();
      if (reply.contentLength) length = *reply.contentLength;
      text += "Content-Length: " + QByteArray::number(qulonglong(length)) + "\r\n";
    } else if (reply.framing == CannedReply::Framing::Chunked) {
      text += "Transfer-Encoding: chunked\r\n";
    }
    text += "Connection: close\r\n\r\n";
    return text;
  }

  static void SendPieces(QTcpSocket* socket, std::shared_ptr<CannedReply> reply, std::size_t next) {
    const bool chunked = reply->framing == CannedReply::Framing::Chunked;
    if (next == reply->pieces.size()) {
      if (chunked) socket->write("0\r\n\r\n");
      socket->disconnectFromHost();
      return;
    }
    QTimer::singleShot(next == 0 ? 0 : reply->pauseMs, socket, [socket, reply, next, chunked] {
      const QByteArray piece = QByteArray::fromStdString(reply->pieces[next]);
      if (chunked) {
        socket->write(QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n");
      } else {
        socket->write(piece);
      }
      socket->flush();
      SendPieces(socket, reply, next + 1);
    });
  }

  QTcpServer FServer;
  std::map<std::string, CannedReply> FRoutes;
  std::vector<std::string> FPaths;
  std::vector<std::string> FUserAgents;
};

}  // namespace parvolane::testing
