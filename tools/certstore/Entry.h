#pragma once
// The viewer's reading of one stored entry: what list, show and export make of its bytes.
// Every text here is printable UTF-8, whatever the store holds.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>
#include <vector>

#include "base/Utf8.h"
#include "platform/store/CertificateTable.h"

namespace quorlin::certview {

struct EntryView {
    std::string store;
    std::string thumbprint;
    // Empty when the entry holds one whole certificate under its own thumbprint; else why
    // not, and the certificate's fields below stay empty.
    std::string problem;
    std::string subject;
    std::string issuer;
    std::string serial;
    std::string notBefore;  // "YYYY-MM-DDTHH:MM:SSZ", or "?"
    std::string notAfter;
    std::string publicKey;         // "EC P-256 (256 bits)"
    std::string keyUsage;          // "-" without the extension
    std::string extendedKeyUsage;  // "-" without the extension
    std::string sha1;              // colon hex
    std::string sha256;
    bool hasKeyProvInfo = false;
    std::string provider;
    std::string container;
    std::string keySpec;  // "-" without the property
    std::uint32_t keySpecValue = 0;
    std::uint32_t provType = 0;
    std::uint32_t flags = 0;
    std::string added;
    std::size_t size = 0;
    bool hasPkcs11Link = false;  // any of the three below stored
    std::string pkcs11Module;
    std::string pkcs11CertificateUri;
    std::string pkcs11KeyUri;
};

EntryView ReadEntry(const store::StoredCertificate& entry);

// The columns of list, and the row of an entry without a problem.
std::vector<std::string> ListHeader();
std::vector<std::string> ListRow(const EntryView& view);

// What show prints of an entry without a problem, one field a line.
std::string ShowText(const EntryView& view);

// The entries as a JSON array for scripts, one object each, for list --json and show --json
// alike; an entry with a problem gives only its store, thumbprint and the problem.
std::string ListJson(const std::vector<EntryView>& views);

// The certificate as PEM; empty when the entry has a problem.
std::string ExportPem(const store::StoredCertificate& entry);
// The stored bytes; empty when the entry has a problem.
std::vector<std::uint8_t> ExportDer(const store::StoredCertificate& entry);

using base::Printable;

// A store's or a provider's code in words, for messages, which name no codes.
std::string FailureText(std::uint32_t code);

// Terminal columns of printable text by wcswidth, in the current locale when it is UTF-8,
// else in C.UTF-8; a character count when neither knows the text.
std::size_t DisplayWidth(std::string_view text);

}  // namespace quorlin::certview
