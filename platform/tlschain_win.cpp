#include "platform.h"

#include <windows.h>

#include <wincrypt.h>

#include <cstddef>

// The system's own chain engine with the given roots as its only ones (hExclusiveRoot), so the
// check is the one Windows makes for its own roots, against other roots.

namespace Platform {

namespace {

constexpr DWORD kEncoding = X509_ASN_ENCODING | PKCS_7_ASN_ENCODING;

HCERTSTORE memoryStore() {
    return CertOpenStore(CERT_STORE_PROV_MEMORY, 0, 0, CERT_STORE_CREATE_NEW_FLAG, nullptr);
}

bool addTo(HCERTSTORE store, const QByteArray &der, PCCERT_CONTEXT *added) {
    return CertAddEncodedCertificateToStore(store, kEncoding, reinterpret_cast<const BYTE *>(der.constData()),
                                            DWORD(der.size()), CERT_STORE_ADD_ALWAYS, added);
}

bool chainIsSound(HCERTCHAINENGINE engine, PCCERT_CONTEXT leaf, HCERTSTORE sent) {
    char serverAuth[] = szOID_PKIX_KP_SERVER_AUTH;
    LPSTR usages[] = {serverAuth};
    CERT_CHAIN_PARA para = {};
    para.cbSize = sizeof(para);
    para.RequestedUsage.dwType = USAGE_MATCH_TYPE_AND;
    para.RequestedUsage.Usage.cUsageIdentifier = 1;
    para.RequestedUsage.Usage.rgpszUsageIdentifier = usages;
    PCCERT_CHAIN_CONTEXT chain = nullptr;
    if (!CertGetCertificateChain(engine, leaf, nullptr, sent, &para, 0, nullptr, &chain))
        return false;
    CERT_CHAIN_POLICY_PARA policy = {};
    policy.cbSize = sizeof(policy);
    CERT_CHAIN_POLICY_STATUS status = {};
    status.cbSize = sizeof(status);
    // Both: the base policy alone lets a chain that ends at no root pass under wine.
    const bool sound = chain->TrustStatus.dwErrorStatus == CERT_TRUST_NO_ERROR &&
                       CertVerifyCertificateChainPolicy(CERT_CHAIN_POLICY_BASE, chain, &policy, &status) &&
                       status.dwError == 0;
    CertFreeCertificateChain(chain);
    return sound;
}

} // namespace

bool tlsTakesConnectionCaList() {
    return false;
}

bool chainLeadsToRoots(const QList<QByteArray> &chain, const QList<QByteArray> &roots) {
    if (chain.isEmpty() || roots.isEmpty())
        return false;
    HCERTSTORE rootStore = memoryStore();
    HCERTSTORE sent = memoryStore();
    PCCERT_CONTEXT leaf = nullptr;
    bool ok = rootStore && sent;
    for (int i = 0; ok && i < roots.size(); ++i)
        ok = addTo(rootStore, roots.at(i), nullptr);
    for (int i = 0; ok && i < chain.size(); ++i)
        ok = addTo(sent, chain.at(i), i == 0 ? &leaf : nullptr);

    HCERTCHAINENGINE engine = nullptr;
    if (ok) {
        CERT_CHAIN_ENGINE_CONFIG config = {};
        // The Windows 7 layout, which every later Windows takes too (wine refuses the later one).
        config.cbSize = offsetof(CERT_CHAIN_ENGINE_CONFIG, hExclusiveTrustedPeople) + sizeof(HCERTSTORE);
        config.hExclusiveRoot = rootStore;
        ok = CertCreateCertificateChainEngine(&config, &engine) && chainIsSound(engine, leaf, sent);
    }
    if (engine)
        CertFreeCertificateChainEngine(engine);
    if (leaf)
        CertFreeCertificateContext(leaf);
    if (sent)
        CertCloseStore(sent, 0);
    if (rootStore)
        CertCloseStore(rootStore, 0);
    return ok;
}

} // namespace Platform
