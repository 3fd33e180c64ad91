#include "fakes/ScriptedPcsc.h"

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <sstream>
#include <stdexcept>

namespace quorlin::test {

Bytes Hex(const std::string& hex) {
    Bytes out;
    std::string digits;
    for (char c : hex) {
        if (std::isxdigit(static_cast<unsigned char>(c))) {
            digits.push_back(c);
        }
    }
    if (digits.size() % 2 != 0) {
        throw std::invalid_argument("odd hex: " + hex);
    }
    for (std::size_t i = 0; i < digits.size(); i += 2) {
        out.push_back(static_cast<std::uint8_t>(std::stoul(digits.substr(i, 2), nullptr, 16)));
    }
    return out;
}

std::string ToHex(const Bytes& bytes) {
    std::string out;
    char buf[4];
    for (std::size_t i = 0; i < bytes.size(); ++i) {
        std::snprintf(buf, sizeof buf, i == 0 ? "%02X" : " %02X", bytes[i]);
        out += buf;
    }
    return out;
}

ScriptedPcsc::ScriptedPcsc() : readers{"Fake Reader 0"} {}

bool ScriptedPcsc::Fails(const std::string& call, std::uint32_t* code) {
    auto it = failures.find(call);
    if (it == failures.end()) {
        return false;
    }
    auto times = failTimes.find(call);
    if (times != failTimes.end()) {
        if (times->second <= 0) {
            return false;
        }
        --times->second;
    }
    *code = it->second;
    return true;
}

std::string ScriptedPcsc::TextFor(std::uint32_t code) {
    char buf[64];
    std::snprintf(buf, sizeof buf, "Fake PC/SC text 0x%08X.\n", code);
    return buf;
}

std::uint32_t ScriptedPcsc::SCardEstablishContext(std::uint32_t scope,
                                                  pcsc::ScardContext* context) {
    calls.push_back("SCardEstablishContext:" + std::to_string(scope));
    establishedScopes.push_back(scope);
    std::uint32_t code = 0;
    if (Fails("SCardEstablishContext", &code)) {
        return code;
    }
    *context = m_nextContext++;
    m_contexts.insert(*context);
    ++openContexts;
    return pcsc::kSuccess;
}

std::uint32_t ScriptedPcsc::SCardListReadersA(pcsc::ScardContext context, const char*, char* out,
                                              std::uint32_t* length) {
    calls.push_back("SCardListReadersA");
    std::uint32_t code = 0;
    if (Fails("SCardListReadersA", &code)) {
        return code;
    }
    if (m_contexts.count(context) == 0) {
        return pcsc::kEInvalidHandle;
    }
    if (readers.empty()) {
        return pcsc::kENoReadersAvailable;
    }
    if (*length != pcsc::kAutoAllocate) {
        return pcsc::kEInvalidParameter;
    }
    std::string multi;
    for (const std::string& r : readers) {
        multi += r;
        multi.push_back('\0');
    }
    multi.push_back('\0');
    m_lists.push_back(multi);
    ++outstandingReaderLists;
    *reinterpret_cast<char**>(out) = m_lists.back().data();
    *length = static_cast<std::uint32_t>(multi.size());
    return pcsc::kSuccess;
}

std::uint32_t ScriptedPcsc::SCardFreeMemory(pcsc::ScardContext, const void* memory) {
    calls.push_back("SCardFreeMemory");
    --outstandingReaderLists;
    (void)memory;
    return pcsc::kSuccess;
}

std::uint32_t ScriptedPcsc::SCardConnectA(pcsc::ScardContext context, const char* reader,
                                          std::uint32_t shareMode, std::uint32_t preferredProtocols,
                                          pcsc::ScardHandle* card, std::uint32_t* protocol) {
    calls.push_back("SCardConnectA:" + std::string(reader) + ":" + std::to_string(shareMode) + ":" +
                    std::to_string(preferredProtocols));
    *card = 0;  // as pcsc-lite does on entry
    std::uint32_t code = 0;
    if (Fails("SCardConnectA", &code)) {
        return code;
    }
    if (m_contexts.count(context) == 0) {
        return pcsc::kEInvalidHandle;
    }
    if (std::find(readers.begin(), readers.end(), reader) == readers.end()) {
        return pcsc::kEUnknownReader;
    }
    *card = m_nextCard++;
    *protocol = activeProtocol;
    connectedCard = *card;
    ++connects;
    return pcsc::kSuccess;
}

std::uint32_t ScriptedPcsc::SCardTransmit(pcsc::ScardHandle card,
                                          const pcsc::ScardIoRequest* sendPci,
                                          const std::uint8_t* sendBuffer, std::uint32_t sendLength,
                                          pcsc::ScardIoRequest*, std::uint8_t* recvBuffer,
                                          std::uint32_t* recvLength) {
    Bytes command(sendBuffer, sendBuffer + sendLength);
    commands.push_back(command);
    sendPcis.push_back(sendPci);
    std::uint32_t code = 0;
    if (Fails("SCardTransmit", &code)) {
        return code;
    }
    if (card == 0 || card != connectedCard) {
        return pcsc::kEInvalidHandle;
    }
    Answer answer;
    if (!answers.empty()) {
        answer = answers.front();
        answers.pop_front();
    } else if (responder) {
        answer = responder(command);
    } else {
        answer.bytes = {0x6D, 0x00};
    }
    if (answer.error != pcsc::kSuccess) {
        return answer.error;
    }
    if (answer.bytes.size() > *recvLength) {
        return pcsc::kEInsufficientBuffer;
    }
    if (!answer.bytes.empty()) {  // an empty answer has no data pointer to copy from
        std::memcpy(recvBuffer, answer.bytes.data(), answer.bytes.size());
    }
    *recvLength = static_cast<std::uint32_t>(answer.bytes.size());
    return pcsc::kSuccess;
}

std::uint32_t ScriptedPcsc::SCardDisconnect(pcsc::ScardHandle card, std::uint32_t disposition) {
    calls.push_back("SCardDisconnect:" + std::to_string(disposition));
    std::uint32_t code = 0;
    if (Fails("SCardDisconnect", &code)) {
        return code;
    }
    if (card == 0 || card != connectedCard) {
        return pcsc::kEInvalidHandle;
    }
    connectedCard = 0;
    ++disconnects;
    return pcsc::kSuccess;
}

std::uint32_t ScriptedPcsc::SCardReleaseContext(pcsc::ScardContext context) {
    calls.push_back("SCardReleaseContext");
    std::uint32_t code = 0;
    if (Fails("SCardReleaseContext", &code)) {
        return code;
    }
    if (m_contexts.erase(context) == 0) {
        return pcsc::kEInvalidHandle;
    }
    ++releasedContexts;
    return pcsc::kSuccess;
}

std::uint32_t ScriptedPcsc::SCardGetStatusChangeA(pcsc::ScardContext context, std::uint32_t,
                                                  pcsc::ScardReaderState* states,
                                                  std::uint32_t count) {
    calls.push_back("SCardGetStatusChangeA");
    std::uint32_t code = 0;
    if (Fails("SCardGetStatusChangeA", &code)) {
        return code;
    }
    if (m_contexts.count(context) == 0) {
        return pcsc::kEInvalidHandle;
    }
    if (count == 0 || states == nullptr) {
        return pcsc::kEInvalidParameter;
    }
    watchedStates.push_back(states[0].dwCurrentState);
    if (statusChanges.empty()) {
        return pcsc::kETimeout;
    }
    const StatusChange next = statusChanges.front();
    statusChanges.pop_front();
    if (next.result == pcsc::kSuccess) {
        states[0].dwEventState = next.eventState;
    }
    return next.result;
}

std::uint32_t ScriptedPcsc::SCardCancel(pcsc::ScardContext) {
    calls.push_back("SCardCancel");
    ++cancels;
    return pcsc::kSuccess;
}

std::string ScriptedPcsc::FormatErrorText(std::uint32_t code) {
    if (codesWithoutText.count(code) != 0) {
        return {};
    }
    return TextFor(code);
}

}  // namespace quorlin::test
