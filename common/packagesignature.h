#pragma once

#include <QByteArray>
#include <QList>
#include <QString>
#include <QStringList>

// Signatures the factory puts beside its packages, checked against the station's own keys.
//
// A package's signature lies beside it: its address with ".sig" appended to the path. The file
// holds one line, the Base64 of the 64-byte Ed25519 signature over the 32-byte SHA-256 digest of
// the package file, which a release engineer makes with stock OpenSSL:
//     openssl dgst -sha256 -binary P > P.sha256
//     openssl pkeyutl -sign -rawin -inkey key.pem -in P.sha256 | base64 -w0 > P.sig
// A station lists the public keys it trusts (Base64 of the 32 raw bytes each, "," between
// them), so keys can be rotated: a signature is good when one of them verifies it.
class PackageSignature {
public:
    static constexpr int kKeyBytes = 32;
    static constexpr int kSignatureBytes = 64;
    static constexpr int kDigestBytes = 32;

    // The keys of a "PackageKeys" value. An entry that is not the Base64 of 32 bytes is left
    // out and named in pInvalid (for the log); an empty value gives no key: nothing is checked.
    static QList<QByteArray> parseKeys(const QString &text, QStringList *pInvalid = nullptr);

    // The 64 signature bytes of a signature file's content: one Base64 line, blanks and one line
    // break around it allowed; empty when the content is anything else.
    static QByteArray parseSignatureFile(const QByteArray &content);

    // True when the signature is good for the digest with one of the keys.
    static bool verifyDigest(const QByteArray &digest, const QByteArray &signature,
                             const QList<QByteArray> &keys);

    // The SHA-256 digest of a file, read in blocks; empty when it cannot be read.
    static QByteArray digestOfFile(const QString &path);

    // Where the signature of a package address lies: ".sig" appended to the address's path.
    static QString signatureAddressOf(const QString &packageAddress);
};
