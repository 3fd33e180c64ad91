#pragma once
// The PC/SC service as the core sees it: the same calls, arguments and result codes as
// the Windows smart-card API, with fixed-width types. The one production adapter
// (PcscLite) translates to pcsc-lite, whose DWORD/LONG widths and code signs differ.

#include <cstddef>
#include <cstdint>
#include <string>

namespace quorlin::pcsc {

using ScardContext = std::uint64_t;  // 0 = none
using ScardHandle = std::uint64_t;   // 0 = none

// Protocol control record; the service owns the T=0 and T=1 records (T0Pci/T1Pci).
struct ScardIoRequest {
    std::uint32_t dwProtocol;
    std::uint32_t cbPciLength;
};

inline constexpr std::uint32_t kScopeUser = 0;
inline constexpr std::uint32_t kScopeSystem = 2;
inline constexpr std::uint32_t kAutoAllocate = 0xFFFFFFFFu;
inline constexpr std::uint32_t kShareExclusive = 1;
inline constexpr std::uint32_t kShareShared = 2;
inline constexpr std::uint32_t kProtocolT0 = 1;
inline constexpr std::uint32_t kProtocolT1 = 2;
inline constexpr std::uint32_t kLeaveCard = 0;
inline constexpr std::uint32_t kResetCard = 1;
inline constexpr std::uint32_t kInfinite = 0xFFFFFFFFu;

// Reader states of SCardGetStatusChangeA. For the plug-and-play reader the upper 16 bits
// of the event state carry the number of readers.
inline constexpr std::uint32_t kStateUnaware = 0x0000;
inline constexpr std::uint32_t kStateChanged = 0x0002;
inline constexpr std::uint32_t kStateEmpty = 0x0010;
inline constexpr std::uint32_t kStatePresent = 0x0020;
inline constexpr std::uint32_t kStateMute = 0x0200;
inline constexpr const char* kPnpNotification = "\\\\?PnP?\\Notification";
inline constexpr std::size_t kMaxAtrSize = 36;

struct ScardReaderState {
    const char* szReader = nullptr;
    void* pvUserData = nullptr;
    std::uint32_t dwCurrentState = kStateUnaware;
    std::uint32_t dwEventState = 0;
    std::uint32_t cbAtr = 0;
    std::uint8_t rgbAtr[kMaxAtrSize] = {};
};

// Result codes, as 32-bit unsigned values (the Windows numbering, which pcsc-lite shares).
inline constexpr std::uint32_t kSuccess = 0;
inline constexpr std::uint32_t kFInternalError = 0x80100001u;
inline constexpr std::uint32_t kECancelled = 0x80100002u;
inline constexpr std::uint32_t kEInvalidHandle = 0x80100003u;
inline constexpr std::uint32_t kEInvalidParameter = 0x80100004u;
inline constexpr std::uint32_t kENoMemory = 0x80100006u;
inline constexpr std::uint32_t kEInsufficientBuffer = 0x80100008u;
inline constexpr std::uint32_t kEUnknownReader = 0x80100009u;
inline constexpr std::uint32_t kETimeout = 0x8010000Au;
inline constexpr std::uint32_t kESharingViolation = 0x8010000Bu;
inline constexpr std::uint32_t kENoSmartcard = 0x8010000Cu;
inline constexpr std::uint32_t kEProtoMismatch = 0x8010000Fu;
inline constexpr std::uint32_t kEInvalidValue = 0x80100011u;
inline constexpr std::uint32_t kECommError = 0x80100013u;
inline constexpr std::uint32_t kEReaderUnavailable = 0x80100017u;
inline constexpr std::uint32_t kENoService = 0x8010001Du;
inline constexpr std::uint32_t kEServiceStopped = 0x8010001Eu;
inline constexpr std::uint32_t kENoReadersAvailable = 0x8010002Eu;
inline constexpr std::uint32_t kWUnresponsiveCard = 0x80100066u;
inline constexpr std::uint32_t kWUnpoweredCard = 0x80100067u;
inline constexpr std::uint32_t kWResetCard = 0x80100068u;
inline constexpr std::uint32_t kWRemovedCard = 0x80100069u;
inline constexpr std::uint32_t kWSecurityViolation = 0x8010006Au;

class PcscApi {
  public:
    virtual ~PcscApi() = default;

    virtual std::uint32_t SCardEstablishContext(std::uint32_t scope, ScardContext* context) = 0;
    // With *length == kAutoAllocate the service allocates the multi-string into *readers
    // (cast from char**); give it back with SCardFreeMemory.
    virtual std::uint32_t SCardListReadersA(ScardContext context, const char* groups, char* readers,
                                            std::uint32_t* length) = 0;
    virtual std::uint32_t SCardFreeMemory(ScardContext context, const void* memory) = 0;
    virtual std::uint32_t SCardConnectA(ScardContext context, const char* reader,
                                        std::uint32_t shareMode, std::uint32_t preferredProtocols,
                                        ScardHandle* card, std::uint32_t* activeProtocol) = 0;
    virtual std::uint32_t SCardTransmit(ScardHandle card, const ScardIoRequest* sendPci,
                                        const std::uint8_t* sendBuffer, std::uint32_t sendLength,
                                        ScardIoRequest* recvPci, std::uint8_t* recvBuffer,
                                        std::uint32_t* recvLength) = 0;
    virtual std::uint32_t SCardDisconnect(ScardHandle card, std::uint32_t disposition) = 0;
    virtual std::uint32_t SCardReleaseContext(ScardContext context) = 0;
    // Waits until a state differs from its dwCurrentState, the timeout (ms) passes
    // (kETimeout) or SCardCancel on the same context ends the wait (kECancelled).
    virtual std::uint32_t SCardGetStatusChangeA(ScardContext context, std::uint32_t timeout,
                                                ScardReaderState* states, std::uint32_t count) = 0;
    // Safe to call from any thread.
    virtual std::uint32_t SCardCancel(ScardContext context) = 0;

    // The service's own static records; compared by address to tell the protocols apart.
    virtual const ScardIoRequest* T0Pci() const = 0;
    virtual const ScardIoRequest* T1Pci() const = 0;

    // The platform's text for a result code; empty when it has none.
    virtual std::string FormatErrorText(std::uint32_t code) = 0;
};

}  // namespace quorlin::pcsc
