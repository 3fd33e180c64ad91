// One APDU exchange.
//
// In process (always): CQuorlinDlg::TransmitApdu over the scripted PC/SC fake with a
// responder, i.e. the exchange's own CPU cost (plus the fake's bookkeeping).
//
// Over the real service (when run inside scripts/pcscd-private): card::Exchange
// through PcscLite, pcscd, vpcd and quorlin-cardsim, beside a bare SCardTransmit loop
// that sends the very APDUs the exchange sent. The interleaved runs time both in turn on
// the same connection, so that a machine busy with other work slows both alike; they
// report what the exchange adds to the raw round trip, in per cent.
//
//   scripts/pcscd-private -- build/bench/apdu_bench

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>
#include <benchmark/benchmark.h>
#include <unistd.h>

#include <array>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "card/ApduExchange.h"
#include "e2e/E2e.h"
#include "fakes/FakeWindow.h"
#include "fakes/ScriptedPcsc.h"
#include "platform/pcsc/PcscLite.h"
#include "ui/CQuorlinDlg.h"

namespace {

using namespace quorlin;
namespace fs = std::filesystem;
using Bytes = std::vector<std::uint8_t>;

constexpr std::uint8_t kMorvexAid[] = {0xA0, 0x00, 0x00, 0x01, 0x72, 0x95, 0x01, 0x03};
const Bytes kFci =
    test::Hex("6F 18 84 08 A0 00 00 01 72 95 01 03 A5 0C 9F 65 01 FF 5F 2D 02 7A 68 88 01 00");

// ---- In process -------------------------------------------------------------------

// Argument 0: T=1, the answer at once. Argument 1: T=0, 61 1A and a GET RESPONSE.
void BM_TransmitApduFake(benchmark::State& state) {
    const bool t0 = state.range(0) == 1;
    test::ScriptedPcsc pcsc;
    pcsc.readers = {"Reader 0"};
    pcsc.activeProtocol = t0 ? pcsc::kProtocolT0 : pcsc::kProtocolT1;
    pcsc.responder = [t0](const Bytes& command) {
        test::Answer answer;
        if (t0 && command[1] == 0xA4) {
            answer.bytes = {0x61, static_cast<std::uint8_t>(kFci.size())};
        } else {
            answer.bytes = kFci;
            answer.bytes.insert(answer.bytes.end(), {0x90, 0x00});
        }
        return answer;
    };
    test::FakeWindow window;
    Platform platform;
    platform.pcsc = &pcsc;
    CQuorlinDlg dlg(window, platform);
    dlg.DoModal();
    if (dlg.ConnectCard() != 0) {
        state.SkipWithError("no connection to the fake");
        return;
    }
    std::array<std::uint8_t, card::kMaxResponseData> resp{};
    for (auto _ : state) {
        std::uint8_t le = 0;
        benchmark::DoNotOptimize(dlg.TransmitApdu(0x00, 0xA4, 0x04, 0x00, sizeof kMorvexAid, le,
                                                  kMorvexAid, resp.data(), resp.size()));
        benchmark::DoNotOptimize(resp.data());
        pcsc.commands.clear();  // the fake records every command; keep it from growing
        pcsc.sendPcis.clear();
    }
}
BENCHMARK(BM_TransmitApduFake)->Arg(0)->Arg(1)->ArgName("t0");

// ---- Over the real service --------------------------------------------------------

// PcscLite that keeps a copy of what it sends while asked to.
class RecordingPcsc : public pcsc::PcscLite {
  public:
    bool recording = false;
    std::vector<Bytes> sent;

    std::uint32_t SCardTransmit(pcsc::ScardHandle card, const pcsc::ScardIoRequest* sendPci,
                                const std::uint8_t* sendBuffer, std::uint32_t sendLength,
                                pcsc::ScardIoRequest* recvPci, std::uint8_t* recvBuffer,
                                std::uint32_t* recvLength) override {
        if (recording) {
            sent.emplace_back(sendBuffer, sendBuffer + sendLength);
        }
        return PcscLite::SCardTransmit(card, sendPci, sendBuffer, sendLength, recvPci, recvBuffer,
                                       recvLength);
    }
};

// One card behind pcscd, one exclusive connection, and the APDUs an exchange sends.
struct Link {
    std::unique_ptr<e2e::CardSim> sim;
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    RecordingPcsc pcsc;
    std::vector<Bytes> wire;

    const pcsc::ScardIoRequest* CorePci() const {
        return protocol == SCARD_PROTOCOL_T1 ? pcsc.T1Pci() : pcsc.T0Pci();
    }
    const SCARD_IO_REQUEST* LitePci() const {
        return protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
    }

    std::int32_t Exchange() {
        std::array<std::uint8_t, card::kMaxResponseData> resp{};
        card::Response response{resp.data(), resp.size()};
        return card::Exchange({pcsc, static_cast<pcsc::ScardHandle>(card), CorePci()},
                              {0x00, 0xA4, 0x04, 0x00, kMorvexAid, 0}, response);
    }

    bool Raw() {
        for (const Bytes& apdu : wire) {
            std::array<std::uint8_t, card::kReceiveLength> recv{};
            DWORD length = card::kReceiveLength;
            if (SCardTransmit(card, LitePci(), apdu.data(), static_cast<DWORD>(apdu.size()),
                              nullptr, recv.data(), &length) != SCARD_S_SUCCESS) {
                return false;
            }
            benchmark::DoNotOptimize(recv.data());
        }
        return true;
    }

    ~Link() {
        if (card != 0) {
            SCardDisconnect(card, SCARD_LEAVE_CARD);
        }
        if (context != 0) {
            SCardReleaseContext(context);
        }
    }
};

std::unique_ptr<Link> g_links[2];  // reader 0: T=1 card, reader 1: T=0 card
std::string g_setupError;

fs::path SourceDir() {
    if (const char* env = std::getenv("QUORLIN_SOURCE_DIR"); env != nullptr && *env != '\0') {
        return env;
    }
    // Not __FILE__: Debian's -ffile-prefix-map makes it relative to where the build ran.
    return QUORLIN_SOURCE_TREE;
}

std::unique_ptr<Link> OpenLink(const std::string& profile, int reader) {
    auto link = std::make_unique<Link>();
    link->sim = std::make_unique<e2e::CardSim>(
        (SourceDir() / "tools/cardsim/profiles" / profile).string(), reader);
    if (!link->sim->Present()) {
        g_setupError = "no simulated card in reader " + std::to_string(reader);
        return nullptr;
    }
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &link->context) !=
            SCARD_S_SUCCESS ||
        SCardConnect(link->context, link->sim->Reader().c_str(), SCARD_SHARE_EXCLUSIVE,
                     SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1, &link->card,
                     &link->protocol) != SCARD_S_SUCCESS) {
        g_setupError = "no connection to reader " + std::to_string(reader);
        return nullptr;
    }
    link->pcsc.recording = true;
    const std::int32_t result = link->Exchange();
    link->pcsc.recording = false;
    if (result != 0) {
        g_setupError = "the card refused the SELECT";
        return nullptr;
    }
    link->wire = link->pcsc.sent;
    return link;
}

Link* LinkFor(benchmark::State& state) {
    Link* link = g_links[state.range(0)].get();
    if (link == nullptr) {
        state.SkipWithError(g_setupError.c_str());
    }
    return link;
}

void BM_ExchangePcscd(benchmark::State& state) {
    Link* link = LinkFor(state);
    if (link == nullptr) {
        return;
    }
    for (auto _ : state) {
        if (link->Exchange() != 0) {
            state.SkipWithError("exchange failed");
            break;
        }
    }
    state.counters["transmits"] = static_cast<double>(link->wire.size());
}

void BM_RawPcscd(benchmark::State& state) {
    Link* link = LinkFor(state);
    if (link == nullptr) {
        return;
    }
    for (auto _ : state) {
        if (!link->Raw()) {
            state.SkipWithError("SCardTransmit failed");
            break;
        }
    }
    state.counters["transmits"] = static_cast<double>(link->wire.size());
}

// Both in turn, each iteration one of each, alternating which goes first.
void BM_InterleavedPcscd(benchmark::State& state) {
    Link* link = LinkFor(state);
    if (link == nullptr) {
        return;
    }
    using Clock = std::chrono::steady_clock;
    Clock::duration exchange{};
    Clock::duration raw{};
    bool exchangeFirst = true;
    for (auto _ : state) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool doExchange = (turn == 0) == exchangeFirst;
            const auto start = Clock::now();
            const bool ok = doExchange ? link->Exchange() == 0 : link->Raw();
            (doExchange ? exchange : raw) += Clock::now() - start;
            if (!ok) {
                state.SkipWithError("transmission failed");
                return;
            }
        }
        exchangeFirst = !exchangeFirst;
    }
    const double n = static_cast<double>(state.iterations());
    const double exUs = std::chrono::duration<double, std::micro>(exchange).count() / n;
    const double rawUs = std::chrono::duration<double, std::micro>(raw).count() / n;
    state.counters["exchange_us"] = exUs;
    state.counters["raw_us"] = rawUs;
    state.counters["added_pct"] = rawUs > 0 ? 100.0 * (exUs - rawUs) / rawUs : 0.0;
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    const char* privatePcscd = std::getenv("QUORLIN_PCSCD_PRIVATE");
    if (privatePcscd != nullptr && std::string(privatePcscd) == "1") {
        if (e2e::Env("QUORLIN_CARDSIM").empty()) {
            const fs::path self = fs::read_symlink("/proc/self/exe");
            const fs::path cardsim =
                self.parent_path().parent_path() / "tools/cardsim/quorlin-cardsim";
            setenv("QUORLIN_CARDSIM", cardsim.c_str(), 1);
        }
        if (!e2e::WaitForReaders(2)) {
            g_setupError = "the private pcscd lists fewer than two readers";
        } else {
            g_links[0] = OpenLink("bench.json", 0);
            g_links[1] = OpenLink("demo.json", 1);
        }
        for (const char* name : {"BM_ExchangePcscd", "BM_RawPcscd", "BM_InterleavedPcscd"}) {
            auto* bench = name == std::string("BM_ExchangePcscd") ? BM_ExchangePcscd
                          : name == std::string("BM_RawPcscd")    ? BM_RawPcscd
                                                                  : BM_InterleavedPcscd;
            benchmark::RegisterBenchmark(name, bench)
                ->Arg(0)
                ->Arg(1)
                ->ArgName("t0")
                ->MinTime(2.0)
                ->Unit(benchmark::kMicrosecond)
                ->UseRealTime();
        }
    } else {
        std::fprintf(stderr,
                     "apdu_bench: not inside scripts/pcscd-private; the pcscd benchmarks "
                     "are left out\n");
    }
    benchmark::RunSpecifiedBenchmarks();
    benchmark::Shutdown();
    for (auto& link : g_links) {
        link.reset();
    }
    return 0;
}
