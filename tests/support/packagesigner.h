#pragma once

#include <QByteArray>
#include <QString>

// A factory signing key for tests, made fresh with libsodium (no openssl needed, so it works
// under wine too): signs package files as the release does and gives the station's key line.
class PackageSigner {
public:
    PackageSigner(); // a new key pair

    // Base64 of the 32 public-key bytes: the entry for CONFIGSET.ini [Tovarin] PackageKeys.
    QString keyLine() const;
    // The signature file's content for a package: Base64 of the signature over its SHA-256.
    QByteArray signatureFileOf(const QString &packagePath) const;
    // Writes packagePath + ".sig" (or sigPath); false when the package cannot be read.
    bool signFile(const QString &packagePath, const QString &sigPath = QString()) const;
    // The private key as openssl writes it (PKCS#8 PEM), for the stand-in server's --signing-key.
    bool writePem(const QString &path) const;

private:
    QByteArray m_publicKey;
    QByteArray m_secretKey;
};
