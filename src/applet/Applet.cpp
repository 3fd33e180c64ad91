#include "applet/Applet.h"

#include <algorithm>
#include <cstring>

namespace quorlin::applet {

namespace {

constexpr std::uint8_t kSelectByNameP1 = 0x04;
constexpr std::uint8_t kSelectFileP1 = 0x02;
constexpr std::uint8_t kVerifyP1 = 0x01;
constexpr std::uint8_t kVerifyP2 = 0x28;
constexpr std::uint8_t kWriteRecordCurrentFile = 0x04;
constexpr std::uint8_t kPinPad = 0xFF;
constexpr std::uint8_t kNextChunk = 0x01;  // P1 and P2 of every read command after the first
constexpr std::size_t kReplyAreaSize = 256;

// A command whose answer carries nothing the caller needs.
std::int32_t Send(const card::Channel& ch, const card::Command& command) {
    std::uint8_t discard[card::kMaxResponseData];
    card::Response response{discard, sizeof discard};
    return card::Exchange(ch, command, response);
}

// How one of the two chunked reads starts.
struct ChunkedRead {
    std::uint8_t ins;
    std::uint8_t firstP2;
    std::uint8_t firstLe;
    std::size_t firstFixed;  // 0: the first reply gives its reported length - 1 like the rest
};

constexpr ChunkedRead kDirectoryRead{kInsReadDirectory, 0x00, 0xFF, 0};
// The certificate read has always taken 200 bytes of its first reply, however short.
constexpr ChunkedRead kCertificateRead{kInsReadCertificate, 0x01, 0xC9, 200};

// Each reply starts with the length of the next chunk plus one (0: no more); its data
// follows. A status word without data ends the read, as repeating the command would only
// get the same.
ReadEnd ReadChunked(const card::Channel& ch, const ChunkedRead& how, std::span<std::uint8_t> area,
                    std::size_t& total) {
    total = 0;
    std::uint8_t reply[kReplyAreaSize] = {};
    card::Response r{reply, sizeof reply};
    if (card::Exchange(ch, {0x00, how.ins, 0x00, how.firstP2, {}, how.firstLe}, r) != 0) {
        return ReadEnd::FirstFailed;
    }
    if (r.length == 0) {
        return ReadEnd::Complete;
    }
    std::size_t count = how.firstFixed != 0 ? how.firstFixed : r.length - 1;
    count = std::min({count, area.size(), sizeof reply - 1});
    std::memcpy(area.data(), reply + 1, count);
    total = count;

    for (std::size_t commands = 1; reply[0] != 0 && total < area.size() && commands < area.size();
         ++commands) {
        r = card::Response{reply, sizeof reply};
        if (card::Exchange(ch, {0x00, how.ins, kNextChunk, kNextChunk, {}, reply[0]}, r) != 0) {
            return ReadEnd::NextFailed;
        }
        if (r.length == 0) {
            break;
        }
        count = std::min(r.length - 1, area.size() - total);
        std::memcpy(area.data() + total, reply + 1, count);
        total += count;
    }
    return ReadEnd::Complete;
}

}  // namespace

std::int32_t SelectByName(const card::Channel& ch, std::span<const std::uint8_t> aid) {
    return Send(ch, {0x00, kInsSelect, kSelectByNameP1, 0x00, aid, 0});
}

std::int32_t SelectFile(const card::Channel& ch, FileId file) {
    const std::uint8_t fileId[2] = {file.high, file.low};
    return Send(ch, {0x00, kInsSelect, kSelectFileP1, 0x00, fileId, 0});
}

void PadPin(const std::uint8_t* pin, std::size_t length, PaddedPin& padded) {
    std::memset(padded, kPinPad, sizeof padded);
    if (pin != nullptr) {
        std::memcpy(padded, pin, std::min(length, sizeof padded));
    }
}

std::int32_t Verify(const card::Channel& ch, const PaddedPin& padded) {
    return Send(ch, {0x00, kInsVerify, kVerifyP1, kVerifyP2, padded, 0});
}

std::int32_t WriteRecord(const card::Channel& ch, std::uint8_t record,
                         std::span<const std::uint8_t> data) {
    return Send(ch, {0x00, kInsWriteRecord, record, kWriteRecordCurrentFile, data, 0});
}

std::int32_t LookupContainer(const card::Channel& ch,
                             std::span<const std::uint8_t, kContainerRecordSize> record,
                             card::Response& reply) {
    return card::Exchange(ch, {0x00, kInsContainerLookup, 0x00, 0x00, record, 0}, reply);
}

const std::uint8_t* CertificateFileOf(const std::uint8_t* reply) {
    return reply[kLookupExchangeFile] != 0 ? reply + kLookupExchangeFile
                                           : reply + kLookupSignatureFile;
}

std::optional<ContainerKeys> KeysOf(std::span<const std::uint8_t> reply) {
    if (reply.size() < kLookupReplySize) {
        return std::nullopt;
    }
    ContainerKeys keys;
    keys.signature = reply[kLookupSignatureFile] != 0 || reply[kLookupSignatureFile + 1] != 0;
    keys.exchange = reply[kLookupExchangeFile] != 0 || reply[kLookupExchangeFile + 1] != 0;
    return keys;
}

std::int32_t ReadKeyInfo(const card::Channel& ch, card::Response& reply) {
    return card::Exchange(ch, {0x00, kInsKeyInfo, 0x00, 0x00, {}, kKeyInfoLength}, reply);
}

ReadEnd ReadDirectory(const card::Channel& ch, std::span<std::uint8_t> area, std::size_t& total) {
    return ReadChunked(ch, kDirectoryRead, area, total);
}

ReadEnd ReadCertificate(const card::Channel& ch, std::span<std::uint8_t> area, std::size_t& total) {
    return ReadChunked(ch, kCertificateRead, area, total);
}

}  // namespace quorlin::applet
