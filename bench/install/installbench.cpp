// Times one installation (or one compressDir) the way the programs run it: the work on the
// installer's worker thread, the main thread waiting in its event loop with a 10 ms timer whose
// longest gap between ticks is the stall a window would show. After an installation it also
// times the clean-up that runs on after install() returned.
//
//   installbench install <package.zip> <targetFolder> [keep names...]
//   installbench compress <package.zip> <sourceFolder>
#include "common.h"
#include "installservice.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFileInfo>
#include <QTimer>

#include <cstdio>

namespace {

struct StallMeter {
    QTimer timer;
    QElapsedTimer clock;
    qint64 last = 0;
    qint64 longest = 0;

    void start() {
        timer.setTimerType(Qt::PreciseTimer);
        timer.setInterval(10);
        QObject::connect(&timer, &QTimer::timeout, [this] {
            const qint64 now = clock.elapsed();
            longest = qMax(longest, now - last);
            last = now;
        });
        clock.start();
        timer.start();
    }
    // The gap still open when the work ended counts too.
    qint64 stop() {
        longest = qMax(longest, clock.elapsed() - last);
        timer.stop();
        return longest;
    }
};

double seconds(qint64 ns) {
    return double(ns) / 1e9;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() < 3) {
        std::fputs("usage: installbench install|compress <package.zip> <folder> [keep names...]\n", stderr);
        return 2;
    }
    QElapsedTimer total;
    StallMeter stall;

    if (args.at(0) == QLatin1String("compress")) {
        Common common;
        stall.start();
        total.start();
        const bool ok = common.compressDir(args.at(1), args.at(2));
        const qint64 elapsed = total.nsecsElapsed();
        std::printf("compress_ok=%d\ncompress_s=%.3f\n", ok, seconds(elapsed));
        return ok ? 0 : 1;
    }

    InstallService service;
    qint64 staged = 0;
    qint64 committed = 0;
    // Written on the worker thread, read after it has been joined.
    service.setStepWatcher([&](InstallService::INSTALLSTEP_E step, int) {
        if (step == InstallService::STEP_JOURNAL_WRITTEN)
            staged = total.nsecsElapsed();
        else if (step == InstallService::STEP_COMMITTED)
            committed = total.nsecsElapsed();
    });
    stall.start();
    total.start();
    const auto result = service.install(args.at(1), args.at(2), args.mid(3), InstallService::PACKAGE_ZIP);
    const qint64 elapsed = total.nsecsElapsed();
    const qint64 longest = stall.stop();

    // The replaced files are deleted after install() returned. A program lives on meanwhile;
    // so does this one, until nothing named after the journal is left beside the folder.
    const QFileInfo journal(InstallService::journalPathOf(args.at(2)));
    const auto traces = [&journal] {
        return !QDir(journal.path())
                    .entryList({journal.fileName() + QLatin1Char('*')}, QDir::AllEntries | QDir::Hidden)
                    .isEmpty();
    };
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (!traces() || total.elapsed() > 600000)
            loop.quit();
    });
    poll.start(10);
    if (traces())
        loop.exec();
    const qint64 cleaned = total.nsecsElapsed();
    std::printf("install_ok=%d\ninstall_s=%.3f\nunpack_s=%.3f\nmove_in_s=%.3f\ncleanup_s=%.3f\n"
                "background_s=%.3f\ncleaned=%d\nstall_ms=%lld\n",
                result == InstallService::INSTALL_OK, seconds(elapsed), seconds(staged),
                seconds(committed - staged), seconds(elapsed - committed), seconds(cleaned - elapsed),
                !traces(), longest);
    return result == InstallService::INSTALL_OK ? 0 : 1;
}
