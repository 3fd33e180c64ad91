#include "platform/store/SqliteStoreApi.h"

#include <fcntl.h>
#include <openssl/evp.h>
#include <openssl/x509.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <memory>

#include "platform/LastError.h"

namespace quorlin::store {

// What a store handle is: its own connection, so that stores close independently.
struct CertStore {
    sqlite3* db = nullptr;
    std::string name;
};

namespace {

constexpr int kBusyTimeoutMs = 10000;
constexpr std::size_t kMaxStoreName = 64;
constexpr std::uint32_t kLocationMask = 0x00FF0000u;

// Rows carry a whole certificate, so they live in a rowid table (large rows in a
// WITHOUT ROWID table would sit in its key b-tree); the unique key finds the entry.
constexpr const char* kSchema =
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

constexpr const char* kUpsert =
    "INSERT INTO certificates"
    " (store, thumbprint, der, container, provider, prov_type, prov_flags, key_spec, added)"
    " VALUES (?1, ?2, ?3, ?4, ?5, ?6, ?7, ?8, ?9)"
    " ON CONFLICT (store, thumbprint) DO UPDATE SET der = excluded.der,"
    " container = excluded.container, provider = excluded.provider,"
    " prov_type = excluded.prov_type, prov_flags = excluded.prov_flags,"
    " key_spec = excluded.key_spec, added = excluded.added";

struct StmtDeleter {
    void operator()(sqlite3_stmt* s) const { sqlite3_finalize(s); }
};
using Stmt = std::unique_ptr<sqlite3_stmt, StmtDeleter>;

std::uint32_t MapErrno(int err) {
    switch (err) {
        case EACCES:
        case EPERM:
        case EROFS:
            return kEAccessDenied;
        case ENOSPC:
        case EDQUOT:
            return kEDiskFull;
        case ENOENT:
        case ENOTDIR:
            return kEPathNotFound;
        case ENOMEM:
            return kEOutOfMemory;
        default:
            return kEFail;
    }
}

std::uint32_t LastDbError(sqlite3* db) {
    return MapSqliteError(sqlite3_extended_errcode(db), sqlite3_system_errno(db));
}

bool Exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

// Keeps the failed step's error as the last error, then undoes whatever the transaction did.
void AbandonTransaction(sqlite3* db, Stmt& stmt) {
    const std::uint32_t error = LastDbError(db);
    stmt.reset();
    if (sqlite3_get_autocommit(db) == 0) {
        Exec(db, "ROLLBACK");
    }
    SetLastError(error);
}

// Switching to WAL answers SQLITE_BUSY at once while another connection holds a lock: the
// busy handler is not consulted there, so wait it out here, for as long as the handler would.
bool EnableWal(sqlite3* db, int timeoutMs) {
    constexpr int kPauseMs = 5;
    for (int waited = 0;; waited += kPauseMs) {
        const int rc = sqlite3_exec(db, "PRAGMA journal_mode = WAL", nullptr, nullptr, nullptr);
        if (rc == SQLITE_OK) {
            return true;
        }
        if ((rc & 0xFF) != SQLITE_BUSY || waited >= timeoutMs) {
            return false;
        }
        sqlite3_sleep(kPauseMs);
    }
}

// mkdir -p, each directory made here 0700 whatever the umask.
bool MakeDirectories(const std::string& path, int* err) {
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) {
            continue;
        }
        if (::mkdir(partial.c_str(), 0700) == 0) {
            if (::chmod(partial.c_str(), 0700) != 0) {
                *err = errno;
                return false;
            }
        } else if (errno != EEXIST) {
            *err = errno;
            return false;
        }
    }
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0 || !S_ISDIR(st.st_mode)) {
        *err = ENOTDIR;
        return false;
    }
    return true;
}

std::string UriEscape(const std::string& path) {
    std::string out;
    for (unsigned char c : path) {
        if (c == '%' || c == '?' || c == '#' || c < 0x20 || c >= 0x7F) {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        } else {
            out.push_back(static_cast<char>(c));
        }
    }
    return out;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

void ReadRow(sqlite3_stmt* s, StoredCertificate& c) {
    auto text = [&](int col) {
        const unsigned char* t = sqlite3_column_text(s, col);
        return t != nullptr ? std::string(reinterpret_cast<const char*>(t)) : std::string();
    };
    c.store = text(0);
    c.thumbprint = text(1);
    const auto* der = static_cast<const std::uint8_t*>(sqlite3_column_blob(s, 2));
    c.der.assign(der, der + sqlite3_column_bytes(s, 2));
    c.hasKeyProvInfo = sqlite3_column_type(s, 5) != SQLITE_NULL;
    c.container = text(3);
    c.provider = text(4);
    c.provType = static_cast<std::uint32_t>(sqlite3_column_int64(s, 5));
    c.flags = static_cast<std::uint32_t>(sqlite3_column_int64(s, 6));
    c.keySpec = static_cast<std::uint32_t>(sqlite3_column_int64(s, 7));
    c.added = sqlite3_column_int64(s, 8);
}

// 1 when the certificates table exists, 0 when the database has none yet (its first
// open stopped before making it, or is still at it), -1 when the schema cannot be read.
int HasCertificateTable(sqlite3* db) {
    sqlite3_stmt* raw = nullptr;
    if (sqlite3_prepare_v2(db,
                           "SELECT 1 FROM sqlite_master WHERE type = 'table'"
                           " AND name = 'certificates'",
                           -1, &raw, nullptr) != SQLITE_OK) {
        return -1;
    }
    Stmt stmt(raw);
    const int rc = sqlite3_step(raw);
    return rc == SQLITE_ROW ? 1 : rc == SQLITE_DONE ? 0 : -1;
}

}  // namespace

std::uint32_t MapSqliteError(int code, int systemErrno) {
    switch (code & 0xFF) {
        case SQLITE_OK:
            return 0;
        case SQLITE_BUSY:
        case SQLITE_LOCKED:
            return kEBusy;
        case SQLITE_FULL:
            return kEDiskFull;
        case SQLITE_NOMEM:
            return kEOutOfMemory;
        case SQLITE_READONLY:
        case SQLITE_PERM:
        case SQLITE_AUTH:
            return kEAccessDenied;
        case SQLITE_CORRUPT:
        case SQLITE_NOTADB:
            return kEFileCorrupt;
        case SQLITE_CANTOPEN:
        case SQLITE_IOERR: {
            const std::uint32_t mapped = MapErrno(systemErrno);
            if (mapped != kEFail) {
                return mapped;
            }
            return (code & 0xFF) == SQLITE_CANTOPEN ? kEAccessDenied : kEFail;
        }
        default:
            return kEFail;
    }
}

SqliteStoreApi::SqliteStoreApi() : m_directory(DefaultDirectory()) {}

SqliteStoreApi::SqliteStoreApi(std::string directory) : m_directory(std::move(directory)) {}

SqliteStoreApi::~SqliteStoreApi() {
    for (HCERTSTORE store : m_open) {
        sqlite3_close_v2(store->db);
        delete store;
    }
}

std::string SqliteStoreApi::DefaultDirectory() {
    const char* data = std::getenv("XDG_DATA_HOME");
    if (data != nullptr && *data == '/') {
        return std::string(data) + "/quorlin";
    }
    const char* home = std::getenv("HOME");
    return std::string(home != nullptr ? home : "") + "/.local/share/quorlin";
}

std::string SqliteStoreApi::DatabasePath() const {
    return m_directory + "/" + kDatabaseFileName;
}

std::string SqliteStoreApi::NormaliseStoreName(const std::u16string& name) {
    if (name.empty() || name.size() > kMaxStoreName) {
        return {};
    }
    std::string out;
    for (char16_t c : name) {
        if (c < 0x20 || c > 0x7E) {
            return {};
        }
        out.push_back(static_cast<char>(c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c));
    }
    return out;
}

std::string SqliteStoreApi::Thumbprint(const std::vector<std::uint8_t>& der) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(der.data(), der.size(), digest, &length, EVP_sha1(), nullptr) != 1) {
        return {};
    }
    static constexpr char kDigits[] = "0123456789ABCDEF";
    std::string out;
    for (unsigned int k = 0; k < length; ++k) {
        out.push_back(kDigits[digest[k] >> 4]);
        out.push_back(kDigits[digest[k] & 0x0F]);
    }
    return out;
}

sqlite3* SqliteStoreApi::OpenDatabase(Mode mode) {
    const bool create = mode == Mode::kCreate;
    const std::string path = DatabasePath();
    if (create) {
        int err = 0;
        if (!MakeDirectories(m_directory, &err)) {
            SetLastError(MapErrno(err));
            return nullptr;
        }
        // Made here rather than by SQLite, which would give it 0644; the WAL and
        // shared-memory files take the database file's mode.
        const int fd =
            ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
        if (fd >= 0) {
            const bool ok = ::fchmod(fd, 0600) == 0;
            err = errno;
            ::close(fd);
            if (!ok) {
                SetLastError(MapErrno(err));
                return nullptr;
            }
        } else if (errno != EEXIST) {
            SetLastError(MapErrno(errno));
            return nullptr;
        }
    }

    // A WAL database needs its shared-memory file, which a read-only directory may not
    // let it make: the directory is then the cause to report, whatever SQLite met first.
    auto fail = [&](sqlite3* db) -> sqlite3* {
        std::uint32_t error = db != nullptr ? LastDbError(db) : kEOutOfMemory;
        if (::access(m_directory.c_str(), W_OK) != 0 && (errno == EACCES || errno == EROFS)) {
            error = kEAccessDenied;
        }
        SetLastError(error);
        sqlite3_close_v2(db);
        return nullptr;
    };
    sqlite3* db = nullptr;
    const int openFlags =
        (mode == Mode::kRead ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) | SQLITE_OPEN_NOFOLLOW;
    if (sqlite3_open_v2(path.c_str(), &db, openFlags, nullptr) != SQLITE_OK) {
        return fail(db);
    }
    sqlite3_extended_result_codes(db, 1);
    sqlite3_busy_timeout(db, kBusyTimeoutMs);
    // FULL: a committed add survives a power loss too, not only a killed process.
    bool ok = mode == Mode::kRead || Exec(db, "PRAGMA synchronous = FULL");
    if (ok && create) {
        ok = EnableWal(db, kBusyTimeoutMs) && Exec(db, "BEGIN IMMEDIATE") && Exec(db, kSchema) &&
             Exec(db, "COMMIT");
    }
    if (ok && mode == Mode::kRead) {
        ok = Exec(db, "SELECT count(*) FROM sqlite_master");
        // Reading a WAL database makes its shared-memory file, which a read-only
        // directory refuses. With no WAL file left, everything committed is in the
        // database file, which can then be read as it stands.
        if (!ok && !FileExists(path + "-wal")) {
            sqlite3_close_v2(db);
            db = nullptr;
            const std::string uri = "file:" + UriEscape(path) + "?immutable=1";
            ok = sqlite3_open_v2(uri.c_str(), &db, openFlags | SQLITE_OPEN_URI, nullptr) ==
                     SQLITE_OK &&
                 Exec(db, "SELECT count(*) FROM sqlite_master");
        }
    }
    if (!ok) {
        return fail(db);
    }
    return db;
}

HCERTSTORE SqliteStoreApi::CertOpenStore(std::uint32_t storeProvider, std::uint32_t, std::uintptr_t,
                                         std::uint32_t flags, const char16_t* storeName) {
    if (storeProvider != kCertStoreProvSystemW || (flags & kLocationMask) != flags ||
        flags != kCertSystemStoreCurrentUser || storeName == nullptr) {
        SetLastError(kEInvalidArg);
        return nullptr;
    }
    const std::string name = NormaliseStoreName(storeName);
    if (name.empty()) {
        SetLastError(kEInvalidArg);
        return nullptr;
    }
    sqlite3* db = OpenDatabase(Mode::kCreate);
    if (db == nullptr) {
        return nullptr;
    }
    auto* store = new CertStore{db, name};
    m_open.insert(store);
    return store;
}

bool SqliteStoreApi::CertSetCertificateContextProperty(const x509::CertContext* cert,
                                                       std::uint32_t propId, std::uint32_t flags,
                                                       const void* data) {
    if (cert == nullptr || propId != kCertKeyProvInfoPropId || flags != 0) {
        SetLastError(kEInvalidArg);
        return false;
    }
    if (data == nullptr) {
        cert->keyProvInfo.reset();  // no data removes the property
        return true;
    }
    const auto* info = static_cast<const x509::CryptKeyProvInfo*>(data);
    x509::KeyProvProperty property;
    if (info->pwszContainerName != nullptr) {
        property.containerName = info->pwszContainerName;
    }
    if (info->pwszProvName != nullptr) {
        property.provName = info->pwszProvName;
    }
    property.provType = info->dwProvType;
    property.flags = info->dwFlags;
    property.keySpec = info->dwKeySpec;
    cert->keyProvInfo = std::move(property);
    return true;
}

bool SqliteStoreApi::CertAddCertificateContextToStore(HCERTSTORE store,
                                                      const x509::CertContext* cert,
                                                      std::uint32_t disposition,
                                                      const x509::CertContext** storeContext) {
    if (storeContext != nullptr) {
        *storeContext = nullptr;
    }
    if (store == nullptr || m_open.count(store) == 0) {
        SetLastError(kEInvalidHandle);
        return false;
    }
    // Only replacing adds: the store keeps one entry per certificate. No store copy of
    // the context is handed out.
    if (cert == nullptr || disposition != kCertStoreAddReplaceExisting || storeContext != nullptr) {
        SetLastError(kEInvalidArg);
        return false;
    }
    {
        const unsigned char* p = cert->encoded.data();
        X509* x = d2i_X509(nullptr, &p, static_cast<long>(cert->encoded.size()));
        const bool whole = x != nullptr && p == cert->encoded.data() + cert->encoded.size();
        X509_free(x);
        if (!whole) {
            SetLastError(kCryptEAsn1BadTag);
            return false;
        }
    }
    const std::string thumbprint = Thumbprint(cert->encoded);
    if (thumbprint.empty()) {
        SetLastError(kEFail);
        return false;
    }

    sqlite3* db = store->db;
    sqlite3_stmt* raw = nullptr;
    // BEGIN IMMEDIATE takes the write lock up front, waiting out other writers; a deferred
    // transaction that read first would get SQLITE_BUSY without waiting.
    bool ok = Exec(db, "BEGIN IMMEDIATE") &&
              sqlite3_prepare_v2(db, kUpsert, -1, &raw, nullptr) == SQLITE_OK;
    Stmt stmt(raw);
    if (ok) {
        sqlite3_stmt* s = stmt.get();
        sqlite3_bind_text(s, 1, store->name.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(s, 2, thumbprint.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_blob(s, 3, cert->encoded.data(), static_cast<int>(cert->encoded.size()),
                          SQLITE_TRANSIENT);
        if (const auto& p = cert->keyProvInfo) {
            sqlite3_bind_text16(s, 4, p->containerName.c_str(),
                                static_cast<int>(p->containerName.size() * sizeof(char16_t)),
                                SQLITE_TRANSIENT);
            sqlite3_bind_text16(s, 5, p->provName.c_str(),
                                static_cast<int>(p->provName.size() * sizeof(char16_t)),
                                SQLITE_TRANSIENT);
            sqlite3_bind_int64(s, 6, p->provType);
            sqlite3_bind_int64(s, 7, p->flags);
            sqlite3_bind_int64(s, 8, p->keySpec);
        }
        sqlite3_bind_int64(s, 9, static_cast<sqlite3_int64>(std::time(nullptr)));
        ok = sqlite3_step(s) == SQLITE_DONE;
    }
    if (ok) {
        stmt.reset();
        ok = Exec(db, "COMMIT");
    }
    if (!ok) {
        AbandonTransaction(db, stmt);
        return false;
    }
    return true;
}

bool SqliteStoreApi::CertCloseStore(HCERTSTORE store, std::uint32_t) {
    if (store == nullptr) {
        return true;
    }
    if (m_open.erase(store) == 0) {
        SetLastError(kEInvalidHandle);
        return false;
    }
    sqlite3_close_v2(store->db);
    delete store;
    return true;
}

std::optional<sqlite3*> SqliteStoreApi::OpenExisting(Mode mode) {
    if (!FileExists(DatabasePath())) {
        return nullptr;
    }
    sqlite3* db = OpenDatabase(mode);
    if (db == nullptr) {
        return std::nullopt;
    }
    const int table = HasCertificateTable(db);
    if (table > 0) {
        return db;
    }
    if (table < 0) {
        SetLastError(LastDbError(db));
    }
    sqlite3_close_v2(db);
    return table < 0 ? std::nullopt : std::optional<sqlite3*>(nullptr);
}

std::optional<std::vector<StoredCertificate>> SqliteStoreApi::Query(const std::string& prefix,
                                                                    const std::string& storeName) {
    std::vector<StoredCertificate> out;
    const std::optional<sqlite3*> opened = OpenExisting(Mode::kRead);
    if (!opened) {
        return std::nullopt;
    }
    sqlite3* db = *opened;
    if (db == nullptr) {
        return out;
    }
    sqlite3_stmt* raw = nullptr;
    const char* sql =
        "SELECT store, thumbprint, der, container, provider, prov_type, prov_flags, key_spec,"
        " added FROM certificates"
        " WHERE (?1 = '' OR store = ?1) AND substr(thumbprint, 1, length(?2)) = ?2"
        " ORDER BY store, thumbprint";
    bool ok = sqlite3_prepare_v2(db, sql, -1, &raw, nullptr) == SQLITE_OK;
    Stmt stmt(raw);
    if (ok) {
        sqlite3_bind_text(raw, 1, storeName.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(raw, 2, prefix.c_str(), -1, SQLITE_TRANSIENT);
        int rc = SQLITE_ROW;
        while ((rc = sqlite3_step(raw)) == SQLITE_ROW) {
            out.emplace_back();
            ReadRow(raw, out.back());
        }
        ok = rc == SQLITE_DONE;
    }
    if (!ok) {
        SetLastError(LastDbError(db));
    }
    stmt.reset();
    sqlite3_close_v2(db);
    if (!ok) {
        return std::nullopt;
    }
    return out;
}

std::optional<std::vector<StoredCertificate>> SqliteStoreApi::List(const std::string& storeName) {
    return Query("", storeName);
}

std::optional<std::vector<StoredCertificate>> SqliteStoreApi::Find(
    const std::string& thumbprintPrefix, const std::string& storeName) {
    return Query(thumbprintPrefix, storeName);
}

std::optional<int> SqliteStoreApi::Remove(const std::string& thumbprint,
                                          const std::string& storeName) {
    const std::optional<sqlite3*> opened = OpenExisting(Mode::kWrite);
    if (!opened) {
        return std::nullopt;
    }
    sqlite3* db = *opened;
    if (db == nullptr) {
        return 0;
    }
    sqlite3_stmt* raw = nullptr;
    bool ok = Exec(db, "BEGIN IMMEDIATE") &&
              sqlite3_prepare_v2(db,
                                 "DELETE FROM certificates WHERE thumbprint = ?1"
                                 " AND (?2 = '' OR store = ?2)",
                                 -1, &raw, nullptr) == SQLITE_OK;
    Stmt stmt(raw);
    int removed = 0;
    if (ok) {
        sqlite3_bind_text(raw, 1, thumbprint.c_str(), -1, SQLITE_TRANSIENT);
        sqlite3_bind_text(raw, 2, storeName.c_str(), -1, SQLITE_TRANSIENT);
        ok = sqlite3_step(raw) == SQLITE_DONE;
        removed = sqlite3_changes(db);
        stmt.reset();
        ok = ok && Exec(db, "COMMIT");
    }
    if (!ok) {
        AbandonTransaction(db, stmt);
        sqlite3_close_v2(db);
        return std::nullopt;
    }
    sqlite3_close_v2(db);
    return removed;
}

}  // namespace quorlin::store
