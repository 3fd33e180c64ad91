#pragma once
// The in-process PC/SC service with the card engine in its one reader: ScriptedPcsc's
// readers, failure injection and recording, with the engine answering every command that
// no queued answer takes. A connect powers the card up; a disconnect that resets or
// unpowers the card does so; a vanished card fails transmissions with kWRemovedCard and
// connections with kENoSmartcard.

#include <string>

#include "engine/Engine.h"
#include "fakes/ScriptedPcsc.h"

namespace quorlin::test {

class EnginePcsc : public ScriptedPcsc {
  public:
    // A profile file name in tools/cardsim/profiles (e.g. "demo.json"), or a path.
    explicit EnginePcsc(const std::string& profile);
    explicit EnginePcsc(cardsim::Engine card);

    cardsim::Engine engine;

    std::uint32_t SCardConnectA(pcsc::ScardContext context, const char* reader,
                                std::uint32_t shareMode, std::uint32_t preferredProtocols,
                                pcsc::ScardHandle* card, std::uint32_t* activeProtocol) override;
    std::uint32_t SCardDisconnect(pcsc::ScardHandle card, std::uint32_t disposition) override;

    // A profile path for a name in tools/cardsim/profiles; a path as it stands.
    static std::string ProfilePath(const std::string& profile);

  private:
    void Wire();
    bool m_powered = false;
};

}  // namespace quorlin::test
