#include "platform/store/SqliteStoreApi.h"

#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/x509.h>

#include <ctime>
#include <span>

#include "base/DataDir.h"
#include "base/Hex.h"
#include "interfaces/LastError.h"

namespace quorlin::store {

// What a store handle is: its own connection, so that stores close independently.
struct CertStore {
    Connection db;
    std::string name;
};

namespace {

constexpr std::size_t kMaxStoreName = 64;
constexpr std::uint32_t kLocationMask = 0x00FF0000u;

// The whole of der is one certificate, nothing after it.
bool IsOneCertificate(const std::vector<std::uint8_t>& der) {
    const unsigned char* p = der.data();
    X509* x = d2i_X509(nullptr, &p, static_cast<long>(der.size()));
    const bool whole = x != nullptr && p == der.data() + der.size();
    if (x == nullptr) {
        ERR_clear_error();  // no stale error for the thread's next call
    }
    X509_free(x);
    return whole;
}

}  // namespace

SqliteStoreApi::SqliteStoreApi() : m_directory(DefaultDirectory()) {}

SqliteStoreApi::SqliteStoreApi(std::string directory) : m_directory(std::move(directory)) {}

SqliteStoreApi::~SqliteStoreApi() = default;

std::string SqliteStoreApi::DefaultDirectory() {
    const std::string data = base::UserDataDir();
    return data.empty() ? std::string() : data + "/quorlin";
}

std::string SqliteStoreApi::DatabasePath() const {
    return m_directory + "/" + kDatabaseFileName;
}

std::string SqliteStoreApi::NormaliseStoreName(const std::u16string& name) {
    if (name.empty() || name.size() > kMaxStoreName) {
        return {};
    }
    std::string out;
    for (char16_t c : name) {
        if (c < 0x20 || c > 0x7E) {
            return {};
        }
        out.push_back(static_cast<char>(c >= u'a' && c <= u'z' ? c - (u'a' - u'A') : c));
    }
    return out;
}

std::string SqliteStoreApi::Thumbprint(const std::vector<std::uint8_t>& der) {
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    if (EVP_Digest(der.data(), der.size(), digest, &length, EVP_sha1(), nullptr) != 1) {
        return {};
    }
    return base::HexString(std::span<const std::uint8_t>(digest, length));
}

HCERTSTORE SqliteStoreApi::CertOpenStore(std::uint32_t storeProvider, std::uint32_t, std::uintptr_t,
                                         std::uint32_t flags, const char16_t* storeName) {
    if (storeProvider != kCertStoreProvSystemW || (flags & kLocationMask) != flags ||
        flags != kCertSystemStoreCurrentUser || storeName == nullptr) {
        SetLastError(kEInvalidArg);
        return nullptr;
    }
    const std::string name = NormaliseStoreName(storeName);
    if (name.empty()) {
        SetLastError(kEInvalidArg);
        return nullptr;
    }
    Connection db =
        OpenDatabase(m_directory, DatabasePath(), OpenMode::kCreate, kCertificateSchema);
    if (db == nullptr) {
        return nullptr;
    }
    auto store = std::make_unique<CertStore>(CertStore{std::move(db), name});
    HCERTSTORE handle = store.get();
    m_open.emplace(handle, std::move(store));
    return handle;
}

bool SqliteStoreApi::CertSetCertificateContextProperty(const x509::CertContext* cert,
                                                       std::uint32_t propId, std::uint32_t flags,
                                                       const void* data) {
    if (cert == nullptr || propId != kCertKeyProvInfoPropId || flags != 0) {
        SetLastError(kEInvalidArg);
        return false;
    }
    if (data == nullptr) {
        cert->keyProvInfo.reset();  // no data removes the property
        return true;
    }
    const auto* info = static_cast<const x509::CryptKeyProvInfo*>(data);
    x509::KeyProvProperty property;
    if (info->pwszContainerName != nullptr) {
        property.containerName = info->pwszContainerName;
    }
    if (info->pwszProvName != nullptr) {
        property.provName = info->pwszProvName;
    }
    property.provType = info->dwProvType;
    property.flags = info->dwFlags;
    property.keySpec = info->dwKeySpec;
    cert->keyProvInfo = std::move(property);
    return true;
}

bool SqliteStoreApi::CertAddCertificateContextToStore(HCERTSTORE store,
                                                      const x509::CertContext* cert,
                                                      std::uint32_t disposition,
                                                      const x509::CertContext** storeContext) {
    if (storeContext != nullptr) {
        *storeContext = nullptr;
    }
    if (store == nullptr || m_open.count(store) == 0) {
        SetLastError(kEInvalidHandle);
        return false;
    }
    // Only replacing adds: the store keeps one entry per certificate. No store copy of
    // the context is handed out.
    if (cert == nullptr || disposition != kCertStoreAddReplaceExisting || storeContext != nullptr) {
        SetLastError(kEInvalidArg);
        return false;
    }
    if (!IsOneCertificate(cert->encoded)) {
        SetLastError(kCryptEAsn1BadTag);
        return false;
    }
    const std::string thumbprint = Thumbprint(cert->encoded);
    if (thumbprint.empty()) {
        SetLastError(kEFail);
        return false;
    }
    return UpsertCertificate(store->db.get(), store->name, thumbprint, *cert,
                             static_cast<std::int64_t>(std::time(nullptr)));
}

bool SqliteStoreApi::RecordKeyLink(HCERTSTORE store, const x509::CertContext* cert,
                                   const keylink::Pkcs11Link& link) {
    if (store == nullptr || m_open.count(store) == 0) {
        SetLastError(kEInvalidHandle);
        return false;
    }
    // An empty part would read as no link.
    if (cert == nullptr || link.module.empty() || link.certificateUri.empty() ||
        link.keyUri.empty()) {
        SetLastError(kEInvalidArg);
        return false;
    }
    const std::string thumbprint = Thumbprint(cert->encoded);
    if (thumbprint.empty()) {
        SetLastError(kEFail);
        return false;
    }
    return UpdateKeyLink(store->db.get(), store->name, thumbprint, link);
}

bool SqliteStoreApi::CertCloseStore(HCERTSTORE store, std::uint32_t) {
    if (store == nullptr) {
        return true;
    }
    if (m_open.erase(store) == 0) {
        SetLastError(kEInvalidHandle);
        return false;
    }
    return true;
}

std::optional<Connection> SqliteStoreApi::OpenExisting(OpenMode mode) {
    // An empty directory is left to OpenDatabase to refuse.
    if (!m_directory.empty() && !FileExists(DatabasePath())) {
        return Connection();
    }
    std::optional<Content> content;
    Connection db = OpenDatabase(m_directory, DatabasePath(), mode, kCertificateSchema, &content);
    if (db == nullptr) {
        return std::nullopt;
    }
    return content == Content::kNotSetUp ? Connection() : std::move(db);
}

SqliteStoreApi::Inspection SqliteStoreApi::Inspect() {
    Inspection inspection = InspectContent();
    if (!m_directory.empty()) {
        if (const auto foreign = ForeignPart(m_directory, DatabasePath())) {
            inspection.foreignPath = foreign->path;
            inspection.foreignOwner = foreign->owner;
        }
    }
    return inspection;
}

SqliteStoreApi::Inspection SqliteStoreApi::InspectContent() {
    const auto result = [](State state, std::optional<std::size_t> entries, std::uint32_t error) {
        Inspection inspection;
        inspection.state = state;
        inspection.entries = entries;
        inspection.error = error;
        return inspection;
    };
    if (m_directory.empty()) {
        return result(State::kUnusable, std::nullopt, kEPathNotFound);
    }
    if (!FileExists(DatabasePath())) {
        return result(State::kAbsent, 0, 0);
    }
    std::optional<Content> content;
    const Connection db =
        OpenDatabase(m_directory, DatabasePath(), OpenMode::kRead, kCertificateSchema, &content);
    if (db == nullptr) {
        return content == Content::kForeign
                   ? result(State::kForeign, std::nullopt, 0)
                   : result(State::kUnusable, std::nullopt, GetLastError());
    }
    if (content == Content::kNotSetUp) {
        return result(State::kNotSetUp, 0, 0);
    }
    // An older store is ours: the next write brings it up to date. A newer one is read,
    // but no registration can write it.
    const State state = content == Content::kUnmarked ? State::kUnmarked
                        : content == Content::kNewer  ? State::kUnusable
                                                      : State::kOurs;
    const std::uint32_t newer = content == Content::kNewer ? kERevisionMismatch : 0;
    const auto entries = SelectCertificates(db.get(), "", "");
    if (!entries) {
        return result(state, std::nullopt, newer != 0 ? newer : GetLastError());
    }
    return result(state, entries->size(), newer);
}

std::optional<std::vector<StoredCertificate>> SqliteStoreApi::Query(const std::string& prefix,
                                                                    const std::string& storeName) {
    const std::optional<Connection> db = OpenExisting(OpenMode::kRead);
    if (!db) {
        return std::nullopt;
    }
    if (*db == nullptr) {
        return std::vector<StoredCertificate>();
    }
    return SelectCertificates(db->get(), prefix, storeName);
}

std::optional<std::vector<StoredCertificate>> SqliteStoreApi::List(const std::string& storeName) {
    return Query("", storeName);
}

std::optional<std::vector<StoredCertificate>> SqliteStoreApi::Find(
    const std::string& thumbprintPrefix, const std::string& storeName) {
    return Query(thumbprintPrefix, storeName);
}

std::optional<int> SqliteStoreApi::Remove(const std::string& thumbprint,
                                          const std::string& storeName) {
    const std::optional<Connection> db = OpenExisting(OpenMode::kWrite);
    if (!db) {
        return std::nullopt;
    }
    if (*db == nullptr) {
        return 0;
    }
    return DeleteCertificates(db->get(), thumbprint, storeName);
}

}  // namespace quorlin::store
