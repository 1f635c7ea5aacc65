#include "signingkeys.h"

#include <QDir>
#include <QFile>
#include <QProcess>
#include <QSaveFile>
#include <QStandardPaths>
#include <QTemporaryDir>

namespace {
const int kRunLimitMs = 30000;
const int kPublicKeyBytes = 32;
const int kSignatureBytes = 64;

QByteArray readAll(const QString &path) {
    QFile file(path);
    return file.open(QIODevice::ReadOnly) ? file.readAll() : QByteArray();
}
} // namespace

bool SigningKey::fail(const QString &text) const {
    m_szLastError = text;
    return false;
}

bool SigningKey::openssl(const QStringList &arguments) const {
    // Looked up first: on Windows (and under wine) there is often none, and the caller skips.
    const QString program = QStandardPaths::findExecutable(QStringLiteral("openssl"));
    if (program.isEmpty())
        return fail(QStringLiteral("openssl not found"));
    QProcess process;
    process.start(program, arguments);
    if (!process.waitForFinished(kRunLimitMs)) {
        process.kill();
        process.waitForFinished();
        return fail(QStringLiteral("openssl %1 did not finish").arg(arguments.value(0)));
    }
    if (process.exitStatus() != QProcess::NormalExit || process.exitCode() != 0)
        return fail(
            QStringLiteral("openssl %1 failed: %2")
                .arg(arguments.value(0), QString::fromLocal8Bit(process.readAllStandardError()).trimmed()));
    return true;
}

bool SigningKey::generate(const QString &folder, const QString &name) {
    m_szPemPath.clear();
    m_szPublicKeyLine.clear();
    const QString pem = QDir(folder).filePath(name + QStringLiteral(".pem"));
    QTemporaryDir work;
    if (!work.isValid())
        return fail(QStringLiteral("cannot create a temporary folder"));
    // Results go through files, not standard output: output of a host program run under wine
    // never reaches the Windows side.
    const QString der = work.filePath(QStringLiteral("public.der"));
    if (!openssl({QStringLiteral("genpkey"), QStringLiteral("-algorithm"), QStringLiteral("ed25519"),
                  QStringLiteral("-out"), pem}) ||
        !openssl({QStringLiteral("pkey"), QStringLiteral("-in"), pem, QStringLiteral("-pubout"),
                  QStringLiteral("-outform"), QStringLiteral("DER"), QStringLiteral("-out"), der}))
        return false;
    // The DER form of an Ed25519 public key ends with its 32 raw bytes.
    const QByteArray encoded = readAll(der);
    if (encoded.size() <= kPublicKeyBytes)
        return fail(QStringLiteral("openssl wrote no Ed25519 public key"));
    m_szPemPath = pem;
    m_szPublicKeyLine = QString::fromLatin1(encoded.right(kPublicKeyBytes).toBase64());
    return true;
}

bool SigningKey::signFile(const QString &package, const QString &sigPath) const {
    if (m_szPemPath.isEmpty())
        return fail(QStringLiteral("no key generated"));
    QTemporaryDir work;
    if (!work.isValid())
        return fail(QStringLiteral("cannot create a temporary folder"));
    const QString digest = work.filePath(QStringLiteral("digest"));
    const QString signature = work.filePath(QStringLiteral("signature"));
    // OpenSSL 3.0 signs a raw input only from a file.
    if (!openssl({QStringLiteral("dgst"), QStringLiteral("-sha256"), QStringLiteral("-binary"),
                  QStringLiteral("-out"), digest, package}) ||
        !openssl({QStringLiteral("pkeyutl"), QStringLiteral("-sign"), QStringLiteral("-rawin"),
                  QStringLiteral("-inkey"), m_szPemPath, QStringLiteral("-in"), digest,
                  QStringLiteral("-out"), signature}))
        return false;
    const QByteArray bytes = readAll(signature);
    if (bytes.size() != kSignatureBytes)
        return fail(QStringLiteral("openssl wrote a signature of %1 bytes").arg(bytes.size()));
    QSaveFile out(sigPath.isEmpty() ? package + QStringLiteral(".sig") : sigPath);
    if (!out.open(QIODevice::WriteOnly) || out.write(bytes.toBase64()) < 0 || !out.commit())
        return fail(QStringLiteral("cannot write ") + out.fileName());
    return true;
}
