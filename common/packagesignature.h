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

    // What a station asks for in its CONFIGSET.ini, [Tovarin] "PackageKeys".
    struct STATIONKEYS_S {
        // Any non-empty value asks for signatures, even when no entry of it is a usable key: a
        // station that asked for them never falls back to installing unsigned packages.
        bool m_bRequired = false;
        QList<QByteArray> m_listKeys;
        QStringList m_listInvalid; // entries that are not keys, for the log
    };
    static STATIONKEYS_S stationKeys(const QString &configSetPath);

    enum VERDICT_E {
        SIGNATURE_GOOD,
        SIGNATURE_MISSING,    // no signature beside the package (not found, not fetched)
        SIGNATURE_UNREADABLE, // not one Base64 line of 64 bytes
        SIGNATURE_WRONG       // made by no key of the station, or over other bytes
    };
    // Judges the signature file at signaturePath for a package with that digest.
    static VERDICT_E checkSignatureFile(const QByteArray &digest, const QString &signaturePath,
                                        const QList<QByteArray> &keys);
    // Why a package was refused, for the log.
    static QString verdictText(VERDICT_E verdict);
    // Checks the package file itself against the signature file beside it (package + ".sig").
    static VERDICT_E checkPackageFile(const QString &packagePath, const QList<QByteArray> &keys);

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
