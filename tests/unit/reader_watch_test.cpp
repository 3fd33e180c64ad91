// Readers that come and go: the watcher's rounds over a scripted service (the list it
// reports, the service going away and coming back, no busy loop), and what the dialog
// does with a new list (the kept selection, the wait while a handler runs, the context
// renewed before the next log-in).

#include <gtest/gtest.h>

#include <algorithm>

#include "card/ReaderWatcher.h"
#include "fakes/DialogHarness.h"

namespace quorlin {
namespace {

using Lines = std::vector<std::string>;
using card::ReaderWatcher;
using test::ScriptedPcsc;

constexpr std::uint32_t Readers(std::uint32_t count) {
    return count << 16;
}
constexpr std::uint32_t kChanged = pcsc::kStateChanged;

struct Watch {
    ScriptedPcsc pcsc;
    std::vector<ReaderWatcher::Update> updates;
    std::vector<std::chrono::milliseconds> pauses;
    ReaderWatcher watcher{pcsc, 10, [this](ReaderWatcher::Update u) { updates.push_back(u); }};
    Watch() {
        watcher.SetPause([this](std::chrono::milliseconds time) {
            pauses.push_back(time);
            return true;
        });
    }
};

// The calls to the service whose record starts with call (e.g. "SCardEstablishContext").
int Count(const ScriptedPcsc& pcsc, const std::string& call) {
    return static_cast<int>(
        std::count_if(pcsc.calls.begin(), pcsc.calls.end(),
                      [&](const std::string& c) { return c.rfind(call, 0) == 0; }));
}

TEST(ReaderWatcherTest, ReportsEachNewListAndWatchesFromTheLastState) {
    Watch w;
    w.pcsc.readers = {"Reader A"};
    w.pcsc.statusChanges = {{pcsc::kSuccess, Readers(1)},
                            {pcsc::kETimeout, 0},
                            {pcsc::kSuccess, Readers(2) | kChanged},
                            {pcsc::kSuccess, Readers(1) | kChanged}};
    EXPECT_TRUE(w.watcher.Step());  // its context
    EXPECT_TRUE(w.watcher.Step());  // where things stand: nothing to report
    EXPECT_TRUE(w.updates.empty());
    EXPECT_TRUE(w.watcher.Step());  // an expected time-out
    w.pcsc.readers = {"Reader A", "Reader B"};
    EXPECT_TRUE(w.watcher.Step());
    w.pcsc.readers = {"Reader B"};
    EXPECT_TRUE(w.watcher.Step());
    ASSERT_EQ(w.updates.size(), 2u);
    EXPECT_EQ(w.updates[0].readers, (Lines{"Reader A", "Reader B"}));
    EXPECT_EQ(w.updates[1].readers, Lines{"Reader B"});
    EXPECT_FALSE(w.updates[1].serviceRestarted);
    EXPECT_EQ(w.pcsc.watchedStates,
              (std::vector<std::uint32_t>{0, Readers(1), Readers(1), Readers(2)}));
    EXPECT_EQ(w.pcsc.outstandingReaderLists, 0);
    EXPECT_TRUE(w.pauses.empty());
}

TEST(ReaderWatcherTest, ServiceGoneIsRetriedEveryTwoSecondsThenReportedBack) {
    Watch w;
    w.pcsc.statusChanges = {{pcsc::kENoService, 0}};
    EXPECT_TRUE(w.watcher.Step());
    EXPECT_TRUE(w.watcher.Step());  // the service goes: its context is given back
    EXPECT_EQ(w.pcsc.releasedContexts, 1);
    w.pcsc.failures["SCardEstablishContext"] = pcsc::kENoService;
    w.pcsc.failTimes["SCardEstablishContext"] = 5;
    for (int i = 0; i < 6; ++i) {
        EXPECT_TRUE(w.watcher.Step());
    }
    // One pause before each attempt: no busy loop while the service is away.
    EXPECT_EQ(Count(w.pcsc, "SCardEstablishContext"), 1 + 6);
    EXPECT_EQ(w.pauses, std::vector<std::chrono::milliseconds>(6, ReaderWatcher::kRetryInterval));
    ASSERT_EQ(w.updates.size(), 1u);
    EXPECT_TRUE(w.updates[0].serviceRestarted);
    EXPECT_EQ(w.updates[0].readers, Lines{"Fake Reader 0"});
    // Watching starts afresh on the new context.
    EXPECT_TRUE(w.watcher.Step());
    EXPECT_EQ(w.pcsc.watchedStates.back(), pcsc::kStateUnaware);
}

TEST(ReaderWatcherTest, EndsWhenCancelledStoppedOrWithoutPlugAndPlay) {
    // pcsc-lite reports a service that dies while it answers as a reset connection.
    const std::pair<std::uint32_t, bool> cases[] = {{pcsc::kECancelled, false},
                                                    {pcsc::kEUnknownReader, false},
                                                    {pcsc::kETimeout, true},
                                                    {pcsc::kWSecurityViolation, true}};
    for (const auto& [answer, goesOn] : cases) {
        Watch w;
        w.pcsc.statusChanges = {{answer, 0}};
        EXPECT_TRUE(w.watcher.Step());
        EXPECT_EQ(w.watcher.Step(), goesOn) << std::hex << answer;
        EXPECT_EQ(w.pcsc.releasedContexts, answer == pcsc::kWSecurityViolation ? 1 : 0);
    }
    // A stop while the service is away ends the pause and the watch.
    Watch w;
    w.pcsc.failures["SCardEstablishContext"] = pcsc::kENoService;
    w.watcher.SetPause([](std::chrono::milliseconds) { return false; });
    EXPECT_TRUE(w.watcher.Step());
    EXPECT_FALSE(w.watcher.Step());
}

class ReaderRefreshTest : public ::testing::Test, public test::DialogHarness<> {
  protected:
    void SetUp() override {
        pcsc.readers = {"Reader A", "Reader B"};
        ASSERT_TRUE(Start());
    }
};

TEST_F(ReaderRefreshTest, SelectionStaysOnTheSameReaderWhileItIsThere) {
    wnd.comboSel = 1;  // the user picked Reader B
    const std::tuple<Lines, Lines, int> cases[] = {
        {{"Reader 0", "Reader B"}, {"Reader 0", "Reader B"}, 1},
        {{"Reader B", "Reader 0", "Reader C"}, {"Reader B", "Reader 0", "Reader C"}, 0},
        {{}, {}, -1},
        {{"Reader C", "Reader D"}, {"Reader C", "Reader D"}, 0},  // nothing was selected
    };
    for (const auto& [readers, shown, selected] : cases) {
        dlg->OnReadersChanged(readers, false);
        EXPECT_EQ(wnd.comboItems, shown);
        EXPECT_EQ(wnd.comboSel, selected);
    }
}

TEST_F(ReaderRefreshTest, ListWaitsUntilNoHandlerRunsAndContextIsRenewedBeforeLogIn) {
    // A list that comes while a box is open (inside the log-in handler) waits for the end
    // of the handler.
    Lines seenInBox;
    wnd.onMessageBox = [&](const test::MessageBoxCall&) {
        dlg->OnReadersChanged({"Reader C"}, true);
        seenInBox = wnd.comboItems;
    };
    LogIn("123");  // too short: one box
    wnd.onMessageBox = nullptr;
    EXPECT_EQ(seenInBox, (Lines{"Reader A", "Reader B"}));
    EXPECT_EQ(wnd.comboItems, Lines{"Reader C"});
    EXPECT_EQ(wnd.comboSel, 0);

    // The service restarted: the next log-in gives back the dead context and makes a new
    // one the way construction does, before it connects.
    const pcsc::ScardContext old = dlg->m_hContext;
    Forget();
    pcsc.readers = {"Reader C"};
    LogIn("123456");
    ASSERT_GE(pcsc.calls.size(), 3u);
    EXPECT_EQ(pcsc.calls[0], "SCardReleaseContext");
    EXPECT_EQ(pcsc.calls[1].rfind("SCardEstablishContext", 0), 0u) << pcsc.calls[1];
    EXPECT_EQ(pcsc.calls[2].rfind("SCardConnectA:Reader C", 0), 0u) << pcsc.calls[2];
    EXPECT_EQ(pcsc.establishedScopes.back(), pcsc::kScopeUser);
    EXPECT_NE(dlg->m_hContext, old);
    // Only once.
    Forget();
    LogIn("123456");
    EXPECT_EQ(Count(pcsc, "SCardEstablishContext"), 0);
}

}  // namespace
}  // namespace quorlin
