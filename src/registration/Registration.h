#pragma once
// The registration of a card's certificates in the user's certificate store, written once
// for the dialog and quorlin-card: the provider probe (with the fall-back for a provider
// whose key sets are not defined), each container's provider context, both key specs, and
// the entries added to the store, replacing existing ones, each linked to its container.

#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>
#include <string>

#include "interfaces/CertApi.h"
#include "interfaces/CryptApi.h"
#include "interfaces/KeyLinkApi.h"
#include "interfaces/StoreApi.h"

namespace quorlin::registration {

inline constexpr std::size_t kContainerNameSize = 36;
// Step::Allocate's code: what the allocator's failure reads as.
inline constexpr std::uint32_t kAllocationFailure = 14;

// A certificate and the card's record of its container (code page 950, zero-padded).
struct CardCertificate {
    const x509::CertContext* cert = nullptr;
    std::span<const std::uint8_t, kContainerNameSize> container;
};

// The calls that can fail, each reported with the thread's last error.
enum class Step {
    ProbeProvider,
    AcquireContainer,
    OpenStore,
    GetUserKey,
    Allocate,
    SetProperty,
    AddToStore
};

enum class Outcome { Added, NoKey, Failed, NotTried };

class Observer {
  public:
    virtual ~Observer() = default;
    // A call failed, before anything else happens; code is its last error.
    virtual void StepFailed(Step step, std::uint32_t code) = 0;
    // What became of certificate index, once the routine is done with it.
    virtual void CertificateDone(std::size_t index, Outcome outcome) = 0;
    // Only where the provider names a PKCS#11 module, after an added certificate's
    // CertificateDone: where other programs find its key (link), or why not (reason).
    virtual void CertificateLinked(std::size_t /*index*/, const keylink::Pkcs11Link* /*link*/,
                                   const std::string& /*reason*/) {}
    // Only where the provider names a module and a certificate was added, at the end, once
    // per place that other programs read modules from: whether the module is known there
    // now, and what was done or why not.
    virtual void ModuleAnnounced(bool /*ok*/, const std::string& /*line*/) {}
};

// Registers certs into the store named storeName through provider, which becomes the
// fall-back provider's name when the probe says the first one defines no key sets. With
// links, and a provider that names a PKCS#11 module, each certificate added is also linked
// to its key in that module and the module made known to other programs. Returns how many
// certificates reached the store, or nullopt when none was tried (the probe failed, or no
// memory).
std::optional<int> RegisterCertificates(crypt::CryptApi& crypt, store::StoreApi& store,
                                        std::string& provider,
                                        std::span<const CardCertificate> certs,
                                        const char16_t* storeName, Observer& observer,
                                        keylink::KeyLinkApi* links = nullptr);

}  // namespace quorlin::registration
