#include "hashingthread.h"

#include "platform.h"

#include <algorithm>
#include <condition_variable>
#include <cstring>
#include <deque>
#include <mutex>
#include <thread>
#include <vector>

namespace {
// Enough to keep the hashing busy while the caller fills the next block.
constexpr int kBlocks = 4;
} // namespace

struct HashingThread::Private {
    std::vector<QByteArray> blocks;
    std::mutex mutex;
    std::condition_variable changed;
    std::deque<std::pair<int, qint64>> queued; // block and bytes, in order
    std::deque<int> spare;
    int filling = -1;
    bool hashing = false;
    bool stopping = false;
    Platform::Sha256 sha;
    std::thread worker;

    void run() {
        std::unique_lock<std::mutex> lock(mutex);
        for (;;) {
            changed.wait(lock, [this] { return stopping || !queued.empty(); });
            if (queued.empty())
                return;
            const auto next = queued.front();
            queued.pop_front();
            hashing = true;
            lock.unlock();
            sha.addData(blocks[size_t(next.first)].constData(), next.second);
            lock.lock();
            hashing = false;
            spare.push_back(next.first);
            changed.notify_all();
        }
    }
};

HashingThread::HashingThread(int blockBytes) : d(new Private) {
    for (int i = 0; i < kBlocks; ++i) {
        d->blocks.emplace_back(blockBytes, Qt::Uninitialized);
        d->spare.push_back(i);
    }
    d->worker = std::thread([this] { d->run(); });
}

HashingThread::~HashingThread() {
    {
        std::lock_guard<std::mutex> lock(d->mutex);
        d->stopping = true;
        d->queued.clear();
    }
    d->changed.notify_all();
    d->worker.join();
}

int HashingThread::blockBytes() const {
    return d->blocks.front().size();
}

char *HashingThread::block() {
    std::unique_lock<std::mutex> lock(d->mutex);
    if (d->filling < 0) {
        d->changed.wait(lock, [this] { return !d->spare.empty(); });
        d->filling = d->spare.front();
        d->spare.pop_front();
    }
    return d->blocks[size_t(d->filling)].data();
}

void HashingThread::add(qint64 size) {
    std::lock_guard<std::mutex> lock(d->mutex);
    if (d->filling < 0 || size <= 0)
        return;
    d->queued.emplace_back(d->filling, size);
    d->filling = -1;
    d->changed.notify_all();
}

void HashingThread::addData(const char *data, qint64 size) {
    while (size > 0) {
        const qint64 n = std::min<qint64>(size, blockBytes());
        std::memcpy(block(), data, size_t(n));
        add(n);
        data += n;
        size -= n;
    }
}

QByteArray HashingThread::result() {
    std::unique_lock<std::mutex> lock(d->mutex);
    d->changed.wait(lock, [this] { return d->queued.empty() && !d->hashing; });
    return d->sha.result();
}
