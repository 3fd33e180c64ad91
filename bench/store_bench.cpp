// The cost of adding one certificate to the user's store, empty and holding 10,000
// entries: an add is one write transaction keyed by (store, thumbprint), so the size of
// the store should barely show.
//
//   build/bench/store_bench --benchmark_filter=Store

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <filesystem>
#include <string>

#include "fakes/CertFixtures.h"
#include "fakes/TempDir.h"
#include "platform/store/SqliteStoreApi.h"

namespace {

using namespace quorlin;
namespace fs = std::filesystem;

constexpr int kIterations = 1000;

bool AddOne(store::SqliteStoreApi& api, store::HCERTSTORE store, const x509::CertContext& cert) {
    std::u16string container = u"Quorlin-Bench";
    std::u16string provider = u"Morvex CSP Enterprise";
    x509::CryptKeyProvInfo info{container.data(), provider.data(), 1, 0, 0, nullptr, 1};
    return api.CertSetCertificateContextProperty(&cert, store::kCertKeyProvInfoPropId, 0, &info) &&
           api.CertAddCertificateContextToStore(store, &cert, store::kCertStoreAddReplaceExisting,
                                                nullptr);
}

// Each iteration adds a certificate the store does not hold (so a store that starts empty
// ends with kIterations entries). With a second argument of 1 the iteration also opens and
// closes the store, as the registration does per certificate.
void BM_StoreAddCertificate(benchmark::State& state) {
    const auto entries = static_cast<std::uint32_t>(state.range(0));
    const bool openPerAdd = state.range(1) != 0;
    const test::TempDir tmp("quorlin-bench");
    const std::string& dir = tmp.Path();
    const std::vector<std::uint8_t> base = test::ReadFixture("rsa-bench.der");
    {
        store::SqliteStoreApi api(dir + "/quorlin");
        store::HCERTSTORE store = api.CertOpenStore(10, 0, 0, 0x10000, u"MY");
        for (std::uint32_t k = 0; k < entries; ++k) {
            x509::CertContext cert;
            cert.encoded = test::CertVariant(base, k);
            if (!AddOne(api, store, cert)) {
                state.SkipWithError("prefill failed");
                return;
            }
        }
        api.CertCloseStore(store, 1);
    }

    store::SqliteStoreApi api(dir + "/quorlin");
    store::HCERTSTORE store = api.CertOpenStore(10, 0, 0, 0x10000, u"MY");
    std::uint32_t next = 1u << 20;
    for (auto _ : state) {
        x509::CertContext cert;
        cert.encoded = test::CertVariant(base, next++);
        if (openPerAdd) {
            store::HCERTSTORE s = api.CertOpenStore(10, 0, 0, 0x10000, u"MY");
            const bool ok = s != nullptr && AddOne(api, s, cert);
            api.CertCloseStore(s, 1);
            if (!ok) {
                state.SkipWithError("add failed");
                break;
            }
        } else if (!AddOne(api, store, cert)) {
            state.SkipWithError("add failed");
            break;
        }
    }
    api.CertCloseStore(store, 1);
    state.counters["entries"] = entries;
}

BENCHMARK(BM_StoreAddCertificate)
    ->ArgNames({"entries", "open"})
    ->Args({0, 0})
    ->Args({10000, 0})
    ->Args({0, 1})
    ->Args({10000, 1})
    ->Unit(benchmark::kMicrosecond)
    ->Iterations(kIterations)
    ->Repetitions(3)
    ->ReportAggregatesOnly(true);

}  // namespace

BENCHMARK_MAIN();
