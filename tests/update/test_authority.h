#pragma once

// A certificate authority of the test's own, made with the openssl tool in a temporary folder.
// The client is told to trust it (on top of the system's authorities), so that the HTTPS tests
// run with every check of the product switched on.

#include <QFile>
#include <QProcess>
#include <QSslCertificate>
#include <QSslKey>
#include <QTemporaryDir>
#include <QTest>

namespace parvolane::testing {

/// What a test server presents: its certificate and the matching private key.
struct ServerIdentity {
  QSslCertificate certificate;
  QSslKey key;
};

class TestAuthority final {
 public:
  explicit TestAuthority(const QString& name) {
    Openssl({"req", "-x509", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", Path("ca.key"), "-out", Path("ca.pem"), "-days", "2", "-subj",
             "/CN=" + name, "-addext", "basicConstraints=critical,CA:TRUE", "-addext",
             "keyUsage=critical,keyCertSign,cRLSign"});
    FCertificate = ReadCertificate(Path("ca.pem"));
  }

  const QSslCertificate& Certificate() const { return FCertificate; }

  /// A server certificate signed by this authority for the given subjectAltName value, for
  /// example "IP:127.0.0.1" or "DNS:other.invalid".
  ServerIdentity Issue(const QString& altNames) {
    const QString base = Path("server" + QString::number(++FIssued));
    QFile extensions(base + ".ext");
    if (!extensions.open(QIODevice::WriteOnly)) qFatal("cannot write the extension file");
    extensions.write(("subjectAltName=" + altNames +
                      "\nbasicConstraints=critical,CA:FALSE\nkeyUsage=critical,digitalSignature"
                      "\nextendedKeyUsage=serverAuth\n")
                         .toUtf8());
    extensions.close();
    Openssl({"req", "-new", "-newkey", "ec", "-pkeyopt", "ec_paramgen_curve:prime256v1", "-nodes",
             "-keyout", base + ".key", "-out", base + ".csr", "-subj",
             "/CN=Parvolane test server"});
    Openssl({"x509", "-req", "-in", base + ".csr", "-CA", Path("ca.pem"), "-CAkey", Path("ca.key"),
             "-set_serial", QString::number(FIssued + 1), "-days", "2", "-extfile", base + ".ext",
             "-out", base + ".pem"});
    QFile key(base + ".key");
    if (!key.open(QIODevice::ReadOnly)) qFatal("cannot read the server key");
    return {ReadCertificate(base + ".pem"), QSslKey(&key, QSsl::Ec)};
  }

 private:
  QString Path(const QString& name) const { return FFolder.filePath(name); }

  static void Openssl(const QStringList& arguments) {
    QProcess openssl;
    openssl.start(QStringLiteral("openssl"), arguments);
    if (!openssl.waitForFinished(60000) || openssl.exitStatus() != QProcess::NormalExit ||
        openssl.exitCode() != 0) {
      qFatal("openssl %s failed: %s", qPrintable(arguments.join(' ')),
             openssl.readAllStandardError().constData());
    }
  }

  static QSslCertificate ReadCertificate(const QString& path) {
    const QList<QSslCertificate> certificates = QSslCertificate::fromPath(path);
    if (certificates.size() != 1) qFatal("cannot read %s", qPrintable(path));
    return certificates.front();
  }

  QTemporaryDir FFolder;
  QSslCertificate FCertificate;
  int FIssued = 0;
};

}  // namespace parvolane::testing
