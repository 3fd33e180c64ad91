// Arbitrary stored bytes through the viewer's reading of one entry: it never crashes; every
// text it prints is valid UTF-8 without control characters; an entry without a problem
// exports as PEM that reads back to exactly the stored bytes, one with a problem exports
// nothing.
//
// Input: byte 0, bit 0: the thumbprint is the SHA-1 of the certificate bytes (else a field
// of its own); bit 1: the entry has the key-provider property; bit 2: it has a key link.
// Then the fields store, [thumbprint,] container, provider [, PKCS#11 module, certificate
// URI and key URI], each a length byte and that many bytes; then 20 bytes of numbers
// (type, flags, key spec, added); the rest is the certificate.

#include <iconv.h>
#include <openssl/bio.h>
#include <openssl/pem.h>

#include <algorithm>
#include <cstddef>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "Entry.h"
#include "platform/store/SqliteStoreApi.h"

namespace {

namespace certview = quorlin::certview;
using quorlin::store::StoredCertificate;

// A broken promise: the line is what the finding's report needs.
void Check(bool ok, int line = __builtin_LINE()) {
    if (!ok) {
        std::fprintf(stderr, "check failed at line %d\n", line);
        std::abort();
    }
}

class Input {
  public:
    Input(const std::uint8_t* data, std::size_t size) : m_data(data), m_size(size) {}
    std::string Field() {
        const std::size_t n = m_at < m_size ? std::min<std::size_t>(m_data[m_at++], Left()) : 0;
        return Take(n);
    }
    std::uint64_t Number(std::size_t bytes) {
        std::uint64_t value = 0;
        for (std::size_t k = 0; k < bytes && m_at < m_size; ++k) {
            value = value << 8 | m_data[m_at++];
        }
        return value;
    }
    std::string Take(std::size_t n) {
        std::string out(reinterpret_cast<const char*>(m_data + m_at), n);
        m_at += n;
        return out;
    }
    std::size_t Left() const { return m_size - m_at; }

  private:
    const std::uint8_t* m_data;
    std::size_t m_size;
    std::size_t m_at = 0;
};

// Well-formed UTF-8 as iconv judges it (no overlong forms, no surrogates), with no C0 or
// C1 control character, no DEL and no bidi control.
bool Printable(const std::string& text) {
    static iconv_t cd = iconv_open("UTF-32LE", "UTF-8");
    Check(cd != reinterpret_cast<iconv_t>(-1));
    std::vector<char> out(4 * text.size() + 4);
    char* in = const_cast<char*>(text.data());
    char* to = out.data();
    std::size_t inLeft = text.size(), outLeft = out.size();
    iconv(cd, nullptr, nullptr, nullptr, nullptr);
    if (iconv(cd, &in, &inLeft, &to, &outLeft) == static_cast<std::size_t>(-1) || inLeft != 0) {
        return false;
    }
    for (const char* p = out.data(); p < to; p += 4) {
        std::uint32_t cp = 0;
        std::memcpy(&cp, p, 4);
        if (cp < 0x20 || (cp >= 0x7F && cp < 0xA0) || (cp >= 0x202A && cp <= 0x202E) ||
            (cp >= 0x2066 && cp <= 0x2069)) {
            return false;
        }
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* data, std::size_t size) {
    if (size == 0) {
        return 0;
    }
    Input input(data + 1, size - 1);
    StoredCertificate entry;
    entry.store = input.Field();
    const bool ownThumbprint = (data[0] & 0x01) != 0;
    if (!ownThumbprint) {
        entry.thumbprint = input.Field();
    }
    entry.hasKeyProvInfo = (data[0] & 0x02) != 0;
    entry.container = input.Field();
    entry.provider = input.Field();
    if ((data[0] & 0x04) != 0) {
        entry.pkcs11Module = input.Field();
        entry.pkcs11CertificateUri = input.Field();
        entry.pkcs11KeyUri = input.Field();
    }
    entry.provType = static_cast<std::uint32_t>(input.Number(4));
    entry.flags = static_cast<std::uint32_t>(input.Number(4));
    entry.keySpec = static_cast<std::uint32_t>(input.Number(4));
    entry.added = static_cast<std::int64_t>(input.Number(8));
    const std::string der = input.Take(input.Left());
    entry.der.assign(der.begin(), der.end());
    if (ownThumbprint) {
        entry.thumbprint = quorlin::store::SqliteStoreApi::Thumbprint(entry.der);
    }

    const certview::EntryView v = certview::ReadEntry(entry);
    for (const std::string* text :
         {&v.store, &v.thumbprint, &v.problem, &v.subject, &v.issuer, &v.serial, &v.notBefore,
          &v.notAfter, &v.provider, &v.container, &v.keySpec, &v.added, &v.pkcs11Module,
          &v.pkcs11CertificateUri, &v.pkcs11KeyUri}) {
        Check(Printable(*text));
    }
    Check(v.size == entry.der.size());
    const std::string pem = certview::ExportPem(entry);
    if (!v.problem.empty()) {
        Check(pem.empty() && v.subject.empty());
        return 0;
    }
    const std::vector<std::string> row = certview::ListRow(v);
    Check(row.size() == certview::ListHeader().size());
    for (const std::string& cell : row) {
        Check(Printable(cell) && certview::DisplayWidth(cell) <= 2 * cell.size());
    }
    const std::string show = certview::ShowText(v);
    for (std::size_t at = 0, end; at < show.size(); at = end + 1) {
        end = show.find('\n', at);
        Check(end != std::string::npos && Printable(show.substr(at, end - at)));
    }

    std::unique_ptr<BIO, decltype(&BIO_free)> bio(
        BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())), BIO_free);
    char* name = nullptr;
    char* header = nullptr;
    unsigned char* back = nullptr;
    long length = 0;
    Check(PEM_read_bio(bio.get(), &name, &header, &back, &length) == 1);
    Check(std::strcmp(name, PEM_STRING_X509) == 0 && *header == '\0');
    Check(static_cast<std::size_t>(length) == entry.der.size() &&
          std::memcmp(back, entry.der.data(), entry.der.size()) == 0);
    OPENSSL_free(name);
    OPENSSL_free(header);
    OPENSSL_free(back);
    return 0;
}
