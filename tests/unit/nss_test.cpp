#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <cstdlib>
#include <fstream>
#include <iterator>
#include <map>
#include <set>

#include "fakes/TempDir.h"
#include "platform/nss/Nss.h"

namespace quorlin {
namespace {

using nss::Database;
using nss::Program;
const char* const kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";
const std::string kTrust = QUORLIN_P11_MODULE_PATH "/p11-kit-trust.so";

struct DiscoverCase {
    const char* what;
    std::map<std::string, std::string> files;
    std::set<std::string> dirs;
    std::vector<std::string> want;  // DisplayName, dir, and "missing" when so
    const char* xdgDataHome = "/x";
};

std::vector<std::string> Seen(const std::vector<Database>& dbs) {
    std::vector<std::string> out;
    for (const Database& db : dbs) {
        out.push_back(nss::DisplayName(db) + " " + db.dir + (db.missing ? " missing" : ""));
    }
    return out;
}

TEST(NssDiscover, ProfilesFromTheIniFiles) {
    const std::string shared = "nss shared database (/x/pki/nssdb) /x/pki/nssdb";
    const std::string local = "/h/.local/share/pki/nssdb";
    const DiscoverCase cases[] = {
        {"nothing", {}, {}, {shared}},
        {"relative XDG_DATA_HOME", {}, {}, {"nss shared database (" + local + ") " + local}, "x"},
        {"legacy shared",
         {},
         {"/h/.pki/nssdb"},
         {"nss shared database (/h/.pki/nssdb) /h/.pki/nssdb"}},
        {"relative, absolute, missing",
         {{"/h/.mozilla/firefox/profiles.ini",
           "[Install4F96D1932A9F858E]\nDefault=a.default\n[Profile0]\nName=default\n"
           "IsRelative=1\nPath=a.default\n\n[Profile1]\r\nName=work\r\nIsRelative=0\r\n"
           "Path=/data/work\r\n[Profile2]\nName=gone\nIsRelative=1\nPath=b.gone\n"
           "[General]\nStartWithLastProfile=1\n"}},
         {"/h/.mozilla/firefox/a.default", "/data/work"},
         {shared, "firefox (default) /h/.mozilla/firefox/a.default", "firefox (work) /data/work",
          "firefox (gone) /h/.mozilla/firefox/b.gone missing"}},
        {"second firefox location and thunderbird",
         {{"/h/.config/mozilla/firefox/profiles.ini", "[Profile0]\nName=p\nPath=p.d\n"},
          {"/h/.thunderbird/profiles.ini", "[Profile0]\nName=mail\nIsRelative=1\nPath=m.d\n"}},
         {"/h/.config/mozilla/firefox/p.d", "/h/.thunderbird/m.d"},
         {shared, "firefox (p) /h/.config/mozilla/firefox/p.d",
          "thunderbird (mail) /h/.thunderbird/m.d"}},
        {"snap and flatpak copies",
         {},
         {"/h/snap/firefox", "/h/.var/app/org.mozilla.firefox", "/h/snap/thunderbird",
          "/h/.var/app/org.mozilla.Thunderbird"},
         {shared, "firefox (snap) /h/snap/firefox",
          "firefox (flatpak) /h/.var/app/org.mozilla.firefox",
          "thunderbird (snap) /h/snap/thunderbird",
          "thunderbird (flatpak) /h/.var/app/org.mozilla.Thunderbird"}},
    };
    for (const DiscoverCase& c : cases) {
        const auto dbs = nss::Discover(
            "/h", c.xdgDataHome,
            [&](const std::string& p) -> std::optional<std::string> {
                const auto it = c.files.find(p);
                return it == c.files.end() ? std::nullopt : std::optional(it->second);
            },
            [&](const std::string& p) { return c.dirs.count(p) > 0; });
        EXPECT_EQ(Seen(dbs), c.want) << c.what;
    }
}

std::string Slurp(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// The tools as a person would run them; stdout into OUT when given.
void Shell(const std::string& command, const std::string& out = "/dev/null") {
    ASSERT_EQ(std::system((command + " </dev/null >" + out + " 2>&1").c_str()), 0) << command;
}

struct NssDb {
    test::TempDir tmp{"nss"};
    Database db{Program::Firefox, "p", tmp.Path(), "", false};
    NssDb() { Shell("certutil -N -d sql:" + db.dir + " --empty-password"); }
    std::string Files() const {
        return Slurp(db.dir + "/pkcs11.txt") + Slurp(db.dir + "/cert9.db") +
               Slurp(db.dir + "/key4.db");
    }
};

TEST(NssModutil, AddOnceThenRemoveOnlyOurs) {
    NssDb d;
    using Kind = nss::AddOutcome::Kind;
    ASSERT_EQ(symlink("127.0.0.1:+1", (d.db.dir + "/lock").c_str()), 0);  // Firefox running
    const auto added = nss::AddModule(d.db, "X", kSoftHsm);
    EXPECT_EQ(added.kind, Kind::Added);
    EXPECT_TRUE(added.inUse);
    const std::string after = d.Files();
    const auto again = nss::AddModule(d.db, "Y", kSoftHsm);
    EXPECT_EQ(again.kind, Kind::AlreadyThere) << again.reason;
    EXPECT_EQ(d.Files(), after);
    Shell("modutil -list -dbdir sql:" + d.db.dir, d.tmp.Join("list"));
    EXPECT_NE(Slurp(d.tmp.Join("list")).find("2. Quorlin: X"), std::string::npos);
    EXPECT_EQ(nss::Inspect(d.db, kSoftHsm).listedAs, "Quorlin: X");

    Shell("modutil -add 'Hand Made' -libfile " + kTrust + " -dbdir sql:" + d.db.dir + " -force");
    const auto removed = nss::RemoveQuorlinModules(d.db);
    ASSERT_EQ(removed.size(), 1u);
    EXPECT_EQ(removed[0], std::make_pair(std::string("Quorlin: X"), std::string()));
    EXPECT_FALSE(nss::Inspect(d.db, kSoftHsm).listed);
    EXPECT_EQ(nss::Inspect(d.db, kTrust).listedAs, "Hand Made");
    EXPECT_TRUE(nss::RemoveQuorlinModules(d.db).empty());
    // The library listed by hand under another name is not added again, through a link too.
    ASSERT_EQ(symlink(kTrust.c_str(), d.tmp.Join("trust.so").c_str()), 0);
    EXPECT_EQ(nss::AddModule(d.db, "X", d.tmp.Join("trust.so")).kind, Kind::AlreadyThere);
}

TEST(NssModutil, NothingWrittenWhereItMayNotBe) {
    struct Case {
        const char* what;
        std::function<void(NssDb&)> spoil;
        const char* reason;
    };
    const Case cases[] = {
        {"pkcs11.txt of another user",
         [](NssDb& d) { ASSERT_EQ(chown((d.db.dir + "/pkcs11.txt").c_str(), 65534, 0), 0); },
         "pkcs11.txt owned by another user"},
        {"directory of another user",
         [](NssDb& d) { ASSERT_EQ(chown(d.db.dir.c_str(), 65534, 0), 0); },
         "owned by another user"},
        {"old format",
         [](NssDb& d) {
             unlink((d.db.dir + "/cert9.db").c_str());
             std::ofstream(d.db.dir + "/cert8.db") << "x";
         },
         "old dbm format (cert8.db)"},
    };
    for (const Case& c : cases) {
        NssDb d;
        c.spoil(d);
        const std::string before = d.Files();
        const auto outcome = nss::AddModule(d.db, "X", kSoftHsm);
        EXPECT_EQ(outcome.kind, nss::AddOutcome::Kind::Failed) << c.what;
        EXPECT_NE(outcome.reason.find(c.reason), std::string::npos) << c.what << outcome.reason;
        EXPECT_EQ(d.Files(), before) << c.what;
    }
}

TEST(NssModutil, SharedDatabaseMadeWhenAbsent) {
    test::TempDir tmp{"nss"};
    const Database shared{Program::Shared, "", tmp.Path() + "/share/pki/nssdb", "", false};
    EXPECT_EQ(nss::AddModule(shared, "X", kSoftHsm).kind, nss::AddOutcome::Kind::Added);
    struct stat st {};
    ASSERT_EQ(stat(shared.dir.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    EXPECT_TRUE(nss::Inspect(shared, kSoftHsm).listed);
    // Another user's home: nothing made in it.
    ASSERT_EQ(chown(tmp.Path().c_str(), 65534, 0), 0);
    const Database theirs{Program::Shared, "", tmp.Path() + "/other/nssdb", "", false};
    EXPECT_EQ(nss::AddModule(theirs, "X", kSoftHsm).kind, nss::AddOutcome::Kind::Failed);
    EXPECT_NE(stat(tmp.Join("other").c_str(), &st), 0);
}

}  // namespace
}  // namespace quorlin
