#pragma once

#include <QString>
#include <QStringList>

// An Ed25519 key pair for package-signature tests, made and used with the openssl command the
// way the factory signs its releases (scripts/sign-package.sh), so a test checks the station
// against signatures it did not make itself.
//
//     SigningKey key;
//     if (!key.generate(scratch.path()))
//         QSKIP(qPrintable(key.lastError()));   // no openssl here (Windows, wine)
//     QVERIFY2(key.signFile(server.filesDir() + "/BPC-1.5.0.0.zip"), qPrintable(key.lastError()));
//     // CONFIGSET.ini: [Tovarin] PackageKeys=key.publicKeyLine()
//
// Every call returns false and says why in lastError() when openssl is missing or fails.
class SigningKey {
public:
    // A new key in folder/<name>.pem; its public key is read at once.
    bool generate(const QString &folder, const QString &name = QStringLiteral("signing-key"));
    QString pemPath() const { return m_szPemPath; }
    // Base64 of the 32 raw public-key bytes: one entry of a station's PackageKeys.
    QString publicKeyLine() const { return m_szPublicKeyLine; }
    // Writes the one-line signature file of package (default: package + ".sig").
    bool signFile(const QString &package, const QString &sigPath = QString()) const;
    QString lastError() const { return m_szLastError; }

private:
    bool openssl(const QStringList &arguments) const;
    bool fail(const QString &text) const;

    QString m_szPemPath;
    QString m_szPublicKeyLine;
    mutable QString m_szLastError;
};
