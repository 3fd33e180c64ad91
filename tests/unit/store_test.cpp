// The SQLite certificate store: what it keeps, what it refuses, and how it behaves when
// other processes write at the same time, die mid-write, or the disk says no.

#include <gtest/gtest.h>
#include <openssl/sha.h>
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
#include <functional>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "fakes/CertFixtures.h"
#include "platform/LastError.h"
#include "platform/store/SqliteStoreApi.h"

namespace quorlin::test {
namespace {

namespace fs = std::filesystem;
using store::HCERTSTORE;
using store::SqliteStoreApi;

class TempDir {
  public:
    TempDir() {
        std::string pattern = (fs::temp_directory_path() / "quorlin-store-XXXXXX").string();
        path = mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        fs::remove_all(path, ec);
    }
    std::string path;
};

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

// Attaches a key-provider property and adds; true on success.
bool AddWithKey(SqliteStoreApi& api, HCERTSTORE store, const x509::CertContext& cert,
                const std::u16string& container, std::uint32_t keySpec) {
    std::u16string container16 = container;
    std::u16string provider = u"Morvex CSP Enterprise";
    x509::CryptKeyProvInfo info{};
    info.pwszContainerName = container16.data();
    info.pwszProvName = provider.data();
    info.dwProvType = 1;
    info.dwKeySpec = keySpec;
    return api.CertSetCertificateContextProperty(&cert, store::kCertKeyProvInfoPropId, 0, &info) &&
           api.CertAddCertificateContextToStore(store, &cert, store::kCertStoreAddReplaceExisting,
                                                nullptr);
}

HCERTSTORE OpenMy(SqliteStoreApi& api, const char16_t* name = u"MY") {
    return api.CertOpenStore(store::kCertStoreProvSystemW, 0, 0, store::kCertSystemStoreCurrentUser,
                             name);
}

// Runs body in a child process; returns what it reports ("" = fine).
std::string InChild(const std::function<std::string()>& body) {
    int fds[2];
    if (pipe(fds) != 0) {
        return "pipe failed";
    }
    const pid_t pid = fork();
    if (pid == 0) {
        close(fds[0]);
        const std::string result = body();
        if (!result.empty() && write(fds[1], result.data(), result.size()) < 0) {
            _exit(3);
        }
        _exit(0);
    }
    close(fds[1]);
    std::string out;
    char buf[256];
    ssize_t n = 0;
    while ((n = read(fds[0], buf, sizeof buf)) > 0) {
        out.append(buf, static_cast<std::size_t>(n));
    }
    close(fds[0]);
    int status = 0;
    waitpid(pid, &status, 0);
    if (!WIFEXITED(status) || WEXITSTATUS(status) != 0) {
        out += " (child ended abnormally)";
    }
    return out;
}

std::string IntegrityCheck(const std::string& path) {
    sqlite3* db = nullptr;
    std::string result = "cannot open";
    if (sqlite3_open_v2(path.c_str(), &db, SQLITE_OPEN_READWRITE, nullptr) == SQLITE_OK) {
        sqlite3_stmt* s = nullptr;
        if (sqlite3_prepare_v2(db, "PRAGMA integrity_check", -1, &s, nullptr) == SQLITE_OK &&
            sqlite3_step(s) == SQLITE_ROW) {
            result = reinterpret_cast<const char*>(sqlite3_column_text(s, 0));
        }
        sqlite3_finalize(s);
    }
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
    const std::string dir = tmp.path + "/data/quorlin";
    const mode_t saved = umask(0);
    SqliteStoreApi api(dir);
    HCERTSTORE store = OpenMy(api, u"my");  // names ignore case
    umask(saved);
    ASSERT_NE(store, nullptr) << std::hex << GetLastError();

    struct stat st {};
    ASSERT_EQ(stat(dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat((tmp.path + "/data").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(stat(api.DatabasePath().c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    const x509::CertContext alice = Context(ReadFixture("alice-ec.der"));
    const x509::CertContext bob = Context(ReadFixture("bob-ec.der"));
    ASSERT_TRUE(AddWithKey(api, store, alice, u"Quorlin-Alice", 2));
    ASSERT_TRUE(AddWithKey(api, store, alice, u"Quorlin-Alice", 1));  // replaces
    ASSERT_TRUE(AddWithKey(api, store, bob, std::u16string{0xA4, 0x40, u'x'}, 2));
    EXPECT_EQ(alice.keyProvInfo->keySpec, 1u);
    // Another name is another store.
    HCERTSTORE other = OpenMy(api, u"Other");
    ASSERT_NE(other, nullptr);
    ASSERT_TRUE(AddWithKey(api, other, alice, u"Quorlin-Alice", 2));
    EXPECT_TRUE(api.CertCloseStore(other, 0));
    EXPECT_TRUE(api.CertCloseStore(store, store::kCertCloseStoreForceFlag));

    SqliteStoreApi reader(dir);
    auto my = reader.List("MY");
    ASSERT_TRUE(my);
    ASSERT_EQ(my->size(), 2u);
    const store::StoredCertificate* a = nullptr;
    const store::StoredCertificate* b = nullptr;
    for (const auto& e : *my) {
        (e.der == alice.encoded ? a : b) = &e;
    }
    ASSERT_TRUE(a && b);
    EXPECT_EQ(a->thumbprint, Sha1Hex(alice.encoded));
    EXPECT_EQ(a->container, "Quorlin-Alice");
    EXPECT_EQ(a->provider, "Morvex CSP Enterprise");
    EXPECT_EQ(a->provType, 1u);
    EXPECT_EQ(a->flags, 0u);
    EXPECT_EQ(a->keySpec, 1u);
    EXPECT_EQ(b->der, bob.encoded);
    EXPECT_EQ(b->container, "\u00A4@x");  // each code unit kept as the character it is
    EXPECT_EQ(reader.List()->size(), 3u);

    auto found = reader.Find(Sha1Hex(alice.encoded).substr(0, 6));
    ASSERT_TRUE(found);
    EXPECT_EQ(found->size(), 2u);  // MY and OTHER
    EXPECT_EQ(reader.Remove(Sha1Hex(alice.encoded), "OTHER"), 1);
    EXPECT_EQ(reader.List()->size(), 2u);
    EXPECT_EQ(reader.Remove(Sha1Hex(alice.encoded), "OTHER"), 0);
    EXPECT_EQ(IntegrityCheck(api.DatabasePath()), "ok");
}

TEST(SqliteStoreTest, RefusesWhatItDoesNotSupport) {
    TempDir tmp;
    SqliteStoreApi api(tmp.path + "/quorlin");
    auto refused = [&](std::uint32_t provider, std::uint32_t flags, const char16_t* name) {
        SetLastError(0);
        return api.CertOpenStore(provider, 0, 0, flags, name) == nullptr &&
               GetLastError() == store::kEInvalidArg;
    };
    EXPECT_TRUE(refused(2, store::kCertSystemStoreCurrentUser, u"MY"));  // memory store
    EXPECT_TRUE(refused(store::kCertStoreProvSystemW, 0x20000, u"MY"));  // local machine
    EXPECT_TRUE(refused(store::kCertStoreProvSystemW, 0x18000, u"MY"));  // read-only flag
    EXPECT_TRUE(refused(store::kCertStoreProvSystemW, store::kCertSystemStoreCurrentUser, nullptr));
    EXPECT_TRUE(refused(store::kCertStoreProvSystemW, store::kCertSystemStoreCurrentUser, u""));
    EXPECT_TRUE(
        refused(store::kCertStoreProvSystemW, store::kCertSystemStoreCurrentUser, u"M\u00dd"));
    EXPECT_FALSE(fs::exists(tmp.path + "/quorlin"));  // nothing made for a refused open

    HCERTSTORE store = OpenMy(api);
    ASSERT_NE(store, nullptr);
    const x509::CertContext alice = Context(ReadFixture("alice-ec.der"));
    for (std::uint32_t disposition : {1u, 2u, 4u, 5u}) {
        EXPECT_FALSE(api.CertAddCertificateContextToStore(store, &alice, disposition, nullptr));
        EXPECT_EQ(GetLastError(), store::kEInvalidArg);
    }
    const x509::CertContext* out = &alice;
    EXPECT_FALSE(api.CertAddCertificateContextToStore(store, &alice, 3, &out));
    EXPECT_EQ(out, nullptr);
    EXPECT_FALSE(api.CertAddCertificateContextToStore(store, nullptr, 3, nullptr));
    EXPECT_EQ(GetLastError(), store::kEInvalidArg);
    const x509::CertContext junk = Context(ReadFixture("not-a-cert.der"));
    EXPECT_FALSE(api.CertAddCertificateContextToStore(store, &junk, 3, nullptr));
    EXPECT_EQ(GetLastError(), store::kCryptEAsn1BadTag);
    std::vector<std::uint8_t> trailing = alice.encoded;
    trailing.push_back(0);
    const x509::CertContext withTail = Context(trailing);
    EXPECT_FALSE(api.CertAddCertificateContextToStore(store, &withTail, 3, nullptr));
    int token = 0;
    auto* bogus = reinterpret_cast<HCERTSTORE>(&token);
    EXPECT_FALSE(api.CertAddCertificateContextToStore(bogus, &alice, 3, nullptr));
    EXPECT_EQ(GetLastError(), store::kEInvalidHandle);
    EXPECT_FALSE(api.CertCloseStore(bogus, 0));
    EXPECT_TRUE(api.CertCloseStore(nullptr, 0));

    x509::CryptKeyProvInfo info{};
    EXPECT_FALSE(api.CertSetCertificateContextProperty(&alice, 3, 0, &info));
    EXPECT_EQ(GetLastError(), store::kEInvalidArg);
    EXPECT_FALSE(api.CertSetCertificateContextProperty(&alice, 2, 1, &info));
    // Null strings are empty names; null data takes the property away.
    EXPECT_TRUE(api.CertSetCertificateContextProperty(&alice, 2, 0, &info));
    ASSERT_TRUE(alice.keyProvInfo);
    EXPECT_TRUE(alice.keyProvInfo->containerName.empty());
    EXPECT_TRUE(api.CertSetCertificateContextProperty(&alice, 2, 0, nullptr));
    EXPECT_FALSE(alice.keyProvInfo);
    ASSERT_TRUE(api.CertAddCertificateContextToStore(store, &alice, 3, nullptr));
    EXPECT_TRUE(api.CertCloseStore(store, 0));
    auto entries = api.List();
    ASSERT_TRUE(entries);
    ASSERT_EQ(entries->size(), 1u);
    EXPECT_FALSE(entries->front().hasKeyProvInfo);
    EXPECT_EQ(api.CertCloseStore(store, 0), false);  // already closed
}

TEST(SqliteStoreTest, TwoProcessesAddingAtOnceBothSucceed) {
    TempDir tmp;
    const std::string dir = tmp.path + "/quorlin";
    const std::vector<std::uint8_t> base = ReadFixture("bob-ec.der");
    constexpr int kPerProcess = 60;
    auto writer = [&](int first) {
        return [&, first]() -> std::string {
            SqliteStoreApi api(dir);
            for (int k = 0; k < kPerProcess; ++k) {
                // A store per add, as the registration opens it per certificate.
                HCERTSTORE store = OpenMy(api);
                if (store == nullptr) {
                    return "open " + std::to_string(GetLastError());
                }
                const x509::CertContext c =
                    Context(CertVariant(base, static_cast<std::uint32_t>(first + k)));
                // Both also write one certificate they share.
                const x509::CertContext shared = Context(CertVariant(base, 0xFFFFFF));
                if (!AddWithKey(api, store, c, u"c" + std::u16string(1, u'0' + k % 10), 1) ||
                    !AddWithKey(api, store, shared, u"c-shared", 1)) {
                    return "add failed " + std::to_string(GetLastError());
                }
                api.CertCloseStore(store, 1);
            }
            return "";
        };
    };
    std::string first, second;
    std::thread a([&] { first = InChild(writer(0)); });
    std::thread b([&] { second = InChild(writer(1000)); });
    a.join();
    b.join();
    EXPECT_EQ(first, "");
    EXPECT_EQ(second, "");
    SqliteStoreApi api(dir);
    auto entries = api.List("MY");
    ASSERT_TRUE(entries);
    EXPECT_EQ(entries->size(), 2u * kPerProcess + 1);
    ExpectEntriesWhole(api);
    EXPECT_EQ(IntegrityCheck(api.DatabasePath()), "ok");
}

TEST(SqliteStoreTest, AWriterKilledMidAddLeavesAWholeDatabase) {
    TempDir tmp;
    const std::string dir = tmp.path + "/quorlin";
    const std::vector<std::uint8_t> base = ReadFixture("rsa-bench.der");
    std::size_t lastCount = 0;
    for (int round = 0; round < 3; ++round) {
        const pid_t pid = fork();
        if (pid == 0) {
            SqliteStoreApi api(dir);
            HCERTSTORE store = OpenMy(api);
            for (std::uint32_t k = 0; store != nullptr; ++k) {
                const x509::CertContext c =
                    Context(CertVariant(base, static_cast<std::uint32_t>(round) << 20 | k));
                AddWithKey(api, store, c, u"c" + std::u16string(1, u'0' + k % 10), 1);
            }
            _exit(1);
        }
        // Let it write for a while, a different while each round, then kill it.
        std::this_thread::sleep_for(std::chrono::milliseconds(150 + 70 * round));
        ASSERT_EQ(kill(pid, SIGKILL), 0);
        int status = 0;
        waitpid(pid, &status, 0);
        ASSERT_TRUE(WIFSIGNALED(status));

        SqliteStoreApi api(dir);
        EXPECT_EQ(IntegrityCheck(api.DatabasePath()), "ok");
        auto entries = api.List();
        ASSERT_TRUE(entries);
        EXPECT_GT(entries->size(), lastCount) << "round " << round;
        lastCount = entries->size();
        ExpectEntriesWhole(api);
        // And the store still takes adds.
        HCERTSTORE store = OpenMy(api);
        ASSERT_NE(store, nullptr);
        EXPECT_TRUE(AddWithKey(api, store, Context(ReadFixture("alice-ec.der")), u"c-after", 1));
        api.CertCloseStore(store, 1);
        ++lastCount;
    }
}

// In a private mount namespace: a read-only data directory, and a full disk.
TEST(SqliteStoreTest, ReadOnlyDirectoryAndFullDiskFailClearlyWithNothingHalfWritten) {
    TempDir tmp;
    const std::string existing = tmp.path + "/existing";
    {
        SqliteStoreApi api(existing + "/quorlin");
        HCERTSTORE store = OpenMy(api);
        ASSERT_NE(store, nullptr);
        ASSERT_TRUE(AddWithKey(api, store, Context(ReadFixture("alice-ec.der")), u"c0", 1));
        api.CertCloseStore(store, 1);
    }
    fs::create_directories(tmp.path + "/fresh");
    fs::create_directories(tmp.path + "/small");

    const std::string result = InChild([&]() -> std::string {
        if (unshare(CLONE_NEWNS) != 0 ||
            mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0) {
            return "SKIP: no private mount namespace (" + std::string(strerror(errno)) + ")";
        }
        for (const std::string& d : {existing, tmp.path + "/fresh"}) {
            if (mount(d.c_str(), d.c_str(), nullptr, MS_BIND, nullptr) != 0 ||
                mount(nullptr, d.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) !=
                    0) {
                return "SKIP: read-only bind mount failed";
            }
        }
        std::string problems;
        // A database that exists in a directory that became read-only.
        {
            SqliteStoreApi api(existing + "/quorlin");
            HCERTSTORE store = OpenMy(api);
            bool failed = store == nullptr;
            if (store != nullptr) {
                failed = !AddWithKey(api, store, Context(ReadFixture("bob-ec.der")), u"c1", 1);
                api.CertCloseStore(store, 1);
            }
            if (!failed || GetLastError() != store::kEAccessDenied) {
                problems += "existing: error " + std::to_string(GetLastError()) + "; ";
            }
            auto entries = api.List();
            if (!entries || entries->size() != 1) {
                problems += "existing: the entry written before is not readable; ";
            }
        }
        // No database yet, and no directory may be made.
        {
            SqliteStoreApi api(tmp.path + "/fresh/quorlin");
            if (OpenMy(api) != nullptr || GetLastError() != store::kEAccessDenied) {
                problems += "fresh: error " + std::to_string(GetLastError()) + "; ";
            }
        }
        // A disk that fills up while adding.
        const std::string small = tmp.path + "/small";
        if (mount("tmpfs", small.c_str(), "tmpfs", 0, "size=96k") != 0) {
            return problems + "SKIP: tmpfs mount failed";
        }
        {
            SqliteStoreApi api(small + "/quorlin");
            HCERTSTORE store = OpenMy(api);
            if (store == nullptr) {
                return problems + "small: open failed " + std::to_string(GetLastError());
            }
            const std::vector<std::uint8_t> base = ReadFixture("rsa-bench.der");
            std::uint32_t added = 0;
            while (added < 1000 &&
                   AddWithKey(api, store, Context(CertVariant(base, added)), u"c", 1)) {
                ++added;
            }
            const std::uint32_t error = GetLastError();
            api.CertCloseStore(store, 1);
            if (added == 1000 || error != store::kEDiskFull) {
                problems += "small: " + std::to_string(added) + " adds, error " +
                            std::to_string(error) + "; ";
            }
            if (IntegrityCheck(api.DatabasePath()) != "ok") {
                problems += "small: integrity; ";
            }
            auto entries = api.List();
            if (!entries || entries->size() != added) {
                problems += "small: " + std::to_string(entries ? entries->size() : 0) +
                            " entries for " + std::to_string(added) + " adds; ";
            }
        }
        return problems;
    });
    if (result.rfind("SKIP:", 0) == 0) {
        GTEST_SKIP() << result;
    }
    EXPECT_EQ(result, "");
}

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
