// The longest stall of the launcher's GUI thread (the longest gap between two ticks of a 5 ms
// timer on it) while its tool page runs the update check for 16 tools and while it starts 8
// tools one after another: the real main window, offscreen, against the stand-in server, with
// the demo tool installed as every tool.
//
//     stallbench [--rounds N] [--trace FILE [--trace-ms MS]]
//
// --trace writes the GUI thread's stack into FILE whenever it has not ticked for MS (40) ms (Linux),
// to find what it was doing.
#include "devserver.h"
#include "globals.h"
#include "platform.h"
#include "stallsampler.h"
#include "toolbutton.h"
#include "toolpackages.h"
#include "tovarin.h"
#include "tovarintesthelpers.h"

#include <QApplication>
#include <QElapsedTimer>
#include <QJsonArray>
#include <QThread>
#include <QTimer>

#include <algorithm>
#include <cstdio>
#include <memory>

namespace {

QString s_station;
QString station() {
    return s_station;
}

const char kToken[] = "tok-operator-0001";

// Gaps between ticks of a precise 5 ms timer on the GUI thread.
class StallProbe : public QObject {
public:
    StallProbe() {
        m_timer.setTimerType(Qt::PreciseTimer);
        connect(&m_timer, &QTimer::timeout, this, [this] {
            const qint64 now = m_clock.nsecsElapsed();
            m_longestNs = std::max(m_longestNs, now - m_lastNs);
            m_lastNs = now;
            if (m_pSampler)
                m_pSampler->tick();
        });
        m_clock.start();
    }
    void start() {
        m_longestNs = 0;
        m_lastNs = m_clock.nsecsElapsed();
        if (m_pSampler)
            m_pSampler->tick();
        m_timer.start(5);
    }
    double stopMs() {
        m_timer.stop();
        if (m_pSampler)
            m_pSampler->pause();
        return m_longestNs / 1e6;
    }
    void setSampler(StallSampler *pSampler) { m_pSampler = pSampler; }

private:
    QTimer m_timer;
    QElapsedTimer m_clock;
    qint64 m_lastNs = 0;
    qint64 m_longestNs = 0;
    StallSampler *m_pSampler = nullptr;
};

// Waits with the event loop running until done() or the limit.
bool waitFor(const std::function<bool()> &done, int limitMs) {
    QElapsedTimer waited;
    waited.start();
    while (!done()) {
        if (waited.hasExpired(limitMs))
            return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
    }
    return true;
}

// A tool start as the launcher made it before it started tools beside the window: the start
// script run to its end, then the listing polled every 20 ms until the tool shows (at most 2 s),
// all on the GUI thread.
void blockingStart(Tovarin &w, const toolButtonInfo &info, const QString &image) {
    const QString folder = station() + QLatin1Char('/') + info.m_szToolKey + QLatin1Char('/');
    const QString script = folder + Platform::toolStartScriptName();
    if (w.checkProcessExist(image))
        return;
    if (!QFile::exists(script))
        Platform::writeScriptFile(script, Platform::toolStartScriptText(image));
    Platform::runScript(script, folder, 30000);
    QElapsedTimer since;
    since.start();
    while (!Platform::imageRunning(Platform::listRunningImages(), image) && !since.hasExpired(2000))
        QThread::msleep(20);
}

QString exeOf(const QString &key) {
    return QStringLiteral("sb%1%2").arg(QCoreApplication::applicationPid()).arg(key);
}

} // namespace

int main(int argc, char *argv[]) {
    // On a display when one is named (as a station runs), else offscreen.
    if (qEnvironmentVariableIsEmpty("DISPLAY"))
        qputenv("QT_QPA_PLATFORM", "offscreen");
    QApplication app(argc, argv);
    const QStringList args = app.arguments();
    const int rounds =
        std::max(1, args.contains("--rounds") ? args.value(args.indexOf("--rounds") + 1).toInt() : 3);
    const QString trace = args.contains("--trace") ? args.value(args.indexOf("--trace") + 1) : QString();
    // The launcher's trace lines would drown the figures.
    qInstallMessageHandler([](QtMsgType type, const QMessageLogContext &, const QString &text) {
        if (type >= QtCriticalMsg)
            std::fprintf(stderr, "%s\n", qPrintable(text));
    });

    DevServer server;
    QJsonObject data = DevServer::demoData();
    QJsonArray tools = data.value("tools").toArray();
    for (int i = 1; i < tools.size(); ++i) {
        QJsonObject tool = tools.at(i).toObject();
        QJsonObject package = tool.value("package").toObject();
        // Every tool offered an optional upgrade: the tiles change, nothing installs.
        package.insert("forceUpgrade", 0);
        package.insert("versionNo", "9.0.0.0");
        tool.insert("package", package);
        tools.replace(i, tool);
    }
    data.insert("tools", tools);
    if (!server.start(QString(), {QStringLiteral("--no-https")}) || !server.setData(data)) {
        std::fprintf(stderr, "stallbench: the stand-in server did not start: %s\n",
                     qPrintable(server.lastError()));
        return 1;
    }
    LauncherStation station(server.httpBase());
    s_station = station.path();
    QByteArray config = "[MainConfig]\nbEmpWorkCheck=false\n\n";
    QByteArray selected = "[SelectedTools]\n";
    QString error;
    for (int i = 0; i < toolKeys().size(); ++i) {
        const QString key = toolKeys().at(i);
        config += "[" + key.toUtf8() + "]\nID=" + toolIdOf(key).toUtf8() + "\nPath=./" + key.toUtf8() +
                  "/\nExe=" + exeOf(key).toUtf8() + "\n\n";
        selected += "tool" + QByteArray::number(i + 1) + "=" + toolIdOf(key).toUtf8() + "\n";
        const QString program = station.path() + "/" + key + "/" + exeOf(key) + Platform::executableSuffix();
        if (!QDir().mkpath(station.path() + "/" + key) ||
            !ToolPackages::makeExe(program, "1.0.0.0", &error)) {
            std::fprintf(stderr, "stallbench: %s\n", qPrintable(error));
            return 1;
        }
    }
    TestFiles::write(station.path() + "/CONFIGSET.ini", config);
    TestFiles::write(station.path() + "/MAINSET.ini",
                     "[UserInfo]\nUserPosition=P1\nUserLinePosition=L1\nUserWorkPosition=W1\n"
                     "[UISetting]\nbClosePop=false\n" +
                         selected);
    m_szLoginToken = QString::fromLatin1(kToken);

    const int traceMs = args.contains("--trace-ms") ? args.value(args.indexOf("--trace-ms") + 1).toInt() : 40;
    std::unique_ptr<StallSampler> sampler(trace.isEmpty() ? nullptr : new StallSampler(trace, traceMs));

    StallProbe probe;
    probe.setSampler(sampler.get());
    std::printf("GUI-thread stalls of the launcher: longest gap between ticks of a 5 ms timer (ms)\n");
    std::printf("%-6s %-28s %-16s %-16s\n", "round", "tool page check, 16 tools", "8 tool starts",
                "8 starts before");
    QVector<double> checks;
    QVector<double> starts;
    QVector<double> blockingStarts;
    for (int round = 1; round <= rounds; ++round) {
        Tovarin w;
        probe.start();
        w.show();
        // The check has run once its answers set the tiles.
        const bool checked = waitFor(
            [&] {
                int offered = 0;
                for (toolButton *tile : qAsConst(w.m_vecToolButtons))
                    offered += tile->m_btnInfo.m_eUpgradeStatus == UPGRADE_STATUS_UPGRADABLE;
                return offered == w.m_vecToolButtons.size() && w.m_vecToolButtons.size() == 16 &&
                       !w.m_bToolCheckRunning;
            },
            60000);
        const double checkMs = probe.stopMs();
        if (!checked) {
            std::fprintf(stderr, "stallbench: the update check did not end\n");
            return 1;
        }

        // A local mains product and a customer: every tool may start.
        w.m_productInfo.m_szLocalPath = QStringLiteral("conf/Bench.ini");
        w.m_iOwnerId = 7;
        w.m_szOwnerName = QStringLiteral("客户乙");
        // Eight starts through the window, then (the reference) the same eight as the launcher
        // started tools before: the start script and the wait for the tool's listing on the GUI
        // thread, without handling events.
        double startMs[2] = {0, 0};
        for (int way = 0; way < 2; ++way) {
            QStringList started;
            probe.start();
            for (toolButton *tile : qAsConst(w.m_vecToolButtons)) {
                if (started.size() == 8)
                    break;
                toolButtonInfo info = tile->m_btnInfo;
                if (info.m_eElectricType != ELECTRIC_TYPE_ANY)
                    w.m_productInfo.m_eProductType = info.m_eElectricType;
                const QString image = exeOf(info.m_szToolKey) + Platform::executableSuffix();
                started << image;
                if (way == 1) {
                    blockingStart(w, info, image);
                    // The operator's next press comes through the event loop.
                    QCoreApplication::processEvents();
                    continue;
                }
                w.slotProcessOpen(info);
                // The next press once the launcher has seen the tool running, as an operator would.
                if (!waitFor([&] { return w.m_mapToolsStarting.isEmpty(); }, 20000)) {
                    std::fprintf(stderr, "stallbench: the start of %s was never confirmed\n",
                                 qPrintable(image));
                    return 1;
                }
            }
            startMs[way] = probe.stopMs();
            const QStringList running = Platform::listRunningImages();
            for (const QString &image : qAsConst(started)) {
                if (!Platform::imageRunning(running, image)) {
                    std::fprintf(stderr, "stallbench: %s did not start\n", qPrintable(image));
                    return 1;
                }
            }
            for (const QString &image : qAsConst(started))
                Platform::forceEndImage(image);
        }
        checks << checkMs;
        starts << startMs[0];
        blockingStarts << startMs[1];
        std::printf("%-6d %-28.1f %-16.1f %-16.1f\n", round, checkMs, startMs[0], startMs[1]);
        std::fflush(stdout);
    }
    std::sort(checks.begin(), checks.end());
    std::sort(starts.begin(), starts.end());
    std::sort(blockingStarts.begin(), blockingStarts.end());
    std::printf("%-6s %-28.1f %-16.1f %-16.1f\n", "median", checks.at(checks.size() / 2),
                starts.at(starts.size() / 2), blockingStarts.at(blockingStarts.size() / 2));
    std::printf("%-6s %-28.1f %-16.1f %-16.1f\n", "max", checks.last(), starts.last(), blockingStarts.last());
    return 0;
}
