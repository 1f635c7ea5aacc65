// Times one installation (or one compressDir) the way the programs run it: the work on the
// installer's worker thread, the main thread waiting in its event loop with a 10 ms timer whose
// longest gap between ticks is the stall a window would show. After an installation it also
// times the clean-up that runs on after install() returned.
//
//   installbench install <package.zip> <targetFolder> [keep names...]
//   installbench compress <package.zip> <sourceFolder>
//   installbench station <packageUrl> <stationFolder> [--keys LINE]
//
// "station" runs a tool package's whole installation with the launcher's steps, from the
// download to the files in <stationFolder>/tool: with --keys the station's CONFIGSET.ini lists
// that key line, so the digest is taken while the package arrives and its signature is fetched
// and checked; without, neither happens. It exits 3 when the signature was refused.
#include "common.h"
#include "installservice.h"
#include "packageguard.h"
#include "packagesignature.h"

#include <QCoreApplication>
#include <QDir>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QFile>
#include <QFileInfo>
#include <QTimer>

#include <sys/resource.h>

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

double cpuSeconds(const timeval &tv) {
    return double(tv.tv_sec) + double(tv.tv_usec) / 1e6;
}

// The launcher's tool-package steps for a zip without keep-list, window left out; every phase
// timed from one clock, so the phases add up to the total.
int station(const QString &url, const QString &stationFolder, const QStringList &options) {
    const QString folderName = QStringLiteral("tool");
    const QString configSet = stationFolder + QStringLiteral("/CONFIGSET.ini");
    {
        QFile config(configSet);
        if (!config.open(QIODevice::WriteOnly | QIODevice::Truncate))
            return 2;
        const int at = options.indexOf(QStringLiteral("--keys"));
        config.write("[Tovarin]\n");
        if (at >= 0)
            config.write("PackageKeys=" + options.value(at + 1).toUtf8() + '\n');
    }
    const QString staging = stationFolder + QStringLiteral("/UpgradePackage/ToolApp/");
    const QString packageFile = staging + folderName + QStringLiteral(".zip");
    const QString toolFolder = stationFolder + QLatin1Char('/') + folderName;

    Common common;
    StallMeter stall;
    QElapsedTimer clock;
    rusage before{};
    getrusage(RUSAGE_SELF, &before);
    stall.start();
    clock.start();

    // Read afresh for each installation, as the launcher does.
    const PackageSignature::STATIONKEYS_S keys = PackageSignature::stationKeys(configSet);
    common.mkMutiDir(QDir::cleanPath(staging));
    QFile::remove(packageFile);
    const qint64 prepared = clock.nsecsElapsed();

    common.setDownloadDigestWanted(keys.m_bRequired);
    const bool downloaded = common.DownloadFiles(url, QDir::cleanPath(staging), QFileInfo(packageFile).fileName());
    common.setDownloadDigestWanted(false);
    const qint64 fetched = clock.nsecsElapsed();

    PackageSignature::VERDICT_E verdict = PackageSignature::SIGNATURE_GOOD;
    if (downloaded && keys.m_bRequired) {
        verdict = common.fetchPackageSignature(url, packageFile, keys.m_listKeys);
        QFile::remove(packageFile + QStringLiteral(".sig"));
        if (verdict != PackageSignature::SIGNATURE_GOOD)
            QFile::remove(packageFile);
    }
    const qint64 judged = clock.nsecsElapsed();

    // Only the tool's own folder may come out of the zip.
    bool fits = false;
    QStringList entries;
    if (downloaded && verdict == PackageSignature::SIGNATURE_GOOD && common.zipEntryNames(packageFile, entries) &&
        PackageGuard::namesProblem(entries).isEmpty()) {
        fits = true;
        for (const QString &entry : qAsConst(entries)) {
            const QString rel = PackageGuard::entryPath(entry);
            fits = fits && rel.section(QLatin1Char('/'), 0, 0) == folderName &&
                   (rel.contains(QLatin1Char('/')) || entry.endsWith(QLatin1Char('/')));
        }
    }
    const qint64 screened = clock.nsecsElapsed();

    const bool installed = fits && common.UpdataZipFolder(packageFile, folderName, toolFolder);
    const qint64 elapsed = clock.nsecsElapsed();
    const qint64 longest = stall.stop();
    rusage after{};
    getrusage(RUSAGE_SELF, &after);

    std::printf("station_ok=%d\nsigned=%d\nverdict=%d\ndownloaded=%d\ntotal_s=%.3f\nprepare_s=%.3f\n"
                "download_s=%.3f\nsignature_s=%.3f\nscreen_s=%.3f\ninstall_s=%.3f\nuser_s=%.3f\n"
                "system_s=%.3f\nstall_ms=%lld\n",
                installed, keys.m_bRequired, int(verdict), downloaded, seconds(elapsed), seconds(prepared),
                seconds(fetched - prepared), seconds(judged - fetched), seconds(screened - judged),
                seconds(elapsed - screened), cpuSeconds(after.ru_utime) - cpuSeconds(before.ru_utime),
                cpuSeconds(after.ru_stime) - cpuSeconds(before.ru_stime), longest);
    if (installed)
        return 0;
    return verdict != PackageSignature::SIGNATURE_GOOD ? 3 : 1;
}

} // namespace

int main(int argc, char **argv) {
    QCoreApplication app(argc, argv);
    const QStringList args = app.arguments().mid(1);
    if (args.size() < 3) {
        std::fputs("usage: installbench install|compress <package.zip> <folder> [keep names...]\n"
                   "       installbench station <packageUrl> <stationFolder> [--keys LINE]\n",
                   stderr);
        return 2;
    }
    if (args.at(0) == QLatin1String("station"))
        return station(args.at(1), args.at(2), args.mid(3));
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
