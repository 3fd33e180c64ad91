#include <p11-kit/p11-kit.h>
#include <p11-kit/pkcs11.h>
#include <p11-kit/uri.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <memory>

#include "platform/pkcs11/Pkcs11.h"

namespace quorlin::pkcs11 {

namespace {

struct FreeDeleter {
    void operator()(char* p) const { std::free(p); }
};
using CString = std::unique_ptr<char, FreeDeleter>;

std::string SpacePadded(const unsigned char* field, std::size_t size) {
    const CString text(p11_kit_space_strdup(field, size));
    return text ? std::string(text.get()) : std::string();
}

TokenInfo ToTokenInfo(const CK_TOKEN_INFO& info) {
    return {SpacePadded(info.label, sizeof info.label),
            SpacePadded(info.manufacturerID, sizeof info.manufacturerID),
            SpacePadded(info.model, sizeof info.model),
            SpacePadded(info.serialNumber, sizeof info.serialNumber)};
}

std::string Failure(const char* call, CK_RV rv) {
    return std::string(call) + ": " + ErrorName(rv);
}

class Session {
  public:
    Session(CK_FUNCTION_LIST* module, CK_SLOT_ID slot, CK_RV& rv) : m_module(module) {
        rv = module->C_OpenSession(slot, CKF_SERIAL_SESSION, nullptr, nullptr, &m_handle);
        m_open = rv == CKR_OK;
    }
    ~Session() {
        if (m_open) {
            m_module->C_CloseSession(m_handle);
        }
    }
    Session(const Session&) = delete;
    Session& operator=(const Session&) = delete;
    CK_SESSION_HANDLE Handle() const { return m_handle; }

  private:
    CK_FUNCTION_LIST* m_module;
    CK_SESSION_HANDLE m_handle = 0;
    bool m_open = false;
};

constexpr CK_ULONG kUnavailable = ~CK_ULONG{0};  // CK_UNAVAILABLE_INFORMATION

// A variable-length attribute in the two calls PKCS#11 asks for; nullopt when absent.
std::optional<std::vector<std::uint8_t>> Attribute(CK_FUNCTION_LIST* module,
                                                   CK_SESSION_HANDLE session,
                                                   CK_OBJECT_HANDLE object,
                                                   CK_ATTRIBUTE_TYPE type) {
    CK_ATTRIBUTE attribute{type, nullptr, 0};
    // No certificate or id comes near a megabyte: a length past that is no answer to trust.
    constexpr CK_ULONG kMaxLength = 1 << 20;
    if (module->C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK ||
        attribute.ulValueLen == kUnavailable || attribute.ulValueLen > kMaxLength) {
        return std::nullopt;
    }
    std::vector<std::uint8_t> value(attribute.ulValueLen);
    attribute.pValue = value.data();
    if (module->C_GetAttributeValue(session, object, &attribute, 1) != CKR_OK ||
        attribute.ulValueLen > value.size()) {
        return std::nullopt;
    }
    value.resize(attribute.ulValueLen);
    return value;
}

struct UriDeleter {
    void operator()(P11KitUri* uri) const { p11_kit_uri_free(uri); }
};

// Formatted by p11-kit, whose escaping other programs parse back.
std::string ObjectUri(const CK_TOKEN_INFO& token, CK_OBJECT_CLASS objectClass,
                      std::vector<std::uint8_t>& id) {
    const std::unique_ptr<P11KitUri, UriDeleter> uri(p11_kit_uri_new());
    *p11_kit_uri_get_token_info(uri.get()) = token;
    CK_ATTRIBUTE classAttribute{CKA_CLASS, &objectClass, sizeof objectClass};
    CK_ATTRIBUTE idAttribute{CKA_ID, id.data(), id.size()};
    char* text = nullptr;
    if (p11_kit_uri_set_attribute(uri.get(), &classAttribute) != P11_KIT_URI_OK ||
        p11_kit_uri_set_attribute(uri.get(), &idAttribute) != P11_KIT_URI_OK ||
        p11_kit_uri_format(uri.get(), P11_KIT_URI_FOR_OBJECT_ON_TOKEN, &text) != P11_KIT_URI_OK) {
        return {};
    }
    const CString owned(text);
    return owned.get();
}

}  // namespace

std::string ErrorName(unsigned long rv) {
    static const std::pair<CK_RV, const char*> kNames[] = {
        {CKR_OK, "CKR_OK"},
        {CKR_HOST_MEMORY, "CKR_HOST_MEMORY"},
        {CKR_SLOT_ID_INVALID, "CKR_SLOT_ID_INVALID"},
        {CKR_GENERAL_ERROR, "CKR_GENERAL_ERROR"},
        {CKR_FUNCTION_FAILED, "CKR_FUNCTION_FAILED"},
        {CKR_ARGUMENTS_BAD, "CKR_ARGUMENTS_BAD"},
        {CKR_CANT_LOCK, "CKR_CANT_LOCK"},
        {CKR_ATTRIBUTE_TYPE_INVALID, "CKR_ATTRIBUTE_TYPE_INVALID"},
        {CKR_DEVICE_ERROR, "CKR_DEVICE_ERROR"},
        {CKR_DEVICE_MEMORY, "CKR_DEVICE_MEMORY"},
        {CKR_DEVICE_REMOVED, "CKR_DEVICE_REMOVED"},
        {CKR_FUNCTION_NOT_SUPPORTED, "CKR_FUNCTION_NOT_SUPPORTED"},
        {CKR_OPERATION_ACTIVE, "CKR_OPERATION_ACTIVE"},
        {CKR_SESSION_COUNT, "CKR_SESSION_COUNT"},
        {CKR_SESSION_HANDLE_INVALID, "CKR_SESSION_HANDLE_INVALID"},
        {CKR_TOKEN_NOT_PRESENT, "CKR_TOKEN_NOT_PRESENT"},
        {CKR_TOKEN_NOT_RECOGNIZED, "CKR_TOKEN_NOT_RECOGNIZED"},
        {CKR_BUFFER_TOO_SMALL, "CKR_BUFFER_TOO_SMALL"},
        {CKR_CRYPTOKI_NOT_INITIALIZED, "CKR_CRYPTOKI_NOT_INITIALIZED"},
        {CKR_CRYPTOKI_ALREADY_INITIALIZED, "CKR_CRYPTOKI_ALREADY_INITIALIZED"},
    };
    for (const auto& [value, name] : kNames) {
        if (value == rv) {
            return name;
        }
    }
    char hex[32];
    std::snprintf(hex, sizeof hex, "CKR 0x%08lX", rv);
    return hex;
}

// Managed by p11-kit: two Modules over one library share its one C_Initialize.
Module::Module(const std::string& path) : m_module(p11_kit_module_load(path.c_str(), 0)) {
    if (m_module == nullptr) {
        const char* message = p11_kit_message();
        m_error = "cannot load " + path + (message != nullptr ? ": " + std::string(message) : "");
        return;
    }
    const CK_RV rv = p11_kit_module_initialize(m_module);
    if (rv != CKR_OK) {
        m_error = "cannot initialise " + path + ": " + ErrorName(rv);
        return;
    }
    m_initialised = true;
}

Module::~Module() {
    if (m_initialised) {
        p11_kit_module_finalize(m_module);
    }
    if (m_module != nullptr) {
        p11_kit_module_release(m_module);
    }
}

namespace {

constexpr std::size_t kMaxObjects = 4096;

CK_RV SlotsWithToken(CK_FUNCTION_LIST* module, std::vector<CK_SLOT_ID>& slots) {
    // The count may grow between the two calls as readers come; a module that never
    // settles is not waited for.
    for (int tries = 0; tries < 8; ++tries) {
        CK_ULONG count = 0;
        CK_RV rv = module->C_GetSlotList(CK_TRUE, nullptr, &count);
        if (rv != CKR_OK) {
            return rv;
        }
        slots.resize(count);
        rv = module->C_GetSlotList(CK_TRUE, slots.data(), &count);
        if (rv != CKR_BUFFER_TOO_SMALL) {
            slots.resize(rv == CKR_OK ? std::min<CK_ULONG>(count, slots.size()) : 0);
            return rv;
        }
    }
    return CKR_BUFFER_TOO_SMALL;
}

}  // namespace

std::vector<TokenInfo> Module::Tokens() {
    std::vector<TokenInfo> tokens;
    std::vector<CK_SLOT_ID> slots;
    if (!m_initialised || SlotsWithToken(m_module, slots) != CKR_OK) {
        return tokens;
    }
    for (const CK_SLOT_ID slot : slots) {
        CK_TOKEN_INFO info{};
        if (m_module->C_GetTokenInfo(slot, &info) == CKR_OK &&
            (info.flags & CKF_TOKEN_INITIALIZED) != 0) {
            tokens.push_back(ToTokenInfo(info));
        }
    }
    return tokens;
}

std::optional<FoundCertificate> Module::FindCertificate(std::span<const std::uint8_t> der,
                                                        std::string& reason) {
    if (!m_initialised) {
        reason = m_error;
        return std::nullopt;
    }
    std::vector<CK_SLOT_ID> slots;
    if (const CK_RV rv = SlotsWithToken(m_module, slots); rv != CKR_OK) {
        reason = Failure("C_GetSlotList", rv);
        return std::nullopt;
    }
    // A failing slot is said only when no other one holds the certificate.
    std::string slotFailure;
    for (const CK_SLOT_ID slot : slots) {
        CK_TOKEN_INFO token{};
        CK_RV rv = m_module->C_GetTokenInfo(slot, &token);
        if (rv != CKR_OK) {
            slotFailure = Failure("C_GetTokenInfo", rv);
            continue;
        }
        if ((token.flags & CKF_TOKEN_INITIALIZED) == 0) {
            continue;  // a blank token holds nothing yet
        }
        const Session session(m_module, slot, rv);
        if (rv != CKR_OK) {
            slotFailure = Failure("C_OpenSession", rv);
            continue;
        }
        // Every certificate's value compared here rather than CKA_VALUE in the template:
        // not every module matches on it.
        CK_OBJECT_CLASS certificateClass = CKO_CERTIFICATE;
        CK_ATTRIBUTE pattern{CKA_CLASS, &certificateClass, sizeof certificateClass};
        rv = m_module->C_FindObjectsInit(session.Handle(), &pattern, 1);
        if (rv != CKR_OK) {
            slotFailure = Failure("C_FindObjectsInit", rv);
            continue;
        }
        std::vector<CK_OBJECT_HANDLE> objects;
        CK_OBJECT_HANDLE batch[16];
        CK_ULONG count = 0;
        // The module's answers are trusted no further than the batch it was given, and a
        // token with more certificates than any card holds is not read to its end.
        while (objects.size() < kMaxObjects &&
               (rv = m_module->C_FindObjects(session.Handle(), batch, 16, &count)) == CKR_OK &&
               count > 0) {
            objects.insert(objects.end(), batch, batch + std::min<CK_ULONG>(count, 16));
        }
        m_module->C_FindObjectsFinal(session.Handle());
        if (rv != CKR_OK) {
            slotFailure = Failure("C_FindObjects", rv);
            continue;
        }
        for (const CK_OBJECT_HANDLE object : objects) {
            const auto value = Attribute(m_module, session.Handle(), object, CKA_VALUE);
            if (!value || !std::equal(value->begin(), value->end(), der.begin(), der.end())) {
                continue;
            }
            const TokenInfo identity = ToTokenInfo(token);
            auto id = Attribute(m_module, session.Handle(), object, CKA_ID);
            if (!id || id->empty()) {
                reason = "the certificate on " + identity.label + " has no CKA_ID";
                return std::nullopt;
            }
            FoundCertificate found{ObjectUri(token, CKO_CERTIFICATE, *id),
                                   ObjectUri(token, CKO_PRIVATE_KEY, *id), identity.label};
            if (found.certificateUri.empty() || found.keyUri.empty()) {
                reason = "p11-kit cannot form the URIs of the certificate on " + identity.label;
                return std::nullopt;
            }
            return found;
        }
    }
    reason = slotFailure.empty() ? "no token holds this certificate" : slotFailure;
    return std::nullopt;
}

}  // namespace quorlin::pkcs11
