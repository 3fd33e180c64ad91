#pragma once
// What every quorlin-card command shares: the PC/SC service (traced when asked), the
// reader it works on, the card connection, the PIN from the terminal or a descriptor,
// and the log-in. Failures are said on stderr here; callers only pass the status on.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "applet/Pin.h"
#include "card/Channel.h"
#include "interfaces/PcscApi.h"
#include "platform/pcsc/PcscLite.h"
#include "platform/trace/TraceSink.h"
#include "platform/trace/TracingPcsc.h"

namespace quorlin::cardtool {

inline constexpr int kExitOk = 0;
inline constexpr int kExitFailure = 1;
inline constexpr int kExitUsage = 2;
inline constexpr int kExitExpiring = 3;

// True when the last service's trace stopped on a failed write: the run then exits 1.
bool TraceFailed();

// Prints "quorlin-card: TEXT" on stderr.
void Say(const std::string& text);
// A code in words: the service's text, e.g. "Sharing violation.", else the store's or
// the provider's.
std::string ServiceText(pcsc::PcscApi& pcsc, std::uint32_t code);

struct Options {
    std::string reader;  // name, or an index in the service's list
    std::string trace;
    int pinFd = -1;
    bool json = false;
    pcsc::PcscApi* pcsc = nullptr;  // the service; pcsc-lite's when none is given
};

// One reader as the service shows it.
struct ReaderState {
    std::string name;
    bool card = false;
    std::vector<std::uint8_t> atr;
};

class Service {
  public:
    // Opens the trace when asked; nullopt and a message when it cannot be used.
    static std::unique_ptr<Service> Open(const Options& options, int& status);
    ~Service();
    Service(const Service&) = delete;
    Service& operator=(const Service&) = delete;

    pcsc::PcscApi& Pcsc() { return m_traced ? static_cast<pcsc::PcscApi&>(*m_traced) : *m_base; }
    // A system context; 0 when the service refuses, with a message unless quiet.
    pcsc::ScardContext Context(bool quiet = false);
    std::uint32_t ContextResult() const { return m_contextResult; }
    // Every reader the service lists, in its order, with its card state.
    std::vector<ReaderState> Readers();
    std::vector<std::string> ReaderNames();
    // The reader the options name (its name, its index, or a part of its name in any case
    // that only it holds), or the one reader holding a card; nullopt after a message
    // (listing the readers) when there is none or several.
    std::optional<std::string> ChooseReader(const Options& options);
    // The reader OpenOnReader chose.
    const std::string& Reader() const { return m_reader; }

  private:
    friend std::unique_ptr<Service> OpenOnReader(const Options& options, int& status);
    Service() = default;
    std::string m_reader;
    pcsc::PcscLite m_lite;
    pcsc::PcscApi* m_base = &m_lite;
    std::unique_ptr<trace::TraceSink> m_sink;
    std::unique_ptr<trace::TracingPcsc> m_traced;
    std::optional<card::ContextOwner> m_context;
    std::uint32_t m_contextResult = 0;
};

// The service with the reader a command works on chosen; null after a message, with the
// status to exit with.
std::unique_ptr<Service> OpenOnReader(const Options& options, int& status);

// An exclusive connection to a card. It ends with a reset once VERIFY went out (the
// session the tool opened ends with it), else it leaves the card as it was.
class CardConnection {
  public:
    CardConnection(Service& service, const std::string& reader);
    ~CardConnection();
    CardConnection(const CardConnection&) = delete;
    CardConnection& operator=(const CardConnection&) = delete;

    std::uint32_t Result() const { return m_result; }
    card::Channel Channel() const { return {m_pcsc, m_card, m_pci}; }
    bool IsT1() const { return m_pci == m_pcsc.T1Pci(); }
    // Ends the connection now, as the destructor would; the service's result.
    std::uint32_t End();
    void VerifySent() { m_verifySent = true; }

  private:
    pcsc::PcscApi& m_pcsc;
    pcsc::ScardHandle m_card = 0;
    const pcsc::ScardIoRequest* m_pci = nullptr;
    std::uint32_t m_result;
    bool m_verifySent = false;
};

// The applet kind's provider identifier found by SELECT by AID, in the dialog's order.
std::optional<std::string> SelectApplet(const card::Channel& ch);

// Reads one PIN (a line) into pin, from --pin-fd or the terminal with echo off. The
// status to exit with on failure (usage: no terminal and no --pin-fd, or input ended).
std::optional<int> ReadPin(const Options& options, const char* prompt, std::string& pin);

// Asks for a PIN and takes its card form. With check, a PIN that has no card form or is
// shorter than 6 bytes is refused (before any card command). The status after a message.
std::optional<int> AskPin(const Options& options, const char* prompt, bool check,
                          std::optional<applet::CardPin>& pin);

// Selects the applet and presents the PIN. The status after a message when it failed (the
// connection then ends as it must).
std::optional<int> LogIn(Service& service, CardConnection& connection, const applet::CardPin& pin,
                         std::string* provider = nullptr);

}  // namespace quorlin::cardtool
