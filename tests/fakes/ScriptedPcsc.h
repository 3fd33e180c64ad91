#pragma once
// An in-process PC/SC service: readers, one card per connection, failure injection for
// every call, and every command APDU recorded. Answers come from a queue of scripted
// answers, or, when the queue is empty, from the responder (e.g. the card engine).

#include <cstdint>
#include <deque>
#include <functional>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "interfaces/PcscApi.h"

namespace quorlin::test {

using Bytes = std::vector<std::uint8_t>;

Bytes Hex(const std::string& hex);      // "00 A4 04 00" -> bytes
std::string ToHex(const Bytes& bytes);  // bytes -> "00 A4 04 00"

struct Answer {
    std::uint32_t error = pcsc::kSuccess;  // non-zero: the transmission fails with it
    Bytes bytes;
};

class ScriptedPcsc : public pcsc::PcscApi {
  public:
    ScriptedPcsc();

    // Configuration.
    std::vector<std::string> readers;
    std::uint32_t activeProtocol = pcsc::kProtocolT1;
    std::deque<Answer> answers;
    std::function<Answer(const Bytes& command)> responder;
    // Calls that fail: name ("SCardEstablishContext", "SCardConnectA", ...) -> code. A
    // count in failTimes limits how often (default: always).
    std::map<std::string, std::uint32_t> failures;
    std::map<std::string, int> failTimes;
    std::set<std::uint32_t> codesWithoutText;
    // What SCardGetStatusChangeA answers, in turn: its result and, on success, the event
    // state of the first reader state. When none is left it answers kETimeout.
    struct StatusChange {
        std::uint32_t result = pcsc::kSuccess;
        std::uint32_t eventState = 0;
    };
    std::deque<StatusChange> statusChanges;

    // What happened.
    std::vector<Bytes> commands;
    std::vector<std::string> calls;  // one line per call, e.g. "SCardConnectA:Reader 0:1:3"
    std::vector<std::uint32_t> establishedScopes;
    int openContexts = 0;
    int releasedContexts = 0;
    int connects = 0;
    int disconnects = 0;
    int outstandingReaderLists = 0;
    int cancels = 0;
    std::vector<std::uint32_t> watchedStates;  // dwCurrentState of each status-change call
    pcsc::ScardHandle connectedCard = 0;
    std::vector<const pcsc::ScardIoRequest*> sendPcis;

    void Queue(const std::string& hex) { answers.push_back({pcsc::kSuccess, Hex(hex)}); }
    void QueueError(std::uint32_t code) { answers.push_back({code, {}}); }
    // The commands sent so far, one hex line each.
    std::vector<std::string> SentHex() const {
        std::vector<std::string> out;
        for (const Bytes& c : commands) {
            out.push_back(ToHex(c));
        }
        return out;
    }

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
    const pcsc::ScardIoRequest* T0Pci() const override { return &m_t0; }
    const pcsc::ScardIoRequest* T1Pci() const override { return &m_t1; }
    std::string FormatErrorText(std::uint32_t code) override;

    // The text FormatErrorText gives for a code that has one.
    static std::string TextFor(std::uint32_t code);

  private:
    bool Fails(const std::string& call, std::uint32_t* code);

    pcsc::ScardIoRequest m_t0{pcsc::kProtocolT0, 8};
    pcsc::ScardIoRequest m_t1{pcsc::kProtocolT1, 8};
    pcsc::ScardContext m_nextContext = 0x1000;
    pcsc::ScardHandle m_nextCard = 0x2000;
    std::set<pcsc::ScardContext> m_contexts;
    std::vector<std::string> m_lists;
};

}  // namespace quorlin::test
