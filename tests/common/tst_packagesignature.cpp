// Package signatures as the factory makes them and a station checks them.
#include "packagesignature.h"
#include "testfiles.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>

#include <sodium.h>

namespace {

struct KeyPair {
    QByteArray publicKey;
    QByteArray secretKey;
};

KeyPair newKeyPair() {
    KeyPair pair;
    pair.publicKey.resize(crypto_sign_PUBLICKEYBYTES);
    pair.secretKey.resize(crypto_sign_SECRETKEYBYTES);
    crypto_sign_keypair(reinterpret_cast<unsigned char *>(pair.publicKey.data()),
                        reinterpret_cast<unsigned char *>(pair.secretKey.data()));
    return pair;
}

QByteArray sign(const QByteArray &digest, const KeyPair &pair) {
    QByteArray signature(crypto_sign_BYTES, '\0');
    crypto_sign_detached(reinterpret_cast<unsigned char *>(signature.data()), nullptr,
                         reinterpret_cast<const unsigned char *>(digest.constData()), quint64(digest.size()),
                         reinterpret_cast<const unsigned char *>(pair.secretKey.constData()));
    return signature;
}

} // namespace

class tst_PackageSignature : public QObject {
    Q_OBJECT
private slots:
    void initTestCase();
    void verification_data();
    void verification();
    void signedWithOpenSsl();
    void keyLines_data();
    void keyLines();

private:
    KeyPair m_factory;
    KeyPair m_other;
};

void tst_PackageSignature::initTestCase() {
    QVERIFY(sodium_init() >= 0);
    m_factory = newKeyPair();
    m_other = newKeyPair();
}

// A package file, its signature file as the server serves it, and the station's keys.
void tst_PackageSignature::verification_data() {
    QTest::addColumn<QString>("signer");      // factory, other
    QTest::addColumn<QString>("damage");      // what happens to package or signature file
    QTest::addColumn<QString>("stationKeys"); // factory, other, "other,factory"
    QTest::addColumn<bool>("good");

    QTest::newRow("signed well") << "factory"
                                 << ""
                                 << "factory" << true;
    QTest::newRow("signed with another key") << "other"
                                             << ""
                                             << "factory" << false;
    QTest::newRow("one byte of the package changed") << "factory"
                                                     << "package byte"
                                                     << "factory" << false;
    QTest::newRow("signature truncated") << "factory"
                                         << "truncated"
                                         << "factory" << false;
    QTest::newRow("signature file empty") << "factory"
                                          << "empty"
                                          << "factory" << false;
    QTest::newRow("signature not Base64") << "factory"
                                          << "garbage"
                                          << "factory" << false;
    QTest::newRow("line break after the signature") << "factory"
                                                    << "newline"
                                                    << "factory" << true;
    QTest::newRow("keys rotated: the new key signs") << "factory"
                                                     << ""
                                                     << "other,factory" << true;
    QTest::newRow("keys rotated: the old key signs") << "other"
                                                     << ""
                                                     << "other,factory" << true;
}

void tst_PackageSignature::verification() {
    QFETCH(QString, signer);
    QFETCH(QString, damage);
    QFETCH(QString, stationKeys);
    QFETCH(bool, good);

    QTemporaryDir dir;
    const QString package = dir.filePath("tool.zip");
    QByteArray bytes(300000, '\0');
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 7 % 251);
    QVERIFY(TestFiles::write(package, bytes));
    const QByteArray signature =
        sign(PackageSignature::digestOfFile(package), signer == "factory" ? m_factory : m_other);
    QByteArray sigFile = signature.toBase64();
    if (damage == "package byte") {
        bytes[123456] = char(bytes.at(123456) ^ 1);
        QVERIFY(TestFiles::write(package, bytes));
    } else if (damage == "truncated") {
        sigFile.chop(4);
    } else if (damage == "empty") {
        sigFile.clear();
    } else if (damage == "garbage") {
        sigFile.replace(10, 3, "*!*");
    } else if (damage == "newline") {
        sigFile += "\r\n";
    }
    QString keyLine;
    for (const QString &name : stationKeys.split(','))
        keyLine += (keyLine.isEmpty() ? "" : ", ") +
                   QString::fromLatin1((name == "factory" ? m_factory : m_other).publicKey.toBase64());

    const QList<QByteArray> keys = PackageSignature::parseKeys(keyLine);
    QCOMPARE(keys.size(), stationKeys.split(',').size());
    QCOMPARE(PackageSignature::verifyDigest(PackageSignature::digestOfFile(package),
                                            PackageSignature::parseSignatureFile(sigFile), keys),
             good);
}

// The release engineer's way: a key from openssl genpkey, the digest from openssl dgst, the
// signature from openssl pkeyutl, and the station's key line from the public key's last 32 bytes.
void tst_PackageSignature::signedWithOpenSsl() {
    if (QSysInfo::productType() == QLatin1String("windows"))
        QSKIP("packages are signed on the release machine, with Linux's openssl and base64");
    QTemporaryDir dir;
    const auto run = [&dir](const QString &command) {
        QProcess shell;
        shell.setWorkingDirectory(dir.path());
        shell.start("/bin/sh", {"-c", command});
        return shell.waitForFinished(30000) && shell.exitCode() == 0;
    };
    if (!run("openssl version"))
        QSKIP("openssl is not installed");
    QVERIFY(TestFiles::write(dir.filePath("P.zip"), QByteArray(100000, 'p')));
    QVERIFY(run("openssl genpkey -algorithm ed25519 -out key.pem"));
    QVERIFY(run("openssl dgst -sha256 -binary P.zip > P.sha256"));
    QVERIFY(run("openssl pkeyutl -sign -rawin -inkey key.pem -in P.sha256 | base64 -w0 > P.zip.sig"));
    QVERIFY(run("openssl pkey -in key.pem -pubout -outform DER | tail -c 32 | base64 -w0 > key.line"));

    const QList<QByteArray> keys =
        PackageSignature::parseKeys(QString::fromLatin1(TestFiles::read(dir.filePath("key.line"))));
    QCOMPARE(keys.size(), 1);
    const QByteArray signature =
        PackageSignature::parseSignatureFile(TestFiles::read(dir.filePath("P.zip.sig")));
    QCOMPARE(signature.size(), PackageSignature::kSignatureBytes);
    QVERIFY(PackageSignature::verifyDigest(PackageSignature::digestOfFile(dir.filePath("P.zip")), signature,
                                           keys));
    QVERIFY(!PackageSignature::verifyDigest(QByteArray(32, 'x'), signature, keys));
}

void tst_PackageSignature::keyLines_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<int>("keys");
    QTest::addColumn<QStringList>("invalid");

    const QString key = QString(44 - 1, 'A') + "=";
    QTest::newRow("empty: nothing is checked") << "" << 0 << QStringList();
    QTest::newRow("two keys, blanks around") << " " + key + " ,  " + key + " " << 2 << QStringList();
    QTest::newRow("a short key is left out") << key + ",AAAA" << 1 << QStringList{"AAAA"};
    QTest::newRow("not Base64 is left out") << "*" + key.mid(1) << 0 << QStringList{"*" + key.mid(1)};
}

void tst_PackageSignature::keyLines() {
    QFETCH(QString, line);
    QFETCH(int, keys);
    QFETCH(QStringList, invalid);
    QStringList found;
    QCOMPARE(PackageSignature::parseKeys(line, &found).size(), keys);
    QCOMPARE(found, invalid);
}

QTEST_GUILESS_MAIN(tst_PackageSignature)
#include "tst_packagesignature.moc"
