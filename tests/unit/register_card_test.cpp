// Registration with the real provider and store: log in to the card engine, query, register,
// and look at what the SQLite store then holds.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <map>
#include <memory>
#include <string>

#include "fakes/DialogHarness.h"
#include "fakes/EnginePcsc.h"
#include "fakes/TempDir.h"
#include "interfaces/LastError.h"
#include "platform/crypt/CardCryptApi.h"
#include "platform/store/SqliteStoreApi.h"
#include "platform/x509/OpenSslCertApi.h"
#include "res/Strings.h"

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

class RegisterCardTest : public ::testing::Test, public DialogHarness<ExclusivePcsc> {
  protected:
    RegisterCardTest() : DialogHarness("demo.json") {}
    void SetUp() override {
        ASSERT_TRUE(fs::is_directory(data.Path()));
        store = std::make_unique<store::SqliteStoreApi>(data.Join("quorlin"));
        Start({.certs = &certs, .crypt = &crypt, .store = store.get()});
    }
    void TearDown() override { dlg.reset(); }  // before the services it was handed

    void LogInAndQuery() {
        LogIn("123456");
        ASSERT_EQ(dlg->m_bLoggedIn, 1) << ::testing::PrintToString(wnd.MessageTexts());
        ClickTab(2);
        Click(res::IDC_BTN_QUERY);
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

    TempDir data{"quorlin-reg"};
    x509::OpenSslCertApi certs;
    crypt::CardCryptApi crypt{
        pcsc,
        crypt::ProviderRegistry({std::string(getenv("QUORLIN_BUILD_DIR") ?: ".") + "/share"})};
    std::unique_ptr<store::SqliteStoreApi> store;
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
