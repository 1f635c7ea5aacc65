#include "common.h"

#include <QDebug>
#include <QFile>
#include <QFileInfo>

PackageSignature::VERDICT_E Common::fetchPackageSignature(const QString &packageUrl, const QString &packageFile,
                                                          const QList<QByteArray> &keys) {
    const QByteArray digest = m_lastDownloadDigest;
    const QString signatureFile = packageFile + QStringLiteral(".sig");
    // One left by an earlier attempt must never stand in for the server's.
    QFile::remove(signatureFile);
    const QString address = PackageSignature::signatureAddressOf(packageUrl);
    const QFileInfo target(signatureFile);
    const bool fetched =
        !address.isEmpty() && DownloadFiles(address, target.absolutePath(), target.fileName());
    m_lastDownloadDigest = digest;
    const PackageSignature::VERDICT_E verdict =
        fetched ? PackageSignature::checkSignatureFile(digest, signatureFile, keys)
                : PackageSignature::SIGNATURE_MISSING;
    qDebug().noquote() << QStringLiteral("安装包签名检查:") << address << PackageSignature::verdictText(verdict);
    return verdict;
}
