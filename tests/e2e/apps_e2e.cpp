// Registration that other programs see, through pcscd, vpcd and quorlin-cardsim with the
// demo card, and SoftHSM2 standing in for the card vendor's PKCS#11 module: a token holding
// the same certificates and keys. quorlin-card runs as a user of no privilege, since
// p11-kit reads no user configuration for root.

#include <sys/mount.h>
#include <sys/stat.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <nlohmann/json.hpp>

#include "e2e/CardFixture.h"

namespace quorlin::e2e {
namespace {

using nlohmann::json;
namespace fs = std::filesystem;

constexpr const char* kUser = "61234";  // no entry in the password database is needed
constexpr const char* kPackageModules = "/usr/share/p11-kit/modules";

struct Outcome {
    int status = -1;
    std::string out;  // stdout and stderr
};

Outcome Shell(const std::string& command) {
    Outcome run;
    FILE* pipe = ::popen(("{ " + command + "\n} 2>&1").c_str(), "r");
    for (int c = 0; pipe != nullptr && (c = std::fgetc(pipe)) != EOF;) {
        run.out.push_back(static_cast<char>(c));
    }
    const int status = pipe != nullptr ? ::pclose(pipe) : -1;
    run.status = WIFEXITED(status) ? WEXITSTATUS(status) : -1;
    return run;
}

std::string Read(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    return {std::istreambuf_iterator<char>(in), {}};
}

class Apps : public CardFixture {
  protected:
    void SetUp() override {
        CardFixture::SetUp();
        // The vendor's module where a vendor's would be: a directory of root's that no one
        // else may write (this test's mount namespace only), unknown to p11-kit so far.
        ASSERT_EQ(::mount("quorlin-modules", "/mnt", "tmpfs", 0, "mode=0755"), 0);
        // Debian's softhsm2 package names SoftHSM for p11-kit already: hidden here, as a
        // vendor's module is nowhere in p11-kit's configuration before the registration.
        ASSERT_EQ(::mount("quorlin-p11", kPackageModules, "tmpfs", 0, "mode=0755"), 0);
        const std::string tokenHelper = Env("QUORLIN_SOURCE_DIR") + "/tests/fakes/softhsm-token";
        const Outcome setup =
            Shell("set -e; mkdir -p /mnt/vendor /mnt/open " + rootHome + " " + home +
                  "/.config/quorlin/providers; "
                  "cp /usr/lib/softhsm/libsofthsm2.so /mnt/vendor/libvendor-pkcs11.so; "
                  "cp /usr/lib/softhsm/libsofthsm2.so /mnt/open/libvendor-pkcs11.so; "
                  "chmod 664 /mnt/open/libvendor-pkcs11.so; " +
                  tokenHelper + " " + token + " demo alice-ec bob-ec carol-big5; " + tokenHelper +
                  " " + partial + " partial alice-ec bob-ec; chown -R " + kUser + ":" + kUser +
                  " " + home + " " + token + " " + partial);
        ASSERT_EQ(setup.status, 0) << setup.out;
        // Two Firefox profiles (relative and absolute paths) and a Thunderbird one, each
        // database made by NSS's own tool; the last one's pkcs11.txt is root's.
        fs::create_directories(home + "/.mozilla/firefox/a.default");
        fs::create_directories(home + "/mozilla-b");
        fs::create_directories(home + "/.thunderbird/c.default");
        std::ofstream(home + "/.mozilla/firefox/profiles.ini")
            << "[Profile0]\nName=default\nIsRelative=1\nPath=a.default\n\n[Profile1]\nName=work\n"
               "IsRelative=0\nPath="
            << home << "/mozilla-b\n";
        std::ofstream(home + "/.thunderbird/profiles.ini")
            << "[Profile0]\nName=mail\nIsRelative=1\nPath=c.default\n";
        const Outcome profiles = Shell(
            "set -e; cd " + home +
            "; for d in .mozilla/firefox/a.default mozilla-b "
            ".thunderbird/c.default; do certutil -N -d sql:$d --empty-password; done; chown -R " +
            kUser + ":" + kUser + " " + home + "; chown 0:0 .thunderbird/c.default/pkcs11.txt");
        ASSERT_EQ(profiles.status, 0) << profiles.out;
        Provider("/mnt/vendor/libvendor-pkcs11.so");
        Insert(json::parse(
            std::ifstream(Env("QUORLIN_SOURCE_DIR") + "/tools/cardsim/profiles/demo.json")));
    }
    void TearDown() override {
        CardFixture::TearDown();
        ::umount(kPackageModules);
        ::umount("/mnt");
    }

    // The card's provider file in the user's own configuration, naming module.
    void Provider(const std::string& module) {
        std::ofstream(home + "/.config/quorlin/providers/morvex.conf")
            << Read(Env("QUORLIN_BUILD_DIR") +
                    "/share/quorlin/providers/morvex-csp-enterprise.conf")
            << "pkcs11_module=" << module << "\n";
    }

    // A command as the user (or as root, in a home of root's), with the user's provider
    // file and the token of tokenDir.
    Outcome AsUser(const std::string& command, const std::string& tokenDir = "",
                   bool root = false) {
        const std::string where = root ? rootHome : home;
        return Shell((root ? std::string()
                           : "setpriv --reuid=" + std::string(kUser) + " --regid=" + kUser +
                                 " --clear-groups ") +
                     "env HOME=" + where + " XDG_CONFIG_HOME=" + home +
                     "/.config XDG_DATA_HOME=" + where + "/.local/share SOFTHSM2_CONF=" +
                     (tokenDir.empty() ? token : tokenDir) + "/softhsm2.conf " + command);
    }
    Outcome Register(const std::string& tokenDir = "", bool root = false) {
        return AsUser(Env("QUORLIN_BUILD_DIR") +
                          "/tools/card/quorlin-card --pin-fd 3 register 3<<'EOF'\n123456\nEOF",
                      tokenDir, root);
    }

    const std::string home = ScratchPath("home");
    const std::string rootHome = ScratchPath("root");
    const std::string token = ScratchPath("token");
    const std::string partial = ScratchPath("partial");
    const std::string moduleFile =
        home + "/.config/pkcs11/modules/quorlin-morvex-csp-enterprise.module";
};

TEST_F(Apps, RegistrationLinksEachKeyAndOtherProgramsUseIt) {
    const std::string mailTxt = home + "/.thunderbird/c.default/pkcs11.txt";
    const std::string mailBefore = Read(mailTxt);
    const std::string workBefore = Read(home + "/mozilla-b/pkcs11.txt");
    const Outcome first = Register();
    // The database whose pkcs11.txt is root's is named and left alone: exit 1.
    ASSERT_EQ(first.status, 1) << first.out;
    EXPECT_NE(first.out.find("8001 Quorlin-Alice: linked: pkcs11:"), std::string::npos)
        << first.out;
    EXPECT_NE(first.out.find("p11-kit: added " + moduleFile), std::string::npos) << first.out;
    EXPECT_NE(Read(moduleFile).find("module: /mnt/vendor/libvendor-pkcs11.so"), std::string::npos);
    // No NSS database yet: the shared one is made, as Chromium would, and lists the module.
    const std::string nssdb = home + "/.local/share/pki/nssdb";
    EXPECT_NE(first.out.find("nss shared database (" + nssdb + "): added"), std::string::npos);
    for (const std::string& db :
         {nssdb, home + "/.mozilla/firefox/a.default", home + "/mozilla-b"}) {
        EXPECT_NE(
            AsUser("modutil -list -dbdir sql:" + db).out.find("Quorlin: Morvex CSP Enterprise"),
            std::string::npos)
            << db;
        // What the browser will see: the card's certificates through the token.
        EXPECT_NE(AsUser("certutil -L -h all -d sql:" + db).out.find("demo:alice-ec"),
                  std::string::npos)
            << db;
    }
    EXPECT_NE(first.out.find("firefox (work): added"), std::string::npos) << first.out;
    EXPECT_NE(first.out.find("thunderbird (mail): failed: "), std::string::npos) << first.out;
    EXPECT_EQ(Read(mailTxt), mailBefore);

    // The store's URIs: the token's identity and the certificate's id, for both objects.
    const Outcome listed =
        AsUser(Env("QUORLIN_BUILD_DIR") + "/tools/certstore/quorlin-certstore list --json");
    const json entries = json::parse(listed.out);
    ASSERT_EQ(entries.size(), 3u) << listed.out;
    std::string aliceKey;
    for (const json& e : entries) {
        ASSERT_TRUE(e["pkcs11"].is_object()) << e.dump();
        EXPECT_EQ(e["pkcs11"]["module"], "/mnt/vendor/libvendor-pkcs11.so");
        const std::string cert = e["pkcs11"]["certificate"], key = e["pkcs11"]["key"];
        EXPECT_NE(cert.find("token=demo"), std::string::npos) << cert;
        EXPECT_NE(cert.find("type=cert"), std::string::npos) << cert;
        EXPECT_EQ(key, cert.substr(0, cert.find("type=cert")) + "type=private" +
                           cert.substr(cert.find("type=cert") + 9));
        if (e["subject"].get<std::string>().find("Alice") != std::string::npos) {
            EXPECT_NE(cert.find("id=%01"), std::string::npos) << cert;
            aliceKey = key;
        }
    }
    EXPECT_NE(AsUser("p11-kit list-modules").out.find("quorlin-morvex-csp-enterprise"),
              std::string::npos);

    // OpenSSL, through p11-kit-proxy, signs with the recorded key; the card's certificate
    // verifies it.
    const std::string dir = home + "/sign";
    const Outcome signature =
        AsUser("sh -c \"set -e; mkdir -p " + dir + "; cd " + dir +
               "; printf 'to be signed' | openssl dgst -sha256 -binary >digest; "
               "openssl pkeyutl -engine pkcs11 -keyform engine -inkey '" +
               aliceKey +
               "?pin-value=123456' -sign -in digest -out signature; openssl x509 -inform DER -in " +
               Env("QUORLIN_SOURCE_DIR") +
               "/tests/fixtures/alice-ec.der -out alice.pem; "
               "openssl pkeyutl -verify -certin -inkey alice.pem -in digest -sigfile signature\"");
    EXPECT_EQ(signature.status, 0) << signature.out;
    EXPECT_NE(signature.out.find("Signature Verified Successfully"), std::string::npos);

    // Once per module: a second registration changes no file of p11-kit's.
    struct stat before {
    }, after{};
    ASSERT_EQ(::stat(moduleFile.c_str(), &before), 0);
    const Outcome second = Register();
    EXPECT_EQ(second.status, 1) << second.out;
    EXPECT_NE(second.out.find("firefox (default): already there"), std::string::npos);
    EXPECT_NE(second.out.find("p11-kit: already configured in " + moduleFile), std::string::npos)
        << second.out;
    ASSERT_EQ(::stat(moduleFile.c_str(), &after), 0);
    EXPECT_EQ(before.st_ino, after.st_ino);
    EXPECT_EQ(before.st_mtim.tv_nsec, after.st_mtim.tv_nsec);

    const Outcome apps = AsUser(Env("QUORLIN_BUILD_DIR") + "/tools/card/quorlin-card apps");
    EXPECT_EQ(apps.status, 1) << apps.out;  // the root-owned database lacks the module
    EXPECT_NE(apps.out.find("thunderbird (mail): not listed; cannot be written: "),
              std::string::npos)
        << apps.out;
    EXPECT_NE(apps.out.find("store entries on its tokens: 3 of 3"), std::string::npos) << apps.out;
    const Outcome removed =
        AsUser(Env("QUORLIN_BUILD_DIR") + "/tools/card/quorlin-card apps --remove");
    EXPECT_NE(removed.out.find("removed " + moduleFile), std::string::npos) << removed.out;
    EXPECT_EQ(AsUser("modutil -list -dbdir sql:" + nssdb).out.find("Quorlin:"), std::string::npos);
    EXPECT_EQ(Read(home + "/mozilla-b/pkcs11.txt"), workBefore);
    EXPECT_EQ(AsUser("p11-kit list-modules").out.find("quorlin-morvex-csp-enterprise"),
              std::string::npos);
    EXPECT_EQ(AsUser(Env("QUORLIN_BUILD_DIR") + "/tools/certstore/quorlin-certstore list --json")
                  .out.find("\"pkcs11\": null"),
              std::string::npos);

    // A token without one of the certificates; a module anyone in its group may change;
    // root, whose user configuration p11-kit never reads.
    const Outcome lacking = Register(partial);
    EXPECT_EQ(lacking.status, 1) << lacking.out;
    EXPECT_NE(lacking.out.find("8004 Quorlin-Carol: not linked: no token holds this certificate"),
              std::string::npos)
        << lacking.out;
    Provider("/mnt/open/libvendor-pkcs11.so");
    const Outcome open = Register();
    EXPECT_EQ(open.status, 1) << open.out;
    EXPECT_NE(open.out.find(
                  "not linked: not trusted: /mnt/open/libvendor-pkcs11.so is writable by group"),
              std::string::npos)
        << open.out;
    Provider("/mnt/vendor/libvendor-pkcs11.so");
    const Outcome root = Register("", true);
    EXPECT_NE(root.out.find("p11-kit: ignored for root"), std::string::npos) << root.out;
}

}  // namespace
}  // namespace quorlin::e2e
