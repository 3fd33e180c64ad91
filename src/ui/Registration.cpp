// The registration: RegisterCertificates.

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "applet/Applet.h"
#include "interfaces/LastError.h"
#include "res/Strings.h"
#include "res/resource.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin {

namespace {

constexpr std::size_t kContainerBufferSize = 260;
constexpr std::uint32_t kKeySpecs[] = {crypt::kAtSignature, crypt::kAtKeyExchange};
constexpr std::uint32_t kMallocFailure = 14;  // what the allocator's failure reads as
constexpr char16_t kMyStore[] = u"MY";

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

// The wait cursor, shown until the scope ends.
class WaitCursor {
  public:
    explicit WaitCursor(DialogWindow& wnd) : m_wnd(wnd) { m_wnd.BeginWaitCursor(); }
    ~WaitCursor() { m_wnd.EndWaitCursor(); }
    WaitCursor(const WaitCursor&) = delete;
    WaitCursor& operator=(const WaitCursor&) = delete;

  private:
    DialogWindow& m_wnd;
};

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

}  // namespace

void CQuorlinDlg::RegisterCertificates() {
    // The provider reaches the same card, which the log-in holds exclusively. It selects
    // the applet on a connection of its own and needs no verified PIN, so the holder's
    // session ends here, on the card too.
    DisconnectCard(pcsc::kResetCard);
    const WaitCursor waitCursor(m_wnd);

    crypt::CryptApi& crypt = *m_platform.crypt;
    store::StoreApi& store = *m_platform.store;
    char message[256];
    auto showError = [&](const char* format, std::uint32_t code) {
        std::snprintf(message, sizeof message, format, static_cast<unsigned>(code));
        m_wnd.MessageBox(message, std::nullopt, MsgIcon::None);
    };

    // Certificates added in this run decide the outcome; a run in which every add failed
    // is no success.
    int added = 0;
    {
        ProviderContext probe(crypt);
        if (!crypt.CryptAcquireContextA(&probe.handle, nullptr, m_strCspName.c_str(),
                                        crypt::kProvRsaFull, crypt::kCryptVerifyContext)) {
            probe.handle = 0;
            if (GetLastError() == crypt::kNteKeysetNotDef) {
                m_strCspName = applet::kMorvexCspEnterprise;
                if (!crypt.CryptAcquireContextA(&probe.handle, nullptr, m_strCspName.c_str(),
                                                crypt::kProvRsaFull, crypt::kCryptVerifyContext)) {
                    probe.handle = 0;
                    showError(res::kFmtAcquireProbe, GetLastError());
                    return;
                }
            }
        }

        std::unique_ptr<char[]> container(new (std::nothrow) char[kContainerBufferSize]);
        if (!container) {
            return;
        }

        const int count = std::min<int>(m_nCertCount, kMaxCerts);
        for (int i = 0; i < count; ++i) {
            std::memset(container.get(), 0, kContainerBufferSize);
            std::memcpy(container.get(),
                        m_containerNames + kContainerRecordSize * static_cast<std::size_t>(i),
                        kContainerRecordSize);

            // Declared in this order so that the store closes before the context goes.
            ProviderContext prov(crypt);
            if (!crypt.CryptAcquireContextA(&prov.handle, container.get(), m_strCspName.c_str(),
                                            crypt::kProvRsaFull, 0)) {
                prov.handle = 0;
                showError(res::kFmtAcquire, GetLastError());
                break;
            }
            const OpenStore hStore(
                store, store.CertOpenStore(store::kCertStoreProvSystemW, 0, 0,
                                           store::kCertSystemStoreCurrentUser, kMyStore));
            if (hStore.Get() == nullptr) {
                showError(res::kFmtOpenStore, GetLastError());
                break;
            }

            bool certAdded = false;
            for (std::uint32_t keySpec : kKeySpecs) {
                crypt::HCRYPTKEY key = 0;
                if (!crypt.CryptGetUserKey(prov.handle, keySpec, &key)) {
                    const std::uint32_t error = GetLastError();
                    if (error == crypt::kNteNoKey) {
                        continue;
                    }
                    showError(res::kFmtGetUserKey, error);
                    break;
                }
                // The handle only shows that the key exists.
                crypt.CryptDestroyKey(key);

                std::unique_ptr<char16_t[]> containerW = WidenBytes(container.get());
                std::unique_ptr<char16_t[]> providerW = WidenBytes(m_strCspName.c_str());
                if (!containerW || !providerW) {
                    showError(res::kFmtMalloc, kMallocFailure);
                    break;
                }

                x509::CryptKeyProvInfo info{};
                info.pwszContainerName = containerW.get();
                info.pwszProvName = providerW.get();
                info.dwProvType = crypt::kProvRsaFull;
                info.dwFlags = 0;
                info.cProvParam = 0;
                info.rgProvParam = nullptr;
                info.dwKeySpec = keySpec;
                if (!store.CertSetCertificateContextProperty(
                        m_certs[i], store::kCertKeyProvInfoPropId, 0, &info)) {
                    showError(res::kFmtSetProperty, GetLastError());
                    break;
                }
                if (!store.CertAddCertificateContextToStore(
                        hStore.Get(), m_certs[i], store::kCertStoreAddReplaceExisting, nullptr)) {
                    showError(res::kFmtAddToStore, GetLastError());
                    break;
                }
                certAdded = true;
            }
            if (certAdded) {
                ++added;
            }
        }
        // Leaving the block frees the container buffer, then releases the probe.
    }

    m_wnd.MessageBox(added > 0 ? res::kRegistered : res::kNoneRegistered, res::kStdTitle,
                     MsgIcon::None);
    ShowTabPage(0);
    m_bLoggedIn = 0;
    m_wnd.TabSetCurSel(res::IDC_TAB, 0);
    m_wnd.SetControlText(res::IDC_BTN_LOGIN, res::kBtnLogin);
    m_wnd.MessageBox(res::kLogInAgain, res::kStdTitle, MsgIcon::None);
}

}  // namespace quorlin
