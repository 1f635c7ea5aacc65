#include "soakdriver.h"

#include "kovalogin.h"
#include "platform.h"
#include "popselectwidget.h"
#include "popclosewidget.h"
#include "poptextwidget.h"
#include "popwidget.h"
#include "sidebarbutton.h"
#include "stallsampler.h"
#include "toolbutton.h"
#include "tovarin.h"
#include "ui_tovarin.h"

#include <QAbstractButton>
#include <QApplication>
#include <QCheckBox>
#include <QComboBox>
#include <QDateTime>
#include <QLabel>
#include <QLineEdit>
#include <QMessageBox>
#include <QPushButton>
#include <QStackedWidget>

namespace {
constexpr int kProbeIntervalMs = 10;
constexpr int kStackSampleMs = 80;
constexpr int kTickIntervalMs = 100;
// The window counts as settled once nothing has changed for this long.
constexpr int kIdleMs = 1500;

bool clickIfReady(QAbstractButton *button) {
    if (!button || !button->isVisible() || !button->isEnabled())
        return false;
    button->click();
    return true;
}
} // namespace

SoakDriver::PLAN_S SoakDriver::parsePlan(const QString &text) {
    PLAN_S plan;
    for (const QString &item : text.split(QLatin1Char(';'), Qt::SkipEmptyParts)) {
        const QString name = item.section(QLatin1Char('='), 0, 0).trimmed();
        const QString value = item.section(QLatin1Char('='), 1).trimmed();
        bool ok = false;
        const int number = value.toInt(&ok);
        if (name == QLatin1String("mode"))
            plan.m_bRecoverOnly = value == QLatin1String("recover");
        else if (name == QLatin1String("upgrade"))
            plan.m_bAcceptUpgrade = value != QLatin1String("decline");
        else if (name == QLatin1String("rounds") && ok && number >= 0)
            plan.m_iRounds = number;
        else if (name == QLatin1String("seed") && ok)
            plan.m_iSeed = number;
        else if (name == QLatin1String("limit") && ok && number > 0)
            plan.m_iNoProgressLimitMs = number;
        else if (name == QLatin1String("again"))
            plan.m_bStartAgain = value == QLatin1String("1");
    }
    return plan;
}

SoakDriver *SoakDriver::startFromEnvironment(KovaLogin *pLogin, Tovarin *pMain) {
    const QString reportPath = qEnvironmentVariable("TOVARIN_SOAK");
    if (reportPath.isEmpty())
        return nullptr;
    return new SoakDriver(pLogin, pMain, reportPath, parsePlan(qEnvironmentVariable("TOVARIN_SOAK_PLAN")),
                          pMain);
}

SoakDriver::SoakDriver(KovaLogin *pLogin, Tovarin *pMain, const QString &szReportPath, const PLAN_S &plan,
                       QObject *parent)
    : QObject(parent), m_pLogin(pLogin), m_pMain(pMain), m_plan(plan), m_report(szReportPath) {
    m_report.open(QIODevice::Append | QIODevice::Text);
    report(QStringLiteral("START %1").arg(QCoreApplication::applicationPid()));
    connect(qApp, &QCoreApplication::aboutToQuit, this, [this] {
        report(QStringLiteral("STALL %1").arg(m_iLongestStallMs));
        report(QStringLiteral("EXIT"));
    });
    if (m_plan.m_bRecoverOnly) {
        // The start itself recovered what a killed installation left; nothing else to do.
        QTimer::singleShot(0, qApp, &QCoreApplication::quit);
        return;
    }
    m_probeClock.start();
    m_popupClock.start();
    m_actionClock.start();
    m_iLastProbeMs = 0;
    connect(&m_timerProbe, &QTimer::timeout, this, &SoakDriver::slotProbe);
    m_timerProbe.start(kProbeIntervalMs);
    // Where the longest stalls come from: the GUI thread's stack, for the soak's log.
    if (!szReportPath.isEmpty())
        m_pStallSampler.reset(new StallSampler(szReportPath + QStringLiteral(".stacks"), kStackSampleMs));
    connect(&m_timerTick, &QTimer::timeout, this, &SoakDriver::slotTick);
    m_timerTick.start(kTickIntervalMs);
    buildSteps();
}

SoakDriver::~SoakDriver() = default;

void SoakDriver::report(const QString &line) {
    if (!m_report.isOpen())
        return;
    m_report.write(
        QString(QStringLiteral("%1 %2\n")).arg(QDateTime::currentMSecsSinceEpoch()).arg(line).toUtf8());
    m_report.flush();
}

void SoakDriver::slotProbe() {
    const qint64 now = m_probeClock.elapsed();
    // The first seconds measure the program's start, not its event handling.
    if (now > 2000) {
        m_iLongestStallMs = qMax(m_iLongestStallMs, now - m_iLastProbeMs);
        if (m_pStallSampler)
            m_pStallSampler->tick();
    }
    m_iLastProbeMs = now;
}

QString SoakDriver::progressFingerprint() const {
    const Tovarin &w = *m_pMain;
    QStringList parts;
    parts << QString::number(m_pLogin->isVisible()) << QString::number(w.isVisible())
          << QString::number(w.ui->widgetMain->currentIndex()) << QString::number(w.m_bToolCheckRunning)
          << QString::number(w.m_bToolCheckPending) << QString::number(w.m_bInstallQueueRunning)
          << QString::number(w.m_vecInstallQueue.size()) << w.m_szInstallingToolId
          << QString::number(w.m_bMainAppUpgrading) << QString::number(w.m_pPopWidget->isVisible())
          << QString::number(w.m_pPopSelectWidget->isVisible())
          << QString::number(w.m_pPopCloseWidget->isVisible());
    if (QLabel *error = m_pLogin->findChild<QLabel *>(QStringLiteral("labAccountError")))
        parts << error->text();
    if (QLabel *error = m_pLogin->findChild<QLabel *>(QStringLiteral("labPasswordError")))
        parts << error->text();
    if (QPushButton *login = m_pLogin->findChild<QPushButton *>(QStringLiteral("qbtnLogin")))
        parts << QString::number(login->isEnabled());
    int cards = 0;
    for (QCheckBox *box : w.m_pPopSelectWidget->findChildren<QCheckBox *>(QStringLiteral("checkBox")))
        cards += box->isVisible() ? 1 : 0;
    parts << QString::number(cards);
    parts << QString::number(quintptr(QApplication::activeModalWidget()));
    parts << QString::number(m_iActions);
    return parts.join(QLatin1Char('|'));
}

bool SoakDriver::toolPageIdle() {
    const Tovarin &w = *m_pMain;
    const bool busy = w.m_bToolCheckRunning || w.m_bToolCheckPending || w.m_bInstallQueueRunning ||
                      !w.m_vecInstallQueue.isEmpty() || w.m_bMainAppUpgrading ||
                      w.m_pPopWidget->isVisible() || w.ui->widgetMain->currentWidget() != w.ui->qwidgetTool ||
                      !w.isVisible();
    if (busy) {
        m_bIdleClockRunning = false;
        return false;
    }
    if (!m_bIdleClockRunning) {
        m_idleClock.start();
        m_bIdleClockRunning = true;
    }
    return m_idleClock.elapsed() >= kIdleMs;
}

void SoakDriver::handlePopups() {
    Tovarin &w = *m_pMain;
    if (auto *box = qobject_cast<QMessageBox *>(QApplication::activeModalWidget())) {
        QAbstractButton *button = box->defaultButton();
        if (!button && !box->buttons().isEmpty())
            button = box->buttons().first();
        clickIfReady(button);
    }
    if (w.m_pPopCloseWidget->isVisible()) {
        clickIfReady(w.m_pPopCloseWidget->findChild<QPushButton *>(m_bClosing ? QStringLiteral("btnConfirm")
                                                                              : QStringLiteral("btnCancel")));
    }
    if (w.m_pPopWidget->isVisible() && m_popupClock.elapsed() > 800) {
        auto *confirm = w.m_pPopWidget->findChild<QPushButton *>(QStringLiteral("btnConfirm"));
        auto *cancel = w.m_pPopWidget->findChild<QPushButton *>(QStringLiteral("btnCancel"));
        const bool accept = m_plan.m_bAcceptUpgrade || !cancel || !cancel->isVisible();
        if (clickIfReady(accept ? confirm : cancel)) {
            report(accept ? QStringLiteral("UPGRADE accept") : QStringLiteral("UPGRADE decline"));
            m_popupClock.restart();
        }
    }
    // A toast is waved away once read.
    if (w.m_pPopTextWidget->isVisible() && m_popupClock.elapsed() > 2000) {
        QMetaObject::invokeMethod(w.m_pPopTextWidget, "slotCloseEvent");
        m_popupClock.restart();
    }
}

void SoakDriver::buildSteps() {
    Tovarin *w = m_pMain;

    m_vecSteps.append({QStringLiteral("login"), [] {}, nullptr});
    m_vecSteps.last().m_done = [this, w] {
        if (w->isVisible())
            return true;
        if (!m_pLogin->isVisible() || (m_iActions > 0 && m_actionClock.elapsed() < 4000))
            return false;
        auto *account = m_pLogin->findChild<QLineEdit *>(QStringLiteral("lineAccount"));
        auto *password = m_pLogin->findChild<QLineEdit *>(QStringLiteral("linePassword"));
        auto *button = m_pLogin->findChild<QPushButton *>(QStringLiteral("qbtnLogin"));
        if (!account || !password || !button || !button->isEnabled())
            return false;
        account->setText(QStringLiteral("operator"));
        password->setText(QStringLiteral("123456"));
        ++m_iActions;
        m_actionClock.restart();
        button->click();
        return false;
    };

    // The tool page after its update check and the installations it started; the offered
    // upgrades are taken once with "全部更新".
    auto toolPageSettled = [this, w] {
        if (w->ui->widgetMain->currentWidget() == w->ui->qwidgetConfig && m_stepClock.elapsed() > 3000 &&
            m_actionClock.elapsed() > 5000 && !w->m_bMainAppUpgrading) {
            // A failed station check keeps the setup page: confirm it again, as an operator would.
            ++m_iActions;
            m_actionClock.restart();
            w->ui->btnConfrim->click();
            return false;
        }
        if (!toolPageIdle())
            return false;
        if (m_iActions == 0 && clickIfReady(w->ui->btnAllUpgrade)) {
            ++m_iActions;
            m_actionClock.restart();
            m_bIdleClockRunning = false;
            return false;
        }
        return true;
    };
    m_vecSteps.append({QStringLiteral("toolpage"), [] {}, toolPageSettled});

    m_vecSteps.append({QStringLiteral("catalogue"),
                       [w] {
                           w->ui->combSelectCon->setCurrentIndex(0);
                           w->ui->btnSelectProduct->click();
                       },
                       [this, w] {
                           popSelectWidget *pop = w->m_pPopSelectWidget;
                           if (!pop->isVisible())
                               return m_stepClock.elapsed() > 500;
                           QVector<QCheckBox *> cards;
                           for (QCheckBox *box : pop->findChildren<QCheckBox *>(QStringLiteral("checkBox"))) {
                               if (box->isVisible() && box->isEnabled())
                                   cards.append(box);
                           }
                           if (m_stepClock.elapsed() > 40000) {
                               clickIfReady(pop->findChild<QPushButton *>(QStringLiteral("btnCancel")));
                               return false;
                           }
                           if (m_actionClock.elapsed() < 1000)
                               return false;
                           m_actionClock.restart();
                           if (cards.isEmpty()) {
                               if (m_stepClock.elapsed() > 15000 && m_iActions < 1) {
                                   ++m_iActions;
                                   clickIfReady(pop->findChild<QPushButton *>(QStringLiteral("btnSearch")));
                               }
                               return false;
                           }
                           QCheckBox *card = cards.at((m_plan.m_iSeed + m_iRound) % cards.size());
                           if (!card->isChecked())
                               card->click();
                           ++m_iActions;
                           clickIfReady(pop->findChild<QPushButton *>(QStringLiteral("btnConfrim")));
                           return false;
                       }});

    m_vecSteps.append({QStringLiteral("customer"),
                       [this, w] {
                           QComboBox *customer = w->ui->combSelectCustmer;
                           if (!customer->isEnabled())
                               return;
                           // Only dealers a tool can be started for: the launcher refuses one
                           // without a valid id, and the combo's last item is its prompt.
                           QVector<int> dealers;
                           const int listed = qMin(customer->count() - 1, w->m_vecDealerInfo.size());
                           for (int i = 0; i < listed; ++i) {
                               if (w->m_vecDealerInfo.at(i).m_iDealerId >= 1)
                                   dealers.append(i);
                           }
                           if (dealers.isEmpty())
                               return;
                           const int pick = qAbs(m_plan.m_iSeed + m_iRound) % dealers.size();
                           const int index = dealers.at(pick);
                           report(
                               QStringLiteral("CUSTOMER %1").arg(w->m_vecDealerInfo.at(index).m_iDealerId));
                           customer->setCurrentIndex(index);
                           emit customer->textActivated(customer->itemText(index));
                       },
                       [] { return true; }});

    // Both product tools are pressed: whichever fits the chosen product starts.
    m_vecSteps.append({QStringLiteral("starttool"),
                       [w] {
                           for (toolButton *tile : qAsConst(w->m_vecToolButtons)) {
                               if (tile->m_btnInfo.m_szToolKey == QLatin1String("IPCProductCheck") ||
                                   tile->m_btnInfo.m_szToolKey == QLatin1String("BPC"))
                                   clickIfReady(tile->findChild<QPushButton *>(QStringLiteral("btnMain")));
                           }
                       },
                       [this] { return m_stepClock.elapsed() > 1000; }});

    // The tool that runs is pressed again: the launcher must refuse a second copy.
    if (m_plan.m_bStartAgain) {
        m_vecSteps.append(
            {QStringLiteral("startagain"), [this] { m_szPressedAgain.clear(); },
             [this, w] {
                 if (m_szPressedAgain.isEmpty()) {
                     const QStringList running = Platform::listRunningImages();
                     for (toolButton *tile : qAsConst(w->m_vecToolButtons)) {
                         const QString image = tile->m_btnInfo.m_szExeName + Platform::executableSuffix();
                         if (!Platform::imageRunning(running, image))
                             continue;
                         m_szPressedAgain = image;
                         report(QStringLiteral("RUNNING %1").arg(image));
                         if (w->m_pPopTextWidget->isVisible())
                             QMetaObject::invokeMethod(w->m_pPopTextWidget, "slotCloseEvent");
                         m_popupClock.restart();
                         clickIfReady(tile->findChild<QPushButton *>(QStringLiteral("btnMain")));
                         break;
                     }
                     return false;
                 }
                 auto *text = w->m_pPopTextWidget->findChild<QLabel *>(QStringLiteral("labText"));
                 if (!w->m_pPopTextWidget->isVisible() || !text)
                     return false;
                 report(QStringLiteral("TOAST %1").arg(text->text()));
                 return true;
             }});
    }

    for (int round = 1; round <= m_plan.m_iRounds; ++round) {
        m_vecSteps.append({QStringLiteral("setuppage"), [w] { w->ui->btnConfig->mousePressEvent(nullptr); },
                           [this, w] {
                               // Refused while an installation runs: the round goes on without it.
                               return w->ui->widgetMain->currentWidget() == w->ui->qwidgetConfig ||
                                      m_stepClock.elapsed() > 3000;
                           }});
        m_vecSteps.append({QStringLiteral("backtotools"),
                           [this, w, round] {
                               m_iRound = round;
                               w->ui->btnProduct->mousePressEvent(nullptr);
                           },
                           [this, toolPageSettled, round] {
                               if (!toolPageSettled())
                                   return false;
                               report(QStringLiteral("ROUND %1").arg(round));
                               return true;
                           }});
    }

    m_vecSteps.append({QStringLiteral("close"),
                       [this, w] {
                           report(QStringLiteral("STALL %1").arg(m_iLongestStallMs));
                           report(QStringLiteral("DONE"));
                           m_bClosing = true;
                           w->slotCloseWin();
                       },
                       [this, w] {
                           // Refused while the launcher stages its own upgrade; asked again.
                           if (w->isVisible() && !w->m_pPopCloseWidget->isVisible() &&
                               m_actionClock.elapsed() > 5000) {
                               m_actionClock.restart();
                               w->slotCloseWin();
                           }
                           return false;
                       }});
}

void SoakDriver::slotTick() {
    handlePopups();
    if (m_iStep < 0 || m_iStep >= m_vecSteps.size()) {
        if (m_iStep >= 0)
            return;
        m_iStep = 0;
        m_iActions = 0;
        m_stepClock.start();
        m_actionClock.start();
        m_progressClock.start();
        m_vecSteps[0].m_enter();
    }
    const QString fingerprint = progressFingerprint();
    if (fingerprint != m_szLastFingerprint) {
        m_szLastFingerprint = fingerprint;
        m_progressClock.restart();
    }
    STEP_S &step = m_vecSteps[m_iStep];
    if (!step.m_done()) {
        if (m_progressClock.elapsed() > m_plan.m_iNoProgressLimitMs) {
            report(QStringLiteral("HUNG %1 %2").arg(step.m_szName).arg(m_stepClock.elapsed()));
            m_progressClock.restart();
        }
        return;
    }
    report(QStringLiteral("STEP %1 %2").arg(step.m_szName).arg(m_stepClock.elapsed()));
    if (m_iLongestStallMs != m_iReportedStallMs) {
        m_iReportedStallMs = m_iLongestStallMs;
        report(QStringLiteral("STALL %1").arg(m_iLongestStallMs));
    }
    ++m_iStep;
    m_iActions = 0;
    m_bIdleClockRunning = false;
    m_stepClock.restart();
    m_actionClock.restart();
    m_progressClock.restart();
    if (m_iStep < m_vecSteps.size())
        m_vecSteps[m_iStep].m_enter();
}
