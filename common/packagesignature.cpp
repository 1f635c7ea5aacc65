#include "packagesignature.h"

#include "platform.h"

#include <QFile>
#include <QSettings>
#include <QTextCodec>
#include <QUrl>

#include <sodium.h>

namespace {

bool sodiumReady() {
    // Safe to call from any thread, any number of times.
    static const bool ready = sodium_init() >= 0;
    return ready;
}

// Base64 in its standard alphabet only: a decoder that skips what it does not know would take
// a damaged line for a shorter valid one.
QByteArray strictBase64(const QByteArray &text) {
    const QByteArray::FromBase64Result decoded = QByteArray::fromBase64Encoding(
        text, QByteArray::Base64Encoding | QByteArray::AbortOnBase64DecodingErrors);
    return decoded ? decoded.decoded : QByteArray();
}

} // namespace

QList<QByteArray> PackageSignature::parseKeys(const QString &text, QStringList *pInvalid) {
    QList<QByteArray> keys;
    for (const QString &entry : text.split(QLatin1Char(','), Qt::SkipEmptyParts)) {
        const QByteArray key = strictBase64(entry.trimmed().toLatin1());
        if (key.size() == kKeyBytes && !entry.trimmed().isEmpty())
            keys.append(key);
        else if (pInvalid && !entry.trimmed().isEmpty())
            pInvalid->append(entry.trimmed());
    }
    return keys;
}

QByteArray PackageSignature::parseSignatureFile(const QByteArray &content) {
    QByteArray line = content.trimmed();
    if (line.contains('\n') || line.contains('\r') || line.contains(' ') || line.contains('\t'))
        return QByteArray();
    const QByteArray signature = strictBase64(line);
    return signature.size() == kSignatureBytes ? signature : QByteArray();
}

bool PackageSignature::verifyDigest(const QByteArray &digest, const QByteArray &signature,
                                    const QList<QByteArray> &keys) {
    if (!sodiumReady() || digest.size() != kDigestBytes || signature.size() != kSignatureBytes)
        return false;
    for (const QByteArray &key : keys) {
        if (key.size() != kKeyBytes)
            continue;
        if (crypto_sign_verify_detached(reinterpret_cast<const unsigned char *>(signature.constData()),
                                        reinterpret_cast<const unsigned char *>(digest.constData()),
                                        quint64(digest.size()),
                                        reinterpret_cast<const unsigned char *>(key.constData())) == 0)
            return true;
    }
    return false;
}

QByteArray PackageSignature::digestOfFile(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    Platform::Sha256 hash;
    QByteArray block(1 << 20, Qt::Uninitialized);
    qint64 n;
    while ((n = file.read(block.data(), block.size())) > 0)
        hash.addData(block.constData(), n);
    return n < 0 ? QByteArray() : hash.result();
}

QString PackageSignature::signatureAddressOf(const QString &packageAddress) {
    QUrl url(packageAddress);
    if (!url.isValid() || url.path().isEmpty())
        return QString();
    url.setPath(url.path() + QStringLiteral(".sig"));
    return url.toString();
}

PackageSignature::STATIONKEYS_S PackageSignature::stationKeys(const QString &configSetPath) {
    STATIONKEYS_S result;
    QSettings settings(configSetPath, QSettings::IniFormat);
    settings.setIniCodec(QTextCodec::codecForName("UTF-8"));
    // Unquoted, "a,b" reads as a list; quoted, as one text: both mean the same keys.
    const QString text = settings.value(QStringLiteral("Tovarin/PackageKeys")).toStringList().join(QLatin1Char(','));
    result.m_bRequired = !text.trimmed().isEmpty();
    result.m_listKeys = parseKeys(text, &result.m_listInvalid);
    return result;
}

PackageSignature::VERDICT_E PackageSignature::checkSignatureFile(const QByteArray &digest,
                                                                 const QString &signaturePath,
                                                                 const QList<QByteArray> &keys) {
    QFile file(signaturePath);
    if (!file.open(QIODevice::ReadOnly))
        return SIGNATURE_MISSING;
    // A signature line is under 100 bytes; anything far larger is not one.
    const QByteArray content = file.read(4096);
    const QByteArray signature = parseSignatureFile(content);
    if (signature.isEmpty() || !file.atEnd())
        return SIGNATURE_UNREADABLE;
    return verifyDigest(digest, signature, keys) ? SIGNATURE_GOOD : SIGNATURE_WRONG;
}

PackageSignature::VERDICT_E PackageSignature::checkPackageFile(const QString &packagePath,
                                                               const QList<QByteArray> &keys) {
    const QString signaturePath = packagePath + QStringLiteral(".sig");
    if (!QFile::exists(signaturePath))
        return SIGNATURE_MISSING;
    return checkSignatureFile(digestOfFile(packagePath), signaturePath, keys);
}

QString PackageSignature::verdictText(VERDICT_E verdict) {
    switch (verdict) {
    case SIGNATURE_GOOD:
        return QStringLiteral("签名有效");
    case SIGNATURE_MISSING:
        return QStringLiteral("签名文件缺失");
    case SIGNATURE_UNREADABLE:
        return QStringLiteral("签名文件无法识别");
    case SIGNATURE_WRONG:
        break;
    }
    return QStringLiteral("签名与安装包不符");
}
