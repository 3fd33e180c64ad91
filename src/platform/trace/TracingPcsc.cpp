#include "platform/trace/TracingPcsc.h"

#include <algorithm>
#include <chrono>
#include <span>

#include "platform/trace/TraceFormat.h"

namespace quorlin::trace {

TracingPcsc::TracingPcsc(pcsc::PcscApi& service, TraceSink& sink)
    : m_service(service), m_sink(sink) {}

std::uint32_t TracingPcsc::SCardEstablishContext(std::uint32_t scope, pcsc::ScardContext* context) {
    const std::uint32_t rv = m_service.SCardEstablishContext(scope, context);
    if (rv != pcsc::kSuccess) {
        m_sink.Write(FailureLine("SCardEstablishContext", {}, rv));
    }
    return rv;
}

std::uint32_t TracingPcsc::SCardListReadersA(pcsc::ScardContext context, const char* groups,
                                             char* readers, std::uint32_t* length) {
    const bool allocate = length != nullptr && *length == pcsc::kAutoAllocate;
    const std::uint32_t rv = m_service.SCardListReadersA(context, groups, readers, length);
    if (rv != pcsc::kSuccess) {
        m_sink.Write(FailureLine("SCardListReadersA", {}, rv));
    } else if (readers != nullptr && length != nullptr) {
        const char* list = allocate ? *reinterpret_cast<char**>(readers) : readers;
        m_sink.Write(ReadersLine(list, *length));
    }
    return rv;
}

std::uint32_t TracingPcsc::SCardFreeMemory(pcsc::ScardContext context, const void* memory) {
    const std::uint32_t rv = m_service.SCardFreeMemory(context, memory);
    if (rv != pcsc::kSuccess) {
        m_sink.Write(FailureLine("SCardFreeMemory", {}, rv));
    }
    return rv;
}

std::uint32_t TracingPcsc::SCardConnectA(pcsc::ScardContext context, const char* reader,
                                         std::uint32_t shareMode, std::uint32_t preferredProtocols,
                                         pcsc::ScardHandle* card, std::uint32_t* activeProtocol) {
    const std::uint32_t rv = m_service.SCardConnectA(context, reader, shareMode, preferredProtocols,
                                                     card, activeProtocol);
    const std::string name = reader != nullptr ? reader : "";
    if (rv != pcsc::kSuccess) {
        m_sink.Write(FailureLine("SCardConnectA", name, rv));
        return rv;
    }
    if (card != nullptr) {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_readers[*card] = name;
    }
    m_sink.Write(ConnectLine(name, shareMode, activeProtocol != nullptr ? *activeProtocol : 0));
    return rv;
}

std::uint32_t TracingPcsc::SCardTransmit(pcsc::ScardHandle card,
                                         const pcsc::ScardIoRequest* sendPci,
                                         const std::uint8_t* sendBuffer, std::uint32_t sendLength,
                                         pcsc::ScardIoRequest* recvPci, std::uint8_t* recvBuffer,
                                         std::uint32_t* recvLength) {
    const std::uint32_t capacity = recvLength != nullptr ? *recvLength : 0;
    const auto start = std::chrono::steady_clock::now();
    const std::uint32_t rv = m_service.SCardTransmit(card, sendPci, sendBuffer, sendLength, recvPci,
                                                     recvBuffer, recvLength);
    const auto elapsed = std::chrono::duration_cast<std::chrono::microseconds>(
        std::chrono::steady_clock::now() - start);

    const std::string reader = ReaderOf(card);
    Transmission t;
    t.reader = reader;
    t.protocol = sendPci != nullptr ? sendPci->dwProtocol : 0;
    if (sendBuffer != nullptr) {
        t.command = {sendBuffer, sendLength};
    }
    t.result = rv;
    if (rv == pcsc::kSuccess && recvBuffer != nullptr && recvLength != nullptr) {
        t.answer = {recvBuffer, std::min(*recvLength, capacity)};
    }
    t.elapsed = elapsed;
    m_sink.Write(TransmitLine(t));
    return rv;
}

std::uint32_t TracingPcsc::SCardDisconnect(pcsc::ScardHandle card, std::uint32_t disposition) {
    const std::uint32_t rv = m_service.SCardDisconnect(card, disposition);
    const std::string reader = ReaderOf(card);
    if (rv != pcsc::kSuccess) {
        m_sink.Write(FailureLine("SCardDisconnect", reader, rv));
        return rv;
    }
    {
        const std::lock_guard<std::mutex> lock(m_mutex);
        m_readers.erase(card);
    }
    m_sink.Write(DisconnectLine(reader));
    return rv;
}

std::uint32_t TracingPcsc::SCardReleaseContext(pcsc::ScardContext context) {
    const std::uint32_t rv = m_service.SCardReleaseContext(context);
    if (rv != pcsc::kSuccess) {
        m_sink.Write(FailureLine("SCardReleaseContext", {}, rv));
    }
    return rv;
}

std::uint32_t TracingPcsc::SCardGetStatusChangeA(pcsc::ScardContext context, std::uint32_t timeout,
                                                 pcsc::ScardReaderState* states,
                                                 std::uint32_t count) {
    const std::uint32_t rv = m_service.SCardGetStatusChangeA(context, timeout, states, count);
    if (rv != pcsc::kSuccess && rv != pcsc::kETimeout && rv != pcsc::kECancelled) {
        m_sink.Write(FailureLine("SCardGetStatusChangeA", {}, rv));
    }
    return rv;
}

std::uint32_t TracingPcsc::SCardCancel(pcsc::ScardContext context) {
    return m_service.SCardCancel(context);
}

const pcsc::ScardIoRequest* TracingPcsc::T0Pci() const {
    return m_service.T0Pci();
}

const pcsc::ScardIoRequest* TracingPcsc::T1Pci() const {
    return m_service.T1Pci();
}

std::string TracingPcsc::FormatErrorText(std::uint32_t code) {
    return m_service.FormatErrorText(code);
}

std::string TracingPcsc::ReaderOf(pcsc::ScardHandle card) {
    const std::lock_guard<std::mutex> lock(m_mutex);
    const auto it = m_readers.find(card);
    return it != m_readers.end() ? it->second : std::string();
}

}  // namespace quorlin::trace
