#pragma once

#include <QByteArray>

#include <memory>

// A SHA-256 computed on a thread of its own, so that hashing a download overlaps receiving it
// instead of adding to it. Blocks circulate without copies: the caller fills the block that
// block() gives, hands it over with add(), and the thread puts it back once hashed; while every
// block waits to be hashed, block() waits for one. Memory stays at a few blocks.
// One caller thread; result() is the only point where it waits for the hashing to catch up.
class HashingThread {
public:
    explicit HashingThread(int blockBytes);
    ~HashingThread();
    HashingThread(const HashingThread &) = delete;
    HashingThread &operator=(const HashingThread &) = delete;

    int blockBytes() const;
    // The block to fill next; the same one until add() hands it over.
    char *block();
    // Hashes the first size bytes of the block from block().
    void add(qint64 size);
    // Copies data through the blocks, for data that is not in one.
    void addData(const char *data, qint64 size);
    // The 32-byte digest of everything added, once hashed; starts over afterwards.
    QByteArray result();

private:
    struct Private;
    std::unique_ptr<Private> d;
};
