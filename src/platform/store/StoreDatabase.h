#pragma once
// A connection to the store's SQLite database file, and the write transaction every
// change runs in. Failures leave their code (StoreErrors.h) in the thread's last error.

#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include "platform/store/StoreErrors.h"

struct sqlite3;
struct sqlite3_stmt;

namespace quorlin::store {

struct ConnectionCloser {
    void operator()(sqlite3* db) const;
};
using Connection = std::unique_ptr<sqlite3, ConnectionCloser>;

struct StatementFinalizer {
    void operator()(sqlite3_stmt* stmt) const;
};
using Statement = std::unique_ptr<sqlite3_stmt, StatementFinalizer>;

enum class OpenMode {
    kCreate,  // makes the directory and the file when missing, then runs the schema
    kWrite,
    kRead,
};

// The database at path, in directory; null with the last error set on failure. A created
// directory is 0700 and a created file 0600, whatever the umask.
Connection OpenDatabase(const std::string& directory, const std::string& path, OpenMode mode,
                        const char* schema);

// Null on failure, the error left in db.
Statement Prepare(sqlite3* db, const char* sql);

bool Exec(sqlite3* db, const char* sql);

// The code for db's most recent failure.
std::uint32_t LastDbError(sqlite3* db);

// Runs work, which prepares and steps its statement through stmt, inside BEGIN IMMEDIATE
// ... COMMIT. On a failure anywhere the failed step's error is the last error and the
// transaction is rolled back.
bool WriteTransaction(sqlite3* db, const std::function<bool(Statement& stmt)>& work);

bool FileExists(const std::string& path);

}  // namespace quorlin::store
