// Registration end to end: the dialog over pcsc-lite, quorlin-cardsim as the card behind
// a private pcscd, the card-backed providers of the registry and the SQLite store, both
// found through the XDG variables as the program finds them; quorlin-certstore reads the
// result.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/stat.h>

#include <algorithm>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "applet/Applet.h"
#include "e2e/E2e.h"
#include "fakes/FakeWindow.h"
#include "platform/crypt/CardCryptApi.h"
#include "platform/pcsc/PcscLite.h"
#include "platform/store/SqliteStoreApi.h"
#include "platform/x509/OpenSslCertApi.h"
#include "res/Strings.h"
#include "res/resource.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin {
namespace {

namespace fs = std::filesystem;
using test::FakeWindow;

std::string Profile(const std::string& name) {
    return e2e::Env("QUORLIN_SOURCE_DIR") + "/tools/cardsim/profiles/" + name;
}

class RegisterE2e : public ::testing::Test {
  protected:
    // registry: the only directory searched for provider files.
    void Start(const std::string& profile, const std::string& registry) {
        home = e2e::ScratchPath("home");
        fs::create_directories(home);
        setenv("XDG_DATA_HOME", home.c_str(), 1);
        card = std::make_unique<e2e::CardSim>(Profile(profile), 0);
        ASSERT_TRUE(card->Present()) << card->LogPath();
        crypt = std::make_unique<crypt::CardCryptApi>(pcsc, crypt::ProviderRegistry({registry}));
        store = std::make_unique<store::SqliteStoreApi>();
        ASSERT_EQ(store->Directory(), home + "/quorlin");
        dlg = std::make_unique<CQuorlinDlg>(window,
                                            Platform{&pcsc, &certs, crypt.get(), store.get()});
        dlg->DoModal();
    }

    void LogInAndQuery() {
        const auto it =
            std::find(window.comboItems.begin(), window.comboItems.end(), card->Reader());
        ASSERT_NE(it, window.comboItems.end());
        window.ComboSetCurSel(res::IDC_COMBO_READER,
                              static_cast<int>(it - window.comboItems.begin()));
        window.SetControlText(res::IDC_EDIT_PIN, "123456");
        dlg->OnCommand(res::IDC_BTN_LOGIN);
        ASSERT_EQ(dlg->m_bLoggedIn, 1) << testing::PrintToString(window.MessageTexts());
        window.TabSetCurSel(res::IDC_TAB, 2);
        dlg->OnTabSelChange(res::IDC_TAB);
        dlg->OnCommand(res::IDC_BTN_QUERY);
        ASSERT_TRUE(window.IsEnabled(res::IDC_BTN_REGISTER));
        window.messages.clear();
    }

    std::vector<std::string> EntryLines() {
        int exitCode = -1;
        std::vector<std::string> lines = e2e::CertstoreList(&exitCode);
        EXPECT_EQ(exitCode, 0);
        std::vector<std::string> entries;
        for (const std::string& line : lines) {
            if (line.rfind("MY ", 0) == 0) {
                entries.push_back(line);
            }
        }
        return entries;
    }

    void ExpectEntry(const std::vector<std::string>& lines, const std::string& subject,
                     const std::string& provider, const std::string& container,
                     const std::string& keySpec) {
        int found = 0;
        for (const std::string& line : lines) {
            if (line.find(subject) != std::string::npos) {
                ++found;
                EXPECT_NE(line.find("  " + provider + "  "), std::string::npos) << line;
                EXPECT_NE(line.find("  " + container + "  "), std::string::npos) << line;
                EXPECT_NE(line.find(keySpec), std::string::npos) << line;
            }
        }
        EXPECT_EQ(found, 1) << subject;
    }

    void TearDown() override {
        dlg.reset();
        unsetenv("XDG_DATA_HOME");
    }

    std::string home;
    pcsc::PcscLite pcsc;
    x509::OpenSslCertApi certs;
    FakeWindow window;
    std::unique_ptr<e2e::CardSim> card;
    std::unique_ptr<crypt::CardCryptApi> crypt;
    std::unique_ptr<store::SqliteStoreApi> store;
    std::unique_ptr<CQuorlinDlg> dlg;
};

TEST_F(RegisterE2e, RegisteredCertificatesAreListedOnceEachWithTheirKeys) {
    ASSERT_TRUE(e2e::WaitForReaders(2));
    Start("demo.json", e2e::Env("QUORLIN_BUILD_DIR") + "/share");
    LogInAndQuery();
    ASSERT_EQ(dlg->m_nCertCount, 3);
    dlg->OnCommand(res::IDC_BTN_REGISTER);
    EXPECT_EQ(window.MessageTexts(),
              (std::vector<std::string>{res::kRegistered, res::kLogInAgain}));
    EXPECT_EQ(window.tabSel, 0);
    EXPECT_TRUE(window.IsShown(res::IDC_BTN_LOGIN));
    EXPECT_EQ(window.Text(res::IDC_BTN_LOGIN), res::kBtnLogin);

    std::vector<std::string> lines = EntryLines();
    EXPECT_EQ(lines.size(), 3u);
    ExpectEntry(lines, "CN=Alice Chen", "Morvex CSP Enterprise", "Quorlin-Alice", "1 (exchange)");
    ExpectEntry(lines, "CN=Bob Lin", "Morvex CSP Enterprise", "Quorlin-Bob", "2 (signature)");
    ExpectEntry(lines, "Quorlin 測試", "Morvex CSP Enterprise", "Quorlin-Carol", "1 (exchange)");
    struct stat st {};
    ASSERT_EQ(stat((home + "/quorlin").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat((home + "/quorlin/certstore.db").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // A new log-in works, and a second registration leaves one entry each.
    window.messages.clear();
    LogInAndQuery();
    dlg->OnCommand(res::IDC_BTN_REGISTER);
    EXPECT_EQ(window.MessageTexts(),
              (std::vector<std::string>{res::kRegistered, res::kLogInAgain}));
    EXPECT_EQ(EntryLines().size(), 3u);
}

TEST_F(RegisterE2e, RegistryWithoutTheLogInProviderNamesMorvex) {
    ASSERT_TRUE(e2e::WaitForReaders(2));
    const std::string registry = e2e::ScratchPath("morvex-only");
    fs::create_directories(registry + "/quorlin/providers");
    fs::copy_file(
        e2e::Env("QUORLIN_BUILD_DIR") + "/share/quorlin/providers/morvex-csp-enterprise.conf",
        registry + "/quorlin/providers/morvex-csp-enterprise.conf");
    Start("t1.json", registry);  // an Ulvane Enterprise card
    LogInAndQuery();
    ASSERT_EQ(dlg->m_strCspName, applet::kUlvaneCspEnterprise);
    dlg->OnCommand(res::IDC_BTN_REGISTER);
    EXPECT_EQ(window.MessageTexts(),
              (std::vector<std::string>{res::kRegistered, res::kLogInAgain}));
    const std::vector<std::string> lines = EntryLines();
    ASSERT_FALSE(lines.empty());
    for (const std::string& line : lines) {
        EXPECT_NE(line.find("  Morvex CSP Enterprise  "), std::string::npos) << line;
    }
}

TEST_F(RegisterE2e, EmptyRegistryStopsEarlyOnTheCertificatePage) {
    ASSERT_TRUE(e2e::WaitForReaders(2));
    const std::string registry = e2e::ScratchPath("empty-registry");
    fs::create_directories(registry);
    Start("demo.json", registry);
    LogInAndQuery();
    dlg->OnCommand(res::IDC_BTN_REGISTER);
    ASSERT_EQ(window.messages.size(), 1u);
    EXPECT_NE(window.messages[0].text.find("請確認是否安裝CSP"), std::string::npos);
    EXPECT_EQ(window.messages[0].text, "CryptAcquireContext = 0x80090019 \n 請確認是否安裝CSP");
    EXPECT_TRUE(EntryLines().empty());
    EXPECT_EQ(window.tabSel, 2);
    EXPECT_TRUE(window.IsShown(res::IDC_BTN_REGISTER));
    EXPECT_TRUE(window.IsEnabled(res::IDC_BTN_REGISTER));
    EXPECT_TRUE(window.IsEnabled(res::IDC_BTN_LOGIN));
}

}  // namespace
}  // namespace quorlin
