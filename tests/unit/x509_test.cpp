// Certificate contexts over OpenSSL: decoding what a card delivers, the simple display
// name and its cut, and the holder counting of contexts.

#include <gtest/gtest.h>

#include <cstring>
#include <string>
#include <thread>

#include <openssl/err.h>

#include "platform/x509/OpenSslCertApi.h"
#include "platform/x509/OpenSslCertDetails.h"
#include "query_certs.h"

namespace quorlin::x509 {
namespace {

using test::MakeCertificate;
using Bytes = std::vector<std::uint8_t>;
constexpr std::uint32_t kEncoding = kX509AsnEncoding | kPkcs7AsnEncoding;

class X509Test : public ::testing::Test {
  protected:
    void TearDown() override {
        for (const CertContext* c : held) {
            api.CertFreeCertificateContext(c);
        }
        EXPECT_EQ(OpenSslCertApi::LiveContexts(), 0u);
    }

    const CertContext* Decode(const Bytes& der, std::uint32_t encoding = kEncoding) {
        const CertContext* c = api.CertCreateCertificateContext(
            encoding, der.data(), static_cast<std::uint32_t>(der.size()));
        if (c != nullptr) {
            held.push_back(c);
        }
        return c;
    }

    std::uint32_t GetName(const CertContext* c, char* buffer, std::uint32_t size) {
        return api.CertGetNameStringA(c, kCertNameSimpleDisplayType, 0, nullptr, buffer, size);
    }

    std::string Name(const Bytes& der, std::uint32_t size = 128) {
        const CertContext* c = Decode(der);
        EXPECT_NE(c, nullptr);
        std::string buffer(size, '#');
        const std::uint32_t n = GetName(c, buffer.data(), size);
        if (n == 0) {
            return "<failed>";
        }
        EXPECT_EQ(n, std::strlen(buffer.c_str()) + 1);
        return buffer.c_str();
    }

    OpenSslCertApi api;
    std::vector<const CertContext*> held;
};

TEST_F(X509Test, DecodesTheCertificateAtTheStartAndKeepsOnlyIt) {
    const Bytes der = MakeCertificate("Alice");
    Bytes padded = der;
    padded.resize(der.size() + 51, 0x00);
    const CertContext* c = Decode(padded);
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(c->encoded, der);
    EXPECT_NE(Decode(der, kX509AsnEncoding), nullptr);

    EXPECT_EQ(Decode(Bytes(der.begin(), der.end() - 1)), nullptr);
    EXPECT_EQ(Decode(Bytes(200, 0x00)), nullptr);
    EXPECT_EQ(Decode(Bytes{0x30}), nullptr);
    EXPECT_EQ(Decode(der, kPkcs7AsnEncoding), nullptr);
    EXPECT_EQ(api.CertCreateCertificateContext(kEncoding, nullptr, 10), nullptr);
}

// On a thread of its own, as the dialog's side thread decodes.
TEST_F(X509Test, AFailedDecodeLeavesNoErrorOnTheThreadThatDecoded) {
    const Bytes cert = MakeCertificate("Queue");
    const Bytes cut(cert.begin(), cert.begin() + 40);
    std::thread([&] {
        EXPECT_EQ(Decode(cut), nullptr);
        EXPECT_EQ(ERR_peek_error(), 0u);
        EXPECT_EQ(DecodeCertDetails(cut), std::nullopt);
        EXPECT_EQ(ERR_peek_error(), 0u);
    }).join();
}

TEST_F(X509Test, SimpleDisplayNameFallsBackInItsOrder) {
    const test::NameEntry cn{NID_commonName, "Common"}, ou{NID_organizationalUnitName, "Unit"},
        o{NID_organizationName, "Org"},
        mail{NID_pkcs9_emailAddress, "a@b.example", V_ASN1_IA5STRING},
        c{NID_countryName, "TW", V_ASN1_PRINTABLESTRING}, l{NID_localityName, "Taipei"};
    const std::vector<std::pair<std::vector<test::NameEntry>, std::string>> cases = {
        {{o, ou, cn}, "Common"},
        {{mail, o, ou}, "Unit"},
        {{mail, o}, "Org"},
        {{c, mail}, "a@b.example"},
        {{c, l}, "TW"},
        {{}, "<failed>"},
        // 憑證 as a BMPString (UTF-16BE) comes out as UTF-8.
        {{{NID_commonName, std::string("\x61\x91\x8B\x49", 4), V_ASN1_BMPSTRING}}, "憑證"},
    };
    for (const auto& [subject, name] : cases) {
        EXPECT_EQ(Name(MakeCertificate(subject)), name);
    }
}

TEST_F(X509Test, NameIsCutBetweenCharacters) {
    EXPECT_EQ(Name(MakeCertificate(std::string(200, 'a'))), std::string(127, 'a'));
    EXPECT_EQ(Name(MakeCertificate(std::string(127, 'a'))), std::string(127, 'a'));
    std::string wide;
    for (int i = 0; i < 130; ++i) {
        wide += "證";
    }
    EXPECT_EQ(Name(MakeCertificate(wide), 1024), wide.substr(0, 127 * 3));
    // 128 bytes: 42 whole characters of three bytes, never a partial one.
    EXPECT_EQ(Name(MakeCertificate(wide), 128), wide.substr(0, 42 * 3));
    EXPECT_EQ(Name(MakeCertificate("a證"), 4), "a");
    EXPECT_EQ(Name(MakeCertificate("a證"), 1), "");

    const CertContext* c = Decode(MakeCertificate(wide));
    EXPECT_EQ(GetName(c, nullptr, 0), 127u * 3 + 1);
    char buffer[16];
    EXPECT_EQ(api.CertGetNameStringA(c, 1, 0, nullptr, buffer, sizeof buffer), 0u);
    EXPECT_EQ(GetName(nullptr, buffer, sizeof buffer), 0u);
}

TEST_F(X509Test, ContextsAreCountedHoldersAndOutliveTheAdapter) {
    const Bytes der = MakeCertificate("Shared");
    const CertContext* original = nullptr;
    {
        OpenSslCertApi other;
        original = other.CertCreateCertificateContext(kEncoding, der.data(),
                                                      static_cast<std::uint32_t>(der.size()));
    }
    ASSERT_NE(original, nullptr);
    const CertContext* copy = api.CertDuplicateCertificateContext(original);
    EXPECT_EQ(copy, original);
    EXPECT_TRUE(api.CertFreeCertificateContext(original));
    EXPECT_EQ(OpenSslCertApi::LiveContexts(), 1u);
    char name[32];
    EXPECT_EQ(GetName(copy, name, sizeof name), 7u);
    EXPECT_EQ(copy->encoded, der);
    EXPECT_TRUE(api.CertFreeCertificateContext(copy));
    EXPECT_EQ(OpenSslCertApi::LiveContexts(), 0u);

    EXPECT_FALSE(api.CertFreeCertificateContext(copy));  // no longer known
    EXPECT_EQ(api.CertDuplicateCertificateContext(copy), nullptr);
    EXPECT_TRUE(api.CertFreeCertificateContext(nullptr));
    EXPECT_EQ(GetName(copy, name, sizeof name), 0u);
}

}  // namespace
}  // namespace quorlin::x509
