#pragma once

#include <QElapsedTimer>
#include <QFile>
#include <QObject>
#include <QString>
#include <QTimer>
#include <QVector>

#include <functional>
#include <memory>

class KovaLogin;
class StallSampler;
class Tovarin;

// Drives the launcher through an operator's cycle for the long-running reliability run, and
// measures how long the GUI thread was ever kept from its events. Only the soak's build of the
// launcher (TovarinSoak) holds it, and starts it only when the soak orchestrator asks for it.
//
// It works through the windows' real widgets and slots (fields filled, buttons clicked, pop-ups
// answered as an operator would) and writes one line per event into its report file:
//   STEP <name> <ms>     a step reached its goal
//   HUNG <name> <ms>     a step made no visible progress for longer than its limit
//   CUSTOMER <id>        the dealer id of the customer chosen for the product
//   ROUND <n>            a page switch round ended (the orchestrator samples memory there)
//   STALL <ms>           the longest gap of the GUI-thread probe so far
//   RUNNING <image>      (again=1) the started tool runs and is pressed again
//   TOAST <text>         (again=1) what the second press showed
//   UPGRADE accept|decline  the launcher's own upgrade offer was answered
//   DONE                 the cycle ended; the launcher closes
class SoakDriver : public QObject {
    Q_OBJECT
public:
    struct PLAN_S {
        bool m_bRecoverOnly = false; // quit right after start (installations are recovered then)
        bool m_bAcceptUpgrade = true;
        int m_iRounds = 2;
        int m_iSeed = 1;
        int m_iNoProgressLimitMs = 150000;
        bool m_bStartAgain = false; // the started tool is pressed again once it runs
    };
    // "rounds=3;upgrade=decline;mode=recover;seed=7;limit=150000;again=1"; unknown items are
    // ignored.
    static PLAN_S parsePlan(const QString &text);

    SoakDriver(KovaLogin *pLogin, Tovarin *pMain, const QString &szReportPath, const PLAN_S &plan,
               QObject *parent = nullptr);
    ~SoakDriver() override;

    // The longest gap between two ticks of the 10 ms probe timer so far.
    qint64 longestStallMs() const { return m_iLongestStallMs; }

    // Starts the driver when TOVARIN_SOAK names a report file; nullptr otherwise.
    static SoakDriver *startFromEnvironment(KovaLogin *pLogin, Tovarin *pMain);

private slots:
    void slotProbe();
    void slotTick();

private:
    struct STEP_S {
        QString m_szName;
        std::function<void()> m_enter;
        std::function<bool()> m_done; // called every tick; true ends the step
    };
    void buildSteps();
    void report(const QString &line);
    // Answers pop-ups as an operator would; true while one is being waited on.
    void handlePopups();
    // What the windows show that changes while work goes on; a step waits without limit as
    // long as this keeps changing.
    QString progressFingerprint() const;
    bool toolPageIdle();

    KovaLogin *m_pLogin;
    Tovarin *m_pMain;
    PLAN_S m_plan;
    QFile m_report;
    QTimer m_timerProbe;
    QTimer m_timerTick;
    QElapsedTimer m_probeClock;
    qint64 m_iLastProbeMs = 0;
    qint64 m_iLongestStallMs = 0;
    qint64 m_iReportedStallMs = -1;
    std::unique_ptr<StallSampler> m_pStallSampler;

    QVector<STEP_S> m_vecSteps;
    QString m_szPressedAgain; // the tool pressed a second time
    int m_iStep = -1;
    QElapsedTimer m_stepClock;
    QElapsedTimer m_progressClock;
    QString m_szLastFingerprint;
    QElapsedTimer m_idleClock;
    bool m_bIdleClockRunning = false;
    QElapsedTimer m_actionClock; // paces repeated actions inside one step
    QElapsedTimer m_popupClock;  // paces the answers to pop-ups
    int m_iActions = 0;
    bool m_bClosing = false;
    int m_iRound = 0;
};
