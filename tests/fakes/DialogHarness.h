#pragma once
// The main dialog over an in-process PC/SC service (ScriptedPcsc, or EnginePcsc for the
// card engine) in a FakeWindow, driven the way the user drives it. A fixture derives from
// it beside ::testing::Test, or a test holds one.
//
// Services handed to Make or Start besides the PC/SC one must outlive the dialog, which
// frees its certificates through them. A derived fixture's members die before the
// harness's, so a fixture that owns such services resets dlg in its TearDown.

#include <cstdint>
#include <memory>
#include <string>
#include <utility>
#include <vector>

#include "fakes/FakeWindow.h"
#include "fakes/ScriptedPcsc.h"
#include "res/resource.h"
#include "ui/CQuorlinDlg.h"

namespace quorlin::test {

// A successful transmission answering these bytes, e.g. Sw("90 00").
inline Answer Sw(const std::string& hex) {
    return {pcsc::kSuccess, Hex(hex)};
}

// The box text the dialog shows for a service error code.
inline std::string SystemError(std::uint32_t code) {
    return "Error:" + ScriptedPcsc::TextFor(code) + "\n";
}

template <class Pcsc = ScriptedPcsc>
class DialogHarness {
  public:
    // The arguments go to the service, e.g. a card engine profile.
    template <class... Args>
    explicit DialogHarness(Args&&... args) : pcsc(std::forward<Args>(args)...) {}

    Pcsc pcsc;
    FakeWindow wnd;
    std::unique_ptr<CQuorlinDlg> dlg;

    // A new dialog over pcsc and the other services given. The old one goes first, so its
    // disconnect and release come before the new one's calls.
    CQuorlinDlg& Make(Platform others = {}) {
        dlg.reset();
        others.pcsc = &pcsc;
        dlg = std::make_unique<CQuorlinDlg>(wnd, others);
        return *dlg;
    }
    // Made and initialised, as the window does when it opens; what the initialisation said.
    bool Start(Platform others = {}) { return Make(others).OnInitDialog(); }

    // What the user does: typing leaves no window call behind, as the control itself
    // changes; a tab click selects the tab before the dialog hears of it.
    void Type(int field, const std::string& text) { wnd.texts[field] = text; }
    void Click(int control) { dlg->OnCommand(control); }
    std::intptr_t ClickTab(int page) {
        wnd.tabSel = page;
        return dlg->OnTabSelChange(res::IDC_TAB);
    }
    // The log-in button with this PIN typed (it logs out when logged in).
    void LogIn(const std::string& pin) {
        Type(res::IDC_EDIT_PIN, pin);
        Click(res::IDC_BTN_LOGIN);
    }

    // Drops what the window and the service recorded so far.
    void Forget() {
        wnd.calls.clear();
        wnd.messages.clear();
        pcsc.calls.clear();
        pcsc.commands.clear();
        pcsc.connects = 0;
        pcsc.disconnects = 0;
    }

    // The commands sent with this instruction byte, one hex line each.
    std::vector<std::string> Sent(std::uint8_t ins) const {
        std::vector<std::string> out;
        for (const Bytes& c : pcsc.commands) {
            if (c.size() > 1 && c[1] == ins) {
                out.push_back(ToHex(c));
            }
        }
        return out;
    }
};

}  // namespace quorlin::test
