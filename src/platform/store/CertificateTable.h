#pragma once
// The certificates table: an entry per (store name, SHA-1 thumbprint) with the DER
// certificate, its key-provider property and its key's PKCS#11 link. Failures leave their
// code in the last error.

#include <array>
#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "interfaces/CertApi.h"
#include "interfaces/KeyLinkApi.h"
#include "platform/store/StoreDatabase.h"

struct sqlite3;

namespace quorlin::store {

// One entry as the viewer sees it.
struct StoredCertificate {
    std::string store;
    std::string thumbprint;  // 40 upper-case hex digits
    std::vector<std::uint8_t> der;
    bool hasKeyProvInfo = false;
    std::string container;  // UTF-8
    std::string provider;   // UTF-8
    std::uint32_t provType = 0;
    std::uint32_t flags = 0;
    std::uint32_t keySpec = 0;
    std::int64_t added = 0;  // seconds since the epoch
    // Where the key is found through a PKCS#11 module; empty when not linked (or read from
    // a store of a version before the link).
    std::string pkcs11Module;
    std::string pkcs11CertificateUri;
    std::string pkcs11KeyUri;
};

// The steps that make the table (SchemaSteps in StoreDatabase.h): version 1 the table,
// version 2 the key link's columns. A store holds this table and nothing else.
extern const std::array<const char*, kSchemaVersion> kCertificateSchema;

// Adds the entry, or replaces the one with the same store and thumbprint, in one write
// transaction. A replaced entry keeps no key link: the caller records it again.
bool UpsertCertificate(sqlite3* db, const std::string& store, const std::string& thumbprint,
                       const x509::CertContext& cert, std::int64_t added);

// Sets the key link of the entry in one write transaction; false with kCryptENotFound when
// there is no such entry.
bool UpdateKeyLink(sqlite3* db, const std::string& store, const std::string& thumbprint,
                   const keylink::Pkcs11Link& link);

// Entries of store (every store when empty) whose thumbprint starts with prefix, ordered
// by store and thumbprint.
std::optional<std::vector<StoredCertificate>> SelectCertificates(sqlite3* db,
                                                                 const std::string& prefix,
                                                                 const std::string& store);

// The number of entries removed.
std::optional<int> DeleteCertificates(sqlite3* db, const std::string& thumbprint,
                                      const std::string& store);

}  // namespace quorlin::store
