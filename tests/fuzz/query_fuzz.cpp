// Arbitrary card answers through the certificate query: whatever the card sends, the query
// ends, writes nothing outside its areas (the sanitizers watch), keeps at most ten
// certificates, lists at most eleven rows and leaks no certificate handle.
//
// Input: byte 0 chooses the protocol and what the card answers once the input is used up
// (an error status, or a chunk that never ends); then answers, each a 2-byte length (mod
// 300, so answers past the receive length occur; 0xFFFF: the transmission fails) and that
// many bytes.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <deque>

#include "fakes/FakeWindow.h"
#include "fakes/ScriptedPcsc.h"
#include "platform/x509/OpenSslCertApi.h"
#include "ui/CQuorlinDlg.h"

namespace {

using quorlin::test::Answer;
using quorlin::test::Bytes;

void Check(bool ok) {
    if (!ok) {
        std::abort();
    }
}

std::deque<Answer> Parse(const std::uint8_t* input, std::size_t size) {
    std::deque<Answer> answers;
    std::size_t at = 0;
    while (at + 2 <= size) {
        const unsigned header = static_cast<unsigned>(input[at] << 8 | input[at + 1]);
        at += 2;
        if (header == 0xFFFF) {
            answers.push_back({quorlin::pcsc::kWRemovedCard, {}});
            continue;
        }
        const std::size_t length = std::min<std::size_t>(header % 300, size - at);
        answers.push_back({quorlin::pcsc::kSuccess, Bytes(input + at, input + at + length)});
        at += length;
    }
    return answers;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* input, std::size_t size) {
    using namespace quorlin;
    if (size < 1) {
        return 0;
    }
    const std::uint8_t mode = input[0];
    test::ScriptedPcsc pcsc;
    pcsc.activeProtocol = (mode & 0x01) ? pcsc::kProtocolT1 : pcsc::kProtocolT0;
    pcsc.answers = Parse(input + 1, size - 1);
    Bytes endless(256, 0x00);
    endless[0] = 0xFF;
    endless[254] = 0x90;  // 254 data bytes, the first asking for more, then 90 00
    const Answer after =
        (mode & 0x02) ? Answer{pcsc::kSuccess, endless} : Answer{pcsc::kSuccess, Bytes{0x6A, 0x82}};
    pcsc.responder = [&after](const Bytes&) { return after; };

    x509::OpenSslCertApi certs;
    test::FakeWindow wnd;
    Platform platform;
    platform.pcsc = &pcsc;
    platform.certs = &certs;
    {
        CQuorlinDlg dlg(wnd, platform);
        wnd.ComboAddString(1018, pcsc.readers.front());
        wnd.ComboSetCurSel(1018, 0);
        Check(dlg.ConnectCard() == 0);
        pcsc.commands.clear();

        const std::int32_t result = dlg.ReadCardCertificates();
        Check(result == 0 || result == -1);
        Check(dlg.m_nCertCount >= 0 && dlg.m_nCertCount <= CQuorlinDlg::kMaxCerts);
        Check(wnd.rows.size() <= 11);
        for (int k = dlg.m_nCertCount; k < CQuorlinDlg::kMaxCerts; ++k) {
            Check(dlg.m_certs[k] == nullptr);
        }
        for (std::size_t i = 36 * CQuorlinDlg::kMaxCerts; i < sizeof dlg.m_containerNames; ++i) {
            Check(dlg.m_containerNames[i] == 0);
        }
        Check(x509::OpenSslCertApi::LiveContexts() == static_cast<std::size_t>(dlg.m_nCertCount));
        // Directory: at most 400 commands; each of at most 11 records: four commands and
        // a certificate read of at most 2048; every command at most two transmissions.
        Check(pcsc.commands.size() <= 2u * (2 + 400 + 11 * (4 + 2048)));
    }
    Check(x509::OpenSslCertApi::LiveContexts() == 0);
    return 0;
}
