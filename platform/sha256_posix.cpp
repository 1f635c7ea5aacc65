#include "platform.h"

#include <openssl/evp.h>

namespace Platform {

class Sha256Private {
public:
    EVP_MD_CTX *context = EVP_MD_CTX_new();
    ~Sha256Private() { EVP_MD_CTX_free(context); }
    void start() { EVP_DigestInit_ex(context, EVP_sha256(), nullptr); }
};

Sha256::Sha256() : d(new Sha256Private) {
    d->start();
}

Sha256::~Sha256() = default;

void Sha256::addData(const char *data, qint64 size) {
    EVP_DigestUpdate(d->context, data, size_t(size));
}

QByteArray Sha256::result() {
    QByteArray digest(EVP_MAX_MD_SIZE, '\0');
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(d->context, reinterpret_cast<unsigned char *>(digest.data()), &length) != 1)
        length = 0;
    d->start();
    digest.resize(int(length));
    return digest;
}

} // namespace Platform
