#include <gtest/gtest.h>
#include <p11-kit/p11-kit.h>
#include <p11-kit/pkcs11.h>
#include <p11-kit/uri.h>
#include <stdlib.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <fstream>
#include <iterator>
#include <set>

#include "fakes/TempDir.h"
#include "platform/pkcs11/Pkcs11.h"

namespace quorlin {
namespace {

namespace fs = std::filesystem;
const char* const kSoftHsm = "/usr/lib/softhsm/libsofthsm2.so";

std::vector<std::uint8_t> Fixture(const std::string& name) {
    std::ifstream in(std::string(getenv("QUORLIN_SOURCE_DIR")) + "/tests/fixtures/" + name,
                     std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

// Below the build tree, whose directories up to / only root may change; /tmp would be
// the first thing judged untrusted.
// Under /run, root's and closed to others: a build tree may sit below /tmp, which anyone
// may write to, and then nothing in it could be trusted.
struct TrustedDir {
    std::string path = access("/run", W_OK) == 0
                           ? std::string("/run/quorlin-pkcs11-XXXXXX")
                           : std::string(getenv("QUORLIN_BUILD_DIR")) + "/pkcs11-XXXXXX";
    TrustedDir() {
        if (mkdtemp(path.data()) == nullptr) {
            throw std::runtime_error("mkdtemp " + path);
        }
    }
    ~TrustedDir() { fs::remove_all(path); }
};

TEST(Pkcs11Test, UntrustedReasonJudgesTheFileAndEveryStepToIt) {
    TrustedDir dir;
    const std::string d = dir.path;
    const auto make = [&](const std::string& name, unsigned mode) {
        if (name.ends_with(".so")) {
            std::ofstream(d + "/" + name) << "x";
        } else {
            fs::create_directory(d + "/" + name);
        }
        fs::permissions(d + "/" + name, fs::perms(mode));
    };
    make("good.so", 0644);
    make("group.so", 0664);
    make("nobody.so", 0644);
    make("open", 0777);
    make("open/x.so", 0644);
    make("sticky", 01777);
    make("sticky/x.so", 0644);
    make("dir", 0755);
    ASSERT_EQ(chown((d + "/nobody.so").c_str(), 65534, 65534), 0);
    fs::create_symlink("good.so", d + "/link.so");
    fs::create_symlink("open/x.so", d + "/to-open.so");
    fs::create_symlink("good.so", d + "/nobody-link.so");
    ASSERT_EQ(lchown((d + "/nobody-link.so").c_str(), 65534, 65534), 0);
    const struct {
        std::string path;
        uid_t allowed;
        std::string why;  // "" when trusted
    } cases[] = {
        {"good.so", 0, ""},
        {"link.so", 0, ""},
        {"nobody.so", 65534, ""},
        {"group.so", 0, "not trusted: " + d + "/group.so is writable by group"},
        {"open/x.so", 0, "not trusted: " + d + "/open is writable by others"},
        {"to-open.so", 0, "not trusted: " + d + "/open is writable by others"},
        {"sticky/x.so", 0, "not trusted: " + d + "/sticky is writable by others"},
        {"nobody.so", 0, "not trusted: " + d + "/nobody.so is owned by nobody"},
        {"nobody-link.so", 0, "not trusted: " + d + "/nobody-link.so is owned by nobody"},
        {"missing.so", 0, d + "/missing.so does not exist"},
        {"dir", 0, "not trusted: " + d + "/dir is not a regular file"},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.path);
        EXPECT_EQ(pkcs11::UntrustedReason(d + "/" + c.path, c.allowed).value_or(""), c.why);
    }
}

TEST(Pkcs11Test, ResolveModulePathTakesAbsoluteOrBareNamesOnly) {
    EXPECT_EQ(pkcs11::ResolveModulePath("/opt/x.so"), "/opt/x.so");
    EXPECT_EQ(pkcs11::ResolveModulePath("x.so"), QUORLIN_P11_MODULE_PATH "/x.so");
    EXPECT_EQ(pkcs11::ResolveModulePath("lib/x.so"), "");
    EXPECT_EQ(pkcs11::ResolveModulePath(""), "");
}

TEST(Pkcs11Test, FindCertificateGivesTheUrisOfItsTokenAndId) {
    test::TempDir dir("pkcs11");
    const std::string helper =
        std::string(getenv("QUORLIN_SOURCE_DIR")) + "/tests/fakes/softhsm-token";
    ASSERT_EQ(system((helper + " " + dir.Path() + " 'Quorlin Card' alice-ec bob-ec").c_str()), 0);
    setenv("SOFTHSM2_CONF", dir.Join("softhsm2.conf").c_str(), 1);
    pkcs11::Module module(kSoftHsm);
    ASSERT_TRUE(module.Loaded()) << module.Error();
    const auto tokens = module.Tokens();
    ASSERT_EQ(tokens.size(), 1u);
    EXPECT_EQ(tokens[0].label, "Quorlin Card");

    const struct {
        const char* fixture;
        std::uint8_t id;
    } cases[] = {{"alice-ec.der", 1}, {"bob-ec.der", 2}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.fixture);
        std::string reason;
        const auto found = module.FindCertificate(Fixture(c.fixture), reason);
        ASSERT_TRUE(found) << reason;
        EXPECT_EQ(found->tokenLabel, "Quorlin Card");
        for (const auto& [uri, objectClass] : {std::pair{found->certificateUri, CKO_CERTIFICATE},
                                               std::pair{found->keyUri, CKO_PRIVATE_KEY}}) {
            SCOPED_TRACE(uri);
            P11KitUri* parsed = p11_kit_uri_new();
            ASSERT_EQ(p11_kit_uri_parse(uri.c_str(), P11_KIT_URI_FOR_ANY, parsed), P11_KIT_URI_OK);
            const CK_TOKEN_INFO* token = p11_kit_uri_get_token_info(parsed);
            const auto text = [](const unsigned char* field, std::size_t size) {
                return std::string(reinterpret_cast<const char*>(field),
                                   p11_kit_space_strlen(field, size));
            };
            EXPECT_EQ(text(token->label, sizeof token->label), "Quorlin Card");
            EXPECT_EQ(text(token->serialNumber, sizeof token->serialNumber), tokens[0].serial);
            const CK_ATTRIBUTE* id = p11_kit_uri_get_attribute(parsed, CKA_ID);
            ASSERT_TRUE(id != nullptr && id->ulValueLen == 1);
            EXPECT_EQ(*static_cast<const std::uint8_t*>(id->pValue), c.id);
            const CK_ATTRIBUTE* type = p11_kit_uri_get_attribute(parsed, CKA_CLASS);
            ASSERT_TRUE(type != nullptr);
            EXPECT_EQ(*static_cast<const CK_OBJECT_CLASS*>(type->pValue), objectClass);
            p11_kit_uri_free(parsed);
        }
    }
    std::string reason;
    EXPECT_FALSE(module.FindCertificate(Fixture("carol-big5.der"), reason));
    EXPECT_EQ(reason, "no token holds this certificate");
    EXPECT_FALSE(pkcs11::Module(dir.Join("missing.so")).Loaded());
}

struct P11KitDirs {
    TrustedDir dir;
    pkcs11::P11KitPaths paths{dir.path + "/share",
                              dir.path + "/etc/modules",
                              dir.path + "/etc/pkcs11.conf",
                              dir.path + "/home/cfg/modules",
                              dir.path + "/home/cfg/pkcs11.conf",
                              dir.path + "/home",
                              false};
    std::string module = dir.path + "/card.so";
    P11KitDirs() {
        fs::create_directories(paths.home);
        std::ofstream(module) << "x";
    }
};

TEST(Pkcs11Test, MakeKnownToP11KitWritesAndRemovesOnlyItsOwn) {
    using Kind = pkcs11::P11KitOutcome::Kind;
    P11KitDirs t;
    const auto added = pkcs11::MakeKnownToP11Kit("Morvex CSP  Enterprise!", t.module, t.paths);
    ASSERT_EQ(added.kind, Kind::Added) << added.reason;
    EXPECT_EQ(added.file, t.paths.userModules + "/quorlin-morvex-csp-enterprise.module");
    std::ifstream in(added.file);
    const std::string text{std::istreambuf_iterator<char>(in), {}};
    EXPECT_NE(text.find("\nmodule: " + t.module + "\n"), std::string::npos) << text;
    struct stat st {};
    ASSERT_EQ(stat(added.file.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0644u);
    ASSERT_EQ(stat((t.paths.home + "/cfg").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 07777, 0700u);

    std::ofstream(t.paths.userModules + "/quorlin-other.module") << "module: /x.so\n";
    const auto removed = pkcs11::RemoveQuorlinModules(t.paths);
    const std::vector<std::pair<std::string, std::string>> expected{
        {added.file, ""},
        {t.paths.userModules + "/quorlin-other.module", "not written by Quorlin"}};
    EXPECT_EQ(std::set(removed.begin(), removed.end()), std::set(expected.begin(), expected.end()));
    EXPECT_FALSE(fs::exists(added.file));
}

TEST(Pkcs11Test, MakeKnownToP11KitLeavesWhatP11KitReadsAlreadyOrNever) {
    using Kind = pkcs11::P11KitOutcome::Kind;
    P11KitDirs configured;  // by a package, through a link to the module
    fs::create_directories(configured.paths.packageModules);
    fs::create_symlink(configured.module, configured.dir.path + "/link.so");
    std::ofstream(configured.paths.packageModules + "/card.module")
        << "# a package's\nmodule: " << configured.dir.path << "/link.so\n";
    P11KitDirs none;
    fs::create_directories(none.paths.systemModules);
    std::ofstream(none.paths.systemConfig) << "user-config: none\n";
    P11KitDirs root;
    root.paths.root = true;
    const struct {
        P11KitDirs& t;
        Kind kind;
        std::string file;
    } cases[] = {
        {configured, Kind::AlreadyConfigured, configured.paths.packageModules + "/card.module"},
        {none, Kind::IgnoredByConfig, ""},
        {root, Kind::IgnoredForRoot, ""},
    };
    for (const auto& c : cases) {
        const auto outcome = pkcs11::MakeKnownToP11Kit("Card", c.t.module, c.t.paths);
        EXPECT_EQ(outcome.kind, c.kind) << outcome.reason;
        EXPECT_EQ(outcome.file, c.file);
        EXPECT_FALSE(fs::exists(c.t.paths.userModules));
    }
    // As p11-kit is set up on this machine: the package's file for SoftHSM2.
    EXPECT_EQ(pkcs11::InspectP11Kit(kSoftHsm).configuredIn,
              QUORLIN_P11_PACKAGE_MODULES "/softhsm2.module");
}

// As a user: the file lands where p11-kit itself then finds the module, and only once.
TEST(Pkcs11Test, P11KitLoadsTheModuleMadeKnownForAUser) {
    if (geteuid() != 0) {
        GTEST_SKIP() << "needs root to become another user";
    }
    test::TempDir dir("pkcs11");
    chmod(dir.Path().c_str(), 0755);
    const std::string home = dir.Join("home");
    fs::create_directory(home);
    ASSERT_EQ(chown(home.c_str(), 65534, 65534), 0);
    const std::string module = QUORLIN_P11_MODULE_PATH "/p11-kit-client.so";
    const pid_t child = fork();
    if (child == 0) {
        using Kind = pkcs11::P11KitOutcome::Kind;
        setenv("HOME", home.c_str(), 1);
        unsetenv("XDG_CONFIG_HOME");
        const bool ok =
            setgid(65534) == 0 && setuid(65534) == 0 &&
            pkcs11::MakeKnownToP11Kit("Quorlin Card", module).kind == Kind::Added &&
            pkcs11::MakeKnownToP11Kit("Quorlin Card", module).kind == Kind::AlreadyConfigured &&
            system(("p11-kit list-modules 2>/dev/null | grep -qx 'quorlin-quorlin-card: " + module +
                    "'")
                       .c_str()) == 0;
        _exit(ok ? 0 : 1);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, 0), child);
    EXPECT_EQ(status, 0);
    EXPECT_TRUE(fs::exists(home + "/.config/pkcs11/modules/quorlin-quorlin-card.module"));
}

}  // namespace
}  // namespace quorlin
