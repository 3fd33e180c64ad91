// The certificate query with ten 1.5 KB certificates.
//
// In process (always): the query over the card engine behind the in-process PC/SC fake,
// i.e. the program's own CPU cost, both its threads counted. Its real time is no guide:
// the engine answers at once, so the dialog waits for each certificate's decoding, which
// with a card behind pcscd happens while the card answers.
//
// Over the real service (when run inside scripts/pcscd-private): the query through
// pcsc-lite, pcscd, vpcd and quorlin-cardsim, beside a bare replay of the very APDU
// sequence that the query sent, so that the difference is what the query adds to the
// round trips themselves. The interleaved run times one of each in turn, so that a machine
// busy with other work slows both alike; it prints the ratio of their medians at the end.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <nlohmann/json.hpp>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "e2e/E2e.h"
#include "engine/Engine.h"
#include "fakes/EnginePcsc.h"
#include "fakes/FakeWindow.h"
#include "platform/pcsc/PcscLite.h"
#include "platform/x509/OpenSslCertApi.h"
#include "ui/CQuorlinDlg.h"

namespace {

using namespace quorlin;
namespace fs = std::filesystem;

constexpr int kCertificates = 10;
// Enough for a stable median on a shared machine (40 still moved it by three points from
// run to run): a query takes 4 to 12 ms here, depending on how soon an idle core wakes.
constexpr int kPcscdIterations = 200;

fs::path SourceDir() {
    if (const char* env = std::getenv("QUORLIN_SOURCE_DIR"); env != nullptr && *env != '\0') {
        return env;
    }
    // Not __FILE__: Debian's -ffile-prefix-map makes it relative to where the build ran.
    return QUORLIN_SOURCE_TREE;
}

// Ten containers, each with the 1.5 KB RSA certificate, read in chunks of 253 bytes.
nlohmann::json TenCertificates() {
    const std::string der = (SourceDir() / "tests/fixtures/rsa-bench.der").string();
    nlohmann::json containers = nlohmann::json::array();
    for (int i = 0; i < kCertificates; ++i) {
        char name[32];
        char file[8];
        std::snprintf(name, sizeof name, "Quorlin-Bench-%02d", i);
        std::snprintf(file, sizeof file, "80%02X", i + 1);
        containers.push_back({{"name", name},
                              {"file", file},
                              {"keys", {"signature", "exchange"}},
                              {"certificate", der}});
    }
    return {{"applet", "morvex"},
            {"protocol", "T=1"},
            {"pin", "123456"},
            {"chunks", {{"directory", 72}, {"certificate", 253}}},
            {"containers", containers}};
}

bool Check(bool ok, benchmark::State& state, const char* what) {
    if (!ok) {
        state.SkipWithError(what);
    }
    return ok;
}

void BM_QueryInProcess(benchmark::State& state) {
    test::EnginePcsc pcsc(cardsim::Engine::FromJson(TenCertificates()));
    x509::OpenSslCertApi certs;
    test::FakeWindow wnd;
    Platform platform;
    platform.pcsc = &pcsc;
    platform.certs = &certs;
    CQuorlinDlg dlg(wnd, platform);
    dlg.OnInitDialog();
    if (!Check(dlg.ConnectCard() == 0 && dlg.SelectApplet() == 0, state, "no card")) {
        return;
    }
    for (auto _ : state) {
        pcsc.commands.clear();
        pcsc.sendPcis.clear();
        wnd.calls.clear();
        dlg.OnQueryCertificates();
    }
    Check(dlg.m_nCertCount == kCertificates, state, "not every certificate was read");
    state.counters["commands"] = static_cast<double>(pcsc.commands.size());
}
BENCHMARK(BM_QueryInProcess)->Unit(benchmark::kMillisecond)->MeasureProcessCPUTime();

// The real service, with every command of the dialog's connection kept.
class RecordingPcsc : public pcsc::PcscLite {
  public:
    std::uint32_t SCardTransmit(pcsc::ScardHandle card, const pcsc::ScardIoRequest* sendPci,
                                const std::uint8_t* send, std::uint32_t sendLength,
                                pcsc::ScardIoRequest* recvPci, std::uint8_t* recv,
                                std::uint32_t* recvLength) override {
        if (recording) {
            commands.emplace_back(send, send + sendLength);
        }
        return PcscLite::SCardTransmit(card, sendPci, send, sendLength, recvPci, recv, recvLength);
    }
    bool recording = false;
    std::vector<std::vector<std::uint8_t>> commands;
};

// One card in reader 0 and one dialog connected to it, shared by the two benchmarks.
struct Service {
    std::unique_ptr<e2e::CardSim> sim;
    RecordingPcsc pcsc;
    x509::OpenSslCertApi certs;
    test::FakeWindow wnd;
    std::unique_ptr<CQuorlinDlg> dlg;
    bool ready = false;

    Service() {
        if (e2e::Env("QUORLIN_CARDSIM").empty()) {
            const fs::path self = fs::read_symlink("/proc/self/exe");
            const fs::path cardsim =
                self.parent_path().parent_path() / "tools/cardsim/quorlin-cardsim";
            setenv("QUORLIN_CARDSIM", cardsim.c_str(), 1);
        }
        if (!e2e::WaitForReaders(1)) {
            return;
        }
        sim = std::make_unique<e2e::CardSim>(
            e2e::WriteScratch("query-bench.json", TenCertificates().dump()), 0);
        if (!sim->Present()) {
            return;
        }
        Platform platform;
        platform.pcsc = &pcsc;
        platform.certs = &certs;
        dlg = std::make_unique<CQuorlinDlg>(wnd, platform);
        dlg->OnInitDialog();
        if (dlg->ConnectCard() != 0 || dlg->SelectApplet() != 0) {
            return;
        }
        pcsc.recording = true;
        dlg->OnQueryCertificates();
        pcsc.recording = false;
        ready = dlg->m_nCertCount == kCertificates;
    }
};

Service* g_service = nullptr;

void BM_QueryPcscd(benchmark::State& state) {
    if (!Check(g_service->ready, state, "service or card not ready")) {
        return;
    }
    for (auto _ : state) {
        g_service->wnd.calls.clear();
        g_service->dlg->OnQueryCertificates();
    }
    Check(g_service->dlg->m_nCertCount == kCertificates, state, "certificates lost");
    state.counters["commands"] = static_cast<double>(g_service->pcsc.commands.size());
}

void Replay() {
    CQuorlinDlg& dlg = *g_service->dlg;
    std::uint8_t recv[256];
    for (const auto& command : g_service->pcsc.commands) {
        std::uint32_t length = sizeof recv;
        g_service->pcsc.PcscLite::SCardTransmit(dlg.m_hCard, dlg.m_pioSendPci, command.data(),
                                                static_cast<std::uint32_t>(command.size()), nullptr,
                                                recv, &length);
    }
}

void BM_ReplayPcscd(benchmark::State& state) {
    if (!Check(g_service->ready, state, "service or card not ready")) {
        return;
    }
    for (auto _ : state) {
        Replay();
    }
    state.counters["commands"] = static_cast<double>(g_service->pcsc.commands.size());
}

double Median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    const std::size_t n = values.size();
    return n == 0 ? 0.0 : n % 2 == 1 ? values[n / 2] : (values[n / 2 - 1] + values[n / 2]) / 2;
}

std::optional<double> g_queryOverReplay;  // per cent, once the interleaved run is done

// One query and one replay per iteration, alternating which goes first.
void BM_InterleavedPcscd(benchmark::State& state) {
    if (!Check(g_service->ready, state, "service or card not ready")) {
        return;
    }
    using Clock = std::chrono::steady_clock;
    std::vector<double> query;
    std::vector<double> replay;
    bool queryFirst = true;
    for (auto _ : state) {
        for (int turn = 0; turn < 2; ++turn) {
            const bool doQuery = (turn == 0) == queryFirst;
            const auto start = Clock::now();
            if (doQuery) {
                g_service->wnd.calls.clear();
                g_service->dlg->OnQueryCertificates();
            } else {
                Replay();
            }
            (doQuery ? query : replay)
                .push_back(std::chrono::duration<double, std::milli>(Clock::now() - start).count());
        }
        queryFirst = !queryFirst;
    }
    Check(g_service->dlg->m_nCertCount == kCertificates, state, "certificates lost");
    const double queryMs = Median(query);
    const double replayMs = Median(replay);
    state.counters["query_ms"] = queryMs;
    state.counters["replay_ms"] = replayMs;
    if (replayMs > 0) {
        g_queryOverReplay = (queryMs / replayMs - 1.0) * 100.0;
        state.counters["added_pct"] = *g_queryOverReplay;
    }
}

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::unique_ptr<Service> service;
    const char* privatePcscd = std::getenv("QUORLIN_PCSCD_PRIVATE");
    if (privatePcscd != nullptr && std::string(privatePcscd) == "1") {
        service = std::make_unique<Service>();
        g_service = service.get();
        using Function = void (*)(benchmark::State&);
        const std::pair<const char*, Function> pcscdBenchmarks[] = {
            {"BM_QueryPcscd", BM_QueryPcscd},
            {"BM_ReplayPcscd", BM_ReplayPcscd},
            {"BM_InterleavedPcscd", BM_InterleavedPcscd}};
        for (const auto& [name, function] : pcscdBenchmarks) {
            benchmark::RegisterBenchmark(name, function)
                ->Unit(benchmark::kMillisecond)
                ->Iterations(kPcscdIterations)
                ->UseRealTime();
        }
    } else {
        std::fprintf(stderr,
                     "query_bench: not inside scripts/pcscd-private; the pcscd benchmarks "
                     "are left out\n");
    }
    benchmark::RunSpecifiedBenchmarks();
    if (g_queryOverReplay) {
        std::printf("query over replay: %+.2f %% (medians of %d in turn; target: under +5 %%)\n",
                    *g_queryOverReplay, kPcscdIterations);
    }
    benchmark::Shutdown();
    if (service) {
        service->dlg.reset();
    }
    return 0;
}
