// One production-test station at the start of a shift, for bench/shiftstart.sh: fetches one
// tool package the way the launcher's tool installation does, one Common::DownloadFiles call
// per installation try (the launcher makes one try per update check), up to TRIES tries,
// stopping at the first success.
//
//     shiftstation URL FOLDER NAME [--tries N] [--limit-ms MS] [--no-resume] [--start-at EPOCH_MS]
//
// --limit-ms shortens the per-attempt download limit; --no-resume switches continuation off
// (every attempt from byte 0, an attempt at the limit fails), the reference; --start-at waits
// until that wall-clock time (ms since 1970) so that all stations of a run begin together.
// Prints "key value" lines: ok, tries, finished_ms and ended_ms (since --start-at, or since
// the start), try_ms (each try's time, comma-separated), bytes, sha256 (of the file on disk,
// after a success), digest (what DownloadFiles hashed while the bytes arrived), error.

#include "common.h"

#include <QCoreApplication>
#include <QCryptographicHash>
#include <QDateTime>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>
#include <QThread>

namespace {

QByteArray fileSha256(const QString &path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly))
        return QByteArray();
    QCryptographicHash hash(QCryptographicHash::Sha256);
    hash.addData(&file);
    return hash.result().toHex();
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QStringList args = app.arguments();
    args.removeFirst();
    int tries = 3;
    int limitMs = 0;
    bool resume = true;
    qint64 startAt = 0;
    QStringList positional;
    for (int i = 0; i < args.size(); ++i) {
        const QString &a = args.at(i);
        if (a == QLatin1String("--tries") && i + 1 < args.size())
            tries = args.at(++i).toInt();
        else if (a == QLatin1String("--limit-ms") && i + 1 < args.size())
            limitMs = args.at(++i).toInt();
        else if (a == QLatin1String("--start-at") && i + 1 < args.size())
            startAt = args.at(++i).toLongLong();
        else if (a == QLatin1String("--no-resume"))
            resume = false;
        else
            positional << a;
    }
    if (positional.size() != 3 || tries < 1) {
        QTextStream(stderr) << "usage: shiftstation URL FOLDER NAME [--tries N] [--limit-ms MS] [--no-resume]"
                               " [--start-at EPOCH_MS]\n";
        return 2;
    }
    const QString url = positional.at(0);
    const QString folder = positional.at(1);
    const QString target = folder + QLatin1Char('/') + positional.at(2);

    Common::setDownloadLimitForTesting(limitMs);
    Common::setResumeEnabledForBench(resume);
    Common common;
    // A station that checks package signatures, as the factory's do.
    common.setDownloadDigestWanted(true);

    if (startAt > 0) {
        const qint64 wait = startAt - QDateTime::currentMSecsSinceEpoch();
        if (wait > 0)
            QThread::msleep(ulong(wait));
    } else {
        startAt = QDateTime::currentMSecsSinceEpoch();
    }

    bool ok = false;
    int made = 0;
    QStringList tryMs;
    QString error;
    while (!ok && made < tries) {
        ++made;
        // The installation clears the package name in its staging folder before every download.
        QFile::remove(target);
        QElapsedTimer clock;
        clock.start();
        ok = common.DownloadFiles(url, folder, positional.at(2));
        tryMs << QString::number(clock.elapsed());
        if (!ok)
            error = common.lastDownloadError();
    }
    const qint64 ended = QDateTime::currentMSecsSinceEpoch() - startAt;

    QTextStream out(stdout);
    out << "ok " << (ok ? 1 : 0) << '\n'
        << "tries " << made << '\n'
        << "finished_ms " << (ok ? ended : -1) << '\n'
        << "ended_ms " << ended << '\n'
        << "try_ms " << tryMs.join(QLatin1Char(',')) << '\n'
        << "bytes " << (QFileInfo::exists(target) ? QFileInfo(target).size() : -1) << '\n'
        << "sha256 " << (ok ? fileSha256(target) : QByteArray("-")) << '\n'
        << "digest " << (ok ? common.lastDownloadDigest().toHex() : QByteArray("-")) << '\n'
        << "error " << (ok ? QStringLiteral("-") : error.simplified()) << '\n';
    return ok ? 0 : 1;
}
