// Certificate contexts over OpenSSL: decoding what a card delivers, the simple display
// name and its cut, and the holder counting of contexts.

#include <gtest/gtest.h>

#include <cstring>
#include <string>

#include "platform/x509/OpenSslCertApi.h"
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

    std::string Name(const Bytes& der, std::uint32_t size = 128) {
        const CertContext* c = Decode(der);
        EXPECT_NE(c, nullptr);
        std::string buffer(size, '#');
        const std::uint32_t n =
            api.CertGetNameStringA(c, kCertNameSimpleDisplayType, 0, nullptr, buffer.data(), size);
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
    ASSERT_NE(Decode(der, kX509AsnEncoding), nullptr);

    Bytes cut(der.begin(), der.end() - 1);
    EXPECT_EQ(Decode(cut), nullptr);
    EXPECT_EQ(Decode(Bytes(200, 0x00)), nullptr);
    EXPECT_EQ(Decode(Bytes{0x30}), nullptr);
    EXPECT_EQ(Decode(der, kPkcs7AsnEncoding), nullptr);
    EXPECT_EQ(api.CertCreateCertificateContext(kEncoding, nullptr, 10), nullptr);
}

TEST_F(X509Test, SimpleDisplayNameFallsBackInItsOrder) {
    EXPECT_EQ(Name(MakeCertificate({{NID_organizationName, "Org"},
                                    {NID_organizationalUnitName, "Unit"},
                                    {NID_commonName, "Common"}})),
              "Common");
    EXPECT_EQ(Name(MakeCertificate({{NID_pkcs9_emailAddress, "a@b.example", V_ASN1_IA5STRING},
                                    {NID_organizationName, "Org"},
                                    {NID_organizationalUnitName, "Unit"}})),
              "Unit");
    EXPECT_EQ(Name(MakeCertificate({{NID_pkcs9_emailAddress, "a@b.example", V_ASN1_IA5STRING},
                                    {NID_organizationName, "Org"}})),
              "Org");
    EXPECT_EQ(Name(MakeCertificate({{NID_countryName, "TW", V_ASN1_PRINTABLESTRING},
                                    {NID_pkcs9_emailAddress, "a@b.example", V_ASN1_IA5STRING}})),
              "a@b.example");
    EXPECT_EQ(Name(MakeCertificate(
                  {{NID_countryName, "TW", V_ASN1_PRINTABLESTRING}, {NID_localityName, "Taipei"}})),
              "TW");
    EXPECT_EQ(Name(test::MakeNamelessCertificate()), "<failed>");
}

TEST_F(X509Test, NamesComeAsUtf8) {
    // 憑證 as a BMPString (UTF-16BE).
    const std::string bmp("\x61\x91\x8B\x49", 4);
    EXPECT_EQ(Name(MakeCertificate({{NID_commonName, bmp, V_ASN1_BMPSTRING}})), "憑證");
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
    EXPECT_EQ(api.CertGetNameStringA(c, kCertNameSimpleDisplayType, 0, nullptr, nullptr, 0),
              127u * 3 + 1);
    char buffer[16];
    EXPECT_EQ(api.CertGetNameStringA(c, 1, 0, nullptr, buffer, sizeof buffer), 0u);
    EXPECT_EQ(api.CertGetNameStringA(nullptr, kCertNameSimpleDisplayType, 0, nullptr, buffer,
                                     sizeof buffer),
              0u);
}

TEST_F(X509Test, DuplicateOutlivesTheOriginalsRelease) {
    const Bytes der = MakeCertificate("Shared");
    const CertContext* original = api.CertCreateCertificateContext(
        kEncoding, der.data(), static_cast<std::uint32_t>(der.size()));
    ASSERT_NE(original, nullptr);
    const CertContext* copy = api.CertDuplicateCertificateContext(original);
    EXPECT_EQ(copy, original);
    EXPECT_TRUE(api.CertFreeCertificateContext(original));
    EXPECT_EQ(OpenSslCertApi::LiveContexts(), 1u);
    char name[32];
    EXPECT_EQ(
        api.CertGetNameStringA(copy, kCertNameSimpleDisplayType, 0, nullptr, name, sizeof name),
        7u);
    EXPECT_EQ(copy->encoded, der);
    EXPECT_TRUE(api.CertFreeCertificateContext(copy));
    EXPECT_EQ(OpenSslCertApi::LiveContexts(), 0u);

    EXPECT_FALSE(api.CertFreeCertificateContext(copy));  // no longer known
    EXPECT_EQ(api.CertDuplicateCertificateContext(copy), nullptr);
    EXPECT_TRUE(api.CertFreeCertificateContext(nullptr));
    EXPECT_EQ(
        api.CertGetNameStringA(copy, kCertNameSimpleDisplayType, 0, nullptr, name, sizeof name),
        0u);
}

TEST_F(X509Test, ContextsOutliveTheAdapterObject) {
    const Bytes der = MakeCertificate("Lasting");
    const CertContext* c = nullptr;
    {
        OpenSslCertApi other;
        c = other.CertCreateCertificateContext(kEncoding, der.data(),
                                               static_cast<std::uint32_t>(der.size()));
    }
    ASSERT_NE(c, nullptr);
    EXPECT_EQ(Name(c->encoded), "Lasting");
    EXPECT_TRUE(api.CertFreeCertificateContext(c));
}

}  // namespace
}  // namespace quorlin::x509
