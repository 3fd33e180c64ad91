// The certificate query with ten 1.5 KB certificates.
//
// In process (always): the query over the card engine behind the in-process PC/SC fake,
// i.e. the program's own CPU cost.
//
// Over the real service (when run inside scripts/pcscd-private): the query through
// pcsc-lite, pcscd, vpcd and quorlin-cardsim, beside a bare replay of the very APDU
// sequence that the query sent, so that the difference is what the query adds to the
// round trips themselves. Prints the ratio at the end.

#include <benchmark/benchmark.h>
#include <unistd.h>

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <map>
#include <memory>
#include <nlohmann/json.hpp>
#include <string>
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

fs::path SourceDir() {
    if (const char* env = std::getenv("QUORLIN_SOURCE_DIR"); env != nullptr && *env != '\0') {
        return env;
    }
    return fs::path(__FILE__).parent_path().parent_path();
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
BENCHMARK(BM_QueryInProcess)->Unit(benchmark::kMillisecond);

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

void BM_ReplayPcscd(benchmark::State& state) {
    if (!Check(g_service->ready, state, "service or card not ready")) {
        return;
    }
    CQuorlinDlg& dlg = *g_service->dlg;
    std::uint8_t recv[256];
    for (auto _ : state) {
        for (const auto& command : g_service->pcsc.commands) {
            std::uint32_t length = sizeof recv;
            g_service->pcsc.PcscLite::SCardTransmit(dlg.m_hCard, dlg.m_pioSendPci, command.data(),
                                                    static_cast<std::uint32_t>(command.size()),
                                                    nullptr, recv, &length);
        }
    }
    state.counters["commands"] = static_cast<double>(g_service->pcsc.commands.size());
}

// Keeps the mean time of each run, to print the query's cost over the replay.
class RatioReporter : public benchmark::ConsoleReporter {
  public:
    void ReportRuns(const std::vector<Run>& runs) override {
        for (const Run& run : runs) {
            if (!run.error_occurred && run.iterations > 0) {
                const std::string name = run.benchmark_name();
                times[name.substr(0, name.find('/'))] = run.GetAdjustedRealTime();
            }
        }
        ConsoleReporter::ReportRuns(runs);
    }
    std::map<std::string, double> times;
};

}  // namespace

int main(int argc, char** argv) {
    benchmark::Initialize(&argc, argv);
    std::unique_ptr<Service> service;
    const char* privatePcscd = std::getenv("QUORLIN_PCSCD_PRIVATE");
    if (privatePcscd != nullptr && std::string(privatePcscd) == "1") {
        service = std::make_unique<Service>();
        g_service = service.get();
        benchmark::RegisterBenchmark("BM_QueryPcscd", BM_QueryPcscd)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(5);
        benchmark::RegisterBenchmark("BM_ReplayPcscd", BM_ReplayPcscd)
            ->Unit(benchmark::kMillisecond)
            ->Iterations(5);
    } else {
        std::fprintf(stderr,
                     "query_bench: not inside scripts/pcscd-private; the pcscd benchmarks "
                     "are left out\n");
    }
    RatioReporter reporter;
    benchmark::RunSpecifiedBenchmarks(&reporter);
    const auto query = reporter.times.find("BM_QueryPcscd");
    const auto replay = reporter.times.find("BM_ReplayPcscd");
    if (query != reporter.times.end() && replay != reporter.times.end() && replay->second > 0) {
        std::printf("query over replay: %+.2f %% (target: under +5 %%)\n",
                    (query->second / replay->second - 1.0) * 100.0);
    }
    benchmark::Shutdown();
    if (service) {
        service->dlg.reset();
    }
    return 0;
}
