#include <windows.h>

#include <wincrypt.h>

#include "TrustStore.h"

SystemTrust SystemTrustAnchors() {
    SystemTrust trust;
    // The current user's view of the roots, which includes the machine's.
    const HCERTSTORE store = CertOpenSystemStoreW(0, L"ROOT");
    if (!store)
        return trust;
    PCCERT_CONTEXT cert = nullptr;
    while ((cert = CertEnumCertificatesInStore(store, cert)) != nullptr) {
        if (cert->dwCertEncodingType & X509_ASN_ENCODING)
            trust.certificates << QByteArray(reinterpret_cast<const char*>(cert->pbCertEncoded),
                                             static_cast<qsizetype>(cert->cbCertEncoded));
    }
    CertCloseStore(store, 0);
    return trust;
}
