#pragma once
// A test fixture for end-to-end tests with a simulated card: the real dialog core over
// the real pcsc-lite adapter, a FakeWindow as its window, quorlin-cardsim in a reader.

#include <gtest/gtest.h>

#include <chrono>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "e2e/E2e.h"
#include "fakes/FakeWindow.h"
#include "platform/pcsc/PcscLite.h"
#include "res/resource.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin::e2e {

class CardFixture : public ::testing::Test {
  protected:
    void SetUp() override {
        ASSERT_TRUE(WaitForReaders(2)) << "the private pcscd lists too few readers";
        ASSERT_FALSE(Env("QUORLIN_CARDSIM").empty()) << "quorlin-cardsim was not built";
        platform.pcsc = &pcsc;
    }

    // Puts a card with this profile into the reader and waits until the service sees it.
    CardSim& Insert(const nlohmann::json& profile, int reader = 0) {
        const std::string path = WriteScratch("profile.json", profile.dump(2));
        sims.push_back(std::make_unique<CardSim>(path, reader));
        CardSim& sim = *sims.back();
        EXPECT_TRUE(sim.Present()) << "no card in reader " << reader << "; log " << sim.LogPath();
        return sim;
    }

    // A dialog over the real service, initialised, with the reader chosen.
    CQuorlinDlg& Open(test::FakeWindow& window, int reader = 0) {
        dialogs.push_back(std::make_unique<CQuorlinDlg>(window, platform));
        CQuorlinDlg& dlg = *dialogs.back();
        dlg.DoModal();
        window.ComboSetCurSel(res::IDC_COMBO_READER, reader);
        return dlg;
    }

    void TearDown() override {
        dialogs.clear();  // disconnect before the cards go
        sims.clear();
    }

    pcsc::PcscLite pcsc;
    Platform platform;
    test::FakeWindow window;
    std::vector<std::unique_ptr<CardSim>> sims;
    std::vector<std::unique_ptr<CQuorlinDlg>> dialogs;
};

// The dialog thread's event loop, run for as long as it takes the list to read `readers`.
inline bool PumpUntil(test::FakeWindow& window, const std::vector<std::string>& readers) {
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

// The log form of a SELECT by AID whose last byte is `last`.
inline std::string SelectAid(const char* last) {
    return std::string("00 A4 04 00 08 A0 00 00 01 72 95 01 ") + last;
}

// Sixteen masked PIN bytes as the simulator logs them.
inline std::string MaskedPin() {
    std::string text;
    for (int i = 0; i < 16; ++i) {
        text += i == 0 ? "**" : " **";
    }
    return text;
}

// The hex form of a text's bytes, as in the simulator's log.
inline std::string HexOf(const std::string& text) {
    static const char digits[] = "0123456789ABCDEF";
    std::string hex;
    for (unsigned char c : text) {
        if (!hex.empty()) {
            hex += ' ';
        }
        hex += digits[c >> 4];
        hex += digits[c & 15];
    }
    return hex;
}

}  // namespace quorlin::e2e
