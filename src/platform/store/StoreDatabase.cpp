#include "platform/store/StoreDatabase.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cerrno>
#include <cstdio>

#include "platform/LastError.h"

namespace quorlin::store {

namespace {

constexpr int kBusyTimeoutMs = 10000;

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

// Made here rather than by SQLite, which would give it 0644; the WAL and shared-memory
// files take the database file's mode.
bool MakeDatabaseFile(const std::string& path, int* err) {
    const int fd = ::open(path.c_str(), O_RDWR | O_CREAT | O_EXCL | O_CLOEXEC | O_NOFOLLOW, 0600);
    if (fd < 0) {
        *err = errno;
        return errno == EEXIST;
    }
    const bool ok = ::fchmod(fd, 0600) == 0;
    *err = errno;
    ::close(fd);
    return ok;
}

std::string UriEscape(const std::string& path) {
    std::string out;
    for (char ch : path) {
        const auto c = static_cast<unsigned char>(ch);
        if (c == '%' || c == '?' || c == '#' || c < 0x20 || c >= 0x7F) {
            char buf[4];
            std::snprintf(buf, sizeof buf, "%%%02X", c);
            out += buf;
        } else {
            out.push_back(ch);
        }
    }
    return out;
}

// db takes whatever handle SQLite gives, which it may give for a failed open too.
bool Open(const std::string& filename, int flags, Connection& db) {
    sqlite3* raw = nullptr;
    const int rc = sqlite3_open_v2(filename.c_str(), &raw, flags, nullptr);
    db.reset(raw);
    return rc == SQLITE_OK;
}

}  // namespace

void ConnectionCloser::operator()(sqlite3* db) const {
    sqlite3_close_v2(db);
}

void StatementFinalizer::operator()(sqlite3_stmt* stmt) const {
    sqlite3_finalize(stmt);
}

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

std::uint32_t LastDbError(sqlite3* db) {
    return MapSqliteError(sqlite3_extended_errcode(db), sqlite3_system_errno(db));
}

bool Exec(sqlite3* db, const char* sql) {
    return sqlite3_exec(db, sql, nullptr, nullptr, nullptr) == SQLITE_OK;
}

Statement Prepare(sqlite3* db, const char* sql) {
    sqlite3_stmt* raw = nullptr;
    sqlite3_prepare_v2(db, sql, -1, &raw, nullptr);
    return Statement(raw);
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::stat(path.c_str(), &st) == 0;
}

Connection OpenDatabase(const std::string& directory, const std::string& path, OpenMode mode,
                        const char* schema) {
    // No home to keep it in.
    if (directory.empty()) {
        SetLastError(kEPathNotFound);
        return nullptr;
    }
    const bool create = mode == OpenMode::kCreate;
    if (create) {
        int err = 0;
        if (!MakeDirectories(directory, &err) || !MakeDatabaseFile(path, &err)) {
            SetLastError(MapErrno(err));
            return nullptr;
        }
    }

    // A WAL database needs its shared-memory file, which a read-only directory may not
    // let it make: the directory is then the cause to report, whatever SQLite met first.
    auto fail = [&](sqlite3* db) -> Connection {
        std::uint32_t error = db != nullptr ? LastDbError(db) : kEOutOfMemory;
        if (::access(directory.c_str(), W_OK) != 0 && (errno == EACCES || errno == EROFS)) {
            error = kEAccessDenied;
        }
        SetLastError(error);
        return nullptr;
    };
    const int openFlags = (mode == OpenMode::kRead ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
                          SQLITE_OPEN_NOFOLLOW;
    Connection db;
    if (!Open(path, openFlags, db)) {
        return fail(db.get());
    }
    sqlite3_extended_result_codes(db.get(), 1);
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
    // FULL: a committed add survives a power loss too, not only a killed process.
    bool ok = mode == OpenMode::kRead || Exec(db.get(), "PRAGMA synchronous = FULL");
    if (ok && create) {
        ok = EnableWal(db.get(), kBusyTimeoutMs) && Exec(db.get(), "BEGIN IMMEDIATE") &&
             Exec(db.get(), schema) && Exec(db.get(), "COMMIT");
    }
    if (ok && mode == OpenMode::kRead) {
        ok = Exec(db.get(), "SELECT count(*) FROM sqlite_master");
        // Reading a WAL database makes its shared-memory file, which a read-only
        // directory refuses. With no WAL file left, everything committed is in the
        // database file, which can then be read as it stands.
        if (!ok && !FileExists(path + "-wal")) {
            db.reset();
            ok =
                Open("file:" + UriEscape(path) + "?immutable=1", openFlags | SQLITE_OPEN_URI, db) &&
                Exec(db.get(), "SELECT count(*) FROM sqlite_master");
        }
    }
    if (!ok) {
        return fail(db.get());
    }
    return db;
}

bool WriteTransaction(sqlite3* db, const std::function<bool(Statement& stmt)>& work) {
    Statement stmt;
    // IMMEDIATE takes the write lock up front, waiting out other writers; a deferred
    // transaction that read first would get SQLITE_BUSY without waiting.
    bool ok = Exec(db, "BEGIN IMMEDIATE") && work(stmt);
    if (ok) {
        stmt.reset();
        ok = Exec(db, "COMMIT");
    }
    if (!ok) {
        // The failed step's error, not the rollback's.
        const std::uint32_t error = LastDbError(db);
        stmt.reset();
        if (sqlite3_get_autocommit(db) == 0) {
            Exec(db, "ROLLBACK");
        }
        SetLastError(error);
    }
    return ok;
}

}  // namespace quorlin::store
