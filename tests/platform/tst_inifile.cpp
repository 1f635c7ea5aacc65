#include "platform.h"
#include "testfiles.h"

#include <QFile>
#include <QSettings>
#include <QTemporaryDir>
#include <QtTest>

// The station files are written one key at a time and read back with QSettings (INI, UTF-8):
// what is written must come back exactly, and nothing else in the file may change.
class TestIniFile : public QObject {
    Q_OBJECT

private slots:
    void roundTrip_data();
    void roundTrip();
    void preservesTheRestOfTheFile_data();
    void preservesTheRestOfTheFile();
    void rejectsNamesThatWouldBreakTheFile_data();
    void rejectsNamesThatWouldBreakTheFile();
    void keepsFileAttributes();
    void findsKeysWrittenWithAnotherSpelling_data();
    void findsKeysWrittenWithAnotherSpelling();
};

namespace {

bool put(const QString &path, const QString &section, const QString &key, const QString &value) {
    return Platform::writeProfileString(QFile::encodeName(path), section, key, value);
}

QByteArray readAll(const QString &path) {
    return TestFiles::read(path, QByteArray());
}

int nonBlankLines(const QByteArray &text) {
    int count = 0;
    for (const QByteArray &line : text.split('\n'))
        count += !line.trimmed().isEmpty();
    return count;
}

#ifdef Q_OS_WIN
// Every key and value as QSettings reads them.
QMap<QString, QString> settingsOf(const QString &path) {
    QSettings settings(path, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    QMap<QString, QString> values;
    for (const QString &key : settings.allKeys())
        values.insert(key, settings.value(key).toString());
    return values;
}
#endif

} // namespace

void TestIniFile::roundTrip_data() {
    QTest::addColumn<QString>("value");
    QTest::addColumn<bool>("plain"); // written as it is
    const auto row = [](const char *name, const QString &value, bool plain = false) {
        QTest::newRow(name) << value << plain;
    };
    row("comma", "ACME, Inc.");
    row("commas only", ",,");
    row("semicolon", "a;b");
    row("leading semicolon", "; not a comment");
    row("double quotes", "say \"hi\"");
    row("lone quote", "5\" screen");
    row("backslashes", "C:\\tools\\BPC\\");
    row("backslash n literally", "a\\nb");
    row("hash", "#1 station");
    row("equals", "a=b==c");
    row("leading blanks", "   left");
    row("trailing blanks", "right   ");
    row("only blanks", "   ");
    row("chinese", "常电成品测试");
    row("chinese with comma", "深圳，宝安, 二号线");
    row("release notes lf", "1. 修复登录\n2. fix crash\n\n4. end");
    row("release notes crlf", "line one\r\nline two\r\n");
    row("empty", QString());
    row("tabs", "\tcol1\tcol2\t");
    row("control then hex digit", QStringLiteral("\x01") + "abc\x1f" + "F");
    row("at sign", "@Invalid()");
    row("typed-looking", "@Variant(abc)");
    row("brackets", "[Tovarin]");
    row("percent", "100%");
    row("emoji", "ok \U0001F600");
    row("url with query", "http://10.0.0.2/pkg.zip?a=1&b=2;c");
    row("base64 with padding", "MTIzNA==");
    row("lines that look like keys", "x\n[LoginUser]\nPassword=evil\r\nloginToken=t");
    // Text copied out of files that start with a byte-order mark carries U+FEFF.
    row("byte-order mark character", QString(QChar(0xFEFF)) + "产品A");
    row("byte-order mark after an escape", "a\\" + QString(QChar(0xFEFF)) + "b");
    row("lone surrogate", QStringLiteral("x") + QChar(0xD83D) + "y");
    // Tools outside the launcher read these files raw; ordinary values must look ordinary.
    row("plain bool", "true", true);
    row("plain number", "123", true);
    row("plain negative", "-1", true);
    row("plain date time", "2026-01-02 10:00:00", true);
    row("plain name", "ACME Inc.", true);
    row("plain chinese", "张三的工位", true);
    row("plain path", "./IPCProductCheck/conf/a.ini", true);
    row("plain resource", ":/product/resource/image/cameraModel.png", true);
    row("plain equals inside", "a=b", true);
    row("plain hash", "#5", true);
    row("plain inner blank", "line 3", true);
}

void TestIniFile::roundTrip() {
    QFETCH(QString, value);
    QFETCH(bool, plain);
    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    const QString path = dir.filePath(QStringLiteral("UpgradeConfig.ini"));

    // Neighbours on both sides: a value must not swallow or split the lines around it.
    QVERIFY(put(path, "Tovarin", "versionNo", "1.1.1.3"));
    QVERIFY(put(path, "Tovarin", "versionRemark", "old"));
    QVERIFY(put(path, "Tovarin", "loginToken", "tok"));
    QVERIFY(put(path, "Tovarin", "versionRemark", value));
    QVERIFY(put(path, "Other", "k", value));

    QSettings settings(path, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    QCOMPARE(settings.status(), QSettings::NoError);
    const QVariant read = settings.value(QStringLiteral("Tovarin/versionRemark"));
    QCOMPARE(read.type(), QVariant::String);
    QCOMPARE(read.toString(), value);
    QCOMPARE(settings.value(QStringLiteral("Other/k")).toString(), value);
    QCOMPARE(settings.value(QStringLiteral("Tovarin/versionNo")).toString(), QStringLiteral("1.1.1.3"));
    QCOMPARE(settings.value(QStringLiteral("Tovarin/loginToken")).toString(), QStringLiteral("tok"));
    QCOMPARE(settings.allKeys().size(), 4);
    if (value.contains(QLatin1Char('\n')))
        QCOMPARE(read.toString().split(QLatin1Char('\n')), value.split(QLatin1Char('\n')));

    // One line per key, whatever the value holds.
    QCOMPARE(nonBlankLines(readAll(path)), 4 + 2);

    if (plain) {
        const QString raw = dir.filePath(QStringLiteral("MAINSET.ini"));
        QVERIFY(put(raw, "FAST_CONF", "lastConf", value));
        QCOMPARE(readAll(raw).replace("\r\n", "\n"), "[FAST_CONF]\nlastConf=" + value.toUtf8() + "\n");
    }
}

void TestIniFile::preservesTheRestOfTheFile_data() {
    QTest::addColumn<QByteArray>("before"); // null: no file
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    QTest::addColumn<QString>("value");
    QTest::addColumn<QByteArray>("after");
    const auto row = [](const char *name, const char *before, const char *section, const char *key,
                        const char *value, const char *after) {
        QTest::newRow(name) << (before ? QByteArray(before) : QByteArray()) << QString::fromUtf8(section)
                            << QString::fromUtf8(key) << QString::fromUtf8(value) << QByteArray(after);
    };
    row("missing file is created", nullptr, "Tovarin", "needUpgrade", "1", "[Tovarin]\nneedUpgrade=1\n");
    row("case-insensitive section and key, spelling kept", "[tovarin]\r\nupgradePackageType=exe\r\nx=1\r\n",
        "Tovarin", "UpgradePackageType", "zip", "[tovarin]\r\nupgradePackageType=zip\r\nx=1\r\n");
    row("replaced in place, neighbours untouched", "[A]\nfirst = 1 \nk=old\nlast=  3\n", "A", "k", "new",
        "[A]\nfirst = 1 \nk=new\nlast=  3\n");
    row("blanks around the equals sign", "[A]\n  k  =  old\n", "A", "K", "v", "[A]\n  k  =v\n");
    row("comments and unknown lines kept, new key after the last key",
        "; station file\n[A]\nx=1\n# hash comment\nnot a key line\n\n[B]\ny=2\n", "A", "y", "3",
        "; station file\n[A]\nx=1\ny=3\n# hash comment\nnot a key line\n\n[B]\ny=2\n");
    row("trailing blank lines stay after the section", "[A]\nx=1\n\n\n[B]\nz=1\n", "A", "k", "v",
        "[A]\nx=1\nk=v\n\n\n[B]\nz=1\n");
    row("section without keys", "[A]\r\n[B]\r\nb=1\r\n", "a", "k", "v", "[A]\r\nk=v\r\n[B]\r\nb=1\r\n");
    row("new section at the end", "[A]\nx=1\n", "B", "k", "v", "[A]\nx=1\n\n[B]\nk=v\n");
    row("new section, file without final line break", "[A]\r\nx=1", "B", "k", "v",
        "[A]\r\nx=1\r\n\r\n[B]\r\nk=v\r\n");
    row("new key, file without final line break", "[A]\nx=1", "A", "y", "2", "[A]\nx=1\ny=2\n");
    row("same key in another section untouched", "[A]\nk=1\n[B]\nk=2\n", "B", "k", "3",
        "[A]\nk=1\n[B]\nk=3\n");
    row("duplicate section: every occurrence replaced", "[A]\nk=1\n[B]\nx=0\n[a]\nk=2\n", "A", "k", "9",
        "[A]\nk=9\n[B]\nx=0\n[a]\nk=9\n");
    row("duplicate section: new key into the first", "[A]\nx=1\n[B]\n[A]\ny=2\n", "A", "k", "v",
        "[A]\nx=1\nk=v\n[B]\n[A]\ny=2\n");
    row("longer key with the same start is another key", "[A]\nkey1=1\n", "A", "key", "2",
        "[A]\nkey1=1\nkey=2\n");
    row("commented-out key is not the key", "[A]\n;k=1\nx=0\n", "A", "k", "2", "[A]\n;k=1\nx=0\nk=2\n");
    row("keys before any section are not in it", "k=1\n[A]\nx=0\n", "A", "k", "2", "k=1\n[A]\nx=0\nk=2\n");
    row("utf-8 mark before the first section", "\xEF\xBB\xBF[A]\nk=1\n", "A", "k", "2",
        "\xEF\xBB\xBF[A]\nk=2\n");
    row("chinese neighbours kept byte for byte", "[Owner]\nName=深圳客户\nID=12\n", "Owner", "ID", "13",
        "[Owner]\nName=深圳客户\nID=13\n");
    row("encoded value replaces a raw one", "[A]\nk=plain\nz=1\n", "A", "k", "a, b",
        "[A]\nk=\"a, b\"\nz=1\n");
}

void TestIniFile::preservesTheRestOfTheFile() {
    QFETCH(QByteArray, before);
    QFETCH(QString, section);
    QFETCH(QString, key);
    QFETCH(QString, value);
    QFETCH(QByteArray, after);

    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("MAINSET.ini"));
    if (!before.isNull())
        QVERIFY(TestFiles::write(path, before));
    QVERIFY(put(path, section, key, value));
#ifdef Q_OS_WIN
    // Windows' own writer lays the file out its way (CRLF, no blanks around "=", no blank
    // lines): what must hold is what readers get.
    const QString expectedFile = dir.filePath(QStringLiteral("expected.ini"));
    QVERIFY(TestFiles::write(expectedFile, after));
    QCOMPARE(settingsOf(path), settingsOf(expectedFile));
    QFile::remove(expectedFile);
#else
    QCOMPARE(readAll(path), after);
#endif
    // Nothing left behind beside it.
    QCOMPARE(QDir(dir.path()).entryList(QDir::Files | QDir::Hidden | QDir::System),
             QStringList{QStringLiteral("MAINSET.ini")});
}

void TestIniFile::rejectsNamesThatWouldBreakTheFile_data() {
    QTest::addColumn<QString>("section");
    QTest::addColumn<QString>("key");
    const auto row = [](const char *name, const char *section, const char *key) {
        QTest::newRow(name) << QString::fromUtf8(section) << QString::fromUtf8(key);
    };
    row("empty section", "", "k");
    row("empty key", "A", "");
    row("section with bracket", "A]x", "k");
    row("section with line break", "A\nB", "k");
    row("key with equals", "A", "k=v");
    row("key with line break", "A", "k\r\nj");
    row("key like a comment", "A", ";k");
    row("key like a header", "A", "[k]");
    row("key with outer blanks", "A", " k");
}

void TestIniFile::rejectsNamesThatWouldBreakTheFile() {
    QFETCH(QString, section);
    QFETCH(QString, key);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("MAINSET.ini"));
    const QByteArray original("[A]\nk=1\n");
    QVERIFY(TestFiles::write(path, original));
    QVERIFY(!put(path, section, key, "v"));
    QCOMPARE(readAll(path), original);
}

void TestIniFile::keepsFileAttributes() {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("MAINSET.ini"));
    QVERIFY(TestFiles::write(path, "[A]\nk=1\n"));
    const QFile::Permissions restricted = QFile::ReadOwner | QFile::WriteOwner;
    QVERIFY(QFile::setPermissions(path, restricted));
    QVERIFY(put(path, "A", "k", "2"));
#ifndef Q_OS_WIN // Windows has no such mode bits; QFile reports them all set for a writable file
    const int ownerGroupOther = 0x7077;
    QCOMPARE(int(QFile::permissions(path) & ownerGroupOther), int(restricted & ownerGroupOther));
#endif

    // A folder that does not exist is not created.
    QVERIFY(!put(dir.filePath(QStringLiteral("no/such/MAINSET.ini")), "A", "k", "v"));
    QVERIFY(!QFile::exists(dir.filePath(QStringLiteral("no"))));
}

void TestIniFile::findsKeysWrittenWithAnotherSpelling_data() {
    QTest::addColumn<QString>("writtenSection");
    QTest::addColumn<QString>("writtenKey");
    QTest::addColumn<QString>("askedSection");
    QTest::addColumn<QString>("askedKey");
    QTest::addColumn<QString>("expected");  // value read through the answer; empty when absent
    QTest::addColumn<QByteArray>("before"); // the file before the write; empty: no file
    const auto row = [](const char *name, const char *writtenSection, const char *writtenKey,
                        const char *askedSection, const char *askedKey, const char *expected,
                        const char *before = "") {
        QTest::newRow(name) << QString(writtenSection) << QString(writtenKey) << QString(askedSection)
                            << QString(askedKey) << QString(expected) << QByteArray(before);
    };
    row("key case differs", "Tovarin", "upgradePackageType", "Tovarin", "UpgradePackageType", "zip");
    row("section case differs", "tovarin", "versionNo", "Tovarin", "versionNo", "zip");
    row("same spelling", "Tovarin", "loginToken", "Tovarin", "loginToken", "zip");
    row("absent key", "Tovarin", "versionNo", "Tovarin", "versionNumber", "");
    // Another writer left the section under two spellings; the key is in the second one.
    row("key under the second spelling of its section", "Tovarin", "Result", "Tovarin", "RESULT", "zip",
        "[TOVARIN]\nother=1\n[tovarin]\nresult=old\n");
}

void TestIniFile::findsKeysWrittenWithAnotherSpelling() {
    QFETCH(QString, writtenSection);
    QFETCH(QString, writtenKey);
    QFETCH(QString, askedSection);
    QFETCH(QString, askedKey);
    QFETCH(QString, expected);
    QFETCH(QByteArray, before);
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("UpgradeConfig.ini"));
    if (!before.isEmpty())
        QVERIFY(TestFiles::write(path, before));
    QVERIFY(put(path, "Other", askedKey, "decoy"));
    QVERIFY(put(path, writtenSection, writtenKey, "zip"));
    QSettings settings(path, QSettings::IniFormat);
    settings.setIniCodec("UTF-8");
    const QString found = Platform::findProfileKey(settings, askedSection, askedKey);
    QCOMPARE(settings.value(found).toString(), expected);
}

QTEST_GUILESS_MAIN(TestIniFile)
#include "tst_inifile.moc"
