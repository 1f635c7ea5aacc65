// The product catalogue: the search answer filling cards and pages (and the pictures it
// names, which the loopback server answers too), then the detail answer of a confirmed product.
#include "launcherstation.h"
#include "popselectwidget.h"

#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QLineEdit>

#include <QAbstractButton>

namespace {
QAbstractButton *button(QWidget *w, const char *name) {
    return w->findChild<QAbstractButton *>(QLatin1String(name));
}
} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t *data, size_t size) {
    Fuzz::AnswerServer &server = Fuzz::launcherServer();
    Tovarin &w = Fuzz::mainWindow();
    popSelectWidget *pop = w.m_pPopSelectWidget;
    server.m_body = Fuzz::bytesOf(data, size);
    pop->show();
    pop->findChild<QLineEdit *>(QStringLiteral("lineEditSearch"))->setText(QStringLiteral("IPC"));
    button(pop, "btnSearch")->click();
    button(pop, "btnNext")->click();
    button(pop, "btnPrev")->click();
    const QJsonArray products = QJsonDocument::fromJson(server.m_body).object().value("data").toArray();
    if (!products.isEmpty()) {
        pop->slotProductSelected(pop->recordFromProduct(products.first().toObject(), RELEASE_TYPE_RELEASED));
        button(pop, "btnConfrim")->click();
    }
    button(pop, "btnCancel")->click();
    return 0;
}
