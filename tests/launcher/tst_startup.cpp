#include "startup.h"

#include <QApplication>
#include <QFile>
#include <QTemporaryDir>
#include <QTest>
#include <QTranslator>

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

    QTest::newRow("first language with a catalogue wins")
        << QStringList{"en-US", "de-DE", "fr-FR"} << QStringList{"de_DE", "fr_FR"} << false << "de_DE";
    QTest::newRow("system order, not file order")
        << QStringList{"en-US", "fr-FR", "de-DE"} << QStringList{"de_DE", "fr_FR"} << false << "fr_FR";
    QTest::newRow("country falls back to the language's catalogue")
        << QStringList{"de-AT"} << QStringList{"de"} << false << "de_AT";
    QTest::newRow("no catalogue for any language")
        << QStringList{"zh-CN", "en-US"} << QStringList{"ja_JP"} << false << "";
    QTest::newRow("empty language list") << QStringList() << QStringList{"de_DE"} << false << "";
    QTest::newRow("nothing is shipped in the resources")
        << QStringList{"zh-CN", "en-US", "de-DE", "ja-JP"} << QStringList() << true << "";
}

void TstStartup::translation() {
    QFETCH(QStringList, uiLanguages);
    QFETCH(QStringList, catalogues);
    QFETCH(bool, shippedFolder);
    QFETCH(QString, installed);

    QTemporaryDir dir;
    QVERIFY(dir.isValid());
    // The smallest catalogue the translator accepts: the file magic alone.
    static const uchar magic[16] = {0x3C, 0xB8, 0x64, 0x18, 0xCA, 0xEF, 0x9C, 0x95,
                                    0xCD, 0x21, 0x1C, 0xBF, 0x60, 0xA1, 0xBD, 0xDD};
    for (const QString &name : catalogues) {
        QFile file(dir.filePath(QStringLiteral("Tovarin_%1.qm").arg(name)));
        QVERIFY(file.open(QIODevice::WriteOnly));
        file.write(reinterpret_cast<const char *>(magic), sizeof magic);
    }

    QTranslator translator;
    const QString prefix = shippedFolder ? QStringLiteral(":/i18n/") : dir.path() + QLatin1Char('/');
    QCOMPARE(installTranslation(*qApp, translator, uiLanguages, prefix), installed);
    QCOMPARE(translator.isEmpty(), true);
    QCOMPARE(translator.language().isEmpty() && translator.filePath().isEmpty(), installed.isEmpty());
    QCoreApplication::removeTranslator(&translator);
}

QTEST_MAIN(TstStartup)
#include "tst_startup.moc"
