// Package signatures as the factory makes them and a station checks them.
#include "hashingthread.h"
#include "packagesignature.h"
#include "packagesigner.h"
#include "testfiles.h"

#include <QProcess>
#include <QTemporaryDir>
#include <QtTest>


class tst_PackageSignature : public QObject {
    Q_OBJECT
private slots:
    void verification_data();
    void verification();
    void signedWithOpenSsl();
    void keyLines_data();
    void keyLines();
    void digestOnItsOwnThread_data();
    void digestOnItsOwnThread();

private:
    PackageSigner m_factory;
    PackageSigner m_other;
};

// A package file, its signature file as the server serves it, and the station's keys.
void tst_PackageSignature::verification_data() {
    QTest::addColumn<QString>("signer");      // factory, other
    QTest::addColumn<QString>("damage");      // what happens to package or signature file
    QTest::addColumn<QString>("stationKeys"); // factory, other, "other,factory"
    QTest::addColumn<int>("verdict");

    const int good = PackageSignature::SIGNATURE_GOOD;
    const int wrong = PackageSignature::SIGNATURE_WRONG;
    const int unreadable = PackageSignature::SIGNATURE_UNREADABLE;

    QTest::newRow("signed well") << "factory" << "" << "factory" << good;
    QTest::newRow("signed with another key") << "other" << "" << "factory" << wrong;
    QTest::newRow("one byte of the package changed") << "factory" << "package byte" << "factory" << wrong;
    QTest::newRow("signature truncated") << "factory" << "truncated" << "factory" << unreadable;
    QTest::newRow("signature file empty") << "factory" << "empty" << "factory" << unreadable;
    QTest::newRow("signature not Base64") << "factory" << "garbage" << "factory" << unreadable;
    QTest::newRow("signature missing") << "factory" << "missing" << "factory"
                                       << int(PackageSignature::SIGNATURE_MISSING);
    QTest::newRow("line break after the signature") << "factory" << "newline" << "factory" << good;
    QTest::newRow("keys rotated: the new key signs") << "factory" << "" << "other,factory" << good;
    QTest::newRow("keys rotated: the old key signs") << "other" << "" << "other,factory" << good;
}

void tst_PackageSignature::verification() {
    QFETCH(QString, signer);
    QFETCH(QString, damage);
    QFETCH(QString, stationKeys);
    QFETCH(int, verdict);

    QTemporaryDir dir;
    const QString package = dir.filePath("tool.zip");
    QByteArray bytes(300000, '\0');
    for (int i = 0; i < bytes.size(); ++i)
        bytes[i] = char(i * 7 % 251);
    QVERIFY(TestFiles::write(package, bytes));
    QByteArray sigFile = (signer == "factory" ? m_factory : m_other).signatureFileOf(package);
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
        keyLine += (keyLine.isEmpty() ? "" : ", ") + (name == "factory" ? m_factory : m_other).keyLine();

    const QList<QByteArray> keys = PackageSignature::parseKeys(keyLine);
    QCOMPARE(keys.size(), stationKeys.split(',').size());
    if (damage != "missing")
        QVERIFY(TestFiles::write(package + ".sig", sigFile));
    QCOMPARE(int(PackageSignature::checkPackageFile(package, keys)), verdict);
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

// The station's "PackageKeys" as an operator or a script writes it into CONFIGSET.ini.
void tst_PackageSignature::keyLines_data() {
    QTest::addColumn<QString>("line");
    QTest::addColumn<bool>("required");
    QTest::addColumn<int>("keys");
    QTest::addColumn<QStringList>("invalid");

    const QString key = QString(44 - 1, 'A') + "=";
    QTest::newRow("empty: nothing is checked") << "" << false << 0 << QStringList();
    QTest::newRow("two keys, blanks around") << " " + key + " ,  " + key + " " << true << 2 << QStringList();
    QTest::newRow("two keys quoted") << "\"" + key + "," + key + "\"" << true << 2 << QStringList();
    QTest::newRow("a short key is left out") << key + ",AAAA" << true << 1 << QStringList{"AAAA"};
    QTest::newRow("no usable key still asks for signatures")
        << "*" + key.mid(1) << true << 0 << QStringList{"*" + key.mid(1)};
}

void tst_PackageSignature::keyLines() {
    QFETCH(QString, line);
    QFETCH(bool, required);
    QFETCH(int, keys);
    QFETCH(QStringList, invalid);
    QTemporaryDir dir;
    QVERIFY(TestFiles::write(dir.filePath("CONFIGSET.ini"),
                             "[Tovarin]\r\nID=100\r\nPackageKeys=" + line.toUtf8() + "\r\nExe=Tovarin\r\n"));
    const PackageSignature::STATIONKEYS_S found = PackageSignature::stationKeys(dir.filePath("CONFIGSET.ini"));
    QCOMPARE(found.m_bRequired, required);
    QCOMPARE(found.m_listKeys.size(), keys);
    QCOMPARE(found.m_listInvalid, invalid);
}

// The digest a download takes on a thread of its own: pieces handed over in the blocks it
// lends, or copied in, in any sizes, give the digest of the whole; and it starts over.
void tst_PackageSignature::digestOnItsOwnThread_data() {
    QTest::addColumn<QList<int>>("pieces"); // bytes; a negative one is copied in with addData()
    const int block = 1000;
    QTest::newRow("blocks lent, more of them than it holds")
        << QList<int>{block, 1, block - 1, 0, block, block, block, block, 7, block};
    QTest::newRow("copied in across blocks") << QList<int>{-(block * 9 + 3), -1};
    QTest::newRow("lent and copied in turn") << QList<int>{block, -(block + 1), 5, -block};
}

void tst_PackageSignature::digestOnItsOwnThread() {
    QFETCH(QList<int>, pieces);
    HashingThread hashing(1000);
    QByteArray whole;
    for (const int piece : pieces) {
        QByteArray bytes(qAbs(piece), Qt::Uninitialized);
        for (int i = 0; i < bytes.size(); ++i)
            bytes[i] = char((whole.size() + i) * 7 % 251);
        if (piece < 0) {
            hashing.addData(bytes.constData(), bytes.size());
        } else {
            memcpy(hashing.block(), bytes.constData(), size_t(piece));
            hashing.add(piece);
        }
        whole += bytes;
    }
    QCOMPARE(hashing.result(), QCryptographicHash::hash(whole, QCryptographicHash::Sha256));
    QCOMPARE(hashing.result(), QCryptographicHash::hash(QByteArray(), QCryptographicHash::Sha256));
}

QTEST_GUILESS_MAIN(tst_PackageSignature)
#include "tst_packagesignature.moc"
