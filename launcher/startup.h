#pragma once

#include <QString>
#include <QStringList>

#include <functional>

class KovaLogin;
class QApplication;
class QTranslator;

// The launcher's start-up on an application object that already exists: single-instance guard,
// translation catalogue, login window, event loop. Returns the process exit code: the event
// loop's result, or -1 when another launcher is running. onLoginShown, when given, gets the login
// window once it shows, before the event loop starts (the soak's build starts its driver there).
int runLauncher(QApplication &app, const std::function<void(KovaLogin *)> &onLoginShown = {});

// Loads into translator the catalogue catalogPrefix + locale name for the first of uiLanguages
// that has one, installs it and returns that locale name; empty when none loads.
QString installTranslation(QApplication &app, QTranslator &translator, const QStringList &uiLanguages,
                           const QString &catalogPrefix);
