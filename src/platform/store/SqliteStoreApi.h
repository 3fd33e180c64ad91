#pragma once
// The user's certificate stores in one SQLite database, quorlin/certstore.db under the
// user's data directory. An entry per (store name, SHA-1 thumbprint) holds the DER
// certificate, its key-provider property and, once recorded, its key's PKCS#11 link.
// The database runs in WAL mode: a commit is one append of checksummed frames, so a writer
// killed at any point leaves the last committed state, and readers (the viewer) never
// block a writer.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "interfaces/StoreApi.h"
#include "platform/store/CertificateTable.h"
#include "platform/store/StoreDatabase.h"
#include "platform/store/StoreErrors.h"

namespace quorlin::store {

inline constexpr const char* kDatabaseFileName = "certstore.db";

class SqliteStoreApi : public StoreApi {
  public:
    // quorlin under the user's data directory (base/DataDir.h).
    SqliteStoreApi();
    // The database lives in directory, created (0700) when missing.
    explicit SqliteStoreApi(std::string directory);
    ~SqliteStoreApi() override;
    SqliteStoreApi(const SqliteStoreApi&) = delete;
    SqliteStoreApi& operator=(const SqliteStoreApi&) = delete;

    HCERTSTORE CertOpenStore(std::uint32_t storeProvider, std::uint32_t encodingType,
                             std::uintptr_t cryptProv, std::uint32_t flags,
                             const char16_t* storeName) override;
    bool CertSetCertificateContextProperty(const x509::CertContext* cert, std::uint32_t propId,
                                           std::uint32_t flags, const void* data) override;
    bool CertAddCertificateContextToStore(HCERTSTORE store, const x509::CertContext* cert,
                                          std::uint32_t disposition,
                                          const x509::CertContext** storeContext) override;
    bool CertCloseStore(HCERTSTORE store, std::uint32_t flags) override;
    bool RecordKeyLink(HCERTSTORE store, const x509::CertContext* cert,
                       const keylink::Pkcs11Link& link) override;

    // For the viewer. Each returns nullopt (and sets the last error) when the database
    // cannot be read or is not a store; a database that does not exist yet reads as empty.
    std::optional<std::vector<StoredCertificate>> List(const std::string& storeName = "");
    // Entries whose thumbprint starts with the given (upper-case) hex digits.
    std::optional<std::vector<StoredCertificate>> Find(const std::string& thumbprintPrefix,
                                                       const std::string& storeName = "");
    // The number of entries removed.
    std::optional<int> Remove(const std::string& thumbprint, const std::string& storeName = "");

    enum class State { kAbsent, kNotSetUp, kOurs, kUnmarked, kForeign, kUnusable };
    struct Inspection {
        State state = State::kUnusable;
        std::optional<std::size_t> entries;  // when the entries could be read
        // Why it is unusable; kERevisionMismatch for a store of a later version, which is
        // read but not written.
        std::uint32_t error = 0;
        // Set when a part of the store belongs to another user than the one running, which
        // keeps every write out (ForeignPart in StoreDatabase.h): that directory or file,
        // and its owner's user name (the uid as a number when it has none).
        std::string foreignPath;
        std::string foreignOwner;
    };
    // What the database file holds, for a report: read only, it creates and changes nothing.
    Inspection Inspect();

    const std::string& Directory() const { return m_directory; }
    std::string DatabasePath() const;

    // Empty when the user has no absolute home; every open then fails (path not found).
    static std::string DefaultDirectory();
    // Upper-case ASCII; empty when the name is not acceptable.
    static std::string NormaliseStoreName(const std::u16string& name);
    static std::string Thumbprint(const std::vector<std::uint8_t>& der);

  private:
    Inspection InspectContent();
    // The database for reading or removing entries: nullopt on a failure (last error set),
    // null when nothing is stored yet (no file, or a store not set up).
    std::optional<Connection> OpenExisting(OpenMode mode);
    std::optional<std::vector<StoredCertificate>> Query(const std::string& prefix,
                                                        const std::string& storeName);

    std::string m_directory;
    std::map<HCERTSTORE, std::unique_ptr<CertStore>> m_open;
};

}  // namespace quorlin::store
