#include "platform/store/StoreDatabase.h"

#include <fcntl.h>
#include <sqlite3.h>
#include <sys/stat.h>
#include <unistd.h>

#include <array>
#include <cerrno>
#include <cstdio>
#include <filesystem>
#include <map>
#include <mutex>
#include <vector>

#include "base/DataDir.h"
#include "interfaces/LastError.h"

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

// mkdir -p, each directory made here 0700 whatever the umask; but never home nor a
// directory above it, which are no store's to make.
bool MakeDirectories(const std::string& path, const std::string& home, int* err) {
    namespace fs = std::filesystem;
    const fs::path normalHome = fs::path(home).lexically_normal();
    std::string partial;
    std::size_t pos = 0;
    while (pos != std::string::npos) {
        pos = path.find('/', pos + 1);
        partial = path.substr(0, pos);
        if (partial.empty()) {
            continue;
        }
        const fs::path fromHere =
            normalHome.lexically_relative(fs::path(partial).lexically_normal());
        if (!home.empty() && !fromHere.empty() && *fromHere.begin() != "..") {
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

// Writing keeps the user's store private: a directory looser than 0700 or a file looser
// than 0600 is tightened, and anything of another user refuses the write before anything
// changes. Each is judged and changed through an O_PATH descriptor: closing a readable one
// would drop every SQLite lock this process holds on the file. The files are never
// followed through a link; the directory is judged where a link leads. 0, or the code.
std::uint32_t KeepPrivate(const std::string& directory, const std::string& path) {
    struct Item {
        int fd;
        mode_t allowed;
        mode_t mode;
    };
    std::vector<Item> items;
    std::uint32_t error = 0;
    const std::string names[] = {directory, path, path + "-wal", path + "-shm"};
    for (const std::string& name : names) {
        const bool isDirectory = &name == &names[0];
        const int fd =
            ::open(name.c_str(), O_PATH | O_CLOEXEC | (isDirectory ? O_DIRECTORY : O_NOFOLLOW));
        if (fd < 0) {
            if (errno != ENOENT) {
                error = MapErrno(errno);
                break;
            }
            continue;
        }
        items.push_back({fd, isDirectory ? 0700u : 0600u, 0});
        struct stat st {};
        if (::fstat(fd, &st) != 0) {
            error = MapErrno(errno);
        } else if (st.st_uid != ::geteuid()) {
            error = kEAccessDenied;
        } else if (!isDirectory && !S_ISREG(st.st_mode)) {
            error = kEFileCorrupt;
        }
        if (error != 0) {
            break;
        }
        items.back().mode = st.st_mode & 07777;
    }
    for (const Item& item : items) {
        // fchmod refuses an O_PATH descriptor; its /proc link reaches the same inode.
        const std::string self = "/proc/self/fd/" + std::to_string(item.fd);
        if (error == 0 && (item.mode & ~item.allowed) != 0 &&
            ::chmod(self.c_str(), item.mode & item.allowed) != 0) {
            error = MapErrno(errno);
        }
        ::close(item.fd);
    }
    return error;
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

// A pragma's single integer value.
std::optional<std::int64_t> PragmaValue(sqlite3* db, const char* pragma) {
    const Statement stmt = Prepare(db, pragma);
    if (stmt == nullptr || sqlite3_step(stmt.get()) != SQLITE_ROW) {
        return std::nullopt;
    }
    return sqlite3_column_int64(stmt.get(), 0);
}

// The database's objects: type, name, table and the SQL that made each.
using SchemaRows = std::vector<std::array<std::optional<std::string>, 4>>;

std::optional<SchemaRows> SchemaObjects(sqlite3* db) {
    const Statement stmt = Prepare(db,
                                   "SELECT type, name, tbl_name, sql FROM sqlite_master"
                                   " ORDER BY type, name");
    if (stmt == nullptr) {
        return std::nullopt;
    }
    SchemaRows rows;
    int rc = SQLITE_ERROR;
    while ((rc = sqlite3_step(stmt.get())) == SQLITE_ROW) {
        auto& row = rows.emplace_back();
        for (int k = 0; k < 4; ++k) {
            if (const unsigned char* text = sqlite3_column_text(stmt.get(), k)) {
                row[static_cast<std::size_t>(k)] = reinterpret_cast<const char*>(text);
            }
        }
    }
    if (rc != SQLITE_DONE) {
        return std::nullopt;
    }
    return rows;
}

// The objects the steps make in an empty database, as SQLite records them; worked out once.
std::optional<SchemaRows> ExpectedObjects(SchemaSteps steps) {
    static std::mutex mutex;
    static std::map<std::vector<std::string>, SchemaRows> known;
    const std::vector<std::string> key(steps.begin(), steps.end());
    const std::lock_guard<std::mutex> lock(mutex);
    if (auto it = known.find(key); it != known.end()) {
        return it->second;
    }
    Connection memory;
    if (!Open(":memory:", SQLITE_OPEN_READWRITE, memory)) {
        return std::nullopt;
    }
    for (const char* step : steps) {
        if (!Exec(memory.get(), step)) {
            return std::nullopt;
        }
    }
    std::optional<SchemaRows> rows = SchemaObjects(memory.get());
    if (rows) {
        known.emplace(key, *rows);
    }
    return rows;
}

struct Found {
    Content content;
    std::int64_t version;  // of the objects found; 0 when there are none
};

std::optional<Found> ClassifyWithVersion(sqlite3* db, SchemaSteps schema);

// Brings the store to the latest version unless it is there: the steps it lacks (every one
// for a store not set up, when create) and the mark, in one write transaction that looks
// again at what the file holds. 0, or the error code; *content gets what the file holds
// when it succeeded.
std::uint32_t SetUp(sqlite3* db, SchemaSteps schema, bool create, Content* content) {
    if (!Exec(db, "BEGIN IMMEDIATE")) {
        return LastDbError(db);
    }
    const std::optional<Found> found = ClassifyWithVersion(db, schema);
    std::uint32_t error = 0;
    if (!found) {
        error = LastDbError(db) != 0 ? LastDbError(db) : kEFail;
    } else if (found->content == Content::kForeign) {
        error = kEFileCorrupt;
    } else if (found->content == Content::kNewer) {
        error = kERevisionMismatch;
    } else if (found->content != Content::kOurs &&
               (create || found->content != Content::kNotSetUp)) {
        const std::string mark = "PRAGMA application_id = " + std::to_string(kApplicationId) +
                                 "; PRAGMA user_version = " + std::to_string(schema.size());
        for (std::size_t k = static_cast<std::size_t>(found->version);
             error == 0 && k < schema.size(); ++k) {
            error = Exec(db, schema[k]) ? 0 : LastDbError(db);
        }
        if (error == 0 && !Exec(db, mark.c_str())) {
            error = LastDbError(db);
        }
        *content = Content::kOurs;
    } else {
        *content = found->content;
    }
    if (error == 0 && Exec(db, "COMMIT")) {
        return 0;
    }
    if (error == 0) {
        error = LastDbError(db);
    }
    if (sqlite3_get_autocommit(db) == 0) {
        Exec(db, "ROLLBACK");
    }
    return error;
}

}  // namespace

void ConnectionCloser::operator()(sqlite3* db) const {
    sqlite3_close_v2(db);
}

void StatementFinalizer::operator()(sqlite3_stmt* stmt) const {
    sqlite3_finalize(stmt);
}

std::uint32_t MapSqliteError(int code, int systemErrno) {
    // A transaction that another program left unfinished: only a read-write connection
    // could roll it back, which would rewrite a file that may not be ours.
    if (code == SQLITE_READONLY_ROLLBACK) {
        return kEFileCorrupt;
    }
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

std::optional<base::ForeignDirectory> ForeignPart(const std::string& directory,
                                                  const std::string& path) {
    if (auto foreign = base::ForeignDirectoryOnTheWay(directory, base::HomeDir())) {
        return foreign;
    }
    const std::string names[] = {directory, path, path + "-wal", path + "-shm"};
    for (const std::string& name : names) {
        struct stat st {};
        const bool found =
            &name == &names[0] ? ::stat(name.c_str(), &st) == 0 : ::lstat(name.c_str(), &st) == 0;
        if (found && st.st_uid != ::geteuid()) {
            return base::ForeignDirectory{name, base::UserName(st.st_uid)};
        }
    }
    return std::nullopt;
}

bool FileExists(const std::string& path) {
    struct stat st {};
    return ::lstat(path.c_str(), &st) == 0;
}

namespace {

std::optional<Found> ClassifySnapshot(sqlite3* db, SchemaSteps schema) {
    std::optional<std::int64_t> applicationId, version;
    std::optional<SchemaRows> rows;
    if (!(applicationId = PragmaValue(db, "PRAGMA application_id")) ||
        !(version = PragmaValue(db, "PRAGMA user_version")) || !(rows = SchemaObjects(db))) {
        // Not an SQLite file at all: foreign, not unreadable.
        if ((sqlite3_errcode(db) & 0xFF) == SQLITE_NOTADB) {
            return Found{Content::kForeign, 0};
        }
        return std::nullopt;
    }
    const auto latest = static_cast<std::int64_t>(schema.size());
    const bool ours = *applicationId == kApplicationId;
    const bool marked = ours && *version >= 1 && *version <= latest;
    const bool blank = *applicationId == 0 && *version == 0;
    if (ours && *version > latest) {
        // Its objects are a later version's to judge; reading needs its table.
        for (const auto& row : *rows) {
            if (row[0] == "table" && row[1] == "certificates") {
                return Found{Content::kNewer, *version};
            }
        }
        return Found{Content::kForeign, 0};
    }
    if (!marked && !blank) {
        return Found{Content::kForeign, 0};
    }
    if (rows->empty()) {
        return Found{Content::kNotSetUp, 0};
    }
    // A store from before the mark holds version 1.
    const std::int64_t made = blank ? 1 : *version;
    const std::optional<SchemaRows> expected =
        ExpectedObjects(schema.first(static_cast<std::size_t>(made)));
    if (!expected) {
        return std::nullopt;
    }
    if (*rows != *expected) {
        return Found{Content::kForeign, 0};
    }
    const Content content = blank            ? Content::kUnmarked
                            : made == latest ? Content::kOurs
                                             : Content::kOlder;
    return Found{content, made};
}

std::optional<Found> ClassifyWithVersion(sqlite3* db, SchemaSteps schema) {
    if (sqlite3_get_autocommit(db) == 0) {
        return ClassifySnapshot(db, schema);
    }
    // One snapshot: a store being set up gets its table and its mark in one commit, and
    // reading them on either side of it would take that store for a foreign file. On a
    // failure the read is left to the connection's end, which every caller then brings,
    // so that the error stays to be read.
    if (!Exec(db, "BEGIN")) {
        return std::nullopt;
    }
    const std::optional<Found> found = ClassifySnapshot(db, schema);
    if (found) {
        Exec(db, "COMMIT");
    }
    return found;
}

}  // namespace

std::optional<Content> Classify(sqlite3* db, SchemaSteps schema) {
    const std::optional<Found> found = ClassifyWithVersion(db, schema);
    if (!found) {
        return std::nullopt;
    }
    return found->content;
}

Connection OpenDatabase(const std::string& directory, const std::string& path, OpenMode mode,
                        SchemaSteps schema, std::optional<Content>* found) {
    // No home to keep it in.
    if (directory.empty()) {
        SetLastError(kEPathNotFound);
        return nullptr;
    }
    const bool create = mode == OpenMode::kCreate;
    int err = 0;
    // Root with a user's HOME (sudo -E) must neither make the user's directories its own
    // nor write into theirs; ForeignPart tells the report which and whose.
    const std::string home = base::HomeDir();
    if (mode != OpenMode::kRead && base::ForeignDirectoryOnTheWay(directory, home)) {
        SetLastError(kEAccessDenied);
        return nullptr;
    }
    if (create && !MakeDirectories(directory, home, &err)) {
        SetLastError(MapErrno(err));
        return nullptr;
    }
    if (mode != OpenMode::kRead) {
        if (const std::uint32_t error = KeepPrivate(directory, path); error != 0) {
            SetLastError(error);
            return nullptr;
        }
    }
    // A directory, a link or a device in the file's place is nothing of ours.
    struct stat st {};
    if (::lstat(path.c_str(), &st) == 0 && !S_ISREG(st.st_mode)) {
        SetLastError(kEFileCorrupt);
        return nullptr;
    }
    if (create && !MakeDatabaseFile(path, &err)) {
        SetLastError(MapErrno(err));
        return nullptr;
    }

    // A WAL database needs its shared-memory file, which a read-only directory may not
    // let it make: the directory is then the cause to report, whatever SQLite met first.
    auto fail = [&](sqlite3* db) -> Connection {
        std::uint32_t error = db != nullptr ? LastDbError(db) : kEOutOfMemory;
        if (error == 0) {
            error = kEFail;  // a failure outside db
        }
        if (::access(directory.c_str(), W_OK) != 0 && (errno == EACCES || errno == EROFS)) {
            error = kEAccessDenied;
        }
        SetLastError(error);
        return nullptr;
    };
    auto foreign = [found]() -> Connection {
        if (found != nullptr) {
            *found = Content::kForeign;
        }
        SetLastError(kEFileCorrupt);
        return nullptr;
    };
    std::optional<Content> content;
    if (mode != OpenMode::kRead) {
        // Learnt through a connection that cannot write: a read-write one would already
        // roll back another program's unfinished transaction, or checkpoint its WAL on
        // closing.
        Connection probe;
        if (!Open(path, SQLITE_OPEN_READONLY | SQLITE_OPEN_NOFOLLOW, probe)) {
            return fail(probe.get());
        }
        sqlite3_extended_result_codes(probe.get(), 1);
        sqlite3_busy_timeout(probe.get(), kBusyTimeoutMs);
        content = Classify(probe.get(), schema);
        if (!content) {
            return fail(probe.get());
        }
        if (*content == Content::kForeign) {
            return foreign();
        }
        if (*content == Content::kNewer) {
            if (found != nullptr) {
                *found = content;
            }
            SetLastError(kERevisionMismatch);
            return nullptr;
        }
    }

    const int openFlags = (mode == OpenMode::kRead ? SQLITE_OPEN_READONLY : SQLITE_OPEN_READWRITE) |
                          SQLITE_OPEN_NOFOLLOW;
    Connection db;
    if (!Open(path, openFlags, db)) {
        return fail(db.get());
    }
    sqlite3_extended_result_codes(db.get(), 1);
    sqlite3_busy_timeout(db.get(), kBusyTimeoutMs);
    if (mode == OpenMode::kRead) {
        content = Classify(db.get(), schema);
        // Reading a WAL database makes its shared-memory file, which a read-only
        // directory or a full disk refuses. With no WAL content left (a writer that met
        // the full disk leaves an empty file), everything committed is in the database
        // file, which can then be read as it stands.
        struct stat wal {};
        if (!content && (::lstat((path + "-wal").c_str(), &wal) != 0 || wal.st_size == 0)) {
            db.reset();
            if (Open("file:" + UriEscape(path) + "?immutable=1", openFlags | SQLITE_OPEN_URI, db)) {
                content = Classify(db.get(), schema);
            }
        }
        if (!content) {
            return fail(db.get());
        }
        if (*content == Content::kForeign) {
            return foreign();
        }
    }
    // FULL: a committed add survives a power loss too, not only a killed process.
    if (mode != OpenMode::kRead && !Exec(db.get(), "PRAGMA synchronous = FULL")) {
        return fail(db.get());
    }
    if (create && !EnableWal(db.get(), kBusyTimeoutMs)) {
        return fail(db.get());
    }
    const bool behind = content == Content::kOlder || content == Content::kUnmarked;
    if (create || (mode == OpenMode::kWrite && behind)) {
        Content now = Content::kNotSetUp;
        const std::uint32_t error = SetUp(db.get(), schema, create, &now);
        if (error != 0) {
            SetLastError(error);
            return nullptr;
        }
        content = now;
    }
    if (found != nullptr) {
        *found = content;
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
