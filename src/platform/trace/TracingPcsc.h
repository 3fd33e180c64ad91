#pragma once
// The PC/SC service with a trace: every call goes to the real service unchanged; each
// transmission (masked, see CommandHex), connection, reader listing and failure is written
// to the sink. The reader watcher's own waits that time out or are cancelled, and
// SCardCancel, are left out: they are how it works, not events.

#include <map>
#include <mutex>
#include <string>

#include "interfaces/PcscApi.h"
#include "platform/trace/TraceSink.h"

namespace quorlin::trace {

class TracingPcsc : public pcsc::PcscApi {
  public:
    // Both must outlive this object.
    TracingPcsc(pcsc::PcscApi& service, TraceSink& sink);

    std::uint32_t SCardEstablishContext(std::uint32_t scope, pcsc::ScardContext* context) override;
    std::uint32_t SCardListReadersA(pcsc::ScardContext context, const char* groups, char* readers,
                                    std::uint32_t* length) override;
    std::uint32_t SCardFreeMemory(pcsc::ScardContext context, const void* memory) override;
    std::uint32_t SCardConnectA(pcsc::ScardContext context, const char* reader,
                                std::uint32_t shareMode, std::uint32_t preferredProtocols,
                                pcsc::ScardHandle* card, std::uint32_t* activeProtocol) override;
    std::uint32_t SCardTransmit(pcsc::ScardHandle card, const pcsc::ScardIoRequest* sendPci,
                                const std::uint8_t* sendBuffer, std::uint32_t sendLength,
                                pcsc::ScardIoRequest* recvPci, std::uint8_t* recvBuffer,
                                std::uint32_t* recvLength) override;
    std::uint32_t SCardDisconnect(pcsc::ScardHandle card, std::uint32_t disposition) override;
    std::uint32_t SCardReleaseContext(pcsc::ScardContext context) override;
    std::uint32_t SCardGetStatusChangeA(pcsc::ScardContext context, std::uint32_t timeout,
                                        pcsc::ScardReaderState* states,
                                        std::uint32_t count) override;
    std::uint32_t SCardCancel(pcsc::ScardContext context) override;

    const pcsc::ScardIoRequest* T0Pci() const override;
    const pcsc::ScardIoRequest* T1Pci() const override;
    std::string FormatErrorText(std::uint32_t code) override;

  private:
    std::string ReaderOf(pcsc::ScardHandle card);

    pcsc::PcscApi& m_service;
    TraceSink& m_sink;
    // The reader of each open card handle; the watcher's thread shares this object.
    std::mutex m_mutex;
    std::map<pcsc::ScardHandle, std::string> m_readers;
};

}  // namespace quorlin::trace
