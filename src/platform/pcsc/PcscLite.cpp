#include "platform/pcsc/PcscLite.h"

#include <PCSC/winscard.h>
#include <PCSC/wintypes.h>

#include <algorithm>
#include <cstring>
#include <limits>
#include <memory>
#include <string_view>

namespace quorlin::pcsc {

namespace {

// The core keeps the Windows numbering; pcsc-lite uses the same numbers, held in its own
// (on amd64 64-bit, signed) types. Where the values coincide, say so at compile time.
static_assert(kScopeUser == SCARD_SCOPE_USER);
static_assert(kScopeSystem == SCARD_SCOPE_SYSTEM);
static_assert(kShareExclusive == SCARD_SHARE_EXCLUSIVE);
static_assert(kShareShared == SCARD_SHARE_SHARED);
static_assert(kProtocolT0 == SCARD_PROTOCOL_T0);
static_assert(kProtocolT1 == SCARD_PROTOCOL_T1);
static_assert(kLeaveCard == SCARD_LEAVE_CARD);
static_assert(kResetCard == SCARD_RESET_CARD);
static_assert(kInfinite == INFINITE);
static_assert(kStateUnaware == SCARD_STATE_UNAWARE);
static_assert(kStateChanged == SCARD_STATE_CHANGED);
static_assert(kStateEmpty == SCARD_STATE_EMPTY);
static_assert(kStatePresent == SCARD_STATE_PRESENT);
static_assert(kStateMute == SCARD_STATE_MUTE);
static_assert(kEServiceStopped == static_cast<std::uint32_t>(SCARD_E_SERVICE_STOPPED));
static_assert(kSuccess == SCARD_S_SUCCESS);
static_assert(kFInternalError == static_cast<std::uint32_t>(SCARD_F_INTERNAL_ERROR));
static_assert(kECancelled == static_cast<std::uint32_t>(SCARD_E_CANCELLED));
static_assert(kEInvalidHandle == static_cast<std::uint32_t>(SCARD_E_INVALID_HANDLE));
static_assert(kEInvalidParameter == static_cast<std::uint32_t>(SCARD_E_INVALID_PARAMETER));
static_assert(kENoMemory == static_cast<std::uint32_t>(SCARD_E_NO_MEMORY));
static_assert(kEInsufficientBuffer == static_cast<std::uint32_t>(SCARD_E_INSUFFICIENT_BUFFER));
static_assert(kEUnknownReader == static_cast<std::uint32_t>(SCARD_E_UNKNOWN_READER));
static_assert(kETimeout == static_cast<std::uint32_t>(SCARD_E_TIMEOUT));
static_assert(kESharingViolation == static_cast<std::uint32_t>(SCARD_E_SHARING_VIOLATION));
static_assert(kENoSmartcard == static_cast<std::uint32_t>(SCARD_E_NO_SMARTCARD));
static_assert(kEProtoMismatch == static_cast<std::uint32_t>(SCARD_E_PROTO_MISMATCH));
static_assert(kEInvalidValue == static_cast<std::uint32_t>(SCARD_E_INVALID_VALUE));
static_assert(kECommError == static_cast<std::uint32_t>(SCARD_F_COMM_ERROR));
static_assert(kEReaderUnavailable == static_cast<std::uint32_t>(SCARD_E_READER_UNAVAILABLE));
static_assert(kENoService == static_cast<std::uint32_t>(SCARD_E_NO_SERVICE));
static_assert(kENoReadersAvailable == static_cast<std::uint32_t>(SCARD_E_NO_READERS_AVAILABLE));
static_assert(kWUnresponsiveCard == static_cast<std::uint32_t>(SCARD_W_UNRESPONSIVE_CARD));
static_assert(kWUnpoweredCard == static_cast<std::uint32_t>(SCARD_W_UNPOWERED_CARD));
static_assert(kWResetCard == static_cast<std::uint32_t>(SCARD_W_RESET_CARD));
static_assert(kWRemovedCard == static_cast<std::uint32_t>(SCARD_W_REMOVED_CARD));

// pcsc-lite's results are LONGs holding 32-bit unsigned codes; anything outside that
// range cannot be a code the core knows, so it becomes an internal error.
std::uint32_t ToCore(LONG rv) {
    if (rv < 0 || static_cast<unsigned long long>(rv) > std::numeric_limits<std::uint32_t>::max()) {
        return kFInternalError;
    }
    return static_cast<std::uint32_t>(rv);
}

LONG ToLite(std::uint32_t code) {
    return static_cast<LONG>(code);
}

// pcsc-lite's own record sizes, kept in the core's records so a caller that reads them
// sees the service's values.
const ScardIoRequest kT0Pci{kProtocolT0, static_cast<std::uint32_t>(sizeof(SCARD_IO_REQUEST))};
const ScardIoRequest kT1Pci{kProtocolT1, static_cast<std::uint32_t>(sizeof(SCARD_IO_REQUEST))};

SCARDCONTEXT ToLiteContext(ScardContext context) {
    return static_cast<SCARDCONTEXT>(context);
}
SCARDHANDLE ToLiteHandle(ScardHandle card) {
    return static_cast<SCARDHANDLE>(card);
}

// Lengths come back as DWORDs; a length the core's 32-bit word cannot hold is a service
// fault, not something to truncate.
bool FitsCore(DWORD length) {
    return length <= std::numeric_limits<std::uint32_t>::max();
}

// A reader list the service allocated, until it is handed to the caller.
struct ReaderListFree {
    SCARDCONTEXT context;
    void operator()(char* list) const { ::SCardFreeMemory(context, list); }
};

}  // namespace

std::uint32_t PcscLite::SCardEstablishContext(std::uint32_t scope, ScardContext* context) {
    if (context == nullptr) {
        return kEInvalidParameter;
    }
    SCARDCONTEXT lite = 0;
    const LONG rv = ::SCardEstablishContext(static_cast<DWORD>(scope), nullptr, nullptr, &lite);
    *context = static_cast<ScardContext>(lite);
    return ToCore(rv);
}

std::uint32_t PcscLite::SCardListReadersA(ScardContext context, const char* groups, char* readers,
                                          std::uint32_t* length) {
    if (length == nullptr) {
        return kEInvalidParameter;
    }
    if (*length == kAutoAllocate) {
        // readers is really the address of the caller's pointer.
        if (readers == nullptr) {
            return kEInvalidParameter;
        }
        char* allocated = nullptr;
        DWORD liteLength = SCARD_AUTOALLOCATE;
        const LONG rv = ::SCardListReaders(ToLiteContext(context), groups,
                                           reinterpret_cast<LPSTR>(&allocated), &liteLength);
        std::unique_ptr<char, ReaderListFree> owned(allocated,
                                                    ReaderListFree{ToLiteContext(context)});
        if (rv == SCARD_S_SUCCESS && !FitsCore(liteLength)) {
            return kFInternalError;
        }
        char* const list = owned.release();
        std::memcpy(readers, &list, sizeof list);
        if (rv == SCARD_S_SUCCESS) {
            *length = static_cast<std::uint32_t>(liteLength);
        }
        return ToCore(rv);
    }
    DWORD liteLength = static_cast<DWORD>(*length);
    const LONG rv = ::SCardListReaders(ToLiteContext(context), groups, readers, &liteLength);
    if (FitsCore(liteLength)) {
        *length = static_cast<std::uint32_t>(liteLength);
    }
    return ToCore(rv);
}

std::uint32_t PcscLite::SCardFreeMemory(ScardContext context, const void* memory) {
    return ToCore(::SCardFreeMemory(ToLiteContext(context), memory));
}

std::uint32_t PcscLite::SCardConnectA(ScardContext context, const char* reader,
                                      std::uint32_t shareMode, std::uint32_t preferredProtocols,
                                      ScardHandle* card, std::uint32_t* activeProtocol) {
    if (card == nullptr || activeProtocol == nullptr) {
        return kEInvalidParameter;
    }
    SCARDHANDLE liteCard = ToLiteHandle(*card);
    DWORD liteProtocol = static_cast<DWORD>(*activeProtocol);
    const LONG rv =
        ::SCardConnect(ToLiteContext(context), reader, static_cast<DWORD>(shareMode),
                       static_cast<DWORD>(preferredProtocols), &liteCard, &liteProtocol);
    // Hand back what the service left, as it would: it clears the handle on entry.
    *card = static_cast<ScardHandle>(liteCard);
    if (rv == SCARD_S_SUCCESS) {
        *activeProtocol = FitsCore(liteProtocol) ? static_cast<std::uint32_t>(liteProtocol) : 0;
    }
    return ToCore(rv);
}

std::uint32_t PcscLite::SCardTransmit(ScardHandle card, const ScardIoRequest* sendPci,
                                      const std::uint8_t* sendBuffer, std::uint32_t sendLength,
                                      ScardIoRequest* recvPci, std::uint8_t* recvBuffer,
                                      std::uint32_t* recvLength) {
    if (recvLength == nullptr) {
        return kEInvalidParameter;
    }
    // The core's records stand for the service's own; any other record is translated.
    SCARD_IO_REQUEST otherSend{};
    const SCARD_IO_REQUEST* liteSend = nullptr;
    if (sendPci == &kT0Pci) {
        liteSend = SCARD_PCI_T0;
    } else if (sendPci == &kT1Pci) {
        liteSend = SCARD_PCI_T1;
    } else if (sendPci != nullptr) {
        otherSend.dwProtocol = sendPci->dwProtocol;
        otherSend.cbPciLength = sizeof(SCARD_IO_REQUEST);
        liteSend = &otherSend;
    }
    SCARD_IO_REQUEST liteRecv{};
    if (recvPci != nullptr) {
        liteRecv.dwProtocol = recvPci->dwProtocol;
        liteRecv.cbPciLength = sizeof(SCARD_IO_REQUEST);
    }
    DWORD liteLength = static_cast<DWORD>(*recvLength);
    const LONG rv =
        ::SCardTransmit(ToLiteHandle(card), liteSend, sendBuffer, static_cast<DWORD>(sendLength),
                        recvPci != nullptr ? &liteRecv : nullptr, recvBuffer, &liteLength);
    if (FitsCore(liteLength)) {
        *recvLength = static_cast<std::uint32_t>(liteLength);
    }
    if (recvPci != nullptr && rv == SCARD_S_SUCCESS && FitsCore(liteRecv.dwProtocol)) {
        recvPci->dwProtocol = static_cast<std::uint32_t>(liteRecv.dwProtocol);
    }
    return ToCore(rv);
}

std::uint32_t PcscLite::SCardDisconnect(ScardHandle card, std::uint32_t disposition) {
    return ToCore(::SCardDisconnect(ToLiteHandle(card), static_cast<DWORD>(disposition)));
}

std::uint32_t PcscLite::SCardReleaseContext(ScardContext context) {
    return ToCore(::SCardReleaseContext(ToLiteContext(context)));
}

std::uint32_t PcscLite::SCardGetStatusChangeA(ScardContext context, std::uint32_t timeout,
                                              ScardReaderState* states, std::uint32_t count) {
    constexpr std::uint32_t kMaxStates = 16;
    if ((states == nullptr && count != 0) || count > kMaxStates) {
        return kEInvalidParameter;
    }
    SCARD_READERSTATE lite[kMaxStates] = {};
    for (std::uint32_t i = 0; i < count; ++i) {
        lite[i].szReader = states[i].szReader;
        lite[i].pvUserData = states[i].pvUserData;
        lite[i].dwCurrentState = states[i].dwCurrentState;
    }
    const LONG rv = ::SCardGetStatusChange(ToLiteContext(context), static_cast<DWORD>(timeout),
                                           lite, static_cast<DWORD>(count));
    for (std::uint32_t i = 0; i < count; ++i) {
        states[i].dwEventState =
            FitsCore(lite[i].dwEventState) ? static_cast<std::uint32_t>(lite[i].dwEventState) : 0;
        // pcsc-lite's ATR area is smaller than the core's.
        const DWORD atr = std::min<DWORD>(lite[i].cbAtr, sizeof lite[i].rgbAtr);
        states[i].cbAtr = static_cast<std::uint32_t>(atr);
        std::memcpy(states[i].rgbAtr, lite[i].rgbAtr, atr);
    }
    return ToCore(rv);
}

std::uint32_t PcscLite::SCardCancel(ScardContext context) {
    return ToCore(::SCardCancel(ToLiteContext(context)));
}

const ScardIoRequest* PcscLite::T0Pci() const {
    return &kT0Pci;
}
const ScardIoRequest* PcscLite::T1Pci() const {
    return &kT1Pci;
}

std::string PcscLite::FormatErrorText(std::uint32_t code) {
    const char* text = ::pcsc_stringify_error(ToLite(code));
    if (text == nullptr) {
        return {};
    }
    // pcsc-lite makes up a text for codes it does not know; that is no text at all.
    constexpr std::string_view kUnknown = "Unknown error: 0x";
    const std::string_view answer(text);
    if (answer.substr(0, kUnknown.size()) == kUnknown) {
        return {};
    }
    return std::string(answer);
}

const char* PcscLite::BuiltVersion() {
    return PCSCLITE_VERSION_NUMBER;
}

}  // namespace quorlin::pcsc
