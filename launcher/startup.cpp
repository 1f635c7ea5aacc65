#include "startup.h"

#include "applicationfolder.h"
#include "imageresources.h"
#include "installservice.h"
#include "logrecorder.h"
#include "kovalogin.h"
#include "singleinstance.h"
#include "tovarin.h"

#include <QApplication>
#include <QDebug>
#include <QElapsedTimer>
#include <QEventLoop>
#include <QLocale>
#include <QMessageBox>
#include <QProgressDialog>
#include <QTimer>
#include <QTranslator>

namespace {

// An updater installing the launcher's folder takes seconds; one that takes longer than this
// has hung, and its folder is left to it.
const int kForeignInstallWaitMs = 120000;

// A launcher started by hand while the updater installs its folder: the updater's journal is
// live, not interrupted, and the folder is in no state to be read until it is done.
bool waitWhileInstalling(const QString &folder) {
    if (!InstallService::isInstalling(folder))
        return true;
    qDebug() << "升级程序正在安装主程序，等待安装结束";
    LogRecorder::recordInLogFolder(QStringLiteral("启动时升级程序正在安装，等待安装结束"));
    QProgressDialog progress(QStringLiteral("正在安装新版本，请稍候…"), QString(), 0, 0);
    progress.setWindowTitle(QStringLiteral("NORVEXA 产测工具"));
    progress.setMinimumDuration(0);
    progress.show();
    QElapsedTimer waited;
    waited.start();
    QEventLoop loop;
    QTimer poll;
    QObject::connect(&poll, &QTimer::timeout, &loop, [&] {
        if (!InstallService::isInstalling(folder) || waited.elapsed() >= kForeignInstallWaitMs)
            loop.quit();
    });
    poll.start(100);
    loop.exec();
    const bool ended = !InstallService::isInstalling(folder);
    if (!ended)
        LogRecorder::recordInLogFolder(QStringLiteral("升级程序安装超时，本次启动不处理其安装记录"));
    return ended;
}

} // namespace

QString installTranslation(QApplication &app, QTranslator &translator, const QStringList &uiLanguages,
                           const QString &catalogPrefix) {
    for (const QString &language : uiLanguages) {
        const QString name = QLocale(language).name();
        if (translator.load(catalogPrefix + QStringLiteral("Tovarin_") + name)) {
            app.installTranslator(&translator);
            return name;
        }
    }
    return QString();
}

int runLauncher(QApplication &app, const std::function<void(KovaLogin *)> &onLoginShown) {
    initImageResources();

    if (!SingleInstance::acquire()) {
        qDebug() << "当前程序即将退出:已有同类工具正在运行";
        QMessageBox::information(nullptr, QStringLiteral("NORVEXA 产测工具"),
                                 QStringLiteral("当前程序即将退出:已有同类工具正在运行"), QMessageBox::Ok);
        app.quit();
        return -1;
    }

    // A package installation that a killed launcher or updater left half-done is completed or
    // undone before anything reads the folder; only the single running launcher may do it.
    // The updater's folder has a journal of its own (the launcher refreshes it before a hand-off).
    for (const QString &folder :
         {ApplicationFolder::path(), ApplicationFolder::path() + QStringLiteral("/Pellock")}) {
        if (!waitWhileInstalling(folder))
            continue;
        QString problem;
        if (!InstallService::recoverInterrupted(folder, nullptr, &problem))
            qDebug() << "上次安装未能恢复";
        if (!problem.isEmpty())
            LogRecorder::recordInLogFolder(problem);
    }

    QTranslator translator;
    installTranslation(app, translator, QLocale::system().uiLanguages(), QStringLiteral(":/i18n/"));

    int result = 0;
    {
        KovaLogin login;
        login.show();
        QObject::connect(login.mainWindow(), SIGNAL(signalForceCloseApp()), &app, SLOT(quit()));
        if (onLoginShown)
            onLoginShown(&login);
        qDebug() << "登录窗口已显示";
        result = app.exec();
    }
    SingleInstance::release();
    return result;
}
