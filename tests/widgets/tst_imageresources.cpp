#include "imageresources.h"

#include <QFontDatabase>
#include <QFontInfo>
#include <QImage>
#include <QLabel>
#include <QtTest>

class TestImageResources : public QObject {
    Q_OBJECT
private slots:
    void initTestCase() { initImageResources(); }
    void pictures_data();
    void pictures();
    void fonts_data();
    void fonts();
};

void TestImageResources::pictures_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QSize>("size"); // drawn at the size the widgets show them, so nothing is rescaled

    const QString product = QStringLiteral(":/product/resource/image/%1.png");
    const struct {
        const char *name;
        int w, h;
    } products[] = {
        {"btnUpdate", 24, 24},       {"btnDownload", 24, 24},         {"btnClose", 24, 24},
        {"btnMinimize", 24, 24},     {"btnMessageBox", 24, 24},       {"btnTrash", 20, 20},
        {"btnTool", 15, 13},         {"btnConfig", 15, 13},           {"picUpgrade", 40, 40},
        {"picInstall", 40, 40},      {"radioNormal", 16, 16},         {"radioClicked", 16, 16},
        {"checkNormal", 20, 20},     {"checkSelected", 20, 20},       {"passwordHideEye", 20, 20},
        {"passwordShowEye", 20, 20}, {"messageBoxTriangle", 476, 12}, {"cameraModel", 96, 96},
        {"LOGO", 128, 128},          {"LogoRed", 128, 128},
    };
    for (const auto &p : products)
        QTest::newRow(p.name) << product.arg(QLatin1String(p.name)) << QSize(p.w, p.h);

    const char *tools[] = {
        "IPCProductCheck", "BPC",         "IPCamSuite",      "IPCTestMulti", "MACSetting",   "WifiModuleTest",
        "XVRProductCheck", "PPCFocus",    "PPCAirTight",     "CompareLabel", "PrintSNLabel", "BoxWeightCheck",
        "PPCPackage",      "WeightCheck", "WifiConnectTool", "JBM"};
    for (const char *key : tools)
        QTest::addRow("tool %s", key)
            << QStringLiteral(":/toolicon/resource/image/pic%1.png").arg(QLatin1String(key)) << QSize(30, 30);

    QTest::newRow("login picture") << QStringLiteral(":/login/resource/image/KovaLogin_Left.png")
                                   << QSize(360, 440);
    QTest::newRow("login warning") << QStringLiteral(":/login/resource/image/exclamationMark.png")
                                   << QSize(16, 16);
}

void TestImageResources::pictures() {
    QFETCH(QString, path);
    QFETCH(QSize, size);

    const QImage image(path);
    QVERIFY2(!image.isNull(), qPrintable(path));
    QCOMPARE(image.size(), size);
    // Something is drawn: not a blank or fully transparent canvas.
    const QImage argb = image.convertToFormat(QImage::Format_ARGB32);
    int opaque = 0;
    for (int y = 0; y < argb.height(); ++y)
        for (int x = 0; x < argb.width(); ++x)
            opaque += qAlpha(argb.pixel(x, y)) > 128;
    QVERIFY2(opaque >= argb.width() * argb.height() / 50, qPrintable(QString::number(opaque)));
}

void TestImageResources::fonts_data() {
    QTest::addColumn<QString>("family");
    QTest::newRow("forms' family") << QStringLiteral("SourceHanSansSC");
    QTest::newRow("message panel title") << QStringLiteral("微软雅黑");
}

void TestImageResources::fonts() {
    QFETCH(QString, family);
#ifdef Q_OS_WIN
    // The stations' Windows brings Microsoft YaHei; the offscreen platform there reads only
    // Qt's own lib/fonts folder, which Qt ships empty, and wine has no CJK font either.
    if (!QFontDatabase().writingSystems().contains(QFontDatabase::SimplifiedChinese))
        QSKIP(qPrintable(QStringLiteral("no Chinese font on this Windows (%1 families in all)")
                             .arg(QFontDatabase().families().size())));
#endif
    QLabel label(QStringLiteral("常电成品测试"));
    label.setStyleSheet(QStringLiteral("font-family: %1; font-size: 14px;").arg(family));
    label.ensurePolished();
    const QString resolved = QFontInfo(label.font()).family();
    QVERIFY2(resolved.contains(QLatin1String("CJK")) || resolved.contains(QLatin1String("Source Han")),
             qPrintable(resolved));
    QVERIFY(QFontMetrics(label.font()).inFontUcs4(QChar(0x6D4B).unicode()));
}

QTEST_MAIN(TestImageResources)
#include "tst_imageresources.moc"
