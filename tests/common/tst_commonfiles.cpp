#include "common.h"
#include "testfiles.h"
#include "toolversion.h"
#include "zipbuilder.h"

#include <QFile>
#include <QFileInfo>
#include <QTemporaryDir>
#include <QtTest>

#include <quazip/JlCompress.h>

using namespace TestFiles;

TOVARIN_TOOL_VERSION(1, 2, 0, 15);

Q_DECLARE_METATYPE(ZipEntry)
Q_DECLARE_METATYPE(QList<ZipEntry>)

class tst_CommonFiles : public QObject {
    Q_OBJECT
private slots:
    void init();
    void cleanup();

    void updataExe_data();
    void updataExe();

    void updataZip_data();
    void updataZip();
    void updataZipRefusesUnsafeArchive_data();
    void updataZipRefusesUnsafeArchive();
    void extractorSkipsEscapingNames_data();
    void extractorSkipsEscapingNames();

    void compressDirRoundTrip();

    void exeVersion_data();
    void exeVersion();

    void mkMutiDir_data();
    void mkMutiDir();

    void copyDirectory_data();
    void copyDirectory();

    void delDir_data();
    void delDir();
    void delDirRemovesLinksNotTheirTargets();

private:
    std::unique_ptr<ScratchFolder> m_tmp;
};

void tst_CommonFiles::init() {
    m_tmp.reset(new ScratchFolder);
    QVERIFY(m_tmp->isReady());
}

void tst_CommonFiles::cleanup() {
    // An installation deletes the files it replaced after it returned; that ends first. Watched
    // from outside: on Windows a folder being listed cannot be removed.
    QTRY_VERIFY(
        QDir(m_tmp->path())
            .entryList({QStringLiteral("*.installing*")}, QDir::AllEntries | QDir::Hidden | QDir::System)
            .isEmpty());
    m_tmp.reset();
}

void tst_CommonFiles::updataExe_data() {
    QTest::addColumn<bool>("sourcePresent");
    QTest::addColumn<bool>("targetPresent");
    QTest::addColumn<bool>("sourceIsFolder");
    QTest::addColumn<int>("sizeLimit"); // bytes any one file may grow to; 0: none
    QTest::addColumn<bool>("expected");
    QTest::addColumn<QString>("debugLine"); // "" when none is due

    QTest::newRow("replaces and consumes the download") << true << true << false << 0 << true << "";
    QTest::newRow("never installs where nothing was")
        << true << false << false << 0 << false << "目标exe文件不存在";
    QTest::newRow("missing download") << false << true << false << 0 << false << "exe不存在";
    QTest::newRow("download is a folder") << true << true << true << 0 << false << "exe不存在";
    // A file-size limit makes the copy fail half-way even for root, who ignores permissions.
    QTest::newRow("copy failing half-way keeps the target")
        << true << true << false << 64 * 1024 << false << "拷贝exe失败";
}

void tst_CommonFiles::updataExe() {
    QFETCH(bool, sourcePresent);
    QFETCH(bool, targetPresent);
    QFETCH(bool, sourceIsFolder);
    QFETCH(int, sizeLimit);
    QFETCH(bool, expected);
    QFETCH(QString, debugLine);

    const QString source = m_tmp->filePath("download/tool.exe");
    const QString target = m_tmp->filePath("install/tool.exe");
    const QByteArray build(1 << 20, 'n');
    QVERIFY(QDir().mkpath(m_tmp->filePath("download")) && QDir().mkpath(m_tmp->filePath("install")));
    if (sourcePresent)
        QVERIFY(sourceIsFolder ? QDir().mkpath(source) : write(source, build));
    if (targetPresent)
        QVERIFY(write(target, "old build"));

    Common common;
    bool result = false;
    {
        std::unique_ptr<FileSizeLimit> limit(sizeLimit ? new FileSizeLimit(sizeLimit) : nullptr);
        if (limit && !limit->isActive())
            QSKIP("no per-process file size cap on this system");
        if (!debugLine.isEmpty())
            QTest::ignoreMessage(QtDebugMsg, debugLine.toUtf8().constData());
        result = common.UpdataExe(source, target);
    }
    QCOMPARE(result, expected);

    QCOMPARE(read(target), expected        ? build
                           : targetPresent ? QByteArray("old build")
                                           : QByteArray("<missing>"));
    if (expected)
        QVERIFY(!QFileInfo::exists(source));
    else if (sourcePresent && !sourceIsFolder)
        QCOMPARE(read(source), build);
    // Exactly one copy is left: nothing temporary remains beside the target, nor beside its
    // folder once the clean-up after the installation is done.
    QCOMPARE(entriesBelow(m_tmp->filePath("install")),
             targetPresent ? QStringList{"tool.exe"} : QStringList{});
    QTRY_COMPARE(QDir(m_tmp->path()).entryList(QDir::AllEntries | QDir::Hidden | QDir::NoDotAndDotDot),
                 (QStringList{"download", "install"}));
}

void tst_CommonFiles::updataZip_data() {
    QTest::addColumn<bool>("packagePresent");
    QTest::addColumn<bool>("targetPresent");
    QTest::addColumn<QList<ZipEntry>>("entries");
    QTest::addColumn<Tree>("before");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<Tree>("after");
    QTest::addColumn<QString>("debugLine"); // "" when none is due

    const QList<ZipEntry> nested{{"bin/", "", ZipEntry::Folder},
                                 {"bin/tool.exe", "tool v2"},
                                 {"conf/deep/er/set.ini", "[a]\nb=1\n"},
                                 {"readme.txt", "v2"}};
    QTest::newRow("sub-folders recreated, unrelated files survive")
        << true << true << nested << Tree{{"keep.ini", "station"}, {"readme.txt", "v1"}} << true
        << Tree{{"bin", "<dir>"},        {"bin/tool.exe", "tool v2"}, {"conf", "<dir>"},
                {"conf/deep", "<dir>"},  {"conf/deep/er", "<dir>"},   {"conf/deep/er/set.ini", "[a]\nb=1\n"},
                {"keep.ini", "station"}, {"readme.txt", "v2"}}
        << "";
    QTest::newRow("empty archive") << true << true << QList<ZipEntry>{} << Tree{{"a.txt", "1"}} << false
                                   << Tree{{"a.txt", "1"}} << "解压失败";
    QTest::newRow("package missing") << false << true << nested << Tree{{"a.txt", "1"}} << false
                                     << Tree{{"a.txt", "1"}} << "安装包不存在";
    QTest::newRow("target missing") << true << false << nested << Tree{} << false << Tree{}
                                    << "解压路径不存在";
}

void tst_CommonFiles::updataZip() {
    QFETCH(bool, packagePresent);
    QFETCH(bool, targetPresent);
    QFETCH(QList<ZipEntry>, entries);
    QFETCH(Tree, before);
    QFETCH(bool, expected);
    QFETCH(Tree, after);
    QFETCH(QString, debugLine);

    const QString package = m_tmp->filePath("pkg.zip");
    const QString target = m_tmp->filePath("tool");
    if (packagePresent)
        QVERIFY(ZipBuilder::write(package, entries));
    if (targetPresent)
        QVERIFY(writeTree(target, before));

    if (!debugLine.isEmpty())
        QTest::ignoreMessage(QtDebugMsg, debugLine.toUtf8().constData());
    Common common;
    QCOMPARE(common.UpdataZip(package, target), expected);
    QCOMPARE(snapshot(target), after);
    // The package is consumed only by a successful installation.
    QCOMPARE(QFileInfo::exists(package), packagePresent && !expected);
    QCOMPARE(QFileInfo::exists(target), targetPresent);
}

void tst_CommonFiles::updataZipRefusesUnsafeArchive_data() {
    QTest::addColumn<QList<ZipEntry>>("entries");
    QTest::addColumn<QByteArray>("corruptMarker");

    // Overwrites a.txt and b.txt, then fails at the third entry: the extractor on its own
    // deletes the two files it has just replaced.
    QTest::newRow("CRC error in the third entry")
        << QList<ZipEntry>{{"a.txt", "new-a"}, {"b.txt", "new-b"}, {"c.txt", "BROKEN-CONTENT-c"}}
        << QByteArray("BROKEN-CONTENT");
    QTest::newRow("CRC error in a nested entry")
        << QList<ZipEntry>{{"sub/", "", ZipEntry::Folder}, {"sub/x.dll", "DAMAGED-x"}, {"a.txt", "new-a"}}
        << QByteArray("DAMAGED");
    QTest::newRow("link, then a file written through it")
        << QList<ZipEntry>{{"a.txt", "new-a"}, {"cfg", "@VICTIM@", ZipEntry::Link}, {"cfg", "pwned"}}
        << QByteArray();
    QTest::newRow("link to a folder outside, then a file below it")
        << QList<ZipEntry>{{"out", "@OUTSIDE@", ZipEntry::Link}, {"out/victim.txt", "pwned"}} << QByteArray();
    QTest::newRow("lone link") << QList<ZipEntry>{{"a.txt", "new-a"}, {"lnk", "@VICTIM@", ZipEntry::Link}}
                               << QByteArray();
    QTest::newRow("climbing name") << QList<ZipEntry>{{"a.txt", "new-a"}, {"../outside/victim.txt", "pwned"}}
                                   << QByteArray();
    QTest::newRow("climbing name inside a path")
        << QList<ZipEntry>{{"sub/../../outside/victim.txt", "pwned"}} << QByteArray();
    QTest::newRow("absolute name") << QList<ZipEntry>{{"@VICTIM@", "pwned"}} << QByteArray();
}

void tst_CommonFiles::updataZipRefusesUnsafeArchive() {
    QFETCH(QList<ZipEntry>, entries);
    QFETCH(QByteArray, corruptMarker);

    const QString target = m_tmp->filePath("tool");
    const QString outside = m_tmp->filePath("outside");
    const QString victim = outside + "/victim.txt";
    QVERIFY(writeTree(target, Tree{{"a.txt", "old-a"}, {"b.txt", "old-b"}, {"keep/station.ini", "x=1"}}));
    QVERIFY(write(victim, "precious"));

    for (ZipEntry &entry : entries) {
        entry.name.replace("@VICTIM@", victim);
        entry.content.replace("@VICTIM@", victim.toUtf8());
        entry.content.replace("@OUTSIDE@", outside.toUtf8());
    }
    const QString package = m_tmp->filePath("pkg.zip");
    QVERIFY(ZipBuilder::write(package, entries));
    if (!corruptMarker.isEmpty())
        QVERIFY(ZipBuilder::corrupt(package, corruptMarker));
    const QByteArray packageBytes = read(package);
    const Tree targetBefore = snapshot(target);
    const Tree outsideBefore = snapshot(outside);

    QTest::ignoreMessage(QtDebugMsg, "解压失败");
    Common common;
    QVERIFY(!common.UpdataZip(package, target));
    QCOMPARE(snapshot(target), targetBefore);
    QCOMPARE(snapshot(outside), outsideBefore);
    QCOMPARE(read(package), packageBytes);
}

void tst_CommonFiles::extractorSkipsEscapingNames_data() {
    QTest::addColumn<QString>("escapingName");
    QTest::newRow("climbing") << "../outside/victim.txt";
    QTest::newRow("absolute") << "@VICTIM@";
}

// Relied upon by the installers: the extractor itself never writes a climbing or absolute name
// outside the folder it was given.
void tst_CommonFiles::extractorSkipsEscapingNames() {
    QFETCH(QString, escapingName);
    const QString target = m_tmp->filePath("tool");
    const QString victim = m_tmp->filePath("outside/victim.txt");
    QVERIFY(QDir().mkpath(target));
    QVERIFY(write(victim, "precious"));
    escapingName.replace("@VICTIM@", victim);

    const QString package = m_tmp->filePath("pkg.zip");
    QVERIFY(ZipBuilder::write(package, {{"a.txt", "new-a"}, {escapingName, "pwned"}}));
    JlCompress::extractDir(package, target);
    QCOMPARE(read(victim), QByteArray("precious"));
}

void tst_CommonFiles::compressDirRoundTrip() {
    const QString source = m_tmp->filePath("tool");
    const Tree tree{{"tool.exe", QByteArray(100000, 'x')},
                    {"conf", "<dir>"},
                    {"conf/a.ini", "[s]\nk=中文\n"},
                    {"conf/sub", "<dir>"},
                    {"conf/sub/b.bin", QByteArray("\0\1\2\3", 4)}};
    QVERIFY(writeTree(source, tree));

    Common common;
    const QString backup = m_tmp->filePath("backup.zip");
    QTest::ignoreMessage(QtDebugMsg, "bResult压缩: true");
    QVERIFY(common.compressDir(backup, source));
    const QString restored = m_tmp->filePath("restored");
    QVERIFY(QDir().mkpath(restored));
    QVERIFY(common.UpdataZip(backup, restored));
    QCOMPARE(snapshot(restored), tree);

    QTest::ignoreMessage(QtDebugMsg, "bResult压缩: false");
    QTest::ignoreMessage(QtDebugMsg, "压缩失败");
    QVERIFY(!common.compressDir(m_tmp->filePath("none.zip"), m_tmp->filePath("missing-folder")));
}

void tst_CommonFiles::exeVersion_data() {
    QTest::addColumn<QByteArray>("content"); // "<self>": this test program, which carries a version
    QTest::addColumn<bool>("present");
    QTest::addColumn<QString>("expected");
    QTest::newRow("versioned executable") << QByteArray("<self>") << true << "1.2.0.15";
    QTest::newRow("missing file") << QByteArray() << false << "0.0.0.0";
    QTest::newRow("text file") << QByteArray("just text\r\n") << true << "0.0.0.0";
    QTest::newRow("empty file") << QByteArray() << true << "0.0.0.0";
    QTest::newRow("truncated PE header") << QByteArray("MZ\x90\0\3\0\0\0", 8) << true << "0.0.0.0";
}

void tst_CommonFiles::exeVersion() {
    QFETCH(QByteArray, content);
    QFETCH(bool, present);
    QFETCH(QString, expected);
    QString path = m_tmp->filePath("tool.exe");
    if (content == "<self>")
        path = QCoreApplication::applicationFilePath();
    else if (present)
        QVERIFY(write(path, content));
    QTest::ignoreMessage(QtDebugMsg, expected.toUtf8().constData());
    Common common;
    QCOMPARE(common.GetEXEVersionNum(path), expected);
}

void tst_CommonFiles::mkMutiDir_data() {
    QTest::addColumn<QString>("existing"); // created before the call, relative to the temp folder
    QTest::addColumn<QString>("path");     // relative to the temp folder, or to the working folder
    QTest::addColumn<bool>("absolute");
    QTest::addColumn<QString>("expectedFolder");

    const auto row = [](const char *name, const char *existing, const char *path, bool absolute,
                        const char *expectedFolder) {
        QTest::newRow(name) << existing << path << absolute << expectedFolder;
    };
    row("existing folder unchanged", "a/b", "a/b", true, "a/b");
    row("three missing levels", "a", "a/b/c/d", true, "a/b/c/d");
    row("trailing slash", "a", "a/b/c/", true, "a/b/c");
    row("bare relative name", "", "fresh", false, "fresh");
    row("relative with missing parents", "", "x/y/z", false, "x/y/z");
}

void tst_CommonFiles::mkMutiDir() {
    QFETCH(QString, existing);
    QFETCH(QString, path);
    QFETCH(bool, absolute);
    QFETCH(QString, expectedFolder);

    if (!existing.isEmpty())
        QVERIFY(QDir().mkpath(m_tmp->filePath(existing)));
    QVERIFY(QDir::setCurrent(m_tmp->path()));
    const QString input = absolute ? m_tmp->path() + '/' + path : path;

    Common common;
    const QString result = common.mkMutiDir(input);
    QCOMPARE(result, input);
    QVERIFY(QFileInfo(m_tmp->filePath(expectedFolder)).isDir());
}

void tst_CommonFiles::copyDirectory_data() {
    QTest::addColumn<Tree>("source");
    QTest::addColumn<Tree>("targetBefore");
    QTest::addColumn<bool>("targetParentExists");
    QTest::addColumn<bool>("overwrite");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<Tree>("targetAfter");

    const Tree source{{"A.txt", "a"}, {"b", "<dir>"}, {"b/c.txt", "c"}, {"d.txt", "d"}};
    QTest::newRow("fresh copy of a tree") << source << Tree{} << true << true << true << source;
    QTest::newRow("overwrite replaces same names, keeps others")
        << source << Tree{{"d.txt", "old"}, {"extra.txt", "e"}} << true << true << true
        << Tree{{"A.txt", "a"}, {"b", "<dir>"}, {"b/c.txt", "c"}, {"d.txt", "d"}, {"extra.txt", "e"}};
    // Entries are taken by name ignoring case: A.txt and b/ are copied before d.txt stops it.
    QTest::newRow("no overwrite stops at the existing file")
        << source << Tree{{"d.txt", "old"}} << true << false << false
        << Tree{{"A.txt", "a"}, {"b", "<dir>"}, {"b/c.txt", "c"}, {"d.txt", "old"}};
    QTest::newRow("hidden entries are not copied")
        << Tree{{".hidden", "h"}, {"v.txt", "v"}, {".git", "<dir>"}, {".git/HEAD", "x"}} << Tree{} << true
        << true << true << Tree{{"v.txt", "v"}};
    QTest::newRow("target parent missing") << source << Tree{} << false << true << false << Tree{};
}

void tst_CommonFiles::copyDirectory() {
    QFETCH(Tree, source);
    QFETCH(Tree, targetBefore);
    QFETCH(bool, targetParentExists);
    QFETCH(bool, overwrite);
    QFETCH(bool, expected);
    QFETCH(Tree, targetAfter);

    const QString from = m_tmp->filePath("from");
    QVERIFY(writeTree(from, source));
    const QString to = targetParentExists ? m_tmp->filePath("to") : m_tmp->filePath("none/to");
    if (!targetBefore.isEmpty())
        QVERIFY(writeTree(to, targetBefore));

    Common common;
    QCOMPARE(common.copyDirectory(from, to, overwrite), expected);
    QCOMPARE(snapshot(to), targetAfter);
    QCOMPARE(snapshot(from), source);
}

void tst_CommonFiles::delDir_data() {
    QTest::addColumn<QString>("path"); // "@" stands for the prepared folder
    QTest::addColumn<Tree>("content");
    QTest::addColumn<bool>("expected");
    QTest::addColumn<Tree>("left");

    QTest::newRow("empty path") << "" << Tree{} << false << Tree{};
    QTest::newRow("missing folder") << "@/missing" << Tree{} << true << Tree{};
    QTest::newRow("whole tree") << "@"
                                << Tree{{"a", "1"}, {"s", "<dir>"}, {"s/t", "<dir>"}, {"s/t/u.bin", "2"}}
                                << true << Tree{};
    QTest::newRow("hidden file stays, everything else goes")
        << "@" << Tree{{".hidden", "h"}, {"a", "1"}, {"s", "<dir>"}, {"s/b", "2"}} << false
        << Tree{{".hidden", "h"}};
}

void tst_CommonFiles::delDir() {
    QFETCH(QString, path);
    QFETCH(Tree, content);
    QFETCH(bool, expected);
    QFETCH(Tree, left);

    const QString folder = m_tmp->filePath("victim");
    QVERIFY(writeTree(folder, content));
    path.replace("@", folder);

    Common common;
    QCOMPARE(common.delDir(path), expected);
    if (path == folder) {
        QCOMPARE(QFileInfo::exists(folder), !expected);
        QCOMPARE(snapshot(folder), left);
    }
}

void tst_CommonFiles::delDirRemovesLinksNotTheirTargets() {
    const QString outside = m_tmp->filePath("outside");
    QVERIFY(writeTree(outside, Tree{{"data.txt", "precious"}, {"inner/more.txt", "precious too"}}));
    const Tree outsideBefore = snapshot(outside);

    const QString folder = m_tmp->filePath("victim");
    QVERIFY(write(folder + "/own.txt", "x"));
    QVERIFY(QFile::link(outside, folder + "/linked-folder"));
    QVERIFY(QFile::link(outside + "/data.txt", folder + "/linked-file"));

    Common common;
    QVERIFY(common.delDir(folder));
    QVERIFY(!QFileInfo::exists(folder));
    QCOMPARE(snapshot(outside), outsideBefore);
}

QTEST_GUILESS_MAIN(tst_CommonFiles)
#include "tst_commonfiles.moc"
