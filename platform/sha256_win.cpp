#include "platform.h"

#include <windows.h>
#include <bcrypt.h>

namespace Platform {

class Sha256Private {
public:
    BCRYPT_ALG_HANDLE algorithm = nullptr;
    BCRYPT_HASH_HANDLE hash = nullptr;
    bool failed = false;
    Sha256Private() {
        failed = BCryptOpenAlgorithmProvider(&algorithm, BCRYPT_SHA256_ALGORITHM, nullptr, 0) != 0;
        start();
    }
    ~Sha256Private() {
        if (hash)
            BCryptDestroyHash(hash);
        if (algorithm)
            BCryptCloseAlgorithmProvider(algorithm, 0);
    }
    void start() {
        if (hash)
            BCryptDestroyHash(hash);
        hash = nullptr;
        failed = failed || !algorithm || BCryptCreateHash(algorithm, &hash, nullptr, 0, nullptr, 0, 0) != 0;
    }
};

Sha256::Sha256() : d(new Sha256Private) {}

Sha256::~Sha256() = default;

void Sha256::addData(const char *data, qint64 size) {
    // BCryptHashData takes at most 4 GiB at once.
    while (!d->failed && size > 0) {
        const ULONG part = ULONG(qMin<qint64>(size, 1 << 30));
        d->failed = BCryptHashData(d->hash, reinterpret_cast<PUCHAR>(const_cast<char *>(data)), part, 0) != 0;
        data += part;
        size -= part;
    }
}

QByteArray Sha256::result() {
    QByteArray digest(32, '\0');
    const bool ok = !d->failed &&
                    BCryptFinishHash(d->hash, reinterpret_cast<PUCHAR>(digest.data()), ULONG(digest.size()), 0) == 0;
    d->failed = false;
    d->start();
    return ok ? digest : QByteArray();
}

} // namespace Platform
