#include "fakes/EnginePcsc.h"

#include <filesystem>

namespace quorlin::test {

namespace {
constexpr std::uint32_t kResetCard = 1;
constexpr std::uint32_t kUnpowerCard = 2;
}  // namespace

std::string EnginePcsc::ProfilePath(const std::string& profile) {
    if (std::filesystem::exists(profile)) {
        return profile;
    }
    return (cardsim::ProfilesDir() / profile).string();
}

EnginePcsc::EnginePcsc(const std::string& profile)
    : engine(cardsim::Engine::FromFile(ProfilePath(profile))) {
    Wire();
}

EnginePcsc::EnginePcsc(cardsim::Engine card) : engine(std::move(card)) {
    Wire();
}

void EnginePcsc::Wire() {
    activeProtocol = engine.Protocol();
    responder = [this](const Bytes& command) -> Answer {
        if (engine.Vanished()) {
            engine.Process(command);  // for the log
            return {pcsc::kWRemovedCard, {}};
        }
        Bytes answer = engine.Process(command);
        if (engine.Vanished() && answer.empty()) {
            return {pcsc::kWRemovedCard, {}};
        }
        return {pcsc::kSuccess, answer};
    };
}

std::uint32_t EnginePcsc::SCardConnectA(pcsc::ScardContext context, const char* reader,
                                        std::uint32_t shareMode, std::uint32_t preferredProtocols,
                                        pcsc::ScardHandle* card, std::uint32_t* protocol) {
    if (engine.Vanished()) {
        calls.push_back("SCardConnectA:" + std::string(reader) + ":" + std::to_string(shareMode) +
                        ":" + std::to_string(preferredProtocols));
        *card = 0;
        return pcsc::kENoSmartcard;
    }
    std::uint32_t rv =
        ScriptedPcsc::SCardConnectA(context, reader, shareMode, preferredProtocols, card, protocol);
    if (rv == pcsc::kSuccess && !m_powered) {
        engine.PowerOn();
        m_powered = true;
    }
    return rv;
}

std::uint32_t EnginePcsc::SCardDisconnect(pcsc::ScardHandle card, std::uint32_t disposition) {
    std::uint32_t rv = ScriptedPcsc::SCardDisconnect(card, disposition);
    if (rv == pcsc::kSuccess) {
        if (disposition == kResetCard) {
            engine.Reset();
        } else if (disposition == kUnpowerCard) {
            engine.PowerOff();
            m_powered = false;
        }
    }
    return rv;
}

}  // namespace quorlin::test
