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
#include <QLocale>
#include <QMessageBox>
#include <QTranslator>

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
