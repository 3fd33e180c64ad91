// The registration of ten certificates, with the provider naming a PKCS#11 module and
// without: what linking each certificate to its key and the p11-kit step add. SoftHSM2
// stands in for the card vendor's module, with a token holding the certificate and its key.
//
//   build/bench/register_bench

#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cstdio>
#include <cstring>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "fakes/EnginePcsc.h"
#include "fakes/TempDir.h"
#include "platform/crypt/CardCryptApi.h"
#include "platform/keylink/Pkcs11KeyLinks.h"
#include "platform/store/SqliteStoreApi.h"
#include "platform/x509/OpenSslCertApi.h"
#include "registration/Registration.h"

namespace {

using namespace quorlin;

constexpr int kCertificates = 10;
const std::string kSource = QUORLIN_SOURCE_TREE;

struct Quiet : registration::Observer {
    void StepFailed(registration::Step, std::uint32_t) override { failed = true; }
    void CertificateDone(std::size_t, registration::Outcome) override {}
    void CertificateLinked(std::size_t, const keylink::Pkcs11Link* link,
                           const std::string&) override {
        linked += link != nullptr ? 1 : 0;
    }
    bool failed = false;
    int linked = 0;
};

void BM_Register(benchmark::State& state) {
    const bool module = state.range(0) != 0;
    const test::TempDir tmp("quorlin-bench");
    const std::string token = tmp.Path() + "/token";
    if (std::system(
            (kSource + "/tests/fakes/softhsm-token " + token + " bench rsa-bench").c_str()) != 0) {
        state.SkipWithError("no SoftHSM2 token");
        return;
    }
    setenv("SOFTHSM2_CONF", (token + "/softhsm2.conf").c_str(), 1);
    setenv("XDG_CONFIG_HOME", (tmp.Path() + "/config").c_str(), 1);
    tmp.Write("quorlin/providers/morvex.conf",
              std::string("name=Morvex CSP Enterprise\ntype=1\naid=A0 00 00 01 72 95 01 03\n") +
                  (module ? "pkcs11_module=/usr/lib/softhsm/libsofthsm2.so\n" : ""));

    nlohmann::json containers = nlohmann::json::array();
    std::vector<std::array<std::uint8_t, 36>> records(kCertificates);
    for (int i = 0; i < kCertificates; ++i) {
        char name[32];
        char file[8];
        std::snprintf(name, sizeof name, "Quorlin-Bench-%02d", i);
        std::snprintf(file, sizeof file, "80%02X", i + 1);
        std::memcpy(records[static_cast<std::size_t>(i)].data(), name, std::strlen(name));
        containers.push_back({{"name", name},
                              {"file", file},
                              {"keys", {"signature", "exchange"}},
                              {"certificate", kSource + "/tests/fixtures/rsa-bench.der"}});
    }
    test::EnginePcsc pcsc(cardsim::Engine::FromJson({{"applet", "morvex"},
                                                     {"protocol", "T=1"},
                                                     {"pin", "123456"},
                                                     {"containers", containers}}));
    crypt::CardCryptApi crypt(pcsc, crypt::ProviderRegistry({tmp.Path()}));
    x509::OpenSslCertApi certApi;
    std::FILE* in = std::fopen((kSource + "/tests/fixtures/rsa-bench.der").c_str(), "rb");
    std::vector<std::uint8_t> der(4096);
    der.resize(in != nullptr ? std::fread(der.data(), 1, der.size(), in) : 0);
    if (in != nullptr) {
        std::fclose(in);
    }
    const x509::CertContext* cert = certApi.CertCreateCertificateContext(
        x509::kX509AsnEncoding, der.data(), static_cast<std::uint32_t>(der.size()));
    std::vector<registration::CardCertificate> certs;
    for (auto& record : records) {
        certs.push_back({cert, record});
    }
    store::SqliteStoreApi store(tmp.Path() + "/data/quorlin");
    Quiet quiet;
    for (auto _ : state) {
        keylink::Pkcs11KeyLinks links(crypt::ProviderRegistry({tmp.Path()}));
        std::string provider = "Morvex CSP Enterprise";
        registration::RegisterCertificates(crypt, store, provider, certs, u"MY", quiet, &links);
    }
    if (quiet.failed || (module && quiet.linked == 0)) {
        state.SkipWithError("the registration failed");
    }
    certApi.CertFreeCertificateContext(cert);
}
BENCHMARK(BM_Register)->ArgName("module")->Arg(0)->Arg(1)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
