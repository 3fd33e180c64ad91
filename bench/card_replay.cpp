// A bare replay of the APDUs a quorlin-card run sent, read from its trace: the least a
// program can do with the same card through the same service, start to exit. The masked
// bytes of VERIFY are the PIN given, padded as the card wants it.
//
//   card_replay TRACE READER PIN

#include <PCSC/winscard.h>

#include <cstdio>
#include <cstring>
#include <fstream>
#include <sstream>
#include <string>
#include <vector>

int main(int argc, char** argv) {
    if (argc != 4) {
        std::fprintf(stderr, "usage: card_replay TRACE READER PIN\n");
        return 2;
    }
    std::vector<std::vector<unsigned char>> commands;
    std::ifstream trace(argv[1]);
    const std::string pin = argv[3];
    for (std::string line; std::getline(trace, line);) {
        const std::size_t from = line.find(" > ");
        const std::size_t to = line.find(" < ");
        if (line.find(" APDU ") == std::string::npos || from == std::string::npos ||
            to == std::string::npos) {
            continue;
        }
        std::istringstream bytes(line.substr(from + 3, to - from - 3));
        std::vector<unsigned char> command;
        std::size_t masked = 0;
        for (std::string hex; bytes >> hex;) {
            command.push_back(
                hex == "**" ? static_cast<unsigned char>(masked < pin.size() ? pin[masked] : 0xFF)
                            : static_cast<unsigned char>(std::stoul(hex, nullptr, 16)));
            masked += hex == "**" ? 1 : 0;
        }
        commands.push_back(command);
    }
    SCARDCONTEXT context = 0;
    SCARDHANDLE card = 0;
    DWORD protocol = 0;
    if (SCardEstablishContext(SCARD_SCOPE_SYSTEM, nullptr, nullptr, &context) != SCARD_S_SUCCESS ||
        SCardConnect(context, argv[2], SCARD_SHARE_EXCLUSIVE, SCARD_PROTOCOL_T0 | SCARD_PROTOCOL_T1,
                     &card, &protocol) != SCARD_S_SUCCESS) {
        std::fprintf(stderr, "card_replay: no card in %s\n", argv[2]);
        return 1;
    }
    const SCARD_IO_REQUEST* pci = protocol == SCARD_PROTOCOL_T1 ? SCARD_PCI_T1 : SCARD_PCI_T0;
    unsigned char answer[258];
    for (const auto& command : commands) {
        DWORD length = sizeof answer;
        SCardTransmit(card, pci, command.data(), static_cast<DWORD>(command.size()), nullptr,
                      answer, &length);
    }
    SCardDisconnect(card, SCARD_RESET_CARD);
    SCardReleaseContext(context);
    std::printf("%zu commands\n", commands.size());
    return 0;
}
