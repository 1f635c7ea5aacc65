// Downloads one URL with Common::DownloadFiles and prints what it cost, one "key value" per
// line, for bench/run.sh to set against curl:
//
//     downloadbench URL FOLDER NAME
//
// idle_kib is the resident size just before the download starts, peak_kib the highest
// resident size the process reached, so peak_kib - idle_kib is what the download added.
// The downloader's trace lines go to stderr as they do in the programs.

#include "common.h"

#include <QCoreApplication>
#include <QElapsedTimer>
#include <QFile>
#include <QFileInfo>
#include <QTextStream>
#include <QTimer>

#include <sys/resource.h>
#include <sys/time.h>

namespace {

qint64 statusKib(const QByteArray &key) {
    QFile status(QStringLiteral("/proc/self/status"));
    if (!status.open(QIODevice::ReadOnly))
        return -1;
    for (const QByteArray &line : status.readAll().split('\n'))
        if (line.startsWith(key + ':'))
            return line.mid(key.size() + 1).trimmed().split(' ').value(0).toLongLong();
    return -1;
}

double seconds(const timeval &tv) {
    return double(tv.tv_sec) + double(tv.tv_usec) / 1e6;
}

} // namespace

int main(int argc, char *argv[]) {
    QCoreApplication app(argc, argv);
    QTextStream out(stdout);
    const QStringList args = app.arguments();
    if (args.size() != 4) {
        QTextStream(stderr) << "usage: downloadbench URL FOLDER NAME\n";
        return 2;
    }
    Common common;
    const qint64 idle = statusKib("VmRSS");
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    // A window's 10 ms timer on the waiting thread: its longest gap is how long the window froze.
    QElapsedTimer sinceTick;
    qint64 longestGapNs = 0;
    QTimer ticker;
    ticker.setTimerType(Qt::PreciseTimer);
    QObject::connect(&ticker, &QTimer::timeout, [&] {
        longestGapNs = qMax(longestGapNs, sinceTick.nsecsElapsed());
        sinceTick.restart();
    });
    ticker.start(10);
    sinceTick.start();
    QElapsedTimer clock;
    clock.start();
    const bool ok = common.DownloadFiles(args.at(1), args.at(2), args.at(3));
    const qint64 elapsed = clock.nsecsElapsed();
    longestGapNs = qMax(longestGapNs, sinceTick.nsecsElapsed());
    rusage after{};
    getrusage(RUSAGE_SELF, &after);

    out << "ok " << (ok ? 1 : 0) << '\n'
        << "bytes " << QFileInfo(args.at(2) + QLatin1Char('/') + args.at(3)).size() << '\n'
        << "seconds " << QString::number(double(elapsed) / 1e9, 'f', 3) << '\n'
        << "user_seconds " << QString::number(seconds(after.ru_utime) - seconds(before.ru_utime), 'f', 3)
        << '\n'
        << "system_seconds " << QString::number(seconds(after.ru_stime) - seconds(before.ru_stime), 'f', 3)
        << '\n'
        << "idle_kib " << idle << '\n'
        << "peak_kib " << statusKib("VmHWM") << '\n'
        << "longest_gap_ms " << QString::number(double(longestGapNs) / 1e6, 'f', 1) << '\n';
    return ok ? 0 : 1;
}
