// The login answer, through the login window's button.
#include "launcherstation.h"
#include "kovalogin.h"

#include <QLineEdit>
#include <QPushButton>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Fuzz::AnswerServer &server = Fuzz::launcherServer();
    static KovaLogin *login = new KovaLogin;
    server.m_body = Fuzz::bytesOf(data, size);
    login->findChild<QLineEdit *>(QStringLiteral("lineAccount"))->setText(QStringLiteral("operator"));
    login->findChild<QLineEdit *>(QStringLiteral("linePassword"))->setText(QStringLiteral("secret"));
    login->findChild<QPushButton *>(QStringLiteral("qbtnLogin"))->click();
    return 0;
}
