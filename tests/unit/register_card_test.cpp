// Registration with the real provider and store: log in to the card engine, query, register,
// and look at what the SQLite store then holds.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "fakes/EnginePcsc.h"
#include "fakes/FakeWindow.h"
#include "platform/LastError.h"
#include "platform/crypt/CardCryptApi.h"
#include "platform/store/SqliteStoreApi.h"
#include "platform/x509/OpenSslCertApi.h"
#include "res/Strings.h"
#include "res/resource.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin::test {
namespace {

namespace fs = std::filesystem;

// As the resource manager does: while one connection holds the card exclusively, nobody
// else gets it, shared or not.
class ExclusivePcsc : public EnginePcsc {
  public:
    using EnginePcsc::EnginePcsc;
    std::uint32_t SCardConnectA(pcsc::ScardContext context, const char* reader,
                                std::uint32_t shareMode, std::uint32_t preferredProtocols,
                                pcsc::ScardHandle* card, std::uint32_t* protocol) override {
        if (connectedCard != 0) {
            calls.push_back("SCardConnectA refused");
            *card = 0;
            return pcsc::kESharingViolation;
        }
        return EnginePcsc::SCardConnectA(context, reader, shareMode, preferredProtocols, card,
                                         protocol);
    }
};

class RegisterCardTest : public ::testing::Test {
  protected:
    void SetUp() override {
        std::string pattern = (fs::temp_directory_path() / "quorlin-reg-XXXXXX").string();
        ASSERT_NE(mkdtemp(pattern.data()), nullptr);
        data = pattern;
        store = std::make_unique<store::SqliteStoreApi>(data + "/quorlin");
        dlg = std::make_unique<CQuorlinDlg>(wnd, Platform{&pcsc, &certs, &crypt, store.get()});
        dlg->OnInitDialog();
    }
    void TearDown() override {
        dlg.reset();
        fs::remove_all(data);
    }

    void LogInAndQuery() {
        wnd.SetControlText(res::IDC_EDIT_PIN, "123456");
        dlg->OnCommand(res::IDC_BTN_LOGIN);
        ASSERT_EQ(dlg->m_bLoggedIn, 1) << ::testing::PrintToString(wnd.MessageTexts());
        wnd.TabSetCurSel(res::IDC_TAB, 2);
        dlg->OnTabSelChange(res::IDC_TAB);
        dlg->OnCommand(res::IDC_BTN_QUERY);
        ASSERT_TRUE(wnd.IsEnabled(res::IDC_BTN_REGISTER));
        wnd.messages.clear();
    }

    // container -> (provider, key spec) of the MY entries.
    std::map<std::string, std::pair<std::string, std::uint32_t>> Entries() {
        std::map<std::string, std::pair<std::string, std::uint32_t>> out;
        auto list = store->List("MY");
        EXPECT_TRUE(list);
        for (const auto& e : list.value_or(std::vector<store::StoredCertificate>{})) {
            EXPECT_TRUE(out.emplace(e.container, std::make_pair(e.provider, e.keySpec)).second);
        }
        return out;
    }

    std::string data;
    FakeWindow wnd;
    x509::OpenSslCertApi certs;
    ExclusivePcsc pcsc{"demo.json"};
    crypt::CardCryptApi crypt{
        pcsc,
        crypt::ProviderRegistry({std::string(getenv("QUORLIN_BUILD_DIR") ?: ".") + "/share"})};
    std::unique_ptr<store::SqliteStoreApi> store;
    std::unique_ptr<CQuorlinDlg> dlg;
};

TEST_F(RegisterCardTest, RegistersEachCertificateOnceWithItsContainerAndKey) {
    LogInAndQuery();
    ASSERT_EQ(dlg->m_nCertCount, 3);
    // While the dialog holds the card the provider is refused: only the handler's own
    // disconnect lets the registration below reach it.
    crypt::HCRYPTPROV prov = 0;
    EXPECT_FALSE(crypt.CryptAcquireContextA(&prov, "Quorlin-Alice", applet::kMorvexCspEnterprise,
                                            crypt::kProvRsaFull, 0));
    EXPECT_EQ(GetLastError(), pcsc::kESharingViolation);

    const auto expected = std::map<std::string, std::pair<std::string, std::uint32_t>>{
        {"Quorlin-Alice", {"Morvex CSP Enterprise", 1}},
        {"Quorlin-Bob", {"Morvex CSP Enterprise", 2}},
        {"Quorlin-Carol", {"Morvex CSP Enterprise", 1}}};
    // A new log-in works, and registering again replaces rather than adds.
    for (int round = 0; round < 2; ++round) {
        if (round > 0) {
            LogInAndQuery();
        }
        dlg->OnCommand(res::IDC_BTN_REGISTER);
        EXPECT_EQ(wnd.MessageTexts(),
                  (std::vector<std::string>{res::kRegistered, res::kLogInAgain}));
        EXPECT_EQ(Entries(), expected);
        EXPECT_EQ(pcsc.connectedCard, 0u);
        EXPECT_EQ(crypt.OpenContexts(), 0u);
        EXPECT_EQ(crypt.OpenKeys(), 0u);
        EXPECT_EQ(wnd.tabSel, 0);
    }
    EXPECT_EQ(std::count(pcsc.calls.begin(), pcsc.calls.end(), "SCardConnectA refused"), 1);
}

}  // namespace
}  // namespace quorlin::test
