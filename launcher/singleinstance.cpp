#include "singleinstance.h"

#include "platform.h"

#include <QSharedMemory>

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
    // The kernel gives the lock up if its holder dies, so a killed launcher cannot leave it taken.
    const Platform::MachineLock lock(QString::fromLatin1(kSingleAppLockKey));

    // On Linux a System V segment outlives a launcher that was killed: it stays with no process
    // attached and would refuse every later start. Attaching and detaching again removes such
    // an orphan (the last detach deletes it) and leaves a segment of a live launcher alone.
    if (shared->attach(QSharedMemory::ReadOnly))
        shared->detach();

    return shared->create(1, QSharedMemory::ReadWrite);
}

void SingleInstance::release() {
    QSharedMemory *shared = singleApp();
    if (shared->isAttached())
        shared->detach();
}
