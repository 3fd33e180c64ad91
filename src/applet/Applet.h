#pragma once
// The card applet as the card sees it: its kinds and their providers, every command's
// bytes, every file, record size and offset, and the chunked reads. Written once and used
// by the dialog and by the card-backed provider alike.

#include <array>
#include <cstddef>
#include <cstdint>
#include <optional>
#include <span>

#include "card/ApduExchange.h"

namespace quorlin::applet {

// The providers that own each applet kind's keys. These are the providers' identifiers;
// the dialog also shows the one it found as a caption.
inline constexpr const char* kUlvaneCspEnterprise = "Ulvane CSP Enterprise";
inline constexpr const char* kUlvaneCryptoProvider = "Ulvane Cryptographic Service Provider";
inline constexpr const char* kMorvexCspEnterprise = "Morvex CSP Enterprise";

inline constexpr std::size_t kAidLength = 8;

struct AppletKind {
    std::array<std::uint8_t, kAidLength> aid;
    const char* provider;
};

// In the order the dialog tries them.
inline constexpr std::array<AppletKind, 3> kAppletKinds = {{
    {{0xA0, 0x00, 0x00, 0x01, 0x72, 0x95, 0x01, 0x02}, kUlvaneCspEnterprise},
    {{0xA0, 0x00, 0x00, 0x01, 0x72, 0x95, 0x01, 0x01}, kUlvaneCryptoProvider},
    {{0xA0, 0x00, 0x00, 0x01, 0x72, 0x95, 0x01, 0x03}, kMorvexCspEnterprise},
}};

// Instructions (class 00).
inline constexpr std::uint8_t kInsSelect = 0xA4;
inline constexpr std::uint8_t kInsVerify = 0x20;
inline constexpr std::uint8_t kInsWriteRecord = 0xD2;
inline constexpr std::uint8_t kInsReadDirectory = 0x74;
inline constexpr std::uint8_t kInsContainerLookup = 0x7E;
inline constexpr std::uint8_t kInsKeyInfo = 0x4C;
inline constexpr std::uint8_t kInsReadCertificate = 0x44;

// Files.
struct FileId {
    std::uint8_t high;
    std::uint8_t low;
};
inline constexpr FileId kDirectoryFile{0x80, 0x10};
inline constexpr FileId kPinFile{0x00, 0xC7};

// The PIN: 16 bytes padded with FF, in record 1 of the PIN file.
inline constexpr std::size_t kPaddedPinLength = 16;
inline constexpr std::uint8_t kPinRecord = 1;
inline constexpr std::int32_t kSwWrongPin = 0x6608;
inline constexpr std::int32_t kSwPinBlocked = 0x6620;
using PaddedPin = std::uint8_t[kPaddedPinLength];

// The directory: 36-byte container records, single-byte text padded with zeros.
inline constexpr std::size_t kContainerRecordSize = 36;
inline constexpr std::size_t kDirectorySize = 400;
inline constexpr std::size_t kCertificateSize = 2048;

// The container lookup's reply: the file identifiers of the signature and the exchange
// key's certificate objects, 00 00 when the container has no such key.
inline constexpr std::size_t kLookupSignatureFile = 39;
inline constexpr std::size_t kLookupExchangeFile = 41;
inline constexpr std::size_t kLookupReplySize = 43;

// The key information record.
inline constexpr std::uint8_t kKeyInfoLength = 22;
inline constexpr std::size_t kKeyInfoIndicator = 2;  // two bytes, big-endian
inline constexpr std::size_t kKeyInfoInUse = 4;
inline constexpr std::size_t kKeyInfoStartDate = 6;
inline constexpr std::size_t kKeyInfoExpiryDate = 14;
inline constexpr std::size_t kDateLength = 8;

// Each command returns the card result of the exchange.
std::int32_t SelectByName(const card::Channel& ch, std::span<const std::uint8_t> aid);
std::int32_t SelectFile(const card::Channel& ch, FileId file);

// The PIN's bytes, then FF up to 16; a longer PIN gives its first 16 bytes.
void PadPin(const std::uint8_t* pin, std::size_t length, PaddedPin& padded);
std::int32_t Verify(const card::Channel& ch, const PaddedPin& padded);
// WRITE RECORD of the current file.
std::int32_t WriteRecord(const card::Channel& ch, std::uint8_t record,
                         std::span<const std::uint8_t> data);

// Asks the selected directory for the container named by a record. reply gets the data.
std::int32_t LookupContainer(const card::Channel& ch,
                             std::span<const std::uint8_t, kContainerRecordSize> record,
                             card::Response& reply);
// The certificate object file the list shows: the exchange key's unless its first byte
// is zero, then the signature key's. reply holds at least kLookupReplySize bytes, zero
// where the card sent none.
const std::uint8_t* CertificateFileOf(const std::uint8_t* reply);
struct ContainerKeys {
    bool signature = false;
    bool exchange = false;
};
// Which keys the container holds; nullopt for a reply too short to say.
std::optional<ContainerKeys> KeysOf(std::span<const std::uint8_t> reply);

// Key information of the selected certificate object file (Le 22).
std::int32_t ReadKeyInfo(const card::Channel& ch, card::Response& reply);

enum class ReadEnd { Complete, FirstFailed, NextFailed };
// The chunked reads of the selected directory and certificate object file into area;
// total gets the bytes kept. They stop once the area is full, on an answer without data,
// and after as many commands as the area has bytes: the card never decides alone when.
ReadEnd ReadDirectory(const card::Channel& ch, std::span<std::uint8_t> area, std::size_t& total);
ReadEnd ReadCertificate(const card::Channel& ch, std::span<std::uint8_t> area, std::size_t& total);

}  // namespace quorlin::applet
