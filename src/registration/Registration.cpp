#include "registration/Registration.h"

#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "applet/Applet.h"
#include "interfaces/LastError.h"

namespace quorlin::registration {

namespace {

constexpr std::size_t kContainerBufferSize = 260;
constexpr std::uint32_t kKeySpecs[] = {crypt::kAtSignature, crypt::kAtKeyExchange};

// Each byte becomes one code unit of the same value: the names are kept as the card has
// them, with no code-page translation.
std::unique_ptr<char16_t[]> WidenBytes(const char* text) {
    const std::size_t length = std::strlen(text);
    std::unique_ptr<char16_t[]> wide(new (std::nothrow) char16_t[length + 1]());
    if (wide) {
        for (std::size_t k = 0; k < length; ++k) {
            wide[k] = static_cast<char16_t>(static_cast<unsigned char>(text[k]));
        }
    }
    return wide;
}

// A provider context, released when the scope ends.
class ProviderContext {
  public:
    explicit ProviderContext(crypt::CryptApi& crypt) : m_crypt(crypt) {}
    ~ProviderContext() {
        if (handle != 0) {
            m_crypt.CryptReleaseContext(handle, 0);
        }
    }
    ProviderContext(const ProviderContext&) = delete;
    ProviderContext& operator=(const ProviderContext&) = delete;

    crypt::HCRYPTPROV handle = 0;

  private:
    crypt::CryptApi& m_crypt;
};

// An open store, closed when the scope ends.
class OpenStore {
  public:
    OpenStore(store::StoreApi& api, store::HCERTSTORE handle) : m_api(api), m_handle(handle) {}
    ~OpenStore() {
        if (m_handle != nullptr) {
            m_api.CertCloseStore(m_handle, store::kCertCloseStoreForceFlag);
        }
    }
    OpenStore(const OpenStore&) = delete;
    OpenStore& operator=(const OpenStore&) = delete;

    store::HCERTSTORE Get() const { return m_handle; }

  private:
    store::StoreApi& m_api;
    store::HCERTSTORE m_handle;
};

// Both key specs of one container's certificate; Failed after the first failing call.
Outcome AddForEachKey(crypt::CryptApi& crypt, store::StoreApi& store, crypt::HCRYPTPROV prov,
                      store::HCERTSTORE hStore, const char* container, const std::string& provider,
                      const x509::CertContext* cert, Observer& observer) {
    bool added = false;
    for (std::uint32_t keySpec : kKeySpecs) {
        crypt::HCRYPTKEY key = 0;
        if (!crypt.CryptGetUserKey(prov, keySpec, &key)) {
            const std::uint32_t error = GetLastError();
            if (error == crypt::kNteNoKey) {
                continue;
            }
            observer.StepFailed(Step::GetUserKey, error);
            return Outcome::Failed;
        }
        // The handle only shows that the key exists.
        crypt.CryptDestroyKey(key);

        std::unique_ptr<char16_t[]> containerW = WidenBytes(container);
        std::unique_ptr<char16_t[]> providerW = WidenBytes(provider.c_str());
        if (!containerW || !providerW) {
            observer.StepFailed(Step::Allocate, kAllocationFailure);
            return Outcome::Failed;
        }
        x509::CryptKeyProvInfo info{};
        info.pwszContainerName = containerW.get();
        info.pwszProvName = providerW.get();
        info.dwProvType = crypt::kProvRsaFull;
        info.dwKeySpec = keySpec;
        if (!store.CertSetCertificateContextProperty(cert, store::kCertKeyProvInfoPropId, 0,
                                                     &info)) {
            observer.StepFailed(Step::SetProperty, GetLastError());
            return Outcome::Failed;
        }
        if (!store.CertAddCertificateContextToStore(hStore, cert,
                                                    store::kCertStoreAddReplaceExisting, nullptr)) {
            observer.StepFailed(Step::AddToStore, GetLastError());
            return Outcome::Failed;
        }
        added = true;
    }
    return added ? Outcome::Added : Outcome::NoKey;
}

// The certificate's key in the provider's module, recorded in its entry when found.
void Link(keylink::KeyLinkApi& links, store::StoreApi& store, store::HCERTSTORE hStore,
          const std::string& provider, const x509::CertContext* cert, std::size_t index,
          Observer& observer) {
    std::string reason;
    std::optional<keylink::Pkcs11Link> link = links.Find(provider, cert->encoded, reason);
    if (link && !store.RecordKeyLink(hStore, cert, *link)) {
        char code[16];
        std::snprintf(code, sizeof code, "0x%08X", static_cast<unsigned>(GetLastError()));
        reason = std::string("the store did not record the link (") + code + ")";
        link.reset();
    }
    observer.CertificateLinked(index, link ? &*link : nullptr, reason);
}

}  // namespace

std::optional<int> RegisterCertificates(crypt::CryptApi& crypt, store::StoreApi& store,
                                        std::string& provider,
                                        std::span<const CardCertificate> certs,
                                        const char16_t* storeName, Observer& observer,
                                        keylink::KeyLinkApi* links) {
    ProviderContext probe(crypt);
    if (!crypt.CryptAcquireContextA(&probe.handle, nullptr, provider.c_str(), crypt::kProvRsaFull,
                                    crypt::kCryptVerifyContext)) {
        probe.handle = 0;
        if (GetLastError() == crypt::kNteKeysetNotDef) {
            provider = applet::kMorvexCspEnterprise;
            if (!crypt.CryptAcquireContextA(&probe.handle, nullptr, provider.c_str(),
                                            crypt::kProvRsaFull, crypt::kCryptVerifyContext)) {
                probe.handle = 0;
                observer.StepFailed(Step::ProbeProvider, GetLastError());
                return std::nullopt;
            }
        }
    }

    std::unique_ptr<char[]> container(new (std::nothrow) char[kContainerBufferSize]);
    if (!container) {
        return std::nullopt;
    }

    // Certificates added in this run decide the outcome: a run in which every add failed
    // is no success.
    int added = 0;
    const bool linking = links != nullptr && links->NamesModule(provider);
    // Without a context or a store for one container, the rest are not tried either.
    const auto stop = [&](std::size_t failed, Step step) {
        observer.StepFailed(step, GetLastError());
        for (std::size_t i = failed; i < certs.size(); ++i) {
            observer.CertificateDone(i, i == failed ? Outcome::Failed : Outcome::NotTried);
        }
    };
    for (std::size_t i = 0; i < certs.size(); ++i) {
        std::memset(container.get(), 0, kContainerBufferSize);
        std::memcpy(container.get(), certs[i].container.data(), kContainerNameSize);

        // Declared in this order so that the store closes before the context goes.
        ProviderContext prov(crypt);
        if (!crypt.CryptAcquireContextA(&prov.handle, container.get(), provider.c_str(),
                                        crypt::kProvRsaFull, 0)) {
            prov.handle = 0;
            stop(i, Step::AcquireContainer);
            break;
        }
        const OpenStore hStore(store,
                               store.CertOpenStore(store::kCertStoreProvSystemW, 0, 0,
                                                   store::kCertSystemStoreCurrentUser, storeName));
        if (hStore.Get() == nullptr) {
            stop(i, Step::OpenStore);
            break;
        }
        const Outcome outcome = AddForEachKey(crypt, store, prov.handle, hStore.Get(),
                                              container.get(), provider, certs[i].cert, observer);
        if (outcome == Outcome::Added) {
            ++added;
        }
        observer.CertificateDone(i, outcome);
        if (outcome == Outcome::Added && linking) {
            Link(*links, store, hStore.Get(), provider, certs[i].cert, i, observer);
        }
    }
    if (linking) {
        if (added > 0) {
            for (const keylink::KeyLinkApi::Announcement& a : links->Announce(provider)) {
                observer.ModuleAnnounced(a.ok, a.line);
            }
        }
        links->Finish();
    }
    // Leaving frees the container buffer, then releases the probe.
    return added;
}

}  // namespace quorlin::registration
