#include "card/Channel.h"

#include <cstring>

namespace quorlin::card {

const pcsc::ScardIoRequest* ProtocolRecord(const pcsc::PcscApi& pcsc, std::uint32_t protocol) {
    return protocol == pcsc::kProtocolT1 ? pcsc.T1Pci() : pcsc.T0Pci();
}

std::uint32_t Connect(pcsc::PcscApi& pcsc, pcsc::ScardContext context, const char* reader,
                      std::uint32_t shareMode, pcsc::ScardHandle& card,
                      const pcsc::ScardIoRequest*& pci) {
    // The service clears the handle it is given, so connect into a local one.
    pcsc::ScardHandle handle = 0;
    std::uint32_t protocol = 0;
    const std::uint32_t rv = pcsc.SCardConnectA(
        context, reader, shareMode, pcsc::kProtocolT0 | pcsc::kProtocolT1, &handle, &protocol);
    if (rv == pcsc::kSuccess) {
        card = handle;
        pci = ProtocolRecord(pcsc, protocol);
    }
    return rv;
}

ContextOwner::ContextOwner(pcsc::PcscApi& pcsc, std::uint32_t scope)
    : m_pcsc(pcsc), m_result(pcsc.SCardEstablishContext(scope, &m_context)) {
    if (m_result != pcsc::kSuccess) {
        m_context = 0;
    }
}

ContextOwner::~ContextOwner() {
    if (m_context != 0) {
        m_pcsc.SCardReleaseContext(m_context);
    }
}

ConnectionOwner::ConnectionOwner(pcsc::PcscApi& pcsc, pcsc::ScardContext context,
                                 const char* reader, std::uint32_t shareMode)
    : m_pcsc(pcsc), m_result(Connect(pcsc, context, reader, shareMode, m_card, m_pci)) {}

ConnectionOwner::~ConnectionOwner() {
    if (m_result == pcsc::kSuccess) {
        m_pcsc.SCardDisconnect(m_card, pcsc::kLeaveCard);
    }
}

ReaderList::ReaderList(pcsc::PcscApi& pcsc, pcsc::ScardContext context)
    : m_pcsc(pcsc),
      m_context(context),
      m_result(
          pcsc.SCardListReadersA(context, nullptr, reinterpret_cast<char*>(&m_list), &m_length)) {
    if (m_result != pcsc::kSuccess) {
        m_list = nullptr;
    } else if (m_list == nullptr) {
        m_result = pcsc::kENoReadersAvailable;
    }
}

ReaderList::~ReaderList() {
    if (m_list != nullptr) {
        m_pcsc.SCardFreeMemory(m_context, m_list);
    }
}

std::vector<std::string> ReaderList::Names(std::size_t max) const {
    std::vector<std::string> names;
    if (m_list == nullptr) {
        return names;
    }
    const char* p = m_list;
    const char* end = m_list + m_length;
    while (p < end && *p != '\0' && names.size() < max) {
        const std::size_t length = strnlen(p, static_cast<std::size_t>(end - p));
        if (p + length >= end) {
            break;
        }
        names.emplace_back(p, length);
        p += length + 1;
    }
    return names;
}

}  // namespace quorlin::card
