// Readers that come and go, through the real service: the dialog starts beside a private
// pcscd with no reader at all; the service is restarted with one vpcd entry and a card,
// as upgrades and on-demand starts restart it, and the list follows, a log-in included;
// restarted again without the entry, the list empties.

#include <gtest/gtest.h>
#include <signal.h>
#include <sys/wait.h>

#include <fstream>
#include <thread>

#include "e2e/E2e.h"
#include "fakes/FakeWindow.h"
#include "platform/pcsc/PcscLite.h"
#include "res/Strings.h"
#include "res/resource.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin::e2e {
namespace {

using Lines = std::vector<std::string>;

// The private service, stopped and started again with `entries` vpcd entries, written as
// scripts/pcscd-private writes them.
class Service {
  public:
    void Restart(int entries) {
        Stop();
        std::ofstream conf(Env("QUORLIN_READER_CONF"), std::ios::trunc);
        for (int k = 0; k < entries; ++k) {
            const int port = VpcdPort(2 * k);
            conf << "FRIENDLYNAME \"Virtual PCD " << k << "\"\nDEVICENAME   /dev/null:" << port
                 << "\nLIBPATH      /usr/lib/pcsc/drivers/serial/libifdvpcd.so\nCHANNELID    "
                 << port << "\n\n";
        }
        conf.close();
        m_pcscd =
            Process({"/usr/sbin/pcscd", "--foreground"}, Env("QUORLIN_PCSCD_LOG") + ".restarted");
    }

  private:
    void Stop() {
        if (m_pcscd.Running()) {
            m_pcscd.Stop();
            return;
        }
        // The first one is the script's.
        const pid_t pid = static_cast<pid_t>(std::stol("0" + Env("QUORLIN_PCSCD_PID")));
        if (pid > 0 && ::kill(pid, SIGTERM) == 0) {
            const auto until = std::chrono::steady_clock::now() + kReadyTimeout;
            while (Alive(pid) && std::chrono::steady_clock::now() < until) {
                std::this_thread::sleep_for(20ms);
            }
        }
    }
    // The script reaps its pcscd only when it ends: until then an ended one is a zombie.
    static bool Alive(pid_t pid) {
        std::ifstream stat("/proc/" + std::to_string(pid) + "/stat");
        std::string pidText, comm, state;
        return stat >> pidText >> comm >> state && state != "Z";
    }
    Process m_pcscd;
};

// The dialog thread's event loop, for as long as it takes the list to read `readers`.
bool PumpUntil(test::FakeWindow& window, const Lines& readers) {
    const auto until = std::chrono::steady_clock::now() + kReadyTimeout;
    while (window.comboItems != readers) {
        if (std::chrono::steady_clock::now() > until) {
            return false;
        }
        if (window.WaitForPostedTask(200)) {
            window.RunPostedTasks();
        }
    }
    return true;
}

TEST(ReaderWatch, ListFollowsTheServiceThroughRestartsAndALogInSucceeds) {
    ASSERT_FALSE(Env("QUORLIN_CARDSIM").empty()) << "quorlin-cardsim was not built";
    pcsc::PcscLite pcsc;
    Platform platform;
    platform.pcsc = &pcsc;
    platform.watchReaders = true;
    test::FakeWindow window;
    Service service;
    {
        CQuorlinDlg dlg(window, platform);
        dlg.DoModal();
        EXPECT_TRUE(window.comboItems.empty());

        service.Restart(1);
        ASSERT_TRUE(WaitForReaders(2));
        CardSim card(Env("QUORLIN_SOURCE_DIR") + "/tools/cardsim/profiles/demo.json", 0);
        ASSERT_TRUE(card.Present()) << card.LogPath();
        ASSERT_TRUE(PumpUntil(window, {"Virtual PCD 0 00 00", "Virtual PCD 0 00 01"}));
        EXPECT_EQ(window.comboSel, 0);

        window.SetControlText(res::IDC_EDIT_PIN, "123456");
        dlg.OnCommand(res::IDC_BTN_LOGIN);
        EXPECT_EQ(window.MessageTexts(), Lines{res::kLoginOk});
        EXPECT_EQ(dlg.m_bLoggedIn, 1);
        dlg.OnCommand(res::IDC_BTN_LOGIN);  // log out
        EXPECT_EQ(dlg.m_bLoggedIn, 0);

        card.Stop();
        service.Restart(0);
        ASSERT_TRUE(PumpUntil(window, {}));
        EXPECT_EQ(window.comboSel, -1);
    }
    // The dialog is gone, its watcher with it; the service must not have been left waiting.
}

}  // namespace
}  // namespace quorlin::e2e
