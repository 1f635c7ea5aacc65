#include "platform.h"
#include "platform_p.h"
#include "testfiles.h"

#include <QElapsedTimer>
#include <QFile>
#include <QRandomGenerator>
#include <QTemporaryDir>
#include <QtTest>

#include <ctime>

#include <memory>
#include <sys/stat.h>

// The update check compares tool versions read from the installed executables: the answer must
// be the file version, and damaged files must give "0.0.0.0", never a crash or a wild read.
class TestExeVersion : public QObject {
    Q_OBJECT

private slots:
    void builtExecutables_data();
    void builtExecutables();
    void craftedFiles_data();
    void craftedFiles();
    void specialPaths();
    void damagedButReadable_data();
    void damagedButReadable();
    void survivesMutations_data();
    void survivesMutations();
    void answersMazesAtOnce_data();
    void answersMazesAtOnce();
};

namespace {

const QString kNone = QStringLiteral("0.0.0.0");

QString peFixture(const char *name) {
    return QStringLiteral(PE_FIXTURE_DIR "/") + QLatin1String(name);
}

void put16(QByteArray &b, int at, quint32 v) {
    b[at] = char(v & 0xFF);
    b[at + 1] = char((v >> 8) & 0xFF);
}

void put32(QByteArray &b, int at, quint32 v) {
    put16(b, at, v & 0xFFFF);
    put16(b, at + 2, v >> 16);
}

// A minimal PE with a hand-laid resource tree: a named resource type before RT_VERSION, then
// name 1, language 0x804, and a version block with file version 7.6.5.4 and product 1.1.1.1.
// Offsets inside the resource section, for the tests to damage:
const int kRsrcRaw = 0x200;
const int kRootIdEntry = 24; // second root entry (the RT_VERSION one)
const int kLanguageDir = 72;
const int kDataEntry = 96;
const int kBlock = 128;

QByteArray buildPe(bool pe32) {
    QByteArray f(0x400, '\0');
    f[0] = 'M';
    f[1] = 'Z';
    put32(f, 0x3C, 0x40);
    memcpy(f.data() + 0x40, "PE\0\0", 4);
    const int coff = 0x44;
    put16(f, coff, pe32 ? 0x14c : 0x8664);
    put16(f, coff + 2, 1);
    const int optionalSize = pe32 ? 224 : 240;
    put16(f, coff + 16, optionalSize);
    const int optional = coff + 20;
    put16(f, optional, pe32 ? 0x10b : 0x20b);
    put32(f, optional + (pe32 ? 92 : 108), 16);
    const int directories = optional + (pe32 ? 96 : 112);
    put32(f, directories + 16, 0x1000);
    put32(f, directories + 20, 220);
    const int section = optional + optionalSize;
    memcpy(f.data() + section, ".rsrc\0\0\0", 8);
    put32(f, section + 8, 220);
    put32(f, section + 12, 0x1000);
    put32(f, section + 16, 0x200);
    put32(f, section + 20, kRsrcRaw);

    const int r = kRsrcRaw;
    put16(f, r + 12, 1); // root: one named, one id entry
    put16(f, r + 14, 1);
    put32(f, r + 16, 0x80000000u | 112); // named type ...
    put32(f, r + 20, 0x80000000u | 32);  // ... with an empty directory
    put32(f, r + kRootIdEntry, 16);      // RT_VERSION
    put32(f, r + kRootIdEntry + 4, 0x80000000u | 48);
    put16(f, r + 48 + 14, 1); // names
    put32(f, r + 48 + 16, 1);
    put32(f, r + 48 + 20, 0x80000000u | kLanguageDir);
    put16(f, r + kLanguageDir + 14, 1); // languages
    put32(f, r + kLanguageDir + 16, 0x804);
    put32(f, r + kLanguageDir + 20, kDataEntry);
    put32(f, r + kDataEntry, 0x1000 + kBlock);
    put32(f, r + kDataEntry + 4, 92);
    put16(f, r + 112, 4); // the type's name "ICON"
    memcpy(f.data() + r + 114, "I\0C\0O\0N\0", 8);

    const int b = r + kBlock;
    put16(f, b, 92);
    put16(f, b + 2, 52);
    const char *key = "VS_VERSION_INFO";
    for (int i = 0; key[i]; ++i)
        put16(f, b + 6 + 2 * i, quint32(key[i]));
    put32(f, b + 40, 0xFEEF04BD);
    put32(f, b + 44, 0x00010000);
    put32(f, b + 48, 0x00070006); // file version
    put32(f, b + 52, 0x00050004);
    put32(f, b + 56, 0x00010001); // product version
    put32(f, b + 60, 0x00010001);
    return f;
}

// A PE whose resources lie in the last of 65535 sections and whose RT_VERSION entries, names
// and languages (64 of each) all lead to the same places: a reader without work limits walks
// 64^3 paths, each searching every section, which takes minutes.
QByteArray buildPeMaze() {
    const int sections = 65535;
    const int table = 0x44 + 20 + 240;
    const int rsrc = table + sections * 40 + 64;
    QByteArray f(rsrc + 0x4000, '\0');
    f[0] = 'M';
    f[1] = 'Z';
    put32(f, 0x3C, 0x40);
    memcpy(f.data() + 0x40, "PE\0\0", 4);
    put16(f, 0x44 + 2, sections);
    put16(f, 0x44 + 16, 240);
    const int optional = 0x44 + 20;
    put16(f, optional, 0x20b);
    put32(f, optional + 108, 16);
    put32(f, optional + 112 + 16, 0x10000000);
    for (int i = 0; i < sections - 1; ++i) {
        put32(f, table + i * 40 + 12, 0x1000 + i);
        put32(f, table + i * 40 + 16, 1);
    }
    const int last = table + (sections - 1) * 40;
    put32(f, last + 12, 0x10000000);
    put32(f, last + 16, 0x4000);
    put32(f, last + 20, rsrc);
    const int levels[] = {0, 0x800, 0x1000};
    for (int level = 0; level < 3; ++level) {
        const int dir = rsrc + levels[level];
        put16(f, dir + 14, 64);
        for (int i = 0; i < 64; ++i) {
            put32(f, dir + 16 + i * 8, level == 0 ? 16 : 1);
            put32(f, dir + 20 + i * 8, level < 2 ? (0x80000000u | quint32(levels[level + 1])) : 0x2000u);
        }
    }
    put32(f, rsrc + 0x2000, 0x10003000); // data with no version block
    put32(f, rsrc + 0x2004, 100);
    return f;
}

// A 64-bit ELF with 4096 note sections that all cover the same 4 MB of empty notes.
QByteArray buildElfMaze() {
    const int count = 4096;
    const int headers = 64;
    const int notes = headers + count * 64;
    const int notesSize = 4 << 20;
    QByteArray f(notes + notesSize, '\0');
    memcpy(f.data(),
           "\x7f"
           "ELF\x02\x01\x01",
           7);
    put32(f, 0x28, headers);
    put16(f, 0x3A, 64);
    put16(f, 0x3C, count);
    for (int i = 0; i < count; ++i) {
        const int h = headers + i * 64;
        put32(f, h + 4, 7); // SHT_NOTE
        put32(f, h + 24, notes);
        put32(f, h + 32, notesSize);
        put32(f, h + 48, 4);
    }
    return f;
}

QString versionOf(const QByteArray &bytes) {
    // An exactly sized copy, so that a read past the end is caught by the sanitizers.
    std::unique_ptr<char[]> exact(new char[size_t(qMax(1, bytes.size()))]);
    memcpy(exact.get(), bytes.constData(), size_t(bytes.size()));
    return Platform::fileVersionOfData(exact.get(), bytes.size());
}

// The same bytes read from a file.
QString versionOfFile(const QByteArray &bytes) {
    QTemporaryDir dir;
    const QString path = dir.filePath(QStringLiteral("tool.exe"));
    return TestFiles::write(path, bytes) ? Platform::fileVersionOf(path) : QStringLiteral("<unwritten>");
}

QByteArray fixture(const QString &path) {
    return TestFiles::read(path, QByteArray());
}

quint32 get32(const QByteArray &b, int at) {
    return quint32(uchar(b[at])) | quint32(uchar(b[at + 1])) << 8 | quint32(uchar(b[at + 2])) << 16 |
           quint32(uchar(b[at + 3])) << 24;
}

// The version the numbers at `at` spell: a PE's file version (two 32-bit halves, high word
// first) or a version note's four 32-bit numbers; both little-endian in these files.
QString versionAt(const QByteArray &b, int at, bool pe) {
    if (pe) {
        const quint32 ms = get32(b, at), ls = get32(b, at + 4);
        return QStringLiteral("%1.%2.%3.%4").arg(ms >> 16).arg(ms & 0xFFFF).arg(ls >> 16).arg(ls & 0xFFFF);
    }
    return QStringLiteral("%1.%2.%3.%4")
        .arg(get32(b, at))
        .arg(get32(b, at + 4))
        .arg(get32(b, at + 8))
        .arg(get32(b, at + 12));
}

// A DOS stub whose PE header offset (at 0x3C) is followed by tail.
QByteArray mzStub(const QByteArray &tail) {
    return QByteArray("MZ").leftJustified(0x3C, '\0') + tail;
}

} // namespace

void TestExeVersion::builtExecutables_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("expected");
    QTest::newRow("pe: file 1.2.0.15, product 9.8.7.6") << peFixture("versioned.exe") << "1.2.0.15";
    QTest::newRow("pe: wide numbers") << peFixture("bigversion.exe") << "10.0.300.4000";
    QTest::newRow("pe: other resources, no version") << peFixture("iconsonly.exe") << kNone;
    QTest::newRow("pe: no resources") << peFixture("noresource.exe") << kNone;
    QTest::newRow("elf: version note") << QStringLiteral(ELF_WITH_VERSION) << "3.1.4.159";
    QTest::newRow("elf: no note") << QStringLiteral(ELF_WITHOUT_VERSION) << kNone;
}

void TestExeVersion::builtExecutables() {
    QFETCH(QString, path);
    QFETCH(QString, expected);
    if (!QFile::exists(path))
        QSKIP("fixture not built (mingw-w64 missing)");
    QCOMPARE(Platform::fileVersionOf(path), expected);
}

void TestExeVersion::craftedFiles_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::addColumn<QString>("expected");
    const auto pe = [](bool pe32, int at = -1, int width = 4, quint32 value = 0) {
        QByteArray bytes = buildPe(pe32);
        if (at >= 0)
            (width == 2 ? put16 : put32)(bytes, kRsrcRaw + at, value);
        return bytes;
    };
    QTest::newRow("pe32") << pe(true) << "7.6.5.4";
    QTest::newRow("pe32+") << pe(false) << "7.6.5.4";
    QTest::newRow("entry count beyond the directory") << pe(true, 14, 2, 0xFFFFu) << "7.6.5.4";
    QTest::newRow("wrong signature") << pe(false, kBlock + 40, 4, 0u) << kNone;
    QTest::newRow("wrong key") << pe(false, kBlock + 6, 2, 0x58u) << kNone;
    QTest::newRow("value too short") << pe(true, kBlock + 2, 2, 40u) << kNone;
    QTest::newRow("block length too short") << pe(true, kBlock, 2, 60u) << kNone;
    QTest::newRow("data outside every section") << pe(true, kDataEntry, 4, 0x5000u) << kNone;
    QTest::newRow("data size past the section") << pe(false, kDataEntry + 4, 4, 0x10000u) << kNone;
    QTest::newRow("data rva wraps around") << pe(false, kDataEntry, 4, 0xFFFFFFF0u) << kNone;
    QTest::newRow("version type is not a directory") << pe(true, kRootIdEntry + 4, 4, 48u) << kNone;
    QTest::newRow("language points back at itself")
        << pe(false, kLanguageDir + 20, 4, 0x80000000u | kLanguageDir) << kNone;
    QTest::newRow("directory offset far outside") << pe(true, kRootIdEntry + 4, 4, 0xFFFFFFF0u) << kNone;

    // Not executables at all, or cut short of anything that could hold a version.
    QByteArray versionLookalike("text VS_VERSION_INFO ");
    for (const char c : QByteArray("VS_VERSION_INFO")) {
        versionLookalike += c;
        versionLookalike += '\0';
    }
    versionLookalike += QByteArray("\0\0\0\0\xBD\x04\xEF\xFE\0\0\x01\0\x02\0\x01\0\x0f\0\0\0", 20);
    const QByteArray elf("\x7f"
                         "ELF");
    QTest::newRow("empty") << QByteArray() << kNone;
    QTest::newRow("text") << QByteArray("[Tovarin]\nversionNo=1.2.3.4\n") << kNone;
    QTest::newRow("MZ only") << QByteArray("MZ") << kNone;
    QTest::newRow("MZ, header cut") << mzStub(QByteArray()) << kNone;
    QTest::newRow("MZ, PE offset past the end") << mzStub(QByteArray("\xF0\xFF\xFF\xFF", 4)) << kNone;
    QTest::newRow("MZ, PE offset onto itself") << mzStub(QByteArray("\x3C\0\0\0", 4)) << kNone;
    QTest::newRow("PE signature, nothing after") << mzStub(QByteArray("\x40\0\0\0PE\0\0", 8)) << kNone;
    QTest::newRow("ELF magic only") << elf << kNone;
    QTest::newRow("ELF unknown class") << (elf + "\x03\x01").leftJustified(64, '\0') << kNone;
    QTest::newRow("ELF header, no tables") << (elf + "\x02\x01\x01").leftJustified(64, '\0') << kNone;
    QTest::newRow("version block outside a PE") << versionLookalike << kNone;
    QTest::newRow("note outside an ELF")
        << QByteArray("\x08\0\0\0\x10\0\0\0\x01\0\0\0Tovarin\0\x01\0\0\0\x02\0\0\0\x03\0\0\0\x04\0\0\0", 36)
        << kNone;
}

void TestExeVersion::craftedFiles() {
    QFETCH(QByteArray, content);
    QFETCH(QString, expected);
    QCOMPARE(versionOf(content), expected);
    QCOMPARE(versionOfFile(content), expected);
}

void TestExeVersion::specialPaths() {
    QTemporaryDir dir;
    QCOMPARE(Platform::fileVersionOf(QString()), kNone);
    QCOMPARE(Platform::fileVersionOf(dir.filePath(QStringLiteral("missing.exe"))), kNone);
    QCOMPARE(Platform::fileVersionOf(dir.path()), kNone);
    // A FIFO would block a reader that opens anything it is given.
    const QByteArray fifo = QFile::encodeName(dir.filePath(QStringLiteral("pipe.exe")));
    QCOMPARE(::mkfifo(fifo.constData(), 0600), 0);
    QElapsedTimer timer;
    timer.start();
    QCOMPARE(Platform::fileVersionOf(QFile::decodeName(fifo)), kNone);
    QVERIFY(timer.elapsed() < 5000);
}

void TestExeVersion::damagedButReadable_data() {
    QTest::addColumn<QString>("path");
    QTest::addColumn<QString>("damage");
    QTest::addColumn<QString>("expected");
    QTest::newRow("elf without section headers") << QStringLiteral(ELF_WITH_VERSION) << "no-sections"
                                                 << "3.1.4.159";
    QTest::newRow("elf with junk appended") << QStringLiteral(ELF_WITH_VERSION) << "junk"
                                            << "3.1.4.159";
    QTest::newRow("pe with junk appended") << peFixture("versioned.exe") << "junk"
                                           << "1.2.0.15";
    QTest::newRow("pe cut inside its version block") << peFixture("versioned.exe") << "cut-in-block" << kNone;
}

void TestExeVersion::damagedButReadable() {
    QFETCH(QString, path);
    QFETCH(QString, damage);
    QFETCH(QString, expected);
    QByteArray bytes = fixture(path);
    if (bytes.isEmpty())
        QSKIP("fixture not built (mingw-w64 missing)");
    if (damage == QLatin1String("no-sections")) {
        QVERIFY(bytes.size() > 64 && bytes.at(4) == 2 && bytes.at(5) == 1); // 64-bit little-endian
        memset(bytes.data() + 0x28, 0, 8);                                  // e_shoff
        memset(bytes.data() + 0x3C, 0, 4);                                  // e_shnum, e_shstrndx
    } else if (damage == QLatin1String("junk")) {
        bytes += QByteArray(4096, '\xFF');
    } else if (damage == QLatin1String("cut-in-block")) {
        const int signature = bytes.indexOf(QByteArray("\xBD\x04\xEF\xFE", 4));
        QVERIFY(signature > 0);
        bytes.truncate(signature + 8);
    }
    QCOMPARE(versionOf(bytes), expected);
}

void TestExeVersion::survivesMutations_data() {
    QTest::addColumn<QByteArray>("original");
    QTest::addColumn<QString>("expected");
    QTest::addColumn<int>("rounds");
    QTest::newRow("crafted pe32") << buildPe(true) << "7.6.5.4" << 1500;
    QTest::newRow("crafted pe32+") << buildPe(false) << "7.6.5.4" << 1500;
    const QByteArray versioned = fixture(peFixture("versioned.exe"));
    if (!versioned.isEmpty())
        QTest::newRow("built pe") << versioned << "1.2.0.15" << 800;
    QTest::newRow("built elf") << fixture(QStringLiteral(ELF_WITH_VERSION)) << "3.1.4.159" << 800;
}

void TestExeVersion::survivesMutations() {
    QFETCH(QByteArray, original);
    QFETCH(QString, expected);
    QFETCH(int, rounds);
    QVERIFY(!original.isEmpty());
    QCOMPARE(versionOf(original), expected);

    // Damage lands where the reader looks: the headers, the version data and (for ELF) the
    // section table at the end; a file of 100 kB hit at random would mostly change code bytes.
    QVector<QPair<int, int>> hot{{0, qMin(original.size(), 1024)}};
    const int signature = original.indexOf(QByteArray("\xBD\x04\xEF\xFE", 4));
    const int note = original.indexOf(QByteArray("Tovarin\0", 8));
    for (const int at : {signature, note}) {
        if (at >= 0)
            hot.append({qMax(0, at - 2048), qMin(original.size(), at + 256)});
    }
    hot.append({qMax(0, original.size() - 4096), original.size()});

    // Where the version's own numbers lie: the file version after the fixed information's
    // signature and its structure version, or the note's description after its name.
    const bool pe = signature >= 0;
    const int numbers = pe ? signature + 8 : note + 8;
    const int numbersSize = pe ? 8 : 16;
    QVERIFY(signature >= 0 || note >= 0);
    QCOMPARE(versionAt(original, numbers, pe), expected);

    QRandomGenerator random(20260102);
    // Every round runs, however slow the machine: a round skipped for time is damage not tried.
    for (int done = 0; done < rounds; ++done) {
        QByteArray bytes = original;
        bool numbersHit = false;
        const bool truncateOnly = random.bounded(4) == 0;
        if (truncateOnly) {
            bytes.truncate(int(random.bounded(quint32(bytes.size()))));
        } else {
            const int edits = 1 + int(random.bounded(4));
            for (int e = 0; e < edits; ++e) {
                const QPair<int, int> area = hot.at(int(random.bounded(quint32(hot.size()))));
                const int at = area.first + int(random.bounded(quint32(qMax(1, area.second - area.first))));
                if (at + 4 > bytes.size())
                    continue;
                static const quint32 nasty[] = {0u, 1u, 0x7FFFFFFFu, 0x80000000u, 0xFFFFFFFFu, 0xFFFFu, 16u};
                const int kind = int(random.bounded(3));
                switch (kind) {
                case 0:
                    bytes[at] = char(random.bounded(256));
                    break;
                case 1:
                    put32(bytes, at, nasty[random.bounded(quint32(sizeof nasty / sizeof *nasty))]);
                    break;
                default:
                    put32(bytes, at, random.generate());
                }
                const int width = kind == 0 ? 1 : 4;
                numbersHit = numbersHit || (at < numbers + numbersSize && at + width > numbers);
            }
        }
        // Damage anywhere but the numbers (cutting the file included) can lose the version, never
        // turn it into another one; damage to the numbers gives the numbers now there, or none.
        const QString version = versionOf(bytes);
        const QString allowed = numbersHit ? versionAt(bytes, numbers, pe) : expected;
        if (version != allowed && version != kNone)
            QFAIL(qPrintable(QStringLiteral("round %1: %2, where only %3 or %4 may be read")
                                 .arg(done)
                                 .arg(version, allowed, kNone)));
    }
}

void TestExeVersion::answersMazesAtOnce_data() {
    QTest::addColumn<QByteArray>("content");
    QTest::newRow("pe: looping resources in the last of 65535 sections") << buildPeMaze();
    QTest::newRow("elf: thousands of tables over the same notes") << buildElfMaze();
}

// The update check reads every tool's version on the GUI thread: a crafted tool must not
// freeze the launcher.
void TestExeVersion::answersMazesAtOnce() {
    QFETCH(QByteArray, content);
    // Processor time, not wall time: a loaded machine stretches the latter, not the work done. A
    // reader caught in the maze spends many seconds; a sound one a few milliseconds.
    const std::clock_t before = std::clock();
    QCOMPARE(versionOf(content), kNone);
    QCOMPARE(versionOfFile(content), kNone);
    const double cpuMs = double(std::clock() - before) * 1000.0 / CLOCKS_PER_SEC;
    QVERIFY2(cpuMs < 1500, qPrintable(QString::number(cpuMs)));
}

QTEST_GUILESS_MAIN(TestExeVersion)
#include "tst_exeversion.moc"
