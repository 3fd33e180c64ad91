#pragma once
// The certificates table: an entry per (store name, SHA-1 thumbprint) with the DER
// certificate and its key-provider property. Failures leave their code in the last error.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "interfaces/CertApi.h"

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
};

// Makes the table when it is not there yet. A store holds this table and nothing else.
extern const char* const kCertificateSchema;

// Adds the entry, or replaces the one with the same store and thumbprint, in one write
// transaction.
bool UpsertCertificate(sqlite3* db, const std::string& store, const std::string& thumbprint,
                       const x509::CertContext& cert, std::int64_t added);

// Entries of store (every store when empty) whose thumbprint starts with prefix, ordered
// by store and thumbprint.
std::optional<std::vector<StoredCertificate>> SelectCertificates(sqlite3* db,
                                                                 const std::string& prefix,
                                                                 const std::string& store);

// The number of entries removed.
std::optional<int> DeleteCertificates(sqlite3* db, const std::string& thumbprint,
                                      const std::string& store);

}  // namespace quorlin::store
