#include "applet/DirectoryWalk.h"

namespace quorlin::applet {

namespace {

constexpr std::size_t kReplyAreaSize = 256;

}  // namespace

WalkEnd WalkDirectory(const card::Channel& ch, WalkObserver& observer) {
    if (SelectFile(ch, kDirectoryFile) != 0) {
        observer.DirectoryUnselectable(true);
    }
    std::uint8_t directory[kDirectorySize] = {};
    std::size_t directoryLength = 0;
    const ReadEnd directoryEnd = ReadDirectory(ch, directory, directoryLength);
    const std::size_t records = directoryLength / kContainerRecordSize;
    observer.DirectoryRead(directoryEnd, records);

    for (std::size_t i = 0; i < records; ++i) {
        WalkedContainer container;
        container.index = i;
        container.record = std::span<const std::uint8_t>(directory + kContainerRecordSize * i,
                                                         kContainerRecordSize);
        if (SelectFile(ch, kDirectoryFile) != 0) {
            observer.DirectoryUnselectable(false);
        }

        // What the card did not send reads as zero.
        std::uint8_t lookupArea[kReplyAreaSize] = {};
        card::Response lookup{lookupArea, sizeof lookupArea};
        LookupContainer(ch,
                        std::span<const std::uint8_t, kContainerRecordSize>(container.record.data(),
                                                                            kContainerRecordSize),
                        lookup);
        container.lookup = std::span<const std::uint8_t>(lookupArea, lookup.length);
        const std::uint8_t* fileId = CertificateFileOf(lookupArea);
        container.file = {fileId[0], fileId[1]};
        if (const std::int32_t result = SelectFile(ch, container.file); result != 0) {
            observer.CertificateFileUnselectable(container, result);
            return WalkEnd::Stopped;
        }

        std::uint8_t keyInfoArea[kReplyAreaSize] = {};
        card::Response keyInfo{keyInfoArea, sizeof keyInfoArea};
        const bool whole = ReadKeyInfo(ch, keyInfo) == 0 && keyInfo.length == kKeyInfoLength;
        container.keyInfo = std::span<const std::uint8_t>(keyInfoArea, kKeyInfoLength);
        const unsigned indicator =
            keyInfoArea[kKeyInfoIndicator] * 256u + keyInfoArea[kKeyInfoIndicator + 1];
        if (indicator == 0) {
            if (keyInfoArea[kKeyInfoInUse] != 0) {
                observer.ContainerWithoutCertificate(container);
            } else if (!whole) {
                observer.KeyInfoUnread(container);
            }
            continue;
        }
        // A non-zero indicator came with data, so the length kept is what the card sent.
        if (keyInfo.length != kKeyInfoLength) {
            observer.KeyInfoUnread(container);
            continue;
        }
        observer.CertificateListed(container);

        std::uint8_t certificate[kCertificateSize] = {};
        std::size_t certificateLength = 0;
        const ReadEnd end = ReadCertificate(ch, certificate, certificateLength);
        observer.CertificateRead(container, end,
                                 std::span<const std::uint8_t>(certificate, certificateLength));
    }
    return WalkEnd::Complete;
}

}  // namespace quorlin::applet
