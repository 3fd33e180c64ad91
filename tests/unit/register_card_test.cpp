// Registration with the real provider and store: log in to the card engine, query, register,
// and look at what the SQLite store then holds.

#include <gtest/gtest.h>
#include <stdlib.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
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

class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "quorlin-reg-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string path;
};

std::string BuildShare() {
    const char* build = std::getenv("QUORLIN_BUILD_DIR");
    return std::string(build != nullptr ? build : ".") + "/share";
}

class RegisterCardTest : public ::testing::Test {
  protected:
    void Start(const std::string& profile, std::vector<std::string> registryDirs) {
        pcsc = std::make_unique<ExclusivePcsc>(profile);
        crypt = std::make_unique<crypt::CardCryptApi>(
            *pcsc, crypt::ProviderRegistry(std::move(registryDirs)));
        store = std::make_unique<store::SqliteStoreApi>(data.path + "/quorlin");
        dlg = std::make_unique<CQuorlinDlg>(wnd,
                                            Platform{pcsc.get(), &certs, crypt.get(), store.get()});
        dlg->OnInitDialog();
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

    TempDir data;
    FakeWindow wnd;
    x509::OpenSslCertApi certs;
    std::unique_ptr<ExclusivePcsc> pcsc;
    std::unique_ptr<crypt::CardCryptApi> crypt;
    std::unique_ptr<store::SqliteStoreApi> store;
    std::unique_ptr<CQuorlinDlg> dlg;
};

TEST_F(RegisterCardTest, RegistersEachCertificateOnceWithItsContainerAndKey) {
    Start("demo.json", {BuildShare()});
    LogInAndQuery();
    ASSERT_EQ(dlg->m_nCertCount, 3);
    dlg->OnCommand(res::IDC_BTN_REGISTER);
    EXPECT_EQ(wnd.MessageTexts(), (std::vector<std::string>{res::kRegistered, res::kLogInAgain}));
    const auto expected = std::map<std::string, std::pair<std::string, std::uint32_t>>{
        {"Quorlin-Alice", {"Morvex CSP Enterprise", 1}},
        {"Quorlin-Bob", {"Morvex CSP Enterprise", 2}},
        {"Quorlin-Carol", {"Morvex CSP Enterprise", 1}}};
    EXPECT_EQ(Entries(), expected);
    EXPECT_EQ(pcsc->connectedCard, 0u);
    EXPECT_EQ(crypt->OpenContexts(), 0u);
    EXPECT_EQ(crypt->OpenKeys(), 0u);
    EXPECT_EQ(wnd.tabSel, 0);

    // A new log-in works, and registering again replaces rather than adds.
    wnd.messages.clear();
    LogInAndQuery();
    dlg->OnCommand(res::IDC_BTN_REGISTER);
    EXPECT_EQ(wnd.MessageTexts(), (std::vector<std::string>{res::kRegistered, res::kLogInAgain}));
    EXPECT_EQ(Entries(), expected);
}

TEST_F(RegisterCardTest, WithoutTheDisconnectTheProviderCouldNotReachTheCard) {
    Start("demo.json", {BuildShare()});
    LogInAndQuery();
    // While the dialog holds the card, the provider is refused: this is what the handler's
    // disconnect prevents.
    crypt::HCRYPTPROV prov = 0;
    EXPECT_FALSE(crypt->CryptAcquireContextA(&prov, "Quorlin-Alice", res::kCspMorvexEnterprise,
                                             crypt::kProvRsaFull, 0));
    EXPECT_EQ(GetLastError(), pcsc::kESharingViolation);

    dlg->OnCommand(res::IDC_BTN_REGISTER);
    EXPECT_EQ(std::count(pcsc->calls.begin(), pcsc->calls.end(), "SCardConnectA refused"), 1);
    EXPECT_EQ(wnd.MessageTexts(), (std::vector<std::string>{res::kRegistered, res::kLogInAgain}));
    EXPECT_EQ(Entries().size(), 3u);
}

TEST_F(RegisterCardTest, ProviderMissingFromTheRegistryFallsBackToMorvex) {
    TempDir registry;
    fs::create_directories(registry.path + "/quorlin/providers");
    fs::copy_file(BuildShare() + "/quorlin/providers/morvex-csp-enterprise.conf",
                  registry.path + "/quorlin/providers/morvex-csp-enterprise.conf");
    Start("t1.json", {registry.path});  // an Ulvane Enterprise card
    LogInAndQuery();
    ASSERT_EQ(dlg->m_strCspName, res::kCspUlvaneEnterprise);
    dlg->OnCommand(res::IDC_BTN_REGISTER);
    EXPECT_EQ(dlg->m_strCspName, res::kCspMorvexEnterprise);
    const auto entries = Entries();
    ASSERT_FALSE(entries.empty());
    for (const auto& [container, value] : entries) {
        EXPECT_EQ(value.first, "Morvex CSP Enterprise") << container;
    }
}

TEST_F(RegisterCardTest, EmptyRegistryStopsEarlyWithNothingAdded) {
    TempDir registry;
    Start("demo.json", {registry.path});
    LogInAndQuery();
    dlg->OnCommand(res::IDC_BTN_REGISTER);
    EXPECT_EQ(wnd.MessageTexts(),
              (std::vector<std::string>{"CryptAcquireContext = 0x80090019 \n 請確認是否安裝CSP"}));
    EXPECT_TRUE(Entries().empty());
    EXPECT_EQ(wnd.tabSel, 2);
    EXPECT_TRUE(wnd.IsEnabled(res::IDC_BTN_LOGIN));
    EXPECT_TRUE(wnd.IsEnabled(res::IDC_BTN_REGISTER));
    EXPECT_EQ(pcsc->connectedCard, 0u);
}

}  // namespace
}  // namespace quorlin::test
