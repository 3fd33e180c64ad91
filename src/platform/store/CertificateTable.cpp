#include "platform/store/CertificateTable.h"

#include <sqlite3.h>

#include "interfaces/LastError.h"
#include "platform/store/StoreDatabase.h"

namespace quorlin::store {

// Rows carry a whole certificate, so they live in a rowid table (large rows in a
// WITHOUT ROWID table would sit in its key b-tree); the unique key finds the entry.
// Never edited once released: a store of each version is recognised by what its steps
// made.
const std::array<const char*, kSchemaVersion> kCertificateSchema = {
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
    " UNIQUE (store, thumbprint))",
    "ALTER TABLE certificates ADD COLUMN pkcs11_module TEXT;"
    " ALTER TABLE certificates ADD COLUMN pkcs11_certificate_uri TEXT;"
    " ALTER TABLE certificates ADD COLUMN pkcs11_key_uri TEXT",
};

namespace {

constexpr const char* kUpsert =
    "INSERT INTO certificates"
    " (store, thumbprint, der, container, provider, prov_type, prov_flags, key_spec, added)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)"
    " ON CONFLICT (store, thumbprint) DO UPDATE SET der = excluded.der,"
    " container = excluded.container, provider = excluded.provider,"
    " prov_type = excluded.prov_type, prov_flags = excluded.prov_flags,"
    " key_spec = excluded.key_spec, added = excluded.added, pkcs11_module = NULL,"
    " pkcs11_certificate_uri = NULL, pkcs11_key_uri = NULL";

constexpr const char* kLinkColumns = "pkcs11_module, pkcs11_certificate_uri, pkcs11_key_uri";

constexpr const char* kSelect =
    "SELECT store, thumbprint, der, container, provider, prov_type, prov_flags, key_spec,"
    " added, %s FROM certificates"
    " WHERE (?1 = '' OR store = ?1) AND substr(thumbprint, 1, length(?2)) = ?2"
    " ORDER BY store, thumbprint";

constexpr const char* kHasLink =
    "SELECT count(*) FROM pragma_table_info('certificates') WHERE name = 'pkcs11_key_uri'";

constexpr const char* kUpdateLink =
    "UPDATE certificates SET pkcs11_module = ?3, pkcs11_certificate_uri = ?4,"
    " pkcs11_key_uri = ?5 WHERE store = ?1 AND thumbprint = ?2";

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
    c.pkcs11Module = ColumnText(s, 9);
    c.pkcs11CertificateUri = ColumnText(s, 10);
    c.pkcs11KeyUri = ColumnText(s, 11);
}

// The select for what the table has: a store read as it is may be of version 1, or later.
Statement PrepareSelect(sqlite3* db) {
    const Statement has = Prepare(db, kHasLink);
    if (has == nullptr || sqlite3_step(has.get()) != SQLITE_ROW) {
        return nullptr;
    }
    const bool linked = sqlite3_column_int64(has.get(), 0) > 0;
    std::string sql = kSelect;
    sql.replace(sql.find("%s"), 2, linked ? kLinkColumns : "NULL, NULL, NULL");
    return Prepare(db, sql.c_str());
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

bool UpdateKeyLink(sqlite3* db, const std::string& store, const std::string& thumbprint,
                   const keylink::Pkcs11Link& link) {
    int changed = 0;
    const bool ok = WriteTransaction(db, [&](Statement& stmt) {
        stmt = Prepare(db, kUpdateLink);
        if (stmt == nullptr) {
            return false;
        }
        BindText(stmt.get(), 1, store);
        BindText(stmt.get(), 2, thumbprint);
        BindText(stmt.get(), 3, link.module);
        BindText(stmt.get(), 4, link.certificateUri);
        BindText(stmt.get(), 5, link.keyUri);
        const bool done = sqlite3_step(stmt.get()) == SQLITE_DONE;
        changed = sqlite3_changes(db);
        return done;
    });
    if (ok && changed == 0) {
        SetLastError(kCryptENotFound);
    }
    return ok && changed > 0;
}

std::optional<std::vector<StoredCertificate>> SelectCertificates(sqlite3* db,
                                                                 const std::string& prefix,
                                                                 const std::string& store) {
    const Statement stmt = PrepareSelect(db);
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
