#pragma once
// The card applet in software: answers short command APDUs the way the vendor's applet
// does, under T=0 or T=1 habits, with faults injected from its profile. Plain C++20 so
// that unit tests, the vpcd client and the benchmarks share one card.

#include <array>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <optional>
#include <stdexcept>
#include <string>
#include <vector>

#include <nlohmann/json_fwd.hpp>

namespace quorlin::cardsim {

using Bytes = std::vector<std::uint8_t>;

// Thrown by the profile loaders for a profile that cannot describe a card.
struct ProfileError : std::runtime_error {
    using std::runtime_error::runtime_error;
};

inline constexpr std::uint32_t kProtocolT0 = 1;  // same numbering as PC/SC
inline constexpr std::uint32_t kProtocolT1 = 2;
inline constexpr std::size_t kContainerNameLength = 36;
inline constexpr std::size_t kPinRecordLength = 16;
inline constexpr std::size_t kKeyInfoLength = 22;
inline constexpr std::size_t kLookupReplyLength = 43;
inline constexpr std::size_t kFirstCertificateChunk = 200;

struct Container {
    std::array<std::uint8_t, kContainerNameLength> name{};  // zero padded
    bool signatureKey = false;
    bool exchangeKey = false;
    std::uint16_t file = 0;                   // certificate object file
    std::optional<Bytes> certificate;         // none: placeholder
    std::array<std::uint8_t, 2> indicator{};  // certificate indicator of the key information
    bool inUse = true;
    std::array<std::uint8_t, 8> start{};
    std::array<std::uint8_t, 8> expiry{};
};

struct Fault {
    // Which commands: all when both are empty; INS, or a prefix of the command bytes.
    std::optional<std::uint8_t> ins;
    Bytes prefix;
    int occurrence = 0;  // 0: every matching command; N: only the Nth (1-based)
    int seen = 0;        // matching commands so far

    enum class Kind { StatusWord, AnswerLength, Answer, EndlessChain, Vanish };
    Kind kind = Kind::StatusWord;
    std::uint16_t statusWord = 0;
    std::size_t answerLength = 0;  // AnswerLength: regular data cut or zero padded, then 90 00
    Bytes answer;                  // Answer: sent as is (may be 0 or 1 byte)
};

struct Profile {
    std::string applet = "morvex";  // "ulvane-enterprise", "ulvane-provider", "morvex"
    std::uint32_t protocol = kProtocolT0;
    Bytes atr;
    Bytes fci;  // data answered to a successful SELECT by AID
    std::array<std::uint8_t, kPinRecordLength> pinRecord{};
    int pinRetries = 3;
    std::size_t directoryChunk = 72;        // directory bytes per reply, 1..253
    std::size_t certificateChunk = 200;     // certificate bytes per later reply, 1..253
    bool padFirstCertificateChunk = false;  // a certificate under 200 bytes: pad to 200 with zeros
    std::vector<Container> containers;
    std::vector<Fault> faults;
};

class Engine {
  public:
    explicit Engine(Profile profile);

    // Certificate paths are taken relative to the profile's directory, then to
    // tests/fixtures of the source tree. Throws ProfileError.
    static Engine FromJson(const nlohmann::json& json,
                           const std::filesystem::path& baseDir = std::filesystem::path());
    static Engine FromFile(const std::filesystem::path& path);
    static Engine FromText(const std::string& jsonText,
                           const std::filesystem::path& baseDir = std::filesystem::path());

    const Bytes& Atr() const { return m_profile.atr; }
    std::uint32_t Protocol() const { return m_profile.protocol; }
    const Profile& GetProfile() const { return m_profile; }

    // Every one of these ends the card session: no applet or file selected, PIN not
    // verified, no pending answer or read in progress. The PIN record and retry counter stay.
    void PowerOn();
    void Reset();
    void PowerOff();

    // One command APDU in, the full answer out (data and status word). Empty once the
    // card has vanished; a fault may also give 0 or 1 byte. A card that vanishes at the
    // Nth command of all is gone (Vanished()) as soon as it has answered the (N-1)th; one
    // that vanishes at a matched command gives that command no answer.
    Bytes Process(const Bytes& apdu);
    bool Vanished() const { return m_vanished; }

    // "> 00 A4 ..." for each command, "< 90 00" for each answer, PIN bytes as "**";
    // "! vanished" when the card goes. The sink, when set, sees each line as it is made.
    const std::vector<std::string>& Log() const { return m_log; }
    void SetLogSink(std::function<void(const std::string&)> sink) { m_sink = std::move(sink); }

    // For tests.
    const std::array<std::uint8_t, kPinRecordLength>& PinRecord() const { return m_pinRecord; }
    int RetriesLeft() const { return m_retriesLeft; }
    bool PinVerified() const { return m_verified; }
    bool AppletSelected() const { return m_appletSelected; }
    std::optional<std::uint16_t> SelectedFile() const { return m_file; }
    std::size_t CommandCount() const { return m_commandCount; }

  private:
    struct Reply {
        Bytes data;
        std::uint16_t sw = 0x9000;
    };
    struct ReadCursor {
        bool active = false;
        std::size_t offset = 0;
    };

    void EndSession();
    void VanishBeforeNext();
    void Append(const std::string& line);
    Bytes Answer(const Bytes& apdu);
    Reply Dispatch(std::uint8_t ins, std::uint8_t p1, std::uint8_t p2, const Bytes& data,
                   bool hasData, std::size_t limit);
    Reply Select(std::uint8_t p1, std::uint8_t p2, const Bytes& data);
    Reply Verify(std::uint8_t p1, std::uint8_t p2, const Bytes& data);
    Reply WriteRecord(std::uint8_t p1, std::uint8_t p2, const Bytes& data);
    Reply ReadDirectory(std::uint8_t p1, std::uint8_t p2, std::size_t limit);
    Reply Lookup(std::uint8_t p1, std::uint8_t p2, const Bytes& data);
    Reply KeyInfo(std::uint8_t p1, std::uint8_t p2);
    Reply ReadCertificate(std::uint8_t p1, std::uint8_t p2, std::size_t limit);
    const Container* CurrentContainer() const;
    Bytes Directory() const;

    Profile m_profile;
    std::array<std::uint8_t, kPinRecordLength> m_pinRecord{};
    int m_retriesLeft = 0;
    bool m_vanished = false;
    std::size_t m_commandCount = 0;

    // Session state.
    bool m_appletSelected = false;
    std::optional<std::uint16_t> m_file;
    bool m_verified = false;
    ReadCursor m_directoryCursor;
    ReadCursor m_certificateCursor;
    Bytes m_pending;  // T=0: data waiting for GET RESPONSE
    std::uint16_t m_pendingSw = 0x9000;
    bool m_endlessChain = false;  // set while answering a command under that fault

    std::vector<std::string> m_log;
    std::function<void(const std::string&)> m_sink;
};

// The source tree's tools/cardsim/profiles and tests/fixtures (QUORLIN_SOURCE_DIR in the
// environment wins over the tree the engine was built from).
std::filesystem::path ProfilesDir();
// The 8-byte AID of an applet kind; empty for an unknown kind.
Bytes AppletAid(const std::string& applet);
std::filesystem::path FixturesDir();

// "3B 0A 80" -> bytes; throws ProfileError on a stray character or an odd digit count.
Bytes ParseHex(const std::string& hex);
std::string FormatHex(const Bytes& bytes);

}  // namespace quorlin::cardsim
