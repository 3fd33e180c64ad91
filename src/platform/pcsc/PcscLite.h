#pragma once
// The production PC/SC service: pcsc-lite and the pcscd it talks to. pcsc-lite's own
// headers stay in PcscLite.cpp so that nothing the core includes sees them.

#include "interfaces/PcscApi.h"

namespace quorlin::pcsc {

class PcscLite : public PcscApi {
  public:
    PcscLite() = default;

    std::uint32_t SCardEstablishContext(std::uint32_t scope, ScardContext* context) override;
    std::uint32_t SCardListReadersA(ScardContext context, const char* groups, char* readers,
                                    std::uint32_t* length) override;
    std::uint32_t SCardFreeMemory(ScardContext context, const void* memory) override;
    std::uint32_t SCardConnectA(ScardContext context, const char* reader, std::uint32_t shareMode,
                                std::uint32_t preferredProtocols, ScardHandle* card,
                                std::uint32_t* activeProtocol) override;
    std::uint32_t SCardTransmit(ScardHandle card, const ScardIoRequest* sendPci,
                                const std::uint8_t* sendBuffer, std::uint32_t sendLength,
                                ScardIoRequest* recvPci, std::uint8_t* recvBuffer,
                                std::uint32_t* recvLength) override;
    std::uint32_t SCardDisconnect(ScardHandle card, std::uint32_t disposition) override;
    std::uint32_t SCardReleaseContext(ScardContext context) override;
    std::uint32_t SCardGetStatusChangeA(ScardContext context, std::uint32_t timeout,
                                        ScardReaderState* states, std::uint32_t count) override;
    std::uint32_t SCardCancel(ScardContext context) override;

    const ScardIoRequest* T0Pci() const override;
    const ScardIoRequest* T1Pci() const override;

    std::string FormatErrorText(std::uint32_t code) override;

    // The pcsc-lite this program was built with, for the trace's first lines.
    static const char* BuiltVersion();
};

}  // namespace quorlin::pcsc
