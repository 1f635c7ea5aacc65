#include "stallsampler.h"

#include <QElapsedTimer>
#include <QFile>

#ifdef __linux__
#include <csignal>
#include <execinfo.h>
#include <fcntl.h>
#include <pthread.h>
#include <unistd.h>
#endif

namespace {

qint64 monotonicMs() {
    static QElapsedTimer clock = [] {
        QElapsedTimer started;
        started.start();
        return started;
    }();
    return clock.elapsed();
}

#ifdef __linux__
int g_stackFd = -1;

// Runs on the stalled thread: only calls that a signal handler may make.
void writeStack(int) {
    void *frames[64];
    const int count = backtrace(frames, 64);
    static const char mark[] = "--- stall\n";
    if (::write(g_stackFd, mark, sizeof mark - 1) < 0)
        return;
    backtrace_symbols_fd(frames, count, g_stackFd);
}
#endif

} // namespace

StallSampler::StallSampler(const QString &path, int thresholdMs) {
#ifdef __linux__
    g_stackFd = ::open(QFile::encodeName(path).constData(), O_WRONLY | O_CREAT | O_APPEND | O_CLOEXEC, 0644);
    if (g_stackFd < 0)
        return;
    void *warm[1];
    backtrace(warm, 1); // loads libgcc now, not inside the handler
    std::signal(SIGUSR2, writeStack);
    const pthread_t gui = pthread_self();
    m_watcher = std::thread([this, gui, thresholdMs] {
        qint64 sampled = -1;
        while (m_bRunning) {
            std::this_thread::sleep_for(std::chrono::milliseconds(5));
            const qint64 last = m_lastTickMs.load();
            if (last >= 0 && last != sampled && monotonicMs() - last >= thresholdMs) {
                sampled = last;
                pthread_kill(gui, SIGUSR2);
            }
        }
    });
#else
    Q_UNUSED(path)
    Q_UNUSED(thresholdMs)
#endif
}

StallSampler::~StallSampler() {
    m_bRunning = false;
    if (m_watcher.joinable())
        m_watcher.join();
}

void StallSampler::tick() {
    m_lastTickMs = monotonicMs();
}

void StallSampler::pause() {
    m_lastTickMs = -1;
}
