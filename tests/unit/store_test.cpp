// The SQLite certificate store: what it keeps, what it refuses, and how it behaves when
// other processes write at the same time, die mid-write, or the disk says no.

#include <gtest/gtest.h>
#include <openssl/sha.h>
#include <pwd.h>
#include <sched.h>
#include <signal.h>
#include <sqlite3.h>
#include <sys/mount.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <functional>
#include <iterator>
#include <map>
#include <memory>
#include <optional>
#include <random>
#include <string>
#include <thread>
#include <tuple>
#include <vector>

#include "base/Hex.h"
#include "fakes/CertFixtures.h"
#include "fakes/TempDir.h"
#include "interfaces/LastError.h"
#include "platform/store/SqliteStoreApi.h"

namespace quorlin::test {
namespace {

namespace fs = std::filesystem;
using store::HCERTSTORE;
using store::SqliteStoreApi;

// Sets (or with nullptr unsets) an environment variable until the end of the scope.
class ScopedEnv {
  public:
    explicit ScopedEnv(const char* name) : m_name(name) {
        if (const char* v = std::getenv(name)) {
            m_saved = v;
        }
    }
    ~ScopedEnv() { Set(m_saved ? m_saved->c_str() : nullptr); }
    void Set(const char* value) const {
        value != nullptr ? setenv(m_name, value, 1) : unsetenv(m_name);
    }

  private:
    const char* m_name;
    std::optional<std::string> m_saved;
};

// Its number when the password database has no name for it.
std::string NameOf(uid_t uid) {
    const passwd* pw = getpwuid(uid);
    return pw != nullptr ? pw->pw_name : std::to_string(uid);
}

std::string Sha1Hex(const std::vector<std::uint8_t>& der) {
    unsigned char digest[SHA_DIGEST_LENGTH];
    SHA1(der.data(), der.size(), digest);
    char hex[2 * SHA_DIGEST_LENGTH + 1];
    for (int k = 0; k < SHA_DIGEST_LENGTH; ++k) {
        std::snprintf(hex + 2 * k, 3, "%02X", digest[k]);
    }
    return hex;
}

x509::CertContext Context(std::vector<std::uint8_t> der) {
    x509::CertContext c;
    c.encoded = std::move(der);
    return c;
}

HCERTSTORE OpenMy(SqliteStoreApi& api, const char16_t* name = u"MY") {
    return api.CertOpenStore(store::kCertStoreProvSystemW, 0, 0, store::kCertSystemStoreCurrentUser,
                             name);
}

// Attaches a key-provider property and adds; true on success.
bool AddWithKey(SqliteStoreApi& api, HCERTSTORE store, const x509::CertContext& cert,
                std::u16string container, std::uint32_t keySpec) {
    std::u16string provider = u"Morvex CSP Enterprise";
    x509::CryptKeyProvInfo info{container.data(), provider.data(), 1, 0, 0, nullptr, keySpec};
    return api.CertSetCertificateContextProperty(&cert, store::kCertKeyProvInfoPropId, 0, &info) &&
           api.CertAddCertificateContextToStore(store, &cert, store::kCertStoreAddReplaceExisting,
                                                nullptr);
}

// Opens "MY" and adds one certificate; the same, closing the store again.
bool AddOne(SqliteStoreApi& api, const std::vector<std::uint8_t>& der, std::u16string container) {
    HCERTSTORE store = OpenMy(api);
    const bool added = store != nullptr && AddWithKey(api, store, Context(der), container, 1);
    api.CertCloseStore(store, store::kCertCloseStoreForceFlag);
    return added;
}

// Runs body in a child process; returns what it reports ("" = fine).
// A child process running body; forked from this (single) thread, since a child forked
// while another thread holds the allocator's lock would wait on it for ever.
struct Child {
    pid_t pid;
    int fd;
};

Child StartChild(const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) {
        return {-1, -1};
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const std::string result = body();
        _exit(write(fds[1], result.data(), result.size()) < 0 ? 3 : 0);
    }
    close(fds[1]);
    return {pid, fds[0]};
}

// What the child reported; empty when it did all its work.
std::string FinishChild(const Child& child) {
    if (child.pid < 0) {
        return "fork failed";
    }
    std::string out;
    char buf[256];
    for (ssize_t n = 0; (n = read(child.fd, buf, sizeof buf)) > 0;) {
        out.append(buf, static_cast<std::size_t>(n));
    }
    close(child.fd);
    int status = 0;
    waitpid(child.pid, &status, 0);
    return WIFEXITED(status) && WEXITSTATUS(status) == 0 ? out : out + " (child ended abnormally)";
}

std::string InChild(const std::function<std::string()>& body) {
    return FinishChild(StartChild(body));
}

std::string IntegrityCheck(const std::string& path) {
    sqlite3* db = nullptr;
    sqlite3_stmt* s = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr) == SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW) {
        result = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    return result;
}

// Every entry is a whole certificate under its own thumbprint, with the property written.
void ExpectEntriesWhole(SqliteStoreApi& api) {
    auto entries = api.List();
    ASSERT_TRUE(entries);
    for (const store::StoredCertificate& e : *entries) {
        EXPECT_EQ(e.thumbprint, Sha1Hex(e.der));
        EXPECT_EQ(e.store, "MY");
        EXPECT_TRUE(e.hasKeyProvInfo);
        EXPECT_EQ(e.provider, "Morvex CSP Enterprise");
        EXPECT_EQ(e.container.rfind("c", 0), 0u) << e.container;
        EXPECT_EQ(e.keySpec, 1u);
    }
}

TEST(SqliteStoreTest, KeepsOneEntryPerCertificateWithItsPropertyAndPrivateModes) {
    TempDir tmp;
    const std::string dir = tmp.Path() + "/data/quorlin";
    const mode_t saved = umask(0);
    SqliteStoreApi api(dir);
    HCERTSTORE store = OpenMy(api, u"my");  // names ignore case
    umask(saved);
    ASSERT_NE(store, nullptr) << std::hex << GetLastError();
    for (auto [path, mode] :
         {std::pair{dir, 0700u}, {tmp.Path() + "/data", 0700u}, {api.DatabasePath(), 0600u}}) {
        struct stat st {};
        ASSERT_EQ(stat(path.c_str(), &st), 0);
        EXPECT_EQ(st.st_mode & 0777, mode) << path;
    }

    const x509::CertContext alice = Context(ReadFixture("alice-ec.der"));
    const x509::CertContext bob = Context(ReadFixture("bob-ec.der"));
    ASSERT_TRUE(AddWithKey(api, store, alice, u"Quorlin-Alice", 2));
    ASSERT_TRUE(AddWithKey(api, store, alice, u"Quorlin-Alice", 1));  // replaces
    ASSERT_TRUE(AddWithKey(api, store, bob, std::u16string{0xA4, 0x40, u'x'}, 2));
    EXPECT_EQ(alice.keyProvInfo->keySpec, 1u);
    HCERTSTORE other = OpenMy(api, u"Other");  // another name is another store
    ASSERT_NE(other, nullptr);
    ASSERT_TRUE(AddWithKey(api, other, alice, u"Quorlin-Alice", 2));
    EXPECT_TRUE(api.CertCloseStore(other, 0));
    EXPECT_TRUE(api.CertCloseStore(store, store::kCertCloseStoreForceFlag));

    SqliteStoreApi reader(dir);
    auto my = reader.List("MY");
    ASSERT_TRUE(my);
    ASSERT_EQ(my->size(), 2u);
    const bool aliceFirst = my->front().der == alice.encoded;
    const store::StoredCertificate& a = (*my)[aliceFirst ? 0 : 1];
    const store::StoredCertificate& b = (*my)[aliceFirst ? 1 : 0];
    EXPECT_EQ(a.der, alice.encoded);
    EXPECT_EQ(a.thumbprint, Sha1Hex(alice.encoded));
    EXPECT_EQ(a.container, "Quorlin-Alice");
    EXPECT_EQ(a.provider, "Morvex CSP Enterprise");
    EXPECT_EQ(a.provType, 1u);
    EXPECT_EQ(a.flags, 0u);
    EXPECT_EQ(a.keySpec, 1u);
    EXPECT_EQ(b.der, bob.encoded);
    EXPECT_EQ(b.container, "\u00A4@x");  // each code unit kept as the character it is
    EXPECT_EQ(reader.List()->size(), 3u);

    auto found = reader.Find(Sha1Hex(alice.encoded).substr(0, 6));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->size(), 2u);  // MY and OTHER
    EXPECT_EQ(reader.Remove(Sha1Hex(alice.encoded), "OTHER"), 1);
    EXPECT_EQ(reader.List()->size(), 2u);
    EXPECT_EQ(reader.Remove(Sha1Hex(alice.encoded), "OTHER"), 0);
    EXPECT_EQ(IntegrityCheck(api.DatabasePath()), "ok");
}

// The database file exists before its table does: a first open that stopped there (a full
// disk) or that has not yet got so far. The viewer sees no entries, not an error.
TEST(SqliteStoreTest, ADatabaseWithoutItsTableYetReadsAsEmpty) {
    TempDir tmp;
    SqliteStoreApi api(tmp.Path());
    {
        std::FILE* f = std::fopen(api.DatabasePath().c_str(), "wb");
        ASSERT_NE(f, nullptr);
        std::fclose(f);
    }
    auto entries = api.List();
    ASSERT_TRUE(entries) << std::hex << GetLastError();
    EXPECT_TRUE(entries->empty());
    auto found = api.Find("ABCD");
    ASSERT_TRUE(found);
    EXPECT_TRUE(found->empty());
    EXPECT_EQ(api.Remove(std::string(40, 'A')), 0);

    // The next add makes the table and is seen.
    ASSERT_TRUE(AddOne(api, ReadFixture("alice-ec.der"), u"c0"));
    EXPECT_EQ(api.List()->size(), 1u);
}

// Runs sql on the database at path, made when missing; true on success.
bool Sql(const std::string& path, const std::string& sql) {
    sqlite3* db = nullptr;
    const bool ok = sqlite3_open(path.c_str(), &db) == SQLITE_OK &&
                    sqlite3_exec(db, sql.c_str(), nullptr, nullptr, nullptr) == SQLITE_OK;
    sqlite3_close(db);
    return ok;
}

std::int64_t Pragma(const std::string& path, const char* name) {
    sqlite3* db = nullptr;
    sqlite3_stmt* s = nullptr;
    std::int64_t value = -1;
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READONLY, nullptr) == SQLITE_OK &&
        sqlite3_prepare_v2(db, ("PRAGMA " + std::string(name)).c_str(), -1, &s, nullptr) ==
            SQLITE_OK &&
        sqlite3_step(s) == SQLITE_ROW) {
        value = sqlite3_column_int64(s, 0);
    }
    sqlite3_finalize(s);
    sqlite3_close(db);
    return value;
}

bool WriteFile(const std::string& path, const std::string& bytes) {
    std::ofstream out(path, std::ios::binary);
    out << bytes;
    return static_cast<bool>(out);
}

// The file's bytes; "(directory)" for a directory, "" when there is nothing.
std::string Snapshot(const std::string& path) {
    if (fs::is_directory(path)) {
        return "(directory)";
    }
    std::ifstream in(path, std::ios::binary);
    return std::string(std::istreambuf_iterator<char>(in), {});
}

// Leaves at path a copy of another program's database taken while sql (committed in WAL
// mode with the checkpoints off, or spilled in a rollback journal) was not yet in the
// database file, as a crash would leave it.
bool LeaveUnfinished(const std::string& path, bool wal) {
    const std::string source = path + ".src";
    const std::string side = wal ? "-wal" : "-journal";
    sqlite3* db = nullptr;
    sqlite3_open(source.c_str(), &db);
    const std::string setUp = wal ? "PRAGMA journal_mode = WAL; PRAGMA wal_autocheckpoint = 0;"
                                  : "PRAGMA cache_size = 1;";
    bool ok = sqlite3_exec(db, (setUp + "CREATE TABLE notes (x); BEGIN;").c_str(), nullptr, nullptr,
                           nullptr) == SQLITE_OK;
    for (int k = 0; ok && k < 500; ++k) {
        ok = sqlite3_exec(db, "INSERT INTO notes VALUES (randomblob(200))", nullptr, nullptr,
                          nullptr) == SQLITE_OK;
    }
    if (wal) {
        ok = ok && sqlite3_exec(db, "COMMIT", nullptr, nullptr, nullptr) == SQLITE_OK;
    }
    std::error_code ec;
    fs::copy_file(source, path, ec);
    fs::copy_file(source + side, path + side, ec);
    sqlite3_close(db);
    return ok && !ec;
}

// What the store makes of files it did not make: it sets up what is empty, brings a store
// from before the mark or of an earlier version up to date when it writes, reads one of a
// later version without writing it, and leaves everything else exactly as it is.
TEST(SqliteStoreTest, CraftedFilesAreSetUpAdoptedOrLeftAlone) {
    enum Outcome { kSetUp, kAdopted, kNewer, kForeign };
    const std::vector<std::uint8_t> alice = ReadFixture("alice-ec.der");
    const std::string thumbprint = Sha1Hex(alice);
    const std::string ourTable = store::kCertificateSchema[0];  // version 1
    const std::string aliceRow =
        "INSERT INTO certificates (store, thumbprint, der, added) VALUES ('MY', '" + thumbprint +
        "', X'" + base::HexString(alice) + "', 0);";
    const std::string mark = "PRAGMA application_id = " + std::to_string(store::kApplicationId) +
                             "; PRAGMA user_version = ";
    struct Case {
        const char* name;
        std::function<bool(const std::string& path)> make;
        Outcome outcome;
    };
    const Case cases[] = {
        {"zero-length file", [](auto& p) { return Sql(p, ""); }, kSetUp},
        {"no table", [](auto& p) { return Sql(p, "CREATE TABLE x (a); DROP TABLE x;"); }, kSetUp},
        {"store from before the mark",
         [&](auto& p) { return Sql(p, "PRAGMA journal_mode = WAL;" + ourTable + ";" + aliceRow); },
         kAdopted},
        {"version 1", [&](auto& p) { return Sql(p, ourTable + ";" + aliceRow + mark + "1"); },
         kAdopted},
        {"a later version", [&](auto& p) { return Sql(p, ourTable + ";" + aliceRow + mark + "3"); },
         kNewer},
        {"version 2's mark on version 1's table",
         [&](auto& p) { return Sql(p, ourTable + ";" + mark + "2"); }, kForeign},
        {"another table of that name",
         [](auto& p) { return Sql(p, "CREATE TABLE certificates (id INTEGER PRIMARY KEY, der);"); },
         kForeign},
        {"our table beside another",
         [&](auto& p) { return Sql(p, ourTable + "; CREATE TABLE notes (x);"); }, kForeign},
        {"our table under another program's mark",
         [&](auto& p) { return Sql(p, ourTable + "; PRAGMA application_id = 7;"); }, kForeign},
        {"empty under another program's mark",
         [](auto& p) { return Sql(p, "PRAGMA application_id = 7;"); }, kForeign},
        {"text", [](auto& p) { return WriteFile(p, "this is not a database at all...."); },
         kForeign},
        {"SQLite header and garbage",
         [](auto& p) {
             return WriteFile(
                 p, std::string("SQLite format 3\0\x10\x00", 18) + std::string(4000, '\xA5'));
         },
         kForeign},
        {"directory", [](auto& p) { return fs::create_directory(p); }, kForeign},
        {"WAL not yet checkpointed", [](auto& p) { return LeaveUnfinished(p, true); }, kForeign},
        {"unfinished rollback journal", [](auto& p) { return LeaveUnfinished(p, false); },
         kForeign},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.name);
        TempDir tmp;
        SqliteStoreApi api(tmp.Path());
        const std::string path = api.DatabasePath();
        ASSERT_TRUE(c.make(path));
        const std::vector<std::string> files = {path, path + "-wal", path + "-journal"};
        std::vector<std::string> before;
        for (const std::string& f : files) {
            before.push_back(Snapshot(f));
        }

        auto listed = api.List();
        const auto unchanged = [&] {
            for (std::size_t k = 0; k < files.size(); ++k) {
                EXPECT_TRUE(Snapshot(files[k]) == before[k]) << files[k] << " changed";
            }
        };
        if (c.outcome == kForeign || c.outcome == kNewer) {
            const bool newer = c.outcome == kNewer;
            const std::uint32_t refusal = newer ? store::kERevisionMismatch : store::kEFileCorrupt;
            EXPECT_EQ(listed ? listed->size() : 0u, newer ? 1u : 0u);
            EXPECT_TRUE(newer || (!listed && GetLastError() == refusal));
            SetLastError(0);
            EXPECT_EQ(OpenMy(api), nullptr);
            EXPECT_EQ(GetLastError(), refusal);
            EXPECT_FALSE(api.Remove(thumbprint));
            EXPECT_EQ(api.Inspect().error == store::kERevisionMismatch, newer);
            unchanged();
            continue;
        }
        ASSERT_TRUE(listed) << std::hex << GetLastError();
        EXPECT_EQ(listed->size(), c.outcome == kAdopted ? 1u : 0u);
        unchanged();  // reading marks and migrates nothing
        ASSERT_TRUE(AddOne(api, ReadFixture("bob-ec.der"), u"c1"));
        EXPECT_EQ(Pragma(path, "application_id"), store::kApplicationId);
        EXPECT_EQ(Pragma(path, "user_version"), store::kSchemaVersion);
        auto after = api.List();
        ASSERT_TRUE(after);
        EXPECT_EQ(after->size(), listed->size() + 1);
        if (c.outcome == kAdopted) {
            auto kept = api.Find(thumbprint);
            ASSERT_TRUE(kept && kept->size() == 1);
            EXPECT_EQ(kept->front().der, alice);
        }
        EXPECT_EQ(IntegrityCheck(path), "ok");
    }
}

// Rows that another hand wrote into a store: what they hold is the viewer's to judge; the
// store keeps them and goes on adding and replacing its own entries.
TEST(SqliteStoreTest, BadRowsStayAndAddsAndReplacesGoOn) {
    TempDir tmp;
    SqliteStoreApi api(tmp.Path());
    const std::vector<std::uint8_t> alice = ReadFixture("alice-ec.der");
    ASSERT_TRUE(AddOne(api, alice, u"c0"));
    const std::vector<std::uint8_t> cut(alice.begin(), alice.begin() + 100);
    const std::string rows =
        "INSERT INTO certificates (store, thumbprint, der, added) VALUES"
        " ('MY', '" +
        Sha1Hex(cut) + "', X'" + base::HexString(cut) +
        "', 0),"
        " ('MY', 'GARBAGE', X'DEADBEEF', -1), ('MY', '', X'', 0), ('MY', 'TEXT', 'abc', 0)";
    ASSERT_TRUE(Sql(api.DatabasePath(), rows));

    ASSERT_TRUE(AddOne(api, ReadFixture("bob-ec.der"), u"c1"));
    ASSERT_TRUE(AddOne(api, alice, u"c2"));  // replaces
    auto entries = api.List();
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 6u);
    std::map<std::string, std::vector<std::uint8_t>> der;
    for (const store::StoredCertificate& e : *entries) {
        der[e.thumbprint] = e.der;
    }
    EXPECT_EQ(der[Sha1Hex(cut)], cut);
    EXPECT_EQ(der["GARBAGE"], (std::vector<std::uint8_t>{0xDE, 0xAD, 0xBE, 0xEF}));
    EXPECT_TRUE(der[""].empty());
    EXPECT_EQ(der["TEXT"], (std::vector<std::uint8_t>{'a', 'b', 'c'}));
    auto mine = api.Find(Sha1Hex(alice));
    ASSERT_TRUE(mine && mine->size() == 1);
    EXPECT_EQ(mine->front().container, "c2");
}

// A link is recorded on its entry in the handle's store only; adding the certificate again
// drops it.
TEST(SqliteStoreTest, KeyLinksAreRecordedOnTheirEntryUntilItIsAddedAgain) {
    TempDir tmp;
    SqliteStoreApi api(tmp.Path());
    HCERTSTORE my = OpenMy(api), other = OpenMy(api, u"Other");
    const x509::CertContext alice = Context(ReadFixture("alice-ec.der")),
                            bob = Context(ReadFixture("bob-ec.der"));
    ASSERT_TRUE(AddWithKey(api, my, alice, u"c0", 1) && AddWithKey(api, other, bob, u"c1", 1));
    const keylink::Pkcs11Link link{"/usr/lib/morvex-pkcs11.so", "pkcs11:id=%01;type=cert",
                                   "pkcs11:id=%01;type=private"};
    EXPECT_FALSE(api.RecordKeyLink(my, &bob, link));  // bob is in OTHER only
    EXPECT_EQ(GetLastError(), store::kCryptENotFound);
    ASSERT_TRUE(api.RecordKeyLink(my, &alice, link)) << std::hex << GetLastError();
    const auto linkOf = [&api](const x509::CertContext& cert) {
        const store::StoredCertificate e = api.Find(Sha1Hex(cert.encoded)).value().at(0);
        return e.pkcs11Module + "|" + e.pkcs11CertificateUri + "|" + e.pkcs11KeyUri;
    };
    EXPECT_EQ(linkOf(alice), link.module + "|" + link.certificateUri + "|" + link.keyUri);
    EXPECT_EQ(linkOf(bob), "||");
    ASSERT_TRUE(AddWithKey(api, my, alice, u"c0", 1));
    EXPECT_EQ(linkOf(alice), "||");
}

TEST(SqliteStoreTest, RefusesWhatItDoesNotSupport) {
    TempDir tmp;
    SqliteStoreApi api(tmp.Path() + "/quorlin");
    const std::uint32_t system = store::kCertStoreProvSystemW;
    const std::uint32_t user = store::kCertSystemStoreCurrentUser;
    struct Open {
        std::uint32_t provider, flags;
        const char16_t* name;
    };
    // A memory store, the local machine, read-only, no name, an empty one, a near miss.
    for (Open o :
         {Open{2, user, u"MY"}, Open{system, 0x20000, u"MY"}, Open{system, 0x18000, u"MY"},
          Open{system, user, nullptr}, Open{system, user, u""}, Open{system, user, u"M\u00dd"}}) {
        SetLastError(0);
        EXPECT_EQ(api.CertOpenStore(o.provider, 0, 0, o.flags, o.name), nullptr);
        EXPECT_EQ(GetLastError(), store::kEInvalidArg);
    }
    EXPECT_FALSE(fs::exists(tmp.Path() + "/quorlin"));  // nothing made for a refused open

    HCERTSTORE store = OpenMy(api);
    ASSERT_NE(store, nullptr);
    const x509::CertContext alice = Context(ReadFixture("alice-ec.der"));
    std::vector<std::uint8_t> trailing = alice.encoded;
    trailing.push_back(0);
    const x509::CertContext junk = Context(ReadFixture("not-a-cert.der"));
    const x509::CertContext withTail = Context(trailing);
    int token = 0;
    auto* bogus = reinterpret_cast<HCERTSTORE>(&token);
    struct Add {
        HCERTSTORE store;
        const x509::CertContext* cert;
        std::uint32_t disposition, error;
    };
    for (Add c :
         {Add{store, &alice, 1, store::kEInvalidArg}, Add{store, &alice, 2, store::kEInvalidArg},
          Add{store, &alice, 4, store::kEInvalidArg}, Add{store, &alice, 5, store::kEInvalidArg},
          Add{store, nullptr, 3, store::kEInvalidArg},
          Add{store, &junk, 3, store::kCryptEAsn1BadTag},
          Add{store, &withTail, 3, store::kCryptEAsn1BadTag},
          Add{bogus, &alice, 3, store::kEInvalidHandle}}) {
        EXPECT_FALSE(api.CertAddCertificateContextToStore(c.store, c.cert, c.disposition, nullptr));
        EXPECT_EQ(GetLastError(), c.error) << c.disposition;
    }
    const x509::CertContext* out = &alice;
    EXPECT_FALSE(api.CertAddCertificateContextToStore(store, &alice, 3, &out));
    EXPECT_EQ(out, nullptr);
    EXPECT_FALSE(api.CertCloseStore(bogus, 0));
    EXPECT_TRUE(api.CertCloseStore(nullptr, 0));

    x509::CryptKeyProvInfo info{};
    EXPECT_FALSE(api.CertSetCertificateContextProperty(&alice, 3, 0, &info));  // another property
    EXPECT_EQ(GetLastError(), store::kEInvalidArg);
    EXPECT_FALSE(api.CertSetCertificateContextProperty(&alice, 2, 1, &info));
    EXPECT_TRUE(api.CertCloseStore(store, 0));
    EXPECT_FALSE(api.CertCloseStore(store, 0));  // already closed
    EXPECT_FALSE(api.CertAddCertificateContextToStore(store, &alice, 3, nullptr));
    EXPECT_EQ(api.List()->size(), 0u);
}

TEST(SqliteStoreTest, TwoProcessesAddingAtOnceBothSucceed) {
    TempDir tmp;
    const std::string dir = tmp.Path() + "/quorlin";
    const std::vector<std::uint8_t> base = ReadFixture("bob-ec.der");
    constexpr int kPerProcess = 60;
    // A store per add, as the registration opens it per certificate; both also write one
    // certificate they share.
    auto writer = [&](std::uint32_t first) {
        return [&, first]() -> std::string {
            SqliteStoreApi api(dir);
            for (std::uint32_t k = 0; k < kPerProcess; ++k) {
                if (!AddOne(api, CertVariant(base, first + k),
                            u"c" + std::u16string(1, u'0' + k % 10)) ||
                    !AddOne(api, CertVariant(base, 0xFFFFFF), u"c-shared")) {
                    return "add failed " + std::to_string(GetLastError());
                }
            }
            return "";
        };
    };
    const Child a = StartChild(writer(0));
    const Child b = StartChild(writer(1000));
    EXPECT_EQ(FinishChild(a), "");
    EXPECT_EQ(FinishChild(b), "");
    SqliteStoreApi api(dir);
    auto entries = api.List("MY");
    ASSERT_TRUE(entries);
    EXPECT_EQ(entries->size(), 2u * kPerProcess + 1);
    ExpectEntriesWhole(api);
    EXPECT_EQ(IntegrityCheck(api.DatabasePath()), "ok");
}

TEST(SqliteStoreTest, AWriterKilledMidAddLeavesAWholeDatabase) {
    TempDir tmp;
    const std::string dir = tmp.Path() + "/quorlin";
    const std::vector<std::uint8_t> base = ReadFixture("rsa-bench.der");
    const unsigned seed = std::random_device{}();
    std::mt19937 random(seed);
    std::size_t lastCount = 0;
    for (std::uint32_t round = 0; round < 20; ++round) {
        int added[2];
        ASSERT_EQ(pipe(added), 0);
        const pid_t pid = fork();
        if (pid == 0) {
            SqliteStoreApi api(dir);
            HCERTSTORE store = OpenMy(api);
            for (std::uint32_t k = 0; store != nullptr; ++k) {
                AddWithKey(api, store, Context(CertVariant(base, round << 18 | k)),
                           u"c" + std::u16string(1, u'0' + k % 10), 1);
                [[maybe_unused]] const ssize_t said = write(added[1], "+", k == 0 ? 1 : 0);
            }
            _exit(1);
        }
        close(added[1]);
        // Killed at a random add after its first.
        char first = 0;
        ASSERT_EQ(read(added[0], &first, 1), 1) << "round " << round;
        close(added[0]);
        std::this_thread::sleep_for(std::chrono::microseconds(random() % 100000));
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));

        SqliteStoreApi api(dir);
        EXPECT_EQ(IntegrityCheck(api.DatabasePath()), "ok") << "seed " << seed;
        auto entries = api.List();
        ASSERT_TRUE(entries);
        EXPECT_GT(entries->size(), lastCount) << "round " << round << ", seed " << seed;
        ExpectEntriesWhole(api);
        lastCount = entries->size();
    }
    SqliteStoreApi api(dir);
    EXPECT_TRUE(AddOne(api, ReadFixture("alice-ec.der"), u"c-after"));  // still takes adds
}

// In a private mount namespace: a read-only data directory, and a full disk.
TEST(SqliteStoreTest, ReadOnlyDirectoryAndFullDiskFailClearlyWithNothingHalfWritten) {
    TempDir tmp;
    const std::string existing = tmp.Path() + "/existing", fresh = tmp.Path() + "/fresh",
                      small = tmp.Path() + "/small";
    {
        SqliteStoreApi api(existing + "/quorlin");
        ASSERT_TRUE(AddOne(api, ReadFixture("alice-ec.der"), u"c0"));
    }
    fs::create_directories(fresh);
    fs::create_directories(small);

    const std::string result = InChild([&]() -> std::string {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return "SKIP: no private mount namespace (" + std::string(strerror(errno)) + ")";
        }
        for (const std::string& d : {existing, fresh}) {
            if (mount(d.c_str(), d.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
                mount(nullptr, d.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) !=
                    0) {
                return "SKIP: read-only bind mount failed";
            }
        }
        std::string problems;
        auto check = [&](bool ok, const std::string& what) {
            problems += ok ? "" : what + " (error " + std::to_string(GetLastError()) + "); ";
        };
        // A database that exists in a directory that became read-only: the add fails, the
        // entry written before stays readable.
        SqliteStoreApi existingApi(existing + "/quorlin");
        check(!AddOne(existingApi, ReadFixture("bob-ec.der"), u"c1") &&
                  GetLastError() == store::kEAccessDenied,
              "existing: add");
        auto before = existingApi.List();
        check(before && before->size() == 1, "existing: entry");
        // No database yet, and no directory may be made.
        SqliteStoreApi freshApi(fresh + "/quorlin");
        check(OpenMy(freshApi) == nullptr && GetLastError() == store::kEAccessDenied, "fresh");
        // A disk that fills up while adding.
        if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=96k") != 0) {
            return problems + "SKIP: tmpfs mount failed";
        }
        SqliteStoreApi api(small + "/quorlin");
        HCERTSTORE store = OpenMy(api);
        check(store != nullptr, "small: open");
        const std::vector<std::uint8_t> base = ReadFixture("rsa-bench.der");
        std::uint32_t added = 0;
        while (added < 1000 && AddWithKey(api, store, Context(CertVariant(base, added)), u"c", 1)) {
            ++added;
        }
        check(added < 1000 && GetLastError() == store::kEDiskFull,
              "small: " + std::to_string(added) + " adds");
        api.CertCloseStore(store, 1);
        check(IntegrityCheck(api.DatabasePath()) == "ok", "small: integrity");
        auto entries = api.List();
        check(entries && entries->size() == added, "small: entries");
        // A writer that meets the full disk at its open leaves the store readable.
        const std::string full = tmp.Path() + "/full";
        fs::create_directories(full);
        if (mount("tmpfs", full.c_str(), "tmpfs", 0, "size=256k") != 0) {
            return problems + "SKIP: tmpfs mount failed";
        }
        {
            SqliteStoreApi first(full + "/quorlin");
            check(AddOne(first, ReadFixture("alice-ec.der"), u"c0"), "full: add");
        }
        std::ofstream filler(full + "/filler", std::ios::binary);
        while (filler.write(std::string(4096, '\0').data(), 4096).flush()) {
        }
        SqliteStoreApi writer(full + "/quorlin");
        check(OpenMy(writer) == nullptr && GetLastError() == store::kEDiskFull, "full: open");
        entries = SqliteStoreApi(full + "/quorlin").List();
        check(entries && entries->size() == 1, "full: entries");
        return problems;
    });
    if (result.rfind("SKIP:", 0) == 0) {
        GTEST_SKIP() << result;
    }
    EXPECT_EQ(result, "");
}

// Writing tightens the user's own loose store and refuses another user's before changing
// anything; reading changes nothing. A reader left open keeps -wal and -shm.
TEST(SqliteStoreTest, WritingTightensTheUsersLooseModesAndRefusesAnotherUsers) {
    const std::vector<std::uint8_t> alice = ReadFixture("alice-ec.der");
    for (auto [write, theirs] : {std::pair{true, false}, {false, false}, {true, true}}) {
        TempDir tmp;
        SqliteStoreApi api(tmp.Path());
        ASSERT_TRUE(AddOne(api, alice, u"c0"));
        sqlite3* reader = nullptr;
        sqlite3_open(api.DatabasePath().c_str(), &reader);
        sqlite3_exec(reader, "SELECT * FROM certificates", nullptr, nullptr, nullptr);
        const std::string db = api.DatabasePath(),
                          files[] = {tmp.Path(), db, db + "-wal", db + "-shm"};
        for (const std::string& f : files) {
            chmod(f.c_str(), &f == files ? 0755 : 0644);
        }
        ASSERT_EQ(theirs ? chown(files[3].c_str(), 65534, 65534) : 0, 0);
        EXPECT_EQ(write ? AddOne(api, alice, u"c1") : api.List().has_value(), !theirs);
        const SqliteStoreApi::Inspection inspection = api.Inspect();
        EXPECT_EQ(inspection.foreignPath, theirs ? files[3] : "");
        EXPECT_EQ(inspection.foreignOwner, theirs ? NameOf(65534) : "");
        for (const std::string& f : files) {
            struct stat st {};
            EXPECT_EQ(stat(f.c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777,
                      (&f == files ? 0755u : 0644u) & (write && !theirs ? 0700u : 0777u))
                << f << " write " << write << " theirs " << theirs;
        }
        sqlite3_close(reader);
    }
}

// Root with a user's HOME (sudo -E) makes nothing in that home and writes into nothing of
// the user's there; the report names the first such directory and its owner. Reading
// stays as it was.
TEST(SqliteStoreTest, DirectoriesOfAnotherUserInTheHomeAreNeitherMadeNorWritten) {
    const ScopedEnv data("XDG_DATA_HOME"), homeVariable("HOME");
    data.Set(nullptr);
    // The owner's directories in the home ("" the home itself), made in this order; what
    // the report names, none when the add succeeds.
    for (auto [theirs, owner, foreign] : {
             std::tuple<std::vector<std::string>, uid_t, const char*>{{""}, 65534, ""},
             {{".local"}, 65534, "/.local"},
             {{"", ".local", ".local/share", ".local/share/quorlin"}, 54321, "/.local"},
             {{}, 0, nullptr},
         }) {
        TempDir tmp;
        const std::string home = tmp.Path() + "/home";
        fs::create_directories(home);
        for (const std::string& dir : theirs) {
            fs::create_directories(home + "/" + dir);
            ASSERT_EQ(chown((home + "/" + dir).c_str(), owner, owner), 0);
        }
        homeVariable.Set(home.c_str());
        const auto count = [&home] {
            return std::distance(fs::recursive_directory_iterator(home),
                                 fs::recursive_directory_iterator());
        };
        const auto before = count();
        SqliteStoreApi api;
        EXPECT_EQ(AddOne(api, ReadFixture("alice-ec.der"), u"c0"), foreign == nullptr) << owner;
        EXPECT_TRUE(foreign == nullptr ||
                    (GetLastError() == store::kEAccessDenied && count() == before));
        EXPECT_TRUE(api.List());
        const SqliteStoreApi::Inspection inspection = api.Inspect();
        EXPECT_EQ(inspection.foreignPath, foreign == nullptr ? "" : home + foreign);
        EXPECT_EQ(inspection.foreignOwner, foreign == nullptr ? "" : NameOf(owner));
    }
}

// A HOME that is no absolute path gives way to the password database's home, the rule
// the provider registry follows too.
TEST(SqliteStoreTest, DefaultDirectoryIsQuorlinInTheUserDataDirectory) {
    const passwd* pw = getpwuid(getuid());
    ASSERT_NE(pw, nullptr);
    const std::string fromPasswd = std::string(pw->pw_dir) + "/.local/share/quorlin";
    const ScopedEnv data("XDG_DATA_HOME"), home("HOME");
    struct Case {
        const char* data;
        const char* home;
        std::string directory;
    };
    for (const Case& c : {Case{"/xdg/data", "/home/someone", "/xdg/data/quorlin"},
                          Case{nullptr, "/home/someone", "/home/someone/.local/share/quorlin"},
                          Case{nullptr, nullptr, fromPasswd}, Case{nullptr, "", fromPasswd},
                          Case{"xdg/data", "home/someone", fromPasswd}}) {
        data.Set(c.data);
        home.Set(c.home);
        EXPECT_EQ(SqliteStoreApi::DefaultDirectory(), c.directory)
            << (c.data ? c.data : "(unset)") << " " << (c.home ? c.home : "(unset)");
    }
}

// What the read-only and full-disk test shows where the mounts it needs can be had.
TEST(SqliteStoreTest, SqliteErrorsMapToPlatformCodes) {
    EXPECT_EQ(store::MapSqliteError(SQLITE_BUSY, 0), store::kEBusy);
    EXPECT_EQ(store::MapSqliteError(SQLITE_FULL, 0), store::kEDiskFull);
    EXPECT_EQ(store::MapSqliteError(SQLITE_READONLY_DIRECTORY, 0), store::kEAccessDenied);
    EXPECT_EQ(store::MapSqliteError(SQLITE_IOERR_WRITE, ENOSPC), store::kEDiskFull);
    EXPECT_EQ(store::MapSqliteError(SQLITE_CANTOPEN, EROFS), store::kEAccessDenied);
    EXPECT_EQ(store::MapSqliteError(SQLITE_NOTADB, 0), store::kEFileCorrupt);
}

}  // namespace
}  // namespace quorlin::test
