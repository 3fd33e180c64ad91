// Faults from outside the program in the middle of a query or a registration: the service
// stopped, the store's disk full. The dialog says what failed, keeps the store whole, and
// works again once the service is back.

#include <gtest/gtest.h>
#include <stdlib.h>
#include <sys/mount.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <functional>
#include <optional>
#include <thread>
#include <utility>
#include <vector>

#include "applet/Applet.h"
#include "e2e/CardFixture.h"
#include "platform/crypt/CardCryptApi.h"
#include "platform/store/SqliteStoreApi.h"
#include "platform/x509/OpenSslCertApi.h"
#include "res/Strings.h"

namespace quorlin::e2e {
namespace {

using Lines = std::vector<std::string>;

// pcsc-lite with a fault run once, before the connection (no command) or transmission
// that `at` picks.
class FaultingPcsc : public pcsc::PcscLite {
  public:
    std::uint32_t SCardConnectA(pcsc::ScardContext context, const char* reader,
                                std::uint32_t shareMode, std::uint32_t protocols,
                                pcsc::ScardHandle* card, std::uint32_t* active) override {
        Check(nullptr);
        return PcscLite::SCardConnectA(context, reader, shareMode, protocols, card, active);
    }
    std::uint32_t SCardTransmit(pcsc::ScardHandle card, const pcsc::ScardIoRequest* sendPci,
                                const std::uint8_t* send, std::uint32_t sendLength,
                                pcsc::ScardIoRequest* recvPci, std::uint8_t* recv,
                                std::uint32_t* recvLength) override {
        Check(send);
        return PcscLite::SCardTransmit(card, sendPci, send, sendLength, recvPci, recv, recvLength);
    }
    // With the service down only the reader watcher makes contexts or waits for changes: a
    // failure of either means it lost the service and posts nothing until it is back.
    std::uint32_t SCardEstablishContext(std::uint32_t scope, pcsc::ScardContext* context) override {
        return Watch(PcscLite::SCardEstablishContext(scope, context));
    }
    std::uint32_t SCardGetStatusChangeA(pcsc::ScardContext context, std::uint32_t timeout,
                                        pcsc::ScardReaderState* states,
                                        std::uint32_t count) override {
        return Watch(PcscLite::SCardGetStatusChangeA(context, timeout, states, count));
    }

    std::function<bool(const std::uint8_t* command)> at;
    std::function<void()> fault;
    bool fired = false;
    std::atomic<bool> watcherLost = false;

  private:
    std::uint32_t Watch(std::uint32_t rv) {
        if (rv != pcsc::kSuccess && rv != pcsc::kETimeout && rv != pcsc::kECancelled) {
            watcherLost = true;
        }
        return rv;
    }
    void Check(const std::uint8_t* command) {
        if (!fired && at && at(command)) {
            fired = true;
            fault();
        }
    }
};

// Picks the second provider connection: the first container's entry is in by then.
std::function<bool(const std::uint8_t*)> SecondConnection() {
    return [n = 0](const std::uint8_t* command) mutable { return !command && ++n == 2; };
}

// The store, with a hook run once before the first add into the second store opened: the
// registration opens one per container, so the first container's entries are in by then.
class HookedStore : public store::SqliteStoreApi {
  public:
    std::function<void()> beforeSecondContainersAdd;

    store::HCERTSTORE CertOpenStore(std::uint32_t provider, std::uint32_t encoding,
                                    std::uintptr_t prov, std::uint32_t flags,
                                    const char16_t* name) override {
        ++m_opens;
        return SqliteStoreApi::CertOpenStore(provider, encoding, prov, flags, name);
    }
    bool CertAddCertificateContextToStore(store::HCERTSTORE store, const x509::CertContext* cert,
                                          std::uint32_t disposition,
                                          const x509::CertContext** added) override {
        if (m_opens == 2 && beforeSecondContainersAdd) {
            std::exchange(beforeSecondContainersAdd, nullptr)();
        }
        return SqliteStoreApi::CertAddCertificateContextToStore(store, cert, disposition, added);
    }

  private:
    int m_opens = 0;
};

class ServiceFault : public CardFixture {
  protected:
    void SetUp() override {
        CardFixture::SetUp();
        home = ScratchPath("home");
        std::filesystem::create_directories(home);
        setenv("XDG_DATA_HOME", home.c_str(), 1);
        store.emplace();
        platform = Platform{&faulty, &certs, &crypt, &*store};
        platform.watchReaders = true;
        sims.push_back(std::make_unique<CardSim>(
            Env("QUORLIN_SOURCE_DIR") + "/tools/cardsim/profiles/demo.json", 0));
        ASSERT_TRUE(sims.back()->Present()) << sims.back()->LogPath();
        Open(window);
        window.SetControlText(res::IDC_EDIT_PIN, "123456");
        dlg().OnCommand(res::IDC_BTN_LOGIN);
        ASSERT_EQ(dlg().m_bLoggedIn, 1) << testing::PrintToString(window.MessageTexts());
        window.messages.clear();
    }
    void TearDown() override {
        CardFixture::TearDown();
        unsetenv("XDG_DATA_HOME");
    }
    CQuorlinDlg& dlg() { return *dialogs.back(); }

    void Query() {
        dlg().OnCommand(res::IDC_BTN_QUERY);
        ASSERT_EQ(dlg().m_nCertCount, 3);
        window.messages.clear();
    }

    // Stops the service at the chosen call; the test goes on without it.
    void StopServiceAt(std::function<bool(const std::uint8_t*)> at) {
        faulty.at = std::move(at);
        faulty.fault = [] { service.Stop(); };
    }

    // The service back with its reader and the card, the dialog told so, and a log-in.
    void ExpectLogInAfterRestart() {
        ASSERT_TRUE(faulty.fired);
        const auto until = std::chrono::steady_clock::now() + kReadyTimeout;
        while (!faulty.watcherLost && std::chrono::steady_clock::now() < until) {
            std::this_thread::sleep_for(20ms);
        }
        ASSERT_TRUE(faulty.watcherLost);
        window.RunPostedTasks();  // the next one is the watcher's news of the restart
        service.Restart(1);
        ASSERT_TRUE(WaitForReaders(2));
        ASSERT_TRUE(WaitForCard(ReaderName(0), true));  // the simulator reconnects itself
        ASSERT_TRUE(window.WaitForPostedTask(static_cast<int>(kReadyTimeout.count())));
        window.RunPostedTasks();
        ASSERT_TRUE(PumpUntil(window, {ReaderName(0), ReaderName(1)}));
        if (dlg().m_bLoggedIn != 0) {
            dlg().OnCommand(res::IDC_BTN_LOGIN);  // log out
        }
        window.messages.clear();
        window.SetControlText(res::IDC_EDIT_PIN, "123456");
        dlg().OnCommand(res::IDC_BTN_LOGIN);
        EXPECT_EQ(window.MessageTexts(), Lines{res::kLoginOk});
    }

    // Every row of the store: the first container's certificate alone, linked whole.
    void ExpectFirstEntryOnly() {
        const auto rows = store->List();
        ASSERT_TRUE(rows && rows->size() == 1u);
        EXPECT_EQ(rows->front().der, dlg().m_certs[0]->encoded);
        EXPECT_TRUE(rows->front().hasKeyProvInfo);
        EXPECT_EQ(rows->front().container, "Quorlin-Alice");
    }

    static std::string Format(const char* format, std::uint32_t code) {
        char text[256];
        std::snprintf(text, sizeof text, format, static_cast<unsigned>(code));
        return text;
    }

    FaultingPcsc faulty;
    x509::OpenSslCertApi certs;
    crypt::CardCryptApi crypt{faulty,
                              crypt::ProviderRegistry({Env("QUORLIN_BUILD_DIR") + "/share"})};
    std::optional<HookedStore> store;  // found through XDG_DATA_HOME, set first
    std::string home;
    static inline Service service;  // a restarted one must outlive its test
};

TEST_F(ServiceFault, StoppedAfterTheDirectoryIsReadTheQuerySaysSoAndALogInWorksOnceItIsBack) {
    bool directoryRead = false;
    StopServiceAt([&](const std::uint8_t* command) {
        if (command != nullptr && command[1] == applet::kInsReadDirectory) {
            directoryRead = true;
            return false;
        }
        return command != nullptr && directoryRead;
    });
    dlg().OnCommand(res::IDC_BTN_QUERY);
    EXPECT_EQ(window.MessageTexts(), (Lines{res::kEf8010Missing, res::kCertFileSelectError}));
    EXPECT_EQ(dlg().m_nCertCount, 0);
    ExpectLogInAfterRestart();
}

TEST_F(ServiceFault, StoppedBetweenTwoContainersTheRegistrationKeepsTheFirstEntryWhole) {
    Query();
    StopServiceAt(SecondConnection());
    dlg().OnCommand(res::IDC_BTN_REGISTER);
    EXPECT_EQ(window.MessageTexts(), (Lines{Format(res::kFmtAcquire, pcsc::kENoService),
                                            res::kRegistered, res::kLogInAgain}));
    ExpectFirstEntryOnly();
    ExpectLogInAfterRestart();
}

TEST_F(ServiceFault, FullDiskStopsTheRegistrationAndTheStoreStaysReadable) {
    ASSERT_EQ(mount("tmpfs", home.c_str(), "tmpfs", 0, "size=1m,mode=0700"), 0) << errno;
    struct Unmount {
        std::string dir;
        ~Unmount() { umount2(dir.c_str(), MNT_DETACH); }
    } unmount{home};
    Query();
    bool filled = false;
    store->beforeSecondContainersAdd = [&] {
        std::FILE* filler = std::fopen((home + "/filler").c_str(), "wb");
        ASSERT_NE(filler, nullptr);
        std::setvbuf(filler, nullptr, _IONBF, 0);
        const std::vector<char> block(4096);
        while (std::fwrite(block.data(), 1, block.size(), filler) == block.size()) {
        }
        filled = errno == ENOSPC;
        std::fclose(filler);
    };
    dlg().OnCommand(res::IDC_BTN_REGISTER);
    EXPECT_TRUE(filled);
    // The third container meets the same full disk.
    const std::string full = Format(res::kFmtAddToStore, store::kEDiskFull);
    EXPECT_EQ(window.MessageTexts(), (Lines{full, full, res::kRegistered, res::kLogInAgain}));
    ExpectFirstEntryOnly();

    int exitCode = -1;
    const Lines listed = CertstoreList(&exitCode);
    EXPECT_EQ(exitCode, 0) << testing::PrintToString(listed);
    ASSERT_EQ(listed.size(), 2u) << testing::PrintToString(listed);  // a heading and the entry
    EXPECT_NE(listed[1].find("Quorlin-Alice"), std::string::npos) << listed[1];
}

}  // namespace
}  // namespace quorlin::e2e
