#include <algorithm>
#include <cstdio>
#include <cstring>
#include <memory>
#include <new>

#include "platform/LastError.h"
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

}  // namespace

void CQuorlinDlg::RegisterCertificates() {
    // The provider reaches the same card, which the log-in holds exclusively.
    DisconnectCard();
    m_wnd.BeginWaitCursor();

    crypt::CryptApi& crypt = *m_platform.crypt;
    store::StoreApi& store = *m_platform.store;
    char message[256];
    auto showError = [&](const char* format, std::uint32_t code) {
        std::snprintf(message, sizeof message, format, static_cast<unsigned>(code));
        m_wnd.MessageBox(message, std::nullopt, MsgIcon::None);
    };

    crypt::HCRYPTPROV probe = 0;
    if (!crypt.CryptAcquireContextA(&probe, nullptr, m_strCspName.c_str(), crypt::kProvRsaFull,
                                    crypt::kCryptVerifyContext)) {
        probe = 0;
        if (GetLastError() == crypt::kNteKeysetNotDef) {
            m_strCspName = res::kCspMorvexEnterprise;
            if (!crypt.CryptAcquireContextA(&probe, nullptr, m_strCspName.c_str(),
                                            crypt::kProvRsaFull, crypt::kCryptVerifyContext)) {
                showError(res::kFmtAcquireProbe, GetLastError());
                m_wnd.EndWaitCursor();
                return;
            }
        }
    }

    std::unique_ptr<char[]> container(new (std::nothrow) char[kContainerBufferSize]);
    if (!container) {
        if (probe != 0) {
            crypt.CryptReleaseContext(probe, 0);
        }
        m_wnd.EndWaitCursor();
        return;
    }

    // Certificates added in this run decide the outcome; a run in which every add failed
    // is no success.
    int added = 0;
    const int count = std::min<int>(m_nCertCount, kMaxCerts);
    for (int i = 0; i < count; ++i) {
        std::memset(container.get(), 0, kContainerBufferSize);
        std::memcpy(container.get(), m_containerNames + kContainerRecordSize * i,
                    kContainerRecordSize);

        crypt::HCRYPTPROV prov = 0;
        if (!crypt.CryptAcquireContextA(&prov, container.get(), m_strCspName.c_str(),
                                        crypt::kProvRsaFull, 0)) {
            showError(res::kFmtAcquire, GetLastError());
            break;
        }
        store::HCERTSTORE hStore = store.CertOpenStore(
            store::kCertStoreProvSystemW, 0, 0, store::kCertSystemStoreCurrentUser, kMyStore);
        if (hStore == nullptr) {
            showError(res::kFmtOpenStore, GetLastError());
            crypt.CryptReleaseContext(prov, 0);
            break;
        }

        bool certAdded = false;
        for (std::uint32_t keySpec : kKeySpecs) {
            crypt::HCRYPTKEY key = 0;
            if (!crypt.CryptGetUserKey(prov, keySpec, &key)) {
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
            if (!store.CertSetCertificateContextProperty(m_certs[i], store::kCertKeyProvInfoPropId,
                                                         0, &info)) {
                showError(res::kFmtSetProperty, GetLastError());
                break;
            }
            if (!store.CertAddCertificateContextToStore(
                    hStore, m_certs[i], store::kCertStoreAddReplaceExisting, nullptr)) {
                showError(res::kFmtAddToStore, GetLastError());
                break;
            }
            certAdded = true;
        }
        if (certAdded) {
            ++added;
        }

        store.CertCloseStore(hStore, store::kCertCloseStoreForceFlag);
        crypt.CryptReleaseContext(prov, 0);
    }

    container.reset();
    if (probe != 0) {
        crypt.CryptReleaseContext(probe, 0);
    }

    m_wnd.MessageBox(added > 0 ? res::kRegistered : res::kNoneRegistered, res::kStdTitle,
                     MsgIcon::None);
    ShowTabPage(0);
    m_bLoggedIn = 0;
    m_wnd.TabSetCurSel(res::IDC_TAB, 0);
    m_wnd.SetControlText(res::IDC_BTN_LOGIN, res::kBtnLogin);
    m_wnd.MessageBox(res::kLogInAgain, res::kStdTitle, MsgIcon::None);

    m_wnd.EndWaitCursor();
}

}  // namespace quorlin
