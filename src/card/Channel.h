#pragma once
// The link to one card: what every command travels over, how it is opened, and the
// service's objects (context, reader list, connection) held by owners that give them back.

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "interfaces/PcscApi.h"

namespace quorlin::card {

// The service, the card handle and the record of the protocol the card runs.
struct Channel {
    pcsc::PcscApi& pcsc;
    pcsc::ScardHandle card;
    const pcsc::ScardIoRequest* pci;
};

// The service's record for the active protocol: T=1's for T=1, T=0's for anything else.
const pcsc::ScardIoRequest* ProtocolRecord(const pcsc::PcscApi& pcsc, std::uint32_t protocol);

// Connects to the reader offering T=0 and T=1. On success card and pci are set; on a
// failure both keep their values. Returns the service's result.
std::uint32_t Connect(pcsc::PcscApi& pcsc, pcsc::ScardContext context, const char* reader,
                      std::uint32_t shareMode, pcsc::ScardHandle& card,
                      const pcsc::ScardIoRequest*& pci);

// A context established on construction and released on destruction.
class ContextOwner {
  public:
    ContextOwner(pcsc::PcscApi& pcsc, std::uint32_t scope);
    ~ContextOwner();
    ContextOwner(const ContextOwner&) = delete;
    ContextOwner& operator=(const ContextOwner&) = delete;

    std::uint32_t Result() const { return m_result; }
    pcsc::ScardContext Get() const { return m_context; }

  private:
    pcsc::PcscApi& m_pcsc;
    pcsc::ScardContext m_context = 0;
    std::uint32_t m_result;
};

// A connection left with the card untouched (no reset) on destruction.
class ConnectionOwner {
  public:
    ConnectionOwner(pcsc::PcscApi& pcsc, pcsc::ScardContext context, const char* reader,
                    std::uint32_t shareMode);
    ~ConnectionOwner();
    ConnectionOwner(const ConnectionOwner&) = delete;
    ConnectionOwner& operator=(const ConnectionOwner&) = delete;

    std::uint32_t Result() const { return m_result; }
    Channel GetChannel() const { return {m_pcsc, m_card, m_pci}; }

  private:
    pcsc::PcscApi& m_pcsc;
    pcsc::ScardHandle m_card = 0;
    const pcsc::ScardIoRequest* m_pci = nullptr;
    std::uint32_t m_result;
};

// The service's reader list, allocated by the service and given back on destruction.
class ReaderList {
  public:
    ReaderList(pcsc::PcscApi& pcsc, pcsc::ScardContext context);
    ~ReaderList();
    ReaderList(const ReaderList&) = delete;
    ReaderList& operator=(const ReaderList&) = delete;

    // The service's result; a success with no list reads as kENoReadersAvailable.
    std::uint32_t Result() const { return m_result; }
    // The first max names in the service's order. The walk stops at the empty name that
    // ends the list and never reads past the length the service reported; a name not
    // terminated within that length is not a name.
    std::vector<std::string> Names(std::size_t max) const;

  private:
    pcsc::PcscApi& m_pcsc;
    pcsc::ScardContext m_context;
    char* m_list = nullptr;
    std::uint32_t m_length = pcsc::kAutoAllocate;
    std::uint32_t m_result;
};

}  // namespace quorlin::card
