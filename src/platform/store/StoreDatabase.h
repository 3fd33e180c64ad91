#pragma once
// A connection to the store's SQLite database file, and the write transaction every
// change runs in. Failures leave their code (StoreErrors.h) in the thread's last error.

#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <span>
#include <string>

#include "base/DataDir.h"
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
    kCreate,  // makes the directory and the file when missing, then sets the store up
    kWrite,
    kRead,
};

// Quorlin's stores carry this mark (application_id, user_version: the schema's version).
inline constexpr std::int32_t kApplicationId = 0x51524C4E;  // "QRLN"
inline constexpr std::int32_t kSchemaVersion = 2;

// A schema as the steps that make it, one per version: the first makes version 1, each
// next one takes a store from the version before to its own. A new store runs them all,
// an older one those it lacks. Making every store the same way gives the same objects
// (an added column's text included) to compare a file with.
using SchemaSteps = std::span<const char* const>;

// What a database file holds, next to what the steps make.
enum class Content {
    kOurs,      // the mark of the latest version and exactly its objects
    kOlder,     // the mark of an earlier version and exactly that version's objects
    kNewer,     // our application_id, a later version and a certificates table: read only
    kUnmarked,  // exactly version 1's objects, no mark: a store from before the mark
    kNotSetUp,  // no table at all (or a zero-length file): a set-up that was cut short
    kForeign,   // anything else; never written to
};

// Read in one snapshot. Nullopt when db cannot be read; the error is then left in db, and
// so is the read, until db is closed.
std::optional<Content> Classify(sqlite3* db, SchemaSteps schema);

// The store database at path, in directory; null with the last error set on failure, and
// kEFileCorrupt for anything but a regular file holding a store (or nothing yet). kCreate
// sets the store up and marks it; a created directory is 0700 and a created file 0600,
// whatever the umask. kCreate and kWrite bring an older or unmarked store to the latest
// version, its steps and mark in one transaction, and refuse a newer one
// (kERevisionMismatch) and (kEAccessDenied) a store with a part of another user's
// (ForeignPart); they make no directory of the user's home or above it: in a home of
// another user, nothing. kRead changes nothing; kRead and kWrite leave a store that is not
// set up as it is. *content gets what the file was found to hold (kNotSetUp included),
// once classified: kOurs once brought up to date.
Connection OpenDatabase(const std::string& directory, const std::string& path, OpenMode mode,
                        SchemaSteps schema, std::optional<Content>* content = nullptr);

// Null on failure, the error left in db.
Statement Prepare(sqlite3* db, const char* sql);

bool Exec(sqlite3* db, const char* sql);

// The code for db's most recent failure.
std::uint32_t LastDbError(sqlite3* db);

// Runs work, which prepares and steps its statement through stmt, inside BEGIN IMMEDIATE
// ... COMMIT. On a failure anywhere the failed step's error is the last error and the
// transaction is rolled back.
bool WriteTransaction(sqlite3* db, const std::function<bool(Statement& stmt)>& work);

// What of the store belongs to another user than the one running: a directory on the way
// within the home (base::ForeignDirectoryOnTheWay), else the directory itself (where a
// link leads), else its database, -wal or -shm file (the link itself, if one); nullopt
// when nothing does. Reads only.
std::optional<base::ForeignDirectory> ForeignPart(const std::string& directory,
                                                  const std::string& path);

// Anything at path, a dangling symbolic link included.
bool FileExists(const std::string& path);

}  // namespace quorlin::store
