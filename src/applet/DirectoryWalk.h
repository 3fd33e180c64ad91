#pragma once
// The walk of the certificate directory, written once for every caller: it selects the
// directory, reads it, and for each container record looks the container up, selects its
// certificate object file, reads the key information and the certificate. It reports each
// step before the next command goes to the card, so a caller that waits (for the holder
// to close a message) keeps the card waiting too.

#include <cstddef>
#include <cstdint>
#include <span>

#include "applet/Applet.h"
#include "card/ApduExchange.h"

namespace quorlin::applet {

// One container record and what the card said of it; the spans are valid during the
// report only.
struct WalkedContainer {
    std::size_t index = 0;                 // in the directory
    std::span<const std::uint8_t> record;  // kContainerRecordSize bytes, code page 950 text
    std::span<const std::uint8_t> lookup;  // the lookup's data, as much as the card sent
    FileId file{};                         // the certificate object file it names
    // kKeyInfoLength bytes of key information, zero where the card sent none.
    std::span<const std::uint8_t> keyInfo;
};

class WalkObserver {
  public:
    virtual ~WalkObserver() = default;
    // SELECT of the directory failed: before the read (first) or before a lookup.
    virtual void DirectoryUnselectable(bool first) = 0;
    // The directory was read, as far as it went; records follow, one report each.
    virtual void DirectoryRead(ReadEnd end, std::size_t records) = 0;
    // The container's certificate object file could not be selected: the walk stops.
    virtual void CertificateFileUnselectable(const WalkedContainer& container,
                                             std::int32_t result) = 0;
    // The key information did not come whole and says nothing usable: the walk goes on to
    // the next container, as the dialog does, without a row.
    virtual void KeyInfoUnread(const WalkedContainer& container) { (void)container; }
    // A container in use whose key information names no certificate.
    virtual void ContainerWithoutCertificate(const WalkedContainer& container) = 0;
    // A container with a certificate: its key information, before the certificate is read.
    virtual void CertificateListed(const WalkedContainer& container) = 0;
    // The certificate read of the container last listed; bytes are what was kept.
    virtual void CertificateRead(const WalkedContainer& container, ReadEnd end,
                                 std::span<const std::uint8_t> bytes) = 0;
};

enum class WalkEnd { Complete, Stopped };

// Walks the directory of the card behind the channel, reporting to observer.
WalkEnd WalkDirectory(const card::Channel& ch, WalkObserver& observer);

}  // namespace quorlin::applet
