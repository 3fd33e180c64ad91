#include "platform/store/CertificateTable.h"

#include <sqlite3.h>

#include "interfaces/LastError.h"
#include "platform/store/StoreDatabase.h"

namespace quorlin::store {

// Rows carry a whole certificate, so they live in a rowid table (large rows in a
// WITHOUT ROWID table would sit in its key b-tree); the unique key finds the entry.
const char* const kCertificateSchema =
    "CREATE TABLE IF NOT EXISTS certificates ("
    " id INTEGER PRIMARY KEY,"
    " store TEXT NOT NULL,"
    " thumbprint TEXT NOT NULL,"
    " der BLOB NOT NULL,"
    " container TEXT,"
    " provider TEXT,"
    " prov_type INTEGER,"
    " prov_flags INTEGER,"
    " key_spec INTEGER,"
    " added INTEGER NOT NULL,"
    " UNIQUE (store, thumbprint))";

namespace {

constexpr const char* kUpsert =
    "INSERT INTO certificates"
    " (store, thumbprint, der, container, provider, prov_type, prov_flags, key_spec, added)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)"
    " ON CONFLICT (store, thumbprint) DO UPDATE SET der = excluded.der,"
    " container = excluded.container, provider = excluded.provider,"
    " prov_type = excluded.prov_type, prov_flags = excluded.prov_flags,"
    " key_spec = excluded.key_spec, added = excluded.added";

constexpr const char* kSelect =
    "SELECT store, thumbprint, der, container, provider, prov_type, prov_flags, key_spec,"
    " added FROM certificates"
    " WHERE (?1 = '' OR store = ?1) AND substr(thumbprint, 1, length(?2)) = ?2"
    " ORDER BY store, thumbprint";

constexpr const char* kDelete =
    "DELETE FROM certificates WHERE thumbprint = ?1 AND (?2 = '' OR store = ?2)";

void BindText(sqlite3_stmt* s, int index, const std::string& text) {
    sqlite3_bind_text(s, index, text.c_str(), -1, SQLITE_TRANSIENT);
}

void BindText16(sqlite3_stmt* s, int index, const std::u16string& text) {
    sqlite3_bind_text16(s, index, text.c_str(), static_cast<int>(text.size() * sizeof(char16_t)),
                        SQLITE_TRANSIENT);
}

std::string ColumnText(sqlite3_stmt* s, int column) {
    const unsigned char* t = sqlite3_column_text(s, column);
    return t != nullptr ? std::string(reinterpret_cast<const char*>(t)) : std::string();
}

void ReadRow(sqlite3_stmt* s, StoredCertificate& c) {
    c.store = ColumnText(s, 0);
    c.thumbprint = ColumnText(s, 1);
    // An empty value has no address.
    if (const auto* der = static_cast<const std::uint8_t*>(sqlite3_column_blob(s, 2))) {
        c.der.assign(der, der + sqlite3_column_bytes(s, 2));
    }
    c.hasKeyProvInfo = sqlite3_column_type(s, 5) != SQLITE_NULL;
    c.container = ColumnText(s, 3);
    c.provider = ColumnText(s, 4);
    c.provType = static_cast<std::uint32_t>(sqlite3_column_int64(s, 5));
    c.flags = static_cast<std::uint32_t>(sqlite3_column_int64(s, 6));
    c.keySpec = static_cast<std::uint32_t>(sqlite3_column_int64(s, 7));
    c.added = sqlite3_column_int64(s, 8);
}

}  // namespace

bool UpsertCertificate(sqlite3* db, const std::string& store, const std::string& thumbprint,
                       const x509::CertContext& cert, std::int64_t added) {
    return WriteTransaction(db, [&](Statement& stmt) {
        stmt = Prepare(db, kUpsert);
        sqlite3_stmt* s = stmt.get();
        if (s == nullptr) {
            return false;
        }
        BindText(s, 1, store);
        BindText(s, 2, thumbprint);
        sqlite3_bind_blob(s, 3, cert.encoded.data(), static_cast<int>(cert.encoded.size()),
                          SQLITE_TRANSIENT);
        if (const auto& p = cert.keyProvInfo) {
            BindText16(s, 4, p->containerName);
            BindText16(s, 5, p->provName);
            sqlite3_bind_int64(s, 6, p->provType);
            sqlite3_bind_int64(s, 7, p->flags);
            sqlite3_bind_int64(s, 8, p->keySpec);
        }
        sqlite3_bind_int64(s, 9, added);
        return sqlite3_step(s) == SQLITE_DONE;
    });
}

std::optional<std::vector<StoredCertificate>> SelectCertificates(sqlite3* db,
                                                                 const std::string& prefix,
                                                                 const std::string& store) {
    const Statement stmt = Prepare(db, kSelect);
    std::vector<StoredCertificate> out;
    int rc = SQLITE_ERROR;
    if (stmt != nullptr) {
        BindText(stmt.get(), 1, store);
        BindText(stmt.get(), 2, prefix);
        while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
            out.emplace_back();
            ReadRow(stmt.get(), out.back());
        }
    }
    if (rc != SQLITE_DONE) {
        SetLastError(LastDbError(db));
        return std::nullopt;
    }
    return out;
}

std::optional<int> DeleteCertificates(sqlite3* db, const std::string& thumbprint,
                                      const std::string& store) {
    int removed = 0;
    const bool ok = WriteTransaction(db, [&](Statement& stmt) {
        stmt = Prepare(db, kDelete);
        if (stmt == nullptr) {
            return false;
        }
        BindText(stmt.get(), 1, thumbprint);
        BindText(stmt.get(), 2, store);
        const bool done = sqlite3_step(stmt.get()) == SQLITE_DONE;
        removed = sqlite3_changes(db);
        return done;
    });
    if (!ok) {
        return std::nullopt;
    }
    return removed;
}

}  // namespace quorlin::store
