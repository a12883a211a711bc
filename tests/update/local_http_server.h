#pragma once

// A small HTTP/1.1 server on 127.0.0.1 for the update tests, plain or over TLS: fixed replies
// per path, bodies with Content-Length, chunked or ended by closing, bodies sent in pieces with
// pauses, and servers that stall, hang up, cut a body off or never stop sending. Runs in the
// test's own event loop.

#include <sys/socket.h>

#include <QByteArray>
#include <QHostAddress>
#include <QSslSocket>
#include <QTcpServer>
#include <QTcpSocket>
#include <QTimer>
#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "test_authority.h"

namespace parvolane::testing {

struct CannedReply {
  enum class Framing { ContentLength, Chunked, UntilClose };
  enum class Failure {
    None,
    StallBeforeHeaders,
    StallAfterHeaders,
    HangUp,
    /// After the pieces the connection ends without ending the body: no last chunk, and over
    /// TLS no closing alert.
    CutOff,
    /// The first piece is sent again and again for as long as the client reads.
    Endless,
  };

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

/// One byte at a time, pauseMs apart.
inline CannedReply Trickle(const std::string& body, int pauseMs) {
  CannedReply reply;
  for (const char byte : body)
    reply.pieces.emplace_back(1, byte);
  reply.pauseMs = pauseMs;
  return reply;
}

/// piece, for ever.
inline CannedReply Endless(std::string piece, CannedReply::Framing framing) {
  CannedReply reply;
  reply.pieces = {std::move(piece)};
  reply.framing = framing;
  reply.failure = CannedReply::Failure::Endless;
  return reply;
}

inline CannedReply Redirect(const std::string& location) {
  CannedReply reply = Status(302, "Found");
  reply.headers.emplace_back("Location", location);
  return reply;
}

/// Hands out plain sockets, or TLS sockets that present the identity.
class MaybeTlsServer final : public QTcpServer {
 public:
  std::optional<ServerIdentity> identity;

 protected:
  void incomingConnection(qintptr descriptor) override {
    if (!identity) return QTcpServer::incomingConnection(descriptor);
    auto* socket = new QSslSocket(this);
    socket->setSocketDescriptor(descriptor);
    socket->setLocalCertificate(identity->certificate);
    socket->setPrivateKey(identity->key);
    addPendingConnection(socket);
    socket->startServerEncryption();
  }
};

class LocalHttpServer final {
 public:
  /// A plain HTTP server, or an HTTPS one when given an identity.
  explicit LocalHttpServer(std::optional<ServerIdentity> identity = std::nullopt) {
    FServer.identity = std::move(identity);
    FServer.listen(QHostAddress::LocalHost, 0);
    QObject::connect(&FServer, &QTcpServer::newConnection, [this] { Accept(); });
  }

  /// "http://127.0.0.1:PORT", or "https://..." for a TLS server.
  std::string BaseUrl() const {
    return (FServer.identity ? "https://" : "http://") + HostAndPort();
  }
  std::string HostAndPort() const { return "127.0.0.1:" + std::to_string(Port()); }
  int Port() const { return FServer.serverPort(); }

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
  /// Body bytes handed to the sockets so far, over all connections.
  std::int64_t BodyBytesSent() const { return FBodyBytesSent; }

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
    if (reply.failure == CannedReply::Failure::Endless) return SendForEver(socket, reply);
    SendPieces(socket, std::make_shared<CannedReply>(reply), 0);
  }

  static bool Open(const QTcpSocket* socket) {
    return socket->state() == QAbstractSocket::ConnectedState;
  }

  static std::int64_t Unsent(const QTcpSocket* socket) {
    const auto* tls = qobject_cast<const QSslSocket*>(socket);
    return socket->bytesToWrite() + (tls != nullptr ? tls->encryptedBytesToWrite() : 0);
  }

  QByteArray Framed(const CannedReply& reply, const QByteArray& piece) {
    FBodyBytesSent += piece.size();
    if (reply.framing != CannedReply::Framing::Chunked) return piece;
    return QByteArray::number(piece.size(), 16) + "\r\n" + piece + "\r\n";
  }

  // Writes only as fast as the client takes the data, so that the server's own buffers stay
  // small and every byte counted has gone to the client.
  void SendForEver(QTcpSocket* socket, const CannedReply& reply) {
    const QByteArray piece = QByteArray::fromStdString(reply.pieces.front());
    auto* pump = new QTimer(socket);
    QObject::connect(pump, &QTimer::timeout, socket, [this, socket, pump, piece, reply] {
      if (!Open(socket)) return pump->stop();
      while (Unsent(socket) < 64 * 1024)
        socket->write(Framed(reply, piece));
    });
    pump->start(1);
  }

  // Ends the stream without a word: the client sees the connection close in mid-body.
  static void CutOff(QTcpSocket* socket) {
    socket->flush();
    ::shutdown(static_cast<int>(socket->socketDescriptor()), SHUT_WR);
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

  void SendPieces(QTcpSocket* socket, std::shared_ptr<CannedReply> reply, std::size_t next) {
    if (next == reply->pieces.size()) return EndPieces(socket, *reply);
    QTimer::singleShot(next == 0 ? 0 : reply->pauseMs, socket, [this, socket, reply, next] {
      if (!Open(socket)) return;
      socket->write(Framed(*reply, QByteArray::fromStdString(reply->pieces[next])));
      socket->flush();
      SendPieces(socket, reply, next + 1);
    });
  }

  static void EndPieces(QTcpSocket* socket, const CannedReply& reply) {
    if (!Open(socket)) return;
    if (reply.failure == CannedReply::Failure::CutOff) return CutOff(socket);
    if (reply.framing == CannedReply::Framing::Chunked) socket->write("0\r\n\r\n");
    socket->disconnectFromHost();
  }

  MaybeTlsServer FServer;
  std::map<std::string, CannedReply> FRoutes;
  std::vector<std::string> FPaths;
  std::vector<std::string> FUserAgents;
  std::int64_t FBodyBytesSent = 0;
};

}  // namespace parvolane::testing
