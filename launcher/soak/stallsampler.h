#pragma once

#include <QString>

#include <atomic>
#include <memory>
#include <thread>

// Finds what the GUI thread was doing when it stalled: whenever tick() has not been called for
// the threshold, a watcher thread asks the GUI thread for its stack, which lands in a file (one
// sample per stall). Linux only; elsewhere it records nothing. Create it on the GUI thread.
class StallSampler {
public:
    StallSampler(const QString &path, int thresholdMs);
    ~StallSampler();
    StallSampler(const StallSampler &) = delete;
    StallSampler &operator=(const StallSampler &) = delete;

    // The GUI thread is alive now.
    void tick();
    // No sample until the next tick (the thread waits on purpose).
    void pause();

private:
    std::atomic<qint64> m_lastTickMs{-1};
    std::atomic<bool> m_bRunning{true};
    std::thread m_watcher;
};
