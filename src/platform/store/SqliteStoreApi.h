#pragma once
// The user's certificate stores in one SQLite database, quorlin/certstore.db under the
// user's data directory. An entry per (store name, SHA-1 thumbprint) holds the DER
// certificate and its key-provider property. The database runs in WAL mode: a commit is
// one append of checksummed frames, so a writer killed at any point leaves the last
// committed state, and readers (the viewer) never block a writer.

#include <cstdint>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "platform/store/StoreApi.h"

struct sqlite3;

namespace quorlin::store {

// HRESULT-style codes left in the last error.
inline constexpr std::uint32_t kEFail = 0x80004005u;
inline constexpr std::uint32_t kEInvalidArg = 0x80070057u;
inline constexpr std::uint32_t kEOutOfMemory = 0x8007000Eu;
inline constexpr std::uint32_t kEAccessDenied = 0x80070005u;
inline constexpr std::uint32_t kEInvalidHandle = 0x80070006u;
inline constexpr std::uint32_t kEPathNotFound = 0x80070003u;
inline constexpr std::uint32_t kEDiskFull = 0x80070070u;
inline constexpr std::uint32_t kEBusy = 0x800700AAu;
inline constexpr std::uint32_t kEFileCorrupt = 0x80070570u;
inline constexpr std::uint32_t kENotSupported = 0x80070032u;
inline constexpr std::uint32_t kCryptEAsn1BadTag = 0x8009310Bu;

inline constexpr const char* kDatabaseFileName = "certstore.db";

// One entry as the viewer sees it.
struct StoredCertificate {
    std::string store;
    std::string thumbprint;  // 40 upper-case hex digits
    std::vector<std::uint8_t> der;
    bool hasKeyProvInfo = false;
    std::string container;  // UTF-8
    std::string provider;   // UTF-8
    std::uint32_t provType = 0;
    std::uint32_t flags = 0;
    std::uint32_t keySpec = 0;
    std::int64_t added = 0;  // seconds since the epoch
};

class SqliteStoreApi : public StoreApi {
  public:
    // $XDG_DATA_HOME/quorlin (default ~/.local/share/quorlin).
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

    // For the viewer. Each returns nullopt (and sets the last error) when the database
    // cannot be read; a database that does not exist yet reads as empty.
    std::optional<std::vector<StoredCertificate>> List(const std::string& storeName = "");
    // Entries whose thumbprint starts with the given (upper-case) hex digits.
    std::optional<std::vector<StoredCertificate>> Find(const std::string& thumbprintPrefix,
                                                       const std::string& storeName = "");
    // The number of entries removed.
    std::optional<int> Remove(const std::string& thumbprint, const std::string& storeName = "");

    const std::string& Directory() const { return m_directory; }
    std::string DatabasePath() const;

    static std::string DefaultDirectory();
    // Upper-case ASCII; empty when the name is not acceptable.
    static std::string NormaliseStoreName(const std::u16string& name);
    static std::string Thumbprint(const std::vector<std::uint8_t>& der);

  private:
    enum class Mode { kCreate, kWrite, kRead };
    // Opens the database (kCreate: making it and its directory when missing); null with
    // the last error set on failure.
    sqlite3* OpenDatabase(Mode mode);
    // The database for reading or removing entries: nullopt on a failure (last error set),
    // null when nothing is stored yet (no file, or a file not yet given its table).
    std::optional<sqlite3*> OpenExisting(Mode mode);
    std::optional<std::vector<StoredCertificate>> Query(const std::string& prefix,
                                                        const std::string& storeName);

    std::string m_directory;
    std::set<HCERTSTORE> m_open;
};

// The HRESULT-style code for an SQLite result (with the errno behind it, when known).
std::uint32_t MapSqliteError(int code, int systemErrno);

}  // namespace quorlin::store
