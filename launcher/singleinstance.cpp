#include "singleinstance.h"

#include <QSharedMemory>
#include <QSystemSemaphore>

namespace {

const char kSingleAppKey[] = "SingleApp";
const char kSingleAppLockKey[] = "SingleAppLock";

QSharedMemory *&singleApp() {
    // Never deleted: the segment stays attached for the life of the process.
    static QSharedMemory *s_pSingleApp = nullptr;
    if (!s_pSingleApp)
        s_pSingleApp = new QSharedMemory(QString::fromLatin1(kSingleAppKey));
    return s_pSingleApp;
}

} // namespace

bool SingleInstance::acquire() {
    QSharedMemory *shared = singleApp();
    if (shared->isAttached())
        return true;

    // Two launchers started at the same moment must not both clear and create the segment.
    // The semaphore is undone by the kernel if a holder dies, so it cannot get stuck.
    QSystemSemaphore lock(QString::fromLatin1(kSingleAppLockKey), 1, QSystemSemaphore::Open);
    const bool locked = lock.acquire();

    // On Linux a System V segment outlives a launcher that was killed: it stays with no process
    // attached and would refuse every later start. Attaching and detaching again removes such
    // an orphan (the last detach deletes it) and leaves a segment of a live launcher alone.
    if (shared->attach(QSharedMemory::ReadOnly))
        shared->detach();

    const bool created = shared->create(1, QSharedMemory::ReadWrite);
    if (locked)
        lock.release();
    return created;
}

void SingleInstance::release() {
    QSharedMemory *shared = singleApp();
    if (shared->isAttached())
        shared->detach();
}
