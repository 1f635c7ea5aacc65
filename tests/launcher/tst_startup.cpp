#include "startup.h"

#include <QApplication>
#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>

namespace {

void appendBe32(QByteArray &out, quint32 value) {
    for (int shift = 24; shift >= 0; shift -= 8)
        out.append(char((value >> shift) & 0xFF));
}

// A catalogue holding one message, laid out as lrelease writes it: the file magic, then a
// block of hashes (the ELF hash of the source text, and the message's offset) and a block of
// messages (translation in UTF-16BE, source text, context), each tagged and sized big-endian.
QByteArray catalogueFile(const QByteArray &context, const QByteArray &source, const QString &translation) {
    static const uchar magic[16] = {0x3C, 0xB8, 0x64, 0x18, 0xCA, 0xEF, 0x9C, 0x95,
                                    0xCD, 0x21, 0x1C, 0xBF, 0x60, 0xA1, 0xBD, 0xDD};
    quint32 hash = 0;
    for (const char c : source) {
        hash = (hash << 4) + uchar(c);
        const quint32 high = hash & 0xF0000000u;
        if (high)
            hash ^= high >> 24;
        hash &= ~high;
    }
    QByteArray message;
    message.append(char(0x03));
    appendBe32(message, quint32(translation.size() * 2));
    for (const QChar c : translation) {
        message.append(char(c.unicode() >> 8));
        message.append(char(c.unicode() & 0xFF));
    }
    message.append(char(0x06));
    appendBe32(message, quint32(source.size()));
    message.append(source);
    message.append(char(0x07));
    appendBe32(message, quint32(context.size()));
    message.append(context);
    message.append(char(0x01));

    QByteArray file(reinterpret_cast<const char *>(magic), sizeof magic);
    file.append(char(0x42));
    appendBe32(file, 8);
    appendBe32(file, hash ? hash : 1);
    appendBe32(file, 0);
    file.append(char(0x69));
    appendBe32(file, quint32(message.size()));
    file.append(message);
    return file;
}

} // namespace

class TstStartup : public QObject {
    Q_OBJECT

private slots:
    void translation_data();
    void translation();
};

void TstStartup::translation_data() {
    QTest::addColumn<QStringList>("uiLanguages");
    QTest::addColumn<QStringList>("catalogues");
    QTest::addColumn<bool>("shippedFolder");
    QTest::addColumn<QString>("installed");
    QTest::addColumn<QString>("catalogue"); // the one in use afterwards; empty: none

    QTest::newRow("first language with a catalogue wins")
        << QStringList{"en-US", "de-DE", "fr-FR"} << QStringList{"de_DE", "fr_FR"} << false << "de_DE"
        << "de_DE";
    QTest::newRow("system order, not file order")
        << QStringList{"en-US", "fr-FR", "de-DE"} << QStringList{"de_DE", "fr_FR"} << false << "fr_FR"
        << "fr_FR";
    QTest::newRow("country falls back to the language's catalogue")
        << QStringList{"de-AT"} << QStringList{"de"} << false << "de_AT"
        << "de";
    QTest::newRow("no catalogue for any language")
        << QStringList{"zh-CN", "en-US"} << QStringList{"ja_JP"} << false << ""
        << "";
    QTest::newRow("empty language list") << QStringList() << QStringList{"de_DE"} << false << ""
                                         << "";
    QTest::newRow("nothing is shipped in the resources")
        << QStringList{"zh-CN", "en-US", "de-DE", "ja-JP"} << QStringList() << true << ""
        << "";
}

void TstStartup::translation() {
    QFETCH(QStringList, uiLanguages);
    QFETCH(QStringList, catalogues);
    QFETCH(bool, shippedFolder);
    QFETCH(QString, installed);
    QFETCH(QString, catalogue);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // Each catalogue translates one text into its own name, so the application's translation
    // tells which one, if any, was installed.
    for (const QString &name : catalogues) {
        QFile file(dir.filePath(QStringLiteral("Tovarin_%1.qm").arg(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(catalogueFile("TstStartup", "catalogue in use", name));
    }
    QCOMPARE(QCoreApplication::translate("TstStartup", "catalogue in use"),
             QStringLiteral("catalogue in use"));

    QTranslator translator;
    const QString prefix = shippedFolder ? QStringLiteral(":/i18n/") : dir.path() + QLatin1Char('/');
    QCOMPARE(installTranslation(*qApp, translator, uiLanguages, prefix), installed);
    QCOMPARE(QCoreApplication::translate("TstStartup", "catalogue in use"),
             catalogue.isEmpty() ? QStringLiteral("catalogue in use") : catalogue);
    QCOMPARE(QFileInfo(translator.filePath()).fileName(),
             catalogue.isEmpty() ? QString() : QStringLiteral("Tovarin_%1.qm").arg(catalogue));
    QCoreApplication::removeTranslator(&translator);
}

QTEST_MAIN(TstStartup)
#include "tst_startup.moc"
